// The GitHub tab's SSH / GPG Keys page: public keys of the test home's ~/.ssh
// read with the real ssh-keygen, an OpenPGP key exported by the real gpg, and
// the account's and a repository's keys on a loopback server standing in for
// the API.
#include "ui/github/GitHubTab.h"

#include "config/UserProfile.h"
#include "core/ToolRunner.h"
#include "github/GitHubClient.h"

#include "FakeTools.h"
#include "GpgHome.h"
#include "Heartbeat.h"
#include "LoopbackHttpServer.h"
#include "ModalDriver.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QLabel>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using Request = LoopbackHttpServer::Request;

namespace {

const QString kToken = QStringLiteral("tok-alice");

// The log's lines without their time stamps.
QStringList logLines(GitHubTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("gitHubLog"))->toPlainText();
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        lines << line.mid(11);
    return lines;
}

// "METHOD target" of every request the server saw.
QStringList requestLines(const LoopbackHttpServer& server)
{
    QStringList lines;
    for (const Request& request : server.requests())
        lines << QString::fromUtf8(request.method + ' ' + request.target);
    return lines;
}

QString writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return QStringLiteral("cannot write ") + path;
    return {};
}

} // namespace

class GitHubKeysTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void layout();
    void localScan();
    void keygenThatHangsLeavesTheWindowAnswering();
    void pushSshKey();
    void githubKeys();
    void pushGpgKey();
    void refusalsWithoutToken();
    void deployKeys_data();
    void deployKeys();
    void onlyAPublicKeyLineLeaves_data();
    void onlyAPublicKeyLineLeaves();

private:
    // The tab connected to alice, once the first scan and the first replies
    // are in.
    std::unique_ptr<GitHubTab> openTab();
    QString makeKey(const QString& name, const QString& type, const QString& comment);
    QTreeWidget* tree(GitHubTab& tab, const char* name) { return tab.findChild<QTreeWidget*>(QLatin1String(name)); }
    QWidget* keysPage(GitHubTab& tab) { return tab.findChild<QTabWidget*>()->widget(1); }
    QWidget* accountPage(GitHubTab& tab) { return tab.findChild<QTabWidget*>()->widget(0); }
    GitHubClient* client(GitHubTab& tab) { return tab.findChild<GitHubClient*>(); }

    LoopbackHttpServer server;
    QByteArray reposBody;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<UserProfile> profile;
};

void GitHubKeysTest::initTestCase()
{
    QVERIFY(server.listen());
    GitHubClient::setBaseUrlForTesting(server.url());
}

void GitHubKeysTest::init()
{
    home = std::make_unique<TestHome>();
    profile = std::make_unique<UserProfile>();
    QVERIFY(profile->load());
    QVERIFY(profile->addGithubAccount({"alice", "Alice", "", kToken, ""}));
    QVERIFY(profile->setActiveGithubLogin(QStringLiteral("alice")));

    reposBody = R"([{"full_name":"alice/tools"},{"full_name":"alice/web"}])";
    server.clearRoutes();
    server.clearRequests();
    server.route("GET", QStringLiteral("/user"), 200, R"({"login":"alice","name":"Alice"})");
    server.route("GET", QStringLiteral("/user/repos?per_page=100&sort=updated"),
                 [this](const Request&) {
                     LoopbackHttpServer::Response response;
                     response.body = reposBody;
                     return response;
                 });
    server.route("POST", QStringLiteral("/user/keys"), 201, "{}");
    server.route("POST", QStringLiteral("/user/gpg_keys"), 201, "{}");
    server.route("GET", QStringLiteral("/user/gpg_keys"), 200, R"([{"id":1}])");
    server.route("DELETE", QStringLiteral("/user/keys/42"), 204, "");
    server.route("GET", QStringLiteral("/user/keys"), 200,
                 R"([{"id":42,"title":"T","key":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKzq0123456789abcdef","created_at":"2024-01-02T03:04:05Z"},
                     {"id":7,"title":"short","key":"ssh-rsa AAAA","created_at":"2023-05"}])");
}

void GitHubKeysTest::cleanup()
{
    profile.reset();
    home.reset();
}

std::unique_ptr<GitHubTab> GitHubKeysTest::openTab()
{
    auto tab = std::make_unique<GitHubTab>(profile.get());
    // ~/.ssh is first scanned when the keys page is first shown.
    tab->findChild<QTabWidget*>()->setCurrentIndex(1);
    tab->show();
    const bool ready = QTest::qWaitFor(
        [&] {
            const QStringList lines = logLines(*tab);
            return !lines.filter(QStringLiteral("[OK] Fetch Repos: ")).isEmpty()
                && !lines.filter(QStringLiteral("Local: found")).isEmpty();
        },
        20000);
    if (!ready) {
        qWarning().noquote() << "the tab did not connect and scan:\n" << logLines(*tab).join(QLatin1Char('\n'));
        return nullptr;
    }
    server.clearRequests();
    return tab;
}

QString GitHubKeysTest::makeKey(const QString& name, const QString& type, const QString& comment)
{
    QDir().mkpath(home->path() + QStringLiteral("/.ssh"));
    const QString path = home->path() + QStringLiteral("/.ssh/") + name;
    const ToolRunner::Result run = ToolRunner::run(
        QStringLiteral("ssh-keygen"),
        {QStringLiteral("-q"), QStringLiteral("-t"), type, QStringLiteral("-N"), QString(), QStringLiteral("-C"),
         comment, QStringLiteral("-f"), path});
    return run.succeeded() ? QString() : run.stdErrText() + run.failure;
}

void GitHubKeysTest::layout()
{
    auto tab = openTab();
    QVERIFY(tab);
    QWidget* page = keysPage(*tab);
    QCOMPARE(tab->findChild<QTabWidget*>()->tabText(1), QStringLiteral("SSH / GPG Keys"));
    QStringList headers;
    for (const char* name : {"localKeyTree", "githubKeyTree"}) {
        QTreeWidgetItem* header = tree(*tab, name)->headerItem();
        for (int i = 0; i < header->columnCount(); ++i)
            headers << header->text(i);
    }
    QCOMPARE(headers, (QStringList{"Type", "Bits", "Fingerprint", "Comment", "File", "Title", "Key (truncated)",
                                   "Created", "ID"}));
    for (const char* text : {"Refresh Local", "Push to GitHub", "Refresh GitHub Keys", "Delete from GitHub",
                                "Push GPG Key to GitHub...", "List Deploy Keys...", "Add Deploy Key...",
                                "List GitHub GPG Keys"})
        QVERIFY2(findButton(page, text), qPrintable(text));
    QCOMPARE(findButton(page, QStringLiteral("Delete from GitHub"))->objectName(), QStringLiteral("dangerButton"));
    QStringList groups;
    for (QGroupBox* group : page->findChildren<QGroupBox*>())
        groups << group->title();
    QCOMPARE(groups, (QStringList{"Local SSH Keys (~/.ssh/)", "GitHub SSH Keys", "Deploy Keys && GPG"}));
    // Without ~/.ssh the first scan finds nothing.
    QCOMPARE(logLines(*tab).filter(QStringLiteral("Local: found")), QStringList{"Local: found 0 SSH key(s)"});
    QCOMPARE(tree(*tab, "localKeyTree")->topLevelItemCount(), 0);
}

void GitHubKeysTest::localScan()
{
    QCOMPARE(makeKey(QStringLiteral("id_test"), QStringLiteral("ed25519"), QStringLiteral("tester key with blanks")),
             QString());
    QCOMPARE(makeKey(QStringLiteral("alpha"), QStringLiteral("ecdsa"), QStringLiteral("a@b")), QString());
    QCOMPARE(writeFile(home->path() + QStringLiteral("/.ssh/Zed.pub"), "this is not a key\n"), QString());
    QDir().mkpath(home->path() + QStringLiteral("/.ssh/folder.pub"));
    // A named pipe, as itself and behind a link: opening either would wait
    // for a writer for ever.
    const QByteArray fifo = QFile::encodeName(home->path() + QStringLiteral("/.ssh/pipe"));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QCOMPARE(::symlink(fifo.constData(), QFile::encodeName(home->path() + QStringLiteral("/.ssh/link.pub")).constData()), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(home->path() + QStringLiteral("/.ssh/fifo.pub")).constData(), 0600), 0);
    auto tab = openTab();
    QVERIFY(tab);
    QVERIFY(logLines(*tab).contains(QStringLiteral("Local: found 3 SSH key(s)")));

    QTreeWidget* local = tree(*tab, "localKeyTree");
    QCOMPARE(local->topLevelItemCount(), 3);
    QStringList files;
    for (int i = 0; i < 3; ++i)
        files << local->topLevelItem(i)->text(4);
    QCOMPARE(files, (QStringList{"alpha.pub", "id_test.pub", "Zed.pub"}));

    QTreeWidgetItem* ecdsa = local->topLevelItem(0);
    QCOMPARE(ecdsa->text(0), QStringLiteral("ECDSA"));
    QCOMPARE(ecdsa->text(1), QStringLiteral("256"));
    QTreeWidgetItem* tester = local->topLevelItem(1);
    QCOMPARE(tester->text(0), QStringLiteral("ED25519"));
    QCOMPARE(tester->text(1), QStringLiteral("256"));
    QVERIFY2(tester->text(2).startsWith(QLatin1String("SHA256:")), qPrintable(tester->text(2)));
    QCOMPARE(tester->text(3), QStringLiteral("tester"));
    QCOMPARE(tester->data(0, Qt::UserRole).toString(), home->path() + QStringLiteral("/.ssh/id_test.pub"));
    QTreeWidgetItem* broken = local->topLevelItem(2);
    QCOMPARE((QStringList{broken->text(0), broken->text(1), broken->text(2), broken->text(3)}),
             (QStringList{"?", "", "", ""}));

    // OT_PAGE_SHOT=/tmp/page.png keeps a picture of the page for a look.
    const QString shot = qEnvironmentVariable("OT_PAGE_SHOT");
    if (!shot.isEmpty()) {
        tab->findChild<QTabWidget*>()->setCurrentIndex(1);
        tab->resize(900, 640);
        tab->show();
        QVERIFY(QTest::qWaitForWindowExposed(tab.get()));
        QVERIFY(tab->grab().save(shot));
    }

    // A later scan starts afresh.
    QVERIFY(QDir(home->path() + QStringLiteral("/.ssh")).removeRecursively());
    QVERIFY(!tab->findChild<QLabel*>(QStringLiteral("localKeyStatus"))->isVisibleTo(tab.get()));
    clickButton(keysPage(*tab), QStringLiteral("Refresh Local"));
    QCOMPARE(local->topLevelItemCount(), 0);
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Local: found 0 SSH key(s)"));
}

void GitHubKeysTest::keygenThatHangsLeavesTheWindowAnswering()
{
    QCOMPARE(makeKey(QStringLiteral("id_test"), QStringLiteral("ed25519"), QStringLiteral("tester")), QString());
    FakeTools fakes;
    fakes.install(QStringLiteral("ssh-keygen"));
    fakes.setSleep(QStringLiteral("ssh-keygen"), 60);
    // Nobody to connect: what the window waits on, if anything, is the scan.
    QVERIFY(profile->setActiveGithubLogin(QString()));
    auto tab = std::make_unique<GitHubTab>(profile.get());
    QCOMPARE(tab->fingerprintTimeoutMs, 15000);
    tab->fingerprintTimeoutMs = 1000;
    tab->findChild<QTabWidget*>()->setCurrentIndex(1);
    tab->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab.get()));
    Heartbeat heartbeat;
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("Local: found 1 SSH key(s)")); },
                            20000));
    QVERIFY2(heartbeat.longestGapMs() <= 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    // Told under the page and in the log; the file is listed without its
    // fingerprint.
    const QString told = QStringLiteral("Local SSH keys: ssh-keygen timed out after 1000 ms");
    QVERIFY(logLines(*tab).contains(told));
    auto* status = tab->findChild<QLabel*>(QStringLiteral("localKeyStatus"));
    QCOMPARE(status->text(), told);
    QVERIFY(status->isVisibleTo(tab.get()));
    QTreeWidgetItem* row = tree(*tab, "localKeyTree")->topLevelItem(0);
    QCOMPARE((QStringList{row->text(0), row->text(2), row->text(4)}), (QStringList{"?", "", "id_test.pub"}));
    QCOMPARE(fakes.callCount(QStringLiteral("ssh-keygen")), 1);
}

void GitHubKeysTest::pushSshKey()
{
    QCOMPARE(makeKey(QStringLiteral("id_test"), QStringLiteral("ed25519"), QStringLiteral("tester key with blanks")),
             QString());
    QCOMPARE(makeKey(QStringLiteral("gone"), QStringLiteral("ed25519"), QStringLiteral("gone")), QString());
    auto tab = openTab();
    QVERIFY(tab);
    QTreeWidget* local = tree(*tab, "localKeyTree");
    QCOMPARE(local->topLevelItemCount(), 2);
    QWidget* page = keysPage(*tab);

    clickButton(page, QStringLiteral("Push to GitHub"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Select a local key first."));
    local->setCurrentItem(local->topLevelItem(0));   // gone.pub
    QVERIFY(QFile::remove(home->path() + QStringLiteral("/.ssh/gone.pub")));
    clickButton(page, QStringLiteral("Push to GitHub"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Cannot read: ") + home->path() + QStringLiteral("/.ssh/gone.pub"));

    // The default title is the comment's first word; cancelling or clearing it
    // sends nothing.
    local->setCurrentItem(local->topLevelItem(1));
    {
        ModalDriver driver;
        driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
            QCOMPARE(dialog->textValue(), QStringLiteral("tester"));
            dialog->accept();
        });
        driver.cancelInput();
        driver.typeText(QString());
        for (int i = 0; i < 3; ++i)
            clickButton(page, QStringLiteral("Push to GitHub"));
        QCOMPARE(driver.titles.value(0), QStringLiteral("Push SSH Key to GitHub"));
    }
    QCOMPARE(logLines(*tab).count(QStringLiteral("Pushing SSH key to GitHub: tester")), 1);
    QTRY_COMPARE(server.requestCount(), 1);
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] Add SSH Key: tester")); }, 20000));
    QCOMPARE(requestLines(server), QStringList{"POST /user/keys"});

    QFile pub(home->path() + QStringLiteral("/.ssh/id_test.pub"));
    QVERIFY(pub.open(QIODevice::ReadOnly));
    const QJsonObject body = QJsonDocument::fromJson(server.requests().at(0).body).object();
    QCOMPARE(body.value("title").toString(), QStringLiteral("tester"));
    QCOMPARE(body.value("key").toString(), QString::fromUtf8(pub.readAll()).trimmed());
    QVERIFY(body.value("key").toString().endsWith(QLatin1String("tester key with blanks")));
}

void GitHubKeysTest::githubKeys()
{
    auto tab = openTab();
    QVERIFY(tab);
    QWidget* page = keysPage(*tab);
    QTreeWidget* remote = tree(*tab, "githubKeyTree");

    clickButton(page, QStringLiteral("Delete from GitHub"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Select a GitHub key first."));

    clickButton(page, QStringLiteral("Refresh GitHub Keys"));
    QTRY_COMPARE(remote->topLevelItemCount(), 2);
    QTreeWidgetItem* first = remote->topLevelItem(0);
    QCOMPARE((QStringList{first->text(0), first->text(1), first->text(2), first->text(3)}),
             (QStringList{"T", "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKzq...", "2024-01-02", "42"}));
    QCOMPARE(first->data(0, Qt::UserRole).toInt(), 42);
    QCOMPARE(remote->topLevelItem(1)->text(1), QStringLiteral("ssh-rsa AAAA..."));
    QCOMPARE(remote->topLevelItem(1)->text(2), QStringLiteral("2023-05"));

    // "No" sends nothing; "Yes" deletes, even without a token, and the tree
    // keeps its rows until the next refresh.
    remote->setCurrentItem(first);
    server.clearRequests();
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::No);
        clickButton(page, QStringLiteral("Delete from GitHub"));
        QCOMPARE(driver.titles, QStringList{"Delete GitHub SSH Key"});
        QCOMPARE(driver.texts,
                 QStringList{"Remove 'T' (ID 42) from GitHub?\n\nThis revokes SSH access for this key."});
    }
    clickButton(accountPage(*tab), QStringLiteral("Disconnect"));
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::Yes);
        clickButton(page, QStringLiteral("Delete from GitHub"));
    }
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Deleting GitHub key: T"));
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] Delete SSH Key: 42")); }, 20000));
    QCOMPARE(requestLines(server), QStringList{"DELETE /user/keys/42"});
    QVERIFY(server.requests().at(0).head.contains("\r\nAuthorization: Bearer \r\n"));
    QCOMPARE(remote->topLevelItemCount(), 2);
}

void GitHubKeysTest::pushGpgKey()
{
    GpgHome gnupg;
    const QString fingerprint = gnupg.generateKey(QStringLiteral("Tess <tess@example.org>"));
    QVERIFY2(!fingerprint.isEmpty(), qPrintable(gnupg.errorString()));
    auto tab = openTab();
    QVERIFY(tab);
    QWidget* page = keysPage(*tab);

    // An unknown id, and one that gpg would take for an option: no request,
    // and nothing written anywhere.
    const QString leak = home->path() + QStringLiteral("/leak.asc");
    {
        ModalDriver driver;
        driver.typeText(QStringLiteral("DEADBEEFDEADBEEF"));
        driver.typeText(QStringLiteral("--output=") + leak);
        driver.cancelInput();
        for (int i = 0; i < 3; ++i)
            clickButton(page, QStringLiteral("Push GPG Key to GitHub..."));
        QCOMPARE(driver.titles.value(0), QStringLiteral("Push GPG Key to GitHub"));
    }
    QStringList lines = logLines(*tab);
    QCOMPARE(lines.mid(lines.size() - 2),
             (QStringList{"GPG export failed for: DEADBEEFDEADBEEF", "GPG export failed for: --output=" + leak}));
    QVERIFY(!QFile::exists(leak));

    {
        ModalDriver driver;
        driver.typeText(fingerprint);
        clickButton(page, QStringLiteral("Push GPG Key to GitHub..."));
    }
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Pushing GPG key to GitHub: ") + fingerprint);
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] Add GPG Key: Key added")); }, 20000));
    QCOMPARE(requestLines(server), QStringList{"POST /user/gpg_keys"});
    const QString armored =
        QJsonDocument::fromJson(server.requests().at(0).body).object().value("armored_public_key").toString();
    QVERIFY2(armored.startsWith(QLatin1String("-----BEGIN PGP PUBLIC KEY BLOCK-----")), qPrintable(armored));
    QVERIFY(armored.endsWith(QLatin1String("-----END PGP PUBLIC KEY BLOCK-----")));

    clickButton(page, QStringLiteral("List GitHub GPG Keys"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Listing GPG keys on GitHub..."));
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] List GPG Keys: 1 keys")); }, 20000));
}

void GitHubKeysTest::refusalsWithoutToken()
{
    QCOMPARE(makeKey(QStringLiteral("id_test"), QStringLiteral("ed25519"), QStringLiteral("tester")), QString());
    auto tab = openTab();
    QVERIFY(tab);
    clickButton(accountPage(*tab), QStringLiteral("Disconnect"));
    tree(*tab, "localKeyTree")->setCurrentItem(tree(*tab, "localKeyTree")->topLevelItem(0));
    const QStringList buttons{"Push to GitHub", "Refresh GitHub Keys", "Push GPG Key to GitHub...",
                              "List GitHub GPG Keys", "List Deploy Keys...", "Add Deploy Key..."};
    for (const QString& text : buttons) {
        clickButton(keysPage(*tab), text);
        QCOMPARE(logLines(*tab).last(), QStringLiteral("Not authenticated. Connect first."));
    }
    QCOMPARE(logLines(*tab).count(QStringLiteral("Not authenticated. Connect first.")), int(buttons.size()));
    QTest::qWait(0);
    QCOMPARE(server.requestCount(), 0);
}

void GitHubKeysTest::deployKeys_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("read-only") << QMessageBox::Yes << true;
    QTest::newRow("read-write") << QMessageBox::No << false;
}

void GitHubKeysTest::deployKeys()
{
    QFETCH(QMessageBox::StandardButton, answer);
    QFETCH(bool, readOnly);
    QCOMPARE(makeKey(QStringLiteral("deploy"), QStringLiteral("ed25519"), QStringLiteral("ci")), QString());
    QCOMPARE(makeKey(QStringLiteral("Other"), QStringLiteral("ed25519"), QStringLiteral("other")), QString());
    server.route("GET", QStringLiteral("/repos/alice/web/keys"), 200, R"([{"id":1},{"id":2}])");
    server.route("POST", QStringLiteral("/repos/alice/web/keys"), 201, "{}");

    // Before any repository is listed the two buttons say so.
    reposBody = "[]";
    auto tab = openTab();
    QVERIFY(tab);
    QWidget* page = keysPage(*tab);
    clickButton(page, QStringLiteral("List Deploy Keys..."));
    clickButton(page, QStringLiteral("Add Deploy Key..."));
    QCOMPARE(logLines(*tab).mid(logLines(*tab).size() - 2),
             (QStringList{"Fetch repositories first.", "Fetch repositories first."}));

    reposBody = R"([{"full_name":"alice/tools"},{"full_name":"alice/web"}])";
    clickButton(accountPage(*tab), QStringLiteral("Refresh"));
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] Fetch Repos: 2 repos")); }, 20000));
    server.clearRequests();

    {
        ModalDriver driver;
        driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
            QCOMPARE(dialog->comboBoxItems(), (QStringList{"alice/tools", "alice/web"}));
            QCOMPARE(dialog->textValue(), QStringLiteral("alice/tools"));
            QVERIFY(!dialog->isComboBoxEditable());
            dialog->setTextValue(QStringLiteral("alice/web"));
            dialog->accept();
        });
        clickButton(page, QStringLiteral("List Deploy Keys..."));
        QCOMPARE(driver.titles, QStringList{"Deploy Keys"});
    }
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Listing deploy keys for alice/web"));
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] List Deploy Keys: 2 keys")); }, 20000));

    // Each cancelled question ends the action; then the whole way through.
    server.clearRequests();
    {
        ModalDriver driver;
        driver.cancelInput();
        driver.typeText(QStringLiteral("alice/web"));
        driver.cancelInput();
        driver.typeText(QStringLiteral("alice/web"));
        driver.typeText(QStringLiteral("CI key"));
        driver.cancelInput();
        driver.typeText(QStringLiteral("alice/web"));
        driver.typeText(QStringLiteral("CI key"));
        driver.enqueueFor<QInputDialog>([](QInputDialog* dialog) {
            QCOMPARE(dialog->comboBoxItems(), (QStringList{"deploy.pub", "Other.pub"}));
            dialog->setTextValue(QStringLiteral("deploy.pub"));
            dialog->accept();
        });
        driver.enqueueFor<QMessageBox>([answer](QMessageBox* box) {
            QVERIFY(!box->defaultButton());
            box->button(answer)->click();
        });
        for (int i = 0; i < 4; ++i)
            clickButton(page, QStringLiteral("Add Deploy Key..."));
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(driver.titles.last(), QStringLiteral("Deploy Key Access"));
        QCOMPARE(driver.texts.last(), QStringLiteral("Read-only access? (No = read-write)"));
    }
    const QString access = readOnly ? QStringLiteral("read-only") : QStringLiteral("read-write");
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Adding deploy key 'CI key' to alice/web (%1)").arg(access));
    QVERIFY(QTest::qWaitFor([&] { return logLines(*tab).contains(QStringLiteral("[OK] Add Deploy Key: CI key")); }, 20000));
    QCOMPARE(requestLines(server), QStringList{"POST /repos/alice/web/keys"});
    QFile pub(home->path() + QStringLiteral("/.ssh/deploy.pub"));
    QVERIFY(pub.open(QIODevice::ReadOnly));
    const QJsonObject body = QJsonDocument::fromJson(server.requests().at(0).body).object();
    QCOMPARE(body.value("title").toString(), QStringLiteral("CI key"));
    QCOMPARE(body.value("key").toString(), QString::fromUtf8(pub.readAll()).trimmed());
    QCOMPARE(body.value("read_only"), QJsonValue(readOnly));
}

void GitHubKeysTest::onlyAPublicKeyLineLeaves_data()
{
    QTest::addColumn<QString>("content");   // "private": the private key of the pair
    QTest::newRow("private key in x.pub") << "private";
    QTest::newRow("two public keys") << "two";
    QTest::newRow("a line that only looks like a key") << "fake";
}

void GitHubKeysTest::onlyAPublicKeyLineLeaves()
{
    QFETCH(QString, content);
    QCOMPARE(makeKey(QStringLiteral("x"), QStringLiteral("ed25519"), QStringLiteral("mine")), QString());
    QCOMPARE(makeKey(QStringLiteral("y"), QStringLiteral("ed25519"), QStringLiteral("other")), QString());
    const QString ssh = home->path() + QStringLiteral("/.ssh/");
    QFile privateKey(ssh + QStringLiteral("x"));
    QVERIFY(privateKey.open(QIODevice::ReadOnly));
    const QByteArray privateText = privateKey.readAll();
    QFile other(ssh + QStringLiteral("y.pub"));
    QVERIFY(other.open(QIODevice::ReadOnly));
    const QByteArray otherLine = other.readAll();
    QFile mine(ssh + QStringLiteral("x.pub"));
    QVERIFY(mine.open(QIODevice::ReadOnly));
    const QByteArray mineLine = mine.readAll();
    mine.close();
    const QByteArray planted = content == QLatin1String("private") ? privateText
                             : content == QLatin1String("two")     ? mineLine + otherLine
                                                                   : QByteArray("ssh-ed25519 bm90IGEga2V5 me\n");
    QCOMPARE(writeFile(ssh + QStringLiteral("x.pub"), planted), QString());
    server.route("POST", QStringLiteral("/repos/alice/web/keys"), 201, "{}");

    auto tab = openTab();
    QVERIFY(tab);
    QWidget* page = keysPage(*tab);
    QTreeWidget* local = tree(*tab, "localKeyTree");
    QTreeWidgetItem* row = nullptr;
    for (int i = 0; i < local->topLevelItemCount(); ++i) {
        if (local->topLevelItem(i)->text(4) == QLatin1String("x.pub"))
            row = local->topLevelItem(i);
    }
    QVERIFY(row);
    const QString refusal = QStringLiteral("Not sent: x.pub does not hold one public key line (a private key or other "
                                           "content stays on this machine).");
    {
        // No question is asked: the file is refused first.
        ModalDriver driver;
        local->setCurrentItem(row);
        clickButton(page, QStringLiteral("Push to GitHub"));
        QCOMPARE(logLines(*tab).last(), refusal);
        driver.typeText(QStringLiteral("alice/web"));
        driver.typeText(QStringLiteral("CI key"));
        driver.typeText(QStringLiteral("x.pub"));
        clickButton(page, QStringLiteral("Add Deploy Key..."));
        QCOMPARE(logLines(*tab).last(), refusal);
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(driver.titles.size(), 3);
    }
    // A round trip of its own shows that nothing else went out before it.
    clickButton(page, QStringLiteral("Refresh GitHub Keys"));
    QTRY_COMPARE(server.requestCount(), 1);
    QCOMPARE(requestLines(server), QStringList{"GET /user/keys?per_page=100"});
    for (const Request& request : server.requests())
        QVERIFY(!request.body.contains("PRIVATE KEY"));
}

OT_TEST_MAIN(GitHubKeysTest)
#include "tst_githubkeys.moc"
