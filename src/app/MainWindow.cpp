#include "app/MainWindow.h"

#include "app/StyleManager.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "piv/YkmanBridge.h"
#include "signing/SigningManager.h"
#include "ui/vault/ClockVaultWidget.h"
#include "ui/remote/DevOpsSecretsTab.h"
#include "ui/widgets/PageFill.h"
#include "ui/github/GitHubTab.h"
#include "ui/keys/GpgKeyManagementTab.h"
#include "ui/vault/UsbDriveTab.h"
#include "ui/vault/VaultTab.h"
#include "vault/TessarilVault.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace {

struct PageTitle
{
    const char* title;
    const char* tooltip;
};

const PageTitle pageTitles[MainWindow::PageCount] = {
    {"Device Inspector",
     "Hardware keys: detect, inspect, FIDO2 PIN/credentials/reset.\n"
     "Double-click device for full config. Right-click for quick actions."},
    {"Code Signing", "Sign macOS apps + Windows PE binaries with hardware tokens"},
    {"Certificates", "X.509 certificate lifecycle: import, inspect, expiry alerts"},
    {"GPG / SSH", "GPG/OpenPGP keyring, SSH keys, SSH config editor"},
    {"Secure Vault", "AES-256 encrypted .qvimgv containers for keys and credentials"},
    {"DevOps Tools", "SSH/SFTP/SCP + Kubernetes, Docker, Ansible, Terraform, SOPS"},
    {"USB Drives", "Detect, analyze, and encrypt USB storage devices"},
    {"GitHub", "GitHub integration: SSH/GPG keys, secrets, security, workflows"},
    {"Session Log", "ISO 8601 audit trail \u2014 PINs and secrets never recorded"},
};

} // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    // Building the window runs no tool and reads no keyring, key folder or
    // cluster, and builds only the page it opens on: each other page is
    // built when first shown, each lists when first shown, and the page the
    // window opens on lists once the window is on screen.
    PageFill::holdUntilOnScreen(this);
    setWindowTitle(QStringLiteral("Ostrevan Tessaril"));
    setMinimumSize(1100, 750);
    resize(1280, 860);

    fidoManager = new FidoDeviceManager(this);
    signingManager = new SigningManager(this);
    userProfile = new UserProfile(this);
    // Reading the profile (or writing a first one) is an openssl run: it waits
    // until the window is on screen. A page that needs the profile sooner, the
    // one the window opens on included, reads it as it is built.
    PageFill::afterWindowShown(this, [this] { loadProfile(); });
    ykman = new YkmanBridge(this);
    opensc = new OpenscBridge(this);

    // A run's summary line ends in its exit code; a failed run that printed
    // nothing on its error channel must not pass for a success.
    const auto succeeded = [](const QString& line) {
        return line.endsWith(QLatin1String(" exit=0"));
    };
    connect(ykman, &YkmanBridge::commandOutput, this, [this, succeeded](const QString& output) {
        logSession(QStringLiteral("ykman"), QStringLiteral("YubiKey"), succeeded(output), output);
    });
    connect(ykman, &YkmanBridge::commandError, this, [this](const QString& error) {
        logSession(QStringLiteral("ykman"), QStringLiteral("YubiKey"), false, error);
    });
    connect(opensc, &OpenscBridge::commandOutput, this, [this, succeeded](const QString& output) {
        logSession(QStringLiteral("pkcs11-tool"), QStringLiteral("PKCS11"), succeeded(output),
                   output);
    });
    connect(opensc, &OpenscBridge::commandError, this, [this](const QString& error) {
        logSession(QStringLiteral("pkcs11-tool"), QStringLiteral("PKCS11"), false, error);
    });

    setupMenuBar();
    setupToolBar();
    setupStatusBar();

    // Every tab has its title and tooltip from the start; its page is built
    // into the tab's holder when it is first needed.
    tabWidget = new QTabWidget(this);
    tabWidget->setUsesScrollButtons(true);
    for (int index = 0; index < PageCount; ++index) {
        auto* holder = new QWidget;
        auto* layout = new QVBoxLayout(holder);
        layout->setContentsMargins(0, 0, 0, 0);
        pageHolders << holder;
        pages << nullptr;
        tabWidget->addTab(holder, QString::fromUtf8(pageTitles[index].title));
        tabWidget->setTabToolTip(index, QString::fromUtf8(pageTitles[index].tooltip));
    }

    // The vault service lives with the window: the vault page is built only
    // when shown, and its mount notice is the window's.
    vault = new TessarilVault(this);
    // The flag is set before the box runs, so a signal that arrives while it
    // is open shows no second box.
    connect(vault, &TessarilVault::vaultMounted, this, [this](const QString&) {
        if (vaultNoticeShown)
            return;
        vaultNoticeShown = true;
        QMessageBox::information(
            this, QStringLiteral("Feature Unlocked"),
            QStringLiteral("NEW FEATURE UNLOCKED: DevOps Cloud Secret Storage\n\n"
                           "Your encrypted vault is active. You can now store:\n"
                           "  - Kubernetes secrets\n"
                           "  - Docker/Podman secrets\n"
                           "  - Ansible Vault credentials\n"
                           "  - Terraform variables\n"
                           "  - SOPS encrypted configs\n\n"
                           "Go to the 'DevOps Secrets' tab to get started."));
        logSession(QStringLiteral("Feature Unlock"), QStringLiteral("DevOps Secrets"), true,
                   QStringLiteral("Vault active"));
    });
    startSessionLog();

    setupCornerWidget();
    setCentralWidget(tabWidget);

    pollTimer = new QTimer(this);
    pollTimer->setObjectName(QStringLiteral("pollTimer"));
    connect(pollTimer, &QTimer::timeout, this, &MainWindow::pollDevices);
    pollTimer->start(3000);
    connect(fidoManager, &FidoDeviceManager::enumerated, this, &MainWindow::showDevices);

    restoreWindowSettings();
    page(Page(tabWidget->currentIndex()));
    connect(tabWidget, &QTabWidget::currentChanged, this, [this](int index) {
        if (index >= 0 && index < PageCount)
            page(Page(index));
    });
    // The drive poll announces a drive plugged in whichever page is open.
    PageFill::afterWindowShown(this, [this] { page(UsbDrivesPage); });
    // From the event loop, before the first tick: the listing's thread does
    // not compete with the window on its way to the screen.
    QMetaObject::invokeMethod(this, &MainWindow::refreshDevices, Qt::QueuedConnection);
}

QWidget* MainWindow::page(Page index)
{
    if (index < 0 || index >= PageCount)
        return nullptr;
    if (QWidget* built = pages.at(index))
        return built;
    QWidget* built = nullptr;
    switch (index) {
    case DeviceInspectorPage:
        built = createDeviceInspectorTab();
        break;
    case CodeSigningPage:
        built = createCodeSigningTab();
        break;
    case CertificatesPage:
        built = createCertificatesTab();
        break;
    case GpgSshPage:
        built = new GpgKeyManagementTab(this);
        break;
    case SecureVaultPage:
        loadProfile();
        built = new VaultTab(vault, fidoManager, userProfile, this);
        break;
    case DevOpsToolsPage:
        built = new DevOpsSecretsTab(this);
        break;
    case UsbDrivesPage: {
        auto* usbTab = new UsbDriveTab(this);
        connect(usbTab, &UsbDriveTab::usbDriveDetected, this, [this](const QString& volumeName) {
            if (usbNoticeShown)
                return;
            usbNoticeShown = true;
            QMessageBox::information(
                this, QStringLiteral("Feature Unlocked"),
                QStringLiteral("NEW FEATURE UNLOCKED: USB Drive Encryption\n\n"
                               "USB storage device detected: %1\n\n"
                               "You can now:\n"
                               "  - Analyze drive encryption status\n"
                               "  - Encrypt APFS drives without reformatting\n"
                               "  - Create encrypted vault containers on USB drives\n\n"
                               "Go to the 'USB Drives' tab to manage your drive.")
                    .arg(volumeName));
            logSession(QStringLiteral("Feature Unlock"), QStringLiteral("USB Drives"), true,
                       volumeName);
        });
        built = usbTab;
        break;
    }
    case GitHubPage:
        loadProfile();
        built = new GitHubTab(userProfile, this);
        break;
    case SessionLogPage:
        built = createSessionLogTab();
        break;
    case PageCount:
        return nullptr;
    }
    pages[index] = built;
    QWidget* holder = pageHolders.at(index);
    holder->layout()->addWidget(built);
    // It is laid out in its tab's room at once, as a page added to the tab
    // widget is, even while the window is not shown yet.
    holder->layout()->activate();
    if (built->layout())
        built->layout()->activate();
    // A page built as its tab is chosen shows at once, not a turn of the
    // event loop later, when the tab would first be drawn empty.
    if (holder->isVisible())
        built->show();
    return built;
}

void MainWindow::loadProfile()
{
    if (profileLoaded)
        return;
    profileLoaded = true;
    // An unreadable profile does not stop the window; it carries on with the
    // defaults the profile holds.
    userProfile->load();
}

MainWindow::~MainWindow()
{
    AppSettings settings;
    settings->setValue(QStringLiteral("geometry"), saveGeometry());
    settings->setValue(QStringLiteral("windowState"), saveState(0));
    settings->setValue(QStringLiteral("lastTab"), tabWidget->currentIndex());
}

void MainWindow::setupCornerWidget()
{
    auto* corner = new ClockVaultWidget(this);
    tabWidget->setCornerWidget(corner, Qt::TopRightCorner);
    // A corner widget is never given more height than the tabs ask for, and
    // the clock stands three lines above the badge: the tabs sit lower in a
    // bar that tall, rather than the clock being cut off.
    const int missing = corner->sizeHint().height() - tabWidget->tabBar()->sizeHint().height();
    if (missing > 0)
        tabWidget->tabBar()->setStyleSheet(
            QStringLiteral("QTabBar::tab { margin-top: %1px; } QTabBar QToolButton { margin-top: %2px; }")
                .arg(missing)
                .arg(missing + 2));
    // A vault on disk is a sparse-bundle folder, so any entry at the path counts.
    const QString defaultVault = TessarilVault::defaultPath();
    if (QFileInfo::exists(defaultVault)) {
        VaultBadgeInfo badge;
        badge.name = QStringLiteral("Default");
        badge.path = defaultVault;
        badge.sizeMB = 256;
        badge.encrypted = true;
        badge.mounted = QFileInfo(TessarilVault::fixedMountPoint()).isDir();
        corner->setVaults({badge});
    }
    connect(corner, &ClockVaultWidget::vaultClicked, this, [this] {
        for (int i = 0; i < tabWidget->count(); ++i) {
            if (tabWidget->tabText(i).contains(QLatin1String("Vault"))) {
                tabWidget->setCurrentIndex(i);
                return;
            }
        }
    });
}

void MainWindow::restoreWindowSettings()
{
    AppSettings settings;
    if (settings->contains(QStringLiteral("geometry")))
        restoreGeometry(settings->value(QStringLiteral("geometry")).toByteArray());
    if (settings->contains(QStringLiteral("windowState")))
        restoreState(settings->value(QStringLiteral("windowState")).toByteArray(), 0);
    if (settings->contains(QStringLiteral("lastTab"))) {
        // setCurrentIndex ignores an index outside the pages.
        tabWidget->setCurrentIndex(settings->value(QStringLiteral("lastTab")).toInt());
    }
}

QString MainWindow::docsDir() const
{
    return docsDirFor(QCoreApplication::applicationDirPath());
}

QString MainWindow::docsDirFor(const QString& appDir)
{
    for (const char* relative : {"/../Resources/docs", "/../docs"}) {
        const QFileInfo info(appDir + QLatin1String(relative));
        if (info.isDir())
            return info.canonicalFilePath();
    }
    return QString();
}

void MainWindow::onToggleTheme()
{
    const StyleManager::Theme next =
        StyleManager::current() == StyleManager::Dark ? StyleManager::Light : StyleManager::Dark;
    StyleManager::apply(qApp, next);
    AppSettings settings;
    settings->setValue(QStringLiteral("theme"),
                       next == StyleManager::Light ? QStringLiteral("light") : QStringLiteral("dark"));
}
