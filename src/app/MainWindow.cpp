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
#include "ui/widgets/FirstShow.h"
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

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    // Building the window runs no tool and reads no keyring, key folder or
    // cluster: each page lists when it is first shown, and the page the
    // window opens on lists once the window is on screen.
    FirstShow::holdUntilOnScreen(this);
    setWindowTitle(QStringLiteral("Ostrevan Tessaril"));
    setMinimumSize(1100, 750);
    resize(1280, 860);

    fidoManager = new FidoDeviceManager(this);
    signingManager = new SigningManager(this);
    userProfile = new UserProfile(this);
    // An unreadable profile does not stop the window; it carries on with the
    // defaults the profile holds.
    userProfile->load();
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

    tabWidget = new QTabWidget(this);
    tabWidget->setUsesScrollButtons(true);
    const auto addPage = [this](QWidget* page, const char* title, const char* tooltip) {
        const int index = tabWidget->addTab(page, QString::fromUtf8(title));
        tabWidget->setTabToolTip(index, QString::fromUtf8(tooltip));
    };
    addPage(createDeviceInspectorTab(), "Device Inspector",
            "Hardware keys: detect, inspect, FIDO2 PIN/credentials/reset.\n"
            "Double-click device for full config. Right-click for quick actions.");
    addPage(createCodeSigningTab(), "Code Signing",
            "Sign macOS apps + Windows PE binaries with hardware tokens");
    addPage(createCertificatesTab(), "Certificates",
            "X.509 certificate lifecycle: import, inspect, expiry alerts");
    addPage(new GpgKeyManagementTab(this), "GPG / SSH",
            "GPG/OpenPGP keyring, SSH keys, SSH config editor");
    auto* vault = new TessarilVault(this);
    addPage(new VaultTab(vault, fidoManager, userProfile, this), "Secure Vault",
            "AES-256 encrypted .qvimgv containers for keys and credentials");
    addPage(new DevOpsSecretsTab(this), "DevOps Tools",
            "SSH/SFTP/SCP + Kubernetes, Docker, Ansible, Terraform, SOPS");
    auto* usbTab = new UsbDriveTab(this);
    addPage(usbTab, "USB Drives", "Detect, analyze, and encrypt USB storage devices");
    addPage(new GitHubTab(userProfile, this), "GitHub",
            "GitHub integration: SSH/GPG keys, secrets, security, workflows");

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

    addPage(createSessionLogTab(), "Session Log",
            "ISO 8601 audit trail \u2014 PINs and secrets never recorded");

    setupCornerWidget();
    setCentralWidget(tabWidget);

    pollTimer = new QTimer(this);
    connect(pollTimer, &QTimer::timeout, this, &MainWindow::refreshDevices);
    pollTimer->start(3000);

    restoreWindowSettings();
    refreshDevices();
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
