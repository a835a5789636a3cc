// The "Password Import" page: a password manager's or browser's export file
// stored unchanged in the mounted vault, in a folder per source.
#include "ui/vault/VaultTab.h"

#include "vault/TessarilVault.h"

#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Each browser's own page of its saved passwords, where its export starts.
const QString kChromePasswords = QStringLiteral("chrome://password-manager/passwords");
const QString kFirefoxLogins = QStringLiteral("about:logins");
const QString kEdgePasswords = QStringLiteral("edge://settings/passwords");
const QString kBravePasswords = QStringLiteral("brave://settings/passwords");
const QString kVivaldiPasswords = QStringLiteral("vivaldi://settings/passwords");

struct ImportSource {
    QString title;
    QString description;
    QString dialogTitle;
    QString filter;
    QString folder;   // the vault folder the file is stored in
    QString doneLine;
};

QList<ImportSource> importSources()
{
    const QString csv = QStringLiteral("CSV (*.csv)");
    const QString from = QStringLiteral("CSV from ");
    return {
        {QStringLiteral("LastPass"), QStringLiteral("CSV export from LastPass vault"), QStringLiteral("LastPass CSV"),
         csv, QStringLiteral("passwords/lastpass"), QStringLiteral("LastPass CSV imported to vault.")},
        {QStringLiteral("1Password"), QStringLiteral("CSV or 1PIF export from 1Password"),
         QStringLiteral("1Password Export"), QStringLiteral("Exports (*.csv *.1pif *.json)"),
         QStringLiteral("passwords/1password"), QStringLiteral("1Password export imported to vault.")},
        {QStringLiteral("Google Chrome"), from + kChromePasswords, QStringLiteral("Chrome Passwords CSV"), csv,
         QStringLiteral("passwords/chrome"), QStringLiteral("Chrome passwords imported to vault.")},
        {QStringLiteral("Firefox"), from + kFirefoxLogins + QStringLiteral(" or logins.json"),
         QStringLiteral("Firefox Passwords"), QStringLiteral("Exports (*.csv *.json)"),
         QStringLiteral("passwords/firefox"), QStringLiteral("Firefox passwords imported to vault.")},
        {QStringLiteral("Safari / macOS Passwords"), QStringLiteral("CSV from System Settings > Passwords"),
         QStringLiteral("Safari Passwords CSV"), csv, QStringLiteral("passwords/safari"),
         QStringLiteral("Safari passwords imported to vault.")},
        {QStringLiteral("Microsoft Edge"), from + kEdgePasswords, QStringLiteral("Edge Passwords CSV"), csv,
         QStringLiteral("passwords/edge"), QStringLiteral("Edge passwords imported to vault.")},
        {QStringLiteral("Brave Browser"), from + kBravePasswords, QStringLiteral("Brave Passwords CSV"), csv,
         QStringLiteral("passwords/brave"), QStringLiteral("Brave passwords imported to vault.")},
        {QStringLiteral("Vivaldi"), from + kVivaldiPasswords, QStringLiteral("Vivaldi Passwords CSV"), csv,
         QStringLiteral("passwords/vivaldi"), QStringLiteral("Vivaldi passwords imported to vault.")},
        {QStringLiteral("Bitwarden"), QStringLiteral("JSON or CSV export from Bitwarden"),
         QStringLiteral("Bitwarden Export"), QStringLiteral("Exports (*.json *.csv)"),
         QStringLiteral("passwords/bitwarden"), QStringLiteral("Bitwarden export imported to vault.")},
    };
}

} // namespace

QWidget* VaultTab::createPasswordImportSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* importStatusLabel = new QLabel(page);
    importStatusLabel->setWordWrap(true);
    layout->addWidget(importStatusLabel);

    QList<QPushButton*> importButtons;
    const auto addImportRow = [&](const QString& title, const QString& description) {
        auto* group = new QGroupBox(title, page);
        auto* row = new QHBoxLayout(group);
        row->addWidget(new QLabel(description, group), 1);
        auto* button = new QPushButton(QStringLiteral("Import..."), group);
        row->addWidget(button);
        importButtons << button;
        layout->addWidget(group);
        return button;
    };
    for (const ImportSource& source : importSources()) {
        QPushButton* button = addImportRow(source.title, source.description);
        connect(button, &QPushButton::clicked, this, [this, source] {
            if (!vault->isMounted()) {
                QMessageBox::warning(this, QStringLiteral("Import"), QStringLiteral("Mount encrypted vault first."),
                                     QMessageBox::Ok);
                return;
            }
            const QString path = QFileDialog::getOpenFileName(this, source.dialogTitle, QString(), source.filter,
                                                              nullptr, QFileDialog::DontUseNativeDialog);
            // The store reports its own refusals.
            if (!path.isEmpty() && vault->storeFile(path, source.folder))
                appendLog(source.doneLine);
        });
    }
    followMountState(importStatusLabel, importButtons,
                     QStringLiteral("Vault mounted \u2014 ready for password import."),
                     QStringLiteral("Mount an encrypted vault before importing passwords."));
    layout->addStretch();
    return page;
}
