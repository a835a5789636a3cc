// The "Key Backup" page: the SSH folder and the GPG keyring into the mounted
// vault and back, the login keychain's export, and single files.
#include "ui/vault/VaultTab.h"
#include "app/StyleManager.h"

#include "core/ToolRunner.h"
#include "vault/FileCopy.h"
#include "vault/TessarilVault.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include <functional>

namespace {

struct Action {
    const char* text;
    const char* objectName;
    std::function<void()> run;
};

} // namespace

void VaultTab::followMountState(QLabel* label, const QList<QPushButton*>& buttons, const QString& mountedText,
                                const QString& unmountedText)
{
    // The first look comes from the application style sheet alone.
    const bool mounted = vault->isMounted();
    label->setText(mounted ? mountedText : unmountedText);
    label->setObjectName(mounted ? QStringLiteral("secureStatus") : QStringLiteral("warningStatus"));
    for (QPushButton* button : buttons)
        button->setEnabled(mounted);

    connect(vault, &TessarilVault::vaultMounted, this, [label, buttons, mountedText] {
        for (QPushButton* button : buttons)
            button->setEnabled(true);
        label->setText(mountedText);
        label->setObjectName(QStringLiteral("secureStatus"));
        label->setStyleSheet(QStringLiteral("font-weight: 600;"));
        StyleManager::setTone(label, StyleManager::Success);
    });
    connect(vault, &TessarilVault::vaultUnmounted, this, [label, buttons, unmountedText] {
        for (QPushButton* button : buttons)
            button->setEnabled(false);
        label->setText(unmountedText);
        label->setObjectName(QStringLiteral("warningStatus"));
        label->setStyleSheet(QString());
        StyleManager::setTone(label, StyleManager::Warning);
    });
}

QWidget* VaultTab::createKeyBackupSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* backupStatusLabel = new QLabel(page);
    backupStatusLabel->setWordWrap(true);
    layout->addWidget(backupStatusLabel);

    QList<QPushButton*> vaultButtons;
    const auto addGroup = [&](const char* title, const char* description, bool wrap,
                              const QList<Action>& actions) {
        auto* group = new QGroupBox(QLatin1String(title), page);
        auto* row = new QHBoxLayout(group);
        auto* label = new QLabel(QLatin1String(description), group);
        label->setWordWrap(wrap);
        row->addWidget(label, 1);
        for (const Action& action : actions) {
            auto* button = new QPushButton(QLatin1String(action.text), group);
            if (action.objectName)
                button->setObjectName(QLatin1String(action.objectName));
            connect(button, &QPushButton::clicked, this, action.run);
            row->addWidget(button);
            vaultButtons << button;
        }
        layout->addWidget(group);
    };
    // The engine reports each outcome, a refusal included, in the log pane.
    addGroup("SSH Keys (~/.ssh/)", "All SSH public and private keys, config files", true,
             {{"Backup", nullptr, [this] { vault->backupSshKeys(); }},
              {"Restore", "secondaryButton", [this] { vault->restoreSshKeys(); }}});
    addGroup("GPG Keyring (~/.gnupg/)", "Secret keys, public keys, trust database", true,
             {{"Backup", nullptr, [this] { vault->backupGpgKeyring(); }},
              {"Restore", "secondaryButton", [this] { vault->restoreGpgKeyring(); }}});
    addGroup("macOS Keychain", "Export login keychain items to vault", false,
             {{"Backup Keychain", nullptr, [this] { exportKeychain(); }}});
    addGroup("Arbitrary Files", "Store any sensitive file in the vault", false,
             {{"Store File...", nullptr, [this] { storeChosenFile(); }}});
    layout->addStretch();

    followMountState(backupStatusLabel, vaultButtons,
                     QStringLiteral("Vault mounted \u2014 ready for backup/restore."),
                     QStringLiteral("Mount a vault to enable backup/restore."));
    return page;
}

void VaultTab::exportKeychain()
{
    if (!vault->isMounted()) {
        warn(QStringLiteral("Mount vault first."));
        return;
    }
    // The engine says why when the folder would lead out of the vault.
    const QString folder = vault->vaultFolder(QStringLiteral("certificates"));
    if (folder.isEmpty())
        return;
    const QString target = folder + QStringLiteral("/login-keychain.p12");
    // security creates its file with the default mode and may leave a cut
    // one behind: it writes into a private folder beside the target, and
    // only a whole export takes the place of an earlier one.
    QTemporaryDir work(folder + QStringLiteral("/.keychain-XXXXXX"));
    const QString written = work.path() + QStringLiteral("/login-keychain.p12");
    bool exported = false;
    if (work.isValid()) {
        ToolRunner::Options options;
        options.finishTimeoutMs = keychainTimeoutMs;
        const ToolRunner::Result result = ToolRunner::run(
            ToolRunner::findTool(QStringLiteral("security")),
            {QStringLiteral("export-keychain"), QStringLiteral("-t"), QStringLiteral("all"), QStringLiteral("-f"),
             QStringLiteral("pkcs12"), QStringLiteral("-P"), QString(), QStringLiteral("-o"), written,
             QDir::homePath() + QStringLiteral("/Library/Keychains/login.keychain-db")},
            options);
        exported = result.succeeded() && QFileInfo(written).isFile()
            && QFile::setPermissions(written, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
            && FileCopy::putInPlace(written, target);
    }
    appendLog(exported ? QStringLiteral("Keychain exported to vault.")
                       : QStringLiteral("Keychain export failed \u2014 may need Full Disk Access."));
}

void VaultTab::storeChosenFile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Store in Vault"), QString(), QString(),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    vault->storeFile(path, QStringLiteral("files"));
}
