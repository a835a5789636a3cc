// The main window's frame: its nine pages, and what it remembers between runs.
#include "app/MainWindow.h"
#include "config/Settings.h"
#include "config/UserProfile.h"

#include "app/Startup.h"
#include "app/StyleManager.h"
#include "ui/profile/PreferencesDialog.h"
#include "ui/profile/ShortcutsDialog.h"
#include "ui/vault/ClockVaultWidget.h"
#include "ui/remote/DevOpsSecretsTab.h"
#include "ui/github/GitHubTab.h"
#include "ui/keys/GpgKeyManagementTab.h"
#include "ui/vault/UsbDriveTab.h"
#include "ui/vault/VaultTab.h"
#include "vault/TessarilVault.h"

#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "piv/YkmanBridge.h"
#include "signing/SigningManager.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "OpenFiles.h"
#include "TestHome.h"
#include "WindowPages.h"

#include <QApplication>
#include <QHeaderView>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeWidget>
#include <QDir>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

class MainWindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Startup::setIdentity(*qApp); }
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void pagesInOrder();
    void firstStartDefaults();
    void geometryAndPageSurviveRestart();
    void storedPageOutOfRangeIsIgnored();
    void docsDirCases();
    void servicesInOrder();
    void bridgeRunsReachSessionLog();
    void neighbourPagesAreTheirClasses();
    void sessionLogKeepsAScrolledBackPlace();
    void fitsItsTextInBothThemes_data();
    void fitsItsTextInBothThemes();
    void oneTimeNoticesOncePerWindow();
    void noBadgeWithoutDefaultVault();
    void badgeClickSelectsVaultPage();
    void onlyTheOpeningPageIsBuilt_data();
    void onlyTheOpeningPageIsBuilt();
    void firstStartWritesTheProfileOnceOnScreen_data();
    void firstStartWritesTheProfileOnceOnScreen();
    void openFilesStayPutWhileRunning();

private:
    std::unique_ptr<TestHome> home;
};

void MainWindowTest::pagesInOrder()
{
    MainWindow window;
    auto* tabs = window.findChild<QTabWidget*>();
    QVERIFY(tabs);
    const QStringList titles{"Device Inspector", "Code Signing", "Certificates", "GPG / SSH",
                             "Secure Vault", "DevOps Tools", "USB Drives", "GitHub", "Session Log"};
    const QStringList tips{
        "Hardware keys: detect, inspect, FIDO2 PIN/credentials/reset.\nDouble-click device for full config. Right-click for quick actions.",
        "Sign macOS apps + Windows PE binaries with hardware tokens",
        "X.509 certificate lifecycle: import, inspect, expiry alerts",
        "GPG/OpenPGP keyring, SSH keys, SSH config editor",
        "AES-256 encrypted .qvimgv containers for keys and credentials",
        "SSH/SFTP/SCP + Kubernetes, Docker, Ansible, Terraform, SOPS",
        "Detect, analyze, and encrypt USB storage devices",
        "GitHub integration: SSH/GPG keys, secrets, security, workflows",
        QString::fromUtf8("ISO 8601 audit trail \u2014 PINs and secrets never recorded")};
    QCOMPARE(tabs->count(), 9);
    for (int i = 0; i < 9; ++i) {
        QCOMPARE(tabs->tabText(i), titles.at(i));
        QCOMPARE(tabs->tabToolTip(i), tips.at(i));
    }
    QVERIFY(tabs->usesScrollButtons());
    QCOMPARE(window.windowTitle(), QStringLiteral("Ostrevan Tessaril"));
    QCOMPARE(window.minimumSize(), QSize(1100, 750));
}

void MainWindowTest::firstStartDefaults()
{
    MainWindow window;
    QCOMPARE(window.size(), QSize(1280, 860));
    QCOMPARE(window.findChild<QTabWidget*>()->currentIndex(), 0);
    QVERIFY(!QFile::exists(UserProfile::configPath()));
}

void MainWindowTest::geometryAndPageSurviveRestart()
{
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(1200, 800);
        window.findChild<QTabWidget*>()->setCurrentIndex(6);
    }
    {
        AppSettings settings;
        QVERIFY(settings->contains("geometry"));
        QVERIFY(settings->contains("windowState"));
        QCOMPARE(settings->value("lastTab").toInt(), 6);
    }
    MainWindow again;
    QCOMPARE(again.findChild<QTabWidget*>()->currentIndex(), 6);
    QCOMPARE(again.size(), QSize(1200, 800));
}

void MainWindowTest::storedPageOutOfRangeIsIgnored()
{
    {
        AppSettings settings;
        settings->setValue("lastTab", 12);
    }
    MainWindow window;
    QCOMPARE(window.findChild<QTabWidget*>()->currentIndex(), 0);
}

void MainWindowTest::docsDirCases()
{
    QTemporaryDir root;
    const QString bin = root.path() + "/bundle/MacOS";
    QDir().mkpath(bin);
    QCOMPARE(MainWindow::docsDirFor(bin), QString());
    QDir().mkpath(root.path() + "/bundle/docs");
    QCOMPARE(MainWindow::docsDirFor(bin), QFileInfo(root.path() + "/bundle/docs").canonicalFilePath());
    QDir().mkpath(root.path() + "/bundle/Resources/docs");
    QCOMPARE(MainWindow::docsDirFor(bin),
             QFileInfo(root.path() + "/bundle/Resources/docs").canonicalFilePath());
}

namespace {

QStringList sessionLines(MainWindow& window, const QString& op)
{
    QStringList found;
    const QString text = sessionLogView(window)->toPlainText();
    for (const QString& line : text.split('\n')) {
        if (line.contains(" | " + op.leftJustified(20) + " | "))
            found << line.section("] ", 1);
    }
    return found;
}

} // namespace

void MainWindowTest::servicesInOrder()
{
    {
        UserProfile stored;
        QVERIFY(stored.load());
        stored.setPreference("editor", "vim");
    }
    {
        // A page that uses the profile reads it as it is built, even the one
        // the window opens on.
        AppSettings()->setValue("lastTab", int(MainWindow::GitHubPage));
        MainWindow opensOnGitHub;
        QCOMPARE(opensOnGitHub.findChild<UserProfile*>()->preference("editor"), QStringLiteral("vim"));
    }
    AppSettings()->setValue("lastTab", int(MainWindow::DeviceInspectorPage));
    MainWindow window;
    // Otherwise reading it, an openssl run, waits until the window is on screen.
    auto* profile = window.findChild<UserProfile*>();
    QCOMPARE(profile->preference("editor"), QString());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(profile->preference("editor"), QStringLiteral("vim"));
    QStringList services;
    for (QObject* child : window.children()) {
        if (qobject_cast<FidoDeviceManager*>(child) || qobject_cast<SigningManager*>(child)
            || qobject_cast<UserProfile*>(child) || qobject_cast<YkmanBridge*>(child)
            || qobject_cast<OpenscBridge*>(child))
            services << child->metaObject()->className();
    }
    QCOMPARE(services, QStringList({"FidoDeviceManager", "SigningManager", "UserProfile",
                                    "YkmanBridge", "OpenscBridge"}));
}

void MainWindowTest::bridgeRunsReachSessionLog()
{
    FakeTools tools;
    tools.install("ykman");
    tools.install("pkcs11-tool");
    MainWindow window;
    auto* ykman = window.findChild<YkmanBridge*>();
    auto* opensc = window.findChild<OpenscBridge*>();

    tools.answer("ykman", "ok\n", 0);
    ykman->run({"piv", "info"}, {}, 60000);
    // A failed run with nothing on its error channel is still a failure.
    tools.answer("ykman", "", 1);
    ykman->run({"piv", "info"}, {}, 60000);
    tools.answer("pkcs11-tool", "", 2, "no token <present>\n");
    opensc->runPkcs11Tool({"--list-slots"}, 60000);
    tools.answer("pkcs11-tool", "Slot 0\n", 0);
    opensc->runPkcs11Tool({"--list-slots"}, 60000);

    QStringList lines = sessionLines(window, "ykman") + sessionLines(window, "pkcs11-tool");
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QStringLiteral("OK   | ykman                | YubiKey | [ykman piv info] exit=0"));
    QCOMPARE(lines.at(1), QStringLiteral("FAIL | ykman                | YubiKey | [ykman piv info] exit=1"));
    QVERIFY2(lines.at(2).startsWith("FAIL | pkcs11-tool          | PKCS11 | [pkcs11-tool ")
                 && lines.at(2).endsWith("] exit=2"),
             qPrintable(lines.at(2)));
    QCOMPARE(lines.at(3), QStringLiteral("FAIL | pkcs11-tool          | PKCS11 | no token <present>"));
    QVERIFY2(lines.at(4).startsWith("OK   | pkcs11-tool ") && lines.at(4).endsWith("] exit=0"),
             qPrintable(lines.at(4)));
}

void MainWindowTest::neighbourPagesAreTheirClasses()
{
    MainWindow window;
    auto* tabs = window.findChild<QTabWidget*>();
    QVERIFY(qobject_cast<GpgKeyManagementTab*>(window.page(MainWindow::GpgSshPage)));
    QVERIFY(qobject_cast<VaultTab*>(window.page(MainWindow::SecureVaultPage)));
    QVERIFY(qobject_cast<DevOpsSecretsTab*>(window.page(MainWindow::DevOpsToolsPage)));
    QVERIFY(qobject_cast<UsbDriveTab*>(window.page(MainWindow::UsbDrivesPage)));
    QVERIFY(qobject_cast<GitHubTab*>(window.page(MainWindow::GitHubPage)));
    for (int i = 0; i < MainWindow::PageCount; ++i)
        QVERIFY(tabs->widget(i)->isAncestorOf(window.page(MainWindow::Page(i))));
    QCOMPARE(window.findChildren<TessarilVault*>().size(), 1);
    QCOMPARE(window.findChild<TessarilVault*>()->parent(), &window);
    QVERIFY(qobject_cast<ClockVaultWidget*>(tabs->cornerWidget(Qt::TopRightCorner)));
}

void MainWindowTest::oneTimeNoticesOncePerWindow()
{
    const QString vaultText =
        "NEW FEATURE UNLOCKED: DevOps Cloud Secret Storage\n\nYour encrypted vault is active. "
        "You can now store:\n  - Kubernetes secrets\n  - Docker/Podman secrets\n  - Ansible "
        "Vault credentials\n  - Terraform variables\n  - SOPS encrypted configs\n\nGo to the "
        "'DevOps Secrets' tab to get started.";
    const QString usbText =
        "NEW FEATURE UNLOCKED: USB Drive Encryption\n\nUSB storage device detected: STICK 1\n\n"
        "You can now:\n  - Analyze drive encryption status\n  - Encrypt APFS drives without "
        "reformatting\n  - Create encrypted vault containers on USB drives\n\nGo to the 'USB "
        "Drives' tab to manage your drive.";
    // A second window of the same run gets its own notices.
    for (int round = 0; round < 2; ++round) {
        MainWindow window;
        auto* vault = window.findChild<TessarilVault*>();
        auto* usb = qobject_cast<UsbDriveTab*>(window.page(MainWindow::UsbDrivesPage));
        ModalDriver driver;
        // A third notice would find no answer and fail the test.
        for (int i = 0; i < 2; ++i)
            driver.pressButton(QMessageBox::Ok);

        Q_EMIT vault->vaultMounted("/Volumes/Tessaril Vault");
        Q_EMIT vault->vaultMounted("/Volumes/Tessaril Vault");
        Q_EMIT usb->usbDriveDetected("STICK 1");
        Q_EMIT usb->usbDriveDetected("STICK 2");

        QCOMPARE(driver.titles, QStringList({"Feature Unlocked", "Feature Unlocked"}));
        QCOMPARE(driver.texts, QStringList({vaultText, usbText}));
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(sessionLines(window, "Feature Unlock"),
                 QStringList({"OK   | Feature Unlock       | DevOps Secrets | Vault active",
                              "OK   | Feature Unlock       | USB Drives | STICK 1"}));
    }
}

void MainWindowTest::noBadgeWithoutDefaultVault()
{
    MainWindow window;
    QWidget* corner = window.findChild<QTabWidget*>()->cornerWidget(Qt::TopRightCorner);
    QVERIFY(corner->findChildren<QPushButton*>().isEmpty());
}

void MainWindowTest::badgeClickSelectsVaultPage()
{
    QVERIFY(QDir().mkpath(QFileInfo(TessarilVault::defaultPath()).path()));
    // On disk a vault is a sparse-bundle folder.
    QVERIFY(QDir().mkpath(TessarilVault::defaultPath()));
    MainWindow window;
    auto* tabs = window.findChild<QTabWidget*>();
    tabs->setCurrentIndex(7);
    const QList<QPushButton*> badges =
        tabs->cornerWidget(Qt::TopRightCorner)->findChildren<QPushButton*>();
    QCOMPARE(badges.size(), 1);
    QVERIFY(badges.first()->text().contains("Default"));
    badges.first()->click();
    QCOMPARE(tabs->currentIndex(), 4);
}

void MainWindowTest::sessionLogKeepsAScrolledBackPlace()
{
    MainWindow window;
    window.findChild<QTabWidget*>()->setCurrentIndex(MainWindow::SessionLogPage);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* view = sessionLogView(window);
    QScrollBar* bar = view->verticalScrollBar();
    const auto log = [&window](int i) {
        window.logSession("Code Sign", "Developer ID", true, QString("line %1").arg(i));
    };
    for (int i = 0; i < 300; ++i)
        log(i);
    // At the bottom, the view follows each new line.
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    const int bottomBefore = bar->maximum();
    log(300);
    QVERIFY(bar->maximum() > bottomBefore);
    QCOMPARE(bar->value(), bar->maximum());

    // Scrolled up to read, the user keeps the place while lines arrive.
    bar->setValue(bar->maximum() / 3);
    const int reading = bar->value();
    for (int i = 301; i < 310; ++i)
        log(i);
    QCOMPARE(bar->value(), reading);

    // Back at the bottom, it follows again.
    bar->setValue(bar->maximum());
    log(310);
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(view->toPlainText().endsWith("line 310"));
}

void MainWindowTest::fitsItsTextInBothThemes_data()
{
    QTest::addColumn<int>("theme");
    QTest::newRow("dark") << int(StyleManager::Dark);
    QTest::newRow("light") << int(StyleManager::Light);
}

void MainWindowTest::fitsItsTextInBothThemes()
{
    QFETCH(int, theme);
    // Start in the other theme, so that the widths must follow a switch.
    StyleManager::apply(qApp, StyleManager::Theme(1 - theme));
    MainWindow window;
    window.page(MainWindow::CertificatesPage);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    StyleManager::apply(qApp, StyleManager::Theme(theme));

    for (const char* name : {"deviceTree", "certTree"}) {
        auto* tree = window.findChild<QTreeWidget*>(name);
        QVERIFY2(tree, name);
        QHeaderView* header = tree->header();
        for (int section = 0; section < header->count(); ++section) {
            QVERIFY2(header->sectionSize(section) >= header->sectionSizeHint(section),
                     qPrintable(tree->headerItem()->text(section)));
        }
    }
    // The clock in the tab bar's corner lies wholly inside the window.
    auto* tabs = window.findChild<QTabWidget*>();
    QWidget* corner = tabs->cornerWidget(Qt::TopRightCorner);
    QVERIFY(corner->width() >= corner->sizeHint().width());
    QVERIFY2(corner->geometry().right() < tabs->width(),
             qPrintable(QString("corner ends at %1, tabs are %2 wide")
                            .arg(corner->geometry().right()).arg(tabs->width())));

    for (QPushButton* button : window.findChildren<QPushButton*>()) {
        if (button->text() == "Delete")
            QVERIFY(button->width() >= button->sizeHint().width());
    }

    ShortcutsDialog shortcuts(&window);
    shortcuts.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shortcuts));
    QCOMPARE(shortcuts.findChild<QScrollArea*>()->verticalScrollBar()->maximum(), 0);

    PreferencesDialog preferences(nullptr, &window);
    preferences.show();
    QVERIFY(QTest::qWaitForWindowExposed(&preferences));
    for (QPushButton* button : preferences.findChildren<QPushButton*>()) {
        if (button->text() == "Browse...")
            QVERIFY(button->width() >= button->sizeHint().width());
    }
}

namespace {

// Whether the page at index has been built into its tab.
bool built(MainWindow& window, int index)
{
    return !window.findChild<QTabWidget*>()->widget(index)->findChildren<QWidget*>().isEmpty();
}

QList<int> builtPages(MainWindow& window)
{
    QList<int> out;
    for (int i = 0; i < MainWindow::PageCount; ++i) {
        if (built(window, i))
            out << i;
    }
    return out;
}

} // namespace

void MainWindowTest::onlyTheOpeningPageIsBuilt_data()
{
    QTest::addColumn<int>("opening");
    QTest::newRow("device inspector") << int(MainWindow::DeviceInspectorPage);
    QTest::newRow("gpg / ssh") << int(MainWindow::GpgSshPage);
    QTest::newRow("session log") << int(MainWindow::SessionLogPage);
}

// The window is on screen with the page it opens on; the USB page follows
// for its drive poll, and every other page is built when first shown.
void MainWindowTest::onlyTheOpeningPageIsBuilt()
{
    QFETCH(int, opening);
    {
        AppSettings settings;
        settings->setValue("lastTab", opening);
    }
    MainWindow window;
    QCOMPARE(builtPages(window), QList<int>{opening});
    window.logSession("Code Sign", "Developer ID", true, "before the page");
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(built(window, MainWindow::UsbDrivesPage));
    QList<int> expected{opening, MainWindow::UsbDrivesPage};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(builtPages(window), expected);

    // The tab row is whole from the start; a page is built as it is chosen.
    auto* tabs = window.findChild<QTabWidget*>();
    QCOMPARE(tabs->count(), 9);
    tabs->setCurrentIndex(MainWindow::CertificatesPage);
    QVERIFY(built(window, MainWindow::CertificatesPage));
    QVERIFY(tabs->currentWidget()->isAncestorOf(window.findChild<QTreeWidget*>("certTree")));

    // Audit lines wait for the Session Log page, in order, the start first.
    const QStringList lines = sessionLogView(window)->toPlainText().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).contains("| Application Start    | N/A | OstrevanTessaril 2.1.0"));
    QVERIFY(lines.at(1).endsWith("| Code Sign            | Developer ID | before the page"));
}

void MainWindowTest::firstStartWritesTheProfileOnceOnScreen_data()
{
    QTest::addColumn<int>("opening");
    QTest::addColumn<bool>("beforeShown");
    QTest::newRow("device inspector") << int(MainWindow::DeviceInspectorPage) << false;
    // The vault page lists the profile's vaults: it is read (and written) first.
    QTest::newRow("secure vault") << int(MainWindow::SecureVaultPage) << true;
}

void MainWindowTest::firstStartWritesTheProfileOnceOnScreen()
{
    QFETCH(int, opening);
    QFETCH(bool, beforeShown);
    {
        AppSettings settings;
        settings->setValue("lastTab", opening);
    }
    MainWindow window;
    QCOMPARE(QFile::exists(UserProfile::profilePath()), beforeShown);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(QFile::exists(UserProfile::profilePath()));
    UserProfile stored;
    QVERIFY(stored.load());
}

// Left running, the window starts no tool it cannot find and keeps no pipe
// of one: its open files stay where they were, with every page shown once
// and every poll it has running. diskutil and security are not on this
// machine.
void MainWindowTest::openFilesStayPutWhileRunning()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* tabs = window.findChild<QTabWidget*>();
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        QTest::qWait(200);
    }
    tabs->setCurrentIndex(MainWindow::DeviceInspectorPage);
    // What the first fills started has ended, and the polls have each run.
    QTest::qWait(6000);
    const int before = openFileCount();
    // Every 5 s the USB page looks for diskutil, every 3 s the keys are listed.

    QElapsedTimer clock;
    clock.start();
    int most = before;
    while (clock.elapsed() < 60000) {
        QTest::qWait(500);
        most = qMax(most, openFileCount());
    }
    QVERIFY2(most <= before + 3, qPrintable(QStringLiteral("%1 open files, up to %2 later").arg(before).arg(most)));
}

OT_TEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
