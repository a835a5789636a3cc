#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "core/ToolRunner.h"

// A real PKCS#11 token for one test: a fresh SoftHSM2 token in a private token
// folder, with its own SOFTHSM2_CONF. While the object lives, SOFTHSM2_CONF is
// set in this process's environment, so every tool the test starts (the
// pkcs11-tool wrapper in tests/fakes, openssl with the PKCS#11 engine,
// osslsigncode) sees this token and nothing else; the old value comes back
// afterwards.
//
//     SoftHsmToken token;                       // label "Test Token", PIN 123456
//     QVERIFY2(token.isValid(), qPrintable(token.errorString()));
//     QVERIFY(token.generateKey("01", "sign key"));
//     QVERIFY(token.importKey(pemPath, "02", "imported"));
//
// Object ids are hexadecimal text, as pkcs11-tool and softhsm2-util take them
// ("01" is the single byte 0x01).
class SoftHsmToken
{
public:
    explicit SoftHsmToken(const QString& label = QStringLiteral("Test Token"),
                          const QString& userPin = QStringLiteral("123456"),
                          const QString& soPin = QStringLiteral("87654321"));
    ~SoftHsmToken();
    SoftHsmToken(const SoftHsmToken&) = delete;
    SoftHsmToken& operator=(const SoftHsmToken&) = delete;

    // SoftHSM2's PKCS#11 module, the one to hand to pkcs11-tool --module,
    // the PKCS#11 engine's MODULE_PATH or a provider configuration.
    static QString modulePath();
    // softhsm2-util and the module are both installed.
    static bool available();

    bool isValid() const { return valid; }
    QString errorString() const { return error; }

    QString label() const { return tokenLabel; }
    QString userPin() const { return pin; }
    QString soPin() const { return securityOfficerPin; }
    // SoftHSM's slot id of the token (a large number, not an index) and its
    // serial number as the token reports it.
    qulonglong slotId() const { return slot; }
    QString serial() const { return serialNumber; }
    // Where the configuration and the token folder live; scratch files may
    // go here too.
    QString dirPath() const { return dir.path(); }
    QString confPath() const;
    // The system environment with this token's SOFTHSM2_CONF.
    QProcessEnvironment environment() const;
    // An RFC 7512 URI naming the private key with this id on this token, for
    // the PKCS#11 engine or provider ("pkcs11:token=Test%20Token;id=%01;type=private").
    QString keyUri(const QString& hexId) const;

    // Generates a key pair on the token (keyType as pkcs11-tool takes it:
    // "EC:prime256v1", "rsa:2048").
    bool generateKey(const QString& hexId, const QString& objectLabel,
                     const QString& keyType = QStringLiteral("EC:prime256v1"));
    // Imports a PEM private key (PKCS#8 or traditional) as a key pair.
    bool importKey(const QString& pemPath, const QString& hexId, const QString& objectLabel);
    // Writes a certificate (PEM or DER) as a certificate object.
    bool importCertificate(const QString& certPath, const QString& hexId,
                           const QString& objectLabel);

    // Runs the real pkcs11-tool on this token: --module and --slot are added,
    // a login with the user PIN when login is true.
    ToolRunner::Result runPkcs11Tool(const QStringList& arguments, bool login = false) const;

private:
    bool fail(const QString& what, const ToolRunner::Result& result);

    QTemporaryDir dir;
    QString tokenLabel, pin, securityOfficerPin, serialNumber, error;
    qulonglong slot = 0;
    bool valid = false;
    QByteArray oldConf;
    bool hadConf = false;
};
