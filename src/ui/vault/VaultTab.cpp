#include "ui/vault/VaultTab.h"

#include "core/LogView.h"
#include "piv/OpenscBridge.h"
#include "ui/widgets/ButtonFit.h"
#include "ui/widgets/SectionTitle.h"
#include "vault/TessarilVault.h"

#include <QLabel>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

VaultTab::VaultTab(TessarilVault* vault, FidoDeviceManager* fido, UserProfile* profile,
                   QWidget* parent)
    : QWidget(parent)
    , vault(vault)
    , fidoManager(fido)
    , userProfile(profile)
    , pivBridge(new OpenscBridge(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);

    QLabel* title = makeSectionTitle(QStringLiteral("Tessaril Secure Vault (.qvimgv)"), this);
    title->setFixedHeight(22);
    layout->addWidget(title);

    auto* pages = new QTabWidget(this);
    pages->addTab(scrollablePage(createManagementSubTab()), QStringLiteral("Vault Management"));
    pages->addTab(createKeyBackupSubTab(), QStringLiteral("Key Backup"));
    pages->addTab(createCloudCredsSubTab(), QStringLiteral("Cloud Credentials"));
    pages->addTab(scrollablePage(createPasswordImportSubTab()), QStringLiteral("Password Import"));
    pages->addTab(createCloudBackupSubTab(), QStringLiteral("Cloud Backup"));
    layout->addWidget(pages);

    logView = LogView::createLogView(this);
    logView->setMaximumHeight(100);
    QFont font = logView->font();
    font.setPointSize(11);
    logView->setFont(font);
    logView->setPlaceholderText(QStringLiteral("Vault operations log..."));
    layout->addWidget(logView);

    connect(vault, &TessarilVault::vaultLog, this, &VaultTab::appendLog);
    connect(pivBridge, &OpenscBridge::commandError, this, [this](const QString& error) { pivError = error; });
    connect(vault, &TessarilVault::vaultError, this,
            [this](const QString& error) { appendLog(QStringLiteral("ERROR: ") + error); });
}

void VaultTab::appendLog(const QString& line)
{
    LogView::appendLine(logView, line);
}
