// The Account page of the GitHub tab: stored accounts, token check, the
// connected user and the repository list.
#include "ui/github/GitHubTab.h"
#include "app/StyleManager.h"

#include "config/UserProfile.h"
#include "github/GitHubClient.h"
#include "github/GitHubText.h"

#include <QApplication>
#include <QClipboard>
#include <QColor>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <QPointer>

QWidget* GitHubTab::createAccountSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    auto* accounts = new QGroupBox(QStringLiteral("GitHub Accounts"), page);
    accounts->setToolTip(QStringLiteral("Manage multiple GitHub accounts. PATs are stored encrypted\n"
                                        "in your Tessaril profile at ~/Ostrevan/OstrevanTessaril/."));
    auto* grid = new QGridLayout(accounts);
    grid->setContentsMargins(8, 20, 8, 8);
    grid->setSpacing(4);
    grid->addWidget(new QLabel(QStringLiteral("Active Account:"), accounts), 0, 0);
    m_accountCombo = new QComboBox(accounts);
    m_accountCombo->setObjectName(QStringLiteral("accountCombo"));
    m_accountCombo->setPlaceholderText(QStringLiteral("(no accounts — add one below)"));
    m_accountCombo->setMinimumWidth(300);
    grid->addWidget(m_accountCombo, 0, 1);
    auto* connectButton = new QPushButton(QStringLiteral("Connect"), accounts);
    connectButton->setToolTip(QStringLiteral("Connect to the selected GitHub account"));
    grid->addWidget(connectButton, 0, 2);
    auto* disconnectButton = new QPushButton(QStringLiteral("Disconnect"), accounts);
    disconnectButton->setObjectName(QStringLiteral("secondaryButton"));
    grid->addWidget(disconnectButton, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Add Account:"), accounts), 1, 0);
    m_patEdit = new QLineEdit(accounts);
    m_patEdit->setObjectName(QStringLiteral("patEdit"));
    m_patEdit->setEchoMode(QLineEdit::Password);
    m_patEdit->setPlaceholderText(QStringLiteral("ghp_xxxx... or github_pat_xxxx..."));
    m_patEdit->setToolTip(QStringLiteral("Paste a Personal Access Token. The token will be validated,\n"
                                         "then stored encrypted in your profile.\n"
                                         "Required scopes: repo, admin:public_key, admin:gpg_key,\n"
                                         "read:org, workflow, security_events."));
    grid->addWidget(m_patEdit, 1, 1);
    auto* addButton = new QPushButton(QStringLiteral("Add"), accounts);
    addButton->setToolTip(QStringLiteral("Validate the PAT and add the account"));
    grid->addWidget(addButton, 1, 2);
    auto* removeButton = new QPushButton(QStringLiteral("Remove"), accounts);
    removeButton->setObjectName(QStringLiteral("dangerButton"));
    removeButton->setToolTip(QStringLiteral("Remove the selected account from Tessaril"));
    grid->addWidget(removeButton, 1, 3);
    layout->addWidget(accounts);

    auto* userInfo = new QGroupBox(QStringLiteral("User Info"), page);
    auto* userLayout = new QVBoxLayout(userInfo);
    userLayout->setContentsMargins(8, 20, 8, 8);
    m_userLabel = new QLabel(QStringLiteral("Not connected"), userInfo);
    m_userLabel->setObjectName(QStringLiteral("userLabel"));
    // The summary is markup of our own around values that showUser escapes.
    m_userLabel->setTextFormat(Qt::RichText);
    m_userLabel->setStyleSheet(QStringLiteral("font-size: 13px;"));
    StyleManager::setTone(m_userLabel, StyleManager::Muted);
    m_userLabel->setWordWrap(true);
    userLayout->addWidget(m_userLabel);
    m_rateLabel = new QLabel(QStringLiteral("API Rate: --"), userInfo);
    m_rateLabel->setObjectName(QStringLiteral("rateLabel"));
    m_rateLabel->setTextFormat(Qt::PlainText);
    m_rateLabel->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(m_rateLabel, StyleManager::Muted);
    userLayout->addWidget(m_rateLabel);
    layout->addWidget(userInfo);

    auto* repositories = new QGroupBox(QStringLiteral("Repositories"), page);
    repositories->setToolTip(QStringLiteral("Your GitHub repositories, sorted by most recently updated.\n"
                                            "Double-click a repo to copy owner/repo to clipboard."));
    auto* repoLayout = new QVBoxLayout(repositories);
    repoLayout->setContentsMargins(8, 20, 8, 8);
    m_repoTree = new QTreeWidget(repositories);
    m_repoTree->setObjectName(QStringLiteral("repoTree"));
    m_repoTree->setHeaderLabels({QStringLiteral("Repository"), QStringLiteral("Visibility"),
                                 QStringLiteral("Language"), QStringLiteral("Default Branch"),
                                 QStringLiteral("Stars")});
    m_repoTree->setAlternatingRowColors(true);
    m_repoTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    m_repoTree->header()->resizeSection(0, 260);
    repoLayout->addWidget(m_repoTree);
    auto* repoButtons = new QHBoxLayout;
    auto* refreshButton = new QPushButton(QStringLiteral("Refresh"), repositories);
    refreshButton->setObjectName(QStringLiteral("secondaryButton"));
    repoButtons->addWidget(refreshButton);
    repoButtons->addStretch();
    repoLayout->addLayout(repoButtons);
    layout->addWidget(repositories);

    connect(connectButton, &QPushButton::clicked, this, &GitHubTab::onConnect);
    connect(disconnectButton, &QPushButton::clicked, this, &GitHubTab::disconnectAccount);
    connect(addButton, &QPushButton::clicked, this, &GitHubTab::onAddAccount);
    connect(removeButton, &QPushButton::clicked, this, &GitHubTab::onRemoveAccount);
    connect(refreshButton, &QPushButton::clicked, this, &GitHubTab::onRefreshRepos);
    connect(m_repoTree, &QTreeWidget::itemDoubleClicked, this, &GitHubTab::onRepoDoubleClicked);

    // The user is shown by the connect that asked for it (onUserAnswer); a
    // repository list only ever comes for the account connected.
    connect(m_client, &GitHubClient::reposFetched, this, &GitHubTab::showRepos);

    refreshAccountList();
    const QString active = m_profile->activeGithubLogin();
    if (!active.isEmpty())
        connectAccount(active);
    return page;
}

void GitHubTab::onConnect()
{
    const QString login = m_accountCombo->currentData(Qt::UserRole).toString();
    if (login.isEmpty()) {
        appendLog(QStringLiteral("No account selected."));
        return;
    }
    connectAccount(login);
}

void GitHubTab::onAddAccount()
{
    const QString token = m_patEdit->text().trimmed();
    if (token.isEmpty()) {
        appendLog(QStringLiteral("Paste a PAT first."));
        return;
    }
    appendLog(QStringLiteral("Validating token..."));
    // The check asks with this token alone: the connected account and its
    // pending requests are untouched, and only this check's own answer can
    // store the token, under the login that answer names. It connects the
    // tab only if the user is still waiting on it: any button pressed since
    // (another account, a disconnect, an action on the connected account)
    // is what the user wants now.
    const int asked = m_userActions;
    QPointer<GitHubTab> tab(this);
    m_client->checkToken(token, [tab, token, asked](const GitHubUser& user, const QString& error, int status) {
        if (!tab)
            return;
        if (user.login.isEmpty()) {
            // Only the service's refusal of the token says it is wrong; a
            // server fault or an odd answer says nothing about it.
            tab->appendLog(status == 401 ? QStringLiteral("Invalid token: ") + error
                                         : QStringLiteral("Token check failed: ") + error);
            return;
        }
        UserProfile* profile = tab->m_profile;
        if (!profile->addGithubAccount({user.login, user.name, user.email, token, user.plan})) {
            // Nothing kept: the token stays typed, to add again once the
            // profile can be written.
            tab->appendLog(QStringLiteral("Account @%1 was not added: the profile could not be saved (%2).")
                               .arg(user.login, profile->saveError()));
            return;
        }
        if (tab->m_patEdit->text().trimmed() == token)
            tab->m_patEdit->clear();
        if (asked != tab->m_userActions) {
            tab->refreshAccountList();
            tab->appendLog(QStringLiteral("Account @%1 added and saved; not connected, as other actions came "
                                          "after the check (choose it and press Connect).")
                               .arg(user.login));
            return;
        }
        const bool activeSaved = profile->setActiveGithubLogin(user.login);
        tab->refreshAccountList();
        tab->appendLog(QStringLiteral("Account @%1 added and saved.").arg(user.login));
        if (!activeSaved)
            tab->appendLog(QStringLiteral("@%1 was not saved as the account to connect at start: %2")
                               .arg(user.login, profile->saveError()));
        tab->m_client->setToken(token);
        tab->clearAccountViews();
        tab->showUserLabel(user);
        tab->m_client->fetchRepos();
    });
}

void GitHubTab::onRemoveAccount()
{
    const QString login = m_accountCombo->currentData(Qt::UserRole).toString();
    if (login.isEmpty())
        return;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Remove GitHub Account"),
                    QStringLiteral("Remove @%1 and its PAT from Tessaril?").arg(login),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes)
        return;
    if (!m_profile->removeGithubAccount(login)) {
        appendLog(QStringLiteral("Account @%1 was not removed: the profile could not be saved (%2).")
                      .arg(login, m_profile->saveError()));
        return;
    }
    if (m_profile->activeGithubLogin() == login)
        disconnectAccount();
    refreshAccountList();
    appendLog(QStringLiteral("Account @") + login + QStringLiteral(" removed."));
}

void GitHubTab::onRefreshRepos()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return;
    }
    m_client->fetchRepos();
}

void GitHubTab::onRepoDoubleClicked(QTreeWidgetItem* item)
{
    if (!item)
        return;
    const QString fullName = item->text(0);
    QApplication::clipboard()->setText(fullName);
    appendLog(QStringLiteral("Copied to clipboard: ") + fullName);
}

void GitHubTab::showUser(const GitHubUser& user)
{
    showUserLabel(user);
    for (UserProfile::GhAccount account : m_profile->githubAccounts()) {
        if (account.login != user.login)
            continue;
        account.name = user.name;
        account.email = user.email;
        account.plan = user.plan;
        if (!m_profile->updateGithubAccount(account))
            appendLog(QStringLiteral("The name, e-mail and plan of @%1 were not saved: %2")
                          .arg(user.login, m_profile->saveError()));
        refreshAccountList();
        return;
    }
}

void GitHubTab::showUserLabel(const GitHubUser& user)
{
    // Every value is the server's text: escaped, and filled in one pass so a
    // "%2" inside a name stays as it is.
    // Long values are cut, so a long name cannot widen the tab; the tool
    // tip holds them whole.
    if (m_userLabel) {
        const QString plan = user.plan.isEmpty() ? QStringLiteral("free") : user.plan;
        const auto shown = [](const QString& text) {
            return GitHubText::elided(text, GitHubText::maxLabelChars).toHtmlEscaped();
        };
        m_userLabel->setText(
            QStringLiteral("<b>%1</b> (@%2)  |  %3  |  %4 public, %5 private repos  |  Plan: %6")
                .arg(shown(user.name), shown(user.login), shown(user.email), QString::number(user.publicRepos),
                     QString::number(user.privateRepos), shown(plan)));
        m_userLabel->setToolTip(GitHubText::toolTip(GitHubText::singleLine(QStringLiteral("%1 (@%2)  |  %3  |  Plan: %4")
                                                           .arg(user.name, user.login, user.email, plan))));
        m_userLabel->setStyleSheet(QStringLiteral("font-size: 13px;"));
        StyleManager::setTone(m_userLabel, StyleManager::Accent);
    }
}

void GitHubTab::showRepos(const QList<GitHubRepo>& repos)
{
    m_repos = repos;
    if (m_repoTree) {
        m_repoTree->clear();
        for (const GitHubRepo& repo : repos) {
            auto* item = new QTreeWidgetItem(m_repoTree);
            item->setText(0, GitHubText::singleLine(repo.fullName));
            item->setToolTip(0, GitHubText::toolTip(GitHubText::singleLine(repo.fullName)));
            item->setText(1, repo.isPrivate ? QStringLiteral("Private") : QStringLiteral("Public"));
            StyleManager::setItemTone(item, 1, repo.isPrivate ? StyleManager::Warning : StyleManager::Success);
            item->setText(2, GitHubText::singleLine(repo.language));
            item->setText(3, GitHubText::singleLine(repo.defaultBranch));
            item->setText(4, QString::number(repo.stars));
        }
    }
    populateRepoCombo(m_secretsRepoCombo);
    populateRepoCombo(m_securityRepoCombo);
    populateRepoCombo(m_workflowsRepoCombo);
}
