#pragma once

#include "github/GitHubRecords.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

#include <functional>

class GitHubClient;
class QComboBox;
class QLabel;
class QLineEdit;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;
class UserProfile;

// Used by the repository pages.
class QBoxLayout;
class QJsonArray;
class QPushButton;

// The "GitHub" page: the GitHub accounts kept in the user profile, each with
// its personal access token, and five sub-pages over one REST client and one
// log. Every sub-page writes through appendLog; the client's outcomes reach
// the log through the handlers the constructor installs.
class GitHubTab : public QWidget
{
    Q_OBJECT
public:
    explicit GitHubTab(UserProfile* profile, QWidget* parent = nullptr);
    ~GitHubTab() override;

    // One line with the local time in front; nothing before the log exists.
    void appendLog(const QString& text);

    void refreshAccountList();
    void connectAccount(const QString& login);
    void disconnectAccount();
    // Refills a repository chooser from m_repos, keeping its selection when
    // the same full name is still there.
    void populateRepoCombo(QComboBox* combo);
    // The current repository of the "Secrets & Variables" page.
    QString selectedRepo() const;

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    QWidget* createAccountSubTab();
    QWidget* createKeysSubTab();
    QWidget* createSecretsSubTab();
    QWidget* createSecuritySubTab();
    QWidget* createWorkflowsSubTab();

    // Account page.
    void onConnect();
    void onAddAccount();
    void onRemoveAccount();
    void onRefreshRepos();
    void onRepoDoubleClicked(QTreeWidgetItem* item);
    void showUser(const GitHubUser& user);
    void showRepos(const QList<GitHubRepo>& repos);

    // SSH / GPG Keys page.
    void onRefreshLocalKeys();
    void onPushSshKey();
    void onRefreshGitHubKeys();
    void showGitHubKeys(const QList<GitHubSshKey>& keys);
    void onDeleteGitHubKey();
    void onPushGpgKey();
    void onListGpgKeys();
    void onListDeployKeys();
    void onAddDeployKey();
    // False, with the refusal logged, without a token or repositories.
    bool canUseRepos();
    // A repository from m_repos picked in an item box; empty when cancelled.
    QString chooseRepo(const QString& title, const QString& label);

    // Secrets & Variables page.
    void onLoadSecrets();
    void onCreateSecret();
    void onDeleteSecret();
    void onBackupSecrets();
    void onCreateVariable();
    void onDeleteVariable();
    void showSecrets(const QList<GitHubSecret>& secrets);
    void showVariables(const QList<GitHubVariable>& vars);
    // Calls relist once the first of operations succeeds; forgets it when one fails.
    void relistAfter(const QStringList& operations, const std::function<void()>& relist);

    // Security and Workflows pages.
    void onScanAll();
    void onLoadWorkflows();
    void onRefreshWorkflows();
    void onTriggerWorkflow();
    void onRunDoubleClicked(QTreeWidgetItem* item);
    void showAlerts(const QString& kind, const QJsonArray& alerts);
    void showWorkflows(const QJsonArray& workflows);
    void showRuns(const QJsonArray& runs);

    // Pieces the repository pages share.
    static QComboBox* addRepoChooser(QBoxLayout* layout, const QString& toolTip, QPushButton* button);
    static QTreeWidget* makeRepoTree(const QStringList& headers, const QList<QPair<int, int>>& widths);
    static QPushButton* makeButton(const QString& text, const QString& toolTip, const QString& objectName = {});
    // A text prompt whose label is shown as plain text.
    QString askText(const QString& title, const QString& label, bool password, const QString& text, bool* ok);
    // A secret or variable value of up to the service's 48 KB, taken whole:
    // a secret masked on one line (pasted line breaks are kept), a variable
    // in a multi-line plain-text box. Longer values reach the client, which
    // refuses them with their length.
    QString askValue(const QString& title, const QString& label, bool secret, bool* ok);
    // A warning box with Yes and No, No the default; true on Yes.
    bool confirmDelete(const QString& title, const QString& text);

    GitHubClient* m_client = nullptr;
    UserProfile* m_profile = nullptr;
    QComboBox* m_accountCombo = nullptr;
    QLineEdit* m_patEdit = nullptr;
    QLabel* m_userLabel = nullptr;
    QTreeWidget* m_repoTree = nullptr;
    QLabel* m_rateLabel = nullptr;
    QTreeWidget* m_localKeyTree = nullptr;
    QTreeWidget* m_githubKeyTree = nullptr;
    QComboBox* m_secretsRepoCombo = nullptr;
    QTreeWidget* m_secretsTree = nullptr;
    QTreeWidget* m_variablesTree = nullptr;
    QComboBox* m_securityRepoCombo = nullptr;
    QTreeWidget* m_dependabotTree = nullptr;
    QTreeWidget* m_codeScanningTree = nullptr;
    QTreeWidget* m_secretScanningTree = nullptr;
    QComboBox* m_workflowsRepoCombo = nullptr;
    QTreeWidget* m_workflowsTree = nullptr;
    QTreeWidget* m_runsTree = nullptr;
    QTextEdit* m_log = nullptr;
    QList<GitHubRepo> m_repos;
};
