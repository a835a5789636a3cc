#include "signing/SigningProfileManager.h"

#include "config/Settings.h"

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

void writeAll(QSettings& settings, const QList<SigningProfile>& profiles)
{
    settings.beginWriteArray(arrayName, int(profiles.size()));
    for (int i = 0; i < profiles.size(); ++i) {
        settings.setArrayIndex(i);
        for (const Field& field : fields)
            settings.setValue(QLatin1String(field.key), profiles.at(i).*field.member);
    }
    settings.endArray();
}

} // namespace

QList<SigningProfile> SigningProfileManager::loadAll()
{
    QList<SigningProfile> profiles;
    AppSettings settings;
    // The stored size is only a claim: a damaged file may say two thousand
    // million. Entries past the highest one present would all read empty.
    settings->beginGroup(arrayName);
    int highest = 0;
    for (const QString& index : settings->childGroups())
        highest = std::max(highest, index.toInt());
    settings->endGroup();
    const int count = std::min(settings->beginReadArray(arrayName), highest);
    for (int i = 0; i < count; ++i) {
        settings->setArrayIndex(i);
        SigningProfile profile;
        for (const Field& field : fields)
            profile.*field.member = settings->value(QLatin1String(field.key)).toString();
        if (profile.isValid())
            profiles << profile;
    }
    settings->endArray();
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
    settings->remove(arrayName);
    writeAll(*settings, profiles);
    return settings.sync();
}
