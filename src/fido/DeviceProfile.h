#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The catalogue entry of one security-key model: what it can do, which
// toolchain drives its PIV applet, and the hardware limits a user must know.
struct DeviceProfile
{
    QString name;
    QString vendor;
    QString family; // "Generic PIV" marks the PIV fallback entry
    quint16 vendorId = 0;  // 0: never matched by id
    quint16 productId = 0; // 0: any product of the vendor
    QString firmwarePattern; // "*", "a.b.c-x.y.z" or "a.b+"

    bool fido2 = false;
    bool fido2FactoryReset = false;
    bool fido2SetPin = true;
    bool fido2ChangePin = true;
    bool fido2CredMgmt = false;

    bool piv = false;
    bool pivHarden = false;
    bool pivAes256MgmtKey = false;
    bool pivKeyGenCsr = false;
    bool pivAttestation = false;
    bool pivImportCert = false;
    bool pivSlotDelete = false;

    bool eccP256 = false;
    bool eccP384 = false;
    bool rsa2048 = false;
    bool rsa3072 = false;
    int rsaMaxBits = 0;
    QString toolchain; // "ykman", "opensc" or empty

    bool otp = false;
    bool oath = false;
    bool openpgp = false;
    bool staticPassword = false;
    bool challengeResponse = false;

    bool resetFido2Applet = false;
    bool resetPivApplet = false;
    bool resetOtpApplet = false;
    bool resetOathApplet = false;
    bool resetOpenpgpApplet = false;
    bool fullConfigReset = false;

    QStringList constraints;

    // The device context menu as a small script: "---" is a separator,
    // "SUBMENU:<title>" opens a sub-menu and "END_SUBMENU" closes it; any
    // other line is an action, indented by two spaces inside a sub-menu.
    QStringList contextMenuActions() const;
};
