// The "Key Backup" page: the SSH folder and the GPG keyring into the mounted
// vault and back, the login keychain's export, and single files.
#include "ui/vault/VaultTab.h"
#include "app/StyleManager.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "vault/TessarilVault.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
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
    const QString name = QStringLiteral("login-keychain.p12");
    const QString item = QStringLiteral("certificates/") + name;
    const QString toolFailed = QStringLiteral("Keychain export failed \u2014 may need Full Disk Access.");
    QString why;
    const PrivateFiles::Folder folder = vault->vaultFolder(QStringLiteral("certificates"), &why);
    if (!folder.isValid()) {
        appendLog(QStringLiteral("ERROR: %1 not written: %2").arg(item, why));
        return;
    }
    // security writes by path, creates its file with the default mode and
    // may leave a cut one behind: it writes into a private folder made inside
    // the vault's, and only a whole export takes the place of an earlier one,
    // moved there through the folder already open.
    QString workName;
    const PrivateFiles::Folder work = folder.makeTemporary(QStringLiteral(".keychain-"), &workName, &why);
    if (!work.isValid()) {
        vault->tellNotWritten(folder, item, name, why);
        return;
    }
    ToolRunner::Options options;
    options.finishTimeoutMs = keychainTimeoutMs;
    const ToolRunner::Result result = ToolRunner::run(
        ToolRunner::findTool(QStringLiteral("security")),
        {QStringLiteral("export-keychain"), QStringLiteral("-t"), QStringLiteral("all"), QStringLiteral("-f"),
         QStringLiteral("pkcs12"), QStringLiteral("-P"), QString(), QStringLiteral("-o"),
         work.path() + QLatin1Char('/') + name,
         QDir::homePath() + QStringLiteral("/Library/Keychains/login.keychain-db")},
        options);
    // What security reports decides first: a file it left after a failure
    // may be cut short.
    bool toolDone = result.succeeded();
    if (!toolDone)
        why = TessarilVault::runFailure(QStringLiteral("security"), result);
    else if (!work.modified(name).isValid()) {
        toolDone = false;
        why = QStringLiteral("security wrote no export");
    }
    const bool exported =
        toolDone && folder.take(work, name, name, QFileDevice::ReadOwner | QFileDevice::WriteOwner, &why);
    folder.removeTemporary(workName);
    if (exported) {
        appendLog(QStringLiteral("Keychain exported to vault."));
        return;
    }
    if (!toolDone)
        appendLog(toolFailed);
    vault->tellNotWritten(folder, item, name, why);
}

void VaultTab::storeChosenFile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Store in Vault"), QString(), QString(),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    vault->storeFile(path, QStringLiteral("files"));
}
