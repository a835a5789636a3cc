// The GitHub REST client against a loopback server standing in for the API:
// the requests it forms, the order and content of what it reports for each
// reply, and how it reads the members of the account endpoints' replies.
#include "github/GitHubClient.h"

#include "LoopbackHttpServer.h"
#include "TestHome.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using Header = LoopbackHttpServer::Header;

class GitHubClientTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void endpoints_data();
    void endpoints();
    void requestHeaders_data();
    void requestHeaders();
    void emptyTokenStillSendsBearer();
    void signalOrder_data();
    void signalOrder();
    void errorText_data();
    void errorText();
    void emptyDeleteAnswerGivesNullDocument();
    void destroyedClientRunsNoHandler();
    void stalledTransferTimesOut();
    void readingRules_data();
    void readingRules();

    void listsFollowPages_data();
    void listsFollowPages();
    void tokenStaysOnItsServer_data();
    void tokenStaysOnItsServer();
    void failureTexts_data();
    void failureTexts();
    void trickledBodyEndsWithinDeadline();
    void tokenCheck_data();
    void tokenCheck();
    void repliesForAReplacedTokenAreDropped();
    void valueLimit_data();
    void valueLimit();
    void pagesThatAreNoList_data();
    void pagesThatAreNoList();
    void endlessBodyIsStopped_data();
    void endlessBodyIsStopped();

private:
    LoopbackHttpServer server;
};

namespace {

const QList<Header> rateHeaders{{"X-RateLimit-Remaining", "4999"},
                                {"X-RateLimit-Limit", "5000"},
                                {"X-RateLimit-Reset", "1700000000"}};

// Every signal of the client as one line, in the order they arrive.
struct Recorder {
    explicit Recorder(GitHubClient& client)
    {
        QObject::connect(&client, &GitHubClient::userFetched, [this](const GitHubUser& u) {
            lines << QStringLiteral("userFetched(%1)").arg(u.login);
        });
        QObject::connect(&client, &GitHubClient::reposFetched, [this](const QList<GitHubRepo>& r) {
            lines << QStringLiteral("reposFetched(%1)").arg(r.size());
        });
        QObject::connect(&client, &GitHubClient::sshKeysFetched, [this](const QList<GitHubSshKey>& k) {
            lines << QStringLiteral("sshKeysFetched(%1)").arg(k.size());
        });
        QObject::connect(&client, &GitHubClient::secretsFetched,
                         [this](const QString& repo, const QList<GitHubSecret>& s) {
                             lines << QStringLiteral("secretsFetched(%1,%2)").arg(repo).arg(s.size());
                         });
        QObject::connect(&client, &GitHubClient::variablesFetched,
                         [this](const QString& repo, const QList<GitHubVariable>& v) {
                             lines << QStringLiteral("variablesFetched(%1,%2)").arg(repo).arg(v.size());
                         });
        QObject::connect(&client, &GitHubClient::operationComplete,
                         [this](const QString& op, bool ok, const QString& detail) {
                             lines << QStringLiteral("operationComplete(%1,%2,%3)")
                                          .arg(op, ok ? QStringLiteral("true") : QStringLiteral("false"),
                                               detail);
                         });
        QObject::connect(&client, &GitHubClient::apiError, [this](const QString& op, const QString& error) {
            lines << QStringLiteral("apiError(%1,%2)").arg(op, error);
        });
        QObject::connect(&client, &GitHubClient::rateLimitInfo,
                         [this](int remaining, int limit, const QString& reset) {
                             lines << QStringLiteral("rateLimitInfo(%1,%2,%3)").arg(remaining).arg(limit).arg(reset);
                         });
    }
    // True once a line ends the operation: its completion or its error.
    bool done() const
    {
        return !lines.isEmpty()
            && (lines.last().startsWith(QLatin1String("operationComplete"))
                || lines.last().startsWith(QLatin1String("apiError")));
    }
    QStringList lines;
};

void invoke(GitHubClient& client, const QString& call)
{
    if (call == QLatin1String("fetchUser"))
        client.fetchUser();
    else if (call == QLatin1String("fetchRepos"))
        client.fetchRepos();
    else if (call == QLatin1String("listSshKeys"))
        client.listSshKeys();
    else if (call == QLatin1String("addSshKey"))
        client.addSshKey(QStringLiteral("laptop"), QStringLiteral("ssh-ed25519 AAAA me"));
    else if (call == QLatin1String("deleteSshKey"))
        client.deleteSshKey(42);
    else if (call == QLatin1String("listGpgKeys"))
        client.listGpgKeys();
    else if (call == QLatin1String("addGpgKey"))
        client.addGpgKey(QStringLiteral("-----BEGIN PGP PUBLIC KEY BLOCK-----"));
    else
        QFAIL(qPrintable(QStringLiteral("unknown call ") + call));
}

QMap<QString, QVariant> fields(const GitHubUser& u)
{
    return {{"login", u.login}, {"name", u.name}, {"email", u.email}, {"avatarUrl", u.avatarUrl},
            {"publicRepos", u.publicRepos}, {"privateRepos", u.privateRepos}, {"plan", u.plan}};
}

QMap<QString, QVariant> fields(const GitHubRepo& r)
{
    return {{"fullName", r.fullName}, {"name", r.name}, {"owner", r.owner},
            {"isPrivate", r.isPrivate}, {"defaultBranch", r.defaultBranch},
            {"language", r.language}, {"stars", r.stars}};
}

QMap<QString, QVariant> fields(const GitHubSshKey& k)
{
    return {{"id", k.id}, {"title", k.title}, {"key", k.key}, {"createdAt", k.createdAt}};
}

} // namespace

void GitHubClientTest::initTestCase()
{
    QVERIFY(server.listen());
    GitHubClient::setBaseUrlForTesting(server.url());
}

void GitHubClientTest::init()
{
    server.clearRoutes();
    server.clearRequests();
}

void GitHubClientTest::endpoints_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("requestBody");   // JSON the request must carry; empty for none
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("replyBody");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("user") << "fetchUser" << QByteArray("GET") << QByteArray("/user") << QByteArray()
        << 200 << QByteArray(R"({"login":"octo","name":"Octo Cat"})")
        << QStringList{"userFetched(octo)", "operationComplete(Fetch User,true,octo)"};
    QTest::newRow("user body not an object") << "fetchUser" << QByteArray("GET") << QByteArray("/user")
        << QByteArray() << 200 << QByteArray(R"(["octo"])")
        << QStringList{"apiError(Fetch User,the server's answer names no GitHub account (expected a JSON object "
                       "with a login))"};
    // A Link header without the "<target>" form names no next page.
    QTest::newRow("repos, one page only") << "fetchRepos" << QByteArray("GET")
        << QByteArray("/user/repos?per_page=100&sort=updated") << QByteArray() << 200
        << QByteArray(R"([{"full_name":"o/a"},{"full_name":"o/b"},3])")
        << QStringList{"reposFetched(3)", "operationComplete(Fetch Repos,true,3 repos)"};
    QTest::newRow("repos body not an array") << "fetchRepos" << QByteArray("GET")
        << QByteArray("/user/repos?per_page=100&sort=updated") << QByteArray() << 200
        << QByteArray(R"({"full_name":"o/a"})")
        << QStringList{"apiError(Fetch Repos,the server's answer was not a list)"};
    QTest::newRow("ssh keys") << "listSshKeys" << QByteArray("GET") << QByteArray("/user/keys?per_page=100")
        << QByteArray() << 200 << QByteArray(R"([{"id":1,"title":"t"}])")
        << QStringList{"sshKeysFetched(1)", "operationComplete(List SSH Keys,true,1 keys)"};
    QTest::newRow("ssh keys body not an array") << "listSshKeys" << QByteArray("GET")
        << QByteArray("/user/keys?per_page=100") << QByteArray() << 200 << QByteArray("garbage")
        << QStringList{"apiError(List SSH Keys,the server's answer was not a list)"};
    QTest::newRow("add ssh key reports its title") << "addSshKey" << QByteArray("POST")
        << QByteArray("/user/keys") << QByteArray(R"({"title":"laptop","key":"ssh-ed25519 AAAA me"})")
        << 201 << QByteArray(R"({"title":"server's own"})")
        << QStringList{"operationComplete(Add SSH Key,true,laptop)"};
    QTest::newRow("delete ssh key") << "deleteSshKey" << QByteArray("DELETE") << QByteArray("/user/keys/42")
        << QByteArray() << 204 << QByteArray()
        << QStringList{"operationComplete(Delete SSH Key,true,42)"};
    QTest::newRow("gpg keys counted") << "listGpgKeys" << QByteArray("GET") << QByteArray("/user/gpg_keys?per_page=100")
        << QByteArray() << 200 << QByteArray(R"([{},{}])")
        << QStringList{"operationComplete(List GPG Keys,true,2 keys)"};
    QTest::newRow("add gpg key") << "addGpgKey" << QByteArray("POST") << QByteArray("/user/gpg_keys")
        << QByteArray(R"({"armored_public_key":"-----BEGIN PGP PUBLIC KEY BLOCK-----"})")
        << 201 << QByteArray("{}") << QStringList{"operationComplete(Add GPG Key,true,Key added)"};
}

void GitHubClientTest::endpoints()
{
    QFETCH(QString, call);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, requestBody);
    QFETCH(int, status);
    QFETCH(QByteArray, replyBody);
    QFETCH(QStringList, expected);

    const QString path = QString::fromUtf8(target);
    server.route(method, path, status, replyBody,
                 {{"Link", server.url(QStringLiteral("/user/repos?page=2")).toUtf8() + "; rel=\"next\""}});
    GitHubClient client;
    client.setToken(QStringLiteral("tok"));
    Recorder recorder(client);
    invoke(client, call);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    QCOMPARE(recorder.lines, expected);

    QCOMPARE(server.requestCount(), 1);
    const LoopbackHttpServer::Request request = server.requests().first();
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, target);
    if (requestBody.isEmpty()) {
        QVERIFY(request.body.isEmpty());
    } else {
        QCOMPARE(QJsonDocument::fromJson(request.body), QJsonDocument::fromJson(requestBody));
    }
}

void GitHubClientTest::requestHeaders_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<bool>("hasBody");

    QTest::newRow("GET") << QByteArray("GET") << false;
    QTest::newRow("POST") << QByteArray("POST") << true;
    QTest::newRow("PUT") << QByteArray("PUT") << true;
    QTest::newRow("DELETE") << QByteArray("DELETE") << false;
}

void GitHubClientTest::requestHeaders()
{
    QFETCH(QByteArray, method);
    QFETCH(bool, hasBody);

    server.route(method, QStringLiteral("/r"), 200, "{}");
    GitHubClient client;
    client.setToken(QStringLiteral("ghp_secret"));
    const QJsonObject body{{QStringLiteral("a"), 1}, {QStringLiteral("b"), QStringLiteral("x")}};
    QNetworkReply* reply = method == "GET"    ? client.apiGet(QStringLiteral("/r"))
                         : method == "POST"   ? client.apiPost(QStringLiteral("/r"), body)
                         : method == "PUT"    ? client.apiPut(QStringLiteral("/r"), body)
                                              : client.apiDelete(QStringLiteral("/r"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(20000));

    QCOMPARE(server.requestCount(), 1);
    const LoopbackHttpServer::Request request = server.requests().first();
    QCOMPARE(request.method, method);
    // The four headers, with these values, in this order.
    const QList<QByteArray> names{"Authorization", "Accept", "X-GitHub-Api-Version", "User-Agent"};
    QList<Header> four;
    for (const Header& header : request.headers) {
        if (names.contains(header.first))
            four << header;
    }
    QCOMPARE(four, (QList<Header>{{"Authorization", "Bearer ghp_secret"},
                                  {"Accept", "application/vnd.github+json"},
                                  {"X-GitHub-Api-Version", "2022-11-28"},
                                  {"User-Agent", "OstrevanTessaril/1.0"}}));
    if (hasBody) {
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QVERIFY2(request.body.contains("{\n    \""), request.body.constData());
        QCOMPARE(QJsonDocument::fromJson(request.body).object(), body);
    } else {
        QVERIFY(request.header("Content-Type").isEmpty());
        QVERIFY(request.body.isEmpty());
    }
}

void GitHubClientTest::emptyTokenStillSendsBearer()
{
    server.route("GET", QStringLiteral("/user"), 401, R"({"message":"Requires authentication"})");
    GitHubClient client;
    QVERIFY(!client.isAuthenticated());
    Recorder recorder(client);
    client.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    QCOMPARE(recorder.lines, QStringList{"apiError(Fetch User,Requires authentication)"});
    // The recorded header value is trimmed; the head shows the blank was sent.
    QVERIFY2(server.requests().first().head.contains("\r\nAuthorization: Bearer \r\n"),
             server.requests().first().head.constData());
}

void GitHubClientTest::signalOrder_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QList<Header>>("headers");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("success") << 200 << rateHeaders
        << QStringList{"rateLimitInfo(4999,5000,1700000000)", "userFetched(octo)",
                       "operationComplete(Fetch User,true,octo)"};
    QTest::newRow("failure") << 403 << rateHeaders
        << QStringList{"rateLimitInfo(4999,5000,1700000000)", "apiError(Fetch User,nope)"};
    QTest::newRow("no rate headers") << 200 << QList<Header>()
        << QStringList{"userFetched(octo)", "operationComplete(Fetch User,true,octo)"};
    QTest::newRow("limit 0") << 200
        << QList<Header>{{"X-RateLimit-Remaining", "0"}, {"X-RateLimit-Limit", "0"}}
        << QStringList{"userFetched(octo)", "operationComplete(Fetch User,true,octo)"};
    QTest::newRow("reset passed on raw, odd remaining read as 0") << 200
        << QList<Header>{{"X-RateLimit-Remaining", "many"}, {"X-RateLimit-Limit", "60"},
                         {"X-RateLimit-Reset", "in a while"}}
        << QStringList{"rateLimitInfo(0,60,in a while)", "userFetched(octo)",
                       "operationComplete(Fetch User,true,octo)"};
}

void GitHubClientTest::signalOrder()
{
    QFETCH(int, status);
    QFETCH(QList<Header>, headers);
    QFETCH(QStringList, expected);

    server.route("GET", QStringLiteral("/user"), status,
                 status < 400 ? QByteArray(R"({"login":"octo"})") : QByteArray(R"({"message":"nope"})"),
                 headers);
    GitHubClient client;
    Recorder recorder(client);
    client.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    QCOMPARE(recorder.lines, expected);
}

void GitHubClientTest::errorText_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");   // empty: the reply's own error string

    QTest::newRow("message") << QByteArray(R"({"message":"Bad credentials"})") << "Bad credentials";
    QTest::newRow("empty body") << QByteArray() << QString();
    QTest::newRow("not JSON") << QByteArray("<html>oops</html>") << QString();
    QTest::newRow("array") << QByteArray(R"([{"message":"inside"}])") << QString();
    QTest::newRow("numeric message") << QByteArray(R"({"message":401})") << QString();
}

void GitHubClientTest::errorText()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);

    server.route("GET", QStringLiteral("/user"), 401, body);
    GitHubClient client;
    QString replyError;
    auto* network = client.findChild<QNetworkAccessManager*>();
    QVERIFY(network);
    connect(network, &QNetworkAccessManager::finished, this,
            [&replyError](QNetworkReply* reply) { replyError = reply->errorString(); });
    QSignalSpy errors(&client, &GitHubClient::apiError);
    client.fetchUser();
    QTRY_COMPARE(errors.size(), 1);
    QTRY_VERIFY(!replyError.isEmpty());
    QCOMPARE(errors.first().at(0).toString(), QStringLiteral("Fetch User"));
    QCOMPARE(errors.first().at(1).toString(), expected.isEmpty() ? replyError : expected);
}

void GitHubClientTest::emptyDeleteAnswerGivesNullDocument()
{
    server.route("DELETE", QStringLiteral("/thing"), 204, QByteArray());
    GitHubClient client;
    int calls = 0;
    bool wasNull = false;
    client.handleReply(client.apiDelete(QStringLiteral("/thing")), QStringLiteral("Delete"),
                       [&](const QJsonDocument& document) {
                           ++calls;
                           wasNull = document.isNull();
                       });
    QTRY_COMPARE(calls, 1);
    QVERIFY(wasNull);
}

void GitHubClientTest::destroyedClientRunsNoHandler()
{
    LoopbackHttpServer::Response stalled;
    stalled.body = R"({"login":"never"})";
    stalled.neverComplete = true;
    server.route("GET", QStringLiteral("/user"), stalled);
    server.route("GET", QStringLiteral("/user/keys"), 200, "[]");

    auto client = std::make_unique<GitHubClient>();
    Recorder recorder(*client);
    bool callbackRan = false;
    client->handleReply(client->apiGet(QStringLiteral("/user")), QStringLiteral("Fetch User"),
                        [&callbackRan](const QJsonDocument&) { callbackRan = true; });
    QTRY_COMPARE(server.requestCount(), 1);
    client.reset();

    // A second client's whole round trip lets any late event of the first arrive.
    GitHubClient other;
    QSignalSpy done(&other, &GitHubClient::operationComplete);
    other.listSshKeys();
    QVERIFY(done.wait(20000));
    QVERIFY(recorder.lines.isEmpty());
    QVERIFY(!callbackRan);
}

void GitHubClientTest::stalledTransferTimesOut()
{
    LoopbackHttpServer::Response stalled;
    stalled.headers = rateHeaders;
    stalled.body = R"({"login":"never arrives whole"})";
    stalled.neverComplete = true;
    server.route("GET", QStringLiteral("/user"), stalled);

    GitHubClient client;
    QCOMPARE(client.transferTimeoutMs, 60000);
    client.transferTimeoutMs = 1000;
    Recorder recorder(client);
    client.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines.size(), 2);
    QCOMPARE(recorder.lines.first(), QStringLiteral("rateLimitInfo(4999,5000,1700000000)"));
    QVERIFY2(recorder.lines.last().startsWith(QLatin1String("apiError(Fetch User,")),
             qPrintable(recorder.lines.last()));
    QVERIFY(recorder.lines.last().size() > int(qstrlen("apiError(Fetch User,)")));
}

void GitHubClientTest::readingRules_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("user name null") << "user" << QByteArray(R"({"login":"o","name":null})")
                                    << "name" << QVariant(QString());
    QTest::newRow("user email null") << "user" << QByteArray(R"({"email":null})")
                                     << "email" << QVariant(QString());
    QTest::newRow("user email a number") << "user" << QByteArray(R"({"email":7})")
                                         << "email" << QVariant(QString());
    QTest::newRow("plan read") << "user" << QByteArray(R"({"plan":{"name":"pro"}})")
                               << "plan" << QVariant(QStringLiteral("pro"));
    QTest::newRow("plan missing") << "user" << QByteArray(R"({"login":"o"})")
                                  << "plan" << QVariant(QString());
    QTest::newRow("plan not an object") << "user" << QByteArray(R"({"plan":"pro"})")
                                        << "plan" << QVariant(QString());
    QTest::newRow("private repo count") << "user" << QByteArray(R"({"total_private_repos":3})")
                                        << "privateRepos" << QVariant(3);
    QTest::newRow("repo count of 2^31") << "user" << QByteArray(R"({"public_repos":2147483648})")
                                        << "publicRepos" << QVariant(0);
    QTest::newRow("owner read") << "repo" << QByteArray(R"({"owner":{"login":"o"}})")
                                << "owner" << QVariant(QStringLiteral("o"));
    QTest::newRow("language null") << "repo" << QByteArray(R"({"language":null})")
                                   << "language" << QVariant(QString());
    QTest::newRow("private missing") << "repo" << QByteArray(R"({"name":"r"})")
                                     << "isPrivate" << QVariant(false);
    QTest::newRow("private as string") << "repo" << QByteArray(R"({"private":"true"})")
                                       << "isPrivate" << QVariant(false);
    QTest::newRow("private true") << "repo" << QByteArray(R"({"private":true})")
                                  << "isPrivate" << QVariant(true);
    QTest::newRow("stars negative whole") << "repo" << QByteArray(R"({"stargazers_count":-5})")
                                          << "stars" << QVariant(-5);
    QTest::newRow("id 2^31") << "key" << QByteArray(R"({"id":2147483648})") << "id" << QVariant(qint64(2147483648));
    QTest::newRow("id 2^53") << "key" << QByteArray(R"({"id":9007199254740992})") << "id"
                             << QVariant(qint64(9007199254740992));
    QTest::newRow("id 2^54") << "key" << QByteArray(R"({"id":18014398509481984})") << "id" << QVariant(qint64(0));
    QTest::newRow("id 2^31-1") << "key" << QByteArray(R"({"id":2147483647})")
                               << "id" << QVariant(qint64(2147483647));
    QTest::newRow("id 3.5") << "key" << QByteArray(R"({"id":3.5})") << "id" << QVariant(qint64(0));
    QTest::newRow("id \"5\"") << "key" << QByteArray(R"({"id":"5"})") << "id" << QVariant(qint64(0));
    QTest::newRow("created_at as sent") << "key" << QByteArray(R"({"created_at":"2024-01-02T03:04:05Z"})")
                                        << "createdAt" << QVariant(QStringLiteral("2024-01-02T03:04:05Z"));
}

void GitHubClientTest::readingRules()
{
    QFETCH(QString, record);
    QFETCH(QByteArray, json);
    QFETCH(QString, field);
    QFETCH(QVariant, expected);

    const QJsonObject object = QJsonDocument::fromJson(json).object();
    QVERIFY(!object.isEmpty());
    const QMap<QString, QVariant> values = record == QLatin1String("user") ? fields(GitHubUser::fromJson(object))
                                         : record == QLatin1String("repo") ? fields(GitHubRepo::fromJson(object))
                                                                           : fields(GitHubSshKey::fromJson(object));
    QVERIFY(values.contains(field));
    QCOMPARE(values.value(field), expected);
}

namespace {

QList<QByteArray> numbered(int count, const char* format)
{
    QList<QByteArray> items;
    for (int i = 1; i <= count; ++i)
        items << QByteArray(format).replace("%1", QByteArray::number(i));
    return items;
}

} // namespace

void GitHubClientTest::listsFollowPages_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("defaultPerPage");
    QTest::addColumn<QByteArray>("wrapKey");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("lastLine");

    QTest::newRow("250 repositories") << "repos" << "/user/repos" << 250 << 30 << QByteArray() << 3
                                      << "operationComplete(Fetch Repos,true,250 repos)";
    // The service's page is 30 unless the request asks for more.
    QTest::newRow("120 SSH keys") << "keys" << "/user/keys" << 120 << 30 << QByteArray() << 2
                                  << "operationComplete(List SSH Keys,true,120 keys)";
    QTest::newRow("1,234 repositories, 10 pages shown") << "repos" << "/user/repos" << 1234 << 30 << QByteArray() << 10
        << "operationComplete(Fetch Repos,true,1000 repos (1000 of more than 1000 shown))";
    QTest::newRow("1,234 secrets with their total") << "secrets" << "/repos/o/r/actions/secrets" << 1234 << 30
        << QByteArray("secrets") << 10
        << "operationComplete(List Secrets,true,o/r: 1000 secrets (1000 of 1234 shown))";
    QTest::newRow("exactly 100") << "keys" << "/user/keys" << 100 << 30 << QByteArray() << 1
                                 << "operationComplete(List SSH Keys,true,100 keys)";
}

void GitHubClientTest::listsFollowPages()
{
    QFETCH(QString, call);
    QFETCH(QString, path);
    QFETCH(int, count);
    QFETCH(int, defaultPerPage);
    QFETCH(QByteArray, wrapKey);
    QFETCH(int, requests);
    QFETCH(QString, lastLine);

    const char* format = call == QLatin1String("repos") ? R"({"full_name":"o/r%1"})"
                       : call == QLatin1String("keys")  ? R"({"id":%1,"title":"k%1"})"
                                                        : R"({"name":"S%1"})";
    server.routePages(path, numbered(count, format), defaultPerPage, wrapKey);
    GitHubClient client;
    client.setToken(QStringLiteral("tok"));
    Recorder recorder(client);
    QList<GitHubSshKey> keys;
    connect(&client, &GitHubClient::sshKeysFetched, this, [&keys](const QList<GitHubSshKey>& k) { keys = k; });
    if (call == QLatin1String("repos"))
        client.fetchRepos();
    else if (call == QLatin1String("keys"))
        client.listSshKeys();
    else
        client.listSecrets(QStringLiteral("o/r"));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines.last(), lastLine);
    QCOMPARE(server.requestCount(), requests);
    for (const LoopbackHttpServer::Request& request : server.requests()) {
        QVERIFY2(request.query.contains(QLatin1String("per_page=100")), request.target.constData());
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer tok"));
    }
    if (call == QLatin1String("keys")) {
        QCOMPARE(keys.size(), count);
        QCOMPARE(keys.last().id, qint64(count));   // the last key can be seen, so deleted
    }
}

void GitHubClientTest::tokenStaysOnItsServer_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("307 to another server") << "redirect";
    QTest::newRow("308 to https on the same host and port") << "scheme";
    QTest::newRow("next page on another server") << "page link";
}

void GitHubClientTest::tokenStaysOnItsServer()
{
    QFETCH(QString, how);
    // The second server records whatever reaches it: the token must not.
    LoopbackHttpServer other;
    QVERIFY(other.listen());
    other.route("GET", QStringLiteral("/user"), 200, R"({"login":"mallory"})");
    other.route("GET", QStringLiteral("/user/keys"), 200, "[]");
    const QString otherHost = QStringLiteral("127.0.0.1:%1").arg(other.port());

    GitHubClient client;
    client.setToken(QStringLiteral("ghp_SECRET"));
    Recorder recorder(client);
    if (how == QLatin1String("redirect")) {
        // Within the same server a redirect is followed.
        server.route("GET", QStringLiteral("/user"), LoopbackHttpServer::redirect(301, server.url("/users/octo")));
        server.route("GET", QStringLiteral("/users/octo"), 200, R"({"login":"octo"})");
        client.fetchUser();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
        QCOMPARE(recorder.lines.last(), QStringLiteral("operationComplete(Fetch User,true,octo)"));

        recorder.lines.clear();
        server.route("GET", QStringLiteral("/user"), LoopbackHttpServer::redirect(307, other.url("/user")));
        client.fetchUser();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
        QCOMPARE(recorder.lines, QStringList{QStringLiteral("apiError(Fetch User,refused a redirect to another server "
                                                            "(%1); the token was not sent there)").arg(otherHost)});
    } else if (how == QLatin1String("scheme")) {
        QString secure = server.url("/user");
        secure.replace(0, 4, QStringLiteral("https"));
        server.route("GET", QStringLiteral("/user"), LoopbackHttpServer::redirect(308, secure));
        client.fetchUser();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
        QCOMPARE(recorder.lines, QStringList{QStringLiteral("apiError(Fetch User,refused a redirect from http to https "
                                                            "on the same host (127.0.0.1:%1); the token was not sent "
                                                            "there)").arg(server.port())});
        QCOMPARE(server.requestCount(), 1);
    } else {
        server.route("GET", QStringLiteral("/user/keys"), 200, R"([{"id":1}])",
                     {{"Link", "<" + other.url("/user/keys?page=2").toUtf8() + ">; rel=\"next\""}});
        client.listSshKeys();
        QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
        QCOMPARE(recorder.lines, QStringList{QStringLiteral("apiError(List SSH Keys,refused a next page on another "
                                                            "server (%1); the token was not sent there)").arg(otherHost)});
    }
    for (const LoopbackHttpServer::Request& request : other.requests())
        QVERIFY2(request.header("Authorization").isEmpty(), request.head.constData());
    QVERIFY(!server.requests().isEmpty());
}

void GitHubClientTest::failureTexts_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<Header>>("headers");
    QTest::addColumn<QString>("expected");

    const qint64 reset = QDateTime::currentSecsSinceEpoch() + 1800;
    const QString resetLocal = QDateTime::fromSecsSinceEpoch(reset).toLocalTime().toString(QStringLiteral("HH:mm:ss"));

    QTest::newRow("422 with each error") << 422
        << QByteArray(R"({"message":"Validation Failed","errors":[{"resource":"PublicKey","code":"custom",)"
                      R"("field":"key","message":"key is already in use"},{"message":"key is invalid"},)"
                      R"({"resource":"PublicKey","code":"missing_field","field":"title"}]})")
        << QList<Header>{} << "Validation Failed: key is already in use; key is invalid; title missing_field";
    QTest::newRow("500 is the server's fault") << 500 << QByteArray(R"({"message":"Server Error"})") << QList<Header>{}
                                               << "GitHub server error 500 (Server Error); try again later";
    QTest::newRow("502 without a body") << 502 << QByteArray() << QList<Header>{}
                                        << "GitHub server error 502 (Bad Gateway); try again later";
    QTest::newRow("rate limit, with its local reset time") << 403
        << QByteArray(R"({"message":"API rate limit exceeded for user ID 1."})")
        << QList<Header>{{"X-RateLimit-Limit", "5000"}, {"X-RateLimit-Remaining", "0"},
                         {"X-RateLimit-Reset", QByteArray::number(reset)}}
        << QStringLiteral("API rate limit exceeded for user ID 1. (the limit resets at %1 local time)").arg(resetLocal);
    QTest::newRow("secondary rate limit, with its Retry-After") << 403
        << QByteArray(R"({"message":"You have exceeded a secondary rate limit. Please wait a few minutes."})")
        << QList<Header>{{"X-RateLimit-Limit", "5000"}, {"X-RateLimit-Remaining", "4990"}, {"Retry-After", "60"}}
        << "You have exceeded a secondary rate limit. Please wait a few minutes. (try again in 60 s)";
    QTest::newRow("429 with a Retry-After date") << 429 << QByteArray(R"({"message":"Too many requests"})")
        << QList<Header>{{"Retry-After", QDateTime::fromSecsSinceEpoch(reset).toUTC()
                                             .toString(Qt::RFC2822Date).toLatin1()}}
        << QStringLiteral("Too many requests (try again at %1 local time)").arg(resetLocal);
    QTest::newRow("403 that is no rate limit") << 403 << QByteArray(R"({"message":"Resource not accessible"})")
        << QList<Header>{{"X-RateLimit-Limit", "5000"}, {"X-RateLimit-Remaining", "4000"}}
        << "Resource not accessible";
}

void GitHubClientTest::failureTexts()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QList<Header>, headers);
    QFETCH(QString, expected);

    server.route("POST", QStringLiteral("/user/keys"), status, body, headers);
    GitHubClient client;
    Recorder recorder(client);
    client.addSshKey(QStringLiteral("laptop"), QStringLiteral("ssh-ed25519 AAAA"));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    QCOMPARE(recorder.lines.last(), QStringLiteral("apiError(Add SSH Key,%1)").arg(expected));
}

void GitHubClientTest::trickledBodyEndsWithinDeadline()
{
    // A byte every 100 ms never looks idle, and would take 40 s to arrive.
    LoopbackHttpServer::Response slow;
    slow.body = R"({"login":")" + QByteArray(400, 'a') + R"("})";
    slow.trickleIntervalMs = 100;
    server.route("GET", QStringLiteral("/user"), slow);

    GitHubClient client;
    client.transferTimeoutMs = 1500;
    Recorder recorder(client);
    QElapsedTimer clock;
    clock.start();
    client.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QVERIFY2(clock.elapsed() < 30000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(recorder.lines, QStringList{QStringLiteral("apiError(Fetch User,timed out after 1.5 s)")});

    // The text names the limit as the user meets it.
    LoopbackHttpServer::Response stalled;
    stalled.body = "{}";
    stalled.neverComplete = true;
    server.route("GET", QStringLiteral("/user"), stalled);
    GitHubClient standard;
    standard.transferTimeoutMs = 1000;
    Recorder second(standard);
    standard.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(second.done(), 30000);
    QCOMPARE(second.lines, QStringList{QStringLiteral("apiError(Fetch User,timed out after 1 s)")});
    QCOMPARE(GitHubClient().transferTimeoutMs, 60000);
}

void GitHubClientTest::tokenCheck_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("login");     // empty: the check fails
    QTest::addColumn<QString>("error");

    const QString noLogin =
        QStringLiteral("the server's answer names no GitHub account (expected a JSON object with a login)");
    QTest::newRow("account") << 200 << QByteArray(R"({"login":"octo"})") << "octo" << QString();
    QTest::newRow("HTML page with 200") << 200 << QByteArray("<html><body>Sign in</body></html>") << QString()
                                        << noLogin;
    QTest::newRow("empty login") << 200 << QByteArray(R"({"login":""})") << QString() << noLogin;
    QTest::newRow("login a number") << 200 << QByteArray(R"({"login":5})") << QString() << noLogin;
    QTest::newRow("array") << 200 << QByteArray(R"([{"login":"octo"}])") << QString() << noLogin;
    QTest::newRow("401") << 401 << QByteArray(R"({"message":"Bad credentials"})") << QString() << "Bad credentials";
}

void GitHubClientTest::tokenCheck()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, login);
    QFETCH(QString, error);

    server.route("GET", QStringLiteral("/user"), status, body);
    GitHubClient client;
    client.setToken(QStringLiteral("tok-connected"));
    Recorder recorder(client);
    QString gotLogin = QStringLiteral("(not called)");
    QString gotError;
    int gotStatus = -1;
    client.checkToken(QStringLiteral("tok-checked"), [&](const GitHubUser& user, const QString& e, int s) {
        gotLogin = user.login;
        gotError = e;
        gotStatus = s;
    });
    QTRY_COMPARE_WITH_TIMEOUT(gotStatus, status, 20000);
    QCOMPARE(gotLogin, login);
    QCOMPARE(gotError, error);
    // The outcome is the check's own: no error line of its own (the caller
    // tells it once), and no user for those showing the connected one.
    QCOMPARE(recorder.lines, login.isEmpty() ? QStringList()
                                             : QStringList{QStringLiteral("operationComplete(Fetch User,true,%1)").arg(login)});
    // The check asked with its own token, and left the stored one alone.
    QCOMPARE(server.requests().first().header("Authorization"), QByteArray("Bearer tok-checked"));
    QVERIFY(client.isAuthenticated());

    // The connection's own user request obeys the same rule.
    recorder.lines.clear();
    client.fetchUser();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    if (login.isEmpty())
        QVERIFY2(recorder.lines.last().startsWith(QLatin1String("apiError(Fetch User,")), qPrintable(recorder.lines.last()));
}

void GitHubClientTest::repliesForAReplacedTokenAreDropped()
{
    LoopbackHttpServer::Response held;
    held.body = R"([{"full_name":"alice/private"}])";
    held.held = true;
    server.route("GET", QStringLiteral("/user/repos"), held);
    server.route("GET", QStringLiteral("/user"), [](const LoopbackHttpServer::Request& request) {
        LoopbackHttpServer::Response response;
        response.held = request.header("Authorization") == "Bearer tok-alice";
        response.status = response.held ? 401 : 200;
        response.body = response.held ? R"({"message":"Bad credentials"})" : R"({"login":"bob"})";
        return response;
    });

    GitHubClient client;
    Recorder recorder(client);
    client.setToken(QStringLiteral("tok-alice"));
    client.fetchUser();
    client.fetchRepos();
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 2, 20000);
    // A check meanwhile hears only its own answer.
    QString checked;
    client.checkToken(QStringLiteral("tok-bob"), [&checked](const GitHubUser& user, const QString&, int) {
        checked = user.login;
    });
    QTRY_COMPARE_WITH_TIMEOUT(checked, QStringLiteral("bob"), 20000);

    // A change sent before the token goes is told all the same.
    LoopbackHttpServer::Response heldDelete;
    heldDelete.status = 204;
    heldDelete.held = true;
    server.route("DELETE", QStringLiteral("/user/keys/42"), heldDelete);
    client.deleteSshKey(42);
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 3, 20000);

    client.setToken(QString());   // a disconnect
    QCOMPARE(server.releaseHeld(), 3);
    // A whole round trip lets the late replies arrive; only the change is seen.
    client.setToken(QStringLiteral("tok-bob"));
    client.fetchUser();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.lines.size(), 4, 20000);
    QCOMPARE(recorder.lines, (QStringList{"operationComplete(Fetch User,true,bob)",
                                          "operationComplete(Delete SSH Key,true,42)", "userFetched(bob)",
                                          "operationComplete(Fetch User,true,bob)"}));
}

void GitHubClientTest::valueLimit_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("sent");

    QTest::newRow("variable of 49,152 bytes") << "variable" << QString(49152, u'v') << true;
    QTest::newRow("variable of 49,153 bytes") << "variable" << QString(49153, u'v') << false;
    // Counted in bytes as sent: 16,385 three-byte characters.
    QTest::newRow("variable of 49,155 UTF-8 bytes") << "variable" << QString(16385, QChar(0x20ac)) << false;
    QTest::newRow("secret of 49,153 bytes") << "secret" << QString(49153, u's') << false;
}

void GitHubClientTest::valueLimit()
{
    QFETCH(QString, what);
    QFETCH(QString, value);
    QFETCH(bool, sent);

    server.route("POST", QStringLiteral("/repos/o/r/actions/variables"), 201, "{}");
    GitHubClient client;
    client.setToken(QStringLiteral("tok"));
    Recorder recorder(client);
    if (what == QLatin1String("variable"))
        client.createVariable(QStringLiteral("o/r"), QStringLiteral("BIG"), value);
    else
        client.createSecret(QStringLiteral("o/r"), QStringLiteral("BIG"), value);
    if (sent) {
        QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
        QCOMPARE(recorder.lines.last(), QStringLiteral("operationComplete(Create Variable,true,BIG)"));
        const QByteArray body = server.requests().first().body;
        // Compared whole: the value arrived as it was given.
        QVERIFY(QJsonDocument::fromJson(body).object().value("value").toString() == value);
        return;
    }
    const QString operation = what == QLatin1String("variable") ? QStringLiteral("Create Variable")
                                                                : QStringLiteral("Create Secret");
    const QString noun = what == QLatin1String("variable") ? QStringLiteral("The variable value")
                                                           : QStringLiteral("The secret value");
    QCOMPARE(recorder.lines,
             QStringList{QStringLiteral("apiError(%1,%2 is %3 bytes; GitHub takes at most 49152 bytes (48 KB). "
                                        "Nothing was sent.)")
                             .arg(operation, noun, QString::number(value.toUtf8().size()))});
    QTest::qWait(0);
    QCOMPARE(server.requestCount(), 0);
}

void GitHubClientTest::pagesThatAreNoList_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QByteArray>("firstPage");
    QTest::addColumn<QString>("secondLink");   // the Link header of page 2; empty: no page 2
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("requests");

    const QString notAList = QStringLiteral("the server's answer was not a list");
    QTest::newRow("truncated page") << "repos" << QByteArray(R"([{"full_name":"o/r1"},{"full_na)") << QString()
                                    << notAList << 1;
    QTest::newRow("object where an array belongs") << "repos" << QByteArray(R"({"message":"ok"})") << QString()
                                                   << notAList << 1;
    QTest::newRow("secrets member not an array") << "secrets" << QByteArray(R"({"secrets":{"name":"A"}})")
                                                 << QString() << notAList << 1;
    QTest::newRow("workflows page an array") << "workflows" << QByteArray(R"([{"id":1}])") << QString() << notAList
                                             << 1;
    QTest::newRow("next link to itself") << "repos" << QByteArray("self") << QString() << QString("the server's next "
        "page is one already listed (1 pages in); the list was stopped") << 1;
    QTest::newRow("page 2 links back to page 1") << "repos" << QByteArray("page1")
        << QStringLiteral("/user/repos?per_page=100&sort=updated")
        << QString("the server's next page is one already listed (2 pages in); the list was stopped") << 2;
}

void GitHubClientTest::pagesThatAreNoList()
{
    QFETCH(QString, call);
    QFETCH(QByteArray, firstPage);
    QFETCH(QString, secondLink);
    QFETCH(QString, error);
    QFETCH(int, requests);

    const QString first = call == QLatin1String("repos")     ? QStringLiteral("/user/repos")
                        : call == QLatin1String("secrets")   ? QStringLiteral("/repos/o/r/actions/secrets")
                                                             : QStringLiteral("/repos/o/r/actions/workflows");
    const QByteArray rows = R"([{"full_name":"o/r1"},{"full_name":"o/r2"}])";
    if (firstPage == "self" || firstPage == "page1") {
        // The first page's next link names itself, or page 2 whose next
        // link names the first again.
        const QString firstUrl = server.url(QStringLiteral("/user/repos?per_page=100&sort=updated"));
        const QString next = firstPage == "self" ? firstUrl : server.url(QStringLiteral("/user/repos?page=2"));
        server.route("GET", QStringLiteral("/user/repos?per_page=100&sort=updated"), 200, rows,
                     {{"Link", "<" + next.toUtf8() + ">; rel=\"next\""}});
        server.route("GET", QStringLiteral("/user/repos?page=2"), 200, rows,
                     {{"Link", "<" + server.url(secondLink).toUtf8() + ">; rel=\"next\""}});
    } else {
        server.route("GET", first, 200, firstPage);
    }
    GitHubClient client;
    client.setToken(QStringLiteral("tok"));
    Recorder recorder(client);
    if (call == QLatin1String("repos"))
        client.fetchRepos();
    else if (call == QLatin1String("secrets"))
        client.listSecrets(QStringLiteral("o/r"));
    else
        client.listWorkflows(QStringLiteral("o/r"));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 20000);
    // An error, never an empty or repeated list.
    const QString operation = call == QLatin1String("repos")   ? QStringLiteral("Fetch Repos")
                            : call == QLatin1String("secrets") ? QStringLiteral("List Secrets")
                                                               : QStringLiteral("List Workflows");
    QCOMPARE(recorder.lines, QStringList{QStringLiteral("apiError(%1,%2)").arg(operation, error)});
    QCOMPARE(server.requestCount(), requests);
}

void GitHubClientTest::endlessBodyIsStopped_data()
{
    QTest::addColumn<bool>("announced");   // the length is given (and too large) before the body
    QTest::newRow("body without end") << false;
    QTest::newRow("length beyond the limit") << true;
}

void GitHubClientTest::endlessBodyIsStopped()
{
    QFETCH(bool, announced);
    LoopbackHttpServer::Response answer;
    if (announced) {
        answer.headers << Header("Content-Length", QByteArray::number(qint64(1) << 40));
        answer.body = "[";
        answer.neverComplete = true;
    } else {
        answer.endless = true;
        answer.body = QByteArray(R"({"full_name":"o/r"},)").repeated(2000);
    }
    server.route("GET", QStringLiteral("/user/repos"), answer);

    GitHubClient client;
    QCOMPARE(client.maxReplyBytes, qint64(8 * 1024 * 1024));
    client.maxReplyBytes = 1024 * 1024;
    client.setToken(QStringLiteral("tok"));
    Recorder recorder(client);
    client.fetchRepos();
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 60000);
    QCOMPARE(recorder.lines,
             QStringList{"apiError(Fetch Repos,reply too large (more than 1 MB); the request was stopped)"});
    // Stopped near the limit: what the server could send is what was read,
    // plus what the connection holds on its way.
    QVERIFY2(server.endlessBytesSent() < 64 * 1024 * 1024, qPrintable(QString::number(server.endlessBytesSent())));
}

OT_TEST_MAIN(GitHubClientTest)
#include "tst_githubclient.moc"
