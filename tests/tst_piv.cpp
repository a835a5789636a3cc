// The PIV bridge against a stand-in ykman that behaves like a token (PIN
// 123456, PUK 12345678, factory management key) and writes real keys,
// requests and certificates made by openssl.
#include "core/ToolRunner.h"
#include "piv/YkmanBridge.h"

#include "FakeTools.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

namespace {

const QString kTool = QStringLiteral("ykman");
const QString kPin = QStringLiteral("123456");
const QString kNewPin = QStringLiteral("654321");
const QString kPuk = QStringLiteral("12345678");
const QString kNewPuk = QStringLiteral("87654321");
const QString kMgmtKey = QStringLiteral("010203040506070801020304050607080102030405060708");
const QString kNewMgmtKey = QStringLiteral("aabbccddeeff00112233445566778899aabbccddeeff0011");

enum Op {
    ChangePin, ChangePuk, ChangeMgmtKey, ResetPiv, GenerateKey, GenerateCsr,
    AttestSlot, ExportIntermediateCa, ImportCertificate, ExportCertificate
};

// Every log line of a bridge, in order, tagged with the signal it came on.
struct BridgeLog
{
    explicit BridgeLog(YkmanBridge& bridge)
    {
        QObject::connect(&bridge, &YkmanBridge::commandOutput, &bridge,
                         [this](const QString& line) { lines << QStringLiteral("out: ") + line; });
        QObject::connect(&bridge, &YkmanBridge::commandError, &bridge,
                         [this](const QString& line) { lines << QStringLiteral("err: ") + line; });
    }
    QStringList lines;
};

QString slotsText(const QList<PivSlotInfo>& list)
{
    QStringList parts;
    for (const PivSlotInfo& s : list) {
        parts << QStringList{s.slot, s.algorithm, s.subject, s.issuer, s.notBefore, s.notAfter,
                             s.hasKey ? QStringLiteral("key") : QStringLiteral("nokey")}
                     .join(QLatin1Char('|'));
    }
    return parts.join(QLatin1Char(';'));
}

} // namespace

class PivTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void toolLookupAndVersion();
    void missingToolIsAFailedRun();
    void logLineMasksSecrets_data();
    void logLineMasksSecrets();
    void errorLineOnlyForFailureWithText_data();
    void errorLineOnlyForFailureWithText();
    void hungToolFailsAndPromptEndsAtOnce();
    void queryStateParsesCounters_data();
    void queryStateParsesCounters();
    void listSlotsParsesInfo_data();
    void listSlotsParsesInfo();
    void operationsCommandLines_data();
    void operationsCommandLines();
    void changePinFallsBackOnlyAfterUsageError_data();
    void changePinFallsBackOnlyAfterUsageError();
    void generateKeyRefusesOtherSlots_data();
    void generateKeyRefusesOtherSlots();
    void resultFilesNeverOutliveTheOperation_data();
    void resultFilesNeverOutliveTheOperation();
    void csrIgnoresStalePublicKey();
    void plantedFolderIsRefused();

private:
    QString privateDir() const;
    QString invoke(YkmanBridge& bridge, Op op, const QString& slot, const QString& serial,
                   const QString& newKey = {}, bool protect = false);

    QTemporaryDir certDir;
    QString certPath;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<ScopedEnv> tmpEnv;
};

void PivTest::initTestCase()
{
    // A real certificate for the import.
    certPath = certDir.path() + QStringLiteral("/cert.pem");
    const auto r = ToolRunner::run(QStringLiteral("openssl"),
                                   {"req", "-x509", "-new", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", "/dev/null",
                                    "-subj", "/CN=Import", "-days", "30", "-out", certPath});
    QVERIFY2(r.succeeded(), r.stdErr.constData());
}

void PivTest::init()
{
    // The bridge's private folder lands in a temporary folder of this test alone.
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    tmpEnv = std::make_unique<ScopedEnv>("TMPDIR", QFile::encodeName(tmp->path()));
    QCOMPARE(QDir::tempPath(), QDir(tmp->path()).canonicalPath());
}

void PivTest::cleanup()
{
    tmpEnv.reset();
    tmp.reset();
}

QString PivTest::privateDir() const
{
    return QDir::tempPath() + QStringLiteral("/tessaril-") + QString::number(QCoreApplication::applicationPid());
}

QString PivTest::invoke(YkmanBridge& bridge, Op op, const QString& slot, const QString& serial,
                        const QString& newKey, bool protect)
{
    const auto verdict = [](bool ok) { return ok ? QStringLiteral("true") : QStringLiteral("false"); };
    switch (op) {
    case ChangePin: return verdict(bridge.changePin(kPin, kNewPin, serial));
    case ChangePuk: return verdict(bridge.changePuk(kPuk, kNewPuk, serial));
    case ChangeMgmtKey:
        // A protected key is stored behind the PIN: the tool asks for it.
        return verdict(bridge.changeMgmtKey(kMgmtKey, newKey, QStringLiteral("AES192"), protect, serial,
                                            protect ? kPin : QString()));
    case ResetPiv: return verdict(bridge.resetPiv(serial));
    case GenerateKey: return bridge.generateKey(slot, QStringLiteral("ECCP256"), kPin, serial);
    case GenerateCsr: return bridge.generateCsr(slot, QStringLiteral("CN=Ostrevan Test,O=Ostrevan"), kPin, serial);
    case AttestSlot: return bridge.attestSlot(slot, serial);
    case ExportIntermediateCa: return bridge.exportIntermediateCa(serial);
    case ImportCertificate: return verdict(bridge.importCertificate(slot, certPath, kPin, serial));
    case ExportCertificate: return bridge.exportCertificate(slot, serial);
    }
    return {};
}

void PivTest::toolLookupAndVersion()
{
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);
    QVERIFY(bridge.isAvailable());
    QCOMPARE(bridge.version(), QStringLiteral("YubiKey Manager (ykman) version: 5.4.0"));
    QCOMPARE(fakes.arguments(kTool), QStringList{"--version"});
    QVERIFY(log.lines.isEmpty());

    // Asked afresh: the tool going away after start-up is noticed.
    QVERIFY(QFile::remove(fakes.binDir() + QStringLiteral("/ykman")));
    QVERIFY(!bridge.isAvailable());
    QCOMPARE(bridge.version(), QString());
}

void PivTest::missingToolIsAFailedRun()
{
    FakeTools fakes(false);
    YkmanBridge bridge;
    BridgeLog log(bridge);
    QVERIFY(!bridge.isAvailable());
    QCOMPARE(bridge.version(), QString());

    const YkmanBridge::CmdResult r = bridge.run({"piv", "info"}, {}, 2000);
    QVERIFY(r.exitCode != 0);
    QCOMPARE(r.stdOut, QString());
    QCOMPARE(log.lines.size(), 2);
    QCOMPARE(log.lines.at(0), QStringLiteral("out: [ykman piv info] exit=%1").arg(r.exitCode));
    QVERIFY2(log.lines.at(1).startsWith(QStringLiteral("err: ykman failed to start")), qPrintable(log.lines.at(1)));

    const PivDeviceState state = bridge.queryState({});
    QVERIFY(!state.toolAvailable);
    QVERIFY(state.errorText.contains(QStringLiteral("failed to start")));
    QCOMPARE(state.pinRetries, -1);
    QVERIFY(state.slotList.isEmpty());
    QVERIFY(!bridge.resetPiv({}));
}

void PivTest::logLineMasksSecrets_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("logged");

    QTest::newRow("PIN and new PIN")
        << QStringList{"piv", "access", "change-pin", "--pin", kPin, "--new-pin", kNewPin}
        << "[ykman piv access change-pin --pin **** --new-pin ****] exit=0";
    QTest::newRow("PUK and new PUK")
        << QStringList{"--device", "31415926", "piv", "access", "change-puk", "--puk", kPuk, "--new-puk", kNewPuk}
        << "[ykman --device 31415926 piv access change-puk --puk **** --new-puk ****] exit=0";
    QTest::newRow("management keys")
        << QStringList{"piv", "access", "change-management-key", "--management-key", kMgmtKey,
                       "--algorithm", "AES192", "--new-management-key", kNewMgmtKey, "--pin", kPin, "--protect"}
        << "[ykman piv access change-management-key --management-key **** --algorithm AES192 "
           "--new-management-key **** --pin **** --protect] exit=0";
    QTest::newRow("option in last position")
        << QStringList{"piv", "access", "change-pin", "--pin"}
        << "[ykman piv access change-pin --pin] exit=1";
    QTest::newRow("secret that looks like an option")
        << QStringList{"piv", "certificates", "import", "--pin", "--pin", "9a", "x.pem"}
        << "[ykman piv certificates import --pin **** 9a x.pem] exit=2";
    QTest::newRow("percent signs kept as written")
        << QStringList{"piv", "certificates", "request", "--subject", "CN=100%2 %1", "9a"}
        << "[ykman piv certificates request --subject CN=100%2 %1 9a] exit=2";
}

void PivTest::logLineMasksSecrets()
{
    QFETCH(QStringList, args);
    QFETCH(QString, logged);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    bridge.run(args, {}, 10000);
    QVERIFY(!log.lines.isEmpty());
    QCOMPARE(log.lines.first(), QStringLiteral("out: ") + logged);
    QCOMPARE(fakes.arguments(kTool), args);
}

void PivTest::errorLineOnlyForFailureWithText_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("failure with text")
        << 1 << QByteArray("  Error: No YubiKey detected!\n")
        << QStringList{"out: [ykman piv reset --force] exit=1", "err: Error: No YubiKey detected!"};
    QTest::newRow("failure without text")
        << 1 << QByteArray() << QStringList{"out: [ykman piv reset --force] exit=1"};
    QTest::newRow("success with a warning")
        << 0 << QByteArray("WARNING: deprecated\n") << QStringList{"out: [ykman piv reset --force] exit=0"};
}

void PivTest::errorLineOnlyForFailureWithText()
{
    QFETCH(int, exitCode);
    QFETCH(QByteArray, err);
    QFETCH(QStringList, expected);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    fakes.answer(kTool, "output\n", exitCode, err);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    const YkmanBridge::CmdResult r = bridge.run({"piv", "reset", "--force"}, {}, 10000);
    QCOMPARE(r.exitCode, exitCode);
    QCOMPARE(r.stdOut, QStringLiteral("output\n"));
    QCOMPARE(r.stdErr, QString::fromUtf8(err));
    QCOMPARE(log.lines, expected);
}

void PivTest::hungToolFailsAndPromptEndsAtOnce()
{
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    // A tool that prompts meets the end of its input and gives up at once
    // instead of holding the window for the whole wait. Without "--force" the
    // stand-in asks for confirmation.
    // It ends on its own with the tool's own failure, not the runner's -1.
    const YkmanBridge::CmdResult prompted = bridge.run({"piv", "reset"}, {}, 60000);
    QCOMPARE(prompted.exitCode, 1);
    QCOMPARE(fakes.standardInput(kTool), QByteArray());

    // A tool still running when the wait ends has not succeeded.
    log.lines.clear();
    fakes.setSleep(kTool, 60);
    bridge.operationTimeoutMs = 300;
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!bridge.resetPiv({}));
    // Not waited out: far less than the tool's sleep, however busy the machine.
    QVERIFY(clock.elapsed() < 30000);
    QCOMPARE(log.lines.size(), 2);
    QVERIFY(log.lines.at(0).startsWith(QStringLiteral("out: [ykman piv reset --force] exit=")));
    QVERIFY(!log.lines.at(0).endsWith(QStringLiteral("exit=0")));
    QCOMPARE(log.lines.at(1), QStringLiteral("err: ykman timed out after 300 ms"));

    const PivDeviceState state = bridge.queryState({});
    QCOMPARE(state.pinRetries, -1);
    QCOMPARE(state.errorText, QStringLiteral("ykman timed out after 300 ms"));
}

void PivTest::queryStateParsesCounters_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("pinRetries");
    QTest::addColumn<int>("pukRetries");
    QTest::addColumn<bool>("pinBlocked");
    QTest::addColumn<bool>("pukBlocked");
    QTest::addColumn<QString>("errorText");

    QTest::newRow("counts, PUK blocked") << QByteArray("PIN retries: 3\nPUK retries: 0\n") << 0
                                         << 3 << 0 << false << true << QString();
    QTest::newRow("not a number reads as blocked") << QByteArray("PIN retries: unknown\n") << 0
                                                   << 0 << -1 << true << false << QString();
    QTest::newRow("later line wins, odd spacing") << QByteArray("PIN retries: 3\n  PIN retries :\t1 \r\n") << 0
                                                  << 1 << -1 << false << false << QString();
    QTest::newRow("no counter lines") << QByteArray("PIV version: 5.4.3\n") << 0
                                      << -1 << -1 << false << false << QString();
    QTest::newRow("failed run is not parsed") << QByteArray("PIN retries: 0\n") << 1
                                              << -1 << -1 << false << false << "Error: No YubiKey detected!";
}

void PivTest::queryStateParsesCounters()
{
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    QFETCH(int, pinRetries);
    QFETCH(int, pukRetries);
    QFETCH(bool, pinBlocked);
    QFETCH(bool, pukBlocked);
    QFETCH(QString, errorText);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    fakes.answer(kTool, out, exitCode, exitCode ? "Error: No YubiKey detected!\n" : "", 1);
    YkmanBridge bridge;

    const PivDeviceState state = bridge.queryState(QStringLiteral("31415926"));
    QCOMPARE(state.pinRetries, pinRetries);
    QCOMPARE(state.pukRetries, pukRetries);
    QCOMPARE(state.pinBlocked, pinBlocked);
    QCOMPARE(state.pukBlocked, pukBlocked);
    QCOMPARE(state.errorText, errorText);
    QVERIFY(state.toolAvailable);
    // The slots are listed whatever became of the counters.
    QCOMPARE(state.slotList.size(), 2);
    QCOMPARE(fakes.callCount(kTool), 2);
    QCOMPARE(fakes.arguments(kTool, 1), (QStringList{"--device", "31415926", "piv", "access", "retries"}));
    QCOMPARE(fakes.arguments(kTool, 2), (QStringList{"--device", "31415926", "piv", "info"}));
}

void PivTest::listSlotsParsesInfo_data()
{
    QTest::addColumn<bool>("canned");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("expected");

    QTest::newRow("the tool's layout") << true << QByteArray() << 0
        << "9a|ECCP256|CN=Ostrevan Test,O=Ostrevan|CN=Ostrevan Test,O=Ostrevan|2024-03-01 08:15:30|2026-03-01 08:15:30|key;"
           "9c|RSA2048|CN=Signing|CN=Ostrevan CA|2024-01-01 00:00:00|2025-12-31 23:59:59|key";
    QTest::newRow("slot without a key is dropped")
        << false << QByteArray("Slot 9d:\n\tSubject DN:\tCN=Orphan\nSlot 9e:\n\tAlgorithm:\tECCP384\n") << 0
        << "9e|ECCP384|||||key";
    QTest::newRow("lines before the first header")
        << false << QByteArray("Algorithm:\tRSA2048\nSubject DN:\tCN=Stray\nSlot 9A:\n\tAlgorithm:\tECCP256\n") << 0
        << "9a|ECCP256|||||key";
    QTest::newRow("short labels, CRLF, colons in values")
        << false << QByteArray("Slot 82:\r\n  Algorithm: RSA1024\r\n  Subject: CN=a:b\r\n  Issuer: CN=c\r\n"
                               "  Not before: 2024-01-01 00:00:00\r\n") << 0
        << "82|RSA1024|CN=a:b|CN=c|2024-01-01 00:00:00||key";
    QTest::newRow("header naming the slot")
        << false << QByteArray("Slot 9C (SIGNATURE):\n  Algorithm: ECCP256\n") << 0
        << "9c (signature)|ECCP256|||||key";
    QTest::newRow("header without a slot id hides its block")
        << false << QByteArray("Slot 9a:\n\tAlgorithm:\tX\nSlots:\n\tAlgorithm:\tY\nSlot 9c:\n\tAlgorithm:\tZ\n") << 0
        << "9a|X|||||key;9c|Z|||||key";
    QTest::newRow("failed run") << false << QByteArray("Slot 9a:\n\tAlgorithm:\tECCP256\n") << 1 << QString();
}

void PivTest::listSlotsParsesInfo()
{
    QFETCH(bool, canned);
    QFETCH(QByteArray, out);
    QFETCH(int, exitCode);
    QFETCH(QString, expected);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    if (!canned)
        fakes.answer(kTool, out, exitCode);
    YkmanBridge bridge;

    QCOMPARE(slotsText(bridge.listSlots({})), expected);
    QCOMPARE(fakes.arguments(kTool), (QStringList{"piv", "info"}));
}

void PivTest::operationsCommandLines_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("newKey");
    QTest::addColumn<bool>("protect");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("result");   // "true", or the first line of the file handed back

    struct Row {
        const char* name;
        Op op;
        QString slot, newKey;
        bool protect;
        QStringList calls;
        QString result;
    };
    const QString pub = QStringLiteral("-----BEGIN PUBLIC KEY-----");
    const QString cert = QStringLiteral("-----BEGIN CERTIFICATE-----");
    const QList<Row> rows{
        {"changePin", ChangePin, {}, {}, false, {"piv access change-pin"}, "true"},
        {"changePuk", ChangePuk, {}, {}, false,
         {"piv access change-puk --puk " + kPuk + " --new-puk " + kNewPuk}, "true"},
        {"changeMgmtKey generated, protected", ChangeMgmtKey, {}, {}, true,
         {"piv access change-management-key --management-key " + kMgmtKey + " --algorithm AES192 --generate --protect"},
         "true"},
        {"changeMgmtKey given", ChangeMgmtKey, {}, kNewMgmtKey, false,
         {"piv access change-management-key --management-key " + kMgmtKey + " --algorithm AES192 --new-management-key "
          + kNewMgmtKey},
         "true"},
        {"resetPiv", ResetPiv, {}, {}, false, {"piv reset --force"}, "true"},
        {"generateKey, slot as given", GenerateKey, "9A", {}, false,
         {"piv keys generate --algorithm ECCP256 --pin " + kPin + " 9A <dir>/pubkey.pem"}, pub},
        {"generateCsr", GenerateCsr, "9c", {}, false,
         {"piv keys export 9c <dir>/csr-pubkey.pem",
          "piv certificates request --pin " + kPin + " --subject CN=Ostrevan Test,O=Ostrevan 9c "
          "<dir>/csr-pubkey.pem <dir>/request.csr"},
         "-----BEGIN CERTIFICATE REQUEST-----"},
        {"attestSlot", AttestSlot, "9d", {}, false, {"piv keys attest 9d <dir>/attest.pem"}, cert},
        {"exportIntermediateCa", ExportIntermediateCa, {}, {}, false,
         {"piv certificates export f9 <dir>/intermediate-ca.pem"}, cert},
        {"importCertificate", ImportCertificate, "9a", {}, false,
         {"piv certificates import --pin " + kPin + " 9a <cert>"}, "true"},
        {"exportCertificate", ExportCertificate, "9e", {}, false,
         {"piv certificates export 9e <dir>/export-cert.pem"}, cert},
    };
    for (const QString& serial : {QString(), QStringLiteral("31415926")}) {
        for (const Row& row : rows) {
            QStringList calls;
            for (const QString& call : row.calls)
                calls << (serial.isEmpty() ? call : QStringLiteral("--device ") + serial + QLatin1Char(' ') + call);
            QTest::addRow("%s%s", row.name, serial.isEmpty() ? "" : ", with serial")
                << int(row.op) << row.slot << row.newKey << row.protect << calls << row.result;
        }
    }
}

void PivTest::operationsCommandLines()
{
    QFETCH(int, op);
    QFETCH(QString, slot);
    QFETCH(QString, newKey);
    QFETCH(bool, protect);
    QFETCH(QStringList, calls);
    QFETCH(QString, result);
    const QString serial = calls.first().startsWith(QStringLiteral("--device"))
        ? calls.first().section(QLatin1Char(' '), 1, 1) : QString();
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    const QString got = invoke(bridge, Op(op), slot, serial, newKey, protect);
    QVERIFY2(got.startsWith(result), qPrintable(log.lines.join(QLatin1Char('\n'))));

    QStringList ran;
    for (int call = 1; call <= fakes.callCount(kTool); ++call)
        ran << fakes.arguments(kTool, call).join(QLatin1Char(' '));
    calls.replaceInStrings(QStringLiteral("<dir>"), privateDir());
    calls.replaceInStrings(QStringLiteral("<cert>"), certPath);
    QCOMPARE(ran, calls);
    if (op == ChangePin)
        QCOMPARE(fakes.standardInput(kTool, 1), (kPin + "\n" + kNewPin + "\n\n").toUtf8());
    if (op == ChangeMgmtKey)
        QCOMPARE(fakes.standardInput(kTool, 1), protect ? (kPin + "\n").toUtf8() : QByteArray());

    // One summary line per run and no secret in any line.
    QCOMPARE(log.lines.size(), calls.size());
    const QString logged = log.lines.join(QLatin1Char('\n'));
    for (const QString& secret : {kPin, kNewPin, kPuk, kNewPuk, kMgmtKey, kNewMgmtKey})
        QVERIFY2(!logged.contains(secret), qPrintable(logged));
}

void PivTest::changePinFallsBackOnlyAfterUsageError_data()
{
    QTest::addColumn<int>("firstExit");   // -1: the stand-in token answers itself
    QTest::addColumn<QString>("currentPin");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QStringList>("summaries");

    const QString first = QStringLiteral("[ykman piv access change-pin] exit=%1");
    const QString fallback = QStringLiteral("[ykman piv access change-pin --pin **** --new-pin ****] exit=%1");
    QTest::newRow("PINs from input") << -1 << kPin << true << QStringList{first.arg(0)};
    QTest::newRow("usage error, fallback succeeds") << 2 << kPin << true
                                                    << QStringList{first.arg(2), fallback.arg(0)};
    QTest::newRow("usage error, fallback fails") << 2 << QStringLiteral("000000") << false
                                                 << QStringList{first.arg(2), fallback.arg(1)};
    // A wrong PIN has cost a retry already; a second try would cost another.
    QTest::newRow("wrong PIN, no second try") << -1 << QStringLiteral("000000") << false
                                              << QStringList{first.arg(1)};
}

void PivTest::changePinFallsBackOnlyAfterUsageError()
{
    QFETCH(int, firstExit);
    QFETCH(QString, currentPin);
    QFETCH(bool, ok);
    QFETCH(QStringList, summaries);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    if (firstExit >= 0)
        fakes.answer(kTool, {}, firstExit, "Error: Got unexpected extra argument\n", 1);
    YkmanBridge bridge;
    QSignalSpy outputs(&bridge, &YkmanBridge::commandOutput);

    QCOMPARE(bridge.changePin(currentPin, kNewPin, {}), ok);
    QStringList logged;
    for (const QList<QVariant>& emitted : outputs)
        logged << emitted.at(0).toString();
    QCOMPARE(logged, summaries);
    QCOMPARE(fakes.standardInput(kTool, 1), (currentPin + "\n" + kNewPin + "\n\n").toUtf8());
    if (summaries.size() == 2) {
        QCOMPARE(fakes.arguments(kTool, 2),
                 (QStringList{"piv", "access", "change-pin", "--pin", currentPin, "--new-pin", kNewPin}));
    }
}

void PivTest::generateKeyRefusesOtherSlots_data()
{
    QTest::addColumn<QString>("slot");
    QTest::newRow("retired slot") << "87";
    QTest::newRow("no such slot") << "9b";
    QTest::newRow("empty") << "";
}

void PivTest::generateKeyRefusesOtherSlots()
{
    QFETCH(QString, slot);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    QCOMPARE(bridge.generateKey(slot, QStringLiteral("ECCP256"), kPin, {}), QString());
    QCOMPARE(fakes.callCount(kTool), 0);
    QCOMPARE(log.lines, QStringList{"err: Invalid PIV slot: " + slot});
}

void PivTest::resultFilesNeverOutliveTheOperation_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<bool>("fails");

    const QList<QPair<Op, const char*>> ops{
        {GenerateKey, "generateKey"}, {GenerateCsr, "generateCsr"}, {AttestSlot, "attestSlot"},
        {ExportIntermediateCa, "exportIntermediateCa"}, {ExportCertificate, "exportCertificate"}};
    for (const auto& [op, name] : ops) {
        QTest::addRow("%s succeeds", name) << int(op) << false;
        QTest::addRow("%s fails", name) << int(op) << true;
    }
}

void PivTest::resultFilesNeverOutliveTheOperation()
{
    QFETCH(int, op);
    QFETCH(bool, fails);
    FakeTools fakes;
    fakes.install(kTool, kTool);
    // The folder's mode as the tool finds it when it writes its file.
    QString hook = QStringLiteral("stat -c %a \"$(dirname \"${@: -1}\")\" > \"$FAKE_STATE/dirmode\"; ");
    // The tool may write its file and then fail: nothing of it may be used or left.
    if (fails)
        hook += QStringLiteral("REPLY_CODE=1; REPLY_ERR='Error: lost the token'");
    fakes.setHook(kTool, hook);
    // Someone widened the folder since the last operation.
    QVERIFY(QDir().mkpath(privateDir()));
    QVERIFY(QFile::setPermissions(privateDir(), QFileDevice::Permissions(0x7777)));

    YkmanBridge bridge;
    const QString got = invoke(bridge, Op(op), QStringLiteral("9a"), {});
    QCOMPARE(got.isEmpty(), fails);
    QFile dirMode(fakes.stateDir() + QStringLiteral("/dirmode"));
    QVERIFY(dirMode.open(QIODevice::ReadOnly));
    QCOMPARE(dirMode.readAll().trimmed(), QByteArray("700"));
    // Neither the files nor the folder outlive the operation.
    QVERIFY(!QFileInfo::exists(privateDir()));
}

void PivTest::csrIgnoresStalePublicKey()
{
    // A public key left behind by an earlier request must not be signed into
    // this one when exporting this slot's key fails.
    QVERIFY(QDir().mkpath(privateDir()));
    QVERIFY(QFile::copy(certPath, privateDir() + QStringLiteral("/csr-pubkey.pem")));
    FakeTools fakes;
    fakes.install(kTool, kTool);
    fakes.answer(kTool, {}, 1, "Error: No key in slot 9d\n", 1);
    YkmanBridge bridge;

    QCOMPARE(bridge.generateCsr(QStringLiteral("9d"), QStringLiteral("CN=Stale"), kPin, {}), QString());
    QCOMPARE(fakes.callCount(kTool), 2);
    QCOMPARE(QDir(privateDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

void PivTest::plantedFolderIsRefused()
{
    // The folder's name is predictable: one planted under it (here a link to
    // somewhere else) must not receive the token's files.
    QTemporaryDir elsewhere;
    QVERIFY(QFile::link(elsewhere.path(), privateDir()));
    FakeTools fakes;
    fakes.install(kTool, kTool);
    YkmanBridge bridge;
    BridgeLog log(bridge);

    QCOMPARE(bridge.exportCertificate(QStringLiteral("9a"), {}), QString());
    QCOMPARE(fakes.callCount(kTool), 0);
    QCOMPARE(log.lines.size(), 1);
    QVERIFY(log.lines.first().startsWith(QStringLiteral("err: Cannot use the private temporary folder")));
    QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

OT_TEST_MAIN(PivTest)
#include "tst_piv.moc"
