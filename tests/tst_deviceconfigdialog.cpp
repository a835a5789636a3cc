// The device configuration dialog: its pages per catalogue entry, the
// information tree, and the FIDO2 and PIV workflows driven as a person would,
// against software authenticators behind the real libfido2, the stand-in PIV
// token and a SoftHSM2 token.
#include "app/DeviceConfigDialog.h"
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "piv/YkmanBridge.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "SoftFidoBus.h"
#include "SoftHsmToken.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include "core/ToolRunner.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <functional>
#include <memory>

class DeviceConfigDialogTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void pagesPerCatalogueEntry_data();
    void pagesPerCatalogueEntry();
    void infoCells_data();
    void infoCells();
    void appletsSection_data();
    void appletsSection();
    void shownValuesAreCopies();

    void fidoButtons_data();
    void fidoButtons();
    void fidoPin_data();
    void fidoPin();
    void listAndDeleteCredentials();
    void deleteByWhatTheScreenShows_data();
    void deleteByWhatTheScreenShows();
    void fidoReset_data();
    void fidoReset();
    void changedKeyListRefuses_data();
    void changedKeyListRefuses();

    void pivPresence_data();
    void pivPresence();
    void hardening_data();
    void hardening();
    void escapeDnValue_data();
    void escapeDnValue();
    void keyAndCsr_data();
    void keyAndCsr();
    void generateAsksBeforeReplacingAKey_data();
    void generateAsksBeforeReplacingAKey();
    void pivActionsNeedTheirKey_data();
    void pivActionsNeedTheirKey();
    void attestationBundle_data();
    void attestationBundle();
    void importThroughYkmanVerifies_data();
    void importThroughYkmanVerifies();
    void importThroughPkcs11LandsOnToken_data();
    void importThroughPkcs11LandsOnToken();
    void pivReset_data();
    void pivReset();

private:
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<ScopedEnv> tmpEnv;
};

namespace {

const QString kYkman = QStringLiteral("ykman");
const QString kPkcs11Tool = QStringLiteral("pkcs11-tool");
// What the stand-in token takes.
const QString kPivPin = QStringLiteral("123456");
const QString kPivPuk = QStringLiteral("12345678");
// The management key the dialog presents as the factory one.
const QByteArray kFactoryMgmtKey = "5e1a9c37d20b84f6a3c95e17b02d68f4c1a7e39b05d2f86c";
const QString kChanged = QStringLiteral("Device list changed — operation cancelled.");
// `ykman piv info` of a token whose slot 9A is empty.
const QByteArray kInfoWithout9a = "PIV version:              5.4.3\n"
                                  "PIN tries remaining:      3/3\n"
                                  "Management key algorithm: TDES\n"
                                  "Slot 9c:\n"
                                  "\tAlgorithm:\tRSA2048\n"
                                  "\tSubject DN:\tCN=Signing\n";

FidoKeyInfo sampleKey()
{
    FidoKeyInfo k;
    k.product = QStringLiteral("YubiKey 5Ci");
    k.manufacturer = QStringLiteral("Yubico");
    k.aaguid = QStringLiteral("c5ef55ffad9a4b9fb580adebafe026d0");
    k.devicePath = QStringLiteral("/dev/hidraw3");
    k.vendorId = 0x1050;
    k.productId = 0x0407;
    k.fidoVersion = QStringLiteral("FIDO_2_1");
    k.versions = QStringList{QStringLiteral("FIDO_2_0"), QStringLiteral("FIDO_2_1")};
    k.extensions = QStringList{QStringLiteral("credProtect"), QStringLiteral("hmac-secret")};
    k.algorithms = QStringList{QStringLiteral("es256"), QStringLiteral("eddsa")};
    k.transports = QStringList{QStringLiteral("usb"), QStringLiteral("nfc")};
    k.clientPin = true;
    k.credMgmt = true;
    k.maxMsgSize = 1200;
    k.firmwareMajor = 5;
    k.firmwareMinor = 4;
    k.firmwarePatch = 3;
    return k;
}

DeviceProfile entryNamed(const QString& name)
{
    for (const DeviceProfile& p : DeviceProfileRegistry::instance().profiles()) {
        if (p.name == name)
            return p;
    }
    qFatal("no catalogue entry %s", qPrintable(name));
    return {};
}

QTabWidget* tabsOf(QDialog& dialog)
{
    return dialog.findChild<QTabWidget*>();
}

QStringList tabTitles(QDialog& dialog)
{
    QStringList titles;
    QTabWidget* tabs = tabsOf(dialog);
    for (int i = 0; i < tabs->count(); ++i)
        titles << tabs->tabText(i);
    return titles;
}

QWidget* page(QDialog& dialog, const QString& title)
{
    QTabWidget* tabs = tabsOf(dialog);
    for (int i = 0; i < tabs->count(); ++i) {
        if (tabs->tabText(i) == title)
            return tabs->widget(i);
    }
    return nullptr;
}

QStringList logLines(QDialog& dialog)
{
    const QString text = dialog.findChild<QTextEdit*>()->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QStringList buttonTexts(QWidget* within)
{
    QStringList texts;
    for (QPushButton* b : within->findChildren<QPushButton*>())
        texts << b->text();
    return texts;
}

QTreeWidgetItem* section(QTreeWidget* tree, const QString& title)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (tree->topLevelItem(i)->text(0) == title)
            return tree->topLevelItem(i);
    }
    return nullptr;
}

QStringList sectionTitles(QDialog& dialog)
{
    QTreeWidget* tree = dialog.findChild<QTreeWidget*>();
    QStringList titles;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        titles << tree->topLevelItem(i)->text(0);
    return titles;
}

QTreeWidgetItem* row(QDialog& dialog, const QString& sectionTitle, const QString& label)
{
    QTreeWidgetItem* s = section(dialog.findChild<QTreeWidget*>(), sectionTitle);
    for (int i = 0; s && i < s->childCount(); ++i) {
        if (s->child(i)->text(0) == label)
            return s->child(i);
    }
    return nullptr;
}


QStringList ykmanCalls(const FakeTools& fakes)
{
    QStringList calls;
    for (int call = 1; call <= fakes.callCount(kYkman); ++call)
        calls << fakes.arguments(kYkman, call).join(QLatin1Char(' '));
    return calls;
}

// A FIDO2-only entry, so the FIDO2 tests need no PIV tool.
DeviceProfile fidoEntry(bool credMgmt = true)
{
    DeviceProfile p = DeviceProfileRegistry::genericCtap2();
    p.fido2CredMgmt = credMgmt;
    return p;
}

// One software key on the bus, enumerated, and a dialog opened for it.
struct FidoFixture
{
    SoftFidoBus bus;
    SoftAuthenticator* key = nullptr;
    FidoDeviceManager manager;
    std::unique_ptr<DeviceConfigDialog> dialog;
    ModalDriver driver;

    explicit FidoFixture(const QString& pin = QString())
    {
        key = &bus.plug(SoftFidoBus::Key());
        key->presetPin(pin);
        manager.enumerate();
        dialog = std::make_unique<DeviceConfigDialog>(*manager.deviceAt(0), fidoEntry(), &manager, 0, nullptr,
                                                      nullptr);
    }
    QWidget* fidoPage() { return page(*dialog, QStringLiteral("FIDO2")); }
    void press(const QString& text, const QStringList& script)
    {
        driver.answerInOrder(script);
        QPushButton* b = findButton(fidoPage(), text);
        QVERIFY(b);
        b->click();
    }
};

// The key of sampleKey() on the bus, the stand-in PIV token on PATH and the
// dialog for a catalogue entry.
struct PivFixture
{
    FakeTools fakes;
    SoftFidoBus bus;
    std::unique_ptr<YkmanBridge> ykman;
    std::unique_ptr<OpenscBridge> opensc;
    FidoDeviceManager manager;
    std::unique_ptr<DeviceConfigDialog> dialog;
    ModalDriver driver;

    explicit PivFixture(const DeviceProfile& entry, bool withYkman = true, bool withOpensc = false)
    {
        fakes.install(kYkman, kYkman);
        fakes.install(kPkcs11Tool, kPkcs11Tool);
        const FidoKeyInfo sample = sampleKey();
        SoftFidoBus::Key key;
        key.path = sample.devicePath;
        key.product = sample.product;
        key.manufacturer = sample.manufacturer;
        SoftAuthenticator& soft = bus.plug(key);
        soft.info.aaguid = QByteArray::fromHex(sample.aaguid.toLatin1());
        soft.info.firmwareVersion = 0x050403;
        manager.enumerate();
        if (withYkman)
            ykman = std::make_unique<YkmanBridge>();
        if (withOpensc)
            opensc = std::make_unique<OpenscBridge>();
        dialog = std::make_unique<DeviceConfigDialog>(*manager.deviceAt(0), entry, &manager, 0, ykman.get(),
                                                      opensc.get());
    }
    // The key pulled out while the dialog is open, and the poll has seen it.
    void pullKey()
    {
        bus.unplug(sampleKey().devicePath);
        manager.enumerate();
    }
    QWidget* pivPage() { return page(*dialog, QStringLiteral("PIV")); }
    void press(const QString& text, const QStringList& script)
    {
        driver.answerInOrder(script);
        QPushButton* b = findButton(pivPage(), text);
        QVERIFY(b);
        b->click();
    }
};

} // namespace

void DeviceConfigDialogTest::init()
{
    // The PIV bridge's private folder goes to a temporary folder of this test alone.
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    tmpEnv = std::make_unique<ScopedEnv>("TMPDIR", QFile::encodeName(tmp->path()));
}

void DeviceConfigDialogTest::cleanup()
{
    tmpEnv.reset();
    tmp.reset();
}

// ---- frame and information page --------------------------------------------

void DeviceConfigDialogTest::pagesPerCatalogueEntry_data()
{
    QTest::addColumn<DeviceProfile>("entry");
    QTest::addColumn<QStringList>("tabs");
    QTest::addColumn<QStringList>("sections");

    const QString info = QStringLiteral("Device Info");
    const QString identity = QStringLiteral("Identity");
    const QString fido = QStringLiteral("FIDO2 / CTAP");
    const QString piv = QStringLiteral("PIV Smart Card");
    QTest::newRow("YubiKey 5Ci") << entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)"))
                                 << QStringList{info, "FIDO2", "PIV", "Constraints"}
                                 << QStringList{identity, fido, piv, "Applets"};
    QTest::newRow("Hirsch") << entryNamed(QStringLiteral("Hirsch uTrust FIDO2 Gov"))
                            << QStringList{info, "FIDO2", "PIV", "Constraints"} << QStringList{identity, fido, piv};
    QTest::newRow("YubiKey in FIDO2 mode") << entryNamed(QStringLiteral("YubiKey 5 (FIDO2 mode)"))
                                           << QStringList{info, "FIDO2", "Constraints"}
                                           << QStringList{identity, fido};
    QTest::newRow("YubiKey OTP+FIDO") << entryNamed(QStringLiteral("YubiKey 5 OTP+FIDO"))
                                      << QStringList{info, "FIDO2", "Constraints"}
                                      << QStringList{identity, fido, "Applets"};
    QTest::newRow("generic PIV") << entryNamed(QStringLiteral("Generic PIV Smart Card"))
                                 << QStringList{info, "PIV", "Constraints"} << QStringList{identity, piv};
    DeviceProfile bare = fidoEntry();
    bare.constraints.clear();
    QTest::newRow("no constraints") << bare << QStringList{info, "FIDO2"} << QStringList{identity, fido};
    DeviceProfile nothing;
    QTest::newRow("no capabilities") << nothing << QStringList{info} << QStringList{identity};
}

void DeviceConfigDialogTest::pagesPerCatalogueEntry()
{
    QFETCH(DeviceProfile, entry);
    QFETCH(QStringList, tabs);
    QFETCH(QStringList, sections);
    FidoDeviceManager manager;
    DeviceConfigDialog dialog(sampleKey(), entry, &manager, 0, nullptr, nullptr);

    QCOMPARE(dialog.windowTitle(), QStringLiteral("Configure — YubiKey 5Ci"));
    QCOMPARE(tabTitles(dialog), tabs);
    QCOMPARE(sectionTitles(dialog), sections);
    // Building the pages logs nothing.
    QVERIFY(logLines(dialog).isEmpty());

    if (QWidget* constraints = page(dialog, QStringLiteral("Constraints"))) {
        QStringList shown;
        for (QLabel* label : constraints->findChildren<QLabel*>()) {
            if (label->text().startsWith(QLatin1String("  *  ")))
                shown << label->text().mid(5);
        }
        QCOMPARE(shown, entry.constraints);
    }
}

namespace {

struct CellCase
{
    const char* name;
    std::function<void(FidoKeyInfo&, DeviceProfile&)> change;
    QString section, label, value, colour; // colour empty: none set
};

const QList<CellCase>& cellCases()
{
    const QString identity = QStringLiteral("Identity");
    const QString fido = QStringLiteral("FIDO2 / CTAP");
    const QString piv = QStringLiteral("PIV Smart Card");
    static const QList<CellCase> cases{
        {"VID:PID zero-padded", [](FidoKeyInfo& k, DeviceProfile&) { k.productId = 0x407; }, identity, "VID:PID",
         "1050:0407", {}},
        {"VID:PID upper-case", [](FidoKeyInfo& k, DeviceProfile&) { k.vendorId = 0xabcd; k.productId = 0xef; },
         identity, "VID:PID", "ABCD:00EF", {}},
        {"firmware", [](FidoKeyInfo&, DeviceProfile&) {}, identity, "Firmware", "5.4.3", {}},
        {"firmware 0.x", [](FidoKeyInfo& k, DeviceProfile&) { k.firmwareMajor = 0; k.firmwareMinor = 9; },
         identity, "Firmware", "N/A", {}},
        {"profile name", [](FidoKeyInfo&, DeviceProfile&) {}, identity, "Profile", "YubiKey 5Ci (5.4.x)",
         "#0ea5e9"},
        {"CTAP 2.1", [](FidoKeyInfo&, DeviceProfile&) {}, fido, "CTAP Version", "FIDO_2_1", "#22c55e"},
        {"CTAP 2.1 preview", [](FidoKeyInfo& k, DeviceProfile&) { k.fidoVersion = "FIDO_2_1_PRE"; }, fido,
         "CTAP Version", "FIDO_2_1_PRE", "#0ea5e9"},
        {"CTAP version other case", [](FidoKeyInfo& k, DeviceProfile&) { k.fidoVersion = "fido_2_1"; }, fido,
         "CTAP Version", "fido_2_1", "#0ea5e9"},
        {"PIN set", [](FidoKeyInfo&, DeviceProfile&) {}, fido, "PIN Set", "Yes", "#22c55e"},
        {"PIN not set", [](FidoKeyInfo& k, DeviceProfile&) { k.clientPin = false; }, fido, "PIN Set", "No",
         "#f59e0b"},
        {"remaining unknown", [](FidoKeyInfo&, DeviceProfile&) {}, fido, "Remaining Slots", "N/A", {}},
        {"remaining known", [](FidoKeyInfo& k, DeviceProfile&) { k.remainingCredentials = 0; }, fido,
         "Remaining Slots", "0", {}},
        {"transports", [](FidoKeyInfo&, DeviceProfile&) {}, fido, "Transports", "usb, nfc", {}},
        {"no transports", [](FidoKeyInfo& k, DeviceProfile&) { k.transports.clear(); }, fido, "Transports", "USB",
         {}},
        {"message size", [](FidoKeyInfo&, DeviceProfile&) {}, fido, "Max Message", "1200 bytes", {}},
        {"toolchain", [](FidoKeyInfo&, DeviceProfile&) {}, piv, "Toolchain", "YKMAN", "#0ea5e9"},
        {"no P-256", [](FidoKeyInfo&, DeviceProfile& p) { p.eccP256 = false; }, piv, "ECC P-256", "No", "#94a3b8"},
        {"no P-384", [](FidoKeyInfo&, DeviceProfile&) {}, piv, "ECC P-384", "No", "#f59e0b"},
        {"RSA max", [](FidoKeyInfo&, DeviceProfile&) {}, piv, "RSA Max", "2048 bits", {}},
        {"RSA max unknown", [](FidoKeyInfo&, DeviceProfile& p) { p.rsaMaxBits = 0; }, piv, "RSA Max", "N/A", {}},
    };
    return cases;
}

} // namespace

void DeviceConfigDialogTest::infoCells_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < cellCases().size(); ++i)
        QTest::newRow(cellCases().at(i).name) << i;
}

void DeviceConfigDialogTest::infoCells()
{
    QFETCH(int, index);
    const CellCase& c = cellCases().at(index);
    FidoKeyInfo key = sampleKey();
    DeviceProfile entry = entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)"));
    c.change(key, entry);
    FidoDeviceManager manager;
    DeviceConfigDialog dialog(key, entry, &manager, 0, nullptr, nullptr);

    QTreeWidgetItem* item = row(dialog, c.section, c.label);
    QVERIFY(item);
    QCOMPARE(item->text(1), c.value);
    if (c.colour.isEmpty())
        QCOMPARE(item->foreground(1).style(), Qt::NoBrush);
    else
        QCOMPARE(item->foreground(1).color().name(), c.colour);
}

void DeviceConfigDialogTest::appletsSection_data()
{
    QTest::addColumn<QList<bool>>("applets"); // otp, oath, openpgp, static password, challenge-response
    QTest::addColumn<QStringList>("values");  // empty: no section
    QTest::newRow("static password alone") << QList<bool>{false, false, false, true, false} << QStringList();
    QTest::newRow("challenge-response alone") << QList<bool>{false, false, false, false, true} << QStringList();
    QTest::newRow("OpenPGP alone") << QList<bool>{false, false, true, false, false}
                                   << QStringList{"No", "No", "Yes", "No", "No"};
    QTest::newRow("OTP with its modes") << QList<bool>{true, false, false, true, true}
                                        << QStringList{"Yes", "No", "No", "Yes", "Yes"};
}

void DeviceConfigDialogTest::appletsSection()
{
    QFETCH(QList<bool>, applets);
    QFETCH(QStringList, values);
    DeviceProfile entry;
    entry.otp = applets.at(0);
    entry.oath = applets.at(1);
    entry.openpgp = applets.at(2);
    entry.staticPassword = applets.at(3);
    entry.challengeResponse = applets.at(4);
    FidoDeviceManager manager;
    DeviceConfigDialog dialog(sampleKey(), entry, &manager, 0, nullptr, nullptr);

    QTreeWidgetItem* applet = section(dialog.findChild<QTreeWidget*>(), QStringLiteral("Applets"));
    QCOMPARE(applet != nullptr, !values.isEmpty());
    if (!applet)
        return;
    QStringList labels, shown;
    for (int i = 0; i < applet->childCount(); ++i) {
        labels << applet->child(i)->text(0);
        shown << applet->child(i)->text(1);
    }
    QCOMPARE(labels, (QStringList{"OTP", "OATH (TOTP/HOTP)", "OpenPGP", "Static Password", "Challenge-Response"}));
    QCOMPARE(shown, values);
}

void DeviceConfigDialogTest::shownValuesAreCopies()
{
    FidoFixture f(QStringLiteral("1234"));
    // The poll finds another key at the same place, without a PIN.
    f.bus.unplug(QStringLiteral("/dev/hidraw0"));
    SoftFidoBus::Key other;
    other.product = QStringLiteral("Other Key");
    f.bus.plug(other);
    f.manager.enumerate();
    QCOMPARE(f.manager.deviceAt(0)->product, QStringLiteral("Other Key"));

    QCOMPARE(f.dialog->windowTitle(), QStringLiteral("Configure — Soft FIDO2 Key"));
    QCOMPARE(row(*f.dialog, "Identity", "Product")->text(1), QStringLiteral("Soft FIDO2 Key"));
    QCOMPARE(row(*f.dialog, "FIDO2 / CTAP", "PIN Set")->text(1), QStringLiteral("Yes"));
    QVERIFY(!findButton(f.fidoPage(), "Set PIN")->isEnabled());
    QVERIFY(findButton(f.fidoPage(), "Change PIN")->isEnabled());
}

// ---- FIDO2 page -----------------------------------------------------------------

void DeviceConfigDialogTest::fidoButtons_data()
{
    QTest::addColumn<bool>("clientPin");
    QTest::addColumn<bool>("entryCredMgmt");
    QTest::addColumn<bool>("keyCredMgmt");
    QTest::newRow("PIN set") << true << true << true;
    QTest::newRow("no PIN") << false << true << true;
    // What the key reports does not bring the group; the catalogue entry does.
    QTest::newRow("entry without credential management") << true << false << true;
}

void DeviceConfigDialogTest::fidoButtons()
{
    QFETCH(bool, clientPin);
    QFETCH(bool, entryCredMgmt);
    QFETCH(bool, keyCredMgmt);
    FidoKeyInfo key = sampleKey();
    key.clientPin = clientPin;
    key.credMgmt = keyCredMgmt;
    FidoDeviceManager manager;
    DeviceConfigDialog dialog(key, fidoEntry(entryCredMgmt), &manager, 0, nullptr, nullptr);
    QWidget* fido = page(dialog, QStringLiteral("FIDO2"));

    QCOMPARE(findButton(fido, "Set PIN")->isEnabled(), !clientPin);
    QCOMPARE(findButton(fido, "Change PIN")->isEnabled(), clientPin);
    const QStringList credentialButtons{"List Credentials", "Delete Credential"};
    QStringList expected{"Set PIN", "Change PIN"};
    if (entryCredMgmt)
        expected << credentialButtons;
    expected << "Factory Reset FIDO2...";
    QCOMPARE(buttonTexts(fido), expected);
}

void DeviceConfigDialogTest::fidoPin_data()
{
    QTest::addColumn<QString>("presetPin");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("pinAfter");

    QTest::newRow("set, 3 characters") << "" << "Set PIN" << QStringList{"abc"} << QStringList() << "";
    QTest::newRow("set, cancelled") << "" << "Set PIN" << QStringList{"<cancel>"} << QStringList() << "";
    QTest::newRow("set, 4 characters")
        << "" << "Set PIN" << QStringList{"abcd"}
        << QStringList{"Setting PIN on Soft FIDO2 Key...", "PIN set successfully."} << "abcd";
    QTest::newRow("change") << "1234" << "Change PIN" << QStringList{"1234", "98765"}
                            << QStringList{"Changing PIN on Soft FIDO2 Key...", "PIN changed successfully."}
                            << "98765";
    QTest::newRow("change, wrong current PIN")
        << "1234" << "Change PIN" << QStringList{"9999", "98765"}
        << QStringList{"Changing PIN on Soft FIDO2 Key...", "Failed to change PIN.", "Wrong PIN — 7 attempts left."}
        << "1234";
    QTest::newRow("change, empty current PIN") << "1234" << "Change PIN" << QStringList{""} << QStringList()
                                               << "1234";
    QTest::newRow("change, new PIN too short") << "1234" << "Change PIN" << QStringList{"1234", "987"}
                                               << QStringList() << "1234";
}

void DeviceConfigDialogTest::fidoPin()
{
    QFETCH(QString, presetPin);
    QFETCH(QString, action);
    QFETCH(QStringList, script);
    QFETCH(QStringList, log);
    QFETCH(QString, pinAfter);
    FidoFixture f(presetPin);

    f.press(action, script);
    QCOMPARE(logLines(*f.dialog), log);
    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(f.key->hasPin(), !pinAfter.isEmpty());
    if (!pinAfter.isEmpty())
        QVERIFY(f.key->pinIs(pinAfter));
    // The page keeps the states of the opening.
    QCOMPARE(findButton(f.fidoPage(), "Set PIN")->isEnabled(), presetPin.isEmpty());
}

void DeviceConfigDialogTest::listAndDeleteCredentials()
{
    FidoFixture f(QStringLiteral("1234"));
    f.key->credentials = {
        {QByteArray::fromHex("deadbeef"), "example.com", "Example", "u1", "alice", "Alice"},
        {QByteArray::fromHex("0102030405060708090a"), "github.com", QString(), "u2", "bob", QString()},
    };

    f.press("List Credentials", {"0000"});
    QCOMPARE(logLines(*f.dialog), (QStringList{"Listing credentials...", "Wrong PIN — 7 attempts left."}));
    f.dialog->findChild<QTextEdit*>()->clear();

    f.press("List Credentials", {"1234"});
    QCOMPARE(logLines(*f.dialog),
             (QStringList{"Listing credentials...", "  RP: example.com (Example)", "  RP: github.com"}));
    f.dialog->findChild<QTextEdit*>()->clear();

    // No at the warning: nothing deleted, nothing logged.
    f.press("Delete Credential", {"0102030405060708090a", "1234", "<no>"});
    QCOMPARE(logLines(*f.dialog), QStringList());
    QCOMPARE(f.key->credentials.size(), 2);
    QCOMPARE(f.driver.texts.last(), QStringLiteral("Permanently delete '0102030405060708090a'?"));

    f.press("Delete Credential", {"0102030405060708090a", "1234", "<yes>"});
    QCOMPARE(logLines(*f.dialog), QStringList{"Credential deleted: 0102030405060708090a"});
    QCOMPARE(f.key->credentials.size(), 1);
    QCOMPARE(f.key->credentials.first().rpId, QStringLiteral("example.com"));
    QCOMPARE(f.driver.pending(), 0);

    // The key holds nothing any more: an empty list, and no PIN complaint.
    f.key->credentials.clear();
    f.dialog->findChild<QTextEdit*>()->clear();
    f.press("List Credentials", {"1234"});
    QCOMPARE(logLines(*f.dialog), (QStringList{"Listing credentials...", "No resident credentials found."}));
}

void DeviceConfigDialogTest::deleteByWhatTheScreenShows_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<int>("deleted"); // index into the key's credentials; -1: none
    QTest::addColumn<QString>("logged");

    const QString none = QStringLiteral("Delete failed: no single credential matches %1");
    QTest::newRow("16-digit start, as the window shows it") << "a1a1a1a1a1a1a1a1" << "1234" << 0
                                                            << "Credential deleted: a1a1a1a1a1a1a1a1";
    QTest::newRow("whole id of another party") << "c3c3c3c3" << "1234" << 2 << "Credential deleted: c3c3c3c3";
    QTest::newRow("start of two ids") << "b0b0b0b0b0b0b0b0" << "1234" << -1 << none.arg("b0b0b0b0b0b0b0b0");
    QTest::newRow("start shorter than shown") << "a1a1a1a1" << "1234" << -1 << none.arg("a1a1a1a1");
    QTest::newRow("no such id") << "0123456789abcdef" << "1234" << -1 << none.arg("0123456789abcdef");
    QTest::newRow("wrong PIN") << "a1a1a1a1a1a1a1a1" << "0000" << -1 << "Wrong PIN — 7 attempts left.";
}

void DeviceConfigDialogTest::deleteByWhatTheScreenShows()
{
    QFETCH(QString, typed);
    QFETCH(QString, pin);
    QFETCH(int, deleted);
    QFETCH(QString, logged);
    FidoFixture f(QStringLiteral("1234"));
    const QByteArray bob = QByteArray::fromHex("b0b0b0b0b0b0b0b0000000000000000000000000000000000000000000000002");
    QByteArray bobTwin = bob;
    bobTwin[31] = 0x7f;
    f.key->credentials = {
        {QByteArray::fromHex("a1a1a1a1a1a1a1a1000000000000000000000000000000000000000000000001"), "example.com",
         "Example", "u1", "alice", "Alice"},
        {bob, "example.com", "Example", "u2", "bob", QString()},
        {QByteArray::fromHex("c3c3c3c3"), "github.com", QString(), "u3", "carol", QString()},
        {bobTwin, "github.com", QString(), "u4", "bob", QString()},
    };
    const auto stored = f.key->credentials;

    f.press("Delete Credential", {typed, pin, "<yes>"});
    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(logLines(*f.dialog), QStringList{logged});
    auto left = stored;
    if (deleted >= 0)
        left.removeAt(deleted);
    QCOMPARE(f.key->credentials.size(), left.size());
    for (int i = 0; i < left.size(); ++i)
        QCOMPARE(f.key->credentials.at(i).id, left.at(i).id);
}

void DeviceConfigDialogTest::fidoReset_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("resets");

    const QString resetting = QStringLiteral("Factory resetting Soft FIDO2 Key...");
    QTest::newRow("answered No") << QStringList{"<no>"} << true << QStringList() << 0;
    QTest::newRow("lower case") << QStringList{"<yes>", "reset"} << true << QStringList{"Reset cancelled."} << 0;
    QTest::newRow("leading blank") << QStringList{"<yes>", " RESET"} << true << QStringList{"Reset cancelled."}
                                   << 0;
    QTest::newRow("word cancelled") << QStringList{"<yes>", "<cancel>"} << true << QStringList{"Reset cancelled."}
                                    << 0;
    QTest::newRow("confirmed") << QStringList{"<yes>", "RESET"} << true
                               << QStringList{resetting, "Factory reset complete."} << 1;
    QTest::newRow("refused by the key")
        << QStringList{"<yes>", "RESET"} << false
        << QStringList{resetting, "Reset failed. Replug key within 10 seconds and retry.",
                       QString::fromUtf8("Factory reset failed: the key allows a reset only in the first seconds after it is plugged in \u2014 remove and re-insert it, then reset at once")}
        << 0;
}

void DeviceConfigDialogTest::fidoReset()
{
    QFETCH(QStringList, script);
    QFETCH(bool, allowed);
    QFETCH(QStringList, log);
    QFETCH(int, resets);
    FidoFixture f(QStringLiteral("1234"));
    f.key->resetAllowed = allowed;

    f.press("Factory Reset FIDO2...", script);
    QCOMPARE(logLines(*f.dialog), log);
    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(f.key->resetCount, resets);
    QCOMPARE(f.driver.texts.first(),
             QStringLiteral("You are about to PERMANENTLY ERASE all FIDO2 data on:\n\n  Soft FIDO2 Key (Ostrevan Test)"
                            "\n\nThis CANNOT be undone. Proceed?"));
}

void DeviceConfigDialogTest::changedKeyListRefuses_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("script"); // the key list changes while the last prompt is open
    QTest::addColumn<QString>("change");     // "reordered", "removed" or "swapped" (no poll)

    QTest::newRow("reset, re-ordered") << "Factory Reset FIDO2..." << QStringList{"<yes>", "RESET"} << "reordered";
    QTest::newRow("reset, removed") << "Factory Reset FIDO2..." << QStringList{"<yes>", "RESET"} << "removed";
    QTest::newRow("reset, another model at the path")
        << "Factory Reset FIDO2..." << QStringList{"<yes>", "RESET"} << "swapped";
    QTest::newRow("set PIN, re-ordered") << "Set PIN" << QStringList{"4321"} << "reordered";
    QTest::newRow("list, re-ordered") << "List Credentials" << QStringList{"1234"} << "reordered";
    QTest::newRow("delete, another model at the path")
        << "Delete Credential" << QStringList{"c3c3c3c3", "1234", "<yes>"} << "swapped";
}

void DeviceConfigDialogTest::changedKeyListRefuses()
{
    QFETCH(QString, action);
    QFETCH(QStringList, script);
    QFETCH(QString, change);

    SoftFidoBus bus;
    SoftFidoBus::Key first, second;
    first.path = QStringLiteral("/dev/hidraw0");
    second.path = QStringLiteral("/dev/hidraw1");
    second.product = QStringLiteral("Second Key");
    SoftAuthenticator* opened = &bus.plug(first);
    bus.plug(second);
    FidoDeviceManager manager;
    manager.enumerate();
    DeviceConfigDialog dialog(*manager.deviceAt(0), fidoEntry(), &manager, 0, nullptr, nullptr);

    // The main window's poll runs while the last prompt waits for the user
    // and finds the keys in another order, or the dialog's key gone.
    ModalDriver driver;
    const QString lastStep = script.takeLast();
    driver.answerInOrder(script);
    SoftAuthenticator* swapped = nullptr;
    driver.enqueue([&](QWidget* w) {
        if (change == QLatin1String("removed")) {
            bus.unplug(first.path);
            opened = nullptr;
            manager.enumerate();
        } else if (change == QLatin1String("reordered")) {
            bus.unplug(second.path);
            bus.plug(second, 0);
            manager.enumerate();
        } else {
            // Pulled, and another model plugged in at the freed path before
            // any poll.
            bus.unplug(first.path);
            opened = nullptr;
            SoftFidoBus::Key model = first;
            model.product = QStringLiteral("Other Model");
            model.vendorId = 0x20a0;
            model.productId = 0x42b1;
            swapped = &bus.plug(model, 0);
            swapped->info.aaguid = QByteArray::fromHex("ee882879721c491397753dfcce97072a");
            swapped->presetPin(QStringLiteral("1234"));
            swapped->credentials = {{QByteArray::fromHex("c3c3c3c3"), "github.com", QString(), "u3", "carol", {}}};
        }
        if (auto* input = qobject_cast<QInputDialog*>(w)) {
            input->setTextValue(lastStep);
            input->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
            box->button(QMessageBox::Yes)->click();
        }
    });
    findButton(page(dialog, QStringLiteral("FIDO2")), action)->click();

    QCOMPARE(logLines(dialog), QStringList{kChanged});
    QCOMPARE(driver.pending(), 0);
    SoftAuthenticator* other = bus.authenticator(second.path);
    QCOMPARE(other->resetCount, 0);
    QVERIFY(!other->hasPin());
    if (swapped) {
        QCOMPARE(swapped->resetCount, 0);
        QCOMPARE(swapped->credentials.size(), 1);
    } else {
        QCOMPARE(manager.deviceAt(0)->devicePath, second.path);
    }
    // No key heard more than the enumerations' information requests.
    for (SoftAuthenticator* key : {other, opened, swapped}) {
        for (int command = 0; key && command < key->commands.size(); ++command)
            QCOMPARE(key->commands.at(command), 0x04);
    }
}

// ---- PIV page ---------------------------------------------------------------------

void DeviceConfigDialogTest::pivPresence_data()
{
    QTest::addColumn<DeviceProfile>("entry");
    QTest::addColumn<bool>("withYkman");
    QTest::addColumn<bool>("withOpensc");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QStringList>("algorithms"); // the selector's data; empty: no selector
    QTest::addColumn<QString>("summary");        // empty: no summary label
    QTest::addColumn<bool>("toolsMissing");

    const QString harden = QStringLiteral("Hardening Wizard...");
    const QString generate = QStringLiteral("Generate Key + CSR...");
    const QString attest = QStringLiteral("Export Attestation Bundle...");
    const QString import = QStringLiteral("Import Certificate to 9A...");
    const QString reset = QStringLiteral("Reset PIV Applet...");
    const DeviceProfile ci = entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)"));
    const QStringList ciAlgorithms{"ECCP256", "RSA2048"};
    const QString ciSummary = QStringLiteral("Algorithms: ECC P-256 | RSA 2048");
    const QStringList allAlgorithms{"ECCP384", "ECCP256", "RSA3072", "RSA2048"};
    const QString allSummary = QStringLiteral("Algorithms: ECC P-256 | ECC P-384 | RSA 2048 | RSA 3072");

    QTest::newRow("ykman entry, both tools") << ci << true << true
                                             << QStringList{harden, generate, attest, import, reset} << ciAlgorithms
                                             << ciSummary << false;
    QTest::newRow("ykman entry, PIV tool only") << ci << true << false
                                                << QStringList{harden, generate, attest, import, reset}
                                                << ciAlgorithms << ciSummary << false;
    QTest::newRow("ykman entry, PKCS#11 tool only") << ci << false << true << QStringList{import} << QStringList()
                                                    << ciSummary << false;
    QTest::newRow("ykman entry, no tools") << ci << false << false << QStringList() << QStringList() << ciSummary
                                           << true;
    QTest::newRow("ykman entry with every algorithm")
        << entryNamed(QStringLiteral("YubiKey 5 (5.7+)")) << true << true
        << QStringList{harden, generate, attest, import, reset} << allAlgorithms << allSummary << false;
    QTest::newRow("opensc entry, both tools") << entryNamed(QStringLiteral("Hirsch uTrust FIDO2 Gov")) << true
                                              << true << QStringList{generate, import} << allAlgorithms
                                              << allSummary << false;
    QTest::newRow("generic PIV, PIV tool only") << entryNamed(QStringLiteral("Generic PIV Smart Card")) << true
                                                << false << QStringList{generate, import} << ciAlgorithms
                                                << ciSummary << false;
    DeviceProfile plain;
    plain.piv = true;
    plain.toolchain = QStringLiteral("ykman");
    plain.pivImportCert = true;
    QTest::newRow("no algorithms") << plain << true << true << QStringList{import} << QStringList() << QString()
                                   << false;
}

void DeviceConfigDialogTest::pivPresence()
{
    QFETCH(DeviceProfile, entry);
    QFETCH(bool, withYkman);
    QFETCH(bool, withOpensc);
    QFETCH(QStringList, buttons);
    QFETCH(QStringList, algorithms);
    QFETCH(QString, summary);
    QFETCH(bool, toolsMissing);
    PivFixture f(entry, withYkman, withOpensc);
    QWidget* piv = f.pivPage();

    QCOMPARE(buttonTexts(piv), buttons);
    QStringList selector;
    if (auto* combo = piv->findChild<QComboBox*>()) {
        for (int i = 0; i < combo->count(); ++i)
            selector << combo->itemData(i).toString();
        QCOMPARE(combo->currentIndex(), 0);
    }
    QCOMPARE(selector, algorithms);

    QStringList labels;
    for (QLabel* label : piv->findChildren<QLabel*>())
        labels << label->text();
    QCOMPARE(labels.first(), QStringLiteral("Toolchain: <b>%1</b>").arg(entry.toolchain.toUpper()));
    const QStringList summaries = labels.filter(QRegularExpression(QStringLiteral("^Algorithms: ")));
    QCOMPARE(summaries, summary.isEmpty() ? QStringList() : QStringList{summary});
    QCOMPARE(labels.contains(QStringLiteral("PIV tools not available. Install ykman or opensc.")), toolsMissing);
    QCOMPARE(f.fakes.callCount(kYkman), 0);
}

void DeviceConfigDialogTest::hardening_data()
{
    QTest::addColumn<bool>("aes256");
    QTest::addColumn<bool>("factoryKey"); // the token still has the factory management key
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("log");

    const QString t1 = QStringLiteral("Hardening — Change PIN");
    const QString t2 = QStringLiteral("Hardening — New PIN");
    const QString t3 = QStringLiteral("Hardening — Change PUK");
    const QString t4 = QStringLiteral("Hardening — New PUK");
    const QString t5 = QStringLiteral("Hardening — Management Key");
    const QString warning = QStringLiteral("PIV");
    const QString pinCall = QStringLiteral("piv access change-pin");
    const auto pukCall = [](const QString& current, const QString& next) {
        return QStringLiteral("piv access change-puk --puk %1 --new-puk %2").arg(current, next);
    };
    const QString mgmtCall = QStringLiteral("piv access change-management-key --management-key ")
        + QString::fromLatin1(kFactoryMgmtKey) + QStringLiteral(" --algorithm AES256 --generate --protect");
    const QString newPuk = QStringLiteral("87654321");
    const QString pinOk = QStringLiteral("PIN changed.");
    const QString pukOk = QStringLiteral("PUK changed.");
    const QString upgraded = QStringLiteral("Management key upgraded to AES256 + PIN protection.");
    const QString complete = QStringLiteral("Hardening complete.");

    QTest::newRow("current PIN cancelled") << true << true << QStringList{"<cancel>"} << QStringList{t1}
                                           << QStringList() << QStringList();
    for (const QString& newPin : {QStringLiteral("12345"), QStringLiteral("123456789"), QStringLiteral("<cancel>")}) {
        QTest::addRow("new PIN %s", qPrintable(newPin))
            << true << true << QStringList{kPivPin, newPin, "<ok>"} << QStringList{t1, t2, warning}
            << QStringList() << QStringList();
    }
    QTest::newRow("PIN change fails") << true << true << QStringList{"000000", "654321"} << QStringList{t1, t2}
                                      << QStringList{pinCall} << QStringList{"PIN change failed."};
    QTest::newRow("every step") << true << true << QStringList{kPivPin, kPivPin, kPivPuk, newPuk, "<yes>"}
                                << QStringList{t1, t2, t3, t4, t5}
                                << QStringList{pinCall, pukCall(kPivPuk, newPuk), mgmtCall}
                                << QStringList{pinOk, pukOk, upgraded, complete};
    QTest::newRow("PUK change fails, the wizard goes on")
        << true << true << QStringList{kPivPin, kPivPin, "99999999", newPuk, "<yes>"}
        << QStringList{t1, t2, t3, t4, t5} << QStringList{pinCall, pukCall("99999999", newPuk), mgmtCall}
        << QStringList{pinOk, "PUK change failed.", upgraded, complete};
    QTest::newRow("management key already changed")
        << true << false << QStringList{kPivPin, kPivPin, kPivPuk, newPuk, "<yes>"}
        << QStringList{t1, t2, t3, t4, t5} << QStringList{pinCall, pukCall(kPivPuk, newPuk), mgmtCall}
        << QStringList{pinOk, pukOk, "Management key upgrade failed.", complete};
    QTest::newRow("8-character PIN, upgrade declined")
        << true << true << QStringList{kPivPin, "12345678", kPivPuk, newPuk, "<no>"}
        << QStringList{t1, t2, t3, t4, t5} << QStringList{pinCall, pukCall(kPivPuk, newPuk)}
        << QStringList{pinOk, pukOk, complete};
    QTest::newRow("entry without AES256 management key")
        << false << true << QStringList{kPivPin, kPivPin, kPivPuk, newPuk} << QStringList{t1, t2, t3, t4}
        << QStringList{pinCall, pukCall(kPivPuk, newPuk)} << QStringList{pinOk, pukOk, complete};
    QTest::newRow("PUK prompt cancelled") << true << true << QStringList{kPivPin, kPivPin, "<cancel>"}
                                          << QStringList{t1, t2, t3} << QStringList{pinCall} << QStringList{pinOk};
    QTest::newRow("new PUK of 7") << true << true << QStringList{kPivPin, kPivPin, kPivPuk, "1234567", "<ok>"}
                                  << QStringList{t1, t2, t3, t4, warning} << QStringList{pinCall}
                                  << QStringList{pinOk};
}

void DeviceConfigDialogTest::hardening()
{
    QFETCH(bool, aes256);
    QFETCH(bool, factoryKey);
    QFETCH(QStringList, script);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, log);
    DeviceProfile entry = entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)"));
    entry.pivAes256MgmtKey = aes256;
    ScopedEnv tokenKey("FAKE_YKMAN_MGMT_KEY", factoryKey ? kFactoryMgmtKey : QByteArray("0102030405060708"));
    PivFixture f(entry);

    f.press("Hardening Wizard...", script);
    QCOMPARE(f.driver.titles, titles);
    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(ykmanCalls(f.fakes), calls);
    QCOMPARE(logLines(*f.dialog), log);
    if (titles.last() == QLatin1String("PIV")) {
        QCOMPARE(f.driver.texts.last(), titles.size() == 3 ? QStringLiteral("PIN must be 6-8 characters.")
                                                            : QStringLiteral("PUK must be 8+ characters."));
    }
    // Both PINs reach the tool on its input, never on its command line; the
    // PIN-protected management key is given the new PIN the same way.
    if (!calls.isEmpty())
        QCOMPARE(f.fakes.standardInput(kYkman, 1), (script.at(0) + "\n" + script.at(1) + "\n\n").toUtf8());
    if (calls.size() == 3)
        QCOMPARE(f.fakes.standardInput(kYkman, 3), (script.at(1) + "\n").toUtf8());
}

void DeviceConfigDialogTest::escapeDnValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("ordinary") << "Example Signer Ltd" << "Example Signer Ltd";
    QTest::newRow("not ASCII") << "Zoë Ærø" << "Zoë Ærø";
    QTest::newRow("comma") << "Doe, John" << "Doe\\, John";
    QTest::newRow("equals and plus") << "a=b+c" << "a\\=b\\+c";
    QTest::newRow("quotes") << "say \"hi\"" << "say \\\"hi\\\"";
    QTest::newRow("angles, semicolon, backslash") << "<x>;y\\z" << "\\<x\\>\\;y\\\\z";
    QTest::newRow("leading hash") << "#1 Signer" << "\\#1 Signer";
    QTest::newRow("inner hash") << "Signer #1" << "Signer #1";
    QTest::newRow("blanks at the ends") << " padded " << "\\ padded\\ ";
    QTest::newRow("inner blanks") << "a  b" << "a  b";
    QTest::newRow("one blank") << " " << "\\ ";
}

void DeviceConfigDialogTest::escapeDnValue()
{
    QFETCH(QString, value);
    QFETCH(QString, escaped);
    QCOMPARE(DeviceConfigDialog::escapeDnValue(value), escaped);
}

namespace {

QString makeCertificate(const QString& dir)
{
    const QString path = dir + QStringLiteral("/cert.pem");
    const auto r = ToolRunner::run(QStringLiteral("openssl"),
                                   {"req", "-x509", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                                    "-nodes", "-keyout", "/dev/null", "-subj", "/CN=Import", "-days", "30", "-out",
                                    path});
    return r.succeeded() ? path : QString();
}

} // namespace

void DeviceConfigDialogTest::keyAndCsr_data()
{
    QTest::addColumn<QStringList>("script"); // up to the PIN
    QTest::addColumn<QString>("subject");    // of the request; empty: none made
    QTest::addColumn<QString>("proposal");   // proposed file name; empty: no save dialog
    QTest::addColumn<QStringList>("log");    // before "Saved: "

    const QStringList made{"Generating ECCP256 on slot 9A...", "Key generated.",
                           "CSR generated — copied to clipboard."};
    QTest::newRow("comma in the name") << QStringList{"Doe, John", "", "", "", "us", kPivPin}
                                       << "CN=Doe\\, John,C=US" << "doe,-john.csr" << made;
    QTest::newRow("blanks around and inside")
        << QStringList{"  Example  Signer ", "Example Org", "Springfield", "IL", "US", kPivPin}
        << "CN=\\  Example  Signer\\ ,O=Example Org,L=Springfield,ST=IL,C=US" << "example-signer.csr" << made;
    QTest::newRow("three-letter country") << QStringList{"Jane", "", "", "", "USA"} << "" << "" << QStringList();
    QTest::newRow("one-letter country") << QStringList{"Jane", "", "", "", "U"} << "" << "" << QStringList();
    QTest::newRow("no common name") << QStringList{""} << "" << "" << QStringList();
    QTest::newRow("organization cancelled") << QStringList{"Jane", "<cancel>"} << "" << "" << QStringList();
    QTest::newRow("PIN cancelled") << QStringList{"Jane", "", "", "", "US", "<cancel>"} << "" << ""
                                   << QStringList();
    QTest::newRow("wrong PIN") << QStringList{"Jane", "", "", "", "US", "000000"} << "" << ""
                               << QStringList{"Generating ECCP256 on slot 9A...", "Key generation FAILED."};
}

void DeviceConfigDialogTest::keyAndCsr()
{
    QFETCH(QStringList, script);
    QFETCH(QString, subject);
    QFETCH(QString, proposal);
    QFETCH(QStringList, log);
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")));
    f.fakes.answer(kYkman, kInfoWithout9a, 0, {}, 1);
    QApplication::clipboard()->setText(QStringLiteral("before"));
    QTemporaryDir out;
    const QString savePath = out.path() + QStringLiteral("/request.csr");

    QString proposed;
    QString countryDefault;
    // The country prompt offers "US".
    f.driver.answerInOrder(script.mid(0, 4));
    if (script.size() > 4) {
        f.driver.enqueue([&, country = script.at(4)](QWidget* w) {
            auto* input = qobject_cast<QInputDialog*>(w);
            countryDefault = input->textValue();
            input->setTextValue(country);
            input->accept();
        });
    }
    f.driver.answerInOrder(script.mid(5));
    if (!proposal.isEmpty()) {
        f.driver.chooseFile(savePath, [&](QFileDialog* dialog) {
            proposed = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        });
    }
    f.press("Generate Key + CSR...", {});

    QCOMPARE(f.driver.pending(), 0);
    if (script.size() > 4)
        QCOMPARE(countryDefault, QStringLiteral("US"));
    QStringList requestArgs;
    for (int call = 1; call <= f.fakes.callCount(kYkman); ++call) {
        const QStringList args = f.fakes.arguments(kYkman, call);
        if (args.mid(0, 3) == QStringList{"piv", "keys", "generate"})
            QCOMPARE(args.mid(3, 2), (QStringList{"--algorithm", "ECCP256"}));
        if (args.mid(0, 3) == QStringList{"piv", "certificates", "request"})
            requestArgs = args;
    }
    QCOMPARE(requestArgs.value(requestArgs.indexOf(QStringLiteral("--subject")) + 1), subject);

    if (proposal.isEmpty()) {
        QCOMPARE(logLines(*f.dialog), log);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("before"));
        return;
    }
    QCOMPARE(proposed, proposal);
    QCOMPARE(logLines(*f.dialog), log + QStringList{QStringLiteral("Saved: ") + savePath});
    const QString request = QApplication::clipboard()->text();
    QVERIFY2(request.startsWith(QLatin1String("-----BEGIN CERTIFICATE REQUEST-----")), qPrintable(request));
    QCOMPARE(QString::fromUtf8(readFile(savePath)), request);
}

void DeviceConfigDialogTest::generateAsksBeforeReplacingAKey_data()
{
    QTest::addColumn<QString>("slotState"); // "occupied", "empty" or "unreadable"
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("titles");
    QTest::addColumn<QStringList>("log");

    const QString question = QStringLiteral("Generate Key + CSR");
    const QString name = QStringLiteral("CSR — Common Name");
    QTest::newRow("occupied, No") << "occupied" << QStringList{"<no>"} << QStringList{question} << QStringList();
    QTest::newRow("occupied, Yes") << "occupied" << QStringList{"<yes>", "<cancel>"} << QStringList{question, name}
                                   << QStringList();
    QTest::newRow("empty") << "empty" << QStringList{"<cancel>"} << QStringList{name} << QStringList();
    QTest::newRow("unreadable") << "unreadable" << QStringList() << QStringList()
                                << QStringList{"Could not read the PIV slots — nothing generated."};
}

void DeviceConfigDialogTest::generateAsksBeforeReplacingAKey()
{
    QFETCH(QString, slotState);
    QFETCH(QStringList, script);
    QFETCH(QStringList, titles);
    QFETCH(QStringList, log);
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")));
    if (slotState == QLatin1String("empty"))
        f.fakes.answer(kYkman, kInfoWithout9a, 0, {}, 1);
    else if (slotState == QLatin1String("unreadable"))
        f.fakes.answer(kYkman, {}, 1, "Error: Failed connecting to the YubiKey.\n", 1);
    bool noIsDefault = false;
    if (slotState == QLatin1String("occupied")) {
        f.driver.enqueue([&, first = script.takeFirst()](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            QVERIFY(box);
            noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
            box->button(first == QLatin1String("<yes>") ? QMessageBox::Yes : QMessageBox::No)->click();
        });
    }

    f.press("Generate Key + CSR...", script);
    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(f.driver.titles, titles);
    if (slotState == QLatin1String("occupied")) {
        QCOMPARE(f.driver.texts.first(),
                 QStringLiteral("Slot 9A already holds a key. Replace it? The old key cannot be recovered."));
        QVERIFY(noIsDefault);
    }
    QCOMPARE(logLines(*f.dialog), log);
    QCOMPARE(ykmanCalls(f.fakes), QStringList{"piv info"}); // nothing generated
}

void DeviceConfigDialogTest::pivActionsNeedTheirKey_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("script"); // the key is pulled while the last prompt is open

    QTest::newRow("reset") << "Reset PIV Applet..." << QStringList{"<yes>", "RESET-PIV"};
    QTest::newRow("generate") << "Generate Key + CSR..." << QStringList{"Jane", "", "", "", "US", kPivPin};
    QTest::newRow("import") << "Import Certificate to 9A..." << QStringList{"<certificate>", kPivPin};
    QTest::newRow("hardening") << "Hardening Wizard..." << QStringList{kPivPin, "654321"};
    QTest::newRow("hardening, at the PUK")
        << "Hardening Wizard..." << QStringList{kPivPin, kPivPin, kPivPuk, "87654321"};
}

void DeviceConfigDialogTest::pivActionsNeedTheirKey()
{
    QFETCH(QString, button);
    QFETCH(QStringList, script);
    QTemporaryDir dir;
    const QString cert = makeCertificate(dir.path());
    QVERIFY(!cert.isEmpty());
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")), true, true);
    f.fakes.answer(kYkman, kInfoWithout9a, 0, {}, 1);
    const int callsBefore = button == QLatin1String("Hardening Wizard...") && script.size() > 2 ? 1 : 0;

    const QString last = script.takeLast();
    for (const QString& step : script)
        f.driver.answerInOrder({step == QLatin1String("<certificate>") ? "<file:" + cert + ">" : step});
    f.driver.enqueue([&](QWidget* w) {
        f.pullKey();
        auto* input = qobject_cast<QInputDialog*>(w);
        QVERIFY(input);
        input->setTextValue(last);
        input->accept();
    });
    f.press(button, {});

    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(logLines(*f.dialog).last(), kChanged);
    // Only what came before the key went: the slot list, or the PIN change.
    QStringList calls = ykmanCalls(f.fakes);
    calls.removeAll(QStringLiteral("piv info"));
    QCOMPARE(calls.size(), callsBefore);
    QCOMPARE(f.fakes.callCount(kPkcs11Tool), 0);
}

void DeviceConfigDialogTest::attestationBundle_data()
{
    QTest::addColumn<int>("attestExit");
    QTest::addColumn<int>("intermediateExit");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<bool>("saved");

    QTest::addColumn<QString>("blocked"); // a folder in the way of this file
    QTest::newRow("with intermediate") << 0 << 0 << QStringList{"attestation.txt", "intermediate.txt"} << true
                                       << "";
    QTest::newRow("without intermediate") << 0 << 1 << QStringList{"attestation.txt"} << true << "";
    QTest::newRow("empty slot") << 1 << 0 << QStringList() << false << "";
    QTest::newRow("intermediate cannot be written")
        << 0 << 0 << QStringList{"attestation.txt"} << false << "intermediate.txt";
}

void DeviceConfigDialogTest::attestationBundle()
{
    QFETCH(int, attestExit);
    QFETCH(int, intermediateExit);
    QFETCH(QStringList, files);
    QFETCH(bool, saved);
    QFETCH(QString, blocked);
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")));
    if (attestExit)
        f.fakes.answer(kYkman, {}, attestExit, "Error: No certificate found.\n", 1);
    if (intermediateExit)
        f.fakes.answer(kYkman, {}, intermediateExit, "Error: No certificate found.\n", 2);
    QTemporaryDir out;
    if (!blocked.isEmpty())
        QVERIFY(QDir(out.path()).mkdir(blocked));

    f.press("Export Attestation Bundle...",
            attestExit ? QStringList() : QStringList{"<file:" + out.path() + ">"});

    QCOMPARE(f.driver.pending(), 0);
    const QString first = QStringLiteral("Exporting attestation from slot 9A...");
    QStringList lines = logLines(*f.dialog);
    if (saved) {
        QCOMPARE(lines, (QStringList{first, "Bundle saved to: " + out.path()}));
    } else if (attestExit) {
        QCOMPARE(lines, (QStringList{first, "FAILED — slot 9A empty?"}));
    } else {
        // The failure names the file; nothing claims the bundle was saved.
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines.at(1).startsWith("FAILED to write " + out.path() + "/" + blocked + ": "),
                 qPrintable(lines.at(1)));
    }
    QCOMPARE(QDir(out.path()).entryList(QDir::Files, QDir::Name), files);
    for (const QString& file : files)
        QVERIFY(readFile(out.path() + "/" + file).startsWith("-----BEGIN CERTIFICATE-----"));
}


void DeviceConfigDialogTest::importThroughYkmanVerifies_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("logged");
    QTest::newRow("matching key") << 0 << "Certificate imported to slot 9A.";
    QTest::newRow("other key") << 1 << "Import FAILED — key mismatch?";
}

void DeviceConfigDialogTest::importThroughYkmanVerifies()
{
    QFETCH(int, exitCode);
    QFETCH(QString, logged);
    QTemporaryDir dir;
    const QString cert = makeCertificate(dir.path());
    QVERIFY(!cert.isEmpty());
    // Both tools present: a ykman entry imports through ykman.
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")), true, true);
    if (exitCode)
        f.fakes.answer(kYkman, {}, exitCode, "Error: This certificate is not tied to the private key in slot 9A.\n");

    f.press("Import Certificate to 9A...", {"<file:" + cert + ">", kPivPin});

    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(logLines(*f.dialog), QStringList{logged});
    QCOMPARE(f.fakes.arguments(kYkman),
             (QStringList{"piv", "certificates", "import", "--pin", kPivPin, "--verify", "9a", cert}));
    QCOMPARE(f.fakes.callCount(kPkcs11Tool), 0);
}

void DeviceConfigDialogTest::importThroughPkcs11LandsOnToken_data()
{
    QTest::addColumn<DeviceProfile>("entry");
    QTest::addColumn<bool>("withYkman");
    QTest::newRow("opensc entry, both tools") << entryNamed(QStringLiteral("Hirsch uTrust FIDO2 Gov")) << true;
    QTest::newRow("ykman entry, PKCS#11 tool only") << entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")) << false;
}

void DeviceConfigDialogTest::importThroughPkcs11LandsOnToken()
{
    QFETCH(DeviceProfile, entry);
    QFETCH(bool, withYkman);
    SoftHsmToken token;
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    const QString cert = makeCertificate(token.dirPath());
    QVERIFY(!cert.isEmpty());
    PivFixture f(entry, withYkman, true);

    f.press("Import Certificate to 9A...", {"<file:" + cert + ">", token.userPin()});

    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(logLines(*f.dialog), QStringList{"Certificate imported via pkcs11-tool."});
    QCOMPARE(f.fakes.callCount(kYkman), 0);
    const auto listed = token.runPkcs11Tool({"--list-objects", "--type", "cert"}, true);
    QVERIFY2(listed.succeeded(), listed.stdErr.constData());
    const QString objects = QString::fromUtf8(listed.stdOut);
    QVERIFY2(objects.contains(QLatin1String("ID:         01")), qPrintable(objects));
    QVERIFY2(objects.contains(QLatin1String("CN=Import")) || objects.contains(QLatin1String("CN = Import")),
             qPrintable(objects));
}

void DeviceConfigDialogTest::pivReset_data()
{
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<int>("resets");

    QTest::newRow("answered No") << QStringList{"<no>"} << 0 << QStringList() << 0;
    QTest::newRow("lower case") << QStringList{"<yes>", "reset-piv"} << 0 << QStringList{"Cancelled."} << 0;
    QTest::newRow("trailing blank") << QStringList{"<yes>", "RESET-PIV "} << 0 << QStringList{"Cancelled."} << 0;
    QTest::newRow("word cancelled") << QStringList{"<yes>", "<cancel>"} << 0 << QStringList{"Cancelled."} << 0;
    QTest::newRow("confirmed") << QStringList{"<yes>", "RESET-PIV"} << 0
                               << QStringList{"PIV reset complete. PIN=583920, PUK=96130472."} << 1;
    QTest::newRow("tool fails") << QStringList{"<yes>", "RESET-PIV"} << 1 << QStringList{"PIV reset FAILED."} << 1;
}

void DeviceConfigDialogTest::pivReset()
{
    QFETCH(QStringList, script);
    QFETCH(int, exitCode);
    QFETCH(QStringList, log);
    QFETCH(int, resets);
    PivFixture f(entryNamed(QStringLiteral("YubiKey 5Ci (5.4.x)")));
    if (exitCode)
        f.fakes.answer(kYkman, {}, exitCode, "Error: Reset failed.\n");

    f.press("Reset PIV Applet...", script);

    QCOMPARE(f.driver.pending(), 0);
    QCOMPARE(f.driver.texts.first(), QStringLiteral("PERMANENTLY ERASE all PIV keys, certs on YubiKey 5Ci?\n"
                                                    "PIN/PUK reset to factory defaults.\nCANNOT be undone."));
    QCOMPARE(logLines(*f.dialog), log);
    QCOMPARE(f.fakes.callCount(kYkman), resets);
    if (resets)
        QCOMPARE(f.fakes.arguments(kYkman), (QStringList{"piv", "reset", "--force"}));
}

OT_TEST_MAIN(DeviceConfigDialogTest)
#include "tst_deviceconfigdialog.moc"
