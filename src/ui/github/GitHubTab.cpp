#include "ui/github/GitHubTab.h"
#include "app/StyleManager.h"

#include "config/UserProfile.h"
#include "core/LogView.h"
#include "github/GitHubClient.h"
#include "github/GitHubText.h"
#include "ui/widgets/ButtonFit.h"
#include "ui/widgets/SectionTitle.h"

#include <QComboBox>
#include <QDateTime>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QPointer>
#include <QVBoxLayout>

GitHubTab::GitHubTab(UserProfile* profile, QWidget* parent)
    : QWidget(parent)
    , m_client(new GitHubClient(this))
    , m_profile(profile)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);

    QLabel* title = makeSectionTitle(QStringLiteral("GitHub Integration"), this);
    title->setFixedHeight(22);
    layout->addWidget(title);
    auto* description = new QLabel(
        QStringLiteral("Manage GitHub SSH/GPG keys, Actions secrets, security alerts, and CI/CD "
                       "workflows. Connect with a Personal Access Token."),
        this);
    description->setWordWrap(true);
    description->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(description, StyleManager::Muted);
    description->setMaximumHeight(36);
    layout->addWidget(description);

    // The Account page connects to the stored active account while it is
    // built: those first requests leave before the log and the handlers below
    // exist, and their replies find both in place.
    auto* pages = new QTabWidget(this);
    pages->addTab(createAccountSubTab(), QStringLiteral("Account"));
    pages->addTab(scrollablePage(createKeysSubTab()), QStringLiteral("SSH / GPG Keys"));
    // A single "&" would be taken for a shortcut mark and vanish from the title.
    pages->addTab(createSecretsSubTab(), QStringLiteral("Secrets && Variables"));
    pages->addTab(scrollablePage(createSecuritySubTab()), QStringLiteral("Security"));
    pages->addTab(createWorkflowsSubTab(), QStringLiteral("Workflows"));
    layout->addWidget(pages);

    m_log = LogView::createLogView(this);
    m_log->setObjectName(QStringLiteral("gitHubLog"));
    QFont font = m_log->font();
    font.setPointSize(11);
    m_log->setFont(font);
    m_log->setMaximumHeight(80);
    m_log->setPlaceholderText(QStringLiteral("GitHub operations log..."));
    layout->addWidget(m_log);

    connect(m_client, &GitHubClient::operationComplete, this,
            [this](const QString& operation, bool success, const QString& detail) {
                appendLog(QStringLiteral("[%1] %2: %3")
                              .arg(success ? QStringLiteral("OK") : QStringLiteral("FAIL"),
                                   operation, detail));
                emit logRequest(operation, QStringLiteral("GitHub"), success, detail);
            });
    connect(m_client, &GitHubClient::apiError, this, [this](const QString& operation, const QString& error) {
        appendLog(QStringLiteral("[ERROR] %1: %2").arg(operation, error));
    });
    connect(m_client, &GitHubClient::notice, this, [this](const QString& operation, const QString& text) {
        appendLog(QStringLiteral("%1: %2").arg(operation, text));
    });
    // A press comes before the click that acts on it, so an action already
    // counts itself when its handler runs.
    for (QPushButton* button : findChildren<QPushButton*>())
        connect(button, &QPushButton::pressed, this, [this] { ++m_userActions; });
    connect(m_client, &GitHubClient::rateLimitInfo, this, [this](int remaining, int limit, const QString&) {
        if (!m_rateLabel)
            return;
        m_rateLabel->setText(QStringLiteral("API Rate: %1 / %2 remaining")
                                 .arg(QString::number(remaining), QString::number(limit)));
        m_rateLabel->setStyleSheet(QStringLiteral("font-size: 11px;"));
        StyleManager::setTone(m_rateLabel, remaining > 99 ? StyleManager::Muted : StyleManager::Warning);
    });
}

GitHubTab::~GitHubTab() = default;

void GitHubTab::appendLog(const QString& text)
{
    if (!m_log)
        return;
    // Lines carry the server's texts: one line each, whatever they hold.
    LogView::appendLine(m_log, QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss] "))
                                   + GitHubText::singleLine(text));
}

void GitHubTab::refreshAccountList()
{
    if (!m_accountCombo)
        return;
    m_accountCombo->clear();
    for (const UserProfile::GhAccount& account : m_profile->githubAccounts()) {
        const QString shown = account.name.isEmpty() ? account.login : account.name;
        const QString whole = QStringLiteral("%1 (%2)").arg(shown, account.login);
        m_accountCombo->addItem(QStringLiteral("%1 (%2)").arg(GitHubText::elided(shown, GitHubText::maxLabelChars),
                                                              GitHubText::elided(account.login, GitHubText::maxLabelChars)),
                                account.login);
        m_accountCombo->setItemData(m_accountCombo->count() - 1, GitHubText::toolTip(GitHubText::singleLine(whole)), Qt::ToolTipRole);
    }
    const int active = m_accountCombo->findData(m_profile->activeGithubLogin(), Qt::UserRole,
                                                Qt::MatchExactly | Qt::MatchCaseSensitive);
    // A combo with a placeholder selects nothing by itself once filled.
    if (active >= 0)
        m_accountCombo->setCurrentIndex(active);
    else if (m_accountCombo->count() > 0)
        m_accountCombo->setCurrentIndex(0);
}

void GitHubTab::connectAccount(const QString& login)
{
    for (const UserProfile::GhAccount& account : m_profile->githubAccounts()) {
        if (account.login != login)
            continue;
        // Whatever was shown belongs to the account before: it goes at once,
        // and this one is shown only when its own /user answers.
        m_client->setToken(account.pat);
        clearAccountViews();
        if (m_userLabel)
            m_userLabel->setText(QStringLiteral("Connecting as @%1…")
                                     .arg(GitHubText::elided(login, GitHubText::maxLabelChars).toHtmlEscaped()));
        // Each save is an openssl run on the GUI thread; the tab connects
        // to the account already active while it is built.
        if (m_profile->activeGithubLogin() != login && !m_profile->setActiveGithubLogin(login))
            appendLog(QStringLiteral("@%1 was not saved as the account to connect at start: %2")
                          .arg(login, m_profile->saveError()));
        appendLog(QStringLiteral("Connecting as @") + login + QStringLiteral("..."));
        QPointer<GitHubTab> tab(this);
        m_client->fetchUser([tab, login](const GitHubUser& user, const QString& error, int) {
            if (tab)
                tab->onUserAnswer(login, user, error);
        });
        return;
    }
}

void GitHubTab::onUserAnswer(const QString& login, const GitHubUser& user, const QString& error)
{
    if (!user.login.isEmpty()) {
        showUser(user);
        m_client->fetchRepos();
        return;
    }
    // The failure itself is the log's error line; the label keeps the reason.
    m_client->setToken(QString());
    clearAccountViews();
    if (m_userLabel) {
        m_userLabel->setText(QStringLiteral("Not connected (@%1: %2)")
                                 .arg(GitHubText::elided(login, GitHubText::maxLabelChars).toHtmlEscaped(),
                                      GitHubText::elided(error, 200).toHtmlEscaped()));
        m_userLabel->setToolTip(GitHubText::toolTip(GitHubText::singleLine(error)));
    }
}

void GitHubTab::clearAccountViews()
{
    if (m_userLabel) {
        m_userLabel->setText(QStringLiteral("Not connected"));
        m_userLabel->setToolTip(QString());
        m_userLabel->setStyleSheet(QStringLiteral("font-size: 13px;"));
        StyleManager::setTone(m_userLabel, StyleManager::Muted);
    }
    m_repos.clear();
    for (QTreeWidget* tree : {m_repoTree, m_githubKeyTree, m_secretsTree, m_variablesTree, m_dependabotTree,
                              m_codeScanningTree, m_secretScanningTree, m_workflowsTree, m_runsTree}) {
        if (tree)
            tree->clear();
    }
    for (QComboBox* combo : {m_secretsRepoCombo, m_securityRepoCombo, m_workflowsRepoCombo}) {
        if (combo)
            combo->clear();
    }
    m_secretsListRepo.clear();
    m_variablesListRepo.clear();
    m_workflowsListRepo.clear();
}

void GitHubTab::disconnectAccount()
{
    m_client->setToken(QString());
    if (m_userLabel) {
        m_userLabel->setText(QStringLiteral("Not connected"));
        m_userLabel->setToolTip(QString());
        m_userLabel->setStyleSheet(QStringLiteral("font-size: 13px;"));
        StyleManager::setTone(m_userLabel, StyleManager::Muted);
    }
    if (m_repoTree)
        m_repoTree->clear();
    m_repos.clear();
    appendLog(QStringLiteral("Disconnected from GitHub."));
}

void GitHubTab::populateRepoCombo(QComboBox* combo)
{
    if (!combo)
        return;
    const QString previous = combo->currentText();
    combo->clear();
    for (const GitHubRepo& repo : std::as_const(m_repos))
        combo->addItem(repo.fullName);
    const int kept = combo->findText(previous, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (kept >= 0)
        combo->setCurrentIndex(kept);
    else if (combo->count() > 0)
        combo->setCurrentIndex(0);
}

QString GitHubTab::selectedRepo() const
{
    return m_secretsRepoCombo ? m_secretsRepoCombo->currentText() : QString();
}
