// The GitHub REST client against a loopback server standing in for the API:
// the requests it forms, the order and content of what it reports for each
// reply, and how it reads the members of the account endpoints' replies.
#include "github/GitHubClient.h"

#include "LoopbackHttpServer.h"
#include "TestHome.h"

#include <QApplication>
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
        << QStringList{"userFetched()", "operationComplete(Fetch User,true,)"};
    // The Link header offers a second page the client must not ask for.
    QTest::newRow("repos, one page only") << "fetchRepos" << QByteArray("GET")
        << QByteArray("/user/repos?per_page=100&sort=updated") << QByteArray() << 200
        << QByteArray(R"([{"full_name":"o/a"},{"full_name":"o/b"},3])")
        << QStringList{"reposFetched(3)", "operationComplete(Fetch Repos,true,3 repos)"};
    QTest::newRow("repos body not an array") << "fetchRepos" << QByteArray("GET")
        << QByteArray("/user/repos?per_page=100&sort=updated") << QByteArray() << 200
        << QByteArray(R"({"full_name":"o/a"})")
        << QStringList{"reposFetched(0)", "operationComplete(Fetch Repos,true,0 repos)"};
    QTest::newRow("ssh keys") << "listSshKeys" << QByteArray("GET") << QByteArray("/user/keys")
        << QByteArray() << 200 << QByteArray(R"([{"id":1,"title":"t"}])")
        << QStringList{"sshKeysFetched(1)", "operationComplete(List SSH Keys,true,1 keys)"};
    QTest::newRow("ssh keys body not an array") << "listSshKeys" << QByteArray("GET")
        << QByteArray("/user/keys") << QByteArray() << 200 << QByteArray("garbage")
        << QStringList{"sshKeysFetched(0)", "operationComplete(List SSH Keys,true,0 keys)"};
    QTest::newRow("add ssh key reports its title") << "addSshKey" << QByteArray("POST")
        << QByteArray("/user/keys") << QByteArray(R"({"title":"laptop","key":"ssh-ed25519 AAAA me"})")
        << 201 << QByteArray(R"({"title":"server's own"})")
        << QStringList{"operationComplete(Add SSH Key,true,laptop)"};
    QTest::newRow("delete ssh key") << "deleteSshKey" << QByteArray("DELETE") << QByteArray("/user/keys/42")
        << QByteArray() << 204 << QByteArray()
        << QStringList{"operationComplete(Delete SSH Key,true,42)"};
    QTest::newRow("gpg keys counted") << "listGpgKeys" << QByteArray("GET") << QByteArray("/user/gpg_keys")
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
    QTRY_VERIFY(recorder.done());
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
    QTRY_VERIFY(recorder.done());
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
    QTRY_VERIFY(recorder.done());
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
    QTest::newRow("id 2^31") << "key" << QByteArray(R"({"id":2147483648})") << "id" << QVariant(0);
    QTest::newRow("id 2^31-1") << "key" << QByteArray(R"({"id":2147483647})")
                               << "id" << QVariant(2147483647);
    QTest::newRow("id 3.5") << "key" << QByteArray(R"({"id":3.5})") << "id" << QVariant(0);
    QTest::newRow("id \"5\"") << "key" << QByteArray(R"({"id":"5"})") << "id" << QVariant(0);
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

OT_TEST_MAIN(GitHubClientTest)
#include "tst_githubclient.moc"
