#include "config/UserProfile.h"

#include "core/PrivateFiles.h"
#include "core/SecureZero.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace {

const QString githubKey = QStringLiteral("github");
const QString accountsKey = QStringLiteral("accounts");
const QString activeKey = QStringLiteral("active");

QJsonObject defaultProfile()
{
    QJsonObject profile;
    profile.insert(QStringLiteral("version"), 1);
    profile.insert(QStringLiteral("features"), QJsonArray());
    profile.insert(QStringLiteral("devices"), QJsonObject());
    profile.insert(QStringLiteral("vaults"), QJsonArray());
    profile.insert(QStringLiteral("preferences"), QJsonObject());
    profile.insert(QStringLiteral("prompts"), QJsonObject());
    return profile;
}

QString featureMessage(const QString& id)
{
    if (id == QLatin1String("devops-secrets"))
        return QStringLiteral("DevOps Cloud Secret Storage \u2014 Kubernetes, Docker, Ansible, Terraform");
    if (id == QLatin1String("usb-encryption"))
        return QStringLiteral("USB Drive Encryption \u2014 encrypt drives without reformatting");
    if (id == QLatin1String("vault-created"))
        return QStringLiteral("Encrypted vault created \u2014 additional features now available");
    return id;
}

QJsonObject accountObject(const UserProfile::GhAccount& account)
{
    QJsonObject object;
    object.insert(QStringLiteral("login"), account.login);
    object.insert(QStringLiteral("name"), account.name);
    object.insert(QStringLiteral("email"), account.email);
    object.insert(QStringLiteral("pat"), account.pat);
    object.insert(QStringLiteral("plan"), account.plan);
    return object;
}

// Every account whose login differs, in stored order.
QJsonArray accountsWithout(const QJsonObject& github, const QString& login)
{
    QJsonArray kept;
    for (const QJsonValue& element : github.value(accountsKey).toArray()) {
        if (element.toObject().value(QStringLiteral("login")).toString() != login)
            kept.append(element);
    }
    return kept;
}

} // namespace

UserProfile::UserProfile(QObject* parent)
    : QObject(parent)
{
}

QString UserProfile::configDir()
{
    return QDir::homePath() + QStringLiteral("/Ostrevan/OstrevanTessaril");
}

QString UserProfile::configPath()
{
    // INI content despite the extension; stored files depend on this name.
    return configDir() + QStringLiteral("/OstrevanTessaril.yaml");
}

QString UserProfile::profilePath()
{
    return configDir() + QStringLiteral("/profile.enc");
}

bool UserProfile::load()
{
    const QString path = profilePath();
    EncryptedFile::removeLeftovers(path);
    if (!QFileInfo::exists(path)) {
        data = defaultProfile();
        loaded = true;
        unreadableOnDisk = false;
        opensslUnavailable = false;
        return save();
    }

    bool opensslWorked = false;
    QByteArray plain = decryptFile(path, &opensslWorked);
    if (!opensslWorked) {
        // openssl is missing, hung, was killed or cannot do its work (a
        // broken install, an option it lacks): that says nothing about the
        // file, which the next start will most likely read. Until then it is
        // neither set aside nor written over.
        data = QJsonObject();
        loaded = false;
        unreadableOnDisk = false;
        opensslUnavailable = true;
        qWarning("The profile could not be read because openssl cannot work; it was kept as it is, "
                 "and changes to it are not saved in this run");
        return false;
    }
    opensslUnavailable = false;
    if (plain.isEmpty()) {
        // Typically the host or login name changed. The file stays as it is.
        data = QJsonObject();
        loaded = false;
        unreadableOnDisk = true;
        return false;
    }
    const QJsonDocument document = QJsonDocument::fromJson(plain);
    secureZero(plain);
    if (!document.isObject()) {
        unreadableOnDisk = true;
        return false;
    }
    data = document.object();
    loaded = true;
    unreadableOnDisk = false;
    return true;
}

bool UserProfile::save()
{
    if (opensslUnavailable) {
        lastSaveError = QStringLiteral("openssl could not read the profile at start, so it is not written over");
        return false;
    }
    // A profile that could not be read may still be readable elsewhere (under
    // the old host name, say) and holds the user's tokens: never write over it.
    if (unreadableOnDisk && !setAsideUnreadableFile()) {
        lastSaveError = QStringLiteral("the unreadable profile could not be set aside");
        return false;
    }
    QByteArray json = QJsonDocument(data).toJson(QJsonDocument::Compact);
    lastSaveError = encryptFile(json, profilePath());
    secureZero(json);
    return lastSaveError.isEmpty();
}

bool UserProfile::saveOrRestore(const QJsonObject& before)
{
    if (save())
        return true;
    data = before;
    return false;
}

bool UserProfile::setAsideUnreadableFile()
{
    const QString path = profilePath();
    if (!QFileInfo::exists(path)) {
        unreadableOnDisk = false;
        return true;
    }
    QString target;
    if (!EncryptedFile::setAside(path, &target).isEmpty()) {
        qWarning("The unreadable profile could not be set aside; it was left unchanged and nothing was written");
        return false;
    }
    qWarning("The profile could not be read and was set aside as %s", qPrintable(target));
    unreadableOnDisk = false;
    return true;
}

EncryptedFile::Options UserProfile::fileOptions() const
{
    EncryptedFile::Options options;
    options.startTimeoutMs = startTimeoutMs;
    options.finishTimeoutMs = finishTimeoutMs;
    return options;
}

bool UserProfile::encrypt(const QByteArray& data, const QString& path)
{
    return encryptFile(data, path).isEmpty();
}

QString UserProfile::encryptFile(const QByteArray& data, const QString& path)
{
    QByteArray passPhrase = deriveKey().toHex();
    const QString failure = EncryptedFile::write(path, data, passPhrase, fileOptions());
    secureZero(passPhrase);
    return failure;
}

QByteArray UserProfile::decrypt(const QString& path)
{
    bool finished = false;
    return decryptFile(path, &finished);
}

QByteArray UserProfile::decryptFile(const QString& path, bool* opensslWorked)
{
    *opensslWorked = false;
    if (!QFileInfo::exists(path))
        return QByteArray();
    QByteArray passPhrase = deriveKey().toHex();
    QByteArray plain;
    bool refused = false;
    const QString failure = EncryptedFile::read(path, passPhrase, &plain, fileOptions(), &refused);
    secureZero(passPhrase);
    *opensslWorked = failure.isEmpty() || refused;
    return plain;
}

QByteArray UserProfile::deriveKey() const
{
    return EncryptedFile::machineKey(QStringLiteral("Rodudede-Profile-v4"));
}

bool UserProfile::isFeatureUnlocked(const QString& id) const
{
    const QJsonArray features = data.value(QStringLiteral("features")).toArray();
    return std::any_of(features.begin(), features.end(),
                       [&id](const QJsonValue& v) { return v.isString() && v.toString() == id; });
}

bool UserProfile::unlockFeature(const QString& id)
{
    if (isFeatureUnlocked(id))
        return true;
    QJsonArray features = data.value(QStringLiteral("features")).toArray();
    features.append(id);
    data.insert(QStringLiteral("features"), features);
    const bool saved = save();
    emit featureUnlocked(id, featureMessage(id));
    return saved;
}

QStringList UserProfile::unlockedFeatures() const
{
    QStringList ids;
    for (const QJsonValue& v : data.value(QStringLiteral("features")).toArray())
        ids.append(v.toString());
    return ids;
}

bool UserProfile::isDeviceSeen(const QString& deviceId) const
{
    return data.value(QStringLiteral("devices")).toObject().contains(deviceId);
}

bool UserProfile::markDeviceSeen(const QString& deviceId)
{
    QJsonObject devices = data.value(QStringLiteral("devices")).toObject();
    if (!devices.contains(deviceId)) {
        devices.insert(deviceId, QJsonObject());
        data.insert(QStringLiteral("devices"), devices);
    }
    return save();
}

QString UserProfile::devicePreference(const QString& deviceId, const QString& key) const
{
    return data.value(QStringLiteral("devices")).toObject().value(deviceId).toObject().value(key).toString();
}

bool UserProfile::setDevicePreference(const QString& deviceId, const QString& key, const QString& value)
{
    QJsonObject devices = data.value(QStringLiteral("devices")).toObject();
    QJsonObject device = devices.value(deviceId).toObject();
    device.insert(key, value);
    devices.insert(deviceId, device);
    data.insert(QStringLiteral("devices"), devices);
    return save();
}

QStringList UserProfile::vaultPaths() const
{
    QStringList paths;
    for (const QJsonValue& v : data.value(QStringLiteral("vaults")).toArray())
        paths.append(v.toString());
    return paths;
}

bool UserProfile::addVaultPath(const QString& path)
{
    QJsonArray vaults = data.value(QStringLiteral("vaults")).toArray();
    for (const QJsonValue& v : vaults) {
        if (v.isString() && v.toString() == path)
            return true;
    }
    vaults.append(path);
    data.insert(QStringLiteral("vaults"), vaults);
    return save();
}

bool UserProfile::removeVaultPath(const QString& path)
{
    QJsonArray kept;
    for (const QJsonValue& v : data.value(QStringLiteral("vaults")).toArray()) {
        if (!(v.isString() && v.toString() == path))
            kept.append(v);
    }
    data.insert(QStringLiteral("vaults"), kept);
    return save();
}

QString UserProfile::preference(const QString& key, const QString& defaultValue) const
{
    const QJsonValue value = data.value(QStringLiteral("preferences")).toObject().value(key);
    if (!value.isString() || value.toString().isEmpty())
        return defaultValue;
    return value.toString();
}

bool UserProfile::setPreference(const QString& key, const QString& value)
{
    return setPreferences({{key, value}});
}

bool UserProfile::setPreferences(const QList<QPair<QString, QString>>& values)
{
    QJsonObject preferences = data.value(QStringLiteral("preferences")).toObject();
    for (const auto& [key, value] : values)
        preferences.insert(key, value.isNull() ? QString(QLatin1String("")) : value);
    data.insert(QStringLiteral("preferences"), preferences);
    return save();
}

bool UserProfile::hasAnsweredPrompt(const QString& id) const
{
    return data.value(QStringLiteral("prompts")).toObject().contains(id);
}

bool UserProfile::setPromptAnswer(const QString& id, const QString& answer)
{
    QJsonObject prompts = data.value(QStringLiteral("prompts")).toObject();
    prompts.insert(id, answer);
    data.insert(QStringLiteral("prompts"), prompts);
    return save();
}

QString UserProfile::promptAnswer(const QString& id) const
{
    return data.value(QStringLiteral("prompts")).toObject().value(id).toString();
}

QList<UserProfile::GhAccount> UserProfile::githubAccounts() const
{
    QList<GhAccount> accounts;
    for (const QJsonValue& element : data.value(githubKey).toObject().value(accountsKey).toArray()) {
        const QJsonObject object = element.toObject();
        accounts.append({object.value(QStringLiteral("login")).toString(),
                         object.value(QStringLiteral("name")).toString(),
                         object.value(QStringLiteral("email")).toString(),
                         object.value(QStringLiteral("pat")).toString(),
                         object.value(QStringLiteral("plan")).toString()});
    }
    return accounts;
}

bool UserProfile::addGithubAccount(const GhAccount& account)
{
    const QJsonObject before = data;
    QJsonObject github = data.value(githubKey).toObject();
    QJsonArray accounts = accountsWithout(github, account.login);
    accounts.append(accountObject(account));
    github.insert(accountsKey, accounts);
    data.insert(githubKey, github);
    return saveOrRestore(before);
}

bool UserProfile::updateGithubAccount(const GhAccount& account)
{
    return addGithubAccount(account);
}

bool UserProfile::removeGithubAccount(const QString& login)
{
    const QJsonObject before = data;
    QJsonObject github = data.value(githubKey).toObject();
    github.insert(accountsKey, accountsWithout(github, login));
    data.insert(githubKey, github);
    return saveOrRestore(before);
}

QString UserProfile::activeGithubLogin() const
{
    return data.value(githubKey).toObject().value(activeKey).toString();
}

bool UserProfile::setActiveGithubLogin(const QString& login)
{
    const QJsonObject before = data;
    QJsonObject github = data.value(githubKey).toObject();
    github.insert(activeKey, login);
    data.insert(githubKey, github);
    return saveOrRestore(before);
}
