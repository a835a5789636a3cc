// The "Cloud Credentials" page (provider keys kept inside the mounted vault)
// and the "Cloud Backup" page (the vault image copied into the local folder
// of a cloud drive).
#include "ui/vault/VaultTab.h"
#include "app/StyleManager.h"

#include "core/LogText.h"
#include "core/SecureZero.h"
#include "vault/CloudFolders.h"
#include "vault/FileCopy.h"
#include "vault/TessarilVault.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QStorageInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// One cloud drive's local folder, as found when the page is built.
struct CloudDrive {
    QString name;
    QString path;
    bool detected = false;
};

QList<CloudDrive> findCloudDrives()
{
    const QString home = QDir::homePath();
    const QString storage = home + QLatin1String(CloudFolders::cloudStorage);
    const auto atPath = [](const char* name, const QString& path) {
        return CloudDrive{QLatin1String(name), path, QFileInfo(path).isDir()};
    };
    const auto byPattern = [&storage](const char* name, const QString& pattern) {
        const QString path = CloudFolders::firstMatchingDir(storage, pattern);
        return CloudDrive{QLatin1String(name), path, !path.isEmpty()};
    };
    return {atPath("iCloud Drive", home + QLatin1String(CloudFolders::iCloudDrive)),
            byPattern("Google Drive", QStringLiteral("GoogleDrive-*")),
            byPattern("OneDrive", QStringLiteral("OneDrive-*")),
            atPath("Dropbox", home + QStringLiteral("/Dropbox"))};
}

const QString kBackupName = QStringLiteral("/TessarilVault-backup.qvimgv");
const QString kSideSuffix = QStringLiteral(".qvauth");

} // namespace

QWidget* VaultTab::createCloudCredsSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    credentialTree = new QTreeWidget(page);
    credentialTree->setObjectName(QStringLiteral("credentialTree"));
    credentialTree->setHeaderLabels({QStringLiteral("Provider"), QStringLiteral("Profile"),
                                     QStringLiteral("Account ID"), QStringLiteral("Access Key"),
                                     QStringLiteral("Region")});
    credentialTree->setAlternatingRowColors(true);
    credentialTree->setRootIsDecorated(false);
    credentialTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    credentialTree->setColumnWidth(0, 80);
    layout->addWidget(credentialTree);

    auto* buttons = new QHBoxLayout;
    auto* addCredentialButton = new QPushButton(QStringLiteral("Add Credential..."), page);
    auto* refresh = new QPushButton(QStringLiteral("Refresh"), page);
    refresh->setObjectName(QStringLiteral("secondaryButton"));
    auto* deleteCredentialButton = new QPushButton(QStringLiteral("Delete"), page);
    deleteCredentialButton->setObjectName(QStringLiteral("dangerButton"));
    for (QPushButton* button : {addCredentialButton, refresh, deleteCredentialButton})
        buttons->addWidget(button);
    buttons->addStretch();
    layout->addLayout(buttons);

    const bool mounted = vault->isMounted();
    addCredentialButton->setEnabled(mounted);
    deleteCredentialButton->setEnabled(mounted);
    connect(addCredentialButton, &QPushButton::clicked, this, &VaultTab::addCredential);
    connect(refresh, &QPushButton::clicked, this, [this] {
        credentialTree->clear();
        if (vault->isMounted())
            fillCredentialTree();
    });
    connect(deleteCredentialButton, &QPushButton::clicked, this, &VaultTab::deleteCredential);
    // The rows stay when the vault goes: only Refresh empties the list.
    for (QPushButton* button : {addCredentialButton, deleteCredentialButton}) {
        connect(vault, &TessarilVault::vaultMounted, button, [button] { button->setEnabled(true); });
        connect(vault, &TessarilVault::vaultUnmounted, button, [button] { button->setEnabled(false); });
    }
    return page;
}

void VaultTab::fillCredentialTree()
{
    credentialTree->clear();
    QList<CloudCredential> credentials = vault->loadCloudCredentials();
    for (const CloudCredential& c : credentials) {
        auto* item = new QTreeWidgetItem(credentialTree, {c.provider.toUpper(), c.profile, c.accountId,
                                                          c.accessKeyId, c.region});
        // The exact key: the upper-cased text cannot find "AWS" and "aws" apart.
        item->setData(0, Qt::UserRole, c.provider);
    }
    wipeSecrets(credentials);
}

void VaultTab::addCredential()
{
    if (!vault->isMounted()) {
        warn(QStringLiteral("Mount an encrypted vault first."));
        return;
    }
    bool ok = false;
    CloudCredential credential;
    credential.provider = QInputDialog::getItem(
        this, QStringLiteral("Cloud Credential"), QStringLiteral("Provider:"),
        {QStringLiteral("aws"), QStringLiteral("azure"), QStringLiteral("gcp"), QStringLiteral("digitalocean"),
         QStringLiteral("custom")},
        0, false, &ok);
    if (!ok)
        return;
    const auto ask = [this, &ok](const QString& title, const QString& label, const QString& preset,
                                 QLineEdit::EchoMode echo = QLineEdit::Normal) {
        return QInputDialog::getText(this, title, label, echo, preset, &ok);
    };
    credential.profile = ask(QStringLiteral("Profile"), QStringLiteral("Profile name:"), QStringLiteral("default"));
    if (!ok)
        return;
    credential.accountId = ask(QStringLiteral("Account"), QStringLiteral("Account/Subscription ID:"), QString());
    if (!ok)
        return;
    credential.accessKeyId = ask(QStringLiteral("Key"), QStringLiteral("Access Key / Client ID:"), QString());
    if (!ok)
        return;
    QString secret = ask(QStringLiteral("Secret"), QStringLiteral("Secret Key / Password:"), QString(),
                         QLineEdit::Password);
    WipeOnExit wipeSecret(secret);
    if (!ok)
        return;
    credential.region = ask(QStringLiteral("Region"), QStringLiteral("Region:"), QStringLiteral("us-east-1"));
    if (!ok)
        credential.region.clear();
    credential.secretKey = secret;
    vault->saveCloudCredential(credential);
    secureZero(credential.secretKey);
    fillCredentialTree();
}

void VaultTab::deleteCredential()
{
    QTreeWidgetItem* item = credentialTree->currentItem();
    if (!item)
        return;
    const QString provider = item->data(0, Qt::UserRole).toString();
    const QString profile = item->text(1);
    const auto answer = QMessageBox::question(this, QStringLiteral("Delete Credential"),
                                              QStringLiteral("Remove %1 / %2?").arg(provider, profile),
                                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes || !vault->removeCloudCredential(provider, profile))
        return;
    delete item;
    appendLog(QStringLiteral("Deleted credential: %1 / %2").arg(provider, profile));
}

QWidget* VaultTab::createCloudBackupSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* intro = new QLabel(QStringLiteral("Backup your encrypted .qvimgv vault to cloud storage.\n"
                                            "The vault is already encrypted \u2014 safe to store in cloud."),
                             page);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    for (const CloudDrive& drive : findCloudDrives()) {
        auto* group = new QGroupBox(drive.name, page);
        auto* row = new QHBoxLayout(group);
        auto* label = new QLabel(drive.detected ? QStringLiteral("Detected: ") + drive.path
                                                : QStringLiteral("Not detected"),
                                 group);
        label->setWordWrap(true);
        StyleManager::setTone(label, drive.detected ? StyleManager::Success : StyleManager::Muted);
        row->addWidget(label, 1);
        auto* button = new QPushButton(QStringLiteral("Backup Vault"), group);
        button->setEnabled(drive.detected);
        if (drive.detected)
            connect(button, &QPushButton::clicked, this, [this, path = drive.path] { backupVaultToCloud(path); });
        row->addWidget(button);
        layout->addWidget(group);
    }
    layout->addStretch();
    return page;
}

void VaultTab::backupVaultToCloud(const QString& cloudFolder)
{
    const QString vaultPath = vaultPathEdit ? vaultPathEdit->text() : TessarilVault::defaultPath();
    const QFileInfo source(vaultPath);
    if (vaultPath.isEmpty() || !source.exists()) {
        appendLog(QStringLiteral("No vault file to backup."));
        return;
    }
    // hdiutil keeps writing to an attached image: a copy taken meanwhile may
    // not open.
    if (vault->isMounted() && QFileInfo(vault->info().path) == source
        && QMessageBox::question(this, QStringLiteral("Cloud Backup"),
                                 QStringLiteral("The vault is mounted; a copy made now may be incomplete. "
                                                "Back up anyway?"),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
        return;

    const QString dest = cloudFolder + kBackupName;
    // A vault is a sparse-bundle folder; one bound to a key cannot be opened
    // without its side file, so the copy carries it along (and drops a stale
    // one left by an earlier backup of another vault). Image and side file
    // are one backup: both are copied whole before either replaces the
    // earlier pair, and a failure leaves that pair as it was.
    const QString side = vaultPath + kSideSuffix;
    const QFileInfo sideInfo(side);

    // The new pair is written beside the earlier one, which goes only once
    // the new one is whole: the folder must hold both for a moment. Told
    // before anything is written, rather than as a cut copy part way.
    const qint64 needed = FileCopy::bytesOf(vaultPath) + (sideInfo.isFile() ? sideInfo.size() : 0);
    const qint64 available = cloudFreeBytes ? cloudFreeBytes(cloudFolder) : QStorageInfo(cloudFolder).bytesAvailable();
    if (available >= 0 && needed > available) {
        const QLocale c = QLocale::c();
        const auto size = [&c](qint64 bytes) { return c.formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat); };
        QString line = QStringLiteral("Not enough space in %1: the backup needs %2, %3 is free.")
                           .arg(LogText::escaped(cloudFolder), size(needed), size(available));
        const qint64 earlier = FileCopy::bytesOf(dest) + FileCopy::bytesOf(dest + kSideSuffix);
        if (earlier > 0)
            line += QStringLiteral(" The earlier backup there (%1) stays until a new one is whole.").arg(size(earlier));
        appendLog(QStringLiteral("Backup failed."));
        appendLog(line);
        return;
    }

    int failed = -1;
    QString why;
    bool copied = false;
    if (sideInfo.exists() && !sideInfo.isFile()) {
        failed = 1;
        why = QStringLiteral("not a readable file: ") + side;
    } else {
        copied = FileCopy::replaceTogether(
            {{vaultPath, dest}, {sideInfo.exists() ? side : QString(), dest + kSideSuffix}}, &failed, &why);
    }
    if (!copied) {
        appendLog(QStringLiteral("Backup failed."));
        const QString what = failed == 1 ? QStringLiteral("Side file") : QStringLiteral("Vault image");
        appendLog(what + QStringLiteral(" not backed up: ") + LogText::escaped(why));
        return;
    }
    appendLog(QStringLiteral("Vault backed up to: ") + dest);
    Q_EMIT logRequest(QStringLiteral("Cloud Backup"), cloudFolder.section(QLatin1Char('/'), -1), true, dest);
}
