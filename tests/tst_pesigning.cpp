// Authenticode signing of Windows PE files through osslsigncode: real
// signatures with a key file and with a key on a SoftHSM2 token, checked by
// the real tool against a throwaway CA; a recording stand-in only where the
// real tool cannot show what is asked (exact arguments, a positive verify
// that would need a system-wide trusted root, a hung tool).
#include "signing/OsslSigncodeBridge.h"
#include "signing/SigningProfileManager.h"
#include "config/UserProfile.h"

#include "FakeTools.h"
#include "FileSizeLimit.h"
#include "RealOsslsigncode.h"
#include "SoftHsmToken.h"
#include "TestHome.h"
#include "TestPki.h"
#include "TokenSigningKey.h"
#include "MinimalPe.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Both signals of a bridge in the order they came, errors marked "error: ".
class BridgeLog
{
public:
    explicit BridgeLog(OsslSigncodeBridge& bridge)
    {
        QObject::connect(&bridge, &OsslSigncodeBridge::signingLog,
                         [this](const QString& line) { lines << line; });
        QObject::connect(&bridge, &OsslSigncodeBridge::signingError,
                         [this](const QString& line) { lines << QStringLiteral("error: ") + line; });
    }
    bool mentions(const QString& text) const
    {
        for (const QString& line : lines) {
            if (line.contains(text))
                return true;
        }
        return false;
    }
    QStringList lines;
};

QStringList setupLines(const QString& in, const QString& out, const QString& certs, const QString& key,
                       const QString& ts)
{
    return {QStringLiteral("Signing: ") + in, QStringLiteral("Output:  ") + out,
            QStringLiteral("Cert:    ") + certs, QStringLiteral("Key:     ") + key,
            QStringLiteral("TS:      ") + ts};
}

// The tool signs into a private folder beside the output, which the bridge
// moves into place afterwards: the last argument, checked and shown as the
// output it stands for.
QStringList withStagedOutput(QStringList arguments, const QString& out)
{
    const QFileInfo staged(arguments.value(arguments.size() - 1));
    const QFileInfo final(out);
    if (staged.fileName() != final.fileName()
        || QFileInfo(staged.path()).path() != final.absolutePath()
        || !QFileInfo(staged.path()).fileName().startsWith(QLatin1Char('.') + final.fileName() + QLatin1Char('-')))
        return arguments << QStringLiteral("<unexpected output %1>").arg(staged.filePath());
    arguments.last() = out;
    return arguments;
}

// A stand-in that "signs" by writing a file larger than any test input.
const QString writesOutput = QStringLiteral("head -c 4096 /dev/zero > \"${@: -1}\"");

} // namespace

class PeSigningTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void signsWithKeyFileAndChain();
    void signsWithTokenKeyAndPinOnStandardInput();
    void signingFailureIsReported();
    void signArguments_data();
    void signArguments();
    void opensslConfReachesTheTool();
    void pinValueIsMaskedInEveryLogLine();
    void verifyUnsignedFileFails();
    void verifyPassReportsToolOutput();
    void signatureInfoUsesAPrivateScratchFolder();
    void hungToolIsAFailure_data();
    void hungToolIsAFailure();
    void missingTool();
    void outputMissingOrCutIsNotSigned_data();
    void outputMissingOrCutIsNotSigned();
    void pinValueInUriGoesToStandardInput();
    void pinInAnyPlaceOfTheUriNeverOnACommandLine_data();
    void pinInAnyPlaceOfTheUriNeverOnACommandLine();
    void uriThatBreaksTheSyntaxIsRefused_data();
    void uriThatBreaksTheSyntaxIsRefused();

private:
    std::unique_ptr<TestPki> pki;
    std::unique_ptr<QTemporaryDir> work;
    QString unsignedPe;
};

void PeSigningTest::initTestCase()
{
    QVERIFY2(!realOsslsigncode().isEmpty(), "osslsigncode is not installed");
    pki = std::make_unique<TestPki>();
    QVERIFY2(pki->isValid(), qPrintable(pki->errorString()));
}

void PeSigningTest::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    unsignedPe = work->filePath(QStringLiteral("app.exe"));
    QVERIFY(MinimalPe::write(unsignedPe));
}

void PeSigningTest::signsWithKeyFileAndChain()
{
    OsslSigncodeBridge bridge;
    QVERIFY(bridge.isAvailable());
    QVERIFY(bridge.version().startsWith(QStringLiteral("osslsigncode")));
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("app-signed.exe"));

    QVERIFY(bridge.signPE(unsignedPe, out, pki->chainPath(), pki->leaf().keyPath, {}, {}, {}, {},
                          QStringLiteral("Tessaril test program")));

    QCOMPARE(log.lines, (setupLines(unsignedPe, out, pki->chainPath(), pki->leaf().keyPath, {})
                         + QStringList{QStringLiteral("[osslsigncode sign] exit=0"),
                                       QStringLiteral("Signed successfully.")}));
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());
    // The bridge never touches its input.
    QCOMPARE(QFile(unsignedPe).size(), MinimalPe::image().size());
}

void PeSigningTest::signsWithTokenKeyAndPinOnStandardInput()
{
    SoftHsmToken token;
    const QString chain = work->filePath(QStringLiteral("token-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("token-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));

    // A wrapper records what the real tool receives, then hands over to it.
    FakeTools fakes;
    fakes.recordReal(QStringLiteral("osslsigncode"), realOsslsigncode());
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("app-token.exe"));
    const QString uri = token.keyUri(QStringLiteral("01"));
    QVERIFY(uri.contains(QLatin1Char(';')));

    const bool signedOk = bridge.signPE(unsignedPe, out, chain, uri, {}, SoftHsmToken::modulePath(), {}, {}, {},
                                        token.userPin());
    QVERIFY2(signedOk, qPrintable(log.lines.join(QLatin1Char('\n'))));

    const QStringList arguments = fakes.arguments(QStringLiteral("osslsigncode"));
    QCOMPARE(withStagedOutput(arguments, out), (QStringList{QStringLiteral("sign"), QStringLiteral("-pkcs11module"),
                                     SoftHsmToken::modulePath(), QStringLiteral("-certs"), chain,
                                     QStringLiteral("-key"), uri, QStringLiteral("-readpass"),
                                     QStringLiteral("-"), QStringLiteral("-in"), unsignedPe,
                                     QStringLiteral("-out"), out}));
    QCOMPARE(fakes.standardInput(QStringLiteral("osslsigncode")), token.userPin().toUtf8());
    for (const QString& argument : arguments)
        QVERIFY(!argument.contains(token.userPin()));
    QVERIFY(!log.mentions(token.userPin()));
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());

    // Without a PIN the token's prompt meets a closed standard input and
    // fails on its own instead of waiting for the time-out.
    bridge.runTimeoutMs = 60000;
    QVERIFY(!bridge.signPE(unsignedPe, work->filePath(QStringLiteral("no-pin.exe")), chain, uri, {},
                           SoftHsmToken::modulePath(), {}, {}, {}));
    QVERIFY(!log.mentions(QStringLiteral("timed out")));
    QVERIFY(!QFile::exists(work->filePath(QStringLiteral("no-pin.exe"))));
}

void PeSigningTest::signingFailureIsReported()
{
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("app-signed.exe"));
    const QString missingKey = work->filePath(QStringLiteral("missing.key"));

    QVERIFY(!bridge.signPE(unsignedPe, out, pki->chainPath(), missingKey, {}, {}, {}, {}, {}));

    QCOMPARE(log.lines.mid(0, 6), (setupLines(unsignedPe, out, pki->chainPath(), missingKey, {})
                                   + QStringList{QStringLiteral("[osslsigncode sign] exit=255")}));
    QVERIFY(log.lines.at(6).startsWith(QStringLiteral("error: ")));
    QVERIFY(log.lines.at(6).contains(missingKey));
    QVERIFY(log.lines.at(7).startsWith(QStringLiteral("Signing FAILED: ")));
    QVERIFY(log.lines.at(7).contains(missingKey));
    QVERIFY(!log.mentions(QStringLiteral("Signed successfully.")));
    QVERIFY(!QFile::exists(out));
}

void PeSigningTest::signArguments_data()
{
    QTest::addColumn<QString>("engine");
    QTest::addColumn<QString>("module");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("timestamp");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("key file, nothing optional")
        << QString() << QString() << QStringLiteral("/keys/sign.key") << QString() << QString() << QString()
        << QStringList{"sign", "-certs", "/c/chain.pem", "-key", "/keys/sign.key", "-in", "/p/in.exe", "-out",
                       "/p/out.exe"};
    QTest::newRow("everything")
        << QStringLiteral("/e/pkcs11.so") << QStringLiteral("/m/module.so")
        << QStringLiteral("pkcs11:token=My%20Token;id=%01;type=private")
        << QStringLiteral("http://127.0.0.1:1/tsa") << QStringLiteral("My Program") << QStringLiteral("2468")
        << QStringList{"sign", "-pkcs11engine", "/e/pkcs11.so", "-pkcs11module", "/m/module.so", "-certs",
                       "/c/chain.pem", "-key", "pkcs11:token=My%20Token;id=%01;type=private", "-readpass", "-",
                       "-ts", "http://127.0.0.1:1/tsa", "-n", "My Program", "-in", "/p/in.exe", "-out",
                       "/p/out.exe"};
    QTest::newRow("token key without a PIN")
        << QString() << QStringLiteral("/m/module.so") << QStringLiteral("pkcs11:token=T;id=%02;type=private")
        << QString() << QString() << QString()
        << QStringList{"sign", "-pkcs11module", "/m/module.so", "-certs", "/c/chain.pem", "-key",
                       "pkcs11:token=T;id=%02;type=private", "-in", "/p/in.exe", "-out", "/p/out.exe"};
}

void PeSigningTest::signArguments()
{
    QFETCH(QString, engine);
    QFETCH(QString, module);
    QFETCH(QString, key);
    QFETCH(QString, timestamp);
    QFETCH(QString, description);
    QFETCH(QString, pin);
    QFETCH(QStringList, expected);

    FakeTools fakes;
    fakes.install(QStringLiteral("osslsigncode"));
    fakes.setHook(QStringLiteral("osslsigncode"), writesOutput);
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("out.exe"));
    expected.last() = out;
    QVERIFY(bridge.signPE(QStringLiteral("/p/in.exe"), out,
                          QStringLiteral("/c/chain.pem"), key, engine, module, {}, timestamp, description, pin));

    QCOMPARE(withStagedOutput(fakes.arguments(QStringLiteral("osslsigncode")), out), expected);
    QCOMPARE(fakes.standardInput(QStringLiteral("osslsigncode")), pin.toUtf8());
    QCOMPARE(log.lines, (setupLines(QStringLiteral("/p/in.exe"), out,
                                    QStringLiteral("/c/chain.pem"), key, timestamp)
                         + QStringList{QStringLiteral("[osslsigncode sign] exit=0"),
                                       QStringLiteral("Signed successfully.")}));
}

void PeSigningTest::opensslConfReachesTheTool()
{
    // Signing adds OPENSSL_CONF to the program's own environment; without a
    // configuration, and for the other runs, the tool inherits that
    // environment whole rather than starting from nothing.
    ScopedEnv inherited("OT_PE_MARK", "inherited");
    ScopedEnv conf("OPENSSL_CONF", "/etc/ssl/openssl.cnf");
    FakeTools fakes;
    fakes.install(QStringLiteral("osslsigncode"));
    fakes.setHook(QStringLiteral("osslsigncode"),
                  QStringLiteral("echo \"$OPENSSL_CONF|$OT_PE_MARK\" >> \"$FAKE_STATE/seen\"; "
                                 "[ \"$1\" != sign ] || ") + writesOutput);
    OsslSigncodeBridge bridge;
    const QString out = work->filePath(QStringLiteral("o.exe"));

    QVERIFY(bridge.signPE(unsignedPe, out, QStringLiteral("c.pem"), QStringLiteral("k.pem"), {}, {},
                          QStringLiteral("/cfg/openssl-pkcs11.cnf"), {}, {}));
    QVERIFY(bridge.signPE(unsignedPe, out, QStringLiteral("c.pem"), QStringLiteral("k.pem"), {}, {}, {}, {}, {}));
    QVERIFY(bridge.verifyPE(unsignedPe));
    bridge.signatureInfo(unsignedPe);

    QFile seen(fakes.stateDir() + QStringLiteral("/seen"));
    QVERIFY(seen.open(QIODevice::ReadOnly));
    QCOMPARE(seen.readAll(), QByteArray("/cfg/openssl-pkcs11.cnf|inherited\n"
                                        "/etc/ssl/openssl.cnf|inherited\n"
                                        "/etc/ssl/openssl.cnf|inherited\n"
                                        "/etc/ssl/openssl.cnf|inherited\n"));
}

void PeSigningTest::pinValueIsMaskedInEveryLogLine()
{
    // A PIN written into the key's URI reaches the tool as the user asked, but
    // no log line: not the "Key:" line, and not the tool's own complaint, which
    // repeats the URI it failed to load.
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY2(token.generateKey(QStringLiteral("01"), QStringLiteral("sign key")), qPrintable(token.errorString()));
    const QString uri = token.keyUri(QStringLiteral("01")) + QStringLiteral(";pin-value=975310");
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);

    QVERIFY(!bridge.signPE(unsignedPe, work->filePath(QStringLiteral("o.exe")), pki->chainPath(), uri, {},
                           SoftHsmToken::modulePath(), {}, {}, {}));

    QVERIFY(log.lines.contains(QStringLiteral("Key:     ") + token.keyUri(QStringLiteral("01"))
                               + QStringLiteral(";pin-value=****")));
    QVERIFY2(log.mentions(QStringLiteral("pin-value=****")) && !log.mentions(QStringLiteral("975310")),
             qPrintable(log.lines.join(QLatin1Char('\n'))));
    // The tool's complaint is still there.
    QVERIFY(log.lines.last().startsWith(QStringLiteral("Signing FAILED: ")));

    QCOMPARE(OsslSigncodeBridge::maskPinValues(
                 QStringLiteral("pkcs11:token=T?pin-value=12%203&module-name=x\nnext pin-value=9;id=%01")),
             QStringLiteral("pkcs11:token=T?pin-value=****&module-name=x\nnext pin-value=****;id=%01"));
}

void PeSigningTest::verifyUnsignedFileFails()
{
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    QVERIFY(!bridge.verifyPE(unsignedPe));
    QCOMPARE(log.lines.size(), 3);
    QCOMPARE(log.lines.at(0), QStringLiteral("[osslsigncode verify] exit=1"));
    QVERIFY(log.lines.at(1).startsWith(QStringLiteral("error: ")));
    QCOMPARE(log.lines.at(2), QStringLiteral("Verification FAILED: ") + unsignedPe);
}

void PeSigningTest::verifyPassReportsToolOutput()
{
    // A real pass would need the test root trusted system-wide.
    FakeTools fakes;
    fakes.install(QStringLiteral("osslsigncode"));
    fakes.answer(QStringLiteral("osslsigncode"), "\nSignature verification: ok\n\nSucceeded\n\n");
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    QVERIFY(bridge.verifyPE(unsignedPe));
    QCOMPARE(fakes.arguments(QStringLiteral("osslsigncode")), (QStringList{QStringLiteral("verify"), unsignedPe}));
    QCOMPARE(log.lines, (QStringList{QStringLiteral("[osslsigncode verify] exit=0"),
                                     QStringLiteral("Verification PASSED: ") + unsignedPe,
                                     // One log line: its breaks shown, not taken.
                                     QStringLiteral("Signature verification: ok\\n\\nSucceeded")}));
}

void PeSigningTest::signatureInfoUsesAPrivateScratchFolder()
{
    OsslSigncodeBridge bridge;
    const QString signedPe = work->filePath(QStringLiteral("app-signed.exe"));
    QVERIFY(bridge.signPE(unsignedPe, signedPe, pki->chainPath(), pki->leaf().keyPath, {}, {}, {}, {}, {}));

    // Another local user may plant the old fixed name in the shared
    // temporary folder; it must neither be used nor written through.
    QTemporaryDir shared;
    QVERIFY(shared.isValid());
    const QString victim = work->filePath(QStringLiteral("victim.txt"));
    QFile victimFile(victim);
    QVERIFY(victimFile.open(QIODevice::WriteOnly));
    victimFile.write("untouched");
    victimFile.close();
    const QString planted = shared.filePath(QStringLiteral("tessaril-siginfo.pem"));
    QVERIFY(QFile::link(victim, planted));
    ScopedEnv tmp("TMPDIR", QFile::encodeName(shared.path()));

    const QString pem = bridge.signatureInfo(signedPe);
    QVERIFY2(pem.startsWith(QStringLiteral("-----BEGIN PKCS7-----")), qPrintable(pem));
    QVERIFY(pem.trimmed().endsWith(QStringLiteral("-----END PKCS7-----")));

    const QString none = bridge.signatureInfo(unsignedPe);
    QVERIFY(!none.contains(QStringLiteral("BEGIN")));

    QCOMPARE(QDir(shared.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("tessaril-siginfo.pem")});
    QVERIFY(victimFile.open(QIODevice::ReadOnly));
    QCOMPARE(victimFile.readAll(), QByteArray("untouched"));
}

void PeSigningTest::hungToolIsAFailure_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("sign") << QStringLiteral("sign");
    QTest::newRow("verify") << QStringLiteral("verify");
    QTest::newRow("signatureInfo") << QStringLiteral("extract-signature");
}

void PeSigningTest::hungToolIsAFailure()
{
    QFETCH(QString, operation);
    FakeTools fakes;
    fakes.install(QStringLiteral("osslsigncode"));
    fakes.setSleep(QStringLiteral("osslsigncode"), 5);
    QTemporaryDir shared;
    ScopedEnv tmp("TMPDIR", QFile::encodeName(shared.path()));
    fakes.answer(QStringLiteral("osslsigncode"), "-----BEGIN PKCS7-----\n");
    OsslSigncodeBridge bridge;
    bridge.runTimeoutMs = 300;
    BridgeLog log(bridge);

    if (operation == QStringLiteral("sign")) {
        QVERIFY(!bridge.signPE(unsignedPe, work->filePath(QStringLiteral("o.exe")), QStringLiteral("c.pem"),
                               QStringLiteral("k.pem"), {}, {}, {}, {}, {}));
        QCOMPARE(log.lines.last(), QStringLiteral("Signing FAILED: timed out after 300 ms"));
        QVERIFY(!log.mentions(QStringLiteral("Signed successfully.")));
    } else if (operation == QStringLiteral("verify")) {
        QVERIFY(!bridge.verifyPE(unsignedPe));
        QCOMPARE(log.lines.last(), QStringLiteral("Verification FAILED: ") + unsignedPe);
    } else {
        QCOMPARE(bridge.signatureInfo(unsignedPe), QString());
    }
    QVERIFY(log.lines.contains(QStringLiteral("[osslsigncode %1] exit=-1").arg(operation)));
    QVERIFY(log.lines.contains(QStringLiteral("error: timed out after 300 ms")));
    QVERIFY(QDir(shared.path()).isEmpty());
}

void PeSigningTest::missingTool()
{
    OsslSigncodeBridge bridge;
    bridge.path = work->filePath(QStringLiteral("no-such-osslsigncode"));
    QVERIFY(!bridge.isAvailable());
    QCOMPARE(bridge.version(), QString());
    BridgeLog log(bridge);
    QVERIFY(!bridge.signPE(unsignedPe, work->filePath(QStringLiteral("o.exe")), pki->chainPath(),
                           pki->leaf().keyPath, {}, {}, {}, {}, {}));
    QCOMPARE(log.lines.mid(5), (QStringList{QStringLiteral("[osslsigncode sign] exit=-1"), QStringLiteral("error: "),
                                            QStringLiteral("Signing FAILED: ")}));
}

void PeSigningTest::outputMissingOrCutIsNotSigned_data()
{
    QTest::addColumn<QString>("behaviour");   // empty: the real tool on a full disk
    QTest::newRow("exits 0, writes nothing") << QStringLiteral("exit 0");
    QTest::newRow("exits 0, output no larger than the input")
        << QStringLiteral("head -c 100 \"${@: -3:1}\" > \"${@: -1}\"");
    QTest::newRow("real osslsigncode, disk full") << QString();
}

void PeSigningTest::outputMissingOrCutIsNotSigned()
{
    QFETCH(QString, behaviour);
    std::unique_ptr<FakeTools> fakes;
    if (!behaviour.isEmpty()) {
        fakes = std::make_unique<FakeTools>();
        fakes->install(QStringLiteral("osslsigncode"));
        fakes->setHook(QStringLiteral("osslsigncode"), behaviour);
    }
    const QString out = unsignedPe + QStringLiteral(".signed");
    QFile earlier(out);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier good signed file");
    earlier.close();

    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    bool signedOk = true;
    {
        // Less room than the input takes: the signed copy is cut short.
        std::unique_ptr<FileSizeLimit> diskFull;
        if (behaviour.isEmpty())
            diskFull = std::make_unique<FileSizeLimit>(QFileInfo(unsignedPe).size() / 2);
        signedOk = bridge.signPE(unsignedPe, out, pki->chainPath(), pki->leaf().keyPath, {}, {}, {}, {}, {});
    }
    QVERIFY(!signedOk);
    QVERIFY(!log.mentions(QStringLiteral("Signed successfully.")));
    if (!behaviour.isEmpty())
        QCOMPARE(log.lines.last(), QStringLiteral("Signing FAILED: output missing or cut"));
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("an earlier good signed file"));
    QCOMPARE(QDir(work->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"app.exe", "app.exe.signed"}));
}

void PeSigningTest::pinValueInUriGoesToStandardInput()
{
    // A PIN typed into the URI signs like one typed in the dialog, without
    // ever standing on the tool's command line.
    SoftHsmToken token;
    const QString chain = work->filePath(QStringLiteral("uri-pin-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("uri-pin-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));

    FakeTools fakes;
    fakes.recordReal(QStringLiteral("osslsigncode"), realOsslsigncode());
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("uri-pin.exe"));
    const QString bare = token.keyUri(QStringLiteral("01"));
    const QString uri = bare + QStringLiteral(";pin-value=") + token.userPin();

    QVERIFY2(bridge.signPE(unsignedPe, out, chain, uri, {}, SoftHsmToken::modulePath(), {}, {}, {}),
             qPrintable(log.lines.join(QLatin1Char('\n'))));
    const QStringList arguments = fakes.arguments(QStringLiteral("osslsigncode"));
    QCOMPARE(arguments.mid(5, 4), (QStringList{QStringLiteral("-key"), bare, QStringLiteral("-readpass"),
                                               QStringLiteral("-")}));
    QCOMPARE(fakes.standardInput(QStringLiteral("osslsigncode")), token.userPin().toUtf8());
    QVERIFY(!arguments.join(QLatin1Char(' ')).contains(QLatin1String("pin-value")));
    QVERIFY(!log.mentions(token.userPin()));
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());

    QString pin;
    QCOMPARE(OsslSigncodeBridge::withoutPinValue(
                 QStringLiteral("pkcs11:token=T;pin-value=12%203;id=%01?module-name=x&pin-value=9"), &pin),
             QStringLiteral("pkcs11:token=T;id=%01?module-name=x"));
    QCOMPARE(pin, QStringLiteral("9"));
    QCOMPARE(OsslSigncodeBridge::withoutPinValue(QStringLiteral("/keys/pin-value=1.pem"), &pin),
             QStringLiteral("/keys/pin-value=1.pem"));
    QCOMPARE(pin, QString());
}

void PeSigningTest::pinInAnyPlaceOfTheUriNeverOnACommandLine_data()
{
    // {key}: the token and the key's id as URI attributes; {pin}: the PIN.
    QTest::addColumn<QString>("shape");
    QTest::addColumn<bool>("pinTyped");   // the PIN comes from the dialog, not the URI
    QTest::newRow("first") << "pkcs11:pin-value={pin};{key};type=private" << false;
    QTest::newRow("middle") << "pkcs11:{key};pin-value={pin};type=private" << false;
    QTest::newRow("last") << "pkcs11:{key};type=private;pin-value={pin}" << false;
    QTest::newRow("in the query") << "pkcs11:{key};type=private?pin-value={pin}" << false;
    QTest::newRow("upper case, first") << "PKCS11:PIN-VALUE={pin};{key};type=private" << false;
    QTest::newRow("percent-encoded name, first") << "pkcs11:pin%2Dvalue={pin};{key};type=private" << false;
    QTest::newRow("percent-encoded value, first") << "pkcs11:pin-value={encoded};{key};type=private" << false;
    QTest::newRow("blanks around, first") << " \tpkcs11:pin-value={pin};{key};type=private " << false;
    QTest::newRow("pin-source first, PIN typed") << "pkcs11:pin-source=file:/nonexistent/pin;{key};type=private"
                                                 << true;
}

void PeSigningTest::pinInAnyPlaceOfTheUriNeverOnACommandLine()
{
    // The judge is strace: every program started below the bridge, with its
    // whole command line, as the kernel saw it.
    QFETCH(QString, shape);
    QFETCH(bool, pinTyped);
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    QVERIFY2(!strace.isEmpty(), "strace is not installed");
    TestHome home;
    SoftHsmToken token(QStringLiteral("Test Token"), QStringLiteral("975310"));
    const QString chain = work->filePath(QStringLiteral("any-place-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("any-place-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));
    const QString pin = token.userPin();
    QString encoded;
    for (const QChar c : pin)
        encoded += QStringLiteral("%%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    const QString key = QStringLiteral("token=Test%20Token;id=%01");
    QCOMPARE(token.keyUri(QStringLiteral("01")), QStringLiteral("pkcs11:") + key + QStringLiteral(";type=private"));
    const QString uri = QString(shape)
                            .replace(QStringLiteral("{key}"), key)
                            .replace(QStringLiteral("{pin}"), pin)
                            .replace(QStringLiteral("{encoded}"), encoded);

    const QString trace = work->filePath(QStringLiteral("exec.trace"));
    const QString wrapper = work->filePath(QStringLiteral("traced-osslsigncode"));
    {
        QFile script(wrapper);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\nexec '%1' -f -qq -e trace=execve -s 65536 -o '%2' '%3' \"$@\"\n")
                         .arg(strace, trace, realOsslsigncode())
                         .toUtf8());
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    OsslSigncodeBridge bridge;
    bridge.path = wrapper;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("any-place.exe"));

    QVERIFY2(bridge.signPE(unsignedPe, out, chain, uri, {}, SoftHsmToken::modulePath(), {}, {}, {},
                           pinTyped ? pin : QString()),
             qPrintable(log.lines.join(QLatin1Char('\n'))));
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());

    QFile traced(trace);
    QVERIFY(traced.open(QIODevice::ReadOnly));
    const QByteArray executed = traced.readAll();
    QVERIFY2(executed.contains("execve(\"" + realOsslsigncode().toUtf8()), executed.constData());
    for (const QByteArray& secret : {pin.toUtf8(), encoded.toUtf8(), encoded.toUpper().toUtf8(),
                                     QByteArray("pin-value"), QByteArray("pin%2"), QByteArray("pin-source")})
        QVERIFY2(!executed.toLower().contains(secret.toLower()), executed.constData());
    QVERIFY2(!log.mentions(pin) && !log.mentions(encoded) && !log.mentions(encoded.toUpper()),
             qPrintable(log.lines.join(QLatin1Char('\n'))));

    SigningProfile profile;
    profile.name = QStringLiteral("release");
    profile.platform = QStringLiteral("macos");
    profile.pkcs11Uri = uri;
    QVERIFY(SigningProfileManager::save(profile));
    QFile settings(UserProfile::configPath());
    QVERIFY(settings.open(QIODevice::ReadOnly));
    const QByteArray stored = settings.readAll();
    QVERIFY2(stored.contains("pkcs11Uri=\"pkcs11:token=Test%20Token;id=%01;type=private\""), stored.constData());
    for (const QByteArray& secret : {pin.toUtf8(), encoded.toUtf8(), encoded.toUpper().toUtf8()})
        QVERIFY2(!stored.contains(secret), stored.constData());
    QVERIFY2(!stored.toLower().contains("pin"), stored.constData());
}

void PeSigningTest::uriThatBreaksTheSyntaxIsRefused_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("reason");
    QTest::newRow("bad escape in the id") << "pkcs11:token=T;id=%zz;type=private"
                                          << "The PKCS11 URI's id holds \"%zz\", which is no percent-escape";
    QTest::newRow("raw bytes beside escapes in the id") << "pkcs11:token=T;id=ab%01;type=private"
                                                        << "Key id must be percent-encoded bytes, e.g. id=%01";
    QTest::newRow("TAB inside a value") << "pkcs11:token=My\tToken;id=%01"
                                        << "The PKCS11 URI's token holds a TAB: write it percent-encoded, as %09.";
    QTest::newRow("name hidden by a bad escape") << "pkcs11:%zzpin-value=975310;token=T;id=%01"
                                                 << "The PKCS11 URI has an attribute named \"%zzpin-value\"";
}

void PeSigningTest::uriThatBreaksTheSyntaxIsRefused()
{
    QFETCH(QString, uri);
    QFETCH(QString, reason);
    FakeTools fakes;
    fakes.install(QStringLiteral("osslsigncode"));
    OsslSigncodeBridge bridge;
    BridgeLog log(bridge);
    const QString out = work->filePath(QStringLiteral("refused.exe"));
    QVERIFY(!bridge.signPE(unsignedPe, out, pki->chainPath(), uri, {}, SoftHsmToken::modulePath(), {}, {}, {},
                           QStringLiteral("975310")));
    QCOMPARE(fakes.callCount(QStringLiteral("osslsigncode")), 0);
    QVERIFY2(log.lines.last().startsWith(QStringLiteral("Signing FAILED: ") + reason),
             qPrintable(log.lines.join(QLatin1Char('\n'))));
    QVERIFY(!log.mentions(QStringLiteral("975310")));
    QVERIFY(!QFile::exists(out));
}

OT_TEST_MAIN(PeSigningTest)
#include "tst_pesigning.moc"
