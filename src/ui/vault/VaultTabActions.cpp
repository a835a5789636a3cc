// The vault list's actions: its context menu, the double-click, the buttons
// under it and the create form's "Browse...": mount, unmount, re-key, rename,
// show in the Finder, add to and remove from the list.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "core/LogText.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"
#include "vault/TessarilVault.h"
#include "vault/VaultAuthFile.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTreeWidget>

namespace {

const QString kMounted = QStringLiteral("Mounted");

QString rowPath(const QTreeWidgetItem* item)
{
    return item ? item->data(0, Qt::UserRole).toString() : QString();
}

void wipe(std::initializer_list<QString*> secrets)
{
    for (QString* secret : secrets)
        secureZero(*secret);
}

// A vault image is a sparse-bundle folder, under any name (create and
// Rename make names without the suffix). The toolkit's file dialog opens any
// folder it is asked to accept, so it takes a bundle as the file it stands
// for, and opens every other folder as before.
class VaultFileDialog : public QFileDialog
{
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList chosen = selectedFiles();
        if (chosen.size() == 1 && TessarilVault::isVaultImage(chosen.first())) {
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

QMenu* VaultTab::buildVaultMenu(QTreeWidgetItem* item)
{
    const QString path = rowPath(item);
    const bool mounted = item->text(3) == kMounted;
    const bool exists = QFileInfo::exists(path);
    const QString shownName = item->text(0);

    auto* menu = new QMenu(this);
    if (exists && !mounted)
        menu->addAction(QStringLiteral("Mount"), this, [this, path] { mountVaultByPath(path); });
    if (mounted)
        menu->addAction(QStringLiteral("Unmount"), this, [this] { unmountVault(); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Change Password..."), this,
                    [this, path, mounted] { changeVaultPassword(path, mounted); });
    menu->addAction(QStringLiteral("Rename..."), this,
                    [this, path, shownName, mounted] { renameVault(path, shownName, mounted); });
    menu->addAction(QStringLiteral("Show in Finder"), this, [path] {
        ToolRunner::startDetached(ToolRunner::findTool(QStringLiteral("open")), {QStringLiteral("-R"), path});
    });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Remove from List"), this, [this, path] {
        const bool saved = userProfile->removeVaultPath(path);
        refreshVaultList();
        appendLog(saved ? QStringLiteral("Vault removed from list (file not deleted).") : QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
    });
    return menu;
}

void VaultTab::onVaultContextMenu(const QPoint& point)
{
    QTreeWidgetItem* item = vaultList->itemAt(point);
    if (!item)
        return;
    QMenu* menu = buildVaultMenu(item);
    menu->exec(vaultList->viewport()->mapToGlobal(point));
    menu->deleteLater();
}

void VaultTab::onVaultDoubleClicked(QTreeWidgetItem* item)
{
    if (!item)
        return;
    if (item->text(3) == kMounted)
        unmountVault();
    else
        mountVaultByPath(rowPath(item));
}

void VaultTab::unmountVault()
{
    vault->unmount();
    refreshVaultList();
}

void VaultTab::changeVaultPassword(const QString& path, bool mounted)
{
    if (!QFileInfo::exists(path)) {
        warn(QStringLiteral("Vault file not found."));
        return;
    }
    // A hardware vault's image pass phrase is derived, never typed: a typed
    // one would leave the side file naming a method that no longer opens it.
    if (VaultAuthFile::read(path).type != QLatin1String("password")) {
        warn(QStringLiteral("Password change is available for password vaults only."));
        return;
    }
    const QString title = QStringLiteral("Re-Key Vault");
    bool ok = false;
    QString current = askSecret(title, QStringLiteral("Current password:"), &ok);
    if (!ok || current.isEmpty()) {
        wipe({&current});
        return;
    }
    QString fresh = askSecret(title, QStringLiteral("New password (min 12 chars):"), &ok);
    if (!ok || fresh.size() < 12) {
        wipe({&current, &fresh});
        warn(QStringLiteral("Min 12 characters."));
        return;
    }
    QString confirmation = askSecret(title, QStringLiteral("Confirm new password:"), &ok);
    if (!ok || confirmation != fresh) {
        wipe({&current, &fresh, &confirmation});
        warn(QStringLiteral("Passwords do not match."));
        return;
    }
    if (mounted) {
        wipe({&current, &fresh, &confirmation});
        QMessageBox::information(this, QStringLiteral("Vault"),
                                 QStringLiteral("Please unmount the vault before changing the password."),
                                 QMessageBox::Ok);
        return;
    }

    ToolRunner::Options options;
    options.startTimeoutMs = 5000;
    options.finishTimeoutMs = rekeyTimeoutMs;
    // hdiutil reads the old pass phrase, the new one and the new one again.
    for (const QString* line : {&current, &fresh, &fresh}) {
        QByteArray bytes = line->toUtf8();
        options.standardInput.append(bytes).append('\n');
        secureZero(bytes);
    }
    wipe({&current, &fresh, &confirmation});
    const ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("hdiutil")), {QStringLiteral("chpass"), path}, options);
    secureZero(options.standardInput);

    if (result.succeeded()) {
        appendLog(QStringLiteral("Vault password changed: ") + QFileInfo(path).fileName());
        Q_EMIT logRequest(QStringLiteral("Vault Re-Key"), QStringLiteral("Vault"), true, path);
    } else {
        appendLog(QStringLiteral("Re-key failed: ") + result.stdErrText());
    }
}

void VaultTab::renameVault(const QString& path, const QString& shownName, bool mounted)
{
    const QString failed = QStringLiteral("Rename failed \u2014 vault may be mounted.");
    // The engine keeps the mounted vault's path; moving it under the engine
    // would leave that path pointing at nothing.
    if (mounted) {
        warn(failed);
        return;
    }
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Rename Vault"), QStringLiteral("Display name:"),
                                               QLineEdit::Normal, shownName, &ok);
    if (!ok || name.isEmpty())
        return;

    const QFileInfo old(path);
    QString newPath = old.absolutePath() + QLatin1Char('/') + name;
    const QString suffix = old.suffix();
    if (!suffix.isEmpty() && !newPath.endsWith(QLatin1Char('.') + suffix))
        newPath += QLatin1Char('.') + suffix;

    // The side file goes along, or a hardware vault would read as a
    // password vault under its new name.
    const QString oldSide = VaultAuthFile::pathFor(path);
    const QString newSide = VaultAuthFile::pathFor(newPath);
    const bool hasSide = QFileInfo::exists(oldSide);
    if (QFileInfo::exists(newPath) || (hasSide && QFileInfo::exists(newSide)) || !QDir().rename(path, newPath)) {
        warn(failed);
        return;
    }
    if (hasSide && !QDir().rename(oldSide, newSide)) {
        QDir().rename(newPath, path);
        warn(failed);
        return;
    }
    const bool removed = userProfile->removeVaultPath(path);
    if (!userProfile->addVaultPath(newPath) || !removed)
        appendLog(QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
    appendLog(QStringLiteral("Vault renamed: ") + name);
    refreshVaultList();
}

void VaultTab::onAddExistingVault()
{
    VaultFileDialog dialog(this, QStringLiteral("Add Existing Vault"), QDir::homePath());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setNameFilters({QStringLiteral("Tessaril Vault (*.qvimgv)"), QStringLiteral("All Files (*)")});
    dialog.setFilter(QDir::AllEntries | QDir::AllDirs | QDir::Hidden | QDir::NoDotAndDotDot);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QString path = dialog.selectedFiles().value(0);
    if (path.isEmpty())
        return;
    QString why;
    if (!TessarilVault::isVaultImage(path, &why)) {
        warn(QStringLiteral("Not added: ") + why);
        return;
    }
    if (!userProfile->addVaultPath(path))
        appendLog(QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
    refreshVaultList();
    appendLog(QStringLiteral("Added vault: ") + LogText::escaped(path));
}

void VaultTab::onBrowseVaultPath()
{
    QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Vault Location"), vaultPathEdit->text(),
                                                QStringLiteral("Tessaril Vault (*.qvimgv)"), nullptr,
                                                QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;
    if (!path.endsWith(QLatin1String(".qvimgv")))
        path += QStringLiteral(".qvimgv");
    vaultPathEdit->setText(path);
}
