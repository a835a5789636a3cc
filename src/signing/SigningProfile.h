#pragma once

#include <QString>

// A named, stored set of signing settings. The field names are also the keys
// under which each profile is stored.
struct SigningProfile {
    QString name;
    QString platform;
    QString macIdentity;
    QString macInstallerIdentity;
    QString notarizeProfile;
    QString entitlementsPath;
    QString certChainPem;
    QString pkcs11Uri;
    QString pkcs11ConfigPath;
    QString timestampUrl;
    QString deviceSerial;
    QString pivSlot;
    QString createdDate;
    QString lastUsedDate;

    // A profile without a name or a platform is never handed out.
    bool isValid() const { return !name.isEmpty() && !platform.isEmpty(); }
};
