#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// One enumerated FIDO2 key: what the manifest says about it and what its
// authenticatorGetInfo answer reported. A key that could not be opened or
// queried keeps the manifest fields and the defaults below.
struct FidoKeyInfo
{
    QString product;
    QString manufacturer;
    QString aaguid;     // 32 lower-case hex digits, or empty
    QString devicePath; // the key's identity for every later operation
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString fidoVersion; // "FIDO_2_1", "FIDO_2_1_PRE", "FIDO_2_0", "U2F" or empty
    QStringList versions;
    QStringList extensions;
    QStringList algorithms;
    QStringList transports;
    bool clientPin = false; // a PIN is set
    bool credMgmt = false;  // credential management offered, final or preview
    bool authnrCfg = false;
    bool largeBlobs = false;
    bool plat = false;
    int remainingCredentials = -1; // never reported here; shown as "N/A"
    int maxCredCountInList = -1;
    int maxMsgSize = 0;
    int minPinLength = 4;
    quint8 firmwareMajor = 0;
    quint8 firmwareMinor = 0;
    quint8 firmwarePatch = 0;
    bool hasPiv = false; // no FIDO2 query reveals a PIV applet; read by the catalogue
    // The key was opened or queried but let the wait for its answer pass: it
    // is listed with the defaults above and shown as not answering.
    bool notAnswering = false;
};
