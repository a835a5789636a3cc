// The Secrets & Variables page of the GitHub tab: a repository's Actions
// secrets (names and dates only: values are write-only) and variables.
// Also the pieces the repository pages share: the chooser row, the trees,
// the prompts and the delete confirmation.
#include "ui/github/GitHubTab.h"

#include "github/GitHubClient.h"
#include "github/GitHubText.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

namespace {

constexpr int kValueEditMaxLength = 1024 * 1024;

// One line of a tree: control characters replaced, long text elided, the
// whole text in the tool tip.
void setCell(QTreeWidgetItem* item, int column, const QString& text)
{
    item->setText(column, GitHubText::elided(text, 200));
    if (text.size() > 200 || GitHubText::singleLine(text) != text)
        item->setToolTip(column, GitHubText::toolTip(text.left(4096)));
}

} // namespace

QComboBox* GitHubTab::addRepoChooser(QBoxLayout* layout, const QString& toolTip, QPushButton* button)
{
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Repository:")));
    auto* combo = new QComboBox;
    combo->setPlaceholderText(QStringLiteral("(connect to GitHub first)"));
    combo->setToolTip(toolTip);
    row->addWidget(combo, 1);
    row->addWidget(button);
    layout->addLayout(row);
    return combo;
}

QTreeWidget* GitHubTab::makeRepoTree(const QStringList& headers, const QList<QPair<int, int>>& widths)
{
    auto* tree = new QTreeWidget;
    tree->setHeaderLabels(headers);
    tree->setAlternatingRowColors(true);
    tree->header()->setSectionResizeMode(QHeaderView::Interactive);
    for (const auto& [section, width] : widths)
        tree->header()->resizeSection(section, width);
    return tree;
}

QPushButton* GitHubTab::makeButton(const QString& text, const QString& toolTip, const QString& objectName)
{
    auto* button = new QPushButton(text);
    button->setToolTip(toolTip);
    if (!objectName.isEmpty())
        button->setObjectName(objectName);
    return button;
}

QString GitHubTab::askText(const QString& title, const QString& label, bool password, const QString& text,
                           bool* ok)
{
    QInputDialog dialog(this);
    dialog.setWindowTitle(title);
    dialog.setLabelText(label);
    dialog.setTextEchoMode(password ? QLineEdit::Password : QLineEdit::Normal);
    dialog.setTextValue(text);
    // Labels may carry names from the service: shown as they are, never as markup.
    for (QLabel* shown : dialog.findChildren<QLabel*>())
        shown->setTextFormat(Qt::PlainText);
    *ok = dialog.exec() == QDialog::Accepted;
    return *ok ? dialog.textValue() : QString();
}

QString GitHubTab::askValue(const QString& title, const QString& label, bool secret, bool* ok)
{
    QInputDialog dialog(this);
    dialog.setWindowTitle(title);
    dialog.setLabelText(label);
    if (secret) {
        dialog.setTextEchoMode(QLineEdit::Password);
        // A line edit keeps 32,767 characters by default and cuts a longer
        // paste without a word; well above the limit, an overlong value
        // arrives whole and is refused with its true length.
        for (QLineEdit* edit : dialog.findChildren<QLineEdit*>())
            edit->setMaxLength(kValueEditMaxLength);
    } else {
        dialog.setOption(QInputDialog::UsePlainTextEditForTextInput);
    }
    for (QLabel* shown : dialog.findChildren<QLabel*>())
        shown->setTextFormat(Qt::PlainText);
    *ok = dialog.exec() == QDialog::Accepted;
    return *ok ? dialog.textValue() : QString();
}

bool GitHubTab::confirmDelete(const QString& title, const QString& text)
{
    // A new box for every question, so that every click asks again.
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

QWidget* GitHubTab::createSecretsSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    auto* loadButton =
        makeButton(QStringLiteral("Load"), QStringLiteral("Fetch secrets and variables for the selected repository"));
    m_secretsRepoCombo = addRepoChooser(
        layout,
        QStringLiteral("Select a repository to manage its Actions secrets and variables.\n"
                       "Connect on the Account tab first to populate this list."),
        loadButton);
    m_secretsRepoCombo->setObjectName(QStringLiteral("secretsRepoCombo"));

    auto* secrets = new QGroupBox(QStringLiteral("Actions Secrets"), page);
    secrets->setToolTip(QStringLiteral("Encrypted environment secrets used by GitHub Actions workflows.\n"
                                       "Secret values are write-only via the API -- you can see names\n"
                                       "and timestamps, but cannot read values back. Secrets are\n"
                                       "encrypted using the repository's public key (libsodium sealed box)."));
    auto* secretsLayout = new QVBoxLayout(secrets);
    secretsLayout->setContentsMargins(8, 20, 8, 8);
    m_secretsTree = makeRepoTree({QStringLiteral("Secret Name"), QStringLiteral("Created"), QStringLiteral("Updated")},
                                 {{0, 260}});
    m_secretsTree->setObjectName(QStringLiteral("secretsTree"));
    secretsLayout->addWidget(m_secretsTree);
    auto* secretButtons = new QHBoxLayout;
    auto* createSecretButton =
        makeButton(QStringLiteral("Create Secret..."),
                   QStringLiteral("Create a new Actions secret. GitHub requires secrets to be\n"
                                  "encrypted with the repo's public key (NaCl sealed box).\n"
                                  "Uses gh CLI for encryption, with API fallback."));
    auto* deleteSecretButton =
        makeButton(QStringLiteral("Delete Secret"),
                   QStringLiteral("Permanently delete the selected secret. Workflows referencing\n"
                                  "this secret will fail until it is recreated."),
                   QStringLiteral("dangerButton"));
    auto* backupButton =
        makeButton(QStringLiteral("Backup All to Vault"),
                   QStringLiteral("Export all secret names (not values -- those are write-only)\n"
                                  "as a reference list to the local Tessaril vault. Useful for\n"
                                  "documenting which secrets exist per repository."),
                   QStringLiteral("secondaryButton"));
    secretButtons->addWidget(createSecretButton);
    secretButtons->addWidget(deleteSecretButton);
    secretButtons->addWidget(backupButton);
    secretButtons->addStretch();
    secretsLayout->addLayout(secretButtons);
    layout->addWidget(secrets);

    auto* variables = new QGroupBox(QStringLiteral("Actions Variables"), page);
    variables->setToolTip(QStringLiteral("Non-sensitive configuration variables for GitHub Actions.\n"
                                         "Unlike secrets, variable values ARE readable via the API.\n"
                                         "Use variables for non-secret config like region names,\n"
                                         "feature flags, or build parameters."));
    auto* variablesLayout = new QVBoxLayout(variables);
    variablesLayout->setContentsMargins(8, 20, 8, 8);
    m_variablesTree = makeRepoTree({QStringLiteral("Variable"), QStringLiteral("Value"), QStringLiteral("Created"),
                                    QStringLiteral("Updated")},
                                   {{0, 200}, {1, 200}});
    m_variablesTree->setObjectName(QStringLiteral("variablesTree"));
    variablesLayout->addWidget(m_variablesTree);
    auto* variableButtons = new QHBoxLayout;
    auto* createVariableButton = makeButton(QStringLiteral("Create Variable..."),
                                            QStringLiteral("Create a new Actions variable (name + value pair)"));
    auto* deleteVariableButton = makeButton(QStringLiteral("Delete Variable"),
                                            QStringLiteral("Delete the selected variable from the repository"),
                                            QStringLiteral("dangerButton"));
    variableButtons->addWidget(createVariableButton);
    variableButtons->addWidget(deleteVariableButton);
    variableButtons->addStretch();
    variablesLayout->addLayout(variableButtons);
    layout->addWidget(variables);

    connect(loadButton, &QPushButton::clicked, this, &GitHubTab::onLoadSecrets);
    connect(createSecretButton, &QPushButton::clicked, this, &GitHubTab::onCreateSecret);
    connect(deleteSecretButton, &QPushButton::clicked, this, &GitHubTab::onDeleteSecret);
    connect(backupButton, &QPushButton::clicked, this, &GitHubTab::onBackupSecrets);
    connect(createVariableButton, &QPushButton::clicked, this, &GitHubTab::onCreateVariable);
    connect(deleteVariableButton, &QPushButton::clicked, this, &GitHubTab::onDeleteVariable);
    connect(m_client, &GitHubClient::secretsFetched, this, &GitHubTab::onSecretsFetched);
    connect(m_client, &GitHubClient::variablesFetched, this, &GitHubTab::onVariablesFetched);
    return page;
}

// A list is shown only while its repository is the one chosen: a slow answer
// for the repository chosen before must not pass for the list of this one.
void GitHubTab::onSecretsFetched(const QString& repo, const QList<GitHubSecret>& secrets)
{
    if (repo != m_secretsRepoCombo->currentText())
        return;
    m_secretsListRepo = repo;
    showSecrets(secrets);
}

void GitHubTab::onVariablesFetched(const QString& repo, const QList<GitHubVariable>& vars)
{
    if (repo != m_secretsRepoCombo->currentText())
        return;
    m_variablesListRepo = repo;
    showVariables(vars);
}

void GitHubTab::onLoadSecrets()
{
    const QString repo = m_secretsRepoCombo->currentText();
    if (repo.isEmpty() || !m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Select a repo and authenticate first."));
        return;
    }
    m_client->listSecrets(repo);
    m_client->listVariables(repo);
}

void GitHubTab::relistAfter(const QStringList& operations, const std::function<void()>& relist)
{
    // Lives until the first outcome of one of these operations.
    auto* watch = new QObject(this);
    const auto finish = [this, watch] {
        disconnect(m_client, nullptr, watch, nullptr);
        watch->deleteLater();
    };
    connect(m_client, &GitHubClient::operationComplete, watch,
            [operations, relist, finish](const QString& operation, bool success, const QString&) {
                if (!operations.contains(operation))
                    return;
                finish();
                if (success)
                    relist();
            });
    connect(m_client, &GitHubClient::apiError, watch, [operations, finish](const QString& operation, const QString&) {
        if (operations.contains(operation))
            finish();
    });
}

void GitHubTab::onCreateSecret()
{
    const QString repo = m_secretsRepoCombo->currentText();
    if (repo.isEmpty())
        return;
    const QString title = QStringLiteral("Create Actions Secret");
    bool ok = false;
    const QString name =
        askText(title, QStringLiteral("Secret name (UPPER_SNAKE_CASE):"), false, QString(), &ok);
    if (!ok || name.isEmpty())
        return;
    const QString value = askValue(title, QStringLiteral("Secret value:"), true, &ok);
    if (!ok)
        return;
    relistAfter({QStringLiteral("Create Secret"), QStringLiteral("Fetch Public Key")},
                [this, repo] { m_client->listSecrets(repo); });
    m_client->createSecret(repo, name, value);
}

void GitHubTab::onDeleteSecret()
{
    // The secret is one of the list shown: of its repository, whatever the
    // chooser shows by now.
    const QString repo = m_secretsListRepo;
    QTreeWidgetItem* item = m_secretsTree->currentItem();
    if (repo.isEmpty() || !item)
        return;
    const QString name = item->text(0);
    if (!confirmDelete(QStringLiteral("Delete Secret"),
                       QStringLiteral("Delete secret '%1' from %2?").arg(name, repo)))
        return;
    relistAfter({QStringLiteral("Delete Secret")}, [this, repo] { m_client->listSecrets(repo); });
    m_client->deleteSecret(repo, name);
}

void GitHubTab::onBackupSecrets()
{
    const int count = m_secretsTree->topLevelItemCount();
    if (count == 0) {
        appendLog(QStringLiteral("No secrets loaded to backup."));
        return;
    }
    QStringList names;
    for (int i = 0; i < count; ++i)
        names << m_secretsTree->topLevelItem(i)->text(0);
    const QString repo = m_secretsListRepo;
    appendLog(QStringLiteral("Vault backup: %1 secret names from %2: %3")
                  .arg(QString::number(count), repo, names.join(QStringLiteral(", "))));
    emit logRequest(QStringLiteral("Backup Secrets"), repo, true, QStringLiteral("%1 names").arg(count));
}

void GitHubTab::onCreateVariable()
{
    const QString repo = m_secretsRepoCombo->currentText();
    if (repo.isEmpty())
        return;
    const QString title = QStringLiteral("Create Actions Variable");
    bool ok = false;
    const QString name = askText(title, QStringLiteral("Variable name:"), false, QString(), &ok);
    if (!ok || name.isEmpty())
        return;
    const QString value = askValue(title, QStringLiteral("Variable value:"), false, &ok);
    if (!ok)
        return;
    relistAfter({QStringLiteral("Create Variable")}, [this, repo] { m_client->listVariables(repo); });
    m_client->createVariable(repo, name, value);
}

void GitHubTab::onDeleteVariable()
{
    const QString repo = m_variablesListRepo;
    QTreeWidgetItem* item = m_variablesTree->currentItem();
    if (repo.isEmpty() || !item)
        return;
    const QString name = item->text(0);
    if (!confirmDelete(QStringLiteral("Delete Variable"),
                       QStringLiteral("Delete variable '%1' from %2?").arg(name, repo)))
        return;
    relistAfter({QStringLiteral("Delete Variable")}, [this, repo] { m_client->listVariables(repo); });
    m_client->deleteVariable(repo, name);
}

void GitHubTab::showSecrets(const QList<GitHubSecret>& secrets)
{
    m_secretsTree->clear();
    for (const GitHubSecret& secret : secrets) {
        auto* item = new QTreeWidgetItem(m_secretsTree);
        setCell(item, 0, secret.name);
        setCell(item, 1, secret.createdAt.left(10));
        setCell(item, 2, secret.updatedAt.left(10));
    }
}

void GitHubTab::showVariables(const QList<GitHubVariable>& vars)
{
    m_variablesTree->clear();
    for (const GitHubVariable& var : vars) {
        auto* item = new QTreeWidgetItem(m_variablesTree);
        setCell(item, 0, var.name);
        setCell(item, 1, var.value);
        setCell(item, 2, var.createdAt.left(10));
        setCell(item, 3, var.updatedAt.left(10));
    }
}
