#pragma once

#include "github/GitHubRecords.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QJsonArray;
class QJsonDocument;
class QJsonObject;
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// The one way the GitHub tab talks to the GitHub REST API: authenticated
// requests through its own network manager, each reply turned either into
// apiError or into a call of the request's own callback with the parsed body.
// Requests are asynchronous and independent: no queue, retry or cache. Lists
// follow the service's "next" page links, up to maxListPages pages.
//
// A read made with the stored token belongs to that token: once setToken
// replaces it (a disconnect, another account), the read's late reply is
// dropped unseen, as it would fill the views of an account no longer shown.
// A change (a create, a delete) is always reported, and one of several steps
// finishes with the token it began with. Redirects are followed only within
// the same origin, so the token never leaves for another server. No reply is
// read past maxReplyBytes.
class GitHubClient : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QJsonDocument&)>;
    // The outcome of a token check: the user when /user named one, else the
    // error text and the HTTP status (0 without one).
    using TokenCheck = std::function<void(const GitHubUser& user, const QString& error, int status)>;

    static constexpr const char* defaultBaseUrl = "https://api.github.com";
    // The service's own limit for a secret or variable value.
    static constexpr qsizetype maxValueBytes = 48 * 1024;
    // A list stops after this many pages of 100; the log says what was left out.
    static constexpr int maxListPages = 10;

    explicit GitHubClient(QObject* parent = nullptr);
    ~GitHubClient() override;

    // Stored as given: no trimming, no check, no request. Replies still due
    // for the previous token are dropped.
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

    // Asks /user with the given token, not the stored one, and leaves the
    // stored token and its requests alone. The check passes only when the
    // answer is a JSON object whose "login" is a non-empty string. It tells
    // only done: on success done runs first, then operationComplete("Fetch
    // User"); a failure is done's alone to report. Nothing listening to
    // userFetched hears of it: a check changes nothing but what asked for it.
    void checkToken(const QString& token, const TokenCheck& done);

    // Account endpoints.
    void fetchUser();
    // fetchUser whose outcome done hears first: a connect that waits for its
    // own answer. Dropped with the token like any read.
    void fetchUser(const TokenCheck& done);
    void fetchRepos();
    void listSshKeys();
    void addSshKey(const QString& title, const QString& key);
    void deleteSshKey(qint64 id);
    void listGpgKeys();
    void addGpgKey(const QString& armoredKey);

    // Repository endpoints; repo is "owner/repo". Secret and variable names
    // are letters, digits and "_", not starting with a digit: others are
    // refused through apiError before any request.
    void listSecrets(const QString& repo);
    // Fetches the repository's public key, then stores the value through gh
    // (as the connected account) or, failing that, as a sealed box over REST.
    // gh runs in the background; one that does not finish within ghTimeoutMs
    // is told through notice, and the REST call follows.
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
    void triggerWorkflow(const QString& repo, qint64 workflowId, const QString& ref);

    // Tests point clients created afterwards at a server of their own. Not an
    // environment variable: that could send a real token to another host.
    static void setBaseUrlForTesting(const QString& url);
    QString baseUrl() const { return m_baseUrl; }

    // Every transfer, however steadily its bytes arrive, ends by this time
    // after it was sent, with "timed out after 60 s".
    int transferTimeoutMs = 60000;
    // One reply (one page of a list) is never larger than this from the
    // service; a larger one is stopped with "reply too large" before it can
    // fill the memory.
    qint64 maxReplyBytes = 8 * 1024 * 1024;
    // How long gh may take to store a secret.
    int ghTimeoutMs = 15000;

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
    // Something the user should know that is neither a result nor a failure
    // of the operation (gh gave up; the REST call takes over).
    void notice(const QString& operation, const QString& text);

private:
    // total: the pages' "total_count", -1 without one.
    using PageCallback = std::function<void(const QJsonArray& items, qint64 total, const QString& shownNote)>;
    using ReplyHandler = std::function<void(const QJsonDocument& document, QNetworkReply* reply)>;
    using ErrorHandler = std::function<void(const QString& error, int status)>;

    // The one reply handler: rate limit, then either apiError (unless
    // tellErrors is false) and onError, or onSuccess. A reply tied to the
    // stored token is dropped when that token has been replaced since it was
    // sent.
    void watch(QNetworkReply* reply, const QString& operation, bool tiedToToken, const ReplyHandler& onSuccess,
               const ErrorHandler& onError = {}, bool tellErrors = true);
    // GETs path with per_page=100 and every "next" page after it; done gets
    // all elements (of arrayKey's member when the pages are objects) and,
    // when pages were left out, a note "N of M shown".
    void getAllPages(const QString& path, const QString& operation, const QString& arrayKey,
                     const PageCallback& done);
    struct PageRun;
    void getPage(const QUrl& url, const std::shared_ptr<PageRun>& run);
    // Refuses a value the service would refuse, before anything is sent.
    bool valueTooLong(const QString& operation, const QString& what, const QString& value);

    // The steps of createSecret after the public key, all with the token the
    // secret was asked for with.
    void storeSecretWithGh(const QString& token, const QString& repo, const QString& name, const QString& value,
                           const QString& keyId, const QByteArray& publicKey);
    void putSealedSecret(const QString& token, const QString& repo, const QString& name, const QString& keyId,
                         const QByteArray& publicKey, const QString& value);
    // The user endpoint's reply: done (if any) first, then the signals.
    void userAnswered(const QJsonDocument& document, int status, const TokenCheck& done);

    QNetworkReply* send(const QByteArray& verb, const QString& path, const QJsonObject* body);
    QNetworkReply* sendTo(const QByteArray& verb, const QUrl& url, const QJsonObject* body, const QString& token);

    QNetworkAccessManager* m_network = nullptr;
    QString m_token;
    QString m_baseUrl;
    // Counts setToken calls: a reply carries the count of its request.
    quint64 m_tokenGeneration = 0;
};
