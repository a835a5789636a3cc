// Creating and opening vaults by password, a FIDO2 key's hmac-secret (alone
// or with a password), YubiKey challenge-response and a PIV-wrapped key: the
// prompts and warnings as a user meets them, the side file beside the image,
// and the pass phrase that reaches hdiutil. FIDO2 keys are software
// authenticators behind the real libfido2; the PIV key lives on a real
// SoftHSM2 token; hdiutil, ykchalresp and ykman are stand-ins.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "vault/TessarilVault.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "SoftFidoBus.h"
#include "SoftHsmToken.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "TestPki.h"
#include "VaultFixture.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const QString kWarning = QStringLiteral("Vault");

struct Unlock {
    FakeTools tools;
    TessarilVault vault;
    FidoDeviceManager fido;
    UserProfile profile;
    std::unique_ptr<SoftFidoBus> bus;
    std::unique_ptr<VaultTab> tab;
    ModalDriver driver;

    // keyPlugged: a FIDO2 key in the last enumeration (the count the
    // hardware methods ask for). pkcs11StandIn false: the tab's token
    // bridge finds the installed pkcs11-tool itself. pkcs11Hook: the bridge
    // finds a recording pkcs11-tool that runs this bash instead.
    explicit Unlock(bool keyPlugged, bool pkcs11StandIn = true, const QString& pkcs11Hook = {})
    {
        VaultFixture::installHdiutil(tools);
        VaultFixture::installYkchalresp(tools);
        tools.install(QStringLiteral("ykman"), QStringLiteral("ykman"));
        if (!pkcs11Hook.isEmpty()) {
            tools.install(QStringLiteral("pkcs11-tool"));
            tools.setHook(QStringLiteral("pkcs11-tool"), pkcs11Hook);
        } else if (pkcs11StandIn) {
            tools.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
        }
        profile.load();
        if (keyPlugged) {
            bus = std::make_unique<SoftFidoBus>();
            bus->plug(SoftFidoBus::Key());
            fido.enumerate();
        }
        tab = std::make_unique<VaultTab>(&vault, &fido, &profile);
    }
    void setForm(const QString& path, const QString& method)
    {
        tab->findChild<QLineEdit*>()->setText(path);
        QComboBox* auth = tab->findChildren<QComboBox*>().at(2);
        auth->setCurrentIndex(auth->findData(method));
    }
    void create() { clickButton(tab.get(), QStringLiteral("Create Vault")); }
    // The vault list once the latest fill is in.
    QTreeWidget* vaultList() const
    {
        if (!QTest::qWaitFor([this] { return VaultFixture::vaultListFilled(tab.get()); }))
            qWarning("The vault list was not filled in time.");
        return tab->findChild<QTreeWidget*>(QStringLiteral("vaultList"));
    }
    QStringList log() const
    {
        const QString text = tab->findChild<QTextEdit*>()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    // The plugged key offering hmac-secret, listed anew.
    SoftAuthenticator& hmacKey()
    {
        SoftAuthenticator& key = *bus->authenticator(SoftFidoBus::Key().path);
        key.info.extensions << QStringLiteral("hmac-secret");
        fido.enumerate();
        return key;
    }
    int toolCalls() const
    {
        return tools.callCount("hdiutil") + tools.callCount("ykchalresp") + tools.callCount("ykman")
            + tools.callCount("pkcs11-tool");
    }
};

QString sideFile(const QString& path)
{
    return path + QStringLiteral(".qvauth");
}

bool ownerOnly(const QString& path)
{
    return PrivateFiles::isOwnerOnly(path);
}

// What a key answers for salt under the random it keeps for the credential,
// with user verification or without.
QByteArray keyOutput(const SoftAuthenticator& key, const QString& saltHex, bool verified = false)
{
    return QMessageAuthenticationCode::hash(QByteArray::fromHex(saltHex.toLatin1()),
                                            key.made.at(0).hmacRandomFor(verified), QCryptographicHash::Sha256);
}

QString pinPrompt(const SoftFidoBus::Key& key)
{
    return QStringLiteral("FIDO2 PIN for %1 (%2):").arg(key.product, key.path);
}

QByteArray sha256Hex(const QByteArray& input)
{
    return QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex();
}

const QRegularExpression fidoSideFile(
    R"re(^\{"credential_id":"([A-Za-z0-9+/]+=*)","salt":"([0-9a-f]{64})","type":"(fido2-hmac|dual)","uv":(true|false)\}$)re");

// A SoftHSM2 token holding a PIV authentication key and its certificate.
struct PivToken {
    TestPki pki;
    TestPki::Issued piv;
    SoftHsmToken token;
    QString why;

    bool ready()
    {
        if (!pki.isValid()) {
            why = pki.errorString();
            return false;
        }
        TestPki::Spec spec;
        spec.subject = "/CN=PIV Authentication";
        piv = pki.issue("piv", spec);
        if (piv.isNull() || !token.isValid()) {
            why = piv.isNull() ? QStringLiteral("no PIV certificate") : token.errorString();
            return false;
        }
        why = QStringLiteral("the key or certificate did not go onto the token");
        return token.importKey(piv.keyPath, "01", "PIV AUTH key")
            && token.importCertificate(piv.certPath, "01", "PIV AUTH cert");
    }
};

} // namespace

class VaultUnlockTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void passwordCreate_data();
    void passwordCreate();
    void refusedBeforeAnyPrompt_data();
    void refusedBeforeAnyPrompt();
    void hardwareMethodsNeedAKey_data();
    void hardwareMethodsNeedAKey();
    void yubiKeyRoundTrip();
    void yubiKeyWithoutAnswer();
    void engineFailureLeavesNothing();
    void pivRoundTripOnSoftHsm();
    void pivKeyNeverInAFile();
    void pivWithoutRsaCertificate();
    void pivFallbackFileStillMounts();
    void keyToolsSayWhy_data();
    void keyToolsSayWhy();
    void sideFileReading_data();
    void sideFileReading();
    void fidoRoundTrip_data();
    void fidoRoundTrip();
    void fidoMountWithAnotherKey();
    void fidoPinOnlyForTheKeyThatHoldsTheVault();
    void fidoVerificationAsRecorded_data();
    void fidoVerificationAsRecorded();
    void fidoCreateFailures_data();
    void fidoCreateFailures();
    void dualRoundTrip();
    void hostBoundSideFilesStillMount_data();
    void hostBoundSideFilesStillMount();

private:
    QString vaultPath(const QString& name = QStringLiteral("v.qvimgv")) const
    {
        return home->path() + "/vaults/" + name;
    }
    std::unique_ptr<TestHome> home;
};

void VaultUnlockTest::passwordCreate_data()
{
    QTest::addColumn<QString>("typed"); // empty: the prompt is cancelled
    QTest::addColumn<bool>("created");
    QTest::newRow("11 characters") << "abcdefghijk" << false;
    QTest::newRow("cancelled") << "" << false;
    QTest::newRow("12 characters") << "abcdefghijkl" << true;
}

void VaultUnlockTest::passwordCreate()
{
    QFETCH(QString, typed);
    QFETCH(bool, created);
    Unlock u(false);
    const QString path = vaultPath();
    u.setForm(path, "password");
    QSignalSpy audit(u.tab.get(), &VaultTab::logRequest);
    typed.isEmpty() ? u.driver.cancelInput() : u.driver.typeText(typed);
    if (!created)
        u.driver.pressButton(QMessageBox::Ok);

    u.create();

    QCOMPARE(u.driver.titles.first(), QStringLiteral("Create Vault"));
    QCOMPARE(u.driver.texts.first(), QStringLiteral("Password (min 12 chars for compliance):"));
    QCOMPARE(u.driver.pending(), 0);
    QCOMPARE(QFileInfo::exists(path), created);
    QVERIFY(!QFileInfo::exists(sideFile(path)));
    if (!created) {
        QCOMPARE(u.driver.texts.last(), QStringLiteral("Min 12 characters (PCI/NIST/ISO)."));
        QCOMPARE(u.tools.callCount("hdiutil"), 0);
        QVERIFY(audit.isEmpty());
        return;
    }
    QCOMPARE(u.tools.standardInput("hdiutil"), (typed + "\n").toUtf8());
    QCOMPARE(u.profile.vaultPaths(), QStringList{path});
    QCOMPARE(audit.size(), 1);
    QCOMPARE(audit.at(0), (QList<QVariant>{"Vault Create", "password", true, path}));
    QCOMPARE(u.vaultList()->topLevelItemCount(), 1);
}

void VaultUnlockTest::refusedBeforeAnyPrompt_data()
{
    QTest::addColumn<QString>("existing"); // relative to the vault path; "-" for an empty path
    QTest::addColumn<bool>("danglingLink"); // a link to nothing there instead of a file
    QTest::addColumn<QString>("warning");
    QTest::newRow("empty path") << "-" << false << "Choose a vault file first.";
    QTest::newRow("vault there") << "" << false << "Vault already exists: <path>";
    QTest::newRow("side file there") << ".qvauth" << false << "Vault already exists: <path>";
    QTest::newRow("link to nothing at the side file")
        << ".qvauth" << true << "Vault already exists: <path>";
}

void VaultUnlockTest::refusedBeforeAnyPrompt()
{
    QFETCH(QString, existing);
    QFETCH(bool, danglingLink);
    QFETCH(QString, warning);
    Unlock u(true);
    const QString path = existing == "-" ? QString() : vaultPath();
    const QByteArray oldSide = R"({"challenge":"00","type":"yk-hmac"})";
    const QString nowhere = home->path() + "/elsewhere/side";
    if (danglingLink) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QVERIFY(QFile::link(nowhere, path + existing));
    } else if (existing != "-") {
        QVERIFY(writeFile(path + existing, oldSide));
    }
    u.setForm(path, "yk-hmac");
    u.driver.pressButton(QMessageBox::Ok);

    u.create();

    QCOMPARE(u.driver.titles, QStringList{kWarning});
    QCOMPARE(u.driver.texts, QStringList{warning.replace("<path>", path)});
    QCOMPARE(u.toolCalls(), 0);
    if (danglingLink)
        QVERIFY(!QFileInfo::exists(nowhere));
    else if (!path.isEmpty())
        QCOMPARE(readFile(path + existing), oldSide);
}

void VaultUnlockTest::hardwareMethodsNeedAKey_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("createWarning");
    QTest::addColumn<QString>("mountWarning");
    QTest::newRow("yk-hmac") << "yk-hmac" << "Insert your YubiKey first." << "Insert your YubiKey to unlock.";
    QTest::newRow("piv-touch") << "piv-touch" << "Insert your PIV device first."
                               << "Insert your PIV device to unlock.";
    QTest::newRow("fido2-hmac") << "fido2-hmac" << "Insert your FIDO2 key first." << "Insert your FIDO2 key to unlock.";
    QTest::newRow("dual") << "dual" << "Insert your hardware key first." << "Insert your hardware key to unlock.";
}

void VaultUnlockTest::hardwareMethodsNeedAKey()
{
    QFETCH(QString, method);
    QFETCH(QString, createWarning);
    QFETCH(QString, mountWarning);
    Unlock u(false);
    QCOMPARE(u.fido.deviceCount(), 0);
    const QString path = vaultPath();
    u.setForm(path, method);
    u.driver.pressButton(QMessageBox::Ok);
    u.create();
    QCOMPARE(u.driver.texts, QStringList{createWarning});
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(sideFile(path)));

    const QString existing = vaultPath("existing.qvimgv");
    QVERIFY(VaultFixture::makeImage(existing, "whatever"));
    QVERIFY(writeFile(sideFile(existing), QStringLiteral(R"({"challenge":"ab","type":"%1","wrapped_key":"k"})")
                                               .arg(method)
                                               .toUtf8()));
    u.driver.pressButton(QMessageBox::Ok);
    u.tab->mountVaultByPath(existing);
    QCOMPARE(u.driver.texts, QStringList({createWarning, mountWarning}));
    QCOMPARE(u.driver.titles, QStringList({kWarning, kWarning}));
    QCOMPARE(u.toolCalls(), 0);
    QVERIFY(u.log().isEmpty());
}

void VaultUnlockTest::yubiKeyRoundTrip()
{
    Unlock u(true);
    QCOMPARE(u.fido.deviceCount(), 1);
    const QString path = vaultPath();
    u.setForm(path, "yk-hmac");
    QSignalSpy audit(u.tab.get(), &VaultTab::logRequest);

    u.create();

    QCOMPARE(u.driver.titles, QStringList());
    const QByteArray side = readFile(sideFile(path));
    const QRegularExpressionMatch m =
        QRegularExpression(R"re(^\{"challenge":"([0-9a-f]{64})","type":"yk-hmac"\}$)re").match(QString::fromUtf8(side));
    QVERIFY2(m.hasMatch(), side.constData());
    QVERIFY(ownerOnly(sideFile(path)));
    const QString challenge = m.captured(1);
    QCOMPARE(u.tools.arguments("ykchalresp"), QStringList({"-2", "-x", challenge}));
    // The image's pass phrase is the key's answer, not anything stored.
    const QString answer = VaultFixture::ykchalrespAnswer(challenge);
    QCOMPARE(u.tools.standardInput("hdiutil"), (answer + "\n").toUtf8());
    QCOMPARE(audit.at(0), (QList<QVariant>{"Vault Create", "yk-hmac", true, path}));
    QVERIFY(u.log().contains("YubiKey HMAC response obtained."));

    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    u.tab->mountVaultByPath(path);
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.arguments("ykchalresp"), QStringList({"-2", "-x", challenge}));
    QVERIFY(u.log().contains("Computing HMAC challenge-response... Touch your YubiKey."));
    QCOMPARE(u.vaultList()->topLevelItem(0)->text(3), QStringLiteral("Mounted"));
}

void VaultUnlockTest::yubiKeyWithoutAnswer()
{
    Unlock u(true);
    u.tools.setHook("ykchalresp", "exit 1");
    const QString path = vaultPath();
    u.setForm(path, "yk-hmac");
    u.driver.pressButton(QMessageBox::Ok);

    u.create();

    QCOMPARE(u.driver.texts, QStringList{"YubiKey challenge-response failed.\n"
                                         "Ensure slot 2 is configured for HMAC-SHA1 challenge-response.\n\n"
                                         "ykchalresp: exit code 1"});
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(sideFile(path)));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);

    // At mount the same silence is a log line.
    QVERIFY(VaultFixture::makeImage(path, "whatever"));
    QVERIFY(writeFile(sideFile(path), R"({"challenge":"ab","type":"yk-hmac"})"));
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.log().mid(u.log().size() - 2),
             QStringList({"YubiKey challenge-response failed.", "ykchalresp: exit code 1"}));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);
}

void VaultUnlockTest::engineFailureLeavesNothing()
{
    Unlock u(true);
    u.tools.answer("hdiutil", {}, 1, "hdiutil: create failed - no space left");
    const QString path = vaultPath();
    u.setForm(path, "yk-hmac");
    QSignalSpy audit(u.tab.get(), &VaultTab::logRequest);

    u.create();

    QVERIFY(!QFileInfo::exists(sideFile(path)));
    QVERIFY(u.profile.vaultPaths().isEmpty());
    QCOMPARE(audit.size(), 1);
    QCOMPARE(audit.at(0), (QList<QVariant>{"Vault Create", "yk-hmac", false, path}));
    QCOMPARE(u.log().last(), QStringLiteral("ERROR: Vault creation failed: hdiutil: create failed - no space left"));
}

void VaultUnlockTest::pivRoundTripOnSoftHsm()
{
    if (!SoftHsmToken::available())
        QSKIP("SoftHSM2 is not installed");
    PivToken pivToken;
    QVERIFY2(pivToken.ready(), qPrintable(pivToken.why));
    const TestPki::Issued& piv = pivToken.piv;
    SoftHsmToken& token = pivToken.token;

    // The installed pkcs11-tool itself, told to load SoftHSM2's module: it
    // reads "--slot" as the slot id, and SoftHSM2's ids are never positions.
    Unlock u(true, false);
    QCOMPARE(ToolRunner::findTool("pkcs11-tool"), QStringLiteral("/usr/bin/pkcs11-tool"));
    auto* bridge = u.tab->findChild<OpenscBridge*>();
    QVERIFY(bridge);
    bridge->toolModulePath = SoftHsmToken::modulePath();
    QSignalSpy runs(bridge, &OpenscBridge::commandOutput);
    u.tools.answer("ykman", readFile(piv.certPath));
    const QString path = vaultPath();
    u.setForm(path, "piv-touch");

    u.create();

    QCOMPARE(u.driver.titles, QStringList());
    QCOMPARE(u.tools.arguments("ykman"), QStringList({"piv", "certificates", "export", "9a", "-"}));
    const QByteArray side = readFile(sideFile(path));
    const QRegularExpressionMatch m = QRegularExpression(
        R"re(^\{"type":"piv-touch","wrapped":true,"wrapped_key":"([A-Za-z0-9+/]+=*)"\}$)re").match(QString::fromUtf8(side));
    QVERIFY2(m.hasMatch(), side.constData());
    QVERIFY(ownerOnly(sideFile(path)));
    // The key that opens the image is nowhere beside it.
    const QByteArray key = u.tools.standardInput("hdiutil").trimmed();
    QCOMPARE(key.size(), 64);
    QVERIFY(!side.contains(key));
    QCOMPARE(u.log().mid(0, 3), QStringList({"Generating vault key secured by PIV...",
                                             "Wrapping vault key with PIV certificate (slot 9A)...",
                                             "Vault key encrypted with PIV public key."}));

    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    u.driver.typeText(token.userPin());
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.driver.titles, QStringList{QString::fromUtf8("Mount Vault \u2014 PIV")});
    QCOMPARE(u.driver.texts, QStringList{"PIV PIN:"});
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.standardInput("hdiutil"), key + "\n");
    const QString slot = QStringLiteral("0x") + QString::number(token.slotId(), 16);
    const QString decrypt = runs.last().at(0).toString();
    QVERIFY2(decrypt.startsWith(QStringLiteral("[pkcs11-tool --module %1 --decrypt -m RSA-PKCS --slot %2 --id 01 "
                                               "--login --pin **** --input-file ")
                                    .arg(SoftHsmToken::modulePath(), slot))
                 && decrypt.endsWith("] exit=0"),
             qPrintable(decrypt));
    QVERIFY(!u.log().join('\n').contains(token.userPin()));

    // A wrong PIN unwraps nothing, mounts nothing and says so; SoftHSM2
    // then flags the PIN's count as low.
    QVERIFY(u.vault.unmount());
    u.driver.typeText("999999");
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.log().last(), QString::fromUtf8("Wrong PIN \u2014 few attempts left."));
    QCOMPARE(mounted.size(), 1);
}

namespace {

// One system call of an strace -xx log: its name, and its arguments with
// every quoted string decoded.
struct TracedCall {
    QString name;
    QStringList arguments;
};

QList<TracedCall> tracedCalls(const QByteArray& log)
{
    static const QRegularExpression line(R"re(^\d+\s+(\w+)\((.*)\)\s+=\s+-?\d+)re");
    static const QRegularExpression argument(R"re("((?:\\x[0-9a-f]{2})*)"|([^,"\s][^,"]*))re");
    QList<TracedCall> calls;
    for (const QByteArray& raw : log.split('\n')) {
        const QRegularExpressionMatch m = line.match(QString::fromLatin1(raw));
        if (!m.hasMatch())
            continue;
        TracedCall call{m.captured(1), {}};
        auto it = argument.globalMatch(m.captured(2));
        while (it.hasNext()) {
            const QRegularExpressionMatch a = it.next();
            call.arguments << (a.capturedLength(2) > 0
                                   ? a.captured(2).trimmed()
                                   : QString::fromLatin1(QByteArray::fromHex(a.captured(1).remove("\\x").toLatin1())));
        }
        calls << call;
    }
    return calls;
}

} // namespace

void VaultUnlockTest::pivKeyNeverInAFile()
{
    if (!SoftHsmToken::available())
        QSKIP("SoftHSM2 is not installed");
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty() || !ToolRunner::run(strace, {"-o", "/dev/null", "true"}).succeeded())
        QSKIP("strace is not installed or may not trace here");
    PivToken pivToken;
    QVERIFY2(pivToken.ready(), qPrintable(pivToken.why));
    const TestPki::Issued& piv = pivToken.piv;
    SoftHsmToken& token = pivToken.token;

    // The installed pkcs11-tool on SoftHSM2, every file and write of it and
    // its children logged.
    Unlock u(true, false,
             QStringLiteral("exec '%1' -f -qq -xx -s 65536 -e trace=open,openat,creat,write,rename,renameat,renameat2,"
                            "link,linkat -o \"$FAKE_STATE/trace.$FAKE_CALL\" /usr/bin/pkcs11-tool \"$@\"")
                 .arg(strace));
    auto* bridge = u.tab->findChild<OpenscBridge*>();
    bridge->toolModulePath = SoftHsmToken::modulePath();
    u.tools.answer("ykman", readFile(piv.certPath));
    const QString path = vaultPath();
    u.setForm(path, "piv-touch");
    u.create();
    const QByteArray key = u.tools.standardInput("hdiutil").trimmed();
    QCOMPARE(key.size(), 64);

    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    u.driver.typeText(token.userPin());
    u.tab->mountVaultByPath(path);
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.standardInput("hdiutil"), key + "\n");

    // The key leaves pkcs11-tool on its standard output alone, and no file
    // is made or opened for writing anywhere but in the token's own folder.
    int keyWrites = 0;
    QStringList written;
    for (int call = 1; call <= u.tools.callCount("pkcs11-tool"); ++call) {
        const QByteArray log = readFile(u.tools.stateDir() + "/trace." + QString::number(call));
        QVERIFY2(!log.isEmpty(), qPrintable(QStringLiteral("no trace of call %1").arg(call)));
        for (const TracedCall& c : tracedCalls(log)) {
            if (c.name == "write" && c.arguments.value(1).toLatin1().contains(key)) {
                ++keyWrites;
                QCOMPARE(c.arguments.value(0), QStringLiteral("1"));
            }
            const bool opens = c.name.startsWith("open") || c.name == "creat";
            const QString flags = c.arguments.value(c.name == "openat" ? 2 : 1);
            const QString file = c.arguments.value(c.name == "openat" ? 1 : 0);
            if ((opens && (c.name == "creat" || flags.contains("O_CREAT") || flags.contains("O_WRONLY")
                           || flags.contains("O_RDWR")))
                || c.name.startsWith("rename") || c.name.startsWith("link")) {
                if (!file.startsWith(token.dirPath()))
                    written << c.name + " " + file;
            }
        }
    }
    QCOMPARE(keyWrites, 1);
    QCOMPARE(written, QStringList());
}

void VaultUnlockTest::pivWithoutRsaCertificate()
{
    TestPki pki;
    QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
    const QString ecKey = pki.path() + "/ec.key";
    QVERIFY(pki.openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", ecKey})
                .succeeded());
    TestPki::Spec spec;
    spec.subject = "/CN=PIV EC";
    spec.keyPath = ecKey;
    const TestPki::Issued ec = pki.issue("ec", spec);
    QVERIFY(!ec.isNull());

    Unlock u(true);
    u.tools.answer("ykman", readFile(ec.certPath));
    const QString path = vaultPath();
    u.setForm(path, "piv-touch");
    u.driver.pressButton(QMessageBox::Ok);

    u.create();

    // openssl's own words follow: an elliptic-curve key cannot encrypt.
    QVERIFY2(u.driver.texts.value(0).startsWith(
                 QString::fromUtf8("PIV slot 9A has no RSA certificate \u2014 vault not created.\n\nopenssl: ")),
             qPrintable(u.driver.texts.value(0)));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(sideFile(path)));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);
}

void VaultUnlockTest::pivFallbackFileStillMounts()
{
    Unlock u(true);
    const QString path = vaultPath();
    const QString key = QString(64, QLatin1Char('7'));
    QVERIFY(VaultFixture::makeImage(path, key));
    QVERIFY(writeFile(sideFile(path), QStringLiteral(R"({"type":"piv-touch","wrapped":false,"wrapped_key":"%1"})")
                                          .arg(key)
                                          .toUtf8()));
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);

    u.tab->mountVaultByPath(path);

    QCOMPARE(u.driver.titles, QStringList());
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.callCount("pkcs11-tool"), 0);
}

void VaultUnlockTest::keyToolsSayWhy_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("message");
    QTest::newRow("yk-hmac, the real ykchalresp and no YubiKey")
        << "yk-hmac"
        << "YubiKey challenge-response failed.\nEnsure slot 2 is configured for HMAC-SHA1 challenge-response.\n\n"
           "ykchalresp: ";
    QTest::newRow("piv-touch, ykman finds no YubiKey")
        << "piv-touch" << QString::fromUtf8("PIV slot 9A certificate could not be read \u2014 vault not created.\n\n"
                                            "ykman: WARNING: PC/SC not available. Smart card protocols will not "
                                            "function.\nError: No YubiKey detected!");
}

// A FIDO2 key is plugged but no YubiKey: the tool's own reason reaches the
// message, and nothing is made, not even the vault's folder.
void VaultUnlockTest::keyToolsSayWhy()
{
    QFETCH(QString, method);
    QFETCH(QString, message);
    Unlock u(true);
    if (method == "yk-hmac") {
        QVERIFY(QFile::remove(u.tools.binDir() + "/ykchalresp"));
        QVERIFY2(!QStandardPaths::findExecutable("ykchalresp").isEmpty(),
                 "ykchalresp (yubikey-personalization) is not installed");
    } else {
        // What ykman says here; the real one needs ten seconds to say it.
        u.tools.answer("ykman", {}, 1,
                       "WARNING: PC/SC not available. Smart card protocols will not function.\n"
                       "Error: No YubiKey detected!\n");
    }
    const QString folder = home->path() + "/vaults";
    QVERIFY(!QFileInfo::exists(folder));
    const QString path = vaultPath("new/v.qvimgv");
    u.setForm(path, method);
    u.driver.pressButton(QMessageBox::Ok);

    u.create();

    QCOMPARE(u.driver.titles, QStringList{kWarning});
    QVERIFY2(u.driver.texts.value(0).startsWith(message), qPrintable(u.driver.texts.value(0)));
    if (method == "yk-hmac")
        QVERIFY2(u.driver.texts.value(0).contains("no yubikey present", Qt::CaseInsensitive),
                 qPrintable(u.driver.texts.value(0)));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);
    QVERIFY(u.profile.vaultPaths().isEmpty());
}

void VaultUnlockTest::sideFileReading_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("asksPassword");
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("not JSON") << QByteArray("type=yk-hmac") << true;
    QTest::newRow("an array") << QByteArray(R"(["yk-hmac"])") << true;
    QTest::newRow("type a number") << QByteArray(R"({"type":5})") << true;
    QTest::newRow("type unknown") << QByteArray(R"({"type":"other"})") << false;
}

void VaultUnlockTest::sideFileReading()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, asksPassword);
    Unlock u(true);
    const QString path = vaultPath();
    QVERIFY(VaultFixture::makeImage(path, "a password of some length"));
    QVERIFY(writeFile(sideFile(path), content));
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    if (asksPassword)
        u.driver.typeText("a password of some length");

    u.tab->mountVaultByPath(path);

    if (!asksPassword) {
        QCOMPARE(u.driver.titles, QStringList());
        QCOMPARE(u.toolCalls(), 0);
        QVERIFY(u.log().isEmpty());
        return;
    }
    QCOMPARE(u.driver.titles, QStringList{"Mount Vault"});
    QCOMPARE(u.driver.texts, QStringList{"Password:"});
    QCOMPARE(mounted.size(), 1);
}

void VaultUnlockTest::fidoRoundTrip_data()
{
    QTest::addColumn<QString>("pin"); // empty: the key has none
    QTest::newRow("key without a PIN") << "";
    QTest::newRow("key with a PIN") << "1234";
}

void VaultUnlockTest::fidoRoundTrip()
{
    QFETCH(QString, pin);
    Unlock u(true);
    SoftAuthenticator& key = u.hmacKey();
    if (!pin.isEmpty()) {
        key.presetPin(pin);
        u.fido.enumerate();
        u.driver.typeText(pin);
    }
    const QString path = vaultPath();
    u.setForm(path, "fido2-hmac");
    QSignalSpy audit(u.tab.get(), &VaultTab::logRequest);

    u.create();

    QCOMPARE(u.driver.texts, pin.isEmpty() ? QStringList() : QStringList{pinPrompt(SoftFidoBus::Key())});
    const QByteArray side = readFile(sideFile(path));
    const QRegularExpressionMatch m = fidoSideFile.match(QString::fromUtf8(side));
    QVERIFY2(m.hasMatch(), side.constData());
    QCOMPARE(m.captured(3), QStringLiteral("fido2-hmac"));
    QCOMPARE(m.captured(4), pin.isEmpty() ? QStringLiteral("false") : QStringLiteral("true"));
    QVERIFY(ownerOnly(sideFile(path)));
    QCOMPARE(key.made.size(), 1);
    QCOMPARE(QByteArray::fromBase64(m.captured(1).toLatin1()), key.made.at(0).id);
    const QString salt = m.captured(2);
    // The key's own answer opens the image; the salt and the host name
    // beside it do not.
    const QByteArray passphrase = keyOutput(key, salt, !pin.isEmpty()).toHex();
    QCOMPARE(u.tools.standardInput("hdiutil"), passphrase + "\n");
    QVERIFY(passphrase != sha256Hex(salt.toUtf8() + QSysInfo::machineHostName().toUtf8()));
    QCOMPARE(audit.at(0), (QList<QVariant>{"Vault Create", "fido2-hmac", true, path}));
    QCOMPARE(u.log().mid(0, 3), QStringList({"Deriving vault key from FIDO2 hmac-secret...",
                                             "Touch your security key when it blinks.", "FIDO2 key derived."}));

    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    if (!pin.isEmpty())
        u.driver.typeText(pin);
    u.tab->mountVaultByPath(path);
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.standardInput("hdiutil"), passphrase + "\n");
    QVERIFY(u.log().contains(QStringLiteral("Deriving key from FIDO2 hmac-secret... Touch your key.")));
    QCOMPARE(u.driver.titles.size(), pin.isEmpty() ? 0 : 2);

    if (pin.isEmpty())
        return;
    // A wrong PIN opens nothing and says why.
    QVERIFY(u.vault.unmount());
    u.driver.typeText("9999");
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.log().mid(u.log().size() - 2),
             QStringList({"Wrong PIN \u2014 7 attempts left.", "FIDO2 key did not answer \u2014 vault not opened."}));
    QCOMPARE(mounted.size(), 1);
}

void VaultUnlockTest::fidoMountWithAnotherKey()
{
    Unlock u(true);
    u.hmacKey();
    const QString path = vaultPath();
    u.setForm(path, "fido2-hmac");
    u.create();
    QVERIFY(QFileInfo::exists(sideFile(path)));
    const int hdiutilCalls = u.tools.callCount("hdiutil");

    // The key that made the vault is gone; another, and one that does not
    // speak hmac-secret, are plugged in.
    u.bus->unplug(SoftFidoBus::Key().path);
    SoftFidoBus::Key other;
    other.path = QStringLiteral("/dev/hidraw1");
    u.bus->plug(other);
    other.path = QStringLiteral("/dev/hidraw2");
    u.bus->plug(other).info.extensions << QStringLiteral("hmac-secret");
    u.fido.enumerate();
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);

    u.tab->mountVaultByPath(path);

    QCOMPARE(mounted.size(), 0);
    QCOMPARE(u.tools.callCount("hdiutil"), hdiutilCalls);
    QCOMPARE(u.log().last(), QStringLiteral("FIDO2 key did not answer \u2014 vault not opened."));
    QCOMPARE(u.driver.titles, QStringList());
}

void VaultUnlockTest::fidoPinOnlyForTheKeyThatHoldsTheVault()
{
    Unlock u(false);
    u.bus = std::make_unique<SoftFidoBus>();
    SoftFidoBus::Key firstKey;
    firstKey.product = QStringLiteral("First Key");
    SoftFidoBus::Key secondKey;
    secondKey.path = QStringLiteral("/dev/hidraw1");
    secondKey.product = QStringLiteral("Second Key");
    SoftAuthenticator& second = u.bus->plug(secondKey);
    second.info.extensions << QStringLiteral("hmac-secret");
    second.presetPin(QStringLiteral("2222"));
    u.fido.enumerate();
    const QString path = vaultPath();
    u.setForm(path, "fido2-hmac");
    u.driver.typeText(QStringLiteral("2222"));
    u.create();
    QCOMPARE(u.driver.texts, QStringList{pinPrompt(secondKey)});
    QCOMPARE(second.made.size(), 1);

    // A key with a PIN of its own is plugged in before it, first in the list.
    SoftAuthenticator& first = u.bus->plug(firstKey, 0);
    first.info.extensions << QStringLiteral("hmac-secret");
    first.presetPin(QStringLiteral("1111"));
    u.fido.enumerate();
    QCOMPARE(u.fido.devices().at(0).devicePath, firstKey.path);
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    u.driver.typeText(QStringLiteral("2222"));

    u.tab->mountVaultByPath(path);

    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.driver.texts, QStringList({pinPrompt(secondKey), pinPrompt(secondKey)}));
    QCOMPARE(u.driver.pending(), 0);
    // The first key was asked, without a PIN, and kept every attempt.
    QVERIFY(first.commands.contains(0x02));
    QVERIFY(!first.commands.contains(0x06));
    QCOMPARE(first.pinRetries(), 8);
    QCOMPARE(second.pinRetries(), 8);
}

void VaultUnlockTest::fidoVerificationAsRecorded_data()
{
    QTest::addColumn<bool>("pinAtCreation");
    QTest::addColumn<bool>("recorded"); // false: the side file as written before "uv" was kept
    QTest::addColumn<bool>("pinSetLater");
    QTest::addColumn<bool>("asksPin");
    QTest::newRow("made without a PIN, PIN set since") << false << true << true << false;
    QTest::newRow("older side file, key without a PIN") << false << false << false << false;
    QTest::newRow("older side file, key with a PIN") << true << false << false << true;
}

void VaultUnlockTest::fidoVerificationAsRecorded()
{
    QFETCH(bool, pinAtCreation);
    QFETCH(bool, recorded);
    QFETCH(bool, pinSetLater);
    QFETCH(bool, asksPin);
    const QString pin = QStringLiteral("1234");
    Unlock u(true);
    SoftAuthenticator& key = u.hmacKey();
    if (pinAtCreation) {
        key.presetPin(pin);
        u.fido.enumerate();
        u.driver.typeText(pin);
    }
    const QString path = vaultPath();
    u.setForm(path, "fido2-hmac");
    u.create();
    QVERIFY(QFileInfo::exists(path));
    const QByteArray passphrase = u.tools.standardInput("hdiutil");
    if (!recorded) {
        QJsonObject members = QJsonDocument::fromJson(readFile(sideFile(path))).object();
        QVERIFY(members.contains("uv"));
        members.remove("uv");
        QVERIFY(writeFile(sideFile(path), QJsonDocument(members).toJson(QJsonDocument::Compact)));
    }
    if (pinSetLater) {
        QVERIFY(u.fido.setPin(0, pin));
        u.fido.enumerate();
        QVERIFY(u.fido.devices().at(0).clientPin);
    }
    const int prompts = static_cast<int>(u.driver.texts.size());
    if (asksPin)
        u.driver.typeText(pin);
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);

    u.tab->mountVaultByPath(path);

    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.tools.standardInput("hdiutil"), passphrase);
    QCOMPARE(u.driver.texts.size() - prompts, asksPin ? 1 : 0);
    QCOMPARE(u.driver.pending(), 0);
    // The key answers each way differently: which one opened it matters.
    QVERIFY(keyOutput(key, QString(64, '0'), true) != keyOutput(key, QString(64, '0'), false));
}

void VaultUnlockTest::fidoCreateFailures_data()
{
    QTest::addColumn<bool>("hmacSecret");
    QTest::addColumn<QString>("pinAnswer"); // empty: no PIN on the key; "-": the prompt is cancelled
    QTest::addColumn<QString>("logLine");   // the last line
    QTest::addColumn<bool>("warned");
    QTest::newRow("key without hmac-secret")
        << false << "" << "The key does not offer the hmac-secret extension" << true;
    QTest::newRow("wrong PIN") << true << "0000" << "Wrong PIN \u2014 7 attempts left." << true;
    QTest::newRow("PIN prompt cancelled") << true << "-" << "Vault creation cancelled \u2014 no key material." << false;
}

void VaultUnlockTest::fidoCreateFailures()
{
    QFETCH(bool, hmacSecret);
    QFETCH(QString, pinAnswer);
    QFETCH(QString, logLine);
    QFETCH(bool, warned);
    Unlock u(true);
    SoftAuthenticator& key = hmacSecret ? u.hmacKey() : *u.bus->authenticator(SoftFidoBus::Key().path);
    if (!pinAnswer.isEmpty()) {
        key.presetPin("1234");
        u.fido.enumerate();
        pinAnswer == "-" ? u.driver.cancelInput() : u.driver.typeText(pinAnswer);
    }
    if (warned)
        u.driver.pressButton(QMessageBox::Ok);
    const QString path = vaultPath();
    u.setForm(path, "fido2-hmac");
    QSignalSpy audit(u.tab.get(), &VaultTab::logRequest);

    u.create();

    QCOMPARE(u.log().last(), logLine);
    if (warned)
        QCOMPARE(u.driver.texts.last(), QStringLiteral("FIDO2 key did not answer \u2014 vault not created."));
    QCOMPARE(u.driver.pending(), 0);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(sideFile(path)));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);
    QVERIFY(audit.isEmpty());
    QVERIFY(key.made.isEmpty());
}

void VaultUnlockTest::dualRoundTrip()
{
    Unlock u(true);
    SoftAuthenticator& key = u.hmacKey();
    const QString path = vaultPath();
    u.setForm(path, "dual");
    const QString password = QStringLiteral("correct horse");

    // Too short: refused before the key is asked.
    u.driver.typeText("abcdefghijk");
    u.driver.pressButton(QMessageBox::Ok);
    u.create();
    QCOMPARE(u.driver.titles.first(), QString::fromUtf8("Create Vault \u2014 Dual Factor"));
    QCOMPARE(u.driver.texts, QStringList({"Password (will be combined with hardware key):",
                                          "Min 12 characters (PCI/NIST/ISO)."}));
    QVERIFY(key.made.isEmpty());
    QVERIFY(!QFileInfo::exists(path));

    u.driver.typeText(password);
    u.create();
    const QByteArray side = readFile(sideFile(path));
    const QRegularExpressionMatch m = fidoSideFile.match(QString::fromUtf8(side));
    QVERIFY2(m.hasMatch(), side.constData());
    QCOMPARE(m.captured(3), QStringLiteral("dual"));
    QCOMPARE(m.captured(4), QStringLiteral("false"));
    QVERIFY(ownerOnly(sideFile(path)));
    const QByteArray passphrase = sha256Hex(password.toUtf8() + keyOutput(key, m.captured(2)));
    QCOMPARE(u.tools.standardInput("hdiutil"), passphrase + "\n");
    QVERIFY(u.log().contains(QStringLiteral("Dual-factor key derived.")));

    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);
    u.driver.typeText(password);
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.driver.titles.last(), QString::fromUtf8("Mount Vault \u2014 Dual Factor"));
    QCOMPARE(mounted.size(), 1);
    QVERIFY(u.vault.unmount());

    u.driver.typeText("wrong horse battery");
    u.tab->mountVaultByPath(path);
    QCOMPARE(mounted.size(), 1);
    QCOMPARE(u.log().last(), QStringLiteral("ERROR: Mount failed \u2014 check your password."));
}

void VaultUnlockTest::hostBoundSideFilesStillMount_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("typed"); // the "dual" password; empty for "fido2-hmac"
    QTest::newRow("fido2-hmac") << "fido2-hmac" << "";
    QTest::newRow("dual") << "dual" << "any password";
}

void VaultUnlockTest::hostBoundSideFilesStillMount()
{
    QFETCH(QString, method);
    QFETCH(QString, typed);
    Unlock u(true);
    const QString path = vaultPath();
    const QString salt = QString(64, QLatin1Char('5'));
    const QString first = typed.isEmpty() ? salt : typed;
    QVERIFY(VaultFixture::makeImage(path, QString::fromLatin1(sha256Hex(
                                              first.toUtf8() + QSysInfo::machineHostName().toUtf8()))));
    QJsonObject members{{"type", method}};
    if (typed.isEmpty())
        members.insert("salt", salt);
    QVERIFY(writeFile(sideFile(path), QJsonDocument(members).toJson(QJsonDocument::Compact)));
    if (!typed.isEmpty())
        u.driver.typeText(typed);
    QSignalSpy mounted(&u.vault, &TessarilVault::vaultMounted);

    u.tab->mountVaultByPath(path);

    QCOMPARE(mounted.size(), 1);
    QVERIFY(u.bus->authenticator(SoftFidoBus::Key().path)->made.isEmpty());
}

OT_TEST_MAIN(VaultUnlockTest)
#include "tst_vaultunlock.moc"
