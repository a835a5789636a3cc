// The GitHub client's repository operations against a loopback server standing
// in for the API: the request each one sends and what it reports, and the
// steps of storing a secret (public key, gh as the connected account, the
// sealed box over REST), with a key pair of the test's own to open the box.
#include "github/GitHubClient.h"

#include "FakeTools.h"
#include "LoopbackHttpServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <sodium.h>

class GitHubRepoTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();

    void operations_data();
    void operations();
    void secretSealedForTheRepoKey_data();
    void secretSealedForTheRepoKey();
    void secretThroughGh_data();
    void secretThroughGh();
    void unusablePublicKeyStopsEverything_data();
    void unusablePublicKeyStopsEverything();
    void badNamesSendNothing_data();
    void badNamesSendNothing();

private:
    // Serves a fresh key pair's public half as the repository's key.
    void servePublicKey();
    QByteArray openSealed(const QByteArray& encryptedBase64) const;

    LoopbackHttpServer server;
    unsigned char publicKey[crypto_box_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_box_SECRETKEYBYTES];
};

namespace {

const QString kToken = QStringLiteral("ghp_connected_account");

// Every signal of the client as one line, in the order they arrive; list
// signals show each record's fields.
struct Recorder {
    explicit Recorder(GitHubClient& client)
    {
        QObject::connect(&client, &GitHubClient::secretsFetched,
                         [this](const QString& repo, const QList<GitHubSecret>& list) {
                             QStringList records;
                             for (const GitHubSecret& s : list)
                                 records << QStringList{s.name, s.createdAt, s.updatedAt}.join(u'|');
                             lines << QStringLiteral("secretsFetched(%1,[%2])").arg(repo, records.join(u';'));
                         });
        QObject::connect(&client, &GitHubClient::variablesFetched,
                         [this](const QString& repo, const QList<GitHubVariable>& list) {
                             QStringList records;
                             for (const GitHubVariable& v : list)
                                 records << QStringList{v.name, v.value, v.createdAt, v.updatedAt}.join(u'|');
                             lines << QStringLiteral("variablesFetched(%1,[%2])").arg(repo, records.join(u';'));
                         });
        QObject::connect(&client, &GitHubClient::alertsFetched,
                         [this](const QString& kind, const QString& repo, const QJsonArray& alerts) {
                             lines << QStringLiteral("alertsFetched(%1,%2,%3)").arg(kind, repo).arg(alerts.size());
                         });
        QObject::connect(&client, &GitHubClient::workflowsFetched, [this](const QString& repo, const QJsonArray& a) {
            lines << QStringLiteral("workflowsFetched(%1,%2)").arg(repo).arg(a.size());
        });
        QObject::connect(&client, &GitHubClient::runsFetched, [this](const QString& repo, const QJsonArray& a) {
            lines << QStringLiteral("runsFetched(%1,%2)").arg(repo).arg(a.size());
        });
        QObject::connect(&client, &GitHubClient::operationComplete,
                         [this](const QString& op, bool ok, const QString& detail) {
                             lines << QStringLiteral("operationComplete(%1,%2,%3)")
                                          .arg(op, ok ? QStringLiteral("true") : QStringLiteral("false"), detail);
                         });
        QObject::connect(&client, &GitHubClient::apiError, [this](const QString& op, const QString& error) {
            lines << QStringLiteral("apiError(%1,%2)").arg(op, error);
        });
    }
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
    const QString repo = QStringLiteral("o/r");
    if (call == QLatin1String("listSecrets"))
        client.listSecrets(repo);
    else if (call == QLatin1String("deleteSecret"))
        client.deleteSecret(repo, QStringLiteral("API_KEY"));
    else if (call == QLatin1String("listVariables"))
        client.listVariables(repo);
    else if (call == QLatin1String("createVariable"))
        client.createVariable(repo, QStringLiteral("REGION"), QStringLiteral("eu-west-1"));
    else if (call == QLatin1String("deleteVariable"))
        client.deleteVariable(repo, QStringLiteral("REGION"));
    else if (call == QLatin1String("listDeployKeys"))
        client.listDeployKeys(repo);
    else if (call == QLatin1String("addDeployKey"))
        client.addDeployKey(repo, QStringLiteral("ci"), QStringLiteral("ssh-ed25519 AAAA ci"), true);
    else if (call == QLatin1String("listDependabotAlerts"))
        client.listDependabotAlerts(repo);
    else if (call == QLatin1String("listCodeScanningAlerts"))
        client.listCodeScanningAlerts(repo);
    else if (call == QLatin1String("listSecretScanningAlerts"))
        client.listSecretScanningAlerts(repo);
    else if (call == QLatin1String("listWorkflows"))
        client.listWorkflows(repo);
    else if (call == QLatin1String("listWorkflowRuns"))
        client.listWorkflowRuns(repo);
    else if (call == QLatin1String("triggerWorkflow"))
        client.triggerWorkflow(repo, 0, QStringLiteral("main"));
    else
        QFAIL(qPrintable(QStringLiteral("unknown call ") + call));
}

// A stand-in gh on a search path that holds nothing else it could find.
void installGh(FakeTools& fakes)
{
    fakes.install(QStringLiteral("gh"));
    fakes.linkReal(QStringLiteral("cat"));   // the stand-in records its input with it
}

} // namespace

void GitHubRepoTest::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(server.listen());
    GitHubClient::setBaseUrlForTesting(server.url());
}

void GitHubRepoTest::init()
{
    server.clearRoutes();
    server.clearRequests();
}

void GitHubRepoTest::servePublicKey()
{
    crypto_box_keypair(publicKey, secretKey);
    const QByteArray key = QByteArray(reinterpret_cast<const char*>(publicKey), sizeof publicKey).toBase64();
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets/public-key"), 200,
                 R"({"key_id":"568250167242549743","key":")" + key + R"("})");
}

QByteArray GitHubRepoTest::openSealed(const QByteArray& encryptedBase64) const
{
    const QByteArray box = QByteArray::fromBase64(encryptedBase64);
    if (box.size() < int(crypto_box_SEALBYTES))
        return "<box too short>";
    QByteArray plain(box.size() - int(crypto_box_SEALBYTES), '\0');
    if (crypto_box_seal_open(reinterpret_cast<unsigned char*>(plain.data()),
                             reinterpret_cast<const unsigned char*>(box.constData()),
                             static_cast<unsigned long long>(box.size()), publicKey, secretKey)
        != 0)
        return "<does not open>";
    return plain;
}

void GitHubRepoTest::operations_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("requestBody");   // JSON the request must carry; empty for none
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("replyBody");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("secrets") << "listSecrets" << QByteArray("GET") << QByteArray("/repos/o/r/actions/secrets?per_page=100")
        << QByteArray() << 200
        << QByteArray(R"({"total_count":2,"secrets":[{"name":"A","created_at":"2024-01-02T03:04:05Z",)"
                      R"("updated_at":"2024-02-03T04:05:06Z"},"odd"]})")
        << QStringList{"secretsFetched(o/r,[A|2024-01-02T03:04:05Z|2024-02-03T04:05:06Z;||])",
                       "operationComplete(List Secrets,true,o/r: 2 secrets)"};
    QTest::newRow("secrets member missing") << "listSecrets" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/secrets?per_page=100") << QByteArray() << 200 << QByteArray(R"({"total_count":0})")
        << QStringList{"secretsFetched(o/r,[])", "operationComplete(List Secrets,true,o/r: 0 secrets)"};
    QTest::newRow("delete secret, empty answer") << "deleteSecret" << QByteArray("DELETE")
        << QByteArray("/repos/o/r/actions/secrets/API_KEY") << QByteArray() << 204 << QByteArray()
        << QStringList{"operationComplete(Delete Secret,true,API_KEY)"};
    QTest::newRow("delete secret refused") << "deleteSecret" << QByteArray("DELETE")
        << QByteArray("/repos/o/r/actions/secrets/API_KEY") << QByteArray() << 404
        << QByteArray(R"({"message":"Not Found"})") << QStringList{"apiError(Delete Secret,Not Found)"};
    QTest::newRow("variables, one not an object") << "listVariables" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/variables?per_page=100") << QByteArray() << 200
        << QByteArray(R"({"variables":[{"name":"N","value":"V","created_at":"c","updated_at":"u"},[1]]})")
        << QStringList{"variablesFetched(o/r,[N|V|c|u;|||])", "operationComplete(List Variables,true,o/r: 2 vars)"};
    QTest::newRow("create variable") << "createVariable" << QByteArray("POST")
        << QByteArray("/repos/o/r/actions/variables") << QByteArray(R"({"name":"REGION","value":"eu-west-1"})")
        << 201 << QByteArray("{}") << QStringList{"operationComplete(Create Variable,true,REGION)"};
    QTest::newRow("delete variable") << "deleteVariable" << QByteArray("DELETE")
        << QByteArray("/repos/o/r/actions/variables/REGION") << QByteArray() << 204 << QByteArray()
        << QStringList{"operationComplete(Delete Variable,true,REGION)"};
    QTest::newRow("deploy keys") << "listDeployKeys" << QByteArray("GET") << QByteArray("/repos/o/r/keys?per_page=100")
        << QByteArray() << 200 << QByteArray("[{},{}]")
        << QStringList{"operationComplete(List Deploy Keys,true,2 keys)"};
    QTest::newRow("add deploy key") << "addDeployKey" << QByteArray("POST") << QByteArray("/repos/o/r/keys")
        << QByteArray(R"({"title":"ci","key":"ssh-ed25519 AAAA ci","read_only":true})") << 201
        << QByteArray(R"({"title":"other"})") << QStringList{"operationComplete(Add Deploy Key,true,ci)"};
    QTest::newRow("dependabot") << "listDependabotAlerts" << QByteArray("GET")
        << QByteArray("/repos/o/r/dependabot/alerts?state=open&per_page=100") << QByteArray() << 200 << QByteArray("[{}]")
        << QStringList{"alertsFetched(dependabot,o/r,1)", "operationComplete(Dependabot Alerts,true,o/r: 1 open alerts)"};
    QTest::newRow("code scanning, not an array") << "listCodeScanningAlerts" << QByteArray("GET")
        << QByteArray("/repos/o/r/code-scanning/alerts?state=open&per_page=100") << QByteArray() << 200 << QByteArray("{}")
        << QStringList{"apiError(Code Scanning,the server's answer was not a list)"};
    QTest::newRow("runs, not an object") << "listWorkflowRuns" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/runs?per_page=10") << QByteArray() << 200 << QByteArray(R"([{"id":1}])")
        << QStringList{"apiError(Workflow Runs,the server's answer was not a list)"};
    QTest::newRow("secret scanning") << "listSecretScanningAlerts" << QByteArray("GET")
        << QByteArray("/repos/o/r/secret-scanning/alerts?state=open&per_page=100") << QByteArray() << 200
        << QByteArray("[{},{},{}]") << QStringList{"alertsFetched(secret-scanning,o/r,3)", "operationComplete(Secret Scanning,true,o/r: 3 alerts)"};
    QTest::newRow("workflows") << "listWorkflows" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/workflows?per_page=100") << QByteArray() << 200
        << QByteArray(R"({"total_count":4,"workflows":[{},{}]})")
        << QStringList{"workflowsFetched(o/r,2)", "operationComplete(List Workflows,true,o/r: 4 workflows)"};
    QTest::newRow("workflows without total_count") << "listWorkflows" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/workflows?per_page=100") << QByteArray() << 200 << QByteArray(R"({"workflows":[]})")
        << QStringList{"workflowsFetched(o/r,0)", "operationComplete(List Workflows,true,o/r: 0 workflows)"};
    QTest::newRow("runs") << "listWorkflowRuns" << QByteArray("GET")
        << QByteArray("/repos/o/r/actions/runs?per_page=10") << QByteArray() << 200
        << QByteArray(R"({"total_count":37,"workflow_runs":[{}]})")
        << QStringList{"runsFetched(o/r,1)", "operationComplete(Workflow Runs,true,o/r: 37 recent runs)"};
    QTest::newRow("trigger id 0") << "triggerWorkflow" << QByteArray("POST")
        << QByteArray("/repos/o/r/actions/workflows/0/dispatches") << QByteArray(R"({"ref":"main"})") << 204
        << QByteArray() << QStringList{"operationComplete(Trigger Workflow,true,Dispatched)"};
}

void GitHubRepoTest::operations()
{
    QFETCH(QString, call);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, requestBody);
    QFETCH(int, status);
    QFETCH(QByteArray, replyBody);
    QFETCH(QStringList, expected);

    server.route(method, QString::fromUtf8(target), status, replyBody);
    GitHubClient client;
    client.setToken(kToken);
    Recorder recorder(client);
    invoke(client, call);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines, expected);

    QCOMPARE(server.requestCount(), 1);
    const LoopbackHttpServer::Request request = server.requests().first();
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, target);
    if (requestBody.isEmpty()) {
        QVERIFY(request.body.isEmpty());
    } else {
        QCOMPARE(QJsonDocument::fromJson(request.body), QJsonDocument::fromJson(requestBody));
        QVERIFY(request.body.contains('\n'));   // indented, as every body goes out
    }
}

void GitHubRepoTest::secretSealedForTheRepoKey_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << QStringLiteral("hunter2");
    QTest::newRow("empty") << QString();
    QTest::newRow("not ASCII") << QStringLiteral("pässwörd ✓");
}

void GitHubRepoTest::secretSealedForTheRepoKey()
{
    QFETCH(QString, value);
    FakeTools fakes(false);   // no gh anywhere: the REST call stores it
    servePublicKey();
    server.route("PUT", QStringLiteral("/repos/o/r/actions/secrets/API_KEY"), 201, QByteArray());

    GitHubClient client;
    client.setToken(kToken);
    Recorder recorder(client);
    client.createSecret(QStringLiteral("o/r"), QStringLiteral("API_KEY"), value);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines, QStringList{"operationComplete(Create Secret,true,API_KEY on o/r)"});

    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(server.requests().at(0).target, QByteArray("/repos/o/r/actions/secrets/public-key"));
    const LoopbackHttpServer::Request put = server.requests().at(1);
    QCOMPARE(put.method, QByteArray("PUT"));
    QCOMPARE(put.target, QByteArray("/repos/o/r/actions/secrets/API_KEY"));
    QVERIFY(put.body.contains('\n'));
    const QJsonObject body = QJsonDocument::fromJson(put.body).object();
    QCOMPARE(body.keys(), (QStringList{"encrypted_value", "key_id"}));
    QCOMPARE(body.value("key_id").toString(), QStringLiteral("568250167242549743"));
    const QByteArray encrypted = body.value("encrypted_value").toString().toLatin1();
    const QByteArray utf8 = value.toUtf8();
    // Standard Base64 with its padding, of a box 48 bytes longer than the value.
    QCOMPARE(QByteArray::fromBase64(encrypted).toBase64(), encrypted);
    QCOMPARE(QByteArray::fromBase64(encrypted).size(), int(crypto_box_SEALBYTES) + utf8.size());
    QCOMPARE(openSealed(encrypted), utf8);
    QVERIFY(!put.body.contains(utf8.isEmpty() ? QByteArray("\x01") : utf8));
}

void GitHubRepoTest::secretThroughGh_data()
{
    QTest::addColumn<int>("ghExit");
    QTest::newRow("gh stores it") << 0;
    QTest::newRow("gh fails: REST follows") << 1;
}

void GitHubRepoTest::secretThroughGh()
{
    QFETCH(int, ghExit);
    FakeTools fakes(false);
    installGh(fakes);
    fakes.answer(QStringLiteral("gh"), {}, ghExit);
    const QString tokenFile = fakes.stateDir() + QStringLiteral("/gh-token");
    fakes.setHook(QStringLiteral("gh"), QStringLiteral("printf '%s' \"$GH_TOKEN\" > '%1'").arg(tokenFile));
    servePublicKey();
    server.route("PUT", QStringLiteral("/repos/o/r/actions/secrets/API_KEY"), 204, QByteArray());

    const QString value = QStringLiteral("s3cr3t value");
    GitHubClient client;
    client.setToken(kToken);
    Recorder recorder(client);
    client.createSecret(QStringLiteral("o/r"), QStringLiteral("API_KEY"), value);
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines, QStringList{"operationComplete(Create Secret,true,API_KEY on o/r)"});

    QCOMPARE(fakes.callCount(QStringLiteral("gh")), 1);
    const QStringList args = fakes.arguments(QStringLiteral("gh"));
    QCOMPARE(args, (QStringList{"secret", "set", "--repo", "o/r", "--", "API_KEY"}));
    for (const QString& arg : args) {
        QVERIFY(!arg.contains(value));
        QVERIFY(!arg.contains(kToken));
    }
    QCOMPARE(fakes.standardInput(QStringLiteral("gh")), value.toUtf8());
    QFile token(tokenFile);
    QVERIFY(token.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(token.readAll()), kToken);

    if (ghExit == 0) {
        QCOMPARE(server.requestCount(), 1);   // the key only
    } else {
        QCOMPARE(server.requestCount(), 2);
        const QJsonObject body = QJsonDocument::fromJson(server.requests().at(1).body).object();
        QCOMPARE(openSealed(body.value("encrypted_value").toString().toLatin1()), value.toUtf8());
    }
}

void GitHubRepoTest::unusablePublicKeyStopsEverything_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("replyBody");
    QTest::addColumn<QString>("error");

    const QString noKey = QStringLiteral("apiError(Create Secret,Failed to fetch repo public key)");
    const QByteArray key31 = QByteArray(31, '\x07').toBase64();
    const QByteArray key33 = QByteArray(33, '\x07').toBase64();
    QTest::newRow("empty key") << 200 << QByteArray(R"({"key_id":"1","key":""})") << noKey;
    QTest::newRow("31-byte key") << 200 << QByteArray(R"({"key_id":"1","key":")" + key31 + R"("})") << noKey;
    QTest::newRow("33-byte key") << 200 << QByteArray(R"({"key_id":"1","key":")" + key33 + R"("})") << noKey;
    QTest::newRow("key not Base64") << 200 << QByteArray(R"({"key_id":"1","key":"not*base64*at*all*!!!!!!!!!!!!!!!!!!!!!!!"})")
                                    << noKey;
    QTest::newRow("key_id missing") << 200
        << QByteArray(R"({"key":")" + QByteArray(32, '\x07').toBase64() + R"("})") << noKey;
    QTest::newRow("key request refused") << 403 << QByteArray(R"({"message":"Resource not accessible"})")
                                         << QStringLiteral("apiError(Fetch Public Key,Resource not accessible)");
}

void GitHubRepoTest::unusablePublicKeyStopsEverything()
{
    QFETCH(int, status);
    QFETCH(QByteArray, replyBody);
    QFETCH(QString, error);

    FakeTools fakes(false);
    installGh(fakes);
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets/public-key"), status, replyBody);
    GitHubClient client;
    client.setToken(kToken);
    Recorder recorder(client);
    client.createSecret(QStringLiteral("o/r"), QStringLiteral("API_KEY"), QStringLiteral("v"));
    QTRY_VERIFY_WITH_TIMEOUT(recorder.done(), 30000);
    QCOMPARE(recorder.lines, QStringList{error});
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(fakes.callCount(QStringLiteral("gh")), 0);
}

void GitHubRepoTest::badNamesSendNothing_data()
{
    QTest::addColumn<bool>("secret");
    QTest::addColumn<QString>("name");

    for (const bool secret : {true, false}) {
        const char* kind = secret ? "secret" : "variable";
        for (const char* name : {"-x", "1A", "A B", "", "../keys", "--env-file=x"})
            QTest::addRow("%s \"%s\"", kind, name) << secret << QString::fromLatin1(name);
    }
}

void GitHubRepoTest::badNamesSendNothing()
{
    QFETCH(bool, secret);
    QFETCH(QString, name);

    FakeTools fakes(false);
    installGh(fakes);
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200, "{}");
    GitHubClient client;
    client.setToken(kToken);
    Recorder recorder(client);
    if (secret)
        client.createSecret(QStringLiteral("o/r"), name, QStringLiteral("v"));
    else
        client.createVariable(QStringLiteral("o/r"), name, QStringLiteral("v"));
    QCOMPARE(recorder.lines, QStringList{secret ? "apiError(Create Secret,Invalid secret name)"
                                                : "apiError(Create Variable,Invalid variable name)"});
    // A request of the refused call would have left before this one.
    client.listVariables(QStringLiteral("o/r"));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.lines.size(), 3, 30000);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.requests().first().target, QByteArray("/repos/o/r/actions/variables?per_page=100"));
    QCOMPARE(fakes.callCount(QStringLiteral("gh")), 0);
}

QTEST_GUILESS_MAIN(GitHubRepoTest)
#include "tst_githubrepo.moc"
