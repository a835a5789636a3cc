// The cloud credentials kept in a mounted vault: "cloud/credentials.json",
// a JSON array of objects with eight string keys, secrets in clear (the
// vault around it is the protection).
#include "vault/TessarilVault.h"

#include "core/PrivateFiles.h"
#include "core/SecureZero.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString kCredentials = QStringLiteral("credentials.json");
const QString kItem = QStringLiteral("cloud/credentials.json");

QString credentialsFile(const QString& mountPoint)
{
    return mountPoint + QLatin1Char('/') + kItem;
}

QJsonObject toJson(const CloudCredential& c)
{
    return QJsonObject{{QStringLiteral("provider"), c.provider},   {QStringLiteral("profile"), c.profile},
                       {QStringLiteral("accountId"), c.accountId}, {QStringLiteral("accessKeyId"), c.accessKeyId},
                       {QStringLiteral("secretKey"), c.secretKey}, {QStringLiteral("region"), c.region},
                       {QStringLiteral("endpoint"), c.endpoint},   {QStringLiteral("notes"), c.notes}};
}

// Anything but an object reads as an empty one, a key that is missing or
// not a string as an empty text.
CloudCredential fromJson(const QJsonValue& value)
{
    const QJsonObject o = value.toObject();
    const auto text = [&o](const char* key) { return o.value(QLatin1String(key)).toString(); };
    return CloudCredential{text("provider"),  text("profile"), text("accountId"), text("accessKeyId"),
                           text("secretKey"), text("region"),  text("endpoint"),  text("notes")};
}

bool samePair(const CloudCredential& c, const QString& provider, const QString& profile)
{
    return c.provider == provider && c.profile == profile;
}

// False when the file holds something that is not a credentials list (or
// cannot be read): writing over it would lose whatever it held. A missing or
// empty file is an empty list.
bool readCredentials(const QString& path, QList<CloudCredential>* list)
{
    list->clear();
    // A link at the name is not the vault's file: it is never followed,
    // and the next write replaces it.
    if (QFileInfo(path).isSymLink())
        return true;
    QFile file(path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray data = file.readAll();
    const bool empty = data.trimmed().isEmpty();
    const QJsonDocument document = QJsonDocument::fromJson(data);
    secureZero(data);
    if (empty)
        return true;
    if (!document.isArray())
        return false;
    for (const QJsonValue& value : document.array())
        *list << fromJson(value);
    return true;
}

bool writeCredentials(const PrivateFiles::Folder& folder, const QList<CloudCredential>& list, QString* why)
{
    QJsonArray array;
    for (const CloudCredential& c : list)
        array.append(toJson(c));
    QByteArray data = QJsonDocument(array).toJson(QJsonDocument::Indented);
    const bool written = folder.replace(kCredentials, data, why);
    secureZero(data);
    return written;
}

} // namespace

void wipeSecrets(QList<CloudCredential>& credentials)
{
    for (CloudCredential& c : credentials)
        secureZero(c.secretKey);
}

bool TessarilVault::saveCloudCredential(const CloudCredential& credential)
{
    if (!requireMounted())
        return false;
    QString why;
    const PrivateFiles::Folder folder = vaultFolder(QStringLiteral("cloud"), &why);
    if (!folder.isValid()) {
        Q_EMIT vaultError(kItem + QStringLiteral(" not written: ") + why);
        return false;
    }
    const QString path = credentialsFile(mountPoint());
    QList<CloudCredential> list;
    if (!readCredentials(path, &list)) {
        Q_EMIT vaultError(QStringLiteral("Credentials file is unreadable \u2014 not overwritten."));
        return false;
    }
    list.removeIf([&](const CloudCredential& c) { return samePair(c, credential.provider, credential.profile); });
    list << credential;
    const bool written = writeCredentials(folder, list, &why);
    wipeSecrets(list);
    if (!written) {
        tellNotWritten(folder, kItem, kCredentials, why);
        return false;
    }
    Q_EMIT vaultLog(QStringLiteral("Cloud credential saved: %1 / %2").arg(credential.provider, credential.profile));
    return true;
}

QList<CloudCredential> TessarilVault::loadCloudCredentials()
{
    QList<CloudCredential> list;
    if (isMounted())
        readCredentials(credentialsFile(mountPoint()), &list);
    return list;
}

bool TessarilVault::removeCloudCredential(const QString& provider, const QString& profile)
{
    QList<CloudCredential> list = loadCloudCredentials();
    const qsizetype removed =
        list.removeIf([&](const CloudCredential& c) { return samePair(c, provider, profile); });
    if (removed == 0) {
        wipeSecrets(list);
        return false;
    }
    QString why;
    const PrivateFiles::Folder folder = vaultFolder(QStringLiteral("cloud"), &why);
    const bool written = folder.isValid() && writeCredentials(folder, list, &why);
    wipeSecrets(list);
    if (!written) {
        if (folder.isValid())
            tellNotWritten(folder, kItem, kCredentials, why);
        else
            Q_EMIT vaultError(kItem + QStringLiteral(" not written: ") + why);
        return false;
    }
    Q_EMIT vaultLog(QStringLiteral("Cloud credential removed: %1 / %2").arg(provider, profile));
    return true;
}
