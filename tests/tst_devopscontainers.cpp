// The DevOps tab's Kubernetes and Docker / Podman sub-tabs: kubectl and
// docker as recording stand-ins (no cluster or engine can run here), podman
// for real on a throwaway store, curl for real against a loopback registry.
#include "ui/remote/DevOpsSecretsTab.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "ui/remote/SshTerminalWindow.h"
#include "ui/remote/TerminalWidget.h"

#include "FakeTools.h"
#include "LoopbackHttpServer.h"
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TerminalStandIns.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QTreeWidget>
#include <QtTest>

#include <memory>
#include <vector>

class DevOpsContainersTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void kubernetesContexts_data();
    void kubernetesContexts();
    void kubernetesList_data();
    void kubernetesList();
    void kubernetesCreate_data();
    void kubernetesCreate();
    void kubernetesDelete();
    void kubernetesDeleteNameAfterDoubleDash();
    void kubernetesChosenContext();

    void engineConnection_data();
    void engineConnection();
    void engineList_data();
    void engineList();
    void engineCreate_data();
    void engineCreate();
    void engineDelete();
    void engineDeleteWhereListed_data();
    void engineDeleteWhereListed();
    void backupNames();
    void backupNamesReplacesAPlantedLink();
    void testConnection_data();
    void testConnection();
    void listings();
    void sshSetupRemote_data();
    void sshSetupRemote();
    void registryCatalog();
    void realPodmanRoundTrip();
    void realDockerReadsItsOwnLayout();
    void optionWords_data();
    void optionWords();
    void toolFailures_data();
    void toolFailures();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<FakeTools> fakes;
    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<ScopedEnv> tmpdir;
};

namespace {

const QString kubectl = QStringLiteral("kubectl");
const QString docker = QStringLiteral("docker");

QStringList logLines(DevOpsSecretsTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("devopsLog"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The tabs here are never shown, so nothing but the operations under test
// writes to the log.
QStringList newLines(DevOpsSecretsTab& tab)
{
    return logLines(tab);
}

QWidget* page(DevOpsSecretsTab& tab, int index)
{
    return tab.findChild<QTabWidget*>(QStringLiteral("devopsPages"))->widget(index);
}

QWidget* kubernetesPage(DevOpsSecretsTab& tab)
{
    return page(tab, 2);
}

QWidget* enginePage(DevOpsSecretsTab& tab)
{
    return page(tab, 3);
}

QStringList rows(QTreeWidget* tree)
{
    QStringList lines;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QStringList columns;
        for (int c = 0; c < tree->columnCount(); ++c)
            columns << tree->topLevelItem(i)->text(c);
        lines << columns.join(QLatin1Char('|'));
    }
    return lines;
}

QTreeWidget* tree(DevOpsSecretsTab& tab, const char* name)
{
    return tab.findChild<QTreeWidget*>(QLatin1String(name));
}

void setEngine(DevOpsSecretsTab& tab, const QString& runtime, const QString& mode, const QString& host)
{
    auto* runtimes = tab.findChild<QComboBox*>(QStringLiteral("engineRuntime"));
    runtimes->setCurrentIndex(runtimes->findText(runtime));
    auto* modes = tab.findChild<QComboBox*>(QStringLiteral("engineMode"));
    modes->setCurrentIndex(modes->findData(mode));
    QVERIFY(runtimes->currentText() == runtime && modes->currentData().toString() == mode);
    tab.findChild<QLineEdit*>(QStringLiteral("engineHost"))->setText(host);
}

const QByteArray secretList = "ID                         NAME        DRIVER      CREATED       UPDATED\n"
                              "2d19dcee8c000a53953f279b6  one         file        2 days ago    1 day ago\n"
                              "7f00aa11bb22cc33dd44ee556  two         file\n";

// Lists the stand-in's secrets into the engine list.
void listEngineSecrets(DevOpsSecretsTab& tab, FakeTools& fakes)
{
    fakes.answer(docker, secretList, 0, {}, fakes.callCount(docker) + 1);
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
}

// Lists one Secret of that name through the docker stand-in and makes its
// row current: a row of the engine list always comes from a listing, and
// remembers where it was listed.
void listOneEngineSecret(DevOpsSecretsTab& tab, FakeTools& fakes, const QString& name)
{
    fakes.answer(docker,
                 "ID                         NAME        DRIVER      CREATED       UPDATED\n"
                 "2d19dcee8c000a53953f279b6  "
                     + name.leftJustified(12).toUtf8() + "file        2 days ago    1 day ago\n",
                 0, {}, fakes.callCount(docker) + 1);
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    secrets->setCurrentItem(secrets->topLevelItem(0));
}

QString backupPath(const QString& runtime)
{
    return QDir::tempPath() + QLatin1Char('/') + runtime + QStringLiteral("-secrets-backup.txt");
}

// A loopback HTTP server on a thread of its own: the tab waits for its tools
// with blocking waits, so the server must answer from elsewhere.
class ServerThread
{
public:
    ServerThread()
        : server(new LoopbackHttpServer)
    {
        server->moveToThread(&thread);
        thread.start();
    }
    ~ServerThread()
    {
        call([this] { delete server; });
        thread.quit();
        thread.wait();
    }
    // Runs f on the server's thread and waits for it.
    void call(const std::function<void()>& f) { QMetaObject::invokeMethod(server, f, Qt::BlockingQueuedConnection); }
    bool listen()
    {
        bool listening = false;
        call([&] { listening = server->listen(); });
        return listening;
    }
    QString url()
    {
        QString address;
        call([&] { address = server->url(); });
        return address;
    }
    QList<LoopbackHttpServer::Request> requests()
    {
        QList<LoopbackHttpServer::Request> seen;
        call([&] { seen = server->requests(); });
        return seen;
    }
    // method and path of every request, "GET /a/b".
    QStringList requestLines()
    {
        QStringList lines;
        for (const LoopbackHttpServer::Request& request : requests())
            lines << QString::fromLatin1(request.method) + QLatin1Char(' ') + request.path;
        return lines;
    }

    LoopbackHttpServer* server;

private:
    QThread thread;
};

LoopbackHttpServer::Response json(const QByteArray& body, int status = 200)
{
    LoopbackHttpServer::Response response;
    response.status = status;
    response.body = body;
    response.headers = {{"Content-Type", "application/json"}};
    return response;
}

// Just enough of a Kubernetes API server for the real kubectl, which finds
// it through a kubeconfig of the test's own: the discovery documents, the
// Secrets of namespace "prod" and their deletion. One loopback server per
// context named, the first of them kubectl's current context.
class KubeApi
{
public:
    // The real kubectl goes on the stand-ins' search path, recorded.
    KubeApi(const QString& home, FakeTools& fakes, const QStringList& contexts = {QStringLiteral("loopback-ctx")})
    {
        const QString real =
            QStandardPaths::findExecutable(kubectl, {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin")});
        hasKubectl = !real.isEmpty();
        if (hasKubectl)
            fakes.recordReal(kubectl, real);
        QString clusters, contextList;
        listening = true;
        for (const QString& context : contexts) {
            servers.push_back(std::make_unique<ServerThread>());
            ServerThread& server = *servers.back();
            server.call([&server] {
                LoopbackHttpServer* s = server.server;
                s->route("GET", QStringLiteral("/version"), json(R"({"major":"1","minor":"32","gitVersion":"v1.32.0"})"));
                s->route("GET", QStringLiteral("/api"), json(R"({"kind":"APIVersions","versions":["v1"],)"
                                                             R"("serverAddressByClientCIDRs":[]})"));
                s->route("GET", QStringLiteral("/apis"), json(R"({"kind":"APIGroupList","apiVersion":"v1","groups":[]})"));
                s->route("GET", QStringLiteral("/api/v1"),
                         json(R"({"kind":"APIResourceList","groupVersion":"v1","resources":[{"name":"secrets",)"
                              R"("singularName":"secret","namespaced":true,"kind":"Secret",)"
                              R"("verbs":["create","delete","get","list"]}]})"));
            });
            listening = server.listen() && listening;
            clusters += QStringLiteral("- name: %1-cluster\n  cluster: {server: \"%2\"}\n").arg(context, server.url());
            contextList += QStringLiteral("- name: %1\n  context: {cluster: %1-cluster, user: nobody}\n").arg(context);
        }
        kubeconfig = home + QStringLiteral("/kubeconfig");
        writeFile(kubeconfig, QStringLiteral("apiVersion: v1\nkind: Config\nclusters:\n%1contexts:\n%2"
                                             "current-context: %3\nusers:\n- name: nobody\n  user: {}\n")
                                  .arg(clusters, contextList, contexts.value(0))
                                  .toUtf8());
        env = std::make_unique<ScopedEnv>("KUBECONFIG", QFile::encodeName(kubeconfig));
    }
    // The server of the context given by its place in the list.
    ServerThread& cluster(int index = 0) { return *servers.at(index); }
    // The Secrets listed in "prod" (a JSON array of Secret objects), or the
    // status the server refuses the list with; on every server.
    void setSecrets(const QByteArray& items, int status = 200)
    {
        const QByteArray body = status == 200 ? R"({"kind":"SecretList","apiVersion":"v1","metadata":{},"items":)" + items + "}"
                                              : items;
        for (auto& server : servers) {
            ServerThread* thread = server.get();
            thread->call([thread, body, status] {
                thread->server->route("GET", QStringLiteral("/api/v1/namespaces/prod/secrets"), json(body, status));
            });
        }
    }
    void allowDelete(const QString& name)
    {
        const QByteArray body = R"({"kind":"Status","apiVersion":"v1","status":"Success","details":{"name":")"
                                + name.toUtf8() + R"(","kind":"secrets"}})";
        for (auto& server : servers) {
            ServerThread* thread = server.get();
            thread->call([thread, name, body] {
                thread->server->route("DELETE", QStringLiteral("/api/v1/namespaces/prod/secrets/") + name, json(body));
            });
        }
    }

    bool hasKubectl = false;
    bool listening = false;
    QString kubeconfig;

private:
    std::vector<std::unique_ptr<ServerThread>> servers;
    std::unique_ptr<ScopedEnv> env;
};

} // namespace

void DevOpsContainersTest::init()
{
    home = std::make_unique<TestHome>();
    // This machine carries kubectl and docker of its own, which must never
    // run here: the search path holds only what each test puts on it.
    fakes = std::make_unique<FakeTools>(false);
    for (const char* tool : {"which", "cat", "dirname", "readlink", "basename", "sleep"})
        fakes->linkReal(QString::fromLatin1(tool));
    fakes->install(kubectl);
    fakes->install(docker);
    // The names file goes to the temporary folder: one of the test's own.
    temp = std::make_unique<QTemporaryDir>();
    tmpdir = std::make_unique<ScopedEnv>("TMPDIR", QFile::encodeName(temp->path()));
}

void DevOpsContainersTest::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    tmpdir.reset();
    temp.reset();
    fakes.reset();
    home.reset();
}

void DevOpsContainersTest::kubernetesContexts_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("hangs");
    QTest::addColumn<QStringList>("contexts");
    QTest::addColumn<QStringList>("lines");   // after the detection line
    QTest::newRow("trimmed, duplicates kept") << true << QByteArray("prod\n  staging  \n\nprod\n") << 0 << false
                                              << QStringList{"prod", "staging", "prod"} << QStringList{};
    QTest::newRow("none") << true << QByteArray() << 0 << false << QStringList{} << QStringList{};
    QTest::newRow("kubectl fails") << true << QByteArray() << 1 << false << QStringList{}
                                   << QStringList{QString::fromUtf8("k8s: could not list the kubeconfig contexts "
                                                                    "\u2014 error: unreadable kubeconfig")};
    QTest::newRow("kubectl hangs") << true << QByteArray() << 0 << true << QStringList{}
                                   << QStringList{QString::fromUtf8("k8s: could not list the kubeconfig contexts "
                                                                    "\u2014 kubectl timed out after 1500 ms")};
    QTest::newRow("no kubectl: nothing runs") << false << QByteArray() << 0 << false << QStringList{}
                                              << QStringList{};
}

// The context list is filled once the tab is first shown, without holding
// it up; a failure is told, a missing kubectl only by the detection line.
void DevOpsContainersTest::kubernetesContexts()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(bool, hangs);
    QFETCH(QStringList, contexts);
    QFETCH(QStringList, lines);
    if (!present)
        QVERIFY(QFile::remove(fakes->binDir() + QStringLiteral("/kubectl")));
    fakes->answer(kubectl, output, exitCode, exitCode ? QByteArray("error: unreadable kubeconfig\n") : QByteArray());
    if (hangs)
        fakes->setSleep(kubectl, 60);
    DevOpsSecretsTab tab;
    tab.toolTimeoutMs = 1500;
    tab.show();
    // The detection's line, then kubectl's context listing when it was found.
    QTRY_VERIFY(!logLines(tab).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(tab.findChildren<QProcess*>().isEmpty(), 20000);
    QCOMPARE(logLines(tab).value(0), present ? QStringLiteral("DevOps tools detected: kubectl, docker")
                                             : QStringLiteral("DevOps tools detected: docker"));
    QCOMPARE(logLines(tab).mid(1), lines);
    QCOMPARE(fakes->callCount(kubectl), present ? 1 : 0);
    if (present)
        QCOMPARE(fakes->arguments(kubectl), (QStringList{"config", "get-contexts", "-o", "name"}));
    auto* selector = tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"));
    QStringList shown;
    for (int i = 0; i < selector->count(); ++i)
        shown << selector->itemText(i);
    QCOMPARE(shown, contexts);
    QCOMPARE(selector->currentIndex(), contexts.isEmpty() ? -1 : 0);
    // Once kubectl has answered, failed or was not found, an empty box says
    // so rather than "detecting" for ever.
    QCOMPARE(selector->placeholderText(), contexts.isEmpty()
                                              ? QStringLiteral("No contexts in kubeconfig")
                                              : QStringLiteral("(detecting kubeconfig...)"));
}

void DevOpsContainersTest::kubernetesList_data()
{
    QTest::addColumn<QByteArray>("items");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("line");
    QTest::newRow("key names, never values")
        << QByteArray(R"([{"metadata":{"name":"db","namespace":"prod","creationTimestamp":"2024-01-01T00:00:00Z"},)"
                      R"("type":"Opaque","data":{"password":"aHVudGVyMg==","user.name":"YWRtaW4="}},)"
                      R"({"metadata":{"name":"site-tls","namespace":"prod","creationTimestamp":"2024-02-02T00:00:00Z"},)"
                      R"("type":"kubernetes.io/tls","data":{"tls.crt":"Y2VydA==","tls.key":"aHVudGVyMg=="}},)"
                      R"({"metadata":{"name":"empty","namespace":"prod","creationTimestamp":"2024-03-03T00:00:00Z"},)"
                      R"("type":"Opaque"}])")
        << 200
        << QStringList{"db|Opaque|password, user.name|2024-01-01T00:00:00Z",
                       "site-tls|kubernetes.io/tls|tls.crt, tls.key|2024-02-02T00:00:00Z",
                       "empty|Opaque||2024-03-03T00:00:00Z"}
        << "k8s: listed secrets in prod";
    QTest::newRow("no secrets") << QByteArray("[]") << 200 << QStringList{} << "k8s: listed secrets in prod";
    QTest::newRow("refused by the cluster")
        << QByteArray(R"({"kind":"Status","apiVersion":"v1","metadata":{},"status":"Failure",)"
                      R"("message":"secrets is forbidden: User \"nobody\" cannot list resource \"secrets\"",)"
                      R"("reason":"Forbidden","code":403})")
        << 403 << QStringList{}
        << QString::fromUtf8("k8s: could not list secrets in prod \u2014 Error from server (Forbidden): secrets is "
                             "forbidden: User \"nobody\" cannot list resource \"secrets\"");
}

// The real kubectl against a loopback API server: its own rendering of the
// Secrets gives the table its rows, with the data's key names and never a
// value, base64 or decoded, on screen or in the log.
void DevOpsContainersTest::kubernetesList()
{
    QFETCH(QByteArray, items);
    QFETCH(int, status);
    QFETCH(QStringList, rows);
    QFETCH(QString, line);
    KubeApi api(home->path(), *fakes);
    if (!api.hasKubectl)
        QSKIP("kubectl is not on this machine");
    QVERIFY(api.listening);
    api.setSecrets(items, status);

    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    QTreeWidget* secrets = tree(tab, "k8sSecrets");
    QCOMPARE(secrets->headerItem()->text(2), QStringLiteral("Data Keys"));
    new QTreeWidgetItem(secrets, {QStringLiteral("stale")});
    clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(fakes->arguments(kubectl).mid(0, 5), (QStringList{"get", "secrets", "-n", "prod", "-o"}));
    QCOMPARE(::rows(secrets), rows);
    QCOMPARE(newLines(tab), QStringList{line});
    const QString shown = ::rows(secrets).join(QLatin1Char('\n')) + newLines(tab).join(QLatin1Char('\n'));
    for (const char* value : {"aHVudGVyMg", "hunter2", "YWRtaW4", "admin", "Y2VydA"})
        QVERIFY2(!shown.contains(QLatin1String(value)), value);
}

void DevOpsContainersTest::kubernetesCreate_data()
{
    QTest::addColumn<QStringList>("answers");   // "<cancel>" cancels that prompt
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<QString>("line");          // empty: nothing runs
    QTest::newRow("created") << QStringList{"S", "api-key", "qz \"quoted\\ value"} << 0 << QByteArray()
                             << "k8s: created secret S";
    QTest::newRow("refused") << QStringList{"S", "api-key", "qz-refused"} << 1
                             << QByteArray("Error from server (Forbidden): forbidden\n")
                             << "k8s: failed to create secret S: Error from server (Forbidden): forbidden";
    QTest::newRow("empty name") << QStringList{""} << 0 << QByteArray() << "";
    QTest::newRow("value cancelled") << QStringList{"S", "k", "<cancel>"} << 0 << QByteArray() << "";
}

void DevOpsContainersTest::kubernetesCreate()
{
    QFETCH(QStringList, answers);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, error);
    QFETCH(QString, line);
    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    QSignalSpy reports(&tab, &DevOpsSecretsTab::logRequest);
    fakes->answer(kubectl, {}, exitCode, error);
    ModalDriver driver;
    driver.answerInOrder(answers);
    clickButton(kubernetesPage(tab), QStringLiteral("Create Secret..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.texts, (QStringList{"Secret name:", "Key:", "Value:"}.mid(0, answers.size())));
    if (line.isEmpty()) {
        QCOMPARE(fakes->callCount(kubectl), 0);
        QCOMPARE(newLines(tab), QStringList());
        QCOMPARE(reports.count(), 0);
        return;
    }
    const QString value = answers.at(2);
    QCOMPARE(fakes->arguments(kubectl), (QStringList{"create", "-f", "-", "-n", "prod"}));
    const QJsonObject manifest = QJsonDocument::fromJson(fakes->standardInput(kubectl)).object();
    QCOMPARE(manifest.value(QStringLiteral("apiVersion")).toString(), QStringLiteral("v1"));
    QCOMPARE(manifest.value(QStringLiteral("kind")).toString(), QStringLiteral("Secret"));
    QCOMPARE(manifest.value(QStringLiteral("type")).toString(), QStringLiteral("Opaque"));
    QCOMPARE(manifest.value(QStringLiteral("metadata")).toObject().value(QStringLiteral("name")).toString(),
             QStringLiteral("S"));
    QCOMPARE(manifest.value(QStringLiteral("stringData")).toObject().toVariantMap(),
             (QVariantMap{{QStringLiteral("api-key"), value}}));
    QCOMPARE(newLines(tab), QStringList{line});
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.first(), (QVariantList{"k8s Create Secret", "S", exitCode == 0, "prod"}));
    // The value reaches kubectl on standard input only.
    for (const QString& argument : fakes->arguments(kubectl))
        QVERIFY(!argument.contains(QLatin1String("qz")));
    QVERIFY(!logLines(tab).join(QLatin1Char('\n')).contains(value));
}

void DevOpsContainersTest::kubernetesDelete()
{
    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    QTreeWidget* secrets = tree(tab, "k8sSecrets");
    QSignalSpy reports(&tab, &DevOpsSecretsTab::logRequest);

    // No current row: nothing asks, nothing runs.
    clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
    QCOMPARE(fakes->callCount(kubectl), 0);

    fakes->answer(kubectl, "db\tOpaque\ta \t2024-01-01T00:00:00Z\napi\tOpaque\n", 0, {}, 1);
    clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
    secrets->setCurrentItem(secrets->topLevelItem(0));
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::No);
        clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
        QCOMPARE(driver.titles, QStringList{"Delete K8s Secret"});
        // No context was listed: kubectl's own current context is the one.
        QCOMPARE(driver.texts, QStringList{"Delete secret 'db' from namespace prod in kubectl's current context?"});
    }
    QCOMPARE(fakes->callCount(kubectl), 1);

    fakes->answer(kubectl, {}, 1, "Error from server (Forbidden): forbidden\n", 2);
    fakes->answer(kubectl, {}, 0, {}, 3);
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::Yes);
        driver.pressButton(QMessageBox::Yes);
        clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
        QCOMPARE(fakes->arguments(kubectl, 2), (QStringList{"delete", "secret", "-n", "prod", "--", "db"}));
        QCOMPARE(::rows(secrets).size(), 2);   // refused: the Secret and its row stay
        clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
    }
    QCOMPARE(::rows(secrets), QStringList{"api|Opaque||"});
    QCOMPARE(newLines(tab), (QStringList{"k8s: listed secrets in prod",
                                         "k8s: failed to delete secret db: Error from server (Forbidden): forbidden",
                                         "k8s: deleted secret db"}));
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports.at(0), (QVariantList{"k8s Delete Secret", "db", false, "prod"}));
    QCOMPARE(reports.at(1), (QVariantList{"k8s Delete Secret", "db", true, "prod"}));
}

// The name goes after "--": the real kubectl asks the cluster to delete a
// Secret of that name even when it begins with "-".
void DevOpsContainersTest::kubernetesDeleteNameAfterDoubleDash()
{
    KubeApi api(home->path(), *fakes);
    if (!api.hasKubectl)
        QSKIP("kubectl is not on this machine");
    QVERIFY(api.listening);
    api.setSecrets(R"([{"metadata":{"name":"-A","namespace":"prod","creationTimestamp":"2024-01-01T00:00:00Z"},)"
                   R"("type":"Opaque"}])");
    api.allowDelete(QStringLiteral("-A"));

    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    QTreeWidget* secrets = tree(tab, "k8sSecrets");
    clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(newLines(tab), QStringList{"k8s: listed secrets in prod"});
    QCOMPARE(::rows(secrets), QStringList{"-A|Opaque||2024-01-01T00:00:00Z"});
    secrets->setCurrentItem(secrets->topLevelItem(0));
    ModalDriver driver;
    driver.pressButton(QMessageBox::Yes);
    clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
    QVERIFY2(api.cluster().requestLines().contains(QStringLiteral("DELETE /api/v1/namespaces/prod/secrets/-A")),
             qPrintable(api.cluster().requestLines().join(QLatin1Char('\n'))));
    QCOMPARE(newLines(tab).value(1), QStringLiteral("k8s: deleted secret -A"));
    QCOMPARE(secrets->topLevelItemCount(), 0);
}

// Two clusters, the second context not kubectl's current one: chosen in
// the box, it is the only cluster List and Delete reach, and the question
// names it. Choosing another context drops the rows listed in the first.
void DevOpsContainersTest::kubernetesChosenContext()
{
    KubeApi api(home->path(), *fakes, {QStringLiteral("near"), QStringLiteral("far")});
    if (!api.hasKubectl)
        QSKIP("kubectl is not on this machine");
    QVERIFY(api.listening);
    api.setSecrets(R"([{"metadata":{"name":"db","namespace":"prod","creationTimestamp":"2024-01-01T00:00:00Z"},)"
                   R"("type":"Opaque"}])");
    api.allowDelete(QStringLiteral("db"));

    DevOpsSecretsTab tab;
    tab.show();
    auto* contexts = tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"));
    QTRY_COMPARE_WITH_TIMEOUT(contexts->count(), 2, 20000);
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    QTreeWidget* secrets = tree(tab, "k8sSecrets");
    const auto requests = [&api](int cluster) {
        QStringList lines;
        for (const QString& line : api.cluster(cluster).requestLines()) {
            if (line.contains(QLatin1String("/secrets")))
                lines << line;
        }
        return lines;
    };

    for (const QString& chosen : {QStringLiteral("near"), QStringLiteral("far")}) {
        contexts->setCurrentIndex(contexts->findText(chosen));
        QCOMPARE(secrets->topLevelItemCount(), 0);
        clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
        QCOMPARE(::rows(secrets), QStringList{"db|Opaque||2024-01-01T00:00:00Z"});
    }
    QCOMPARE(fakes->arguments(kubectl).mid(0, 2), (QStringList{"--context", "far"}));
    QCOMPARE(requests(0), QStringList{"GET /api/v1/namespaces/prod/secrets"});
    QCOMPARE(requests(1), QStringList{"GET /api/v1/namespaces/prod/secrets"});

    secrets->setCurrentItem(secrets->topLevelItem(0));
    ModalDriver driver;
    driver.pressButton(QMessageBox::Yes);
    clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
    QCOMPARE(driver.texts, QStringList{"Delete secret 'db' from namespace prod in context far?"});
    // kubectl then waits for the Secret to be gone, asking the same server.
    QCOMPARE(requests(0), QStringList{"GET /api/v1/namespaces/prod/secrets"});
    QVERIFY2(requests(1).contains(QStringLiteral("DELETE /api/v1/namespaces/prod/secrets/db")),
             qPrintable(requests(1).join(QLatin1Char('\n'))));
    QCOMPARE(logLines(tab).constLast(), QStringLiteral("k8s: deleted secret db"));

    // Choosing the other context again: the rows of "far" go.
    contexts->setCurrentIndex(contexts->findText(QStringLiteral("near")));
    QCOMPARE(secrets->topLevelItemCount(), 0);
}

void DevOpsContainersTest::engineConnection_data()
{
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QStringList>("connection");
    QTest::addColumn<QString>("connecting");   // the line before the listing; empty: none
    QTest::addColumn<QString>("source");
    QTest::newRow("local ignores the host") << "docker" << "local" << "ops@10.0.0.5" << QStringList{} << ""
                                            << "local";
    QTest::newRow("ssh") << "docker" << "ssh" << "  ops@10.0.0.5 " << QStringList{"-H", "ssh://ops@10.0.0.5"}
                         << "docker: connecting to ops@10.0.0.5 via SSH..." << "ops@10.0.0.5";
    QTest::newRow("ssh, podman adds the port") << "podman" << "ssh" << "ops@h" << QStringList{"-H", "ssh://ops@h:22"}
                                               << "podman: connecting to ops@h via SSH..." << "ops@h";
    QTest::newRow("ssh, podman keeps a port") << "podman" << "ssh" << "ops@h:2222"
                                              << QStringList{"-H", "ssh://ops@h:2222"}
                                              << "podman: connecting to ops@h:2222 via SSH..." << "ops@h:2222";
    QTest::newRow("tcp") << "docker" << "tcp" << "tcp://h:2375" << QStringList{"-H", "tcp://h:2375"}
                         << "docker: connecting to tcp://h:2375..." << "tcp://h:2375";
    QTest::newRow("ssh without a host") << "docker" << "ssh" << " " << QStringList{} << "" << "";
    QTest::newRow("tcp without a host") << "podman" << "tcp" << "" << QStringList{} << "" << "";
}

void DevOpsContainersTest::engineConnection()
{
    QFETCH(QString, runtime);
    QFETCH(QString, mode);
    QFETCH(QString, host);
    QFETCH(QStringList, connection);
    QFETCH(QString, connecting);
    QFETCH(QString, source);
    fakes->install(QStringLiteral("podman"));
    fakes->answer(runtime, secretList);
    DevOpsSecretsTab tab;
    setEngine(tab, runtime, mode, host);
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(fakes->arguments(runtime), (connection + QStringList{"secret", "ls"}));
    QStringList expected;
    if (!connecting.isEmpty())
        expected << connecting;
    expected << runtime + QStringLiteral(": 2 secrets listed");
    QCOMPARE(newLines(tab), expected);
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    QCOMPARE(secrets->topLevelItem(0)->text(3), source);

    // Every engine command carries the same connection.
    clickButton(enginePage(tab), QStringLiteral("List Images"));
    QCOMPARE(fakes->arguments(runtime).mid(0, connection.size()), connection);
    QCOMPARE(fakes->arguments(runtime).value(connection.size()), QStringLiteral("images"));
}

void DevOpsContainersTest::engineList_data()
{
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("rows");
    // docker's documented layout: the DRIVER column is left blank.
    QTest::newRow("docker's layout")
        << QByteArray("ID                          NAME        DRIVER    CREATED         UPDATED\n"
                      "6697bflskwj1998km1gnnjr38   my_secret             6 weeks ago     2 hours ago\n"
                      "9u9hk4br2ej0wgngkga6rp4hq   other                 5 weeks ago     5 weeks ago\n")
        << QStringList{"my_secret|6 weeks ago|2 hours ago|local", "other|5 weeks ago|5 weeks ago|local"};
    QTest::newRow("podman's layout, short and blank lines")
        << QByteArray("ID                         NAME        DRIVER      CREATED                 UPDATED\n"
                      "\n  \n"
                      "2d19dcee8c000a53953f279b6  one         file        Less than a second ago  3 days ago\n"
                      "7f00aa11bb22cc33dd44ee556  two         file\n"
                      "solo\n")
        << QStringList{"one|Less than a second ago|3 days ago|local", "two|||local"};
    QTest::newRow("no headings: nothing to read") << QByteArray("abc   three   file   now   now\n") << QStringList{};
    QTest::newRow("nothing printed") << QByteArray() << QStringList{};
}

void DevOpsContainersTest::engineList()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, rows);
    fakes->answer(docker, output);
    DevOpsSecretsTab tab;
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    new QTreeWidgetItem(secrets, {QStringLiteral("stale")});
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(::rows(secrets), rows);
    QCOMPARE(newLines(tab), QStringList{QStringLiteral("docker: %1 secrets listed").arg(rows.size())});
}

void DevOpsContainersTest::engineCreate_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("line");
    QTest::newRow("local") << "local" << "s3cr3t" << 0 << QStringList{"secret", "create", "--", "api", "-"}
                           << "docker: created secret api";
    QTest::newRow("remote, empty value")
        << "ssh" << "" << 0 << QStringList{"-H", "ssh://ops@h", "secret", "create", "--", "api", "-"}
        << "docker: created secret api";
    QTest::newRow("failed") << "local" << "s3cr3t" << 1 << QStringList{"secret", "create", "--", "api", "-"}
                            << QString::fromUtf8("docker: failed to create secret \u2014 boom");
}

void DevOpsContainersTest::engineCreate()
{
    QFETCH(QString, mode);
    QFETCH(QString, value);
    QFETCH(int, exitCode);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    fakes->answer(docker, {}, exitCode, exitCode ? QByteArray("boom\n") : QByteArray());
    DevOpsSecretsTab tab;
    setEngine(tab, QStringLiteral("docker"), mode, QStringLiteral("ops@h"));
    QSignalSpy reports(&tab, &DevOpsSecretsTab::logRequest);
    ModalDriver driver;
    driver.typeText(QStringLiteral("api"));
    driver.typeText(value);
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    QCOMPARE(driver.titles, (QStringList{"Create Secret", "Create Secret"}));
    QCOMPARE(driver.texts, (QStringList{"Secret name:", "Secret value:"}));
    QCOMPARE(fakes->arguments(docker), arguments);
    QCOMPARE(fakes->standardInput(docker), value.toUtf8());
    QCOMPARE(newLines(tab), QStringList{line});
    QCOMPARE(reports.count(), 0);

    // Cancelled at either prompt: nothing runs.
    ModalDriver again;
    again.cancelInput();
    again.typeText(QStringLiteral("api"));
    again.cancelInput();
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    QCOMPARE(fakes->callCount(docker), 1);
    QCOMPARE(newLines(tab).size(), 1);
}

void DevOpsContainersTest::engineDelete()
{
    DevOpsSecretsTab tab;
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    clickButton(enginePage(tab), QStringLiteral("Delete Secret"));   // no current row
    QCOMPARE(fakes->callCount(docker), 0);
    listEngineSecrets(tab, *fakes);
    secrets->setCurrentItem(secrets->topLevelItem(0));
    fakes->answer(docker, {}, 0, {}, 2);
    fakes->answer(docker, {}, 1, "Error: boom\n", 3);
    ModalDriver driver;
    bool noIsDefault = false;
    driver.enqueueFor<QMessageBox>([&noIsDefault](QMessageBox* box) {
        noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        box->button(QMessageBox::No)->click();
    });
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::Yes);
    for (int i = 0; i < 3; ++i)
        clickButton(enginePage(tab), QStringLiteral("Delete Secret"));
    QVERIFY(noIsDefault);
    QCOMPARE(driver.titles.value(0), QStringLiteral("Delete Secret"));
    QCOMPARE(driver.texts.value(0), QStringLiteral("Delete secret 'one' from docker on the local engine?"));
    QCOMPARE(fakes->callCount(docker), 3);
    QCOMPARE(fakes->arguments(docker, 2), (QStringList{"secret", "rm", "--", "one"}));
    QCOMPARE(newLines(tab).mid(1), (QStringList{"docker: deleted secret one",
                                                QString::fromUtf8("docker: failed to delete secret one \u2014 Error: boom")}));
    QCOMPARE(secrets->topLevelItemCount(), 2);   // until the next listing
}

void DevOpsContainersTest::engineDeleteWhereListed_data()
{
    QTest::addColumn<QStringList>("listedFrom");   // runtime, mode, host
    QTest::addColumn<QStringList>("formAtDelete");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("question");
    QTest::newRow("listed locally, form on a remote host")
        << QStringList{"docker", "local", ""} << QStringList{"podman", "ssh", "admin@prod.example"}
        << QStringList{"secret", "rm", "--", "one"} << "Delete secret 'one' from docker on the local engine?";
    QTest::newRow("listed over SSH, form back to local")
        << QStringList{"docker", "ssh", "admin@prod.example"} << QStringList{"docker", "local", ""}
        << QStringList{"-H", "ssh://admin@prod.example", "secret", "rm", "--", "one"}
        << "Delete secret 'one' from docker on ssh://admin@prod.example?";
    QTest::newRow("listed over TCP, form on another host")
        << QStringList{"docker", "tcp", "tcp://10.0.0.5:2376"} << QStringList{"docker", "tcp", "tcp://10.0.0.9:2376"}
        << QStringList{"-H", "tcp://10.0.0.5:2376", "secret", "rm", "--", "one"}
        << "Delete secret 'one' from docker on tcp://10.0.0.5:2376?";
}

// A row's Secret is deleted on the engine and host it was listed from,
// whatever the form says by then; the question names both.
void DevOpsContainersTest::engineDeleteWhereListed()
{
    QFETCH(QStringList, listedFrom);
    QFETCH(QStringList, formAtDelete);
    QFETCH(QStringList, arguments);
    QFETCH(QString, question);
    fakes->install(QStringLiteral("podman"));
    DevOpsSecretsTab tab;
    setEngine(tab, listedFrom.at(0), listedFrom.at(1), listedFrom.at(2));
    listEngineSecrets(tab, *fakes);
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    QCOMPARE(secrets->topLevelItemCount(), 2);
    secrets->setCurrentItem(secrets->topLevelItem(0));
    setEngine(tab, formAtDelete.at(0), formAtDelete.at(1), formAtDelete.at(2));

    ModalDriver driver;
    driver.pressButton(QMessageBox::Yes);
    clickButton(enginePage(tab), QStringLiteral("Delete Secret"));
    QCOMPARE(driver.texts, QStringList{question});
    QCOMPARE(fakes->callCount(docker), 2);
    QCOMPARE(fakes->arguments(docker), arguments);
    QCOMPARE(fakes->callCount(QStringLiteral("podman")), 0);
    QCOMPARE(logLines(tab).constLast(), QStringLiteral("docker: deleted secret one"));
}

void DevOpsContainersTest::backupNames()
{
    DevOpsSecretsTab tab;
    QSignalSpy reports(&tab, &DevOpsSecretsTab::logRequest);
    const QString path = backupPath(QStringLiteral("docker"));
    clickButton(enginePage(tab), QStringLiteral("Backup All to Vault"));
    QCOMPARE(newLines(tab), QStringList{"No secrets to backup."});
    QVERIFY(!QFile::exists(path));
    QCOMPARE(reports.count(), 0);

    listEngineSecrets(tab, *fakes);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    clickButton(enginePage(tab), QStringLiteral("Backup All to Vault"));
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    const QList<QByteArray> lines = readFile(path).split('\n');
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.at(0), QByteArray("# docker secrets backup"));
    QVERIFY(lines.at(1).startsWith("# "));
    const QDateTime written = QDateTime::fromString(QString::fromLatin1(lines.at(1).mid(2)), Qt::ISODate);
    QVERIFY2(written.isValid() && written >= before && written <= after, lines.at(1).constData());
    QVERIFY(!lines.at(1).endsWith('Z') && !lines.at(1).contains('+'));
    QCOMPARE(lines.mid(2), (QList<QByteArray>{"", "one\t2 days ago", "two\t", ""}));
    QVERIFY(PrivateFiles::isOwnerOnly(path));
    // It says what it wrote and where, and claims no vault.
    QCOMPARE(newLines(tab).mid(2), QStringList{"docker: wrote 2 secret names with their creation times (no values) to "
                                               + path + "; nothing was stored in a vault"});
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.first(), (QVariantList{"docker Backup", path, true, "2 secret names written"}));

    // A name that cannot be replaced (a folder in its place) is reported, and nothing is left beside it.
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    clickButton(enginePage(tab), QStringLiteral("Backup All to Vault"));
    QVERIFY2(newLines(tab).last().startsWith(QStringLiteral("Could not write %1: ").arg(path)),
             qPrintable(newLines(tab).last()));
    QCOMPARE(reports.count(), 1);
    QCOMPARE(QDir(temp->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"docker-secrets-backup.txt"});
}

void DevOpsContainersTest::backupNamesReplacesAPlantedLink()
{
    QTemporaryDir elsewhere;
    const QString victim = elsewhere.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "keep me\n"));
    const QString path = backupPath(QStringLiteral("docker"));
    QVERIFY(QFile::link(victim, path));

    DevOpsSecretsTab tab;
    listEngineSecrets(tab, *fakes);
    clickButton(enginePage(tab), QStringLiteral("Backup All to Vault"));
    QVERIFY2(newLines(tab).value(1).contains(" to " + path + ";"), qPrintable(newLines(tab).value(1)));
    QVERIFY(!QFileInfo(path).isSymLink());
    QVERIFY(readFile(path).startsWith("# docker secrets backup\n"));
    QVERIFY(PrivateFiles::isOwnerOnly(path));
    QCOMPARE(readFile(victim), QByteArray("keep me\n"));
}

void DevOpsContainersTest::testConnection_data()
{
    QTest::addColumn<QString>("runtime");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("lines");
    const QString failed = QString::fromUtf8("%1: connection failed to %2 \u2014 %3");
    const QString cannot = QStringLiteral("Cannot connect to the Docker daemon. Is the docker daemon running?");
    QTest::newRow("docker, local") << "docker" << "local" << "ops@h" << QByteArray("24.0.7\n") << 0
                                   << QStringList{"docker local: connected, server v24.0.7"};
    QTest::newRow("podman, remote") << "podman" << "ssh" << "ops@h" << QByteArray("4.3.1\n") << 0
                                    << QStringList{"podman ops@h: connected, server v4.3.1"};
    QTest::newRow("local failure names the field") << "docker" << "local" << "ops@h" << QByteArray() << 1
                                                   << QStringList{failed.arg("docker", "ops@h", cannot)};
    QTest::newRow("empty field") << "docker" << "local" << "" << QByteArray() << 1
                                 << QStringList{failed.arg("docker", "", cannot)};
    QTest::newRow("ssh failure adds the hint")
        << "podman" << "ssh" << "ops@h" << QByteArray() << 125
        << QStringList{failed.arg("podman", "ops@h", cannot),
                       "  Check SSH key auth and that Docker/Podman is running on remote."};
    QTest::newRow("success that names no version")
        << "docker" << "tcp" << "tcp://h:2375" << QByteArray(" \n") << 0
        << QStringList{failed.arg("docker", "tcp://h:2375", "docker named no server version")};
}

void DevOpsContainersTest::testConnection()
{
    QFETCH(QString, runtime);
    QFETCH(QString, mode);
    QFETCH(QString, host);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    QFETCH(QStringList, lines);
    fakes->install(QStringLiteral("podman"));
    fakes->answer(runtime, output, exitCode,
                  exitCode ? QByteArray("Cannot connect to the Docker daemon. Is the docker daemon running?\n")
                           : QByteArray());
    DevOpsSecretsTab tab;
    setEngine(tab, runtime, mode, host);
    clickButton(enginePage(tab), QStringLiteral("Test Connection"));
    const QString format = runtime == QLatin1String("podman") ? QStringLiteral("{{.Version.Version}}")
                                                              : QStringLiteral("{{.ServerVersion}}");
    QCOMPARE(fakes->arguments(runtime).mid(fakes->arguments(runtime).size() - 3),
             (QStringList{"info", "--format", format}));
    QCOMPARE(newLines(tab), lines);
}

void DevOpsContainersTest::listings()
{
    DevOpsSecretsTab tab;
    fakes->answer(docker, "\nnginx:latest (187MB)\nalpine:3.19 (7.4MB)\n\n", 0, {}, 1);
    fakes->answer(docker, {}, 0, {}, 2);
    clickButton(enginePage(tab), QStringLiteral("List Images"));
    setEngine(tab, QStringLiteral("docker"), QStringLiteral("tcp"), QStringLiteral("tcp://h:2375"));
    clickButton(enginePage(tab), QStringLiteral("List Containers"));
    QCOMPARE(fakes->arguments(docker, 1), (QStringList{"images", "--format", "{{.Repository}}:{{.Tag}} ({{.Size}})"}));
    QCOMPARE(fakes->arguments(docker, 2),
             (QStringList{"-H", "tcp://h:2375", "ps", "-a", "--format", "{{.Names}}\t{{.Status}}\t{{.Image}}"}));
    QCOMPARE(newLines(tab), (QStringList{"=== docker Images (local) ===", "nginx:latest (187MB)",
                                         "alpine:3.19 (7.4MB)", "=== docker Containers (tcp://h:2375) ===", ""}));
}

void DevOpsContainersTest::sshSetupRemote_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("arguments");   // ssh's; empty: the warning
    QTest::addColumn<QString>("label");
    QTest::newRow("user and host") << " ops@h " << QStringList{"-l", "ops", "h"} << "Setup: h";
    QTest::newRow("host alone") << "h" << QStringList{"h"} << "Setup: h";
    QTest::newRow("second at sign belongs to the host") << "a@b@c" << QStringList{"-l", "a", "b@c"} << "Setup: b@c";
    QTest::newRow("nothing after the at sign") << "ops@" << QStringList{"ops@"} << "Setup: ops@";
    QTest::newRow("empty") << "  " << QStringList{} << "";
}

void DevOpsContainersTest::sshSetupRemote()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, arguments);
    QFETCH(QString, label);
    fakes->install(QStringLiteral("ssh"));
    DevOpsSecretsTab tab;
    setEngine(tab, QStringLiteral("podman"), QStringLiteral("tcp"), typed);
    const auto windows = [] {
        QList<SshTerminalWindow*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* window = qobject_cast<SshTerminalWindow*>(widget))
                found << window;
        }
        return found;
    };
    if (arguments.isEmpty()) {
        ModalDriver driver;
        driver.pressButton(QMessageBox::Ok);
        clickButton(enginePage(tab), QStringLiteral("SSH Setup Remote..."));
        QCOMPARE(driver.titles, QStringList{"SSH Setup"});
        QCOMPARE(driver.texts, QStringList{"Enter remote host first."});
        QCOMPARE(windows().size(), 0);
        QCOMPARE(newLines(tab), QStringList());
        return;
    }
    clickButton(enginePage(tab), QStringLiteral("SSH Setup Remote..."));
    QCOMPARE(newLines(tab), QStringList{"SSH session opened for remote setup: " + typed.trimmed()});
    QCOMPARE(windows().size(), 1);
    QPointer<SshTerminalWindow> window = windows().first();
    QVERIFY(!window->parent());
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(window->findChild<QTabWidget*>()->tabText(0), label);
    endStandIn(window->findChild<TerminalWidget*>());
    QCOMPARE(fakes->arguments(QStringLiteral("ssh")), arguments);
    window->close();
    QTRY_VERIFY(window.isNull());
}

void DevOpsContainersTest::registryCatalog()
{
    fakes->linkReal(QStringLiteral("curl"));
    ServerThread registry;
    registry.call([&registry] {
        registry.server->route("GET", QStringLiteral("/v2/_catalog"), 200, "{\"repositories\":[\"a\"]}\n",
                               {{"Content-Type", "application/json"}});
    });
    QVERIFY(registry.listen());
    const QString address = registry.url().mid(QStringLiteral("http://").size());

    DevOpsSecretsTab tab;
    auto* field = tab.findChild<QLineEdit*>(QStringLiteral("engineRegistry"));
    QCOMPARE(field->placeholderText(), QStringLiteral("192.168.1.50:5000 (private registry)"));
    clickButton(enginePage(tab), QStringLiteral("Registry Catalog"));
    field->setText(QLatin1Char(' ') + address + QLatin1Char(' '));
    clickButton(enginePage(tab), QStringLiteral("Registry Catalog"));
    // A registry that answers with an HTTP error has no catalogue to show.
    registry.call([&registry] { registry.server->clearRoutes(); });
    clickButton(enginePage(tab), QStringLiteral("Registry Catalog"));
    const QString url = QStringLiteral("http://%1/v2/_catalog").arg(address);
    QCOMPARE(newLines(tab), (QStringList{"Enter registry address first (e.g., 192.168.1.50:5000)",
                                         "Querying registry: " + url,
                                         "Registry catalog: {\"repositories\":[\"a\"]}",
                                         "Querying registry: " + url,
                                         QString::fromUtf8("Registry catalog: failed \u2014 curl: (22) The requested "
                                                           "URL returned error: 404")}));
    QCOMPARE(registry.requests().size(), 2);
}

void DevOpsContainersTest::realPodmanRoundTrip()
{
    const QString podman = QStandardPaths::findExecutable(QStringLiteral("podman"), {QStringLiteral("/usr/bin")});
    QVERIFY2(!podman.isEmpty(), "podman is one of the packages the tests need");
    fakes->linkReal(QStringLiteral("podman"));
    // A store of the test's own: nothing lands in the machine's.
    QTemporaryDir store;
    QVERIFY(writeFile(store.filePath(QStringLiteral("storage.conf")),
                      QStringLiteral("[storage]\ndriver = \"vfs\"\ngraphroot = \"%1/graph\"\nrunroot = \"%1/run\"\n")
                          .arg(store.path())
                          .toUtf8()));
    ScopedEnv storage("CONTAINERS_STORAGE_CONF", QFile::encodeName(store.filePath(QStringLiteral("storage.conf"))));
    // The first run sets the store up: not within the create's own wait under load.
    ToolRunner::Options warmUp;
    warmUp.finishTimeoutMs = 90000;
    const ToolRunner::Result ready = ToolRunner::run(podman, {QStringLiteral("secret"), QStringLiteral("ls")}, warmUp);
    QVERIFY2(ready.succeeded(), ready.stdErr.constData());

    DevOpsSecretsTab tab;
    setEngine(tab, QStringLiteral("podman"), QStringLiteral("local"), QString());
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    const QString name = QStringLiteral("ot-test-secret");
    ModalDriver driver;
    driver.typeText(name);
    driver.typeText(QStringLiteral("v4lue"));
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(secrets->topLevelItemCount(), 1);
    QCOMPARE(secrets->topLevelItem(0)->text(0), name);
    QCOMPARE(secrets->topLevelItem(0)->text(3), QStringLiteral("local"));
    secrets->setCurrentItem(secrets->topLevelItem(0));
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::Yes);
    clickButton(enginePage(tab), QStringLiteral("Delete Secret"));
    // The row stays until the next listing: deleting it again meets podman's refusal.
    clickButton(enginePage(tab), QStringLiteral("Delete Secret"));
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(secrets->topLevelItemCount(), 0);
    const QStringList lines = newLines(tab);
    QCOMPARE(lines.mid(0, 3), (QStringList{"podman: created secret " + name, "podman: 1 secrets listed",
                                           "podman: deleted secret " + name}));
    QVERIFY2(lines.value(3).startsWith(QString::fromUtf8("podman: failed to delete secret %1 \u2014 ").arg(name))
                 && lines.value(3).contains(QLatin1String("no secret with name or id")),
             qPrintable(lines.value(3)));
    QCOMPARE(lines.mid(4), QStringList{"podman: 0 secrets listed"});

    // After "--" a name that begins with "-" is podman's to refuse as a name.
    driver.answerInOrder({QStringLiteral("-x"), QStringLiteral("v")});
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    QVERIFY2(newLines(tab).last().contains(QLatin1String("-x: invalid secret name")), qPrintable(newLines(tab).last()));

    // podman answers the version question it is asked.
    clickButton(enginePage(tab), QStringLiteral("Test Connection"));
    QVERIFY2(QRegularExpression(QStringLiteral("^podman local: connected, server v\\d+\\.\\d+"))
                 .match(newLines(tab).last())
                 .hasMatch(),
             qPrintable(newLines(tab).last()));
}

// docker's own client against a loopback engine: its secret list, DRIVER
// left blank, reads into the right columns, and a name that begins with "-"
// reaches the engine as a name.
void DevOpsContainersTest::realDockerReadsItsOwnLayout()
{
    const QString real = QStandardPaths::findExecutable(docker, {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin")});
    if (real.isEmpty())
        QSKIP("the docker client is not on this machine");
    QFile::remove(fakes->binDir() + QStringLiteral("/docker"));
    fakes->linkReal(docker);
    const QString now = QDateTime::currentDateTimeUtc().addSecs(-3 * 3600).toString(Qt::ISODate);
    const QString old = QDateTime::currentDateTimeUtc().addDays(-400).toString(Qt::ISODate);
    ServerThread engine;
    engine.call([&engine, now, old] {
        LoopbackHttpServer* s = engine.server;
        LoopbackHttpServer::Response ping;
        ping.body = "OK";
        ping.headers = {{"Api-Version", "1.41"}, {"Content-Type", "text/plain"}};
        s->route("HEAD", QStringLiteral("/_ping"), ping);
        s->route("GET", QStringLiteral("/_ping"), ping);
        s->route("GET", QStringLiteral("/v1.41/secrets"),
                 json(QStringLiteral(R"([{"ID":"6697bflskwj1998km1gnnjr38","Version":{"Index":11},)"
                                     R"("CreatedAt":"%1","UpdatedAt":"%2","Spec":{"Name":"my_secret","Labels":{}}}])")
                          .arg(old, now)
                          .toUtf8()));
        s->route("POST", QStringLiteral("/v1.41/secrets/create"), json(R"({"ID":"ktnbjxoalbkvbvedmg1urrz8h"})", 201));
    });
    QVERIFY(engine.listen());

    DevOpsSecretsTab tab;
    setEngine(tab, docker, QStringLiteral("tcp"), engine.url().replace(QStringLiteral("http://"), QStringLiteral("tcp://")));
    clickButton(enginePage(tab), QStringLiteral("List Secrets"));
    QTreeWidget* secrets = tree(tab, "engineSecrets");
    QCOMPARE(secrets->topLevelItemCount(), 1);
    QCOMPARE(secrets->topLevelItem(0)->text(0), QStringLiteral("my_secret"));
    QVERIFY2(secrets->topLevelItem(0)->text(1).contains(QLatin1String("month")), qPrintable(::rows(secrets).join(' ')));
    QVERIFY2(secrets->topLevelItem(0)->text(2).contains(QLatin1String("hour")), qPrintable(::rows(secrets).join(' ')));

    ModalDriver driver;
    driver.answerInOrder({QStringLiteral("-x"), QStringLiteral("v4lue")});
    clickButton(enginePage(tab), QStringLiteral("Create Secret..."));
    QCOMPARE(newLines(tab).last(), QStringLiteral("docker: created secret -x"));
    const QList<LoopbackHttpServer::Request> requests = engine.requests();
    QCOMPARE(requests.last().path, QStringLiteral("/v1.41/secrets/create"));
    const QJsonObject spec = QJsonDocument::fromJson(requests.last().body).object();
    QCOMPARE(spec.value(QStringLiteral("Name")).toString(), QStringLiteral("-x"));
    QCOMPARE(QByteArray::fromBase64(spec.value(QStringLiteral("Data")).toString().toLatin1()), QByteArray("v4lue"));
}

void DevOpsContainersTest::optionWords_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QStringList>("arguments");   // the tool's; empty: nothing runs
    QTest::addColumn<QString>("line");            // the log's last line
    const QString ns = QStringLiteral("k8s: The namespace \"-A\" starts with \"-\" and would be taken as an option by "
                                      "kubectl.");
    QTest::newRow("k8s list, namespace") << "k8s list" << "namespace" << "-A" << QStringList{} << ns;
    QTest::newRow("k8s create, namespace") << "k8s create" << "namespace" << "-A" << QStringList{} << ns;
    QTest::newRow("k8s delete, namespace") << "k8s delete" << "namespace" << "-A" << QStringList{} << ns;
    QTest::newRow("k8s delete, listed name") << "k8s delete" << "name" << "-x"
                                             << QStringList{"delete", "secret", "-n", "prod", "--", "-x"}
                                             << "k8s: deleted secret -x";
    QTest::newRow("engine create, typed name") << "engine create" << "name" << "-x"
                                               << QStringList{"secret", "create", "--", "-x", "-"}
                                               << "docker: created secret -x";
    QTest::newRow("engine delete, listed name") << "engine delete" << "name" << "-x"
                                                << QStringList{"secret", "rm", "--", "-x"}
                                                << "docker: deleted secret -x";
    QTest::newRow("ssh setup, host")
        << "ssh setup" << "host" << "-oProxyCommand=x" << QStringList{}
        << "SSH setup: The host \"-oProxyCommand=x\" starts with \"-\" and would be taken as an option by the SSH "
           "client. Enter a host name or address.";
    QTest::newRow("ssh setup, user")
        << "ssh setup" << "host" << "-oProxyCommand=x@h" << QStringList{}
        << "SSH setup: The user name \"-oProxyCommand=x\" starts with \"-\" and would be taken as an option by the "
           "SSH client. Enter a user name.";
}

// Every word typed or listed that reaches kubectl, docker or ssh: nothing
// runs, or the word arrives after "--".
void DevOpsContainersTest::optionWords()
{
    QFETCH(QString, action);
    QFETCH(QString, field);
    QFETCH(QString, word);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    fakes->install(QStringLiteral("ssh"));
    const QString tool = action.startsWith(QLatin1String("k8s"))      ? kubectl
                         : action.startsWith(QLatin1String("engine")) ? docker
                                                                      : QStringLiteral("ssh");
    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))
        ->setText(field == QLatin1String("namespace") ? word : QStringLiteral("prod"));
    const QString listed = field == QLatin1String("name") ? word : QStringLiteral("db");
    QTreeWidget* kubeSecrets = tree(tab, "k8sSecrets");
    kubeSecrets->setCurrentItem(new QTreeWidgetItem(kubeSecrets, {listed}));
    listOneEngineSecret(tab, *fakes, listed);
    QCOMPARE(tree(tab, "engineSecrets")->currentItem()->text(0), listed);
    const int engineCalls = fakes->callCount(docker);
    ModalDriver driver;
    if (action == QLatin1String("engine create"))
        driver.answerInOrder({word, QStringLiteral("v")});
    else if (!arguments.isEmpty())
        driver.pressButton(QMessageBox::Yes);
    if (action == QLatin1String("ssh setup"))
        setEngine(tab, docker, QStringLiteral("ssh"), word);

    const QHash<QString, QPair<int, QString>> buttons{
        {QStringLiteral("k8s list"), {2, QStringLiteral("List Secrets")}},
        {QStringLiteral("k8s create"), {2, QStringLiteral("Create Secret...")}},
        {QStringLiteral("k8s delete"), {2, QStringLiteral("Delete")}},
        {QStringLiteral("engine create"), {3, QStringLiteral("Create Secret...")}},
        {QStringLiteral("engine delete"), {3, QStringLiteral("Delete Secret")}},
        {QStringLiteral("ssh setup"), {3, QStringLiteral("SSH Setup Remote...")}}};
    clickButton(page(tab, buttons.value(action).first), buttons.value(action).second);
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(newLines(tab).value(newLines(tab).size() - 1), line);
    if (arguments.isEmpty()) {
        QCOMPARE(fakes->callCount(tool), tool == docker ? engineCalls : 0);
        QCOMPARE(driver.titles, QStringList());
        for (QWidget* widget : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<SshTerminalWindow*>(widget));
    } else {
        QCOMPARE(fakes->arguments(tool), arguments);
    }
}

void DevOpsContainersTest::toolFailures_data()
{
    QTest::addColumn<QString>("tool");
    QTest::addColumn<int>("pageIndex");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("lines");   // %1: why the tool failed
    QTest::addColumn<QString>("how");         // "missing", "failing" or "hung"

    struct Operation {
        const char* name;
        const char* tool;
        int page;
        const char* button;
        QStringList answers;
        QStringList lines;
    };
    const QString dash = QString::fromUtf8(" \u2014 ");
    const QList<Operation> operations{
        {"k8s list", "kubectl", 2, "List Secrets", {}, {"k8s: could not list secrets in prod" + dash + "%1"}},
        {"k8s create", "kubectl", 2, "Create Secret...", {"S", "k", "v"}, {"k8s: failed to create secret S: %1"}},
        {"k8s delete", "kubectl", 2, "Delete", {"<yes>"}, {"k8s: failed to delete secret db: %1"}},
        {"engine list", "docker", 3, "List Secrets", {}, {"docker: could not list secrets" + dash + "%1"}},
        {"engine create", "docker", 3, "Create Secret...", {"api", "v"}, {"docker: failed to create secret" + dash + "%1"}},
        {"engine delete", "docker", 3, "Delete Secret", {"<yes>"}, {"docker: failed to delete secret db" + dash + "%1"}},
        {"test connection", "docker", 3, "Test Connection", {}, {"docker: connection failed to " + dash + "%1"}},
        {"images", "docker", 3, "List Images", {}, {"=== docker Images (local) ===", "docker: could not list images" + dash + "%1"}},
        {"containers", "docker", 3, "List Containers", {},
         {"=== docker Containers (local) ===", "docker: could not list containers" + dash + "%1"}},
        {"registry", "curl", 3, "Registry Catalog", {},
         {"Querying registry: http://127.0.0.1:9/v2/_catalog", "Registry catalog: failed" + dash + "%1"}},
    };
    for (const char* how : {"missing", "failing", "hung"}) {
        for (const Operation& operation : operations) {
            QTest::addRow("%s, %s", operation.name, how)
                << QString::fromLatin1(operation.tool) << operation.page << QString::fromLatin1(operation.button)
                << operation.answers << operation.lines << QString::fromLatin1(how);
        }
    }
}

// A tool that is missing, fails or hangs is told as a failure with its
// reason, never as a success or an empty result.
void DevOpsContainersTest::toolFailures()
{
    QFETCH(QString, tool);
    QFETCH(int, pageIndex);
    QFETCH(QString, button);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, lines);
    QFETCH(QString, how);
    DevOpsSecretsTab tab;
    tab.toolTimeoutMs = tab.createTimeoutMs = tab.registryTimeoutMs = 1500;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(QStringLiteral("prod"));
    tab.findChild<QLineEdit*>(QStringLiteral("engineRegistry"))->setText(QStringLiteral("127.0.0.1:9"));
    QTreeWidget* kubeSecrets = tree(tab, "k8sSecrets");
    kubeSecrets->setCurrentItem(new QTreeWidgetItem(kubeSecrets, {QStringLiteral("db")}));
    // Listed while the engine still answered.
    listOneEngineSecret(tab, *fakes, QStringLiteral("db"));
    const int before = newLines(tab).size();

    QFile::remove(fakes->binDir() + QLatin1Char('/') + tool);
    QString why;
    if (how == QLatin1String("missing")) {
        why = tool + QStringLiteral(" failed to start");
    } else {
        fakes->install(tool);
        if (how == QLatin1String("failing")) {
            fakes->answer(tool, {}, 1, "error: it went wrong\n");
            why = QStringLiteral("error: it went wrong");
        } else {
            fakes->setSleep(tool, 60);
            why = tool + QStringLiteral(" timed out after 1500 ms");
        }
    }
    ModalDriver driver;
    driver.answerInOrder(answers);
    clickButton(page(tab, pageIndex), button);
    QCOMPARE(driver.pending(), 0);
    const QStringList logged = newLines(tab).mid(before);
    QCOMPARE(logged.size(), lines.size());
    for (int i = 0; i < lines.size(); ++i) {
        const QString expected = lines.at(i).contains(QLatin1String("%1")) ? lines.at(i).arg(why) : lines.at(i);
        // A missing tool's reason goes on with what the system said.
        QVERIFY2(how == QLatin1String("missing") ? logged.at(i).startsWith(expected) : logged.at(i) == expected,
                 qPrintable(logged.at(i) + QStringLiteral("\n  expected: ") + expected));
    }
    // A failed delete removes nothing.
    if (button == QLatin1String("Delete"))
        QCOMPARE(tree(tab, "k8sSecrets")->topLevelItemCount(), 1);
}

OT_TEST_MAIN(DevOpsContainersTest)
#include "tst_devopscontainers.moc"
