// The "Vault Management" page: the list of known vaults and the create form.
#include "ui/vault/VaultTab.h"
#include "app/StyleManager.h"

#include "config/UserProfile.h"
#include "ui/widgets/ButtonFit.h"
#include "ui/widgets/PageFill.h"
#include "vault/FileCopy.h"
#include "vault/TessarilVault.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QPushButton* makeButton(const QString& text, const char* objectName, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    if (objectName)
        button->setObjectName(QString::fromLatin1(objectName));
    return button;
}

// What the list shows of the vaults, read off the window's thread: a vault on
// disk is a sparse-bundle folder, whose size is what all its files hold.
struct ListedVault {
    QString path;
    bool exists = false;
    qint64 bytes = 0;
};

struct VaultListing {
    QList<ListedVault> vaults;
    QStringList volumes;
};

// Vault volumes in the volumes folder ("Tessaril*", hidden entries left out).
QStringList vaultVolumes()
{
    QDir root(TessarilVault::volumesRoot());
    QStringList found;
    for (const QString& name : root.entryList({QStringLiteral("Tessaril*")}, QDir::Dirs | QDir::NoDotAndDotDot,
                                              QDir::Name | QDir::IgnoreCase))
        found << root.filePath(name);
    return found;
}

} // namespace

QWidget* VaultTab::createManagementSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* listGroup = new QGroupBox(QStringLiteral("My Vaults"), page);
    auto* listLayout = new QVBoxLayout(listGroup);
    vaultList = new QTreeWidget(listGroup);
    vaultList->setObjectName(QStringLiteral("vaultList"));
    vaultList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Location"), QStringLiteral("Size"),
                                QStringLiteral("Status")});
    vaultList->setAlternatingRowColors(true);
    vaultList->setRootIsDecorated(false);
    vaultList->setSelectionMode(QAbstractItemView::SingleSelection);
    vaultList->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView* header = vaultList->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    vaultList->setColumnWidth(0, 160);
    vaultList->setColumnWidth(2, 70);
    vaultList->setColumnWidth(3, 80);
    connect(vaultList, &QTreeWidget::customContextMenuRequested, this, &VaultTab::onVaultContextMenu);
    connect(vaultList, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { onVaultDoubleClicked(item); });
    listLayout->addWidget(vaultList);

    auto* buttons = new QHBoxLayout;
    QPushButton* mount = makeButton(QStringLiteral("Mount"), nullptr, listGroup);
    connect(mount, &QPushButton::clicked, this, [this] {
        if (QTreeWidgetItem* item = vaultList->currentItem())
            mountVaultByPath(item->data(0, Qt::UserRole).toString());
    });
    QPushButton* unmount = makeButton(QStringLiteral("Unmount"), "secondaryButton", listGroup);
    connect(unmount, &QPushButton::clicked, this, &VaultTab::unmountVault);
    QPushButton* add = makeButton(QStringLiteral("Add Existing..."), "secondaryButton", listGroup);
    connect(add, &QPushButton::clicked, this, &VaultTab::onAddExistingVault);
    QPushButton* remove = makeButton(QStringLiteral("Remove"), "dangerButton", listGroup);
    connect(remove, &QPushButton::clicked, this, [this] {
        if (QTreeWidgetItem* item = vaultList->currentItem()) {
            if (!userProfile->removeVaultPath(item->data(0, Qt::UserRole).toString()))
                appendLog(QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
            refreshVaultList();
        }
    });
    for (QPushButton* button : {mount, unmount, add, remove})
        buttons->addWidget(button);
    buttons->addStretch();
    listLayout->addLayout(buttons);
    layout->addWidget(listGroup);

    auto* createGroup = new QGroupBox(QStringLiteral("Create New Vault"), page);
    auto* createLayout = new QVBoxLayout(createGroup);
    auto* grid = new QGridLayout;

    grid->addWidget(new QLabel(QStringLiteral("Vault File:"), createGroup), 0, 0);
    vaultPathEdit = new QLineEdit(TessarilVault::defaultPath(), createGroup);
    grid->addWidget(vaultPathEdit, 0, 1);
    QPushButton* browse = makeButton(QStringLiteral("Browse..."), "secondaryButton", createGroup);
    fitButtonToText(browse, 80);
    connect(browse, &QPushButton::clicked, this, &VaultTab::onBrowseVaultPath);
    grid->addWidget(browse, 0, 2);

    grid->addWidget(new QLabel(QStringLiteral("Size:"), createGroup), 1, 0);
    sizeCombo = new QComboBox(createGroup);
    sizeCombo->addItem(QStringLiteral("64 MB \u2014 Minimal"), 64);
    sizeCombo->addItem(QStringLiteral("128 MB \u2014 Small keyring"), 128);
    sizeCombo->addItem(QStringLiteral("256 MB \u2014 Standard (recommended)"), 256);
    sizeCombo->addItem(QStringLiteral("512 MB \u2014 Moderate + certs"), 512);
    sizeCombo->addItem(QStringLiteral("1 GB \u2014 Large"), 1024);
    sizeCombo->addItem(QStringLiteral("2 GB \u2014 Enterprise"), 2048);
    sizeCombo->addItem(QStringLiteral("4 GB \u2014 Maximum"), 4096);
    sizeCombo->setCurrentIndex(2);
    grid->addWidget(sizeCombo, 1, 1, 1, 2);

    grid->addWidget(new QLabel(QStringLiteral("Filesystem:"), createGroup), 2, 0);
    auto* filesystemCombo = new QComboBox(createGroup);
    filesystemCombo->addItem(QStringLiteral("APFS \u2014 macOS only"), QStringLiteral("APFS"));
    filesystemCombo->addItem(QStringLiteral("HFS+ \u2014 macOS only"), QStringLiteral("HFS+"));
    filesystemCombo->addItem(QStringLiteral("ExFAT \u2014 macOS + Windows + Linux"), QStringLiteral("ExFAT"));
    filesystemCombo->addItem(QStringLiteral("FAT32 \u2014 Universal (max 4 GB per file)"), QStringLiteral("FAT32"));
    filesystemCombo->setCurrentIndex(0);
    grid->addWidget(filesystemCombo, 2, 1);
    auto* filesystemHint = new QLabel(createGroup);
    filesystemHint->setWordWrap(true);
    filesystemHint->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(filesystemHint, StyleManager::Muted);
    grid->addWidget(filesystemHint, 2, 2);
    connect(filesystemCombo, &QComboBox::currentIndexChanged, this,
            [this, filesystemCombo, filesystemHint] { onFilesystemChanged(filesystemCombo, filesystemHint); });
    onFilesystemChanged(filesystemCombo, filesystemHint);

    grid->addWidget(new QLabel(QStringLiteral("Auth:"), createGroup), 3, 0);
    authCombo = new QComboBox(createGroup);
    authCombo->addItem(QStringLiteral("Password Only"), QStringLiteral("password"));
    authCombo->addItem(QStringLiteral("FIDO2 hmac-secret (any CTAP2 key)"), QStringLiteral("fido2-hmac"));
    authCombo->addItem(QStringLiteral("YubiKey HMAC-SHA1 Challenge-Response"), QStringLiteral("yk-hmac"));
    authCombo->addItem(QStringLiteral("PIV Touch-to-Decrypt"), QStringLiteral("piv-touch"));
    authCombo->addItem(QStringLiteral("Password + Hardware Key (dual factor)"), QStringLiteral("dual"));
    authCombo->setCurrentIndex(0);
    grid->addWidget(authCombo, 3, 1, 1, 2);

    grid->addWidget(new QLabel(QStringLiteral("Encryption:"), createGroup), 4, 0);
    auto* encryption = new QLabel(QStringLiteral("AES-256-XTS (FIPS 140-3)"), createGroup);
    encryption->setObjectName(QStringLiteral("secureStatus"));
    grid->addWidget(encryption, 4, 1, 1, 2);
    createLayout->addLayout(grid);

    auto* compliance = new QLabel(
        QStringLiteral("PCI DSS 4.0 | SOC 2 | ISO 27001/27017/27018/27701 | FIPS 140-3 | NIST 800-171 | "
                       "HIPAA | FedRAMP | GDPR Art.32"),
        createGroup);
    compliance->setWordWrap(true);
    compliance->setStyleSheet(QStringLiteral("font-size: 10px;"));
    StyleManager::setTone(compliance, StyleManager::Muted);
    createLayout->addWidget(compliance);

    auto* createRow = new QHBoxLayout;
    QPushButton* createButton = makeButton(QStringLiteral("Create Vault"), nullptr, createGroup);
    connect(createButton, &QPushButton::clicked, this, [this, filesystemCombo] { onCreateVault(filesystemCombo); });
    createRow->addWidget(createButton);
    createRow->addStretch();
    createLayout->addLayout(createRow);
    layout->addWidget(createGroup);

    // The vault sizes are summed when the page is first shown: building the
    // window reads no vault folder.
    vaultFill = new PageFill(page, vaultList);
    vaultFill->setFill([this] { fillVaultList(); });
    connect(vaultFill, &PageFill::logLine, this, &VaultTab::appendLog);
    return page;
}

void VaultTab::onFilesystemChanged(QComboBox* filesystemCombo, QLabel* filesystemHint)
{
    const QString fs = filesystemCombo->currentData().toString();
    QString hint;
    if (fs == QLatin1String("APFS"))
        hint = QStringLiteral("macOS 10.13+ only");
    else if (fs == QLatin1String("HFS+"))
        hint = QStringLiteral("macOS native, read-only on Linux");
    else if (fs == QLatin1String("ExFAT"))
        hint = QStringLiteral("macOS + Windows + Linux (recommended for portability)");
    else if (fs == QLatin1String("FAT32"))
        hint = QStringLiteral("All platforms (4 GB file size limit)");
    filesystemHint->setText(hint);
}

void VaultTab::refreshVaultList()
{
    vaultFill->refresh();
}

void VaultTab::fillVaultList()
{
    const QString candidates[] = {QDir::homePath() + QStringLiteral("/.ostrevan/vault.qvimgv"),
                                  UserProfile::configDir() + QStringLiteral("/vault.qvimgv")};
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate) && !userProfile->vaultPaths().contains(candidate)
            && !userProfile->addVaultPath(candidate))
            appendLog(QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
    }

    const QStringList paths = userProfile->vaultPaths();
    vaultFill->inWorker<VaultListing>(
        [paths] {
            VaultListing listing;
            for (const QString& path : paths) {
                const bool exists = QFileInfo::exists(path);
                listing.vaults << ListedVault{path, exists, exists ? FileCopy::bytesOf(path) : 0};
            }
            listing.volumes = vaultVolumes();
            return listing;
        },
        [this](VaultListing listing) {
            vaultList->clear();
            // Every vault attaches at the same mount point, so the volume
            // there tells nothing about which vault it is: only the one this
            // engine attached, and still holds, is known to be mounted.
            const VaultInfo info = vault->info();
            const bool engineMounted = info.mounted && vault->isMounted();
            for (const ListedVault& listed : listing.vaults) {
                const QFileInfo file(listed.path);
                QString status;
                StyleManager::Tone tone = StyleManager::Muted;
                QString size = QStringLiteral("\u2014");
                if (!listed.exists) {
                    status = QStringLiteral("Missing");
                    tone = StyleManager::Danger;
                } else {
                    size = QStringLiteral("%1 MB").arg(listed.bytes / (1024 * 1024));
                    if (engineMounted && info.path == listed.path) {
                        status = QStringLiteral("Mounted");
                        tone = StyleManager::Success;
                    } else {
                        status = QStringLiteral("Locked");
                        tone = StyleManager::Muted;
                    }
                }
                auto* item = new QTreeWidgetItem(vaultList);
                item->setText(0, file.fileName());
                item->setData(0, Qt::UserRole, listed.path);
                item->setText(1, file.absolutePath());
                item->setText(2, size);
                item->setText(3, status);
                StyleManager::setItemTone(item, 3, tone);
            }
            noteForeignVolume(listing.volumes);
        });
}

void VaultTab::noteForeignVolume(const QStringList& volumes)
{
    const VaultInfo info = vault->info();
    QString foreign;
    for (const QString& volume : volumes) {
        if (!(info.mounted && volume == info.mountPoint)) {
            foreign = volume;
            break;
        }
    }
    if (!logView || foreign == notedForeignVolume)
        return;
    notedForeignVolume = foreign;
    if (!foreign.isEmpty())
        appendLog(QStringLiteral("A vault volume is mounted at %1 that this program did not mount.").arg(foreign));
}
