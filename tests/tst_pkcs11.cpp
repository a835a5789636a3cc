// The PKCS#11 side of the token tools, against a real software token.
#include "FakeTools.h"
#include "SoftHsmToken.h"
#include "TestHome.h"

#include <QApplication>
#include <QtTest>

class Pkcs11Test : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void softHsmTokenHoldsGeneratedAndImportedKeys();
    void wrapperTranslatesSlotIndexAndRecords();
};

void Pkcs11Test::softHsmTokenHoldsGeneratedAndImportedKeys()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(!token.serial().isEmpty());
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("made")));

    const QString keyPem = token.dirPath() + QStringLiteral("/key.pem");
    const QString certPem = token.dirPath() + QStringLiteral("/cert.pem");
    auto r = ToolRunner::run(QStringLiteral("openssl"),
        {"req", "-new", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", keyPem, "-out", certPem, "-subj", "/CN=fixture", "-days", "1"});
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    QVERIFY2(token.importKey(keyPem, QStringLiteral("0a0b"), QStringLiteral("imported")),
             qPrintable(token.errorString()));
    QVERIFY2(token.importCertificate(certPem, QStringLiteral("0a0b"), QStringLiteral("imported")),
             qPrintable(token.errorString()));

    r = token.runPkcs11Tool({QStringLiteral("--list-objects")}, true);
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    const QString listing = r.stdOutText();
    QCOMPARE(listing.count(QStringLiteral("Private Key Object")), 2);
    QCOMPARE(listing.count(QStringLiteral("Certificate Object")), 1);
    QVERIFY(listing.contains(QStringLiteral("ID:         0a0b")));

    // The URI the PKCS#11 engine uses reaches the imported key: sign with it.
    const QString data = token.dirPath() + QStringLiteral("/data");
    {
        QFile file(data);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(32, 'x'));
    }
    ToolRunner::Options options;
    options.environment = token.environment();
    options.environment.insert(QStringLiteral("PKCS11_MODULE_PATH"), SoftHsmToken::modulePath());
    r = ToolRunner::run(QStringLiteral("openssl"),
        {"pkeyutl", "-engine", "pkcs11", "-keyform", "engine", "-inkey",
         token.keyUri(QStringLiteral("0a0b")) + QStringLiteral(";pin-value=") + token.userPin(),
         "-sign", "-in", data, "-out", token.dirPath() + QStringLiteral("/sig")},
        options);
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    QCOMPARE(token.keyUri(QStringLiteral("0a0b")),
             QStringLiteral("pkcs11:token=Test%20Token;id=%0A%0B;type=private"));
}

void Pkcs11Test::wrapperTranslatesSlotIndexAndRecords()
{
    SoftHsmToken token(QStringLiteral("Wrapped"));
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("k")));
    FakeTools fakes;
    fakes.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
    const auto r = ToolRunner::run(ToolRunner::findTool(QStringLiteral("pkcs11-tool")),
                                   {QStringLiteral("--list-objects"), QStringLiteral("--slot"),
                                    QStringLiteral("0")});
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    QVERIFY(r.stdOutText().contains(QStringLiteral("Public Key Object")));
    QCOMPARE(fakes.arguments(QStringLiteral("pkcs11-tool")),
             (QStringList{"--list-objects", "--slot", "0"}));
}

OT_TEST_MAIN(Pkcs11Test)
#include "tst_pkcs11.moc"
