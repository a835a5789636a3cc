// The PKCS#11 side of the token tools, against a real software token.
#include "piv/OpenscBridge.h"
#include "piv/Pkcs11Modules.h"

#include "FakeTools.h"
#include "SoftHsmToken.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QString toolName = QStringLiteral("pkcs11-tool");

QStringList signalTexts(const QSignalSpy& spy)
{
    QStringList texts;
    for (const auto& arguments : spy)
        texts << arguments.at(0).toString();
    return texts;
}

bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

// The token lists its objects in no fixed order.
QStringList described(const QList<Pkcs11ObjectInfo>& objects)
{
    QStringList lines;
    for (const Pkcs11ObjectInfo& o : objects)
        lines << o.type + QLatin1Char('|') + o.label + QLatin1Char('|') + o.id;
    lines.sort();
    return lines;
}

} // namespace

class Pkcs11Test : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void softHsmTokenHoldsGeneratedAndImportedKeys();
    void standInPassesArgumentsAsGiven();

    void listSlotsReadsTheRealToken();
    void slotParsing_data();
    void slotParsing();
    void listObjectsKeepsThePinOffTheCommandLine();
    void objectParsing_data();
    void objectParsing();
    void emptyPinIsStillPassedAndMasked();
    void roundTripOnTheRealToken();
    void wrongPinFailsWithTheTokensReason();
    void hungOrMissingToolIsAFailure();
    void moduleSearchOrder_data();
    void moduleSearchOrder();
    void debianModuleIsFound();
};

void Pkcs11Test::softHsmTokenHoldsGeneratedAndImportedKeys()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(!token.serial().isEmpty());
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("made")));

    const QString keyPem = token.dirPath() + QStringLiteral("/key.pem");
    // A path may hold what looks like a place holder.
    const QString certPem = token.dirPath() + QStringLiteral("/cert %1.pem");
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

void Pkcs11Test::standInPassesArgumentsAsGiven()
{
    SoftHsmToken token(QStringLiteral("Wrapped"));
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("k")));
    FakeTools fakes;
    fakes.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
    const QString tool = ToolRunner::findTool(QStringLiteral("pkcs11-tool"));
    const QString slot = QString::number(token.slotId());
    auto r = ToolRunner::run(tool, {QStringLiteral("--list-objects"), QStringLiteral("--slot"), slot});
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    QVERIFY(r.stdOutText().contains(QStringLiteral("Public Key Object")));
    QCOMPARE(fakes.arguments(QStringLiteral("pkcs11-tool")), (QStringList{"--list-objects", "--slot", slot}));

    // "--slot" is the slot id, as the real tool reads it: a position is
    // refused by the token, not turned into an index.
    r = ToolRunner::run(tool, {QStringLiteral("--list-objects"), QStringLiteral("--slot"), QStringLiteral("0")});
    QVERIFY(!r.succeeded());
    QVERIFY2(r.stdErrText().contains(QStringLiteral("CKR_SLOT_ID_INVALID")), r.stdErr.constData());

    // The module is the stand-in's to choose.
    for (const QString& option : {QStringLiteral("--module"), QStringLiteral("--mod")}) {
        r = ToolRunner::run(tool, {option, SoftHsmToken::modulePath(), QStringLiteral("--list-token-slots")});
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.stdErrText().contains(QStringLiteral("refusing ") + option), r.stdErr.constData());
    }
    r = ToolRunner::run(tool, {QStringLiteral("--module=") + SoftHsmToken::modulePath(), QStringLiteral("-L")});
    QCOMPARE(r.exitCode, 2);
}

void Pkcs11Test::listSlotsReadsTheRealToken()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    FakeTools fakes;
    fakes.install(toolName, toolName);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);

    const QList<Pkcs11SlotInfo> found = bridge.listSlots();
    QCOMPARE(signalTexts(output), QStringList{"[pkcs11-tool --list-token-slots] exit=0"});
    // SoftHSM always offers one more slot with a fresh, uninitialised token.
    QCOMPARE(found.size(), 2);
    const Pkcs11SlotInfo& slot = found.at(0);
    QCOMPARE(slot.slotId, 0);
    // What "--slot" takes is the id in parentheses.
    QCOMPARE(OpenscBridge::printedSlotId(slot), QStringLiteral("0x") + QString::number(token.slotId(), 16));
    QVERIFY2(slot.description.startsWith(QStringLiteral("Slot 0 (0x"))
                 && !slot.description.contains(QLatin1Char(':')),
             qPrintable(slot.description));
    QCOMPARE(slot.tokenLabel, token.label());
    QCOMPARE(slot.manufacturer, QStringLiteral("SoftHSM project"));
    QCOMPARE(slot.model, QStringLiteral("SoftHSM v2"));
    QCOMPARE(slot.serialNumber, token.serial());
    QVERIFY2(slot.flags.contains(QStringLiteral("token initialized")), qPrintable(slot.flags));
    QVERIFY(slot.tokenPresent);
    QCOMPARE(found.at(1).slotId, 1);
    QVERIFY(!found.at(1).tokenPresent);
    QVERIFY(found.at(1).tokenLabel.isEmpty());
}

void Pkcs11Test::slotParsing_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    // One row per slot: id|description|label|manufacturer|model|serial|flags|present
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("header without a token")
        << QByteArray("Available slots:\nSlot 0 (0x0): Yubico YubiKey OTP+FIDO+CCID 00 00\n"
                      "  (empty)\n")
        << 0 << QStringList{"0|Slot 0 (0x0)||||||0"};
    QTest::newRow("serial kept as text, colons in values kept")
        << QByteArray("Slot 1 (0x4): Reader: two\n"
                      "  token label        : PIV_II: card\n"
                      "  token manufacturer : piv_II\n"
                      "  token model        : PKCS#15 emulated\n"
                      "  token flags        : login required, rng\n"
                      "  serial num         : 00a1B2\n")
        << 0 << QStringList{"1|Slot 1 (0x4)|PIV_II: card|piv_II|PKCS#15 emulated|00a1B2|login required, rng|1"};
    QTest::newRow("lines before the first header are dropped")
        << QByteArray("token label : stray\nSlot 0 (0x0): r\nSlot 1 (0x1): r\n  token label : B\n")
        << 0 << QStringList{"0|Slot 0 (0x0)||||||0", "1|Slot 1 (0x1)|B|||||1"};
    QTest::newRow("slot word that is no number")
        << QByteArray("Slot x (0x0)\n") << 0 << QStringList{"0|Slot x (0x0)||||||0"};
    QTest::newRow("failed run") << QByteArray("Slot 0 (0x0): r\n") << 1 << QStringList{};
    QTest::newRow("no slots") << QByteArray("Available slots:\nNo slots.\n") << 0 << QStringList{};
}

void Pkcs11Test::slotParsing()
{
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QStringList, expected);
    FakeTools fakes;
    fakes.install(toolName);
    fakes.answer(toolName, output, exitCode);
    OpenscBridge bridge;
    QStringList got;
    for (const Pkcs11SlotInfo& s : bridge.listSlots()) {
        got << QStringList{QString::number(s.slotId), s.description, s.tokenLabel, s.manufacturer,
                           s.model, s.serialNumber, s.flags, s.tokenPresent ? "1" : "0"}
                   .join(QLatin1Char('|'));
    }
    QCOMPARE(got, expected);
}

void Pkcs11Test::listObjectsKeepsThePinOffTheCommandLine()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("sign key")));
    FakeTools fakes;
    fakes.install(toolName, toolName);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);

    const int slot = static_cast<int>(token.slotId());
    // Without a PIN only the public half is visible, and no login is asked for.
    QCOMPARE(described(bridge.listObjects(slot, QString())), QStringList{"public-key|sign key|01"});
    QCOMPARE(fakes.arguments(toolName), (QStringList{"--list-objects", "--slot", QString::number(slot)}));

    QCOMPARE(described(bridge.listObjects(slot, token.userPin())),
             (QStringList{"private-key|sign key|01", "public-key|sign key|01"}));
    const QStringList received = fakes.arguments(toolName);
    QVERIFY2(!received.join(QLatin1Char(' ')).contains(token.userPin()),
             qPrintable(received.join(QLatin1Char(' '))));
    QCOMPARE(received.mid(3, 2), (QStringList{"--login", "--pin"}));
    QCOMPARE(signalTexts(output).last(),
             QStringLiteral("[pkcs11-tool --list-objects --slot %1 --login --pin ****] exit=0").arg(slot));
}

void Pkcs11Test::objectParsing_data()
{
    QTest::addColumn<QByteArray>("output");
    // One row per object: type|label|id
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("three kinds in output order")
        << QByteArray("Using slot 0 with a present token (0x0)\n"
                      "Certificate Object; type = X.509 cert\n  label:      Cert: PIV AUTH\n"
                      "  subject:    DN: CN=x\n  ID:         01\n"
                      "Public Key Object; RSA 2048 bits\n  label:      PIV AUTH pubkey\n  ID: 01\n"
                      "Private Key Object; EC\n  label:      key\n  ID:         0a0b\n")
        << QStringList{"certificate|Cert: PIV AUTH|01", "public-key|PIV AUTH pubkey|01",
                       "private-key|key|0a0b"};
    QTest::newRow("attributes before the first header are dropped")
        << QByteArray("label: stray\nID: ff\nPrivate Key Object; RSA\n  ID: 02\n")
        << QStringList{"private-key||02"};
    QTest::newRow("a data object's label lands on the object before it")
        << QByteArray("Public Key Object; EC\n  label: pub\n  ID: 03\n"
                      "Data object 1234\n  label:      'data'\n")
        << QStringList{"public-key|'data'|03"};
    QTest::newRow("nothing on the token") << QByteArray() << QStringList{};
}

void Pkcs11Test::objectParsing()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, expected);
    FakeTools fakes;
    fakes.install(toolName);
    fakes.answer(toolName, output);
    OpenscBridge bridge;
    QStringList got;
    for (const Pkcs11ObjectInfo& o : bridge.listObjects(2, QString()))
        got << o.type + QLatin1Char('|') + o.label + QLatin1Char('|') + o.id;
    QCOMPARE(got, expected);
}

void Pkcs11Test::emptyPinIsStillPassedAndMasked()
{
    FakeTools fakes;
    fakes.install(toolName);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);
    QVERIFY(bridge.generateKeyPair(3, QStringLiteral("rsa:2048"), QStringLiteral("02"),
                                   QStringLiteral("my key"), QString()));
    QCOMPARE(fakes.arguments(toolName),
             (QStringList{"--keypairgen", "--key-type", "rsa:2048", "--slot", "3", "--id", "02",
                          "--label", "my key", "--login", "--pin", "", "--usage-sign"}));
    QCOMPARE(signalTexts(output),
             QStringList{"[pkcs11-tool --keypairgen --key-type rsa:2048 --slot 3 --id 02 --label my key "
                         "--login --pin **** --usage-sign] exit=0"});
}

void Pkcs11Test::roundTripOnTheRealToken()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    FakeTools fakes;
    fakes.install(toolName, toolName);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);
    QSignalSpy errors(&bridge, &OpenscBridge::commandError);
    const QString pin = token.userPin();
    const QString id = QStringLiteral("01");
    const int slot = static_cast<int>(token.slotId());

    QVERIFY(bridge.generateKeyPair(slot, QStringLiteral("EC:prime256v1"), id,
                                   QStringLiteral("signing"), pin));

    // A path may hold what looks like a place holder.
    const QString certPem = token.dirPath() + QStringLiteral("/cert %1.pem");
    const QString certDer = token.dirPath() + QStringLiteral("/cert.der");
    auto r = ToolRunner::run(QStringLiteral("openssl"),
        {"req", "-new", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
         "-keyout", token.dirPath() + "/key.pem", "-out", certPem, "-subj", "/CN=Round Trip",
         "-days", "2"});
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    r = ToolRunner::run(QStringLiteral("openssl"),
                        {"x509", "-in", certPem, "-outform", "DER", "-out", certDer});
    QVERIFY2(r.succeeded(), r.stdErr.constData());

    QVERIFY(bridge.writeCertificate(slot, certPem, id, pin));
    QCOMPARE(signalTexts(output).last(), QStringLiteral("[pkcs11-tool --write-object %1 --type cert --slot %2 "
                                                        "--id 01 --login --pin ****] exit=0")
                                             .arg(certPem, QString::number(slot)));
    QCOMPARE(described(bridge.listObjects(slot, QString())),
             (QStringList{"certificate||01", "public-key|signing|01"}));

    const QString readBack = token.dirPath() + QStringLiteral("/read.der");
    QVERIFY(bridge.readCertificate(slot, id, readBack));
    QCOMPARE(readFile(readBack), readFile(certDer));

    QVERIFY(bridge.deleteObject(slot, QStringLiteral("cert"), id, pin));
    QCOMPARE(described(bridge.listObjects(slot, pin)),
             (QStringList{"private-key|signing|01", "public-key|signing|01"}));
    QVERIFY(!bridge.readCertificate(slot, id, readBack));

    QCOMPARE(errors.count(), 1); // the read of the deleted certificate
    for (int call = 1; call <= fakes.callCount(toolName); ++call)
        QVERIFY(!fakes.arguments(toolName, call).contains(pin));
    for (const QString& line : signalTexts(output))
        QVERIFY2(!line.contains(pin), qPrintable(line));
}

void Pkcs11Test::wrongPinFailsWithTheTokensReason()
{
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    FakeTools fakes;
    fakes.install(toolName, toolName);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);
    QSignalSpy errors(&bridge, &OpenscBridge::commandError);

    const int slot = static_cast<int>(token.slotId());
    QVERIFY(!bridge.generateKeyPair(slot, QStringLiteral("EC:prime256v1"), QStringLiteral("01"),
                                    QStringLiteral("k"), QStringLiteral("999999")));
    QCOMPARE(output.count(), 1);
    QVERIFY(output.at(0).at(0).toString().endsWith(QStringLiteral("--pin **** --usage-sign] exit=1")));
    QCOMPARE(errors.count(), 1);
    const QString error = errors.at(0).at(0).toString();
    QVERIFY2(error.contains(QStringLiteral("CKR_PIN_INCORRECT")), qPrintable(error));
    QCOMPARE(error, error.trimmed());
    QVERIFY(bridge.listObjects(slot, QStringLiteral("999999")).isEmpty());
}

void Pkcs11Test::hungOrMissingToolIsAFailure()
{
    {
        FakeTools fakes;
        fakes.install(toolName);
        fakes.answer(toolName, "Available slots:\nSlot 0 (0x0): r\n");
        fakes.setSleep(toolName, 20);
        OpenscBridge bridge;
        bridge.operationTimeoutMs = 300;
        QSignalSpy errors(&bridge, &OpenscBridge::commandError);
        QVERIFY(bridge.listSlots().isEmpty());
        QVERIFY(!bridge.deleteObject(0, QStringLiteral("cert"), QStringLiteral("01"),
                                     QStringLiteral("123456")));
        QCOMPARE(errors.count(), 2);
        QVERIFY2(errors.at(0).at(0).toString().contains(QStringLiteral("timed out")),
                 qPrintable(errors.at(0).at(0).toString()));
    }
    FakeTools onlyFakes(false);
    OpenscBridge bridge;
    QSignalSpy output(&bridge, &OpenscBridge::commandOutput);
    QSignalSpy errors(&bridge, &OpenscBridge::commandError);
    QVERIFY(!bridge.isAvailable());
    QVERIFY(bridge.listSlots().isEmpty());
    QCOMPARE(signalTexts(output), QStringList{"[pkcs11-tool --list-token-slots] exit=-1"});
    QCOMPARE(errors.count(), 1);
    QVERIFY(bridge.runOpenscTool({QStringLiteral("--info")}, 1000).exitCode != 0);
    QCOMPARE(output.count(), 1);
}

void Pkcs11Test::moduleSearchOrder_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("expected");

    const QString homebrew = QStringLiteral("/opt/homebrew/lib/opensc-pkcs11.so");
    const QString pinned = QStringLiteral("/opt/homebrew/Cellar/opensc/0.26.1/lib/opensc-pkcs11.so");
    const QString local = QStringLiteral("/usr/local/lib/opensc-pkcs11.so");
    const QString system = QStringLiteral("/usr/lib/opensc-pkcs11.so");
    const QString debian = QStringLiteral("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    const QString debianDir = QStringLiteral("/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so");
    const QString cellar = QStringLiteral("/opt/homebrew/Cellar/opensc/%1/lib/opensc-pkcs11.so");

    QTest::newRow("nothing") << QStringList{} << QString();
    QTest::newRow("earliest of all") << QStringList{debianDir, debian, system, local, pinned, homebrew}
                                     << homebrew;
    QTest::newRow("earlier of two") << QStringList{system, pinned} << pinned;
    QTest::newRow("system before Debian") << QStringList{debian, system} << system;
    QTest::newRow("Debian") << QStringList{debianDir, debian} << debian;
    QTest::newRow("Debian's pkcs11 folder") << QStringList{debianDir} << debianDir;
    QTest::newRow("fixed path beats every version")
        << QStringList{cellar.arg("0.99.0"), debianDir} << debianDir;
    QTest::newRow("versions in reverse text order")
        << QStringList{cellar.arg("0.25.0"), cellar.arg("0.9.0"), cellar.arg("0.10.0")}
        << cellar.arg("0.9.0");
    QTest::newRow("version folder without the module skipped")
        << QStringList{"/opt/homebrew/Cellar/opensc/0.9.0/lib/README", cellar.arg("0.25.0")}
        << cellar.arg("0.25.0");
}

void Pkcs11Test::moduleSearchOrder()
{
    QFETCH(QStringList, present);
    QFETCH(QString, expected);
    QTemporaryDir root;
    for (const QString& path : present)
        QVERIFY(touch(root.path() + path));
    QCOMPARE(Pkcs11Modules::find(Pkcs11Modules::openscModule(), root.path()),
             expected.isEmpty() ? QString() : root.path() + expected);
}

void Pkcs11Test::debianModuleIsFound()
{
    OpenscBridge bridge;
    QCOMPARE(bridge.pkcs11ModulePath(), QStringLiteral("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"));
}

OT_TEST_MAIN(Pkcs11Test)
#include "tst_pkcs11.moc"
