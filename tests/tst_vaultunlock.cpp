// Creating and opening vaults by password, YubiKey challenge-response and a
// PIV-wrapped key: the prompts and warnings as a user meets them, the side
// file beside the image, and the pass phrase that reaches hdiutil. The PIV
// key lives on a real SoftHSM2 token; hdiutil, ykchalresp and ykman are
// stand-ins.
#include "ui/VaultTab.h"

#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "fido/FidoDeviceManager.h"
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
#include <QDir>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSignalSpy>
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
    // hardware methods ask for).
    explicit Unlock(bool keyPlugged)
    {
        VaultFixture::installHdiutil(tools);
        VaultFixture::installYkchalresp(tools);
        tools.install(QStringLiteral("ykman"), QStringLiteral("ykman"));
        tools.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
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
    QStringList log() const
    {
        const QString text = tab->findChild<QTextEdit*>()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
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
    void pivWithoutRsaCertificate();
    void pivFallbackFileStillMounts();
    void sideFileReading_data();
    void sideFileReading();

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
    QCOMPARE(u.tab->findChild<QTreeWidget*>()->topLevelItemCount(), 1);
}

void VaultUnlockTest::refusedBeforeAnyPrompt_data()
{
    QTest::addColumn<QString>("existing"); // relative to the vault path; "-" for an empty path
    QTest::addColumn<QString>("warning");
    QTest::newRow("empty path") << "-" << "Choose a vault file first.";
    QTest::newRow("vault there") << "" << "Vault already exists: <path>";
    QTest::newRow("side file there") << ".qvauth" << "Vault already exists: <path>";
}

void VaultUnlockTest::refusedBeforeAnyPrompt()
{
    QFETCH(QString, existing);
    QFETCH(QString, warning);
    Unlock u(true);
    const QString path = existing == "-" ? QString() : vaultPath();
    const QByteArray oldSide = R"({"challenge":"00","type":"yk-hmac"})";
    if (existing != "-")
        QVERIFY(writeFile(path + existing, oldSide));
    u.setForm(path, "yk-hmac");
    u.driver.pressButton(QMessageBox::Ok);

    u.create();

    QCOMPARE(u.driver.titles, QStringList{kWarning});
    QCOMPARE(u.driver.texts, QStringList{warning.replace("<path>", path)});
    QCOMPARE(u.toolCalls(), 0);
    if (!path.isEmpty())
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
    QCOMPARE(u.tab->findChild<QTreeWidget*>()->topLevelItem(0)->text(3), QStringLiteral("Mounted"));
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
                                         "Ensure slot 2 is configured for HMAC-SHA1 challenge-response."});
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(sideFile(path)));
    QCOMPARE(u.tools.callCount("hdiutil"), 0);

    // At mount the same silence is a log line.
    QVERIFY(VaultFixture::makeImage(path, "whatever"));
    QVERIFY(writeFile(sideFile(path), R"({"challenge":"ab","type":"yk-hmac"})"));
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.log().last(), QStringLiteral("YubiKey challenge-response failed."));
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
    TestPki pki;
    QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
    TestPki::Spec spec;
    spec.subject = "/CN=PIV Authentication";
    const TestPki::Issued piv = pki.issue("piv", spec);
    QVERIFY(!piv.isNull());
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(token.importKey(piv.keyPath, "01", "PIV AUTH key"));
    QVERIFY(token.importCertificate(piv.certPath, "01", "PIV AUTH cert"));

    Unlock u(true);
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
    const QStringList decrypt = u.tools.arguments("pkcs11-tool");
    QCOMPARE(decrypt.mid(0, 8), QStringList({"--decrypt", "-m", "RSA-PKCS", "--slot", "0", "--id", "01", "--login"}));
    for (int call = 1; call <= u.tools.callCount("pkcs11-tool"); ++call)
        QVERIFY(!u.tools.arguments("pkcs11-tool", call).contains(token.userPin()));
    QVERIFY(!u.log().join('\n').contains(token.userPin()));

    // A wrong PIN unwraps nothing and mounts nothing.
    QVERIFY(u.vault.unmount());
    u.driver.typeText("999999");
    u.tab->mountVaultByPath(path);
    QCOMPARE(u.log().last(), QStringLiteral("PIV unwrap failed."));
    QCOMPARE(mounted.size(), 1);
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

    QCOMPARE(u.driver.texts, QStringList{QString::fromUtf8("PIV slot 9A has no RSA certificate \u2014 vault not created.")});
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

OT_TEST_MAIN(VaultUnlockTest)
#include "tst_vaultunlock.moc"
