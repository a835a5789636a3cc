#include "app/MainWindow.h"

#include "config/Settings.h"
#include "ui/SectionTitle.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Ostrevan Tessaril"));
    setMinimumSize(1100, 750);
    resize(1280, 860);

    tabWidget = new QTabWidget(this);
    tabWidget->setUsesScrollButtons(true);

    struct PageEntry {
        QWidget* page;
        const char* title;
        const char* tooltip;
    };
    const PageEntry pages[] = {
        {createDeviceInspectorTab(), "Device Inspector",
         "Hardware keys: detect, inspect, FIDO2 PIN/credentials/reset.\n"
         "Double-click device for full config. Right-click for quick actions."},
        {createCodeSigningTab(), "Code Signing",
         "Sign macOS apps + Windows PE binaries with hardware tokens"},
        {createCertificatesTab(), "Certificates",
         "X.509 certificate lifecycle: import, inspect, expiry alerts"},
        {makeTitledPage(QStringLiteral("GPG / SSH")), "GPG / SSH",
         "GPG/OpenPGP keyring, SSH keys, SSH config editor"},
        {makeTitledPage(QStringLiteral("Secure Vault")), "Secure Vault",
         "AES-256 encrypted .qvimgv containers for keys and credentials"},
        {makeTitledPage(QStringLiteral("DevOps Tools")), "DevOps Tools",
         "SSH/SFTP/SCP + Kubernetes, Docker, Ansible, Terraform, SOPS"},
        {makeTitledPage(QStringLiteral("USB Drives")), "USB Drives",
         "Detect, analyze, and encrypt USB storage devices"},
        {makeTitledPage(QStringLiteral("GitHub")), "GitHub",
         "GitHub integration: SSH/GPG keys, secrets, security, workflows"},
        {createSessionLogTab(), "Session Log",
         "ISO 8601 audit trail \u2014 PINs and secrets never recorded"},
    };
    for (const PageEntry& entry : pages) {
        const int index = tabWidget->addTab(entry.page, QString::fromUtf8(entry.title));
        tabWidget->setTabToolTip(index, QString::fromUtf8(entry.tooltip));
    }

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

void MainWindow::refreshDevices()
{
}

void MainWindow::updateStatusBar()
{
}
