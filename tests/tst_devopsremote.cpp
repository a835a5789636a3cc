// The DevOps tab's frame and its remote-access sub-tabs: the tool probe, the
// SSH targets from the site store and ~/.ssh/config with Connect opening a
// terminal window (ssh as a recording stand-in), and the SFTP / SCP form's
// scp, rsync and sftp commands, run for real against a loopback sshd.
#include "ui/remote/DevOpsSecretsTab.h"

#include "core/EncryptedFile.h"
#include "config/UserProfile.h"
#include "core/ToolRunner.h"
#include "ui/remote/SiteStore.h"
#include "ui/remote/SshTerminalWindow.h"
#include "ui/remote/TerminalWidget.h"
#include "ui/widgets/PageFill.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "LoopbackSshd.h"
#include "TestFiles.h"
#include "TerminalScript.h"
#include "TerminalStandIns.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPointer>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>

class DevOpsRemoteTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void frame();
    void nothingRunsUntilShown();
    void firstShowWithToolsThatHang();
    void detectionThatTimesOut();
    void probe_data();
    void probe();
    void sshTargets();
    void connectTarget_data();
    void connectTarget();
    void connectRefusesOptionWords_data();
    void connectRefusesOptionWords();
    void scpCommand_data();
    void scpCommand();
    void terminalCommand_data();
    void terminalCommand();
    void transferOptionWords_data();
    void transferOptionWords();
    void choosingASiteFillsTheForm();
    void launcherThatCannotStartIsReported();
    void scpUploadArrives();
    void rsyncLineHoldsAgainstARealShell();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<FakeTools> fakes;
};

namespace {

// Each test sees only the tools it puts on PATH: this machine carries
// kubectl, docker and terraform of its own, which must never run here.
std::unique_ptr<FakeTools> isolatedTools()
{
    auto fakes = std::make_unique<FakeTools>(false);
    for (const char* tool : {"which", "cat", "dirname", "readlink", "basename", "sleep", "openssl", "ssh-keygen"})
        fakes->linkReal(QString::fromLatin1(tool));
    return fakes;
}

void storeSites(const QList<SiteProfile>& sites)
{
    SiteStore store(UserProfile::configDir() + QStringLiteral("/sites.enc"),
                    EncryptedFile::machineKey(QStringLiteral("Lanthorn-Quays-v4")).toHex());
    QCOMPARE(store.save(sites), QString());
}

SiteProfile site(const QString& name, const QString& group, const QString& user, const QString& host)
{
    SiteProfile s;
    s.name = name;
    s.group = group;
    s.user = user;
    s.hostname = host;
    s.auth = QStringLiteral("key");
    s.protocol = QStringLiteral("ssh");
    return s;
}

QStringList logLines(DevOpsSecretsTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("devopsLog"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QWidget* page(DevOpsSecretsTab& tab, int index)
{
    return tab.findChild<QTabWidget*>(QStringLiteral("devopsPages"))->widget(index);
}

QStringList entries(QComboBox* list)
{
    QStringList lines;
    for (int i = 0; i < list->count(); ++i)
        lines << list->itemText(i) + QStringLiteral(" #") + list->itemData(i).toString();
    return lines;
}

void choose(QComboBox* list, const QString& text)
{
    const int index = list->findText(text);
    QVERIFY2(index >= 0, qPrintable(text));
    list->setCurrentIndex(index);
}

QLineEdit* edit(DevOpsSecretsTab& tab, const char* name)
{
    return tab.findChild<QLineEdit*>(QLatin1String(name));
}

// scp and osascript start detached: their call is whole once the stand-in
// has logged it.
QStringList detachedCall(const FakeTools& fakes, const QString& tool)
{
    const QString logged = fakes.stateDir() + QLatin1Char('/') + tool + QStringLiteral(".log");
    if (!QTest::qWaitFor([&] { return QFile::exists(logged); }, 20000))
        return {QStringLiteral("<%1 was not called>").arg(tool)};
    return fakes.arguments(tool);
}

struct Form
{
    QString host, user, port, remotePath, key, localPath;
};

void fill(DevOpsSecretsTab& tab, const Form& form)
{
    edit(tab, "sftpHost")->setText(form.host);
    edit(tab, "sftpUser")->setText(form.user);
    edit(tab, "sftpPort")->setText(form.port);
    edit(tab, "sftpRemotePath")->setText(form.remotePath);
    edit(tab, "sftpKey")->setText(form.key);
    edit(tab, "sftpLocalPath")->setText(form.localPath);
}

} // namespace

Q_DECLARE_METATYPE(Form)

void DevOpsRemoteTest::init()
{
    home = std::make_unique<TestHome>();
    fakes = isolatedTools();
    fakes->install(QStringLiteral("ssh"));
    fakes->install(QStringLiteral("scp"));
    fakes->install(QStringLiteral("osascript"));
}

void DevOpsRemoteTest::cleanup()
{
    // Terminals deleted later end their children before the stand-ins go.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    fakes.reset();
    home.reset();
}

void DevOpsRemoteTest::frame()
{
    DevOpsSecretsTab tab;
    auto* pages = tab.findChild<QTabWidget*>(QStringLiteral("devopsPages"));
    QStringList titles;
    for (int i = 0; i < pages->count(); ++i)
        titles << pages->tabText(i);
    QCOMPARE(titles, (QStringList{"SSH Terminal", "SFTP / SCP", "Kubernetes", "Docker / Podman", "Ansible Vault",
                                  "Terraform", "SOPS"}));
    auto* log = tab.findChild<QTextEdit*>(QStringLiteral("devopsLog"));
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->maximumHeight(), 80);
    QCOMPARE(log->font().pointSize(), 11);
    QCOMPARE(log->placeholderText(), QStringLiteral("DevOps operations log..."));
    // The log sits below the sub-tabs, and nothing wrote to it yet.
    QCOMPARE(logLines(tab), QStringList());
}

// Building the tab runs no tool: the detection and the kubectl context list
// wait for the tab to be shown, and run once. Tools are found by a search of
// the search path in the program: no "which" runs.
void DevOpsRemoteTest::nothingRunsUntilShown()
{
    fakes->install(QStringLiteral("which"));
    fakes->install(QStringLiteral("kubectl"));
    fakes->answer(QStringLiteral("kubectl"), "prod\n");
    DevOpsSecretsTab tab;
    QCOMPARE(fakes->callCount(QStringLiteral("kubectl")), 0);
    QCOMPARE(logLines(tab), QStringList());

    tab.show();
    QTRY_COMPARE(logLines(tab), QStringList{"DevOps tools detected: kubectl"});
    auto* contexts = tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"));
    QTRY_COMPARE(contexts->count(), 1);
    QCOMPARE(fakes->arguments(QStringLiteral("kubectl")), (QStringList{"config", "get-contexts", "-o", "name"}));

    tab.hide();
    tab.show();
    QCOMPARE(fakes->callCount(QStringLiteral("which")), 0);
    QCOMPARE(fakes->callCount(QStringLiteral("kubectl")), 1);
    QCOMPARE(logLines(tab).size(), 1);
}

// A "which" and a kubectl that never answer hold nothing up: the window
// keeps its beat, the detection does without "which", and kubectl's
// time-out is told.
void DevOpsRemoteTest::firstShowWithToolsThatHang()
{
    fakes->install(QStringLiteral("which"));
    fakes->setSleep(QStringLiteral("which"), 60);
    fakes->install(QStringLiteral("kubectl"));
    fakes->setSleep(QStringLiteral("kubectl"), 60);
    DevOpsSecretsTab tab;
    tab.toolTimeoutMs = 1500;
    Heartbeat heartbeat;
    tab.show();
    QTRY_COMPARE_WITH_TIMEOUT(logLines(tab).size(), 2, 20000);
    QCOMPARE(logLines(tab), (QStringList{"DevOps tools detected: kubectl",
                                         QString::fromUtf8("k8s: could not list the kubeconfig contexts \u2014 "
                                                           "kubectl timed out after 1500 ms")}));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(fakes->callCount(QStringLiteral("which")), 0);
    QCOMPARE(tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"))->placeholderText(),
             QStringLiteral("No contexts in kubeconfig"));
}

// A search that does not finish (a folder on the search path that never
// answers) is waited for no longer than the detection's time: the line names
// what could not be checked and why, and the window kept its beat meanwhile.
void DevOpsRemoteTest::detectionThatTimesOut()
{
    for (const char* tool : {"kubectl", "docker", "sops"})
        fakes->install(QString::fromLatin1(tool));
    auto gate = std::make_shared<QSemaphore>();
    auto looked = std::make_shared<QAtomicInt>(0);
    DevOpsSecretsTab tab;
    tab.probeTimeoutMs = 300;
    // The search stalls at the first tool, however fast the machine.
    tab.toolLookup = [gate, looked](const QString& tool) {
        if (tool == QLatin1String("kubectl"))
            gate->acquire();
        looked->fetchAndAddOrdered(1);
        return ToolRunner::findOnPath(tool);
    };
    auto release = qScopeGuard([gate] { gate->release(); });
    Heartbeat heartbeat;
    tab.show();
    QTRY_COMPARE_WITH_TIMEOUT(logLines(tab).size(), 1, 20000);
    QCOMPARE(logLines(tab).first(),
             QStringLiteral("DevOps tools detected: none; not checked: kubectl, docker, podman, ansible-vault, "
                            "terraform, sops (looking for kubectl on the search path did not finish within 300 ms)"));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(tab.findChild<QComboBox*>(QStringLiteral("k8sContexts"))->placeholderText(),
             QStringLiteral("(kubectl not checked)"));

    // The search finishing late changes nothing that was said, and starts
    // no kubectl.
    auto* fill = tab.findChild<PageFill*>();
    QVERIFY(fill);
    QSignalSpy filled(fill, &PageFill::filled);
    release.dismiss();
    gate->release();
    QTRY_COMPARE_WITH_TIMEOUT(filled.count(), 1, 20000);
    QCOMPARE(*looked, 6);
    QCOMPARE(logLines(tab).size(), 1);
    QCOMPARE(fakes->callCount(QStringLiteral("kubectl")), 0);
}

void DevOpsRemoteTest::probe_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("line");
    QTest::newRow("none") << QStringList{} << "DevOps tools detected: none";
    QTest::newRow("docker and sops") << QStringList{"sops", "docker"} << "DevOps tools detected: docker, sops";
    QTest::newRow("all, in probe order")
        << QStringList{"sops", "terraform", "ansible-vault", "podman", "docker", "kubectl"}
        << "DevOps tools detected: kubectl, docker, podman, ansible-vault, terraform, sops";
}

void DevOpsRemoteTest::probe()
{
    QFETCH(QStringList, present);
    QFETCH(QString, line);
    for (const QString& tool : present)
        fakes->install(tool);
    DevOpsSecretsTab tab;
    tab.show();
    QTRY_COMPARE(logLines(tab), QStringList{line});
}

void DevOpsRemoteTest::sshTargets()
{
    QVERIFY(writeFile(home->path() + QStringLiteral("/.ssh/config"),
                      "Host *\n  User all\nHost build\n  HostName b.example\n    Host   web  \n"
                      "Host *.corp\nHost\tx\nhost y\nHost a b\n# Host commented\n"));
    storeSites({site(QStringLiteral("Grouped"), QStringLiteral("grp"), QStringLiteral("user"), QStringLiteral("host")),
                site(QStringLiteral("Loose"), QString(), QString(), QStringLiteral("host"))});
    DevOpsSecretsTab tab;
    auto* targets = tab.findChild<QComboBox*>(QStringLiteral("sshTargets"));
    QCOMPARE(entries(targets), (QStringList{"(type host manually) #", "[grp] user@host #Grouped",
                                            "[Site] @host #Loose", "[SSH Config] build #ssh:build",
                                            "[SSH Config] web #ssh:web", "[SSH Config] a b #ssh:a b"}));

    // Refresh reads the store again and starts from the manual entry.
    targets->setCurrentIndex(2);
    storeSites({site(QStringLiteral("Other"), QStringLiteral("ops"), QStringLiteral("root"), QStringLiteral("o.example"))});
    QFile::remove(home->path() + QStringLiteral("/.ssh/config"));
    clickButton(page(tab, 0), QStringLiteral("Refresh"));
    QCOMPARE(entries(targets), (QStringList{"(type host manually) #", "[ops] root@o.example #Other"}));
    QCOMPARE(targets->currentIndex(), 0);
    QCOMPARE(logLines(tab), QStringList());
}

void DevOpsRemoteTest::connectTarget_data()
{
    QTest::addColumn<QString>("entry");       // the list entry made current
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("arguments"); // ssh's; empty: no window
    QTest::addColumn<QString>("line");
    const QString manual = QStringLiteral("(type host manually)");
    QTest::newRow("typed host, trimmed") << manual << " host " << QStringList{"host"} << "SSH: host:22";
    QTest::newRow("second at sign belongs to the host")
        << manual << "a@b@c" << QStringList{"-l", "a", "b@c"} << "SSH: a@b@c:22";
    QTest::newRow("config alias ignores the text")
        << "[SSH Config] build" << "someone@else" << QStringList{"build"} << "SSH: build:22";
    QTest::newRow("either site of a shared name opens the first")
        << "[grp] dev@second.example" << "someone@else"
        << QStringList{"-l", "ops", "-p", "2200", "-i", "/k/id", "first.example"} << "SSH: ops@first.example:2200";
    QTest::newRow("blank text") << manual << "   " << QStringList{} << "";
    QTest::newRow("site gone from the store") << "[grp] ops@gone.example" << "host" << QStringList{} << "";
}

void DevOpsRemoteTest::connectTarget()
{
    QFETCH(QString, entry);
    QFETCH(QString, typed);
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    QVERIFY(writeFile(home->path() + QStringLiteral("/.ssh/config"), "Host build\n"));
    SiteProfile first = site(QStringLiteral("twin"), QStringLiteral("grp"), QStringLiteral("ops"),
                             QStringLiteral("first.example"));
    first.port = 2200;
    first.keyPath = QStringLiteral("/k/id");
    SiteProfile second = site(QStringLiteral("twin"), QStringLiteral("grp"), QStringLiteral("dev"),
                              QStringLiteral("second.example"));
    SiteProfile gone = site(QStringLiteral("gone"), QStringLiteral("grp"), QStringLiteral("ops"),
                            QStringLiteral("gone.example"));
    storeSites({first, second, gone});

    DevOpsSecretsTab tab;
    choose(tab.findChild<QComboBox*>(QStringLiteral("sshTargets")), entry);
    tab.findChild<QLineEdit*>(QStringLiteral("sshHost"))->setText(typed);
    storeSites({first, second});
    clickButton(page(tab, 0), QStringLiteral("Connect"));

    const QList<SshTerminalWindow*> windows = tab.findChildren<SshTerminalWindow*>();
    if (arguments.isEmpty()) {
        QCOMPARE(windows.size(), 0);
        QCOMPARE(logLines(tab), QStringList());
        return;
    }
    QCOMPARE(windows.size(), 1);
    QVERIFY(windows.first()->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(windows.first()->isVisible());
    QCOMPARE(logLines(tab).last(), line);
    endStandIn(windows.first()->findChild<TerminalWidget*>());
    QCOMPARE(fakes->arguments(QStringLiteral("ssh")), arguments);

    // Closing the window ends it and its sessions, not just hides them.
    QPointer<SshTerminalWindow> window = windows.first();
    window->close();
    QTRY_VERIFY(window.isNull());
}

void DevOpsRemoteTest::connectRefusesOptionWords_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("line");
    const QString manual = QStringLiteral("(type host manually)");
    const QString host = QStringLiteral("SSH: The host \"%1\" starts with \"-\" and would be taken as an option by "
                                        "the SSH client. Enter a host name or address.");
    QTest::newRow("typed host") << manual << "-oProxyCommand=touch x" << host.arg("-oProxyCommand=touch x");
    QTest::newRow("typed user") << manual << "-oProxyCommand=x@h"
                                << "SSH: The user name \"-oProxyCommand=x\" starts with \"-\" and would be taken as "
                                   "an option by the SSH client. Enter a user name.";
    QTest::newRow("config alias") << "[SSH Config] -oProxyCommand=x" << "" << host.arg("-oProxyCommand=x");
    QTest::newRow("stored site") << "[grp] ops@-oProxyCommand=y" << "" << host.arg("-oProxyCommand=y");
}

// A word the SSH client would read as an option opens nothing, wherever it
// came from, and the log says why.
void DevOpsRemoteTest::connectRefusesOptionWords()
{
    QFETCH(QString, entry);
    QFETCH(QString, typed);
    QFETCH(QString, line);
    QVERIFY(writeFile(home->path() + QStringLiteral("/.ssh/config"), "Host -oProxyCommand=x\n"));
    storeSites({site(QStringLiteral("planted"), QStringLiteral("grp"), QStringLiteral("ops"),
                     QStringLiteral("-oProxyCommand=y"))});
    DevOpsSecretsTab tab;
    choose(tab.findChild<QComboBox*>(QStringLiteral("sshTargets")), entry);
    tab.findChild<QLineEdit*>(QStringLiteral("sshHost"))->setText(typed);
    clickButton(page(tab, 0), QStringLiteral("Connect"));
    QCOMPARE(tab.findChildren<SshTerminalWindow*>().size(), 0);
    QCOMPARE(logLines(tab), QStringList{line});
    QCOMPARE(fakes->callCount(QStringLiteral("ssh")), 0);
}

void DevOpsRemoteTest::scpCommand_data()
{
    QTest::addColumn<Form>("form");
    QTest::addColumn<bool>("upload");
    QTest::addColumn<QStringList>("arguments");   // empty: nothing runs or is logged
    const QString local = QStringLiteral("/l/my dir");
    QTest::newRow("port 22, no key, empty remote path")
        << Form{"h", "alice", "22", "", "", local} << true << QStringList{"-r", "--", local, "alice@h:~"};
    QTest::newRow("port 2222 and a key")
        << Form{"h", "alice", "2222", "/srv", "/k/id", local} << true
        << QStringList{"-r", "-P", "2222", "-i", "/k/id", "--", local, "alice@h:/srv"};
    QTest::newRow("port 0") << Form{"h", "alice", "0", "/srv", "", local} << true
                            << QStringList{"-r", "--", local, "alice@h:/srv"};
    QTest::newRow("negative port") << Form{"h", "alice", "-5", "/srv", "", local} << true
                                   << QStringList{"-r", "--", local, "alice@h:/srv"};
    QTest::newRow("port not a number") << Form{"h", "alice", "abc", "/srv", "", local} << true
                                       << QStringList{"-r", "--", local, "alice@h:/srv"};
    QTest::newRow("no user") << Form{"h", "", "22", "/srv", "", local} << true
                             << QStringList{"-r", "--", local, "h:/srv"};
    QTest::newRow("download swaps the ends")
        << Form{"h", "alice", "2222", "/srv", "", local} << false
        << QStringList{"-r", "-P", "2222", "--", "alice@h:/srv", local};
    QTest::newRow("no local path") << Form{"h", "alice", "22", "/srv", "", ""} << true << QStringList{};
    QTest::newRow("no host") << Form{"", "alice", "22", "/srv", "", local} << false << QStringList{};
}

void DevOpsRemoteTest::scpCommand()
{
    QFETCH(Form, form);
    QFETCH(bool, upload);
    QFETCH(QStringList, arguments);
    DevOpsSecretsTab tab;
    fill(tab, form);
    clickButton(page(tab, 1), upload ? QStringLiteral("SCP Upload") : QStringLiteral("SCP Download"));
    if (arguments.isEmpty()) {
        QCOMPARE(logLines(tab), QStringList());
        QCOMPARE(fakes->callCount(QStringLiteral("scp")), 0);
        return;
    }
    QCOMPARE(logLines(tab), QStringList{QStringLiteral("scp ") + arguments.join(QLatin1Char(' '))});
    QCOMPARE(detachedCall(*fakes, QStringLiteral("scp")), arguments);
}

void DevOpsRemoteTest::terminalCommand_data()
{
    QTest::addColumn<Form>("form");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("line");      // as logged; empty: nothing runs or is logged
    QTest::addColumn<QString>("command");   // as the Terminal runs it
    const QString rsync = QStringLiteral("Rsync Sync");
    const QString sftp = QStringLiteral("SFTP Session");
    QTest::newRow("rsync, port 22, no key")
        << Form{"h", "alice", "22", "", "", "/l/dir"} << rsync
        << "rsync -avz --progress -e 'ssh' -- /l/dir alice@h:~" << "rsync -avz --progress -e 'ssh' -- '/l/dir' 'alice@h:~'";
    QTest::newRow("rsync, port 2222 and a key")
        << Form{"h", "alice", "2222", "/srv", "~/.ssh/id", "/l/dir"} << rsync
        << "rsync -avz --progress -e 'ssh -p 2222 -i ~/.ssh/id' -- /l/dir alice@h:/srv"
        << "rsync -avz --progress -e 'ssh -p 2222 -i '\\''~/.ssh/id'\\''' -- '/l/dir' 'alice@h:/srv'";
    QTest::newRow("rsync, port not a number")
        << Form{"h", "", "abc", "/srv", "", "/l/dir"} << rsync
        << "rsync -avz --progress -e 'ssh' -- /l/dir h:/srv" << "rsync -avz --progress -e 'ssh' -- '/l/dir' 'h:/srv'";
    QTest::newRow("rsync, double quote escaped only in the script")
        << Form{"h", "alice", "22", "/srv", "", "/l/say \"hi\""} << rsync
        << "rsync -avz --progress -e 'ssh' -- /l/say \"hi\" alice@h:/srv"
        << "rsync -avz --progress -e 'ssh' -- '/l/say \"hi\"' 'alice@h:/srv'";
    QTest::newRow("rsync, no local path") << Form{"h", "alice", "22", "", "", ""} << rsync << "" << "";
    QTest::newRow("sftp, port 22, paths ignored")
        << Form{"h", "alice", "22", "/srv", "", "/l/dir"} << sftp << "sftp -- alice@h" << "sftp -- 'alice@h'";
    QTest::newRow("sftp, port 2222, key, no user")
        << Form{"h", "", "2222", "", "/k/my id", ""} << sftp << "sftp -P 2222 -i /k/my id -- h"
        << "sftp -P 2222 -i '/k/my id' -- 'h'";
    QTest::newRow("sftp, port 0") << Form{"h", "", "0", "", "", ""} << sftp << "sftp -- h" << "sftp -- 'h'";
    QTest::newRow("sftp, no host") << Form{"", "alice", "22", "", "", "/l"} << sftp << "" << "";
}

void DevOpsRemoteTest::terminalCommand()
{
    QFETCH(Form, form);
    QFETCH(QString, button);
    QFETCH(QString, line);
    QFETCH(QString, command);
    DevOpsSecretsTab tab;
    fill(tab, form);
    clickButton(page(tab, 1), button);
    if (line.isEmpty()) {
        QCOMPARE(logLines(tab), QStringList());
        QCOMPARE(fakes->callCount(QStringLiteral("osascript")), 0);
        return;
    }
    QCOMPARE(logLines(tab), QStringList{line});
    const QStringList script = detachedCall(*fakes, QStringLiteral("osascript"));
    QCOMPARE(script.size(), 2);
    QCOMPARE(script.first(), QStringLiteral("-e"));
    QCOMPARE(commandFromScript(script.last()), command);
    if (command.contains(QLatin1Char('"')))
        QVERIFY(script.last().contains(QLatin1String("say \\\"hi\\\"")));
}

void DevOpsRemoteTest::transferOptionWords_data()
{
    QTest::addColumn<Form>("form");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("refusal");       // the log line; empty: the action runs
    QTest::addColumn<QStringList>("scp");       // scp's arguments
    QTest::addColumn<QString>("command");       // the Terminal's command line
    const QString option = QStringLiteral("-oProxyCommand=x");
    const QString refused = QStringLiteral("%1: The %2 \"%3\" starts with \"-\" and would be taken as an option by %1.");
    QTest::newRow("scp upload, host") << Form{option, "", "22", "/srv", "", "/l"} << "SCP Upload"
                                      << refused.arg("scp", "host", option) << QStringList{} << "";
    QTest::newRow("scp download, user") << Form{"h", option, "22", "/srv", "", "/l"} << "SCP Download"
                                        << refused.arg("scp", "user name", option) << QStringList{} << "";
    QTest::newRow("rsync, host") << Form{option, "", "22", "/srv", "", "/l"} << "Rsync Sync"
                                 << refused.arg("rsync", "host", option) << QStringList{} << "";
    QTest::newRow("sftp, user") << Form{"h", option, "22", "", "", ""} << "SFTP Session"
                                << refused.arg("sftp", "user name", option) << QStringList{} << "";
    QTest::newRow("scp upload, local path") << Form{"h", "", "22", "/srv", "", option} << "SCP Upload" << ""
                                            << QStringList{"-r", "--", option, "h:/srv"} << "";
    QTest::newRow("scp download, local path") << Form{"h", "", "22", "/srv", "", option} << "SCP Download" << ""
                                              << QStringList{"-r", "--", "h:/srv", option} << "";
    QTest::newRow("scp, remote path") << Form{"h", "", "22", option, "", "/l"} << "SCP Upload" << ""
                                      << QStringList{"-r", "--", "/l", "h:" + option} << "";
    QTest::newRow("scp, key is the value of -i") << Form{"h", "", "22", "/srv", option, "/l"} << "SCP Upload" << ""
                                                 << QStringList{"-r", "-i", option, "--", "/l", "h:/srv"} << "";
    QTest::newRow("rsync, local path") << Form{"h", "", "22", "/srv", "", "-esh -c x"} << "Rsync Sync" << ""
                                       << QStringList{}
                                       << "rsync -avz --progress -e 'ssh' -- '-esh -c x' 'h:/srv'";
    QTest::newRow("sftp, key is the value of -i") << Form{"h", "", "22", "", option, ""} << "SFTP Session" << ""
                                                  << QStringList{} << "sftp -i '" + option + "' -- 'h'";
}

// A host or user that scp, rsync or sftp would hand to the SSH client as an
// option is refused; every other typed word reaches the tool after "--" or
// as the value of its option.
void DevOpsRemoteTest::transferOptionWords()
{
    QFETCH(Form, form);
    QFETCH(QString, button);
    QFETCH(QString, refusal);
    QFETCH(QStringList, scp);
    QFETCH(QString, command);
    DevOpsSecretsTab tab;
    fill(tab, form);
    clickButton(page(tab, 1), button);
    if (!refusal.isEmpty()) {
        QCOMPARE(logLines(tab), QStringList{refusal});
        QCOMPARE(fakes->callCount(QStringLiteral("scp")), 0);
        QCOMPARE(fakes->callCount(QStringLiteral("osascript")), 0);
        return;
    }
    if (!scp.isEmpty())
        QCOMPARE(detachedCall(*fakes, QStringLiteral("scp")), scp);
    else
        QCOMPARE(commandFromScript(detachedCall(*fakes, QStringLiteral("osascript")).value(1)), command);
}

void DevOpsRemoteTest::choosingASiteFillsTheForm()
{
    SiteProfile full = site(QStringLiteral("Web"), QStringLiteral("prod"), QStringLiteral("deploy"),
                            QStringLiteral("web.example"));
    full.port = 2022;
    full.keyPath = QStringLiteral("~/.ssh/id_web");
    full.remoteDir = QStringLiteral("/var/www");
    full.localDir = QStringLiteral("/home/me/site");
    storeSites({full, site(QStringLiteral("Bare"), QString(), QString(), QStringLiteral("bare.example"))});
    DevOpsSecretsTab tab;
    auto* sites = tab.findChild<QComboBox*>(QStringLiteral("sftpSites"));
    QCOMPARE(entries(sites), (QStringList{"(manual entry) #", QString::fromUtf8("Web \u2014 deploy@web.example #Web"),
                                          QString::fromUtf8("Bare \u2014 @bare.example #Bare")}));
    const auto fields = [&tab] {
        QStringList values;
        for (const char* name : {"sftpHost", "sftpUser", "sftpPort", "sftpRemotePath", "sftpKey", "sftpLocalPath"})
            values << edit(tab, name)->text();
        return values;
    };
    QCOMPARE(fields(), (QStringList{"", "", "22", "", "", ""}));
    sites->setCurrentIndex(1);
    const QStringList web{"web.example", "deploy", "2022", "/var/www", "~/.ssh/id_web", "/home/me/site"};
    QCOMPARE(fields(), web);
    // The manual entry keeps what the fields hold; a site's empty values replace them.
    sites->setCurrentIndex(0);
    QCOMPARE(fields(), web);
    sites->setCurrentIndex(2);
    QCOMPARE(fields(), (QStringList{"bare.example", "", "22", "", "", ""}));
}

void DevOpsRemoteTest::launcherThatCannotStartIsReported()
{
    fakes.reset();
    fakes = isolatedTools();   // neither scp nor osascript
    DevOpsSecretsTab tab;
    fill(tab, Form{"h", "", "22", "/srv", "", "/l"});
    clickButton(page(tab, 1), QStringLiteral("SCP Upload"));
    clickButton(page(tab, 1), QStringLiteral("SFTP Session"));
    QCOMPARE(logLines(tab), (QStringList{"scp -r -- /l h:/srv", "Could not start scp.", "sftp -- h",
                                         "Could not start osascript."}));
}

void DevOpsRemoteTest::scpUploadArrives()
{
    LoopbackSshd sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    sshd.installClientWrappers(*fakes);
    QTemporaryDir work;
    // A local path relative to the program's folder that scp would read as
    // an option for its SSH client: after "--" it is the folder it names.
    const QString name = QStringLiteral("-oProxyCommand=touch pwned");
    QVERIFY(writeFile(work.filePath(name) + QStringLiteral("/inside.txt"), "copied"));
    const QString target = work.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(work.path()));
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });

    DevOpsSecretsTab tab;
    fill(tab, Form{sshd.host(), LoopbackSshd::user(), QString::number(sshd.port()), target, "", name});
    clickButton(page(tab, 1), QStringLiteral("SCP Upload"));
    QTRY_COMPARE_WITH_TIMEOUT(readFile(target + QLatin1Char('/') + name + QStringLiteral("/inside.txt")),
                              QByteArray("copied"), 30000);
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("pwned"))));
}

void DevOpsRemoteTest::rsyncLineHoldsAgainstARealShell()
{
    LoopbackSshd sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    sshd.installClientWrappers(*fakes);
    fakes->linkReal(QStringLiteral("rsync"));
    QTemporaryDir work;
    // A local path relative to the folder the command runs in, made so that
    // rsync would take it for "-e" and run "sh -c 'touch pwned'" as its remote
    // shell, and so that a shell would run "touch pwned" if it were unquoted.
    const QString name = QStringLiteral("-esh -c 'touch pwned' b'\"$(touch pwned)");
    QVERIFY(writeFile(work.filePath(name) + QStringLiteral("/inside.txt"), "copied"));
    const QString target = work.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    // The key goes into rsync's -e value: a name that needs quoting there too.
    const QString key = work.filePath(QStringLiteral("k e'y"));
    QVERIFY(QFile::copy(sshd.userKeyPath(), key));
    QVERIFY(QFile::setPermissions(key, QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    DevOpsSecretsTab tab;
    fill(tab, Form{sshd.host(), LoopbackSshd::user(), QString::number(sshd.port()), target, key, name});
    clickButton(page(tab, 1), QStringLiteral("Rsync Sync"));
    const QString command = commandFromScript(detachedCall(*fakes, QStringLiteral("osascript")).value(1));
    QVERIFY2(command.startsWith(QLatin1String("rsync ")), qPrintable(command));

    ToolRunner::Options options;
    options.workingDirectory = work.path();
    options.finishTimeoutMs = 60000;
    options.mergeChannels = true;
    const ToolRunner::Result result =
        ToolRunner::run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command}, options);
    QVERIFY2(result.succeeded(), qPrintable(command + QLatin1Char('\n') + result.stdOutText()));
    QCOMPARE(readFile(target + QLatin1Char('/') + name + QStringLiteral("/inside.txt")), QByteArray("copied"));
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("pwned"))));
    QVERIFY(!QFile::exists(target + QStringLiteral("/pwned")));
    QVERIFY(!QFile::exists(home->path() + QStringLiteral("/pwned")));
}

OT_TEST_MAIN(DevOpsRemoteTest)
#include "tst_devopsremote.moc"
