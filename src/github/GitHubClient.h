#pragma once

#include "github/GitHubRecords.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QJsonArray;
class QJsonDocument;
class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;

// The one way the GitHub tab talks to the GitHub REST API: authenticated
// requests through its own network manager, each reply turned either into
// apiError or into a call of the request's own callback with the parsed body.
// Requests are asynchronous and independent: no queue, retry, paging or cache.
class GitHubClient : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QJsonDocument&)>;

    static constexpr const char* defaultBaseUrl = "https://api.github.com";

    explicit GitHubClient(QObject* parent = nullptr);
    ~GitHubClient() override;

    // Stored as given: no trimming, no check, no request.
    void setToken(const QString& token);
    bool isAuthenticated() const;

    // Every request carries the stored token, empty or not.
    QNetworkReply* apiGet(const QString& path);
    QNetworkReply* apiPost(const QString& path, const QJsonObject& body);
    QNetworkReply* apiPut(const QString& path, const QJsonObject& body);
    QNetworkReply* apiDelete(const QString& path);
    // Reports the reply when it finishes: rateLimitInfo first, then apiError
    // or the callback.
    void handleReply(QNetworkReply* reply, const QString& operation, const Callback& callback);

    // Account endpoints.
    void fetchUser();
    void fetchRepos();
    void listSshKeys();
    void addSshKey(const QString& title, const QString& key);
    void deleteSshKey(int id);
    void listGpgKeys();
    void addGpgKey(const QString& armoredKey);

    // Repository endpoints; repo is "owner/repo". Secret and variable names
    // are letters, digits and "_", not starting with a digit: others are
    // refused through apiError before any request.
    void listSecrets(const QString& repo);
    // Fetches the repository's public key, then stores the value through gh
    // (as the connected account) or, failing that, as a sealed box over REST.
    void createSecret(const QString& repo, const QString& name, const QString& value);
    void deleteSecret(const QString& repo, const QString& name);
    void listVariables(const QString& repo);
    void createVariable(const QString& repo, const QString& name, const QString& value);
    void deleteVariable(const QString& repo, const QString& name);
    void listDeployKeys(const QString& repo);
    void addDeployKey(const QString& repo, const QString& title, const QString& key, bool readOnly);
    void listDependabotAlerts(const QString& repo);
    void listCodeScanningAlerts(const QString& repo);
    void listSecretScanningAlerts(const QString& repo);
    void listWorkflows(const QString& repo);
    void listWorkflowRuns(const QString& repo);
    void triggerWorkflow(const QString& repo, int workflowId, const QString& ref);

    // Tests point clients created afterwards at a server of their own. Not an
    // environment variable: that could send a real token to another host.
    static void setBaseUrlForTesting(const QString& url);
    QString baseUrl() const { return m_baseUrl; }

    // A transfer that moves no data for this long ends in apiError.
    int transferTimeoutMs = 60000;

Q_SIGNALS:
    void userFetched(const GitHubUser& user);
    void reposFetched(const QList<GitHubRepo>& repos);
    void sshKeysFetched(const QList<GitHubSshKey>& keys);
    void secretsFetched(const QString& repo, const QList<GitHubSecret>& secrets);
    void variablesFetched(const QString& repo, const QList<GitHubVariable>& vars);
    void operationComplete(const QString& operation, bool success, const QString& detail);
    void apiError(const QString& operation, const QString& error);
    void rateLimitInfo(int remaining, int limit, const QString& resetTime);
    // The listed elements themselves, each just before its operationComplete.
    // kind: "dependabot", "code-scanning" or "secret-scanning".
    void alertsFetched(const QString& kind, const QString& repo, const QJsonArray& alerts);
    void workflowsFetched(const QString& repo, const QJsonArray& workflows);
    void runsFetched(const QString& repo, const QJsonArray& runs);

private:
    // The gh step of createSecret: true only when gh stored the secret.
    bool storeSecretWithGh(const QString& repo, const QString& name, const QString& value);
    void putSealedSecret(const QString& repo, const QString& name, const QString& keyId,
                         const QByteArray& publicKey, const QString& value);

    QNetworkReply* send(const QByteArray& verb, const QString& path, const QJsonObject* body);

    QNetworkAccessManager* m_network = nullptr;
    QString m_token;
    QString m_baseUrl;
};
