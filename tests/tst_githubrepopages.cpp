// The GitHub tab's repository pages (Secrets & Variables, Security,
// Workflows) against a loopback server standing in for the API, on a tab
// connected through a stored account: what each button sends, asks and logs,
// and what the trees show of the replies.
#include "ui/github/GitHubTab.h"

#include "config/UserProfile.h"
#include "github/GitHubClient.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "LoopbackHttpServer.h"
#include "ModalDriver.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QPushButton>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

#include <sodium.h>

using Request = LoopbackHttpServer::Request;

namespace {

const QString kToken = QStringLiteral("ghp_pages_token");

QByteArray json(const QJsonValue& value)
{
    return value.isArray() ? QJsonDocument(value.toArray()).toJson() : QJsonDocument(value.toObject()).toJson();
}

// The log's lines without their time stamps.
QStringList logLines(GitHubTab& tab)
{
    QStringList lines;
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("gitHubLog"))->toPlainText();
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines << line.mid(11);   // "[hh:mm:ss] "
    return lines;
}

// The tree's rows, columns joined by "|".
QStringList rows(QTreeWidget* tree)
{
    QStringList out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QStringList columns;
        for (int c = 0; c < tree->columnCount(); ++c)
            columns << tree->topLevelItem(i)->text(c);
        out << columns.join(QLatin1Char('|'));
    }
    return out;
}

} // namespace

class GitHubRepoPagesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void refusalsSendNothing();
    void secretsListedAndCut();
    void deleteAsksEachTime();
    void listsBelongToTheirRepository_data();
    void listsBelongToTheirRepository();
    void createSecretWithEmptyValueRelists();
    void ghThatHangsLeavesTheWindowAnswering();
    void variablesCreateAndDeleteRelist();
    void backupLogsNames();
    void scanAllSendsThreeInOrder();
    void workflowsTriggerAndRuns();
    void longValuesTakenWhole();

private:
    // A tab connected as the stored account, its choosers on "o/r".
    std::unique_ptr<GitHubTab> connectedTab();
    // The REST answers for creating API_KEY on o/r: the repository's public
    // key, the write, and the list with API_KEY in it.
    void routeApiKeySecret();
    QWidget* page(GitHubTab& tab, int index) { return tab.findChild<QTabWidget*>()->widget(index); }
    QComboBox* combo(GitHubTab& tab, const char* name) { return tab.findChild<QComboBox*>(QLatin1String(name)); }
    QTreeWidget* tree(GitHubTab& tab, const char* name) { return tab.findChild<QTreeWidget*>(QLatin1String(name)); }
    // Requests the client has sent and not yet finished with, oldest first.
    QList<QNetworkReply*> replies(GitHubTab& tab);
    // Paths of the replies the action created, in the order it created them.
    QStringList sentBy(GitHubTab& tab, const std::function<void()>& action);
    bool waitForRequest(const QByteArray& method, const QByteArray& target);
    bool waitForLine(GitHubTab& tab, const QString& line);

    LoopbackHttpServer server;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<UserProfile> profile;
};

void GitHubRepoPagesTest::initTestCase()
{
    QVERIFY(sodium_init() >= 0);
    QVERIFY(server.listen());
    GitHubClient::setBaseUrlForTesting(server.url());
}

void GitHubRepoPagesTest::init()
{
    home = std::make_unique<TestHome>();
    profile = std::make_unique<UserProfile>();
    QVERIFY(profile->load());
    server.releaseHeld();
    server.clearRequests();
    server.clearRoutes();
    server.route("GET", QStringLiteral("/user"), 200, R"({"login":"alice","name":"Alice"})");
    server.route("GET", QStringLiteral("/user/repos?per_page=100&sort=updated"), 200,
                 R"([{"full_name":"o/r"},{"full_name":"o/other"}])");
}

void GitHubRepoPagesTest::cleanup()
{
    profile.reset();
    home.reset();
}

void GitHubRepoPagesTest::routeApiKeySecret()
{
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets/public-key"), 200,
                 R"({"key_id":"k1","key":")" + QByteArray(32, '\x05').toBase64() + R"("})");
    server.route("PUT", QStringLiteral("/repos/o/r/actions/secrets/API_KEY"), 201, QByteArray());
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200, R"({"secrets":[{"name":"API_KEY"}]})");
}

std::unique_ptr<GitHubTab> GitHubRepoPagesTest::connectedTab()
{
    if (!profile->addGithubAccount({QStringLiteral("alice"), QStringLiteral("Alice"), QString(), kToken, QString()})
        || !profile->setActiveGithubLogin(QStringLiteral("alice")))
        return {};
    auto tab = std::make_unique<GitHubTab>(profile.get());
    if (!waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")))
        return {};
    for (const char* name : {"secretsRepoCombo", "securityRepoCombo", "workflowsRepoCombo"}) {
        if (combo(*tab, name)->currentText() != QLatin1String("o/r"))
            return {};
    }
    return tab;
}

QList<QNetworkReply*> GitHubRepoPagesTest::replies(GitHubTab& tab)
{
    auto* network = tab.findChild<GitHubClient*>()->findChild<QNetworkAccessManager*>();
    QList<QNetworkReply*> out;
    for (QObject* child : network->children()) {
        if (auto* reply = qobject_cast<QNetworkReply*>(child))
            out << reply;
    }
    return out;
}

QStringList GitHubRepoPagesTest::sentBy(GitHubTab& tab, const std::function<void()>& action)
{
    const QList<QNetworkReply*> before = replies(tab);
    action();
    QStringList paths;
    for (QNetworkReply* reply : replies(tab)) {
        if (!before.contains(reply))
            paths << reply->url().path();
    }
    return paths;
}

bool GitHubRepoPagesTest::waitForRequest(const QByteArray& method, const QByteArray& target)
{
    const auto seen = [&] {
        for (const Request& request : server.requests()) {
            if (request.method == method && request.target == target)
                return true;
        }
        return false;
    };
    if (QTest::qWaitFor(seen, 20000))
        return true;
    qWarning().noquote() << "no request" << method << target;
    return false;
}

bool GitHubRepoPagesTest::waitForLine(GitHubTab& tab, const QString& line)
{
    if (QTest::qWaitFor([&] { return logLines(tab).contains(line); }, 20000))
        return true;
    qWarning().noquote() << "no line" << line << "in the log:\n" << logLines(tab).join(QLatin1Char('\n'));
    return false;
}

void GitHubRepoPagesTest::refusalsSendNothing()
{
    // No account at all: empty choosers.
    {
        GitHubTab tab(profile.get());
        for (int index : {2, 3}) {
            const QStringList sent = sentBy(tab, [&] {
                clickButton(page(tab, index), index == 2 ? QStringLiteral("Load") : QStringLiteral("Scan All"));
            });
            QVERIFY2(sent.isEmpty(), qPrintable(sent.join(u',')));
        }
        QCOMPARE(logLines(tab), QStringList(2, QStringLiteral("Select a repo and authenticate first.")));
        // Refresh asks nothing of the token, but needs a repository.
        QVERIFY(sentBy(tab, [&] { clickButton(page(tab, 4), QStringLiteral("Refresh")); }).isEmpty());
        QCOMPARE(logLines(tab).size(), 2);
        QCOMPARE(server.requestCount(), 0);
    }

    // Repositories chosen, token gone.
    auto tab = connectedTab();
    QVERIFY(tab);
    clickButton(page(*tab, 0), QStringLiteral("Disconnect"));
    QCOMPARE(combo(*tab, "secretsRepoCombo")->currentText(), QStringLiteral("o/r"));
    const int before = int(logLines(*tab).size());
    for (const auto& [index, button] : {std::pair{2, "Load"}, std::pair{3, "Scan All"}, std::pair{4, "Load"}}) {
        const QStringList sent = sentBy(*tab, [&] { clickButton(page(*tab, index), QLatin1String(button)); });
        QVERIFY2(sent.isEmpty(), qPrintable(sent.join(u',')));
    }
    QCOMPARE(logLines(*tab).mid(before), QStringList(3, QStringLiteral("Select a repo and authenticate first.")));
    // Refresh goes out all the same, both requests.
    QCOMPARE(sentBy(*tab, [&] { clickButton(page(*tab, 4), QStringLiteral("Refresh")); }),
             (QStringList{"/repos/o/r/actions/workflows", "/repos/o/r/actions/runs"}));
    QVERIFY(waitForRequest("GET", "/repos/o/r/actions/runs?per_page=10"));
    QCOMPARE(server.requests().last().header("Authorization").trimmed(), QByteArray("Bearer"));   // no token
}

void GitHubRepoPagesTest::secretsListedAndCut()
{
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200,
                 json(QJsonObject{{"secrets", QJsonArray{QJsonObject{{"name", "A"},
                                                                     {"created_at", "2024-01-02T03:04:05Z"},
                                                                     {"updated_at", "2024-02-03"}},
                                                         QJsonObject{{"name", "<b>B</b>"}}}}}));
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200,
                 json(QJsonObject{{"variables", QJsonArray{QJsonObject{{"name", "REGION"},
                                                                       {"value", "eu"},
                                                                       {"created_at", "2023-05-06T07:08:09Z"},
                                                                       {"updated_at", "2023-05-07T00:00:00Z"}}}}}));
    auto tab = connectedTab();
    QVERIFY(tab);
    clickButton(page(*tab, 2), QStringLiteral("Load"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] List Variables: o/r: 1 vars")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] List Secrets: o/r: 2 secrets")));
    QCOMPARE(rows(tree(*tab, "secretsTree")), (QStringList{"A|2024-01-02|2024-02-03", "<b>B</b>||"}));
    QCOMPARE(rows(tree(*tab, "variablesTree")), QStringList{"REGION|eu|2023-05-06|2023-05-07"});

    // An empty list clears the tree.
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200, R"({"secrets":[]})");
    clickButton(page(*tab, 2), QStringLiteral("Load"));
    QTRY_COMPARE_WITH_TIMEOUT(tree(*tab, "secretsTree")->topLevelItemCount(), 0, 20000);
}

void GitHubRepoPagesTest::deleteAsksEachTime()
{
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200,
                 R"({"secrets":[{"name":"A"},{"name":"B"}]})");
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200, R"({"variables":[]})");
    server.route("DELETE", QStringLiteral("/repos/o/r/actions/secrets/A"), 204, QByteArray());
    auto tab = connectedTab();
    QVERIFY(tab);
    clickButton(page(*tab, 2), QStringLiteral("Load"));
    QTRY_COMPARE_WITH_TIMEOUT(rows(tree(*tab, "secretsTree")), (QStringList{"A||", "B||"}), 20000);
    tree(*tab, "secretsTree")->setCurrentItem(tree(*tab, "secretsTree")->topLevelItem(0));

    ModalDriver driver;
    const auto plainBox = [&driver](QMessageBox::StandardButton answer) {
        driver.enqueueFor<QMessageBox>([answer](QMessageBox* box) {
            QVERIFY(box->textFormat() == Qt::PlainText);
            QVERIFY(box->defaultButton() == box->button(QMessageBox::No));
            box->button(answer)->click();
        });
    };
    plainBox(QMessageBox::No);
    QVERIFY(sentBy(*tab, [&] { clickButton(page(*tab, 2), QStringLiteral("Delete Secret")); }).isEmpty());
    plainBox(QMessageBox::Yes);
    QCOMPARE(sentBy(*tab, [&] { clickButton(page(*tab, 2), QStringLiteral("Delete Secret")); }),
             QStringList{"/repos/o/r/actions/secrets/A"});
    QCOMPARE(driver.titles, QStringList(2, QStringLiteral("Delete Secret")));
    QCOMPARE(driver.texts, QStringList(2, QStringLiteral("Delete secret 'A' from o/r?")));

    // The deleted secret's repository is listed again.
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Delete Secret: A")));
    QVERIFY(waitForRequest("GET", "/repos/o/r/actions/secrets?per_page=100"));
}

void GitHubRepoPagesTest::listsBelongToTheirRepository_data()
{
    QTest::addColumn<QString>("list");
    QTest::newRow("secrets") << "secrets";
    QTest::newRow("workflows") << "workflows";
}

void GitHubRepoPagesTest::listsBelongToTheirRepository()
{
    QFETCH(QString, list);
    const bool secrets = list == QLatin1String("secrets");
    // o/r answers late, after the user moved on to o/other and loaded it.
    LoopbackHttpServer::Response late;
    late.held = true;
    if (secrets) {
        late.body = R"({"secrets":[{"name":"R_SECRET"}]})";
        server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), late);
        server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200, R"({"variables":[]})");
        server.route("GET", QStringLiteral("/repos/o/other/actions/secrets"), 200, R"({"secrets":[{"name":"OTHER_SECRET"}]})");
        server.route("GET", QStringLiteral("/repos/o/other/actions/variables"), 200, R"({"variables":[]})");
        server.route("DELETE", QStringLiteral("/repos/o/other/actions/secrets/OTHER_SECRET"), 204, QByteArray());
    } else {
        late.body = R"({"total_count":1,"workflows":[{"id":1,"name":"R flow","path":"r.yml","state":"active"}]})";
        server.route("GET", QStringLiteral("/repos/o/r/actions/workflows"), late);
        server.route("GET", QStringLiteral("/repos/o/other/actions/workflows"), 200,
                     R"({"total_count":1,"workflows":[{"id":2,"name":"Other flow","path":"o.yml","state":"active"}]})");
        for (const char* repo : {"o/r", "o/other"})
            server.route("GET", QStringLiteral("/repos/%1/actions/runs?per_page=10").arg(QLatin1String(repo)), 200,
                         R"({"total_count":0,"workflow_runs":[]})");
        server.route("POST", QStringLiteral("/repos/o/other/actions/workflows/2/dispatches"), 204, QByteArray());
    }
    auto tab = connectedTab();
    QVERIFY(tab);
    const int index = secrets ? 2 : 4;
    QComboBox* chooser = combo(*tab, secrets ? "secretsRepoCombo" : "workflowsRepoCombo");
    QTreeWidget* shown = tree(*tab, secrets ? "secretsTree" : "workflowsTree");
    const QString operation = secrets ? QStringLiteral("List Secrets: %1: 1 secrets")
                                      : QStringLiteral("List Workflows: %1: 1 workflows");

    clickButton(page(*tab, index), QStringLiteral("Load"));
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 1, 20000);
    chooser->setCurrentText(QStringLiteral("o/other"));
    clickButton(page(*tab, index), QStringLiteral("Load"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] ") + operation.arg(QLatin1String("o/other"))));
    QCOMPARE(server.releaseHeld(), 1);
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] ") + operation.arg(QLatin1String("o/r"))));
    // The late list of o/r does not pass for that of o/other.
    QCOMPARE(rows(shown), QStringList{secrets ? QStringLiteral("OTHER_SECRET||") : QStringLiteral("Other flow|o.yml|active|2")});

    // Acting on a row acts on the repository of its list, whatever the
    // chooser shows by now, and the question names it.
    chooser->setCurrentText(QStringLiteral("o/r"));
    shown->setCurrentItem(shown->topLevelItem(0));
    ModalDriver driver;
    if (secrets) {
        driver.pressButton(QMessageBox::Yes);
        QCOMPARE(sentBy(*tab, [&] { clickButton(page(*tab, index), QStringLiteral("Delete Secret")); }),
                 QStringList{"/repos/o/other/actions/secrets/OTHER_SECRET"});
        QCOMPARE(driver.texts.last(), QStringLiteral("Delete secret 'OTHER_SECRET' from o/other?"));
        clickButton(page(*tab, index), QStringLiteral("Backup All to Vault"));
        QCOMPARE(logLines(*tab).last(), QStringLiteral("Vault backup: 1 secret names from o/other: OTHER_SECRET"));
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Delete Secret: OTHER_SECRET")));
    } else {
        driver.typeText(QStringLiteral("main"));
        QCOMPARE(sentBy(*tab, [&] { clickButton(page(*tab, index), QStringLiteral("Trigger Workflow...")); }),
                 QStringList{"/repos/o/other/actions/workflows/2/dispatches"});
        QCOMPARE(driver.texts.last(), QStringLiteral("Branch/ref to dispatch 'Other flow' of o/other on:"));
        QCOMPARE(logLines(*tab).last(), QStringLiteral("Triggered 'Other flow' on o/other (ref: main)"));
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Trigger Workflow: Dispatched")));
    }
    for (const Request& request : server.requests())
        QVERIFY2(request.method == "GET" || request.target.contains("/o/other/"), request.target.constData());
}

void GitHubRepoPagesTest::createSecretWithEmptyValueRelists()
{
    routeApiKeySecret();
    auto tab = connectedTab();
    QVERIFY(tab);
    // Connected (the profile written with the real openssl), then no gh: the
    // sealed value goes over REST.
    FakeTools fakes(false);

    ModalDriver driver;
    driver.typeText(QStringLiteral("API_KEY"));
    driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
        QCOMPARE(dialog->textEchoMode(), QLineEdit::Password);
        dialog->setTextValue(QString());
        dialog->accept();
    });
    clickButton(page(*tab, 2), QStringLiteral("Create Secret..."));
    QCOMPARE(driver.titles, QStringList(2, QStringLiteral("Create Actions Secret")));
    QCOMPARE(driver.texts, (QStringList{"Secret name (UPPER_SNAKE_CASE):", "Secret value:"}));

    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Create Secret: API_KEY on o/r")));
    QTRY_COMPARE_WITH_TIMEOUT(rows(tree(*tab, "secretsTree")), QStringList{"API_KEY||"}, 20000);
    const QList<Request> requests = server.requests();
    QCOMPARE(requests.at(3).method, QByteArray("PUT"));
    const QJsonObject body = QJsonDocument::fromJson(requests.at(3).body).object();
    QCOMPARE(QByteArray::fromBase64(body.value("encrypted_value").toString().toLatin1()).size(), 48);
    QCOMPARE(requests.at(4).target, QByteArray("/repos/o/r/actions/secrets?per_page=100"));

    // A cancelled name asks nothing more and sends nothing.
    driver.cancelInput();
    QVERIFY(sentBy(*tab, [&] { clickButton(page(*tab, 2), QStringLiteral("Create Secret...")); }).isEmpty());
    QCOMPARE(driver.titles.size(), 3);
}

void GitHubRepoPagesTest::ghThatHangsLeavesTheWindowAnswering()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("gh"));
    fakes.setSleep(QStringLiteral("gh"), 60);
    routeApiKeySecret();
    auto tab = connectedTab();
    QVERIFY(tab);
    auto* client = tab->findChild<GitHubClient*>();
    QCOMPARE(client->ghTimeoutMs, 15000);
    client->ghTimeoutMs = 1000;

    ModalDriver driver;
    driver.typeText(QStringLiteral("API_KEY"));
    driver.typeText(QStringLiteral("value"));
    clickButton(page(*tab, 2), QStringLiteral("Create Secret..."));
    Heartbeat heartbeat;
    QVERIFY(waitForLine(*tab, QStringLiteral("Create Secret: gh did not finish within 1 s; the secret goes through "
                                             "the API instead")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Create Secret: API_KEY on o/r")));
    QVERIFY2(heartbeat.longestGapMs() <= 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(fakes.callCount(QStringLiteral("gh")), 1);
    QVERIFY(waitForRequest("PUT", "/repos/o/r/actions/secrets/API_KEY"));
    // The list asked for after the create is in before the next test.
    QTRY_COMPARE_WITH_TIMEOUT(rows(tree(*tab, "secretsTree")), QStringList{"API_KEY||"}, 20000);
}

void GitHubRepoPagesTest::variablesCreateAndDeleteRelist()
{
    server.route("POST", QStringLiteral("/repos/o/r/actions/variables"), 201, "{}");
    server.route("DELETE", QStringLiteral("/repos/o/r/actions/variables/REGION"), 204, QByteArray());
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200,
                 R"({"variables":[{"name":"REGION","value":""}]})");
    auto tab = connectedTab();
    QVERIFY(tab);

    ModalDriver driver;
    driver.typeText(QStringLiteral("REGION"));
    driver.typeText(QString());
    clickButton(page(*tab, 2), QStringLiteral("Create Variable..."));
    QCOMPARE(driver.texts, (QStringList{"Variable name:", "Variable value:"}));
    QVERIFY(waitForRequest("GET", "/repos/o/r/actions/variables?per_page=100"));
    QCOMPARE(QJsonDocument::fromJson(server.requests().at(2).body),
             QJsonDocument::fromJson(R"({"name":"REGION","value":""})"));
    QTRY_COMPARE_WITH_TIMEOUT(rows(tree(*tab, "variablesTree")), QStringList{"REGION|||"}, 20000);

    tree(*tab, "variablesTree")->setCurrentItem(tree(*tab, "variablesTree")->topLevelItem(0));
    driver.pressButton(QMessageBox::Yes);
    clickButton(page(*tab, 2), QStringLiteral("Delete Variable"));
    QCOMPARE(driver.texts.last(), QStringLiteral("Delete variable 'REGION' from o/r?"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Delete Variable: REGION")));
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 6, 20000);
    QCOMPARE(server.requests().at(5).target, QByteArray("/repos/o/r/actions/variables?per_page=100"));
}

void GitHubRepoPagesTest::backupLogsNames()
{
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200,
                 R"({"secrets":[{"name":"A"},{"name":"B"},{"name":"C"}]})");
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200, "{}");
    auto tab = connectedTab();
    QVERIFY(tab);
    QSignalSpy session(tab.get(), &GitHubTab::logRequest);

    clickButton(page(*tab, 2), QStringLiteral("Backup All to Vault"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("No secrets loaded to backup."));
    QCOMPARE(session.size(), 0);

    clickButton(page(*tab, 2), QStringLiteral("Load"));
    QTRY_COMPARE_WITH_TIMEOUT(tree(*tab, "secretsTree")->topLevelItemCount(), 3, 20000);
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] List Variables: o/r: 0 vars")));
    session.clear();
    clickButton(page(*tab, 2), QStringLiteral("Backup All to Vault"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Vault backup: 3 secret names from o/r: A, B, C"));
    QCOMPARE(session.size(), 1);
    QCOMPARE(session.first(), (QVariantList{"Backup Secrets", "o/r", true, "3 names"}));
}

void GitHubRepoPagesTest::scanAllSendsThreeInOrder()
{
    server.route("GET", QStringLiteral("/repos/o/r/dependabot/alerts?state=open&per_page=100"), 200,
                 json(QJsonArray{QJsonObject{
                     {"dependency", QJsonObject{{"package", QJsonObject{{"name", "lodash"}}}}},
                     {"security_advisory",
                      QJsonObject{{"severity", "high"}, {"summary", "Prototype pollution"}, {"cve_id", "CVE-2020-8203"}}},
                     {"state", "open"}}}));
    server.route("GET", QStringLiteral("/repos/o/r/code-scanning/alerts?state=open&per_page=100"), 200,
                 json(QJsonArray{QJsonObject{
                     {"rule", QJsonObject{{"id", "cpp/overflow"}, {"severity", "error"}, {"description", "Overflow"}}},
                     {"tool", QJsonObject{{"name", "CodeQL"}}},
                     {"state", "open"}}}));
    server.route("GET", QStringLiteral("/repos/o/r/secret-scanning/alerts?state=open&per_page=100"), 200,
                 json(QJsonArray{QJsonObject{{"secret_type_display_name", "GitHub Token"},
                                             {"state", "resolved"},
                                             {"created_at", "2024-03-04T05:06:07Z"},
                                             {"resolution", "revoked"}},
                                 QJsonObject{{"state", "open"}, {"resolution", QJsonValue()}}}));
    auto tab = connectedTab();
    QVERIFY(tab);

    const QStringList sent = sentBy(*tab, [&] {
        clickButton(page(*tab, 3), QStringLiteral("Scan All"));
        QCOMPARE(logLines(*tab).last(), QStringLiteral("Scanning security alerts for o/r..."));
    });
    QCOMPARE(sent, (QStringList{"/repos/o/r/dependabot/alerts", "/repos/o/r/code-scanning/alerts",
                                "/repos/o/r/secret-scanning/alerts"}));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Dependabot Alerts: o/r: 1 open alerts")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Code Scanning: o/r: 1 alerts")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Secret Scanning: o/r: 2 alerts")));
    QCOMPARE(rows(tree(*tab, "dependabotTree")),
             QStringList{"lodash|high|Prototype pollution|CVE-2020-8203|open"});
    QCOMPARE(rows(tree(*tab, "codeScanningTree")), QStringList{"cpp/overflow|error|Overflow|CodeQL|open"});
    QCOMPARE(rows(tree(*tab, "secretScanningTree")),
             (QStringList{"GitHub Token|resolved|2024-03-04|revoked", "|open||"}));
}

void GitHubRepoPagesTest::workflowsTriggerAndRuns()
{
    server.route("GET", QStringLiteral("/repos/o/r/actions/workflows"), 200,
                 json(QJsonObject{{"total_count", 3},
                                  {"workflows",
                                   QJsonArray{QJsonObject{{"id", 161335}, {"name", "CI"},
                                                          {"path", ".github/workflows/ci.yml"}, {"state", "active"}},
                                              QJsonObject{{"id", 7}, {"name", "%2"}, {"path", "p"}, {"state", "x"}},
                                              QJsonObject{{"id", qint64(8589934599)}, {"name", "Big"},
                                                          {"path", "b"}, {"state", "active"}}}}}));
    const auto run = [](const char* name, const QJsonValue& conclusion, const char* status, const char* url) {
        return QJsonObject{{"id", 30433642}, {"name", name}, {"conclusion", conclusion}, {"status", status},
                           {"head_branch", "main"}, {"event", "push"}, {"created_at", "2024-05-06T07:08:09Z"},
                           {"html_url", url}};
    };
    server.route("GET", QStringLiteral("/repos/o/r/actions/runs?per_page=10"), 200,
                 json(QJsonObject{{"total_count", 5},
                                  {"workflow_runs",
                                   QJsonArray{run("Build", "success", "completed", "https://github.com/o/r/actions/runs/1"),
                                              run("Test", "failure", "completed", ""),
                                              run("Lint", QJsonValue(), "in_progress", ""),
                                              run("Deploy", QJsonValue(), "queued", ""),
                                              run("Docs", "cancelled", "completed", "")}}}));
    server.route("POST", QStringLiteral("/repos/o/r/actions/workflows/161335/dispatches"), 204, QByteArray());
    server.route("POST", QStringLiteral("/repos/o/r/actions/workflows/0/dispatches"), 204, QByteArray());
    server.route("POST", QStringLiteral("/repos/o/r/actions/workflows/7/dispatches"), 204, QByteArray());
    server.route("POST", QStringLiteral("/repos/o/r/actions/workflows/8589934599/dispatches"), 204, QByteArray());
    auto tab = connectedTab();
    QVERIFY(tab);
    QTreeWidget* workflows = tree(*tab, "workflowsTree");
    QTreeWidget* runs = tree(*tab, "runsTree");

    clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow..."));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Select a workflow first."));

    clickButton(page(*tab, 4), QStringLiteral("Load"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] List Workflows: o/r: 3 workflows")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Workflow Runs: o/r: 5 recent runs")));
    QCOMPARE(rows(workflows),
             (QStringList{"CI|.github/workflows/ci.yml|active|161335", "%2|p|x|7", "Big|b|active|8589934599"}));
    QCOMPARE(rows(runs).first(), QStringLiteral("Build|success|main|push|2024-05-06|30433642"));
    QStringList statuses;
    QStringList colours;
    for (int i = 0; i < runs->topLevelItemCount(); ++i) {
        statuses << runs->topLevelItem(i)->text(1);
        const QVariant colour = runs->topLevelItem(i)->data(1, Qt::ForegroundRole);
        colours << (colour.isValid() ? colour.value<QBrush>().color().name() : QString());
    }
    QCOMPARE(statuses, (QStringList{"success", "failure", "in_progress", "queued", "cancelled"}));
    QCOMPARE(colours, (QStringList{"#22c55e", "#f87171", "#f59e0b", "#f59e0b", ""}));

    // A double-click copies the run's page address.
    emit runs->itemDoubleClicked(runs->topLevelItem(0), 0);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("https://github.com/o/r/actions/runs/1"));

    // The default ref, accepted as offered, on the selected workflow.
    ModalDriver driver;
    driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
        QCOMPARE(dialog->textValue(), QStringLiteral("master"));
        // The workflow's name is the service's text: never read as markup.
        for (QLabel* label : dialog->findChildren<QLabel*>())
            QCOMPARE(label->textFormat(), Qt::PlainText);
        dialog->accept();
    });
    workflows->setCurrentItem(workflows->topLevelItem(0));
    clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow..."));
    QCOMPARE(driver.titles.last(), QStringLiteral("Trigger Workflow"));
    QCOMPARE(driver.texts.last(), QStringLiteral("Branch/ref to dispatch 'CI' of o/r on:"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Triggered 'CI' on o/r (ref: master)"));
    QVERIFY(waitForRequest("POST", "/repos/o/r/actions/workflows/161335/dispatches"));
    QCOMPARE(QJsonDocument::fromJson(server.requests().last().body), QJsonDocument::fromJson(R"({"ref":"master"})"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Trigger Workflow: Dispatched")));

    // A name that looks like a placeholder stays itself.
    driver.typeText(QStringLiteral("dev"));
    workflows->setCurrentItem(workflows->topLevelItem(1));
    clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow..."));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Triggered '%2' on o/r (ref: dev)"));
    QVERIFY(waitForRequest("POST", "/repos/o/r/actions/workflows/7/dispatches"));

    // An id beyond 32 bits dispatches that very workflow.
    driver.typeText(QStringLiteral("main"));
    workflows->setCurrentItem(workflows->topLevelItem(2));
    clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow..."));
    QVERIFY(waitForRequest("POST", "/repos/o/r/actions/workflows/8589934599/dispatches"));

    // An ID that is no number dispatches workflow 0.
    workflows->topLevelItem(0)->setText(3, QStringLiteral("abc"));
    workflows->setCurrentItem(workflows->topLevelItem(0));
    driver.typeText(QStringLiteral("main"));
    clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow..."));
    QVERIFY(waitForRequest("POST", "/repos/o/r/actions/workflows/0/dispatches"));

    // A cancelled ref sends nothing.
    driver.cancelInput();
    QVERIFY(sentBy(*tab, [&] { clickButton(page(*tab, 4), QStringLiteral("Trigger Workflow...")); }).isEmpty());
}

void GitHubRepoPagesTest::longValuesTakenWhole()
{
    // A keystore in base64, 76 characters to a line: 40,000 characters.
    QString value;
    while (value.size() < 40000)
        value += QString(76, u'Q') + QLatin1Char('\n');
    value.truncate(40000);

    unsigned char publicKey[crypto_box_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_box_SECRETKEYBYTES];
    crypto_box_keypair(publicKey, secretKey);
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets/public-key"), 200,
                 R"({"key_id":"k1","key":")"
                     + QByteArray(reinterpret_cast<const char*>(publicKey), sizeof publicKey).toBase64() + R"("})");
    server.route("PUT", QStringLiteral("/repos/o/r/actions/secrets/KEYSTORE"), 201, QByteArray());
    server.route("GET", QStringLiteral("/repos/o/r/actions/secrets"), 200, R"({"secrets":[]})");
    server.route("POST", QStringLiteral("/repos/o/r/actions/variables"), 201, "{}");
    server.route("GET", QStringLiteral("/repos/o/r/actions/variables"), 200, R"({"variables":[]})");
    auto tab = connectedTab();
    QVERIFY(tab);
    FakeTools fakes(false);   // no gh: the sealed value goes over REST

    ModalDriver driver;
    driver.typeText(QStringLiteral("KEYSTORE"));
    driver.enqueueFor<QInputDialog>([&value](QInputDialog* dialog) {
        // Masked as it is typed, and long enough for the whole value.
        QCOMPARE(dialog->textEchoMode(), QLineEdit::Password);
        auto* edit = dialog->findChild<QLineEdit*>();
        QVERIFY(edit);
        QVERIFY(edit->maxLength() > int(GitHubClient::maxValueBytes));
        dialog->setTextValue(value);
        dialog->accept();
    });
    clickButton(page(*tab, 2), QStringLiteral("Create Secret..."));
    QCOMPARE(driver.pending(), 0);
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Create Secret: KEYSTORE on o/r")));
    QByteArray sealed;
    for (const Request& request : server.requests()) {
        if (request.method == "PUT")
            sealed = QByteArray::fromBase64(
                QJsonDocument::fromJson(request.body).object().value("encrypted_value").toString().toLatin1());
    }
    QVERIFY(sealed.size() > int(crypto_box_SEALBYTES));
    QByteArray plain(sealed.size() - int(crypto_box_SEALBYTES), '\0');
    QCOMPARE(crypto_box_seal_open(reinterpret_cast<unsigned char*>(plain.data()),
                                  reinterpret_cast<const unsigned char*>(sealed.constData()),
                                  static_cast<unsigned long long>(sealed.size()), publicKey, secretKey),
             0);
    QCOMPARE(plain.size(), 40000);
    QCOMPARE(plain, value.toUtf8());

    // A variable takes several lines in a box made for them.
    const QString lines = QStringLiteral("eu-west-1\neu-central-1\n") + QString(45000, u'r');
    driver.typeText(QStringLiteral("REGIONS"));
    driver.enqueueFor<QInputDialog>([&lines](QInputDialog* dialog) {
        QVERIFY(dialog->findChild<QPlainTextEdit*>());
        QVERIFY(dialog->findChild<QPlainTextEdit*>()->isVisibleTo(dialog));
        dialog->setTextValue(lines);
        dialog->accept();
    });
    clickButton(page(*tab, 2), QStringLiteral("Create Variable..."));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Create Variable: REGIONS")));
    QByteArray posted;
    for (const Request& request : server.requests()) {
        if (request.method == "POST")
            posted = request.body;
    }
    QVERIFY(QJsonDocument::fromJson(posted).object().value("value").toString() == lines);

    // Beyond 48 KB: refused with its length, nothing sent.
    QVERIFY(waitForRequest("GET", "/repos/o/r/actions/variables?per_page=100"));   // the relist
    server.clearRequests();
    driver.typeText(QStringLiteral("HUGE"));
    driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
        dialog->setTextValue(QString(60000, u'x'));
        dialog->accept();
    });
    clickButton(page(*tab, 2), QStringLiteral("Create Secret..."));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("[ERROR] Create Secret: The secret value is 60000 bytes; GitHub "
                                                   "takes at most 49152 bytes (48 KB). Nothing was sent."));
    QTest::qWait(0);
    QCOMPARE(server.requestCount(), 0);
}

QTEST_MAIN(GitHubRepoPagesTest)
#include "tst_githubrepopages.moc"
