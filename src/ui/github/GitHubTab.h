#pragma once

#include "core/SshDirectory.h"
#include "github/GitHubRecords.h"

#include <QFileInfoList>
#include <QList>
#include <QPair>
#include <QString>
#include <QWidget>

#include <functional>

class GitHubClient;
class PageFill;
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
//
// A reply changes only what asked for it: the connected account is the one
// the user last chose, a token check never takes over the tab once the user
// did anything else, and a list shows, and is acted on, only as the list of
// the repository it was asked for.
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

    // How long ssh-keygen may take to fingerprint the keys of ~/.ssh before
    // the keys page tells it did not answer.
    int fingerprintTimeoutMs = 15000;

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
    // The answer to a connect's /user: the user shown, or the tab left
    // disconnected with the reason.
    void onUserAnswer(const QString& login, const GitHubUser& user, const QString& error);
    void showUser(const GitHubUser& user);
    void showUserLabel(const GitHubUser& user);
    void showRepos(const QList<GitHubRepo>& repos);
    // Empties everything that belongs to the connected account: the user
    // label, the repositories, the choosers and the trees filled from them.
    void clearAccountViews();

    // SSH / GPG Keys page.
    void onRefreshLocalKeys();
    // The fill of the local key tree: the public keys of ~/.ssh, all
    // fingerprinted by one ssh-keygen run in the background.
    void scanLocalKeys();
    void showLocalKeys(const QFileInfoList& files, const QStringList& comments,
                       const QList<SshDirectory::KeyFingerprint>& printed);
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
    void onSecretsFetched(const QString& repo, const QList<GitHubSecret>& secrets);
    void onVariablesFetched(const QString& repo, const QList<GitHubVariable>& vars);
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

    // The repository whose list each tree shows (empty: none).
    QString m_secretsListRepo;
    QString m_variablesListRepo;
    QString m_workflowsListRepo;
    // Counts the presses of the tab's buttons: a token check may connect
    // the tab only while the user has done nothing since asking for it.
    int m_userActions = 0;
    PageFill* m_localKeysFill = nullptr;
};
