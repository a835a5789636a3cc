// The SSH client configuration file as the editor reads and rewrites it (what
// it keeps that it does not manage, what a failed write leaves), and the
// editor as a user drives it, with a recording ssh and osascript.
#include "ui/SshConfigEditor.h"

#include "app/MainWindow.h"
#include "core/ToolRunner.h"

#include "FakeTools.h"
#include "FileSizeLimit.h"
#include "ModalDriver.h"
#include "TerminalScript.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QDir>
#include <QInputDialog>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

class SshConfigTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void readAndWrite_data();
    void readAndWrite();
    void roundTripKeepsEveryField();
    void saveIsOwnerOnly();
    void failedWriteKeepsTheOldFile_data();
    void failedWriteKeepsTheOldFile();

    void treeShowsTheFile();
    void openedFromTheToolsMenu();
    void addHost();
    void identityChoices();
    void editHost();
    void editCancelledThenSavedOrClosed();
    void duplicateAndRemove();
    void connectTestsThenOpensTerminal();
    void connectRefusals();
    void connectWithoutOsascriptIsReported();
    void aliasIsQuotedForTheShell();
    void testAll();
    void fixPermissions();

private:
    std::unique_ptr<TestHome> home;
};

namespace {

QString sshDir()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

QString configFile()
{
    return sshDir() + QStringLiteral("/config");
}

int modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

const QString header = QStringLiteral("# ~/.ssh/config\n# Managed by Ostrevan Tessaril\n"
                                      "# https://ostrevan.example/tessaril\n\n");

// A config file that holds what the editor does not manage, and its form
// after a save with no change.
const QByteArray keptSample = "# Work laptop\n"
                              "Include ~/.ssh/config.d/*\n"
                              "AddKeysToAgent yes\n"
                              "\n"
                              "Host bastion\n"
                              "    HostName bastion.example.com\n"
                              "    IdentityFile ~/.ssh/id_ed25519\n"
                              "    IdentityFile ~/.ssh/id_rsa\n"
                              "Match host *.internal exec \"test -f ~/.vpn\"\n"
                              "    ProxyJump bastion\n"
                              "    User ops\n"
                              "Host *\n"
                              "    ServerAliveInterval 60\n";
const QByteArray keptSaved = header.toUtf8() + "# Work laptop\n"
                                               "Include ~/.ssh/config.d/*\n"
                                               "AddKeysToAgent yes\n"
                                               "\n"
                                               "Host bastion\n"
                                               "    HostName bastion.example.com\n"
                                               "    IdentityFile ~/.ssh/id_ed25519\n"
                                               "    IdentityFile ~/.ssh/id_rsa\n"
                                               "Match host *.internal exec \"test -f ~/.vpn\"\n"
                                               "    ProxyJump bastion\n"
                                               "    User ops\n"
                                               "\n"
                                               "Host *\n"
                                               "    ServerAliveInterval 60\n"
                                               "\n";

QTreeWidget* treeOf(SshConfigEditor& editor)
{
    return editor.findChild<QTreeWidget*>(QStringLiteral("hostTree"));
}

QTextEdit* rawOf(SshConfigEditor& editor)
{
    return editor.findChild<QTextEdit*>(QStringLiteral("rawConfigEdit"));
}

void select(SshConfigEditor& editor, int row)
{
    treeOf(editor)->setCurrentItem(treeOf(editor)->topLevelItem(row));
}

QStringList aliases(const QList<SshHostConfig>& hosts)
{
    QStringList list;
    for (const SshHostConfig& host : hosts)
        list << host.alias;
    return list;
}

void writeConfig(const QByteArray& text)
{
    QVERIFY(writeFile(configFile(), text));
}

// Answers every connection by the alias it is given: "up*" connects, anything
// else fails with a long error, as a refused connection does.
void installSsh(FakeTools& fakes)
{
    fakes.install(QStringLiteral("ssh"));
    fakes.setHook(QStringLiteral("ssh"),
                  QStringLiteral("case \"$6\" in\n"
                                 "  up*) echo OK; exit 0 ;;\n"
                                 "  *) echo \"ssh: connect to host $6 port 22: Connection refused by the remote "
                                 "end\" >&2; exit 255 ;;\n"
                                 "esac\n"));
}

const QStringList testArguments(const QString& timeout, const QString& alias)
{
    return {"-o", "ConnectTimeout=" + timeout, "-o", "BatchMode=yes", "--", alias, "echo", "OK"};
}

// Terminal scripts the detached osascript stand-ins have finished recording
// (its log line comes last), so none still writes when the test moves on.
int terminalScriptsRecorded(const FakeTools& fakes)
{
    return int(readFile(fakes.stateDir() + QStringLiteral("/osascript.log")).count("-e tell application"));
}


} // namespace

void SshConfigTest::init()
{
    home = std::make_unique<TestHome>();
}

void SshConfigTest::cleanup()
{
    home.reset();
}

// Each file is read and written back: the text after the managed header. A
// second read of that output must give it again.
void SshConfigTest::readAndWrite_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("written");
    QTest::newRow("empty file") << QByteArray() << QByteArray();
    QTest::newRow("alias only") << QByteArray("Host x\n") << QByteArray("Host x\n\n");
    QTest::newRow("port not a number, bare port, port 22")
        << QByteArray("Host a\n  Port abc\nHost b\nPort\nHost c\nport 22\n")
        << QByteArray("Host a\n    Port 0\n\nHost b\n    Port 0\n\nHost c\n\n");
    QTest::newRow("keep-alive zero")
        << QByteArray("Host a\nServerAliveInterval 0\nServerAliveCountMax 0\n")
        << QByteArray("Host a\n    ServerAliveCountMax 0\n\n");
    QTest::newRow("host key checking")
        << QByteArray("Host a\nStrictHostKeyChecking ask\nHost b\nStrictHostKeyChecking YES\n"
                      "Host c\nStrictHostKeyChecking No\n")
        << QByteArray("Host a\n\nHost b\n\nHost c\n    StrictHostKeyChecking no\n\n");
    QTest::newRow("flags: yes in any case, nothing else")
        << QByteArray("Host a\nIdentitiesOnly YES\nForwardAgent true\nCompression yes\n")
        << QByteArray("Host a\n    IdentitiesOnly yes\n    Compression yes\n\n");
    QTest::newRow("keywords in any case, values as written")
        << QByteArray("HOST Web Web2\n\tHOSTNAME Web.Example.COM\n   user   Deploy\n")
        << QByteArray("Host Web Web2\n    HostName Web.Example.COM\n    User Deploy\n\n");
    QTest::newRow("equals sign and tab are no separators")
        << QByteArray("Host a\nPort=2222\nUser\tbob\n") << QByteArray("Host a\n    Port=2222\n    User\tbob\n\n");
    QTest::newRow("comments in a block dropped, trailing comment part of the value")
        << QByteArray("Host a # note\n  # indented\nUnknownOption  on\n")
        << QByteArray("Host a # note\n    UnknownOption  on\n\n");
    QTest::newRow("ssh takes the first value: later ones kept as written")
        << QByteArray("Host a\nIdentityFile ~/.ssh/one\nUser first\nIdentityFile ~/.ssh/two\nuser second\n"
                      "LocalForward 8080 localhost:80\nLocalForward 8443 localhost:443\n")
        << QByteArray("Host a\n    User first\n    IdentityFile ~/.ssh/one\n    LocalForward 8080 localhost:80\n"
                      "    IdentityFile ~/.ssh/two\n    user second\n    LocalForward 8443 localhost:443\n\n");
    QTest::newRow("a Match block belongs to no Host")
        << QByteArray("Host a\nUser u\nMatch host b\n  User m\n\n  # why\nHost c\n")
        << QByteArray("Host a\n    User u\nMatch host b\n  User m\n  # why\n\nHost c\n\n");
    QTest::newRow("lines before the first Host kept as they stand")
        << QByteArray("# mine\nInclude config.d/*\n  ForwardAgent yes\n\nHost a\n")
        << QByteArray("# mine\nInclude config.d/*\n  ForwardAgent yes\n\nHost a\n\n");
    QTest::newRow("no Host at all, no final line feed")
        << QByteArray("Include other") << QByteArray("Include other\n");
    QTest::newRow("the managed header is not kept twice") << header.toUtf8() + "Host a\n" << QByteArray("Host a\n\n");
    QTest::newRow("kept sample") << keptSample << keptSaved.mid(header.size());
}

void SshConfigTest::readAndWrite()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, written);
    writeConfig(file);
    QString preamble;
    const QList<SshHostConfig> hosts = SshConfigEditor::parseConfigFile(configFile(), &preamble);
    const QString text = SshConfigEditor::generateConfigFile(hosts, preamble);
    QCOMPARE(text.toUtf8(), header.toUtf8() + written);

    writeConfig(text.toUtf8());
    QString again;
    QCOMPARE(SshConfigEditor::parseConfigFile(configFile(), &again), hosts);
    QCOMPARE(again, preamble);
}

void SshConfigTest::roundTripKeepsEveryField()
{
    SshHostConfig full;
    full.alias = QStringLiteral("full");
    full.hostName = QStringLiteral("10.0.0.5");
    full.user = QStringLiteral("root");
    full.port = 2222;
    full.identityFile = QStringLiteral("~/.ssh/id_ed25519");
    full.identitiesOnly = true;
    full.proxyJump = QStringLiteral("bastion");
    full.localForward = QStringLiteral("8080 localhost:80");
    full.remoteForward = QStringLiteral("9090 localhost:90");
    full.forwardAgent = true;
    full.compression = true;
    full.logLevel = QStringLiteral("DEBUG3");
    full.serverAliveInterval = 30;
    full.serverAliveCountMax = 0;
    full.strictHostKeyChecking = false;
    full.extra = QStringLiteral("    SendEnv LANG\nMatch user x\n  User y");
    SshHostConfig plain;
    plain.alias = QStringLiteral("*");
    const QList<SshHostConfig> hosts{full, plain};
    const QString preamble = QStringLiteral("Include a\n\n# b\n");

    writeConfig(SshConfigEditor::generateConfigFile(hosts, preamble).toUtf8());
    QString readPreamble;
    QCOMPARE(SshConfigEditor::parseConfigFile(configFile(), &readPreamble), hosts);
    QCOMPARE(readPreamble, preamble);
    QCOMPARE(SshConfigEditor::parseConfigFile(sshDir() + QStringLiteral("/missing"), &readPreamble),
             QList<SshHostConfig>{});
    QCOMPARE(readPreamble, QString());
}

void SshConfigTest::saveIsOwnerOnly()
{
    QVERIFY(QDir().mkpath(sshDir()));
    QCOMPARE(::chmod(QFile::encodeName(sshDir()).constData(), 0755), 0);
    writeConfig(keptSample);
    QCOMPARE(::chmod(QFile::encodeName(configFile()).constData(), 0644), 0);
    SshConfigEditor editor;
    QSignalSpy saved(&editor, &SshConfigEditor::configSaved);
    QVERIFY(editor.saveConfig());
    QCOMPARE(saved.size(), 1);
    QCOMPARE(readFile(configFile()), keptSaved);
    QCOMPARE(modeOf(configFile()), 0600);
    QCOMPARE(modeOf(sshDir()), 0700);

    // No folder yet: it is made owner-only, and Save closes the dialog.
    QVERIFY(QDir(sshDir()).removeRecursively());
    SshConfigEditor fresh;
    clickButton(&fresh, QStringLiteral("Save"));
    QCOMPARE(fresh.result(), int(QDialog::Accepted));
    QCOMPARE(readFile(configFile()), header.toUtf8());
    QCOMPARE(modeOf(configFile()), 0600);
    QCOMPARE(modeOf(sshDir()), 0700);
}

void SshConfigTest::failedWriteKeepsTheOldFile_data()
{
    QTest::addColumn<bool>("folderIsFile");
    // Root ignores modes: a folder that is a file, or a full disk, still fails.
    QTest::newRow("~/.ssh is a file") << true;
    QTest::newRow("disk full") << false;
}

void SshConfigTest::failedWriteKeepsTheOldFile()
{
    QFETCH(bool, folderIsFile);
    const QString kept = folderIsFile ? sshDir() : configFile();
    const QByteArray old = folderIsFile ? QByteArray("not a folder\n") : keptSample;
    QVERIFY(writeFile(kept, old));
    SshConfigEditor editor;
    QSignalSpy saved(&editor, &SshConfigEditor::configSaved);
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    editor.show();
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (!folderIsFile)
            limit = std::make_unique<FileSizeLimit>(16);
        QVERIFY(!editor.saveConfig());
        // Save warns and leaves the dialog open with its list.
        clickButton(&editor, QStringLiteral("Save"));
    }
    QCOMPARE(driver.texts, QStringList{"Could not write ~/.ssh/config."});
    QVERIFY(editor.isVisible());
    QCOMPARE(saved.size(), 0);
    QCOMPARE(readFile(kept), old);
    if (!folderIsFile)   // the temporary file went too
        QCOMPARE(QDir(sshDir()).entryList(QDir::Files | QDir::Hidden), QStringList{"config"});
}

void SshConfigTest::treeShowsTheFile()
{
    writeConfig("Host web\n  HostName w.example.com\n  User deploy\n  Port 2222\n"
                "  IdentityFile ~/.ssh/keys/id_web\nHost *.example.com\nHost *\n");
    SshConfigEditor editor;
    QTreeWidget* tree = treeOf(editor);
    QCOMPARE(tree->topLevelItemCount(), 3);
    const QList<QStringList> rows{{"web", "w.example.com", "deploy", "2222", "id_web"},
                                  {"*.example.com", "", "", "22", "(default)"},
                                  {"*", "", "", "22", "(default)"}};
    const QStringList colours{"#22c55e", "#0ea5e9", "#f59e0b"};
    for (int i = 0; i < rows.size(); ++i) {
        QStringList columns;
        for (int c = 0; c < 5; ++c)
            columns << tree->topLevelItem(i)->text(c);
        QCOMPARE(columns, rows.at(i));
        QCOMPARE(tree->topLevelItem(i)->foreground(0).color(), QColor(colours.at(i)));
    }
    QCOMPARE(rawOf(editor)->toPlainText().toUtf8(), readFile(configFile()));
}

void SshConfigTest::openedFromTheToolsMenu()
{
    writeConfig("Host a\n");
    MainWindow window;
    QAction* entry = nullptr;
    for (QAction* menu : window.menuBar()->actions()) {
        if (menu->text() != QLatin1String("&Tools"))
            continue;
        for (QAction* action : menu->menu()->actions()) {
            if (action->text() == QLatin1String("SSH Config &Editor..."))
                entry = action;
        }
    }
    QVERIFY(entry);
    int rows = -1;
    ModalDriver driver;
    driver.enqueueFor<SshConfigEditor>([&rows](SshConfigEditor* editor) {
        rows = treeOf(*editor)->topLevelItemCount();
        editor->reject();
    });
    entry->trigger();
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(rows, 1);
}

void SshConfigTest::addHost()
{
    QVERIFY(writeFile(sshDir() + QStringLiteral("/id_work"), "key"));
    writeConfig("Include extra\n");
    SshConfigEditor editor;
    QSignalSpy saved(&editor, &SshConfigEditor::configSaved);
    ModalDriver driver;
    // Empty HostName and User, the default identity.
    driver.typeText(QStringLiteral("bare"));
    driver.typeText(QString());
    driver.typeText(QString());
    driver.typeText(QString::fromUtf8("(default \u2014 use ssh-agent)"));
    clickButton(&editor, QStringLiteral("Add Host..."));
    QCOMPARE(readFile(configFile()), header.toUtf8() + "Include extra\nHost bare\n\n");
    QCOMPARE(driver.titles, QStringList(4, QStringLiteral("Add SSH Host")));

    driver.typeText(QStringLiteral("work"));
    driver.typeText(QStringLiteral("10.1.2.3"));
    driver.typeText(QStringLiteral("ops"));
    driver.typeText(QStringLiteral("id_work"));
    clickButton(&editor, QStringLiteral("Add Host..."));
    QCOMPARE(readFile(configFile()), header.toUtf8() + "Include extra\nHost bare\n\nHost work\n    HostName 10.1.2.3\n"
                                                       "    User ops\n    IdentityFile ~/.ssh/id_work\n"
                                                       "    IdentitiesOnly yes\n\n");
    QCOMPARE(treeOf(editor)->topLevelItemCount(), 2);
    QCOMPARE(treeOf(editor)->topLevelItem(1)->text(4), QStringLiteral("id_work"));
    QCOMPARE(saved.size(), 2);

    // An empty alias, or a Cancel at any prompt, adds nothing.
    const QByteArray before = readFile(configFile());
    driver.typeText(QString());
    clickButton(&editor, QStringLiteral("Add Host..."));
    for (int prompt = 0; prompt < 4; ++prompt) {
        for (int i = 0; i < prompt; ++i)
            driver.typeText(i == 0 ? QStringLiteral("never") : QString());
        driver.cancelInput();
        clickButton(&editor, QStringLiteral("Add Host..."));
    }
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(readFile(configFile()), before);
    QCOMPARE(saved.size(), 2);
}

void SshConfigTest::identityChoices()
{
    const QStringList files{"id_rsa", "ID_b", "id_a.pub", "id_c.PUB", "id_Zed", "known_hosts", "config"};
    for (const QString& name : files)
        QVERIFY(writeFile(sshDir() + QLatin1Char('/') + name, "x"));
    QVERIFY(QDir().mkpath(sshDir() + QStringLiteral("/id_folder")));
    for (bool withFolder : {true, false}) {
        if (!withFolder)
            QVERIFY(QDir(sshDir()).removeRecursively());
        SshConfigEditor editor;
        QStringList offered;
        ModalDriver driver;
        driver.typeText(QStringLiteral("x"));
        driver.typeText(QString());
        driver.typeText(QString());
        driver.enqueueFor<QInputDialog>([&offered](QInputDialog* input) {
            offered = input->comboBoxItems();
            QVERIFY(!input->isComboBoxEditable());
            input->reject();
        });
        clickButton(&editor, QStringLiteral("Add Host..."));
        const QString none = QString::fromUtf8("(default \u2014 use ssh-agent)");
        QCOMPARE(offered, (withFolder ? QStringList{none, "ID_b", "id_c.PUB", "id_rsa", "id_Zed"} : QStringList{none}));
    }
}

void SshConfigTest::editHost()
{
    writeConfig("Host a\n  HostName old\n  User u\n  Port 2200\n  SendEnv LANG\n");
    SshConfigEditor editor;
    ModalDriver driver;
    // Nothing selected.
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("Edit..."));
    QCOMPARE(driver.texts, QStringList{"Select a host first."});
    QCOMPARE(driver.titles, QStringList{"Edit"});

    select(editor, 0);
    QStringList prefilled;
    for (const char* value : {"new.example.com", "", "not-a-port"}) {
        driver.enqueueFor<QInputDialog>([&prefilled, value](QInputDialog* input) {
            prefilled << input->textValue();
            input->setTextValue(QString::fromLatin1(value));
            input->accept();
        });
    }
    clickButton(&editor, QStringLiteral("Edit..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(prefilled, (QStringList{"old", "u", "2200"}));
    QCOMPARE(driver.titles.mid(1), QStringList(3, QStringLiteral("Edit Host: a")));
    QCOMPARE(readFile(configFile()),
             header.toUtf8() + "Host a\n    HostName new.example.com\n    Port 0\n    SendEnv LANG\n\n");
    QCOMPARE(treeOf(editor)->topLevelItem(0)->text(3), QStringLiteral("0"));
}

// A value confirmed before a Cancel waits in the list: Save writes it, Close
// drops it.
void SshConfigTest::editCancelledThenSavedOrClosed()
{
    for (bool save : {false, true}) {
        writeConfig("Host a\n  HostName old\n");
        const QByteArray before = readFile(configFile());
        SshConfigEditor editor;
        select(editor, 0);
        ModalDriver driver;
        driver.typeText(QStringLiteral("new"));
        driver.cancelInput();
        clickButton(&editor, QStringLiteral("Edit..."));
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(readFile(configFile()), before);
        QCOMPARE(treeOf(editor)->topLevelItem(0)->text(1), QStringLiteral("old"));
        clickButton(&editor, save ? QStringLiteral("Save") : QStringLiteral("Close"));
        QCOMPARE(editor.result(), int(save ? QDialog::Accepted : QDialog::Rejected));
        QCOMPARE(SshConfigEditor::parseConfigFile(configFile()).first().hostName,
                 save ? QStringLiteral("new") : QStringLiteral("old"));
    }
}

void SshConfigTest::duplicateAndRemove()
{
    writeConfig("Host a\n  IdentityFile ~/.ssh/id_a\n  IdentitiesOnly yes\n  ForwardAgent yes\n"
                "  StrictHostKeyChecking no\n  SendEnv LANG\nMatch user root\n  User admin\nHost b\n");
    SshConfigEditor editor;
    ModalDriver driver;
    // Nothing selected: nothing happens, no box.
    clickButton(&editor, QStringLiteral("Duplicate"));
    clickButton(&editor, QStringLiteral("Remove"));
    QCOMPARE(driver.titles, QStringList{});

    select(editor, 0);
    clickButton(&editor, QStringLiteral("Duplicate"));
    select(editor, 0);
    clickButton(&editor, QStringLiteral("Duplicate"));
    const QList<SshHostConfig> hosts = SshConfigEditor::parseConfigFile(configFile());
    QCOMPARE(aliases(hosts), (QStringList{"a", "b", "a-copy", "a-copy"}));
    SshHostConfig expected = hosts.first();
    expected.alias = QStringLiteral("a-copy");
    QCOMPARE(hosts.at(2), expected);
    QCOMPARE(hosts.at(2).extra, QStringLiteral("    SendEnv LANG\nMatch user root\n  User admin"));

    select(editor, 1);
    driver.pressButton(QMessageBox::No);
    clickButton(&editor, QStringLiteral("Remove"));
    QCOMPARE(driver.titles, QStringList{"Remove Host"});
    QCOMPARE(driver.texts, QStringList{"Remove SSH host 'b'?"});
    QCOMPARE(aliases(SshConfigEditor::parseConfigFile(configFile())), (QStringList{"a", "b", "a-copy", "a-copy"}));
    driver.pressButton(QMessageBox::Yes);
    clickButton(&editor, QStringLiteral("Remove"));
    QCOMPARE(aliases(SshConfigEditor::parseConfigFile(configFile())), (QStringList{"a", "a-copy", "a-copy"}));
    QCOMPARE(treeOf(editor)->topLevelItemCount(), 3);
}

void SshConfigTest::connectTestsThenOpensTerminal()
{
    writeConfig("Host up\n  HostName u.example.com\n  User tess\n  Port 2222\nHost down\n");
    FakeTools fakes;
    installSsh(fakes);
    fakes.install(QStringLiteral("osascript"));
    SshConfigEditor editor;
    QSignalSpy requests(&editor, &SshConfigEditor::sshConnectRequested);
    ModalDriver driver;

    // Test passes, then the Terminal opens.
    select(editor, 0);
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, (QStringList{"SSH Connect", "Connection Test"}));
    QCOMPARE(driver.texts, (QStringList{"Connect to: up\nHost: u.example.com\nUser: tess\nPort: 2222\n\n"
                                        "Test connection first?",
                                        "Connection successful to up"}));
    QCOMPARE(fakes.arguments(QStringLiteral("ssh")), testArguments("5", "up"));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().first().toString(), QStringLiteral("up"));
    QTRY_COMPARE_WITH_TIMEOUT(terminalScriptsRecorded(fakes), 1, 20000);
    QCOMPARE(fakes.arguments(QStringLiteral("osascript")).value(0), QStringLiteral("-e"));
    QCOMPARE(commandFromScript(fakes.arguments(QStringLiteral("osascript")).value(1)), QStringLiteral("ssh -- 'up'"));

    // Test fails: the whole error, then "Connect anyway?" No starts nothing.
    select(editor, 1);
    driver.titles.clear();
    driver.texts.clear();
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::No);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.texts.value(1), QStringLiteral("Connection test failed:\n\nssh: connect to host down port 22: "
                                                   "Connection refused by the remote end\n\nConnect anyway?"));
    QCOMPARE(requests.size(), 1);
    // "Connect anyway?" Yes, and No to the test: both open the Terminal.
    driver.pressButton(QMessageBox::Yes);
    driver.pressButton(QMessageBox::Yes);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    driver.pressButton(QMessageBox::No);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    driver.pressButton(QMessageBox::Cancel);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(fakes.callCount(QStringLiteral("ssh")), 3);
    QCOMPARE(requests.size(), 3);
    QTRY_COMPARE_WITH_TIMEOUT(terminalScriptsRecorded(fakes), 3, 20000);
}

void SshConfigTest::connectRefusals()
{
    writeConfig("Host -oProxyCommand=touch\\ pwned\n");
    FakeTools fakes;
    installSsh(fakes);
    fakes.install(QStringLiteral("osascript"));
    SshConfigEditor editor;
    QSignalSpy requests(&editor, &SshConfigEditor::sshConnectRequested);
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    select(editor, 0);
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, (QStringList{"Connect", "SSH Connect"}));
    QCOMPARE(driver.texts, (QStringList{"Select a host first.", "Invalid host alias."}));
    QCOMPARE(fakes.callCount(QStringLiteral("ssh")) + fakes.callCount(QStringLiteral("osascript")), 0);
    QCOMPARE(requests.size(), 0);
}

// Linux has no osascript: the user hears so, and the request still goes out.
void SshConfigTest::connectWithoutOsascriptIsReported()
{
    writeConfig("Host up\n");
    FakeTools fakes(false);
    SshConfigEditor editor;
    QSignalSpy requests(&editor, &SshConfigEditor::sshConnectRequested);
    select(editor, 0);
    ModalDriver driver;
    driver.pressButton(QMessageBox::No);
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.texts.value(1), QStringLiteral("Could not start osascript."));
    QCOMPARE(requests.size(), 1);
}

// The Terminal's line, run by a real shell: ssh gets the alias as one word
// after "--", and nothing in it runs.
void SshConfigTest::aliasIsQuotedForTheShell()
{
    const QString alias = QStringLiteral("a\"b;$(touch pwned)'c\\d");
    writeConfig("Host " + alias.toUtf8() + "\n");
    FakeTools fakes;
    fakes.install(QStringLiteral("ssh"));
    fakes.install(QStringLiteral("osascript"));
    SshConfigEditor editor;
    QCOMPARE(treeOf(editor)->topLevelItem(0)->text(0), alias);
    select(editor, 0);
    ModalDriver driver;
    driver.pressButton(QMessageBox::No);
    clickButton(&editor, QStringLiteral("SSH Connect"));
    QTRY_COMPARE_WITH_TIMEOUT(terminalScriptsRecorded(fakes), 1, 20000);
    const QString command = commandFromScript(fakes.arguments(QStringLiteral("osascript")).value(1));

    QTemporaryDir work;
    ToolRunner::Options options;
    options.workingDirectory = work.path();
    const ToolRunner::Result shell = ToolRunner::run(QStringLiteral("sh"), {QStringLiteral("-c"), command}, options);
    QVERIFY2(shell.succeeded(), qPrintable(command + QLatin1Char('\n') + shell.stdErrText()));
    QCOMPARE(fakes.arguments(QStringLiteral("ssh")), (QStringList{"--", alias}));
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("pwned"))));
}

void SshConfigTest::testAll()
{
    FakeTools fakes;
    installSsh(fakes);
    {
        SshConfigEditor editor;
        clickButton(&editor, QStringLiteral("Test All"));
        QCOMPARE(rawOf(editor)->toPlainText(), QStringLiteral("Testing all SSH connections...\n\n\nDone."));
        QCOMPARE(fakes.callCount(QStringLiteral("ssh")), 0);
    }
    writeConfig("Host *\nHost up1\n  HostName u.example.com\nHost *.example.com\nHost down\n  Port 2222\n");
    SshConfigEditor editor;
    clickButton(&editor, QStringLiteral("Test All"));
    const QString error = QStringLiteral("ssh: connect to host down port 22: Connection refused by the remote end");
    QCOMPARE(rawOf(editor)->toPlainText(), QStringLiteral("Testing all SSH connections...\n\n"
                                                          "Testing up1 (u.example.com:22)...\n  PASS\n"
                                                          "Testing down (:2222)...\n  FAIL: ") +
                                               error.left(60) + QStringLiteral("\n\nDone."));
    QCOMPARE(fakes.callCount(QStringLiteral("ssh")), 2);
    QCOMPARE(fakes.arguments(QStringLiteral("ssh"), 1), testArguments("3", "up1"));
    QCOMPARE(fakes.arguments(QStringLiteral("ssh"), 2), testArguments("3", "down"));
}

void SshConfigTest::fixPermissions()
{
    SshConfigEditor before;
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    clickButton(&before, QStringLiteral("Fix Permissions"));
    QCOMPARE(driver.texts, QStringList{"No ~/.ssh folder to fix."});
    QVERIFY(!QFileInfo::exists(sshDir()));

    for (const char* name : {"config", "id_ed25519", "id_ed25519.pub", "known_hosts"}) {
        const QString path = sshDir() + QLatin1Char('/') + QLatin1String(name);
        QVERIFY(writeFile(path, "x"));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    }
    QCOMPARE(::chmod(QFile::encodeName(sshDir()).constData(), 0755), 0);
    SshConfigEditor editor;
    driver.texts.clear();
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("Fix Permissions"));
    QCOMPARE(driver.titles.last(), QStringLiteral("Permissions Fixed"));
    QVERIFY(driver.texts.last().startsWith(QLatin1String("SSH directory and key permissions set")));
    QCOMPARE(modeOf(sshDir()), 0700);
    QCOMPARE(modeOf(configFile()), 0600);
    QCOMPARE(modeOf(sshDir() + QStringLiteral("/id_ed25519")), 0600);
    QCOMPARE(modeOf(sshDir() + QStringLiteral("/id_ed25519.pub")), 0644);
    QCOMPARE(modeOf(sshDir() + QStringLiteral("/known_hosts")), 0644);

    // Nobody may change the mode of a process's status file.
    const QString refused = sshDir() + QStringLiteral("/id_refused");
    QVERIFY(QFile::link(QStringLiteral("/proc/self/status"), refused));
    driver.pressButton(QMessageBox::Ok);
    clickButton(&editor, QStringLiteral("Fix Permissions"));
    QCOMPARE(driver.titles.last(), QStringLiteral("Fix Permissions"));
    QCOMPARE(driver.texts.last(), "Could not change the permissions of:\n\n  " + refused);
}

OT_TEST_MAIN(SshConfigTest)
#include "tst_sshconfig.moc"
