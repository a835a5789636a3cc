// The Code Signing page: macOS signing, verification and notarization against
// stand-ins for the macOS tools; Windows PE signing with the real osslsigncode,
// with a key file and with a key on a SoftHSM2 token; chains built from a
// throwaway CA whose issuer certificate is served on loopback; stored
// signing profiles.
#include "app/MainWindow.h"
#include "ui/widgets/PageFill.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "signing/SigningDefaults.h"
#include "signing/SigningManager.h"
#include "signing/SigningProfileManager.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "FileSizeLimit.h"
#include "LoopbackHttpServer.h"
#include "MinimalPe.h"
#include "ModalDriver.h"
#include "RealOsslsigncode.h"
#include "SoftHsmToken.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WindowPages.h"
#include "TestPki.h"
#include "TokenSigningKey.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

namespace {

const QString kIdentity = QStringLiteral("Developer ID Application: Holder (TEAM123)");
const QString kOtherIdentity = QStringLiteral("Apple Development: Holder (DEV456)");
const QString kNoProfile = QStringLiteral("(none \u2014 manual config)");

QByteArray identityListing(const QStringList& names)
{
    QByteArray out;
    int n = 0;
    for (const QString& name : names) {
        ++n;
        out += "  " + QByteArray::number(n) + ") 0123456789ABCDEF0123456789ABCDEF0123456" + QByteArray::number(n)
               + " \"" + name.toUtf8() + "\"\n";
    }
    return out + "     " + QByteArray::number(n) + " valid identities found\n";
}

QStringList folderEntries(const QString& path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                QDir::Name);
}

// A file system in miniature for the PKCS#11 module search: OpenSSL's legacy
// provider under the provider's name (Debian packages no PKCS#11 provider, and
// the configuration check only needs a provider that loads under that
// section), and SoftHSM2 under the OpenSC module's name.
struct ModuleRoot
{
    QTemporaryDir dir;
    QString provider = dir.path() + QStringLiteral("/opt/homebrew/lib/ossl-modules/pkcs11prov.dylib");
    QString module = dir.path() + QStringLiteral("/usr/lib/opensc-pkcs11.so");

    bool populate()
    {
        return QDir().mkpath(QFileInfo(provider).path()) && QFile::link(QStringLiteral("/usr/lib/x86_64-linux-gnu/ossl-modules/legacy.so"), provider)
               && populateModuleOnly();
    }
    // As on Debian: the OpenSC module and no OpenSSL provider.
    bool populateModuleOnly()
    {
        return QDir().mkpath(QFileInfo(module).path()) && QFile::link(SoftHsmToken::modulePath(), module);
    }
};

// The URI Auto-Detect fills in for the test token's signing key.
QString detectedUri(const SoftHsmToken& token)
{
    return QStringLiteral("pkcs11:model=SoftHSM%20v2;manufacturer=SoftHSM%20project;serial=") + token.serial()
           + QStringLiteral(";token=Test%20Token;id=%01;type=private");
}

// A main window with the macOS tools played by stand-ins, and what its Code
// Signing page shows.
class Page
{
public:
    explicit Page(const QStringList& identities = {})
    {
        for (const char* tool : {"security", "codesign", "productsign", "xcrun"})
            fakes.install(QLatin1String(tool), QStringLiteral("macos-tool"));
        if (!identities.isEmpty())
            fakes.answer(QStringLiteral("security"), identityListing(identities));
    }

    // Builds the window; stand-ins and tokens a test needs come first, since
    // the window looks its tools up once.
    MainWindow& open()
    {
        window = std::make_unique<MainWindow>();
        window->page(MainWindow::CodeSigningPage);
        // No test reaches a real time-stamping server.
        edit("timestampEdit")->clear();
        // The identities are listed in the background when the page is first shown.
        window->findChild<QTabWidget*>()->setCurrentIndex(MainWindow::CodeSigningPage);
        window->show();
        auto* status = page()->findChild<QLabel*>(QStringLiteral("identityStatus"));
        if (!QTest::qWaitFor([this] { return fakes.callCount(QStringLiteral("security")) > 0; }, 30000)
            || !QTest::qWaitFor([status] { return status->text() != QString::fromUtf8("Loading\u2026"); }, 30000))
            qWarning("the identities were not listed");
        return *window;
    }
    // The same, with module detection searching below root only.
    MainWindow& open(const ModuleRoot& root)
    {
        MainWindow& opened = open();
        opened.pkcs11SearchRoot = root.dir.path();
        return opened;
    }

    QWidget* page() const { return window->findChild<QTabWidget*>()->widget(MainWindow::CodeSigningPage); }
    QLineEdit* edit(const char* name) const { return page()->findChild<QLineEdit*>(QLatin1String(name)); }
    QComboBox* combo(const char* name) const { return page()->findChild<QComboBox*>(QLatin1String(name)); }
    // Other pages have buttons of the same name ("Delete", "Refresh").
    QPushButton* button(const QString& text) const { return findButton(page(), text); }
    void click(const QString& text) { clickButton(page(), text); }

    QStringList log() const
    {
        const QString text = page()->findChild<QTextEdit*>(QStringLiteral("signingLogView"))->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    // The session log's lines after the first, as "status|operation|device|detail".
    QStringList audit() const
    {
        const auto* view = sessionLogView(*window);
        QStringList lines;
        if (!view)
            return lines;
        const QStringList all = view->toPlainText().split(QLatin1Char('\n'));
        for (const QString& line : all.mid(1)) {
            QStringList fields = line.mid(line.indexOf(QStringLiteral("] ")) + 2).split(QLatin1Char('|'));
            for (QString& field : fields)
                field = field.trimmed();
            lines << fields.join(QLatin1Char('|'));
        }
        return lines;
    }
    QString allText() const
    {
        QString text = log().join(QLatin1Char('\n'));
        if (const auto* view = sessionLogView(*window))
            text += view->toPlainText();
        return text;
    }

    FakeTools fakes;
    ModalDriver driver;
    std::unique_ptr<MainWindow> window;
};

} // namespace

class CodeSigningPageTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void layoutAndContents();
    void hungKeychainIsToldNotWaitedFor();
    void signWithoutIdentityWarnsAndShowsThePage();
    void signAndVerify_data();
    void signAndVerify();
    void notarize_data();
    void notarize();
    void autoDetectWithoutModulesOrToken_data();
    void autoDetectWithoutModulesOrToken();
    void signPeWritesSignedCopyAndAsksBeforeReplacing();
    void signPeFailureLeavesOutputAlone();
    void signPeCutOutputKeepsEarlierSignedFile();
    void signPeWithTokenKey();
    void autoDetectWithModuleOnlyThenSign();
    void signPeChecksTheTypedUri_data();
    void signPeChecksTheTypedUri();
    void buildChain_data();
    void buildChain();
    void chainNotBuilt_data();
    void chainNotBuilt();
    void profileSaveAndLoad();
    void profileDelete();
    void profileSaveThatCannotBeWrittenIsReported();
    void profileNeverStoresAPin_data();
    void profileNeverStoresAPin();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<TestPki> pki;
    std::unique_ptr<QTemporaryDir> work;
    QString unsignedPe;
};

void CodeSigningPageTest::initTestCase()
{
    QVERIFY2(!realOsslsigncode().isEmpty(), "osslsigncode is not installed");
    pki = std::make_unique<TestPki>();
    QVERIFY2(pki->isValid(), qPrintable(pki->errorString()));
}

void CodeSigningPageTest::init()
{
    home = std::make_unique<TestHome>();
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    unsignedPe = work->filePath(QStringLiteral("app.exe"));
    QVERIFY(MinimalPe::write(unsignedPe));
}

void CodeSigningPageTest::cleanup()
{
    work.reset();
    home.reset();
}

void CodeSigningPageTest::layoutAndContents()
{
    SigningProfile first;
    first.name = QStringLiteral("Release");
    first.platform = QStringLiteral("macos");
    SigningProfile second = first;
    second.name = QStringLiteral("Nightly");
    SigningProfileManager::save(first);
    SigningProfileManager::save(second);
    Page p({kIdentity, kOtherIdentity});
    MainWindow& window = p.open();

    auto* title = p.page()->findChild<QLabel*>(QStringLiteral("sectionTitle"));
    QCOMPARE(title->text(), QStringLiteral("Code Signing & Notarization"));
    QStringList groups;
    for (const QGroupBox* group : p.page()->findChildren<QGroupBox*>())
        groups << group->title();
    QCOMPARE(groups, (QStringList{"macOS Signing (codesign)", "Windows PE Signing (osslsigncode)",
                                  "Certificate Chain Builder"}));
    for (const char* text : {"Save Profile", "Delete", "Sign .app / Binary...", "Verify", "Notarize...",
                             "Auto-Detect PKCS11...", "Sign .exe / .dll / .msi...",
                             "Build Full Chain from Leaf..."})
        QVERIFY2(p.button(QLatin1String(text)), text);
    QCOMPARE(p.edit("notarizeProfileEdit")->placeholderText(), QStringLiteral("Ostrevan-Notarize"));
    QCOMPARE(p.edit("certChainEdit")->placeholderText(), QStringLiteral("fullchain.pem"));
    QCOMPARE(p.edit("pkcs11UriEdit")->placeholderText(), QStringLiteral("pkcs11:model=...;type=private"));
    auto* log = p.page()->findChild<QTextEdit*>(QStringLiteral("signingLogView"));
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->placeholderText(), QStringLiteral("Signing operations will appear here..."));

    // Stored profiles in stored order, after the manual entry; identities
    // in the keychain tool's order, the first selected.
    QComboBox* profiles = p.combo("profileCombo");
    QCOMPARE(profiles->count(), 3);
    QCOMPARE(profiles->itemText(0), kNoProfile);
    QCOMPARE(profiles->itemText(1), QStringLiteral("Release"));
    QCOMPARE(profiles->itemText(2), QStringLiteral("Nightly"));
    QCOMPARE(profiles->currentIndex(), 0);
    QComboBox* identities = p.combo("identityCombo");
    QCOMPARE(identities->count(), 2);
    QCOMPARE(identities->currentText(), kIdentity);
    QCOMPARE(identities->itemText(1), kOtherIdentity);

    // The default time-stamping server is text, not a hint, and the same one
    // the preferences offer.
    MainWindow fresh;
    auto* timestamp = fresh.page(MainWindow::CodeSigningPage)->findChild<QLineEdit*>(QStringLiteral("timestampEdit"));
    QCOMPARE(timestamp->text(), SigningDefaults::timestampUrl());
    QVERIFY(timestamp->text().startsWith(QStringLiteral("https://")));

    // OT_PAGE_SHOT=/tmp/page.png keeps a picture of the page for a look.
    const QString shot = qEnvironmentVariable("OT_PAGE_SHOT");
    if (!shot.isEmpty()) {
        window.findChild<QTabWidget*>()->setCurrentIndex(MainWindow::CodeSigningPage);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(p.page()->grab().save(shot));
    }
}

// The identities are listed in the background: a keychain tool that hangs
// holds neither the window nor the page, and its time-out is told on the page
// and in its log.
void CodeSigningPageTest::hungKeychainIsToldNotWaitedFor()
{
    Page p;
    p.fakes.setHook(QStringLiteral("security"), QStringLiteral("exec sleep 600"));
    // Not a first start: nothing but the listing runs once the window is up.
    QVERIFY(profileStored());
    p.window = std::make_unique<MainWindow>();
    p.window->findChild<SigningManager*>()->setWaitMs(1500);
    p.window->findChild<QTabWidget*>()->setCurrentIndex(MainWindow::CodeSigningPage);
    p.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(p.window.get()));
    Heartbeat heartbeat;
    auto* status = p.page()->findChild<QLabel*>(QStringLiteral("identityStatus"));
    QTRY_COMPARE(status->text(), QString::fromUtf8("Loading\u2026"));
    const QString told = QStringLiteral("Keychain identities could not be listed: timed out after 1500 ms");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), told, 20000);
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QVERIFY(status->isVisible());
    QCOMPARE(p.log(), QStringList{told});
    QCOMPARE(p.combo("identityCombo")->count(), 0);
}

void CodeSigningPageTest::signWithoutIdentityWarnsAndShowsThePage()
{
    Page p;
    MainWindow& window = p.open();
    QCOMPARE(p.combo("identityCombo")->count(), 0);
    QCOMPARE(p.combo("identityCombo")->placeholderText(), QStringLiteral("Developer ID Application: ..."));
    auto* tabs = window.findChild<QTabWidget*>();
    tabs->setCurrentIndex(MainWindow::DeviceInspectorPage);
    const QStringList auditBefore = p.audit();

    p.driver.chooseFile(unsignedPe);
    p.driver.pressButton(QMessageBox::Ok);
    window.onSignFile();

    QCOMPARE(p.driver.titles, (QStringList{"Select File to Sign", "Sign File"}));
    QCOMPARE(p.driver.texts.last(), QStringLiteral("No signing identity selected. Configure in Code Signing tab."));
    QCOMPARE(tabs->currentIndex(), int(MainWindow::CodeSigningPage));
    QCOMPARE(p.fakes.callCount(QStringLiteral("codesign")), 0);
    QCOMPARE(p.log(), QStringList());
    QCOMPARE(p.audit(), auditBefore);

    // A cancelled file choice ends it before anything is asked.
    tabs->setCurrentIndex(MainWindow::DeviceInspectorPage);
    p.driver.reject();
    window.onSignFile();
    QCOMPARE(p.driver.titles.size(), 3);
    QCOMPARE(tabs->currentIndex(), int(MainWindow::DeviceInspectorPage));
}

void CodeSigningPageTest::signAndVerify_data()
{
    QTest::addColumn<int>("exitCode");
    QTest::newRow("tools succeed") << 0;
    QTest::newRow("tools fail") << 1;
}

void CodeSigningPageTest::signAndVerify()
{
    QFETCH(int, exitCode);
    const bool ok = exitCode == 0;
    Page p({kIdentity});
    MainWindow& window = p.open();
    // A plain binary: the file dialog here opens a bundle folder instead of choosing it.
    const QString app = work->filePath(QStringLiteral("tool"));
    QVERIFY(writeFile(app, "\xcf\xfa\xed\xfe"));
    p.fakes.answer(QStringLiteral("codesign"), "Executable=" + app.toUtf8() + "\nAuthority=" + kIdentity.toUtf8() + "\n",
                   exitCode);

    p.driver.chooseFile(app);
    p.click(QStringLiteral("Sign .app / Binary..."));

    QCOMPARE(p.fakes.arguments(QStringLiteral("codesign")),
             (QStringList{"--force", "--deep", "--sign", kIdentity, "--options", "runtime", "--timestamp", app}));
    QCOMPARE(p.log(), (QStringList{"Signing: " + app, "Identity: " + kIdentity,
                                   ok ? "Signed successfully." : "Signing FAILED."}));
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text(),
             ok ? QStringLiteral("Signed: ") + app : QStringLiteral("Signing failed"));

    p.driver.chooseFile(app);
    p.click(QStringLiteral("Verify"));
    QCOMPARE(p.driver.titles, (QStringList{"Select File to Sign", "Select File to Verify"}));
    QCOMPARE(p.fakes.arguments(QStringLiteral("codesign"), 2), (QStringList{"-dvvv", app}));
    QCOMPARE(p.fakes.arguments(QStringLiteral("codesign"), 3),
             (QStringList{"--verify", "--deep", "--strict", "--verbose=2", app}));
    // The tool's answer a line each.
    QCOMPARE(p.log().mid(3), (QStringList{"Verifying: " + app, "Executable=" + app, "Authority=" + kIdentity,
                                          ok ? "Signature VALID." : "Signature INVALID or not signed."}));
    const QString status = ok ? QStringLiteral("OK") : QStringLiteral("FAIL");
    QCOMPARE(p.audit(), (QStringList{status + "|Code Sign|" + kIdentity + "|" + app,
                                     status + "|Verify Signature|N/A|" + app}));
}

void CodeSigningPageTest::notarize_data()
{
    QTest::addColumn<QString>("profileField");
    QTest::addColumn<int>("notarizeExit");
    QTest::addColumn<int>("stapleExit");
    QTest::addColumn<QString>("profile");
    QTest::addColumn<QStringList>("outcome");

    QTest::newRow("empty profile field, stapled")
        << QString() << 0 << 0 << "Ostrevan-Notarize"
        << QStringList{"Notarization submitted. Waiting for Apple...", "Stapled successfully."};
    QTest::newRow("own profile, staple fails")
        << "Team Profile" << 0 << 65 << "Team Profile"
        << QStringList{"Notarization submitted. Waiting for Apple..."};
    QTest::newRow("rejected") << QString() << 1 << 0 << "Ostrevan-Notarize"
                              << QStringList{"Notarization FAILED."};
}

void CodeSigningPageTest::notarize()
{
    QFETCH(QString, profileField);
    QFETCH(int, notarizeExit);
    QFETCH(int, stapleExit);
    QFETCH(QString, profile);
    QFETCH(QStringList, outcome);
    Page p;
    p.open();
    p.edit("notarizeProfileEdit")->setText(profileField);
    const QString pkg = work->filePath(QStringLiteral("Tool.pkg"));
    QVERIFY(writeFile(pkg, "xar!"));
    p.fakes.answer(QStringLiteral("xcrun"), "id: 0f3c\n  status: Accepted\n", notarizeExit, {}, 1);
    p.fakes.answer(QStringLiteral("xcrun"), "", stapleExit, {}, 2);

    p.driver.chooseFile(pkg);
    p.click(QStringLiteral("Notarize..."));

    QCOMPARE(p.driver.titles, QStringList{"Select File to Notarize"});
    QCOMPARE(p.fakes.arguments(QStringLiteral("xcrun"), 1),
             (QStringList{"notarytool", "submit", pkg, "--keychain-profile", profile, "--wait"}));
    // Stapling only follows an accepted submission.
    QCOMPARE(p.fakes.callCount(QStringLiteral("xcrun")), notarizeExit == 0 ? 2 : 1);
    QCOMPARE(p.log(), QStringList({"Notarizing: " + pkg, "Profile: " + profile}) + outcome);
    QCOMPARE(p.audit(), QStringList{(notarizeExit == 0 ? "OK" : "FAIL") + QStringLiteral("|Notarize|Apple|") + pkg});
}

void CodeSigningPageTest::autoDetectWithoutModulesOrToken_data()
{
    QTest::addColumn<bool>("modules");
    QTest::newRow("modules missing") << false;
    QTest::newRow("modules present, no token") << true;
}

void CodeSigningPageTest::autoDetectWithoutModulesOrToken()
{
    QFETCH(bool, modules);
    Page p;
    // pkcs11-tool lists no token slot.
    p.fakes.install(QStringLiteral("pkcs11-tool"));
    ModuleRoot root;
    if (modules)
        QVERIFY(root.populate());
    p.open(root);
    p.edit("pkcs11UriEdit")->setText(QStringLiteral("pkcs11:token=Mine;type=private"));

    p.click(QStringLiteral("Auto-Detect PKCS11..."));

    const QString conf = UserProfile::configDir() + QStringLiteral("/openssl-pkcs11.cnf");
    QCOMPARE(p.edit("pkcs11UriEdit")->text(), QStringLiteral("pkcs11:token=Mine;type=private"));
    if (!modules) {
        QCOMPARE(p.log(), QStringList{"PKCS11 detection incomplete. Install libp11 + opensc."});
        QCOMPARE(p.audit(), QStringList{"FAIL|PKCS11 Detect|System|Missing dependencies"});
        QCOMPARE(p.fakes.callCount(QStringLiteral("pkcs11-tool")), 0);
        QVERIFY(!QFile::exists(conf));
        return;
    }
    QCOMPARE(p.log(), (QStringList{"PKCS11 provider: " + root.provider, "PKCS11 module: " + root.module,
                                   "No token found.", "Config: " + conf, "Provider verified."}));
    // The token tool's run line comes first, from the window's own logging.
    QCOMPARE(p.audit().filter(QStringLiteral("PKCS11 Detect")),
             QStringList{"OK|PKCS11 Detect|System|Paths configured"});
    QCOMPARE(p.fakes.arguments(QStringLiteral("pkcs11-tool")), QStringList{"--list-token-slots"});
    QVERIFY(PrivateFiles::isOwnerOnly(conf));
    QVERIFY(readFile(conf).contains("pkcs11-module-path = " + QFile::encodeName(root.module) + "\n"));
}

void CodeSigningPageTest::signPeWritesSignedCopyAndAsksBeforeReplacing()
{
    Page p;
    p.open();
    p.edit("certChainEdit")->setText(pki->chainPath());
    p.edit("pkcs11UriEdit")->setText(pki->leaf().keyPath);
    const QString out = unsignedPe + QStringLiteral(".signed");

    p.driver.chooseFile(unsignedPe);
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));

    QCOMPARE(p.driver.titles, QStringList{"Select Windows Binary"});
    QVERIFY2(p.log().contains(QStringLiteral("Windows PE signed: ") + out), qPrintable(p.allText()));
    // The log names the file the user gets, not where the tool wrote it first.
    QVERIFY(p.log().contains(QStringLiteral("Output:  ") + out));
    QCOMPARE(p.log().last(), QStringLiteral("Windows PE signed: ") + out);
    QCOMPARE(p.audit(), QStringList{"OK|Sign PE|osslsigncode|" + unsignedPe});
    ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());
    QCOMPARE(readFile(unsignedPe), MinimalPe::image());
    QCOMPARE(folderEntries(work->path()), (QStringList{"app.exe", "app.exe.signed"}));

    // Signing again asks first, No by default; No leaves the first copy.
    const QByteArray first = readFile(out);
    const int logSize = int(p.log().size());
    bool defaultIsNo = false;
    p.driver.chooseFile(unsignedPe);
    p.driver.enqueue([&defaultIsNo](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
        box->button(QMessageBox::No)->click();
    });
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));
    QCOMPARE(p.driver.titles.mid(1), (QStringList{"Select Windows Binary", "Sign PE"}));
    QCOMPARE(p.driver.texts.last(), QStringLiteral("Replace existing signed file?"));
    QVERIFY(defaultIsNo);
    QCOMPARE(readFile(out), first);
    QCOMPARE(p.log().size(), logSize);
    QCOMPARE(p.audit().size(), 1);

    // Yes replaces it with a fresh signature.
    QVERIFY(writeFile(out, "stale output"));
    p.driver.chooseFile(unsignedPe);
    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));
    QCOMPARE(p.log().last(), QStringLiteral("Windows PE signed: ") + out);
    verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());
    QCOMPARE(folderEntries(work->path()), (QStringList{"app.exe", "app.exe.signed"}));
}

void CodeSigningPageTest::signPeFailureLeavesOutputAlone()
{
    Page p;
    p.open();
    p.edit("certChainEdit")->setText(pki->chainPath());
    const QString missingKey = work->filePath(QStringLiteral("missing.key"));
    p.edit("pkcs11UriEdit")->setText(missingKey);
    const QString out = unsignedPe + QStringLiteral(".signed");
    QVERIFY(writeFile(out, "earlier output"));

    p.driver.chooseFile(unsignedPe);
    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));

    const QStringList log = p.log();
    QVERIFY(log.contains(QStringLiteral("Key:     ") + missingKey));
    QVERIFY(!log.filter(QStringLiteral("Signing FAILED: ")).isEmpty());
    QCOMPARE(log.last(), QStringLiteral("Windows PE signing FAILED."));
    QCOMPARE(p.audit(), QStringList{"FAIL|Sign PE|osslsigncode|" + unsignedPe});
    QCOMPARE(readFile(out), QByteArray("earlier output"));
    QCOMPARE(folderEntries(work->path()), (QStringList{"app.exe", "app.exe.signed"}));
}

void CodeSigningPageTest::signPeCutOutputKeepsEarlierSignedFile()
{
    // osslsigncode on a full disk exits 0 and leaves a cut file.
    Page p;
    p.fakes.install(QStringLiteral("osslsigncode"));
    p.fakes.setHook(QStringLiteral("osslsigncode"), QStringLiteral("head -c 10 /dev/zero > \"${@: -1}\""));
    p.open();
    p.edit("certChainEdit")->setText(pki->chainPath());
    p.edit("pkcs11UriEdit")->setText(pki->leaf().keyPath);
    const QString out = unsignedPe + QStringLiteral(".signed");
    QVERIFY(writeFile(out, "an earlier good signed file"));

    p.driver.chooseFile(unsignedPe);
    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));

    QCOMPARE(p.log().mid(p.log().size() - 2),
             (QStringList{"Signing FAILED: output missing or cut", "Windows PE signing FAILED."}));
    QCOMPARE(p.audit(), QStringList{"FAIL|Sign PE|osslsigncode|" + unsignedPe});
    QCOMPARE(readFile(out), QByteArray("an earlier good signed file"));
    QCOMPARE(folderEntries(work->path()), (QStringList{"app.exe", "app.exe.signed"}));
}

void CodeSigningPageTest::signPeWithTokenKey()
{
    SoftHsmToken token;
    const QString chain = work->filePath(QStringLiteral("token-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("page-token-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));
    ModuleRoot root;
    QVERIFY(root.populate());

    Page p;
    p.fakes.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
    p.open(root);

    p.click(QStringLiteral("Auto-Detect PKCS11..."));
    const QString uri = p.edit("pkcs11UriEdit")->text();
    QCOMPARE(uri, detectedUri(token));
    QVERIFY(p.log().contains(QStringLiteral("PKCS11 URI: ") + uri));
    QVERIFY(p.log().contains(QStringLiteral("Provider verified.")));

    p.edit("certChainEdit")->setText(chain);
    p.driver.chooseFile(unsignedPe);
    p.driver.typeText(token.userPin());
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));

    QCOMPARE(p.driver.titles, (QStringList{"Select Windows Binary", "Sign PE"}));
    const QString out = unsignedPe + QStringLiteral(".signed");
    QVERIFY2(p.log().last() == QStringLiteral("Windows PE signed: ") + out, qPrintable(p.allText()));
    QCOMPARE(p.audit().last(), QStringLiteral("OK|Sign PE|osslsigncode|") + unsignedPe);
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());
    QVERIFY(!p.allText().contains(token.userPin()));

    // A cancelled PIN prompt signs nothing.
    QVERIFY(QFile::remove(out));
    p.driver.chooseFile(unsignedPe);
    p.driver.cancelInput();
    const int logSize = int(p.log().size());
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));
    QCOMPARE(p.driver.titles.size(), 4);
    QCOMPARE(p.log().size(), logSize);
    QVERIFY(!QFile::exists(out));
}

void CodeSigningPageTest::buildChain_data()
{
    QTest::addColumn<QString>("leafName");
    QTest::addColumn<QString>("chainName");
    QTest::addColumn<bool>("der");
    // Only the last suffix goes.
    QTest::newRow("dotted leaf name, PEM issuer") << "certs/my.leaf.pem" << "certs/my.leaf-fullchain.pem" << false;
    // A dot in the folder does not count as the leaf's suffix.
    QTest::newRow("dotless leaf in a dotted folder, DER issuer")
        << "issuers.d/leaf" << "issuers.d/leaf-fullchain.pem" << true;
}

void CodeSigningPageTest::buildChain()
{
    QFETCH(QString, leafName);
    QFETCH(QString, chainName);
    QFETCH(bool, der);
    LoopbackHttpServer issuer;
    QVERIFY(issuer.listen());
    const QString derPath = work->filePath(QStringLiteral("intermediate.der"));
    QVERIFY(pki->toDer(pki->intermediate().certPath, derPath));
    issuer.route("GET", QStringLiteral("/ca.crt"), 200,
                 der ? readFile(derPath) : readFile(pki->intermediate().certPath));
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Chained Signer/O=Ostrevan Test");
    spec.extensions = TestPki::codeSigningExtensions + QStringLiteral("authorityInfoAccess = caIssuers;URI:")
                      + issuer.url(QStringLiteral("/ca.crt")) + QLatin1Char('\n');
    const TestPki::Issued issued = pki->issue(QStringLiteral("aia-leaf"), spec, pki->intermediate());
    QVERIFY2(!issued.isNull(), qPrintable(pki->errorString()));
    const QString leaf = work->filePath(leafName);
    QVERIFY(writeFile(leaf, readFile(issued.certPath)));
    const QString out = work->filePath(chainName);

    Page p;
    p.open();
    p.driver.chooseFile(leaf);
    p.click(QStringLiteral("Build Full Chain from Leaf..."));

    QCOMPARE(p.driver.titles, QStringList{"Select Leaf Certificate"});
    QCOMPARE(issuer.requestCount(), 1);
    QVERIFY2(QFile::exists(leaf + QStringLiteral(".intermediate.pem")), qPrintable(p.allText()));
    QCOMPARE(readFile(out), readFile(leaf) + "\n" + readFile(leaf + QStringLiteral(".intermediate.pem")));
    QVERIFY(readFile(out).contains(readFile(pki->intermediate().certPath).trimmed()));
    QCOMPARE(p.edit("certChainEdit")->text(), out);
    QCOMPARE(p.log().last(), QStringLiteral("Full chain ready: ") + out);
    QCOMPARE(p.audit(), QStringList{"OK|Chain Build|OpenSSL|" + out});
    QCOMPARE(folderEntries(QFileInfo(leaf).path()).size(), 3);
    const ToolRunner::Result verified = pki->openssl(
        {QStringLiteral("verify"), QStringLiteral("-CAfile"), pki->root().certPath, QStringLiteral("-untrusted"), out, out});
    QVERIFY2(verified.succeeded(), verified.stdOut.constData());
}

void CodeSigningPageTest::chainNotBuilt_data()
{
    QTest::addColumn<QString>("issuerAnswer");   // none: the leaf names no issuer
    QTest::addColumn<QStringList>("lastLines");
    QTest::newRow("no AIA") << "none"
                            << QStringList{"No AIA CA Issuers extension found in certificate.",
                                           "No AIA URL found. Provide intermediate manually."};
    // An intermediate left over from an earlier run is not used.
    QTest::newRow("download fails") << "404" << QStringList{};
    QTest::newRow("the issuer address serves the leaf itself") << "leaf" << QStringList{};
    QTest::newRow("the issuer address serves an unrelated CA") << "unrelated" << QStringList{};
}

void CodeSigningPageTest::chainNotBuilt()
{
    QFETCH(QString, issuerAnswer);
    QFETCH(QStringList, lastLines);
    LoopbackHttpServer issuer;
    QVERIFY(issuer.listen());
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Unchained Signer/O=Ostrevan Test");
    spec.extensions = TestPki::codeSigningExtensions;
    if (issuerAnswer != QLatin1String("none"))
        spec.extensions += QStringLiteral("authorityInfoAccess = caIssuers;URI:") + issuer.url(QStringLiteral("/ca.crt"))
                           + QLatin1Char('\n');
    const TestPki::Issued issued = pki->issue(QStringLiteral("unchained-") + issuerAnswer, spec, pki->intermediate());
    QVERIFY2(!issued.isNull(), qPrintable(pki->errorString()));
    if (issuerAnswer == QLatin1String("404")) {
        issuer.route("GET", QStringLiteral("/ca.crt"), 404, "gone");
    } else if (issuerAnswer == QLatin1String("leaf")) {
        issuer.route("GET", QStringLiteral("/ca.crt"), 200, readFile(issued.certPath));
    } else if (issuerAnswer == QLatin1String("unrelated")) {
        TestPki::Spec ca;
        ca.subject = QStringLiteral("/CN=Unrelated CA");
        ca.extensions = TestPki::intermediateExtensions;
        const TestPki::Issued unrelated = pki->issue(QStringLiteral("page-unrelated-ca"), ca);
        QVERIFY2(!unrelated.isNull(), qPrintable(pki->errorString()));
        issuer.route("GET", QStringLiteral("/ca.crt"), 200, readFile(unrelated.certPath));
    }
    const QString leaf = work->filePath(QStringLiteral("certs/my.leaf.pem"));
    QVERIFY(writeFile(leaf, readFile(issued.certPath)));
    QFile::remove(leaf + QStringLiteral(".intermediate.pem"));
    if (issuerAnswer == QLatin1String("404"))
        QVERIFY(writeFile(leaf + QStringLiteral(".intermediate.pem"), readFile(pki->root().certPath)));
    const QStringList before = folderEntries(QFileInfo(leaf).path());

    Page p;
    p.open();
    p.edit("certChainEdit")->setText(QStringLiteral("/keep/this.pem"));
    p.driver.chooseFile(leaf);
    p.click(QStringLiteral("Build Full Chain from Leaf..."));

    if (issuerAnswer == QLatin1String("none")) {
        QCOMPARE(p.log().mid(p.log().size() - 2), lastLines);
    } else {
        QCOMPARE(issuer.requestCount(), 1);
        const QString refusal = issuerAnswer == QLatin1String("404") ? QStringLiteral("Download failed: ")
                                                                     : QStringLiteral("Chain refused: ");
        QVERIFY2(p.log().last().startsWith(refusal), qPrintable(p.allText()));
    }
    QVERIFY(!p.allText().contains(QStringLiteral("Full chain")));
    QCOMPARE(folderEntries(QFileInfo(leaf).path()), before);
    QCOMPARE(p.edit("certChainEdit")->text(), QStringLiteral("/keep/this.pem"));
    QCOMPARE(p.audit(), QStringList());
}

void CodeSigningPageTest::autoDetectWithModuleOnlyThenSign()
{
    SoftHsmToken token;
    const QString chain = work->filePath(QStringLiteral("module-only-leaf-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("module-only-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));
    ModuleRoot root;
    QVERIFY(root.populateModuleOnly());

    Page p;
    p.fakes.install(QStringLiteral("pkcs11-tool"), QStringLiteral("pkcs11-tool"));
    p.open(root);

    p.click(QStringLiteral("Auto-Detect PKCS11..."));
    const QString uri = p.edit("pkcs11UriEdit")->text();
    QCOMPARE(uri, detectedUri(token));
    QCOMPARE(p.log(), (QStringList{"PKCS11 module: " + root.module, "PKCS11 URI: " + uri,
                                   "No OpenSSL PKCS11 provider: signing uses the PKCS11 module directly; "
                                   "no provider configuration written."}));
    QCOMPARE(p.audit().filter(QStringLiteral("PKCS11 Detect")),
             QStringList{"OK|PKCS11 Detect|System|Paths configured"});
    QVERIFY(!QFile::exists(UserProfile::configDir() + QStringLiteral("/openssl-pkcs11.cnf")));

    p.edit("certChainEdit")->setText(chain);
    p.driver.chooseFile(unsignedPe);
    p.driver.typeText(token.userPin());
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));
    const QString out = unsignedPe + QStringLiteral(".signed");
    QVERIFY2(p.log().last() == QStringLiteral("Windows PE signed: ") + out, qPrintable(p.allText()));
    const ToolRunner::Result verified = verifyAgainst(pki->root().certPath, out);
    QVERIFY2(verified.succeeded(), verified.stdErr.constData());
}

void CodeSigningPageTest::signPeChecksTheTypedUri_data()
{
    QTest::addColumn<QString>("shape");      // {token}: the token's URI up to ";id=%01;type=private"
    QTest::addColumn<QString>("refusal");    // empty: signs
    QTest::newRow("trailing and leading space") << QStringLiteral("  {token};id=%01;type=private ") << QString();
    QTest::newRow("id as bare hex") << QStringLiteral("{token};id=01;type=private")
                                    << QStringLiteral("Key id must be percent-encoded bytes, e.g. id=%01");
    QTest::newRow("raw ; in the label") << QStringLiteral("{token};id=%01;object=sign;key;type=private")
                                        << QStringLiteral("a ';' inside a value must be written %3B");
    QTest::newRow("space in the label") << QStringLiteral("{token};object=sign key;id=%01;type=private")
                                        << QStringLiteral("write it as %20");
    QTest::newRow("TAB in the label") << QStringLiteral("{token};object=sign\tkey;id=%01;type=private")
                                      << QStringLiteral("The PKCS11 URI's object holds a TAB");
    QTest::newRow("bad escape in the id") << QStringLiteral("{token};id=%zz;type=private")
                                          << QStringLiteral("\"%zz\", which is no percent-escape");
    QTest::newRow("raw bytes in the id") << QStringLiteral("{token};id=ab%01;type=private")
                                         << QStringLiteral("Key id must be percent-encoded bytes, e.g. id=%01");
}

void CodeSigningPageTest::signPeChecksTheTypedUri()
{
    QFETCH(QString, shape);
    QFETCH(QString, refusal);
    SoftHsmToken token;
    const QString chain = work->filePath(QStringLiteral("uri-check-leaf-chain.pem"));
    QVERIFY2(putSigningKeyOnToken(token, *pki, QStringLiteral("uri-check-leaf"), chain),
             qPrintable(token.errorString() + pki->errorString()));
    ModuleRoot root;
    QVERIFY(root.populateModuleOnly());
    QString base = token.keyUri(QStringLiteral("01"));
    base = base.left(base.indexOf(QStringLiteral(";id=")));

    Page p;
    p.open(root);
    p.edit("certChainEdit")->setText(chain);
    p.edit("pkcs11UriEdit")->setText(QString(shape).replace(QStringLiteral("{token}"), base));
    p.driver.chooseFile(unsignedPe);
    if (refusal.isEmpty())
        p.driver.typeText(token.userPin());
    else
        p.driver.pressButton(QMessageBox::Ok);
    p.click(QStringLiteral("Sign .exe / .dll / .msi..."));

    QCOMPARE(p.driver.titles, (QStringList{"Select Windows Binary", "Sign PE"}));
    if (refusal.isEmpty()) {
        QCOMPARE(p.driver.texts.last(), QStringLiteral("Token PIN:"));
        QVERIFY2(p.log().last() == QStringLiteral("Windows PE signed: ") + unsignedPe + ".signed",
                 qPrintable(p.allText()));
        return;
    }
    // Refused before the PIN prompt, so no retry of the token's PIN is spent.
    QVERIFY2(p.driver.texts.last().contains(refusal), qPrintable(p.driver.texts.last()));
    QVERIFY(p.log().isEmpty());
    QVERIFY(p.audit().isEmpty());
}

void CodeSigningPageTest::profileNeverStoresAPin_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("middle") << "pkcs11:token=Release;id=%01;pin-value=864213;type=private";
    QTest::newRow("first") << "pkcs11:pin-value=864213;token=Release;id=%01;type=private";
    QTest::newRow("first, upper case") << "PKCS11:PIN-VALUE=864213;token=Release;id=%01;type=private";
    QTest::newRow("pin-source first") << "pkcs11:pin-source=file:/run/pin;token=Release;id=%01;type=private";
}

void CodeSigningPageTest::profileNeverStoresAPin()
{
    QFETCH(QString, typed);
    Page p;
    p.open();
    p.edit("pkcs11UriEdit")->setText(typed);
    p.driver.typeText(QStringLiteral("Token"));
    p.click(QStringLiteral("Save Profile"));
    QCOMPARE(p.log(), (QStringList{"PIN not stored in profile", "Profile loaded: Token", "Profile saved: Token"}));
    QCOMPARE(SigningProfileManager::load(QStringLiteral("Token")).pkcs11Uri,
             QStringLiteral("pkcs11:token=Release;id=%01;type=private"));
    const QByteArray settings = readFile(UserProfile::configPath());
    QVERIFY(!settings.contains("pin-value") && !settings.contains("pin-source"));
    QVERIFY(!settings.contains("864213"));
}

void CodeSigningPageTest::profileSaveAndLoad()
{
    Page p({kIdentity, kOtherIdentity});
    p.open();
    QComboBox* profiles = p.combo("profileCombo");
    p.combo("identityCombo")->setCurrentIndex(1);
    p.edit("notarizeProfileEdit")->setText(QStringLiteral("Team Profile"));
    p.edit("certChainEdit")->clear();
    p.edit("pkcs11UriEdit")->setText(QStringLiteral("pkcs11:token=Release;id=%01;type=private"));
    p.edit("timestampEdit")->setText(QStringLiteral("http://127.0.0.1:1/tsa"));

    p.driver.typeText(QStringLiteral("Release"));
    p.click(QStringLiteral("Save Profile"));
    QCOMPARE(p.driver.titles, QStringList{"Save Signing Profile"});
    QCOMPARE(p.driver.texts, QStringList{"Profile name:"});
    QCOMPARE(p.log(), (QStringList{"Profile loaded: Release", "Profile saved: Release"}));
    QCOMPARE(p.audit(), QStringList{"OK|Save Profile|Release|macos"});
    QCOMPARE(profiles->currentText(), QStringLiteral("Release"));
    const SigningProfile stored = SigningProfileManager::load(QStringLiteral("Release"));
    QCOMPARE(stored.platform, QStringLiteral("macos"));
    QCOMPARE(stored.macIdentity, kOtherIdentity);
    QCOMPARE(stored.notarizeProfile, QStringLiteral("Team Profile"));
    QCOMPARE(stored.certChainPem, QString());
    QCOMPARE(stored.pkcs11Uri, QStringLiteral("pkcs11:token=Release;id=%01;type=private"));
    QCOMPARE(stored.timestampUrl, QStringLiteral("http://127.0.0.1:1/tsa"));
    QVERIFY(QDateTime::fromString(stored.createdDate, Qt::ISODate).isValid());

    // "(none ...)" changes nothing; loading fills the stored fields and keeps
    // the fields whose stored value is empty.
    p.combo("identityCombo")->setCurrentIndex(0);
    for (const char* name : {"notarizeProfileEdit", "pkcs11UriEdit", "timestampEdit"})
        p.edit(name)->setText(QStringLiteral("edited"));
    p.edit("certChainEdit")->setText(QStringLiteral("/mine/fullchain.pem"));
    profiles->setCurrentIndex(0);
    QCOMPARE(p.edit("notarizeProfileEdit")->text(), QStringLiteral("edited"));
    QCOMPARE(p.log().size(), 2);
    profiles->setCurrentIndex(1);
    QCOMPARE(p.log().last(), QStringLiteral("Profile loaded: Release"));
    QCOMPARE(p.combo("identityCombo")->currentText(), kOtherIdentity);
    QCOMPARE(p.edit("notarizeProfileEdit")->text(), QStringLiteral("Team Profile"));
    QCOMPARE(p.edit("pkcs11UriEdit")->text(), QStringLiteral("pkcs11:token=Release;id=%01;type=private"));
    QCOMPARE(p.edit("timestampEdit")->text(), QStringLiteral("http://127.0.0.1:1/tsa"));
    QCOMPARE(p.edit("certChainEdit")->text(), QStringLiteral("/mine/fullchain.pem"));

    // Saving under the same name proposes it, replaces the profile in place
    // and logs the reload before the save.
    SigningProfile other;
    other.name = QStringLiteral("Other");
    other.platform = QStringLiteral("macos");
    SigningProfileManager::save(other);
    QString proposed;
    p.driver.enqueue([&proposed](QWidget* w) {
        if (auto* input = qobject_cast<QInputDialog*>(w)) {
            proposed = input->textValue();
            input->accept();
        }
    });
    const int before = int(p.log().size());
    p.click(QStringLiteral("Save Profile"));
    QCOMPARE(proposed, QStringLiteral("Release"));
    QCOMPARE(p.log().mid(before), (QStringList{"Profile loaded: Release", "Profile saved: Release"}));
    QList<SigningProfile> all = SigningProfileManager::loadAll();
    QCOMPARE(all.size(), 2);
    QCOMPARE(all.at(0).name, QStringLiteral("Release"));
    QCOMPARE(all.at(0).certChainPem, QStringLiteral("/mine/fullchain.pem"));
    QCOMPARE(profiles->count(), 3);
    QCOMPARE(profiles->itemText(2), QStringLiteral("Other"));
}

void CodeSigningPageTest::profileDelete()
{
    for (const char* name : {"Release", "Nightly"}) {
        SigningProfile profile;
        profile.name = QLatin1String(name);
        profile.platform = QStringLiteral("macos");
        profile.pkcs11Uri = QStringLiteral("pkcs11:token=") + QLatin1String(name) + QStringLiteral(";type=private");
        SigningProfileManager::save(profile);
    }
    Page p;
    p.open();
    QComboBox* profiles = p.combo("profileCombo");
    const QByteArray settingsBefore = readFile(UserProfile::configPath());

    // With the manual entry selected, Delete asks nothing.
    p.click(QStringLiteral("Delete"));
    QVERIFY(p.driver.titles.isEmpty());

    profiles->setCurrentIndex(1);
    p.driver.pressButton(QMessageBox::No);
    p.click(QStringLiteral("Delete"));
    QCOMPARE(p.driver.titles, QStringList{"Delete Profile"});
    QCOMPARE(p.driver.texts, QStringList{"Delete signing profile 'Release'?"});
    QCOMPARE(profiles->count(), 3);
    QCOMPARE(readFile(UserProfile::configPath()), settingsBefore);

    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Delete"));
    QCOMPARE(profiles->count(), 2);
    QCOMPARE(profiles->itemText(1), QStringLiteral("Nightly"));
    QCOMPARE(SigningProfileManager::loadAll().size(), 1);
    QCOMPARE(p.log().last(), QStringLiteral("Profile deleted: Release"));
    QVERIFY(!p.audit().join(QLatin1Char('\n')).contains(QStringLiteral("Release")));
}

void CodeSigningPageTest::profileSaveThatCannotBeWrittenIsReported()
{
    SigningProfile kept;
    kept.name = QStringLiteral("Kept");
    kept.platform = QStringLiteral("macos");
    QVERIFY(SigningProfileManager::save(kept));
    const QByteArray before = readFile(UserProfile::configPath());
    Page p;
    p.open();
    p.edit("certChainEdit")->setText(QString(6000, QLatin1Char('c')));

    p.driver.typeText(QStringLiteral("Release"));
    {
        FileSizeLimit diskFull(4096);
        p.click(QStringLiteral("Save Profile"));
    }
    QCOMPARE(p.log().size(), 1);
    QVERIFY2(p.log().first().startsWith(QStringLiteral("Profile save FAILED")), qPrintable(p.log().first()));
    QCOMPARE(p.audit(), QStringList{"FAIL|Save Profile|Release|macos"});
    QCOMPARE(readFile(UserProfile::configPath()), before);
    QCOMPARE(p.combo("profileCombo")->count(), 2);
    QCOMPARE(p.combo("profileCombo")->currentIndex(), 0);
}

OT_TEST_MAIN(CodeSigningPageTest)
#include "tst_codesigningpage.moc"
