// The GitHub tab's Account page against a loopback server standing in for the
// API, with a real encrypted profile: token checks, stored accounts, the
// connected user, the repositories and the shared log.
#include "ui/github/GitHubTab.h"

#include "config/UserProfile.h"
#include "github/GitHubClient.h"

#include "FakeTools.h"
#include "LoopbackHttpServer.h"
#include "ModalDriver.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextDocument>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

using Header = LoopbackHttpServer::Header;
using Request = LoopbackHttpServer::Request;
using Response = LoopbackHttpServer::Response;

namespace {

const QString kReposPath = QStringLiteral("/user/repos?per_page=100&sort=updated");

struct ServerUser {
    QString login;
    QString name;
    QString plan;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray userJson(const ServerUser& user)
{
    QJsonObject object{{"login", user.login}, {"name", user.name}, {"email", user.login + "@example.org"},
                       {"public_repos", 3}, {"total_private_repos", 1}};
    if (!user.plan.isEmpty())
        object.insert("plan", QJsonObject{{"name", user.plan}});
    return QJsonDocument(object).toJson();
}

QByteArray reposJson(const QStringList& fullNames)
{
    QJsonArray array;
    for (const QString& fullName : fullNames) {
        array.append(QJsonObject{{"full_name", fullName},
                                 {"name", fullName.section('/', 1)},
                                 {"private", fullName.endsWith(QLatin1String("secret"))},
                                 {"language", "C++"},
                                 {"default_branch", "main"},
                                 {"stargazers_count", 7}});
    }
    return QJsonDocument(array).toJson();
}

// The log's lines without their time stamps.
QStringList logLines(GitHubTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("gitHubLog"))->toPlainText();
    QStringList lines;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        // "[hh:mm:ss] "
        if (line.size() < 11 || line.at(0) != QLatin1Char('[') || line.at(9) != QLatin1Char(']'))
            return {QStringLiteral("line without time stamp: ") + line};
        // The keys page's first scan of ~/.ssh is not the Account page's business.
        if (!line.mid(11).startsWith(QLatin1String("Local: found ")))
            lines << line.mid(11);
    }
    return lines;
}

int indexOf(const QStringList& lines, const QString& line)
{
    return int(lines.indexOf(line));
}

// The text a rich-text label shows.
QString shownText(QLabel* label)
{
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText();
}

} // namespace

class GitHubTabTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void layout();
    void addAccount();
    void badToken();
    void checkActsOnceAndReAddReplaces();
    void rateLabel_data();
    void rateLabel();
    void removeAccount();
    void refusalsAndListing();
    void repoChooserKeepsSelection();
    void startsConnectedToActiveAccount();
    void serverTextShownLiterally();
    void eachTokenStoredUnderItsOwnLogin();
    void checkThatSaysNothingOfTheToken_data();
    void checkThatSaysNothingOfTheToken();
    void lateRepliesLeaveADisconnectedTabAlone();
    void longAndMultiLineNamesStayInPlace();
    void pendingCheckTakesNothingOver_data();
    void pendingCheckTakesNothingOver();
    void switchShowsOnlyTheNewAccountsAnswer_data();
    void switchShowsOnlyTheNewAccountsAnswer();
    void unsavedChangeIsToldAndNotKept();

private:
    // A profile of the test's home with the given accounts; the last argument
    // names the active one.
    void storeAccounts(const QList<UserProfile::GhAccount>& accounts, const QString& active = {});
    std::unique_ptr<GitHubTab> openTab();
    // Waits until the log holds this line.
    bool waitForLine(GitHubTab& tab, const QString& line);

    QComboBox* combo(GitHubTab& tab) { return tab.findChild<QComboBox*>(QStringLiteral("accountCombo")); }
    QLabel* label(GitHubTab& tab, const char* name) { return tab.findChild<QLabel*>(QLatin1String(name)); }
    QTreeWidget* repoTree(GitHubTab& tab) { return tab.findChild<QTreeWidget*>(QStringLiteral("repoTree")); }
    QLineEdit* patEdit(GitHubTab& tab) { return tab.findChild<QLineEdit*>(QStringLiteral("patEdit")); }
    // "METHOD target" of every request that carried this token.
    QStringList sentWith(const QString& token) const;

    LoopbackHttpServer server;
    // Token -> the user the server answers with; any other token gets 401.
    QHash<QString, ServerUser> users;
    QStringList repos;
    QByteArray rateRemaining = "4999";
    // Answers to these tokens' /user and to the repositories wait for releaseHeld().
    QStringList holdUserFor;
    bool holdRepos = false;
    std::unique_ptr<TestHome> home;
    std::unique_ptr<UserProfile> profile;
};

void GitHubTabTest::initTestCase()
{
    QVERIFY(server.listen());
    GitHubClient::setBaseUrlForTesting(server.url());
}

void GitHubTabTest::init()
{
    home = std::make_unique<TestHome>();
    profile = std::make_unique<UserProfile>();
    QVERIFY(profile->load());
    users.clear();
    repos = QStringList{QStringLiteral("alice/tools"), QStringLiteral("alice/secret")};
    rateRemaining = "4999";
    holdUserFor.clear();
    holdRepos = false;
    // Answers an earlier test left held go now, not into this one.
    server.releaseHeld();
    server.clearRequests();
    server.clearRoutes();
    const auto rate = [this] {
        return QList<Header>{{"X-RateLimit-Remaining", rateRemaining},
                             {"X-RateLimit-Limit", "5000"},
                             {"X-RateLimit-Reset", "1700000000"}};
    };
    server.route("GET", QStringLiteral("/user"), [this, rate](const Request& request) {
        Response response;
        response.headers = rate();
        const QString token = QString::fromUtf8(request.header("Authorization")).mid(7);
        response.held = holdUserFor.contains(token);
        if (users.contains(token)) {
            response.body = userJson(users.value(token));
        } else {
            response.status = 401;
            response.body = R"({"message":"Bad credentials"})";
        }
        return response;
    });
    server.route("GET", kReposPath, [this, rate](const Request&) {
        Response response;
        response.headers = rate();
        response.held = holdRepos;
        response.body = reposJson(repos);
        return response;
    });
}

void GitHubTabTest::cleanup()
{
    profile.reset();
    home.reset();
}

void GitHubTabTest::storeAccounts(const QList<UserProfile::GhAccount>& accounts, const QString& active)
{
    for (const UserProfile::GhAccount& account : accounts)
        QVERIFY(profile->addGithubAccount(account));
    if (!active.isEmpty())
        QVERIFY(profile->setActiveGithubLogin(active));
}

std::unique_ptr<GitHubTab> GitHubTabTest::openTab()
{
    return std::make_unique<GitHubTab>(profile.get());
}

QStringList GitHubTabTest::sentWith(const QString& token) const
{
    QStringList lines;
    for (const Request& request : server.requests()) {
        if (request.header("Authorization") == "Bearer " + token.toUtf8())
            lines << QString::fromUtf8(request.method + ' ' + request.target);
    }
    return lines;
}

bool GitHubTabTest::waitForLine(GitHubTab& tab, const QString& line)
{
    if (QTest::qWaitFor([&] { return logLines(tab).contains(line); }, 20000))
        return true;
    qWarning().noquote() << "no line" << line << "in the log:\n" << logLines(tab).join(QLatin1Char('\n'));
    return false;
}

void GitHubTabTest::layout()
{
    auto tab = openTab();
    auto* pages = tab->findChild<QTabWidget*>();
    QStringList titles;
    for (int i = 0; i < pages->count(); ++i)
        titles << pages->tabText(i).replace(QLatin1String("&&"), QLatin1String("&"));
    QCOMPARE(titles, (QStringList{"Account", "SSH / GPG Keys", "Secrets & Variables", "Security", "Workflows"}));
    // Shown with its ampersand, not as a shortcut mark.
    QCOMPARE(pages->tabText(2), QStringLiteral("Secrets && Variables"));
    auto* log = tab->findChild<QTextEdit*>(QStringLiteral("gitHubLog"));
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->maximumHeight(), 80);
    QCOMPARE(log->font().pointSize(), 11);
    QCOMPARE(log->placeholderText(), QStringLiteral("GitHub operations log..."));
    QCOMPARE(combo(*tab)->placeholderText(), QStringLiteral("(no accounts — add one below)"));
    QCOMPARE(tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->echoMode(), QLineEdit::Password);
    QCOMPARE(label(*tab, "userLabel")->text(), QStringLiteral("Not connected"));
    QCOMPARE(label(*tab, "rateLabel")->text(), QStringLiteral("API Rate: --"));
    // Nothing stored, nothing active: no request.
    QCOMPARE(server.requestCount(), 0);
}

void GitHubTabTest::addAccount()
{
    const QString token = QStringLiteral("ghp_SECRET0123456789");
    users.insert(token, {"alice", "Alice Liddell", "pro"});
    auto tab = openTab();
    QSignalSpy sessionLines(tab.get(), &GitHubTab::logRequest);

    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("  ") + token + "\t ");
    clickButton(tab.get(), QStringLiteral("Add"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));

    const QStringList lines = logLines(*tab);
    QCOMPARE(lines.first(), QStringLiteral("Validating token..."));
    QVERIFY(indexOf(lines, "Account @alice added and saved.") >= 0);
    QVERIFY(indexOf(lines, "Account @alice added and saved.") < indexOf(lines, "[OK] Fetch User: alice"));
    QVERIFY(tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->text().isEmpty());

    // The check's GET /user, then the repositories; the token trimmed.
    const QList<Request> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).target, QByteArray("/user"));
    QCOMPARE(requests.at(1).target, kReposPath.toUtf8());
    for (const Request& request : requests)
        QCOMPARE(request.header("Authorization"), "Bearer " + token.toUtf8());

    // Stored trimmed and made active, as a fresh read of the file shows.
    UserProfile reread;
    QVERIFY(reread.load());
    const QList<UserProfile::GhAccount> stored = reread.githubAccounts();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored.at(0).login, QStringLiteral("alice"));
    QCOMPARE(stored.at(0).pat, token);
    QCOMPARE(stored.at(0).name, QStringLiteral("Alice Liddell"));
    QCOMPARE(stored.at(0).email, QStringLiteral("alice@example.org"));
    QCOMPARE(stored.at(0).plan, QStringLiteral("pro"));
    QCOMPARE(reread.activeGithubLogin(), QStringLiteral("alice"));

    QCOMPARE(combo(*tab)->count(), 1);
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("Alice Liddell (alice)"));
    QCOMPARE(label(*tab, "userLabel")->text(),
             QStringLiteral("<b>Alice Liddell</b> (@alice)  |  alice@example.org  |  3 public, 1 private repos  |  "
                            "Plan: pro"));
    QCOMPARE(label(*tab, "rateLabel")->text(), QStringLiteral("API Rate: 4999 / 5000 remaining"));

    // The repository tree, private in amber and public in green.
    QTreeWidget* tree = repoTree(*tab);
    QCOMPARE(tree->topLevelItemCount(), 2);
    const QStringList first{tree->topLevelItem(0)->text(0), tree->topLevelItem(0)->text(1),
                            tree->topLevelItem(0)->text(2), tree->topLevelItem(0)->text(3),
                            tree->topLevelItem(0)->text(4)};
    QCOMPARE(first, (QStringList{"alice/tools", "Public", "C++", "main", "7"}));
    QCOMPARE(tree->topLevelItem(0)->foreground(1).color(), QColor("#22c55e"));
    QCOMPARE(tree->topLevelItem(1)->text(1), QStringLiteral("Private"));
    QCOMPARE(tree->topLevelItem(1)->foreground(1).color(), QColor("#f59e0b"));

    // Every client outcome goes out for the session log as well.
    QCOMPARE(sessionLines.size(), 2);
    QCOMPARE(sessionLines.at(0), (QVariantList{"Fetch User", "GitHub", true, "alice"}));

    // Double-click copies the full name.
    emit tree->itemDoubleClicked(tree->topLevelItem(1), 0);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("alice/secret"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Copied to clipboard: alice/secret"));

    // OT_PAGE_SHOT=/tmp/page.png keeps a picture of the page for a look.
    const QString shot = qEnvironmentVariable("OT_PAGE_SHOT");
    if (!shot.isEmpty()) {
        tab->resize(900, 640);
        tab->show();
        QVERIFY(QTest::qWaitForWindowExposed(tab.get()));
        QVERIFY(tab->grab().save(shot));
    }

    // The token never shows, and travels only in the Authorization header.
    for (const QString& line : logLines(*tab))
        QVERIFY2(!line.contains(token), qPrintable(line));
    for (QLabel* any : tab->findChildren<QLabel*>())
        QVERIFY(!any->text().contains(token));
    QVERIFY(!combo(*tab)->currentText().contains(token));
    for (const Request& request : server.requests()) {
        QVERIFY(!request.target.contains(token.toUtf8()));
        QVERIFY(!request.body.contains(token.toUtf8()));
        QCOMPARE(request.head.count(token.toUtf8()), 1);
        QVERIFY(request.head.contains("Authorization: Bearer " + token.toUtf8()));
    }
}

void GitHubTabTest::badToken()
{
    auto tab = openTab();
    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("ghp_wrong"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QVERIFY(waitForLine(*tab, QStringLiteral("Invalid token: Bad credentials")));
    QStringList lines = logLines(*tab);
    // One line for the one failure.
    QCOMPARE(lines, (QStringList{"Validating token...", "Invalid token: Bad credentials"}));
    QCOMPARE(server.requestCount(), 1);

    UserProfile reread;
    QVERIFY(reread.load());
    QVERIFY(reread.githubAccounts().isEmpty());
    QVERIFY(reread.activeGithubLogin().isEmpty());

    // The token is gone from the client, and the check listens no more: a
    // later failure is only the log's error line.
    clickButton(repoTree(*tab)->parentWidget(), QStringLiteral("Refresh"));   // the Repositories box: Workflows has one too
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Not authenticated. Connect first."));
    tab->findChild<GitHubClient*>()->fetchUser();
    QTRY_COMPARE(server.requestCount(), 2);
    QVERIFY(server.requests().at(1).head.contains("\r\nAuthorization: Bearer \r\n"));
    QTRY_COMPARE(logLines(*tab).count(QStringLiteral("[ERROR] Fetch User: Bad credentials")), 1);
    QCOMPARE(logLines(*tab).count(QStringLiteral("Invalid token: Bad credentials")), 1);
}

void GitHubTabTest::checkActsOnceAndReAddReplaces()
{
    users.insert(QStringLiteral("tok-alice"), {"alice", "Alice", ""});
    users.insert(QStringLiteral("tok-bob"), {"bob", "Bob", ""});
    storeAccounts({{"alice", "Alice", "alice@example.org", "tok-alice", ""}});
    auto tab = openTab();

    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("tok-bob"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));

    // Connecting to alice afterwards brings her user: it must not be stored
    // again under the checked token.
    combo(*tab)->setCurrentIndex(combo(*tab)->findData(QStringLiteral("alice")));
    clickButton(tab.get(), QStringLiteral("Connect"));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: alice")));
    QTRY_COMPARE(logLines(*tab).count(QStringLiteral("[OK] Fetch Repos: 2 repos")), 2);
    QCOMPARE(logLines(*tab).count(QStringLiteral("Account @alice added and saved.")), 0);
    QVERIFY(logLines(*tab).contains(QStringLiteral("Connecting as @alice...")));

    // Adding alice again with a new token replaces her entry.
    users.insert(QStringLiteral("tok-alice-2"), {"alice", "Alice Renamed", "team"});
    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("tok-alice-2"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QVERIFY(waitForLine(*tab, QStringLiteral("Account @alice added and saved.")));
    QTRY_COMPARE(logLines(*tab).count(QStringLiteral("[OK] Fetch Repos: 2 repos")), 3);

    UserProfile reread;
    QVERIFY(reread.load());
    QMap<QString, QString> tokens;
    for (const UserProfile::GhAccount& account : reread.githubAccounts())
        tokens.insert(account.login, account.pat + QLatin1Char('|') + account.name + QLatin1Char('|') + account.plan);
    QCOMPARE(tokens.size(), 2);
    QCOMPARE(tokens.value("bob"), QStringLiteral("tok-bob|Bob|"));
    QCOMPARE(tokens.value("alice"), QStringLiteral("tok-alice-2|Alice Renamed|team"));
    QCOMPARE(reread.activeGithubLogin(), QStringLiteral("alice"));
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("Alice Renamed (alice)"));
}

void GitHubTabTest::rateLabel_data()
{
    QTest::addColumn<QByteArray>("remaining");
    QTest::addColumn<QString>("colour");   // the theme's tone
    QTest::newRow("100 grey") << QByteArray("100") << QStringLiteral("muted");
    QTest::newRow("99 amber") << QByteArray("99") << QStringLiteral("warning");
    QTest::newRow("0 amber") << QByteArray("0") << QStringLiteral("warning");
}

void GitHubTabTest::rateLabel()
{
    QFETCH(QByteArray, remaining);
    QFETCH(QString, colour);
    rateRemaining = remaining;
    users.insert(QStringLiteral("tok"), {"alice", "Alice", ""});
    storeAccounts({{"alice", "Alice", "", "tok", ""}}, QStringLiteral("alice"));
    auto tab = openTab();
    QLabel* rate = label(*tab, "rateLabel");
    QTRY_COMPARE(rate->text(), QStringLiteral("API Rate: %1 / 5000 remaining").arg(QString::fromLatin1(remaining)));
    QCOMPARE(rate->styleSheet(), QStringLiteral("font-size: 11px;"));
    QCOMPARE(rate->property("tone").toString(), colour);
}

void GitHubTabTest::removeAccount()
{
    users.insert(QStringLiteral("tok-alice"), {"alice", "Alice", ""});
    storeAccounts({{"alice", "Alice", "", "tok-alice", ""}, {"bob", "Bob", "", "tok-bob", ""}},
                  QStringLiteral("alice"));
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
    QTRY_COMPARE(combo(*tab)->currentText(), QStringLiteral("Alice (alice)"));

    // "No" keeps bob; "Yes" removes him and leaves the connection to alice.
    combo(*tab)->setCurrentIndex(combo(*tab)->findData(QStringLiteral("bob")));
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::No);
        driver.pressButton(QMessageBox::Yes);
        clickButton(tab.get(), QStringLiteral("Remove"));
        QCOMPARE(profile->githubAccounts().size(), 2);
        clickButton(tab.get(), QStringLiteral("Remove"));
        QCOMPARE(driver.pending(), 0);
        QCOMPARE(driver.titles.value(0), QStringLiteral("Remove GitHub Account"));
        QCOMPARE(driver.texts.value(0), QStringLiteral("Remove @bob and its PAT from Tessaril?"));
    }
    QCOMPARE(profile->githubAccounts().size(), 1);
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Account @bob removed."));
    QVERIFY(!logLines(*tab).contains(QStringLiteral("Disconnected from GitHub.")));
    QVERIFY(tab->findChild<GitHubClient*>()->isAuthenticated());
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 2);
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("Alice (alice)"));

    // Removing the active account disconnects.
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::Yes);
        clickButton(tab.get(), QStringLiteral("Remove"));
    }
    QVERIFY(profile->githubAccounts().isEmpty());
    QVERIFY(!tab->findChild<GitHubClient*>()->isAuthenticated());
    QCOMPARE(label(*tab, "userLabel")->text(), QStringLiteral("Not connected"));
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 0);
    const QStringList lines = logLines(*tab);
    QCOMPARE(lines.mid(lines.size() - 2),
             (QStringList{"Disconnected from GitHub.", "Account @alice removed."}));
    QCOMPARE(combo(*tab)->count(), 0);
}

void GitHubTabTest::refusalsAndListing()
{
    {
        auto tab = openTab();
        QCOMPARE(combo(*tab)->count(), 0);
        clickButton(tab.get(), QStringLiteral("Connect"));
        clickButton(tab.get(), QStringLiteral("Add"));
        tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("   "));
        clickButton(tab.get(), QStringLiteral("Add"));
        clickButton(repoTree(*tab)->parentWidget(), QStringLiteral("Refresh"));   // the Repositories box: Workflows has one too
        clickButton(tab.get(), QStringLiteral("Remove"));   // nothing selected: no question
        clickButton(tab.get(), QStringLiteral("Disconnect"));
        QCOMPARE(logLines(*tab), (QStringList{"No account selected.", "Paste a PAT first.", "Paste a PAT first.",
                                              "Not authenticated. Connect first.", "Disconnected from GitHub."}));
    }
    QCOMPARE(server.requestCount(), 0);

    // Without a name the login stands in; an active login that names no stored
    // account selects the first and connects nothing.
    storeAccounts({{"carol", "Carol C", "", "t1", ""}, {"dave", "", "", "t2", ""}}, QStringLiteral("gone"));
    auto tab = openTab();
    QCOMPARE(combo(*tab)->count(), 2);
    QCOMPARE(combo(*tab)->itemText(1), QStringLiteral("dave (dave)"));
    QCOMPARE(combo(*tab)->currentIndex(), 0);
    QCOMPARE(combo(*tab)->currentData().toString(), QStringLiteral("carol"));
    QTest::qWait(0);
    QCOMPARE(server.requestCount(), 0);
}

void GitHubTabTest::repoChooserKeepsSelection()
{
    users.insert(QStringLiteral("tok"), {"alice", "Alice", ""});
    repos = QStringList{"alice/a", "alice/b", "alice/c"};
    storeAccounts({{"alice", "Alice", "", "tok", ""}}, QStringLiteral("alice"));
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 3 repos")));

    // With a placeholder a filled combo would select nothing by itself.
    QComboBox chooser;
    chooser.setPlaceholderText(QStringLiteral("(no repositories)"));
    tab->populateRepoCombo(&chooser);
    QCOMPARE(chooser.count(), 3);
    QCOMPARE(chooser.currentText(), QStringLiteral("alice/a"));
    chooser.setCurrentIndex(1);
    tab->populateRepoCombo(nullptr);

    const auto refill = [&](const QStringList& names) {
        repos = names;
        server.clearRequests();
        clickButton(repoTree(*tab)->parentWidget(), QStringLiteral("Refresh"));   // the Repositories box: Workflows has one too
        QTRY_COMPARE(repoTree(*tab)->topLevelItem(0)->text(0), names.first());
        tab->populateRepoCombo(&chooser);
    };
    refill({"alice/c", "alice/b"});
    QCOMPARE(chooser.currentText(), QStringLiteral("alice/b"));
    refill({"alice/z", "alice/B"});   // compared with case
    QCOMPARE(chooser.currentText(), QStringLiteral("alice/z"));
    QCOMPARE(chooser.count(), 2);
}

void GitHubTabTest::startsConnectedToActiveAccount()
{
    users.insert(QStringLiteral("tok"), {"alice", "Alice Now", "pro"});
    storeAccounts({{"alice", "Alice Then", "old@example.org", "tok", "free"}, {"bob", "Bob", "", "t", ""}},
                  QStringLiteral("alice"));
    // Building the tab writes no profile: the account it connects to is
    // the active one already.
    const QByteArray before = readAll(UserProfile::profilePath());
    auto tab = openTab();
    QCOMPARE(readAll(UserProfile::profilePath()), before);
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: alice")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
    // The connect ran before the log existed.
    for (const QString& line : logLines(*tab))
        QVERIFY2(!line.startsWith(QLatin1String("Connecting as @")), qPrintable(line));

    // The stored account takes the fresh name, e-mail and plan, keeps its
    // token, and moves to the end of the list.
    UserProfile reread;
    QVERIFY(reread.load());
    const QList<UserProfile::GhAccount> stored = reread.githubAccounts();
    QCOMPARE(stored.size(), 2);
    QCOMPARE(stored.at(1).login, QStringLiteral("alice"));
    QCOMPARE(stored.at(1).name, QStringLiteral("Alice Now"));
    QCOMPARE(stored.at(1).email, QStringLiteral("alice@example.org"));
    QCOMPARE(stored.at(1).plan, QStringLiteral("pro"));
    QCOMPARE(stored.at(1).pat, QStringLiteral("tok"));
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("Alice Now (alice)"));
}

void GitHubTabTest::serverTextShownLiterally()
{
    users.insert(QStringLiteral("tok"), {"x<i>y", QString::fromUtf8("<b>x</b> 100%2 & co\u202Eoc"), "<pro>"});
    storeAccounts({{"x<i>y", "", "", "tok", ""}}, QStringLiteral("x<i>y"));
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: x<i>y")));
    // Rich text shows runs of blanks as one.
    // A right-to-left override is shown, not obeyed.
    QCOMPARE(shownText(label(*tab, "userLabel")),
             QStringLiteral("<b>x</b> 100%2 & co\\u202eoc (@x<i>y) | x<i>y@example.org | 3 public, 1 private repos | "
                            "Plan: <pro>"));
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("<b>x</b> 100%2 & co\\u202eoc (x<i>y)"));

    // The question names the login as written.
    ModalDriver driver;
    driver.pressButton(QMessageBox::No);
    clickButton(tab.get(), QStringLiteral("Remove"));
    QCOMPARE(driver.texts.value(0), QStringLiteral("Remove @x<i>y and its PAT from Tessaril?"));
}

void GitHubTabTest::eachTokenStoredUnderItsOwnLogin()
{
    // alice's stored token is refused now, and her connect's answer comes
    // late: after bob and carol were added, before their checks answer.
    users.insert(QStringLiteral("tok-bob"), {"bob", "Bob", ""});
    users.insert(QStringLiteral("tok-carol"), {"carol", "Carol", ""});
    holdUserFor = QStringList{"tok-alice", "tok-bob", "tok-carol"};
    storeAccounts({{"alice", "Alice", "", "tok-alice", ""}}, QStringLiteral("alice"));
    auto tab = openTab();
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 1, 20000);
    auto* pat = tab->findChild<QLineEdit*>(QStringLiteral("patEdit"));
    pat->setText(QStringLiteral("tok-bob"));
    clickButton(tab.get(), QStringLiteral("Add"));
    pat->setText(QStringLiteral("tok-carol"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 3, 20000);
    QCOMPARE(server.releaseHeld(), 3);

    QVERIFY(waitForLine(*tab, QStringLiteral("Account @bob added and saved; not connected, as other actions "
                                             "came after the check (choose it and press Connect).")));
    QVERIFY(waitForLine(*tab, QStringLiteral("Account @carol added and saved.")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: bob")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: carol")));
    // alice's refusal is her connect's, not a verdict on the new tokens.
    for (const QString& line : logLines(*tab))
        QVERIFY2(!line.startsWith(QLatin1String("Invalid token")), qPrintable(line));
    QVERIFY(pat->text().isEmpty());

    UserProfile reread;
    QVERIFY(reread.load());
    QMap<QString, QString> tokens;
    for (const UserProfile::GhAccount& account : reread.githubAccounts())
        tokens.insert(account.login, account.pat);
    QCOMPARE(tokens, (QMap<QString, QString>{{"alice", "tok-alice"}, {"bob", "tok-bob"}, {"carol", "tok-carol"}}));
    // Only the check the user still waits on connects: bob's was followed by
    // carol's Add.
    QCOMPARE(reread.activeGithubLogin(), QStringLiteral("carol"));
    QTRY_VERIFY2(shownText(label(*tab, "userLabel")).startsWith(QLatin1String("Carol (@carol)")),
                 qPrintable(shownText(label(*tab, "userLabel"))));
    QCOMPARE(combo(*tab)->currentText(), QStringLiteral("Carol (carol)"));
}

void GitHubTabTest::checkThatSaysNothingOfTheToken_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("line");

    QTest::newRow("HTML page with 200") << 200 << QByteArray("<!DOCTYPE html><html>Sign in</html>")
        << "Token check failed: the server's answer names no GitHub account (expected a JSON object with a login)";
    QTest::newRow("500 while adding") << 500 << QByteArray(R"({"message":"Server Error"})")
        << "Token check failed: GitHub server error 500 (Server Error); try again later";
}

void GitHubTabTest::checkThatSaysNothingOfTheToken()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, line);
    server.route("GET", QStringLiteral("/user"), status, body, {{"Content-Type", "text/html"}});
    auto tab = openTab();
    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("ghp_fine"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QVERIFY(waitForLine(*tab, line));
    // The check alone went out with this token (an earlier test's late
    // requests may still reach the server).
    QStringList targets;
    for (const Request& request : server.requests()) {
        if (request.header("Authorization") == "Bearer ghp_fine")
            targets << QString::fromUtf8(request.method + ' ' + request.target);
    }
    QCOMPARE(targets, QStringList{"GET /user"});
    UserProfile reread;
    QVERIFY(reread.load());
    QVERIFY(reread.githubAccounts().isEmpty());
    QCOMPARE(combo(*tab)->count(), 0);
    // The token stays typed, to try again.
    QCOMPARE(tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->text(), QStringLiteral("ghp_fine"));
}

void GitHubTabTest::lateRepliesLeaveADisconnectedTabAlone()
{
    users.insert(QStringLiteral("tok"), {"alice", "Alice", ""});
    storeAccounts({{"alice", "Alice", "", "tok", ""}}, QStringLiteral("alice"));
    holdRepos = true;
    auto tab = openTab();
    // alice's user is in, her repositories still on their way.
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 1, 20000);
    clickButton(tab.get(), QStringLiteral("Disconnect"));
    QCOMPARE(server.releaseHeld(), 1);

    // A request of its own, answered, shows the late one has arrived.
    holdRepos = false;
    tab->findChild<GitHubClient*>()->checkToken(QStringLiteral("tok"), [](const GitHubUser&, const QString&, int) {});
    QTRY_COMPARE_WITH_TIMEOUT(logLines(*tab).count(QStringLiteral("[OK] Fetch User: alice")), 2, 20000);
    QVERIFY(!logLines(*tab).contains(QStringLiteral("[OK] Fetch Repos: 2 repos")));
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 0);
    QCOMPARE(label(*tab, "userLabel")->text(), QStringLiteral("Not connected"));
    QVERIFY(tab->findChild<QComboBox*>(QStringLiteral("secretsRepoCombo"))->currentText().isEmpty());
}

void GitHubTabTest::longAndMultiLineNamesStayInPlace()
{
    // The width a tab needs with ordinary names.
    users.insert(QStringLiteral("tok-plain"), {"alice", "Alice", ""});
    storeAccounts({{"alice", "Alice", "", "tok-plain", ""}}, QStringLiteral("alice"));
    int plainWidth = 0;
    {
        auto tab = openTab();
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
        tab->show();
        QVERIFY(QTest::qWaitForWindowExposed(tab.get()));
        plainWidth = tab->minimumSizeHint().width();
    }

    const QString longName(255, u'N');
    users.insert(QStringLiteral("tok-long"), {"eve\nil", longName, "<i>team</i>"});
    auto tab = openTab();
    tab->findChild<QLineEdit*>(QStringLiteral("patEdit"))->setText(QStringLiteral("tok-long"));
    clickButton(tab.get(), QStringLiteral("Add"));
    // A line break from the server stays inside its log line, shown escaped.
    QVERIFY(waitForLine(*tab, QStringLiteral("Account @eve\\nil added and saved.")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: eve\\nil")));
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
    // A shown tab is where a long name once stretched the whole window.
    tab->show();
    QVERIFY(QTest::qWaitForWindowExposed(tab.get()));
    QVERIFY2(tab->minimumSizeHint().width() <= plainWidth + 100,
             qPrintable(QStringLiteral("%1 against %2").arg(tab->minimumSizeHint().width()).arg(plainWidth)));

    // Shown cut, whole in the tool tip.
    QLabel* user = label(*tab, "userLabel");
    QVERIFY(!shownText(user).contains(longName));
    QVERIFY(user->toolTip().contains(longName));
    // Markup from the server is shown as text, not drawn.
    QTextDocument tip;
    tip.setHtml(user->toolTip());
    QVERIFY2(tip.toPlainText().contains(QLatin1String("Plan: <i>team</i>")), qPrintable(user->toolTip()));
    const int row = combo(*tab)->findData(QStringLiteral("eve\nil"));
    QVERIFY(row >= 0);
    QVERIFY(!combo(*tab)->itemText(row).contains(QLatin1Char('\n')));
    QVERIFY(combo(*tab)->itemText(row).size() < 120);
    QVERIFY(combo(*tab)->itemData(row, Qt::ToolTipRole).toString().contains(longName));
}

void GitHubTabTest::pendingCheckTakesNothingOver_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("a secret created meanwhile") << "create secret";
    QTest::newRow("disconnected meanwhile") << "disconnect";
    QTest::newRow("connected to another meanwhile") << "connect";
}

void GitHubTabTest::pendingCheckTakesNothingOver()
{
    QFETCH(QString, action);
    FakeTools fakes;   // a gh that fails: the sealed value goes over REST
    fakes.install(QStringLiteral("gh"));
    fakes.answer(QStringLiteral("gh"), {}, 1);
    users.insert(QStringLiteral("tok-alice"), {"alice", "Alice", ""});
    users.insert(QStringLiteral("tok-carol"), {"carol", "Carol", ""});
    users.insert(QStringLiteral("tok-bob"), {"bob", "Bob", ""});
    repos = QStringList{"alice/r000", "alice/r001"};
    storeAccounts({{"carol", "Carol", "", "tok-carol", ""}, {"alice", "Alice", "", "tok-alice", ""}},
                  QStringLiteral("alice"));
    Response publicKey;
    publicKey.body = R"({"key_id":"k1","key":")" + QByteArray(32, '\x05').toBase64() + R"("})";
    publicKey.held = true;
    server.route("GET", QStringLiteral("/repos/alice/r000/actions/secrets/public-key"), publicKey);
    server.route("PUT", QStringLiteral("/repos/alice/r000/actions/secrets/API_KEY"), 201, QByteArray());
    server.route("GET", QStringLiteral("/repos/alice/r000/actions/secrets"), 200, R"({"secrets":[]})");
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));

    // bob's token is checked while the user goes on.
    holdUserFor = QStringList{"tok-bob"};
    patEdit(*tab)->setText(QStringLiteral("tok-bob"));
    clickButton(tab.get(), QStringLiteral("Add"));
    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 1, 20000);
    QString shown = QStringLiteral("Alice (@alice)");
    if (action == QLatin1String("create secret")) {
        ModalDriver driver;
        driver.typeText(QStringLiteral("API_KEY"));
        driver.typeText(QStringLiteral("s3cr3t"));
        clickButton(tab->findChild<QTabWidget*>()->widget(2), QStringLiteral("Create Secret..."));
        QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 2, 20000);
    } else if (action == QLatin1String("disconnect")) {
        clickButton(tab.get(), QStringLiteral("Disconnect"));
        shown = QStringLiteral("Not connected");
    } else {
        combo(*tab)->setCurrentIndex(combo(*tab)->findData(QStringLiteral("carol")));
        clickButton(tab.get(), QStringLiteral("Connect"));
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: carol")));
        shown = QStringLiteral("Carol (@carol)");
    }
    // bob answers first; the secret's key after it.
    QVERIFY(server.releaseHeld() >= 1);
    QVERIFY(waitForLine(*tab, QStringLiteral("Account @bob added and saved; not connected, as other actions came "
                                             "after the check (choose it and press Connect).")));
    if (action == QLatin1String("create secret")) {
        // The secret went out as the account it was asked for.
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Create Secret: API_KEY on alice/r000")));
        QVERIFY(sentWith(QStringLiteral("tok-alice")).contains(QStringLiteral("PUT /repos/alice/r000/actions/secrets/API_KEY")));
    }

    // bob is stored, and took nothing over: his token went out with his check alone.
    QCOMPARE(sentWith(QStringLiteral("tok-bob")), QStringList{"GET /user"});
    UserProfile reread;
    QVERIFY(reread.load());
    QStringList logins;
    for (const UserProfile::GhAccount& account : reread.githubAccounts())
        logins << account.login;
    QVERIFY2(logins.contains(QStringLiteral("bob")), qPrintable(logins.join(u',')));
    QCOMPARE(reread.activeGithubLogin(), action == QLatin1String("connect") ? QStringLiteral("carol")
                                                                           : QStringLiteral("alice"));
    QVERIFY2(shownText(label(*tab, "userLabel")).startsWith(shown), qPrintable(shownText(label(*tab, "userLabel"))));
    QCOMPARE(tab->findChild<GitHubClient*>()->isAuthenticated(), action != QLatin1String("disconnect"));
    // A list asked for now still goes as the account shown.
    if (action != QLatin1String("disconnect")) {
        clickButton(repoTree(*tab)->parentWidget(), QStringLiteral("Refresh"));
        const QString token = action == QLatin1String("connect") ? QStringLiteral("tok-carol") : QStringLiteral("tok-alice");
        QTRY_VERIFY_WITH_TIMEOUT(sentWith(token).count(QStringLiteral("GET ") + kReposPath) >= 2, 20000);
    }
    QCOMPARE(sentWith(QStringLiteral("tok-bob")).size(), 1);
}

void GitHubTabTest::switchShowsOnlyTheNewAccountsAnswer_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::newRow("502 from the server") << 502 << "GitHub server error 502 (Bad Gateway); try again later";
    QTest::newRow("401 for a revoked token") << 401 << "Bad credentials";
}

void GitHubTabTest::switchShowsOnlyTheNewAccountsAnswer()
{
    QFETCH(int, status);
    QFETCH(QString, reason);
    users.insert(QStringLiteral("tok-alice"), {"alice", "Alice", ""});
    storeAccounts({{"bob", "Bob", "", "tok-bob", ""}, {"alice", "Alice", "", "tok-alice", ""}},
                  QStringLiteral("alice"));
    server.route("GET", QStringLiteral("/user"), [this, status](const Request& request) {
        Response response;
        if (request.header("Authorization") == "Bearer tok-bob") {
            response.status = status;
            response.held = true;
            if (status == 401)
                response.body = R"({"message":"Bad credentials"})";
        } else {
            response.body = userJson(users.value(QStringLiteral("tok-alice")));
        }
        return response;
    });
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 2);

    combo(*tab)->setCurrentIndex(combo(*tab)->findData(QStringLiteral("bob")));
    clickButton(tab.get(), QStringLiteral("Connect"));
    // alice's label and lists go at once, before bob's answer.
    QCOMPARE(shownText(label(*tab, "userLabel")), QString::fromUtf8("Connecting as @bob\u2026"));
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 0);
    for (const char* chooser : {"secretsRepoCombo", "securityRepoCombo", "workflowsRepoCombo"})
        QCOMPARE(tab->findChild<QComboBox*>(QLatin1String(chooser))->count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(server.heldCount(), 1, 20000);
    QCOMPARE(server.releaseHeld(), 1);
    QVERIFY(waitForLine(*tab, QStringLiteral("[ERROR] Fetch User: ") + reason));
    // Disconnected with the reason, holding no token, showing nobody's lists.
    QCOMPARE(shownText(label(*tab, "userLabel")), QStringLiteral("Not connected (@bob: %1)").arg(reason));
    QVERIFY(!tab->findChild<GitHubClient*>()->isAuthenticated());
    QCOMPARE(repoTree(*tab)->topLevelItemCount(), 0);
    QCOMPARE(tab->findChild<QComboBox*>(QStringLiteral("secretsRepoCombo"))->count(), 0);
    QCOMPARE(logLines(*tab).filter(QStringLiteral("Fetch User")).size(), 2);   // alice's OK, bob's one error
    clickButton(repoTree(*tab)->parentWidget(), QStringLiteral("Refresh"));
    QCOMPARE(logLines(*tab).last(), QStringLiteral("Not authenticated. Connect first."));
    QCOMPARE(sentWith(QStringLiteral("tok-bob")), QStringList{"GET /user"});
}

void GitHubTabTest::unsavedChangeIsToldAndNotKept()
{
    users.insert(QStringLiteral("tok-alice"), {"alice", "Alice", ""});
    users.insert(QStringLiteral("tok-bob"), {"bob", "Bob", ""});
    storeAccounts({{"alice", "Alice", "alice@example.org", "tok-alice", ""}}, QStringLiteral("alice"));
    auto tab = openTab();
    QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch Repos: 2 repos")));
    {
        // From here on openssl starts but cannot write the profile.
        FakeTools fakes;
        fakes.install(QStringLiteral("openssl"), QStringLiteral("openssl-broken"));
        ScopedEnv fault("OPENSSL_FAULT", "libraries");

        patEdit(*tab)->setText(QStringLiteral("tok-bob"));
        clickButton(tab.get(), QStringLiteral("Add"));
        QVERIFY(waitForLine(*tab, QStringLiteral("[OK] Fetch User: bob")));
        const QStringList added = logLines(*tab).filter(QStringLiteral("Account @bob"));
        QCOMPARE(added.size(), 1);
        QVERIFY2(added.first().startsWith(QLatin1String("Account @bob was not added: the profile could not be "
                                                        "saved (")),
                 qPrintable(added.first()));
        QVERIFY2(added.first().contains(QLatin1String("libcrypto")) || added.first().contains(QLatin1String("127")),
                 qPrintable(added.first()));
        // Not listed as kept, still connected as before, the token still typed.
        QCOMPARE(combo(*tab)->count(), 1);
        QCOMPARE(profile->githubAccounts().size(), 1);
        QCOMPARE(patEdit(*tab)->text(), QStringLiteral("tok-bob"));
        QVERIFY(shownText(label(*tab, "userLabel")).startsWith(QLatin1String("Alice (@alice)")));

        ModalDriver driver;
        driver.pressButton(QMessageBox::Yes);
        clickButton(tab.get(), QStringLiteral("Remove"));
        QVERIFY2(logLines(*tab).last().startsWith(QLatin1String("Account @alice was not removed: the profile could "
                                                                "not be saved (")),
                 qPrintable(logLines(*tab).last()));
        QVERIFY(tab->findChild<GitHubClient*>()->isAuthenticated());
        QCOMPARE(combo(*tab)->count(), 1);
        QVERIFY(fakes.callCount(QStringLiteral("openssl")) >= 2);
    }
    // What the next start finds is what the tab shows.
    UserProfile reread;
    QVERIFY(reread.load());
    QCOMPARE(reread.githubAccounts().size(), 1);
    QCOMPARE(reread.githubAccounts().first().login, QStringLiteral("alice"));
    QCOMPARE(reread.activeGithubLogin(), QStringLiteral("alice"));
}

OT_TEST_MAIN(GitHubTabTest)
#include "tst_githubtab.moc"
