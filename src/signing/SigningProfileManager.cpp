#include "signing/SigningProfileManager.h"

#include "config/Settings.h"
#include "core/SecureZero.h"
#include "signing/Pkcs11Config.h"

#include <algorithm>

namespace {

const QString arrayName = QStringLiteral("signingProfiles");

// The stored keys in field order, each with its member.
struct Field {
    const char* key;
    QString SigningProfile::*member;
};

const Field fields[] = {
    {"name", &SigningProfile::name},
    {"platform", &SigningProfile::platform},
    {"macIdentity", &SigningProfile::macIdentity},
    {"macInstallerIdentity", &SigningProfile::macInstallerIdentity},
    {"notarizeProfile", &SigningProfile::notarizeProfile},
    {"entitlementsPath", &SigningProfile::entitlementsPath},
    {"certChainPem", &SigningProfile::certChainPem},
    {"pkcs11Uri", &SigningProfile::pkcs11Uri},
    {"pkcs11ConfigPath", &SigningProfile::pkcs11ConfigPath},
    {"timestampUrl", &SigningProfile::timestampUrl},
    {"deviceSerial", &SigningProfile::deviceSerial},
    {"pivSlot", &SigningProfile::pivSlot},
    {"createdDate", &SigningProfile::createdDate},
    {"lastUsedDate", &SigningProfile::lastUsedDate},
};

// The settings file is no place for a PIN, however the URI was typed: each
// profile is written without one, so a PIN an older file still holds goes
// at the next write.
void writeAll(QSettings& settings, const QList<SigningProfile>& profiles)
{
    // Entries the file held under other indexes would otherwise be read
    // again beside the rewritten ones.
    settings.remove(arrayName);
    settings.beginWriteArray(arrayName, int(profiles.size()));
    for (int i = 0; i < profiles.size(); ++i) {
        settings.setArrayIndex(i);
        SigningProfile profile = profiles.at(i);
        QString uriPin;
        bool hadPinSource = false;
        const QString withoutPin = Pkcs11Config::withoutPin(profile.pkcs11Uri, &uriPin, &hadPinSource);
        if (!uriPin.isEmpty() || hadPinSource)
            profile.pkcs11Uri = withoutPin;
        secureZero(uriPin);
        for (const Field& field : fields)
            settings.setValue(QLatin1String(field.key), profile.*field.member);
    }
    settings.endArray();
}

} // namespace

QList<SigningProfile> SigningProfileManager::loadAll()
{
    QList<SigningProfile> profiles;
    AppSettings settings;
    // Only the entries that are there are read: the stored size, and the
    // index of an entry, are claims of the file, which a damaged or crafted
    // one may put at two thousand million.
    settings->beginGroup(arrayName);
    QList<int> indexes;
    for (const QString& group : settings->childGroups()) {
        bool isNumber = false;
        const int index = group.toInt(&isNumber);
        if (isNumber && index > 0 && QString::number(index) == group)
            indexes << index;
    }
    std::sort(indexes.begin(), indexes.end());
    for (const int index : std::as_const(indexes)) {
        settings->beginGroup(QString::number(index));
        SigningProfile profile;
        for (const Field& field : fields)
            profile.*field.member = settings->value(QLatin1String(field.key)).toString();
        settings->endGroup();
        if (profile.isValid())
            profiles << profile;
    }
    settings->endGroup();
    return profiles;
}

SigningProfile SigningProfileManager::load(const QString& name)
{
    for (const SigningProfile& profile : loadAll()) {
        if (profile.name == name)
            return profile;
    }
    return SigningProfile();
}

bool SigningProfileManager::save(const SigningProfile& profile)
{
    QList<SigningProfile> profiles = loadAll();
    bool replaced = false;
    for (SigningProfile& stored : profiles) {
        if (stored.name == profile.name) {
            stored = profile;
            replaced = true;
            break;
        }
    }
    if (!replaced)
        profiles << profile;
    AppSettings settings;
    writeAll(*settings, profiles);
    return settings.sync();
}

bool SigningProfileManager::remove(const QString& name)
{
    QList<SigningProfile> profiles = loadAll();
    profiles.removeIf([&name](const SigningProfile& profile) { return profile.name == name; });
    AppSettings settings;
    writeAll(*settings, profiles);
    return settings.sync();
}
