// The DevOps tab's Kubernetes and Docker / Podman sub-tabs: kubectl and
// docker as recording stand-ins (no cluster or engine can run here), podman
// for real on a throwaway store, curl for real against a loopback registry.
#include "ui/DevOpsSecretsTab.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "ui/SshTerminalWindow.h"
#include "ui/TerminalWidget.h"

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

    void engineConnection_data();
    void engineConnection();
    void engineList_data();
    void engineList();
    void engineCreate_data();
    void engineCreate();
    void engineDelete();
    void backupNames();
    void backupNamesReplacesAPlantedLink();
    void testConnection_data();
    void testConnection();
    void listings();
    void sshSetupRemote_data();
    void sshSetupRemote();
    void registryCatalog();
    void realPodmanRoundTrip();

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

// The lines the operation under test added after the detection line.
QStringList newLines(DevOpsSecretsTab& tab)
{
    return logLines(tab).mid(1);
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

QString backupPath(const QString& runtime)
{
    return QDir::tempPath() + QLatin1Char('/') + runtime + QStringLiteral("-secrets-backup.txt");
}

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
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("contexts");
    QTest::newRow("trimmed, duplicates kept") << QByteArray("prod\n  staging  \n\nprod\n")
                                              << QStringList{"prod", "staging", "prod"};
    QTest::newRow("none") << QByteArray() << QStringList{};
}

void DevOpsContainersTest::kubernetesContexts()
{
    QFETCH(QByteArray, output);
    QFETCH(QStringList, contexts);
    fakes->answer(kubectl, output);
    DevOpsSecretsTab tab;
    QCOMPARE(fakes->arguments(kubectl, 1), (QStringList{"config", "get-contexts", "-o", "name"}));
    auto* selector = tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"));
    QStringList shown;
    for (int i = 0; i < selector->count(); ++i)
        shown << selector->itemText(i);
    QCOMPARE(shown, contexts);
    QCOMPARE(selector->currentIndex(), contexts.isEmpty() ? -1 : 0);
    QCOMPARE(selector->placeholderText(), QStringLiteral("(detecting kubeconfig...)"));
}

void DevOpsContainersTest::kubernetesList_data()
{
    QTest::addColumn<QString>("nameSpace");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("header, blank and blank-only lines, one field, two fields")
        << "prod"
        << QByteArray("NAME       TYPE     DATA                  AGE\n"
                      "\n   \t \n"
                      "lonely\n"
                      "pair   Opaque\n"
                      "db-pass   Opaque   map[password:cGFz]   2024-01-01T00:00:00Z   extra\n")
        << QStringList{"pair|Opaque||", "db-pass|Opaque|map[password:cGFz]|2024-01-01T00:00:00Z"};
    QTest::newRow("nothing printed") << "" << QByteArray() << QStringList{};
}

void DevOpsContainersTest::kubernetesList()
{
    QFETCH(QString, nameSpace);
    QFETCH(QByteArray, output);
    QFETCH(QStringList, rows);
    DevOpsSecretsTab tab;
    tab.findChild<QLineEdit*>(QStringLiteral("k8sNamespace"))->setText(nameSpace);
    QTreeWidget* secrets = tree(tab, "k8sSecrets");
    new QTreeWidgetItem(secrets, {QStringLiteral("stale")});
    fakes->answer(kubectl, output, 0, {}, 2);
    clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
    QCOMPARE(fakes->arguments(kubectl),
             (QStringList{"get", "secrets", "-n", nameSpace, "-o",
                          "custom-columns=NAME:.metadata.name,TYPE:.type,DATA:.data,AGE:.metadata.creationTimestamp"}));
    QCOMPARE(::rows(secrets), rows);
    QCOMPARE(newLines(tab), QStringList{QStringLiteral("k8s: listed secrets in ") + nameSpace});
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
    fakes->answer(kubectl, {}, exitCode, error, 2);
    ModalDriver driver;
    driver.answerInOrder(answers);
    clickButton(kubernetesPage(tab), QStringLiteral("Create Secret..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.texts, (QStringList{"Secret name:", "Key:", "Value:"}.mid(0, answers.size())));
    if (line.isEmpty()) {
        QCOMPARE(fakes->callCount(kubectl), 1);
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
    QCOMPARE(fakes->callCount(kubectl), 1);

    fakes->answer(kubectl, "db   Opaque   map[a:Yg==]   2024-01-01T00:00:00Z\napi   Opaque\n", 0, {}, 2);
    clickButton(kubernetesPage(tab), QStringLiteral("List Secrets"));
    secrets->setCurrentItem(secrets->topLevelItem(0));
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::No);
        clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
        QCOMPARE(driver.titles, QStringList{"Delete K8s Secret"});
        QCOMPARE(driver.texts, QStringList{"Delete secret 'db' from namespace prod?"});
    }
    QCOMPARE(fakes->callCount(kubectl), 2);

    fakes->answer(kubectl, {}, 1, "Error from server (Forbidden): forbidden\n", 3);
    fakes->answer(kubectl, {}, 0, {}, 4);
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::Yes);
        driver.pressButton(QMessageBox::Yes);
        clickButton(kubernetesPage(tab), QStringLiteral("Delete"));
        QCOMPARE(fakes->arguments(kubectl, 3), (QStringList{"delete", "secret", "db", "-n", "prod"}));
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
    QTest::newRow("header, one field, three fields, single blanks inside a field")
        << QByteArray("ID   NAME   DRIVER   CREATED   UPDATED\n"
                      "solo\n"
                      "\n  \n"
                      "abc   three   file\n"
                      "def  full name  file  2 days ago\t\t1 day ago\n")
        << QStringList{"three|||local", "full name|2 days ago|1 day ago|local"};
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
    QTest::newRow("local") << "local" << "s3cr3t" << 0 << QStringList{"secret", "create", "api", "-"}
                           << "docker: created secret api";
    QTest::newRow("remote, empty value")
        << "ssh" << "" << 0 << QStringList{"-H", "ssh://ops@h", "secret", "create", "api", "-"}
        << "docker: created secret api";
    QTest::newRow("failed") << "local" << "s3cr3t" << 1 << QStringList{"secret", "create", "api", "-"}
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
    driver.pressButton(QMessageBox::No);
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::Yes);
    for (int i = 0; i < 3; ++i)
        clickButton(enginePage(tab), QStringLiteral("Delete Secret"));
    QCOMPARE(driver.titles.value(0), QStringLiteral("Delete Secret"));
    QCOMPARE(driver.texts.value(0), QStringLiteral("Delete secret 'one'?"));
    QCOMPARE(fakes->callCount(docker), 3);
    QCOMPARE(fakes->arguments(docker, 2), (QStringList{"secret", "rm", "one"}));
    QCOMPARE(newLines(tab).mid(1), (QStringList{"docker: deleted secret one",
                                                QString::fromUtf8("docker: failed to delete secret one \u2014 Error: boom")}));
    QCOMPARE(secrets->topLevelItemCount(), 2);   // until the next listing
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
    QCOMPARE(newLines(tab).mid(2), (QStringList{"Names written to " + path, "Storing 2 secret names to vault..."}));
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.first(), (QVariantList{"docker Backup", "Vault", true, "2 secrets"}));

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
    QCOMPARE(newLines(tab).value(1), "Names written to " + path);
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
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("docker, local") << "docker" << "local" << "ops@h" << QByteArray("24.0.7\n")
                                   << QStringList{"docker local: connected, server v24.0.7"};
    QTest::newRow("podman, remote") << "podman" << "ssh" << "ops@h" << QByteArray("4.3.1\n")
                                    << QStringList{"podman ops@h: connected, server v4.3.1"};
    QTest::newRow("local failure names the field") << "docker" << "local" << "ops@h" << QByteArray(" \n")
                                                   << QStringList{"docker: connection failed to ops@h"};
    QTest::newRow("empty field") << "docker" << "local" << "" << QByteArray()
                                 << QStringList{"docker: connection failed to "};
    QTest::newRow("ssh failure adds the hint")
        << "podman" << "ssh" << "ops@h" << QByteArray()
        << QStringList{"podman: connection failed to ops@h",
                       "  Check SSH key auth and that Docker/Podman is running on remote."};
    QTest::newRow("tcp failure") << "docker" << "tcp" << "tcp://h:2375" << QByteArray()
                                 << QStringList{"docker: connection failed to tcp://h:2375"};
}

void DevOpsContainersTest::testConnection()
{
    QFETCH(QString, runtime);
    QFETCH(QString, mode);
    QFETCH(QString, host);
    QFETCH(QByteArray, output);
    QFETCH(QStringList, lines);
    fakes->install(QStringLiteral("podman"));
    fakes->answer(runtime, output);
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
    // curl is awaited with a blocking wait: the registry answers from a thread of its own.
    QThread thread;
    auto* registry = new LoopbackHttpServer;
    registry->route("GET", QStringLiteral("/v2/_catalog"), 200, "{\"repositories\":[\"a\"]}\n",
                    {{"Content-Type", "application/json"}});
    registry->moveToThread(&thread);
    thread.start();
    bool listening = false;
    QMetaObject::invokeMethod(registry, [&] { listening = registry->listen(); }, Qt::BlockingQueuedConnection);
    const auto stop = qScopeGuard([&] {
        QMetaObject::invokeMethod(registry, [registry] { delete registry; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    });
    QVERIFY(listening);
    const QString address = QStringLiteral("127.0.0.1:%1").arg(registry->port());

    DevOpsSecretsTab tab;
    auto* field = tab.findChild<QLineEdit*>(QStringLiteral("engineRegistry"));
    QCOMPARE(field->placeholderText(), QStringLiteral("192.168.1.50:5000 (private registry)"));
    clickButton(enginePage(tab), QStringLiteral("Registry Catalog"));
    field->setText(QLatin1Char(' ') + address + QLatin1Char(' '));
    clickButton(enginePage(tab), QStringLiteral("Registry Catalog"));
    const QString url = QStringLiteral("http://%1/v2/_catalog").arg(address);
    QCOMPARE(newLines(tab), (QStringList{"Enter registry address first (e.g., 192.168.1.50:5000)",
                                         "Querying registry: " + url,
                                         "Registry catalog: {\"repositories\":[\"a\"]}"}));
    int requests = 0;
    QMetaObject::invokeMethod(registry, [&] { requests = registry->requestCount(); }, Qt::BlockingQueuedConnection);
    QCOMPARE(requests, 1);
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

    // podman answers the version question it is asked.
    clickButton(enginePage(tab), QStringLiteral("Test Connection"));
    QVERIFY2(QRegularExpression(QStringLiteral("^podman local: connected, server v\\d+\\.\\d+"))
                 .match(newLines(tab).last())
                 .hasMatch(),
             qPrintable(newLines(tab).last()));
}

OT_TEST_MAIN(DevOpsContainersTest)
#include "tst_devopscontainers.moc"
