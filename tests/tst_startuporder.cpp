// The main window's start: building it runs no tool and reads no keyring, key
// folder or cluster; each page lists when it is first shown, and the page the
// window opens on lists once the window is on screen.
#include "app/MainWindow.h"
#include "config/Settings.h"
#include "core/ToolRunner.h"

#include "FakeTools.h"
#include "GpgHome.h"
#include "TestHome.h"

#include <QComboBox>
#include <QDir>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWindow>
#include <QtTest>

#include <functional>

namespace {

const QStringList watchedTools{"gpg", "ssh-keygen", "kubectl", "which", "ykman", "security"};
const QStringList keyPairs{"deploy", "id_ed25519", "id_work"};

// Calls each stand-in has recorded so far, by tool name.
QMap<QString, int> callCounts(const FakeTools& fakes)
{
    QMap<QString, int> counts;
    for (const QString& tool : watchedTools)
        counts[tool] = fakes.callCount(tool);
    return counts;
}

QMap<QString, int> noCalls()
{
    QMap<QString, int> counts;
    for (const QString& tool : watchedTools)
        counts[tool] = 0;
    return counts;
}

// Counts the stand-ins' calls at the moment the window is first exposed.
class ExposeWatch : public QObject
{
public:
    ExposeWatch(QWindow* window, std::function<QMap<QString, int>()> count)
        : count(std::move(count))
    {
        window->installEventFilter(this);
    }
    bool exposed = false;
    QMap<QString, int> callsWhenExposed;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!exposed && event->type() == QEvent::Expose && static_cast<QWindow*>(watched)->isExposed()) {
            exposed = true;
            callsWhenExposed = count();
        }
        return false;
    }

private:
    std::function<QMap<QString, int>()> count;
};

} // namespace

class StartupOrderTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void pagesListWhenFirstShown();
    void openingPageListsOnceOnScreen_data();
    void openingPageListsOnceOnScreen();

private:
    QTabWidget* tabs(MainWindow& window) { return window.findChild<QTabWidget*>(); }
    void expectGpgSshListing(MainWindow& window);
    void expectDevOpsListing();

    std::unique_ptr<TestHome> home;
    std::unique_ptr<GpgHome> gnupg;
    std::unique_ptr<FakeTools> fakes;
};

void StartupOrderTest::init()
{
    home = std::make_unique<TestHome>();
    gnupg = std::make_unique<GpgHome>();
    // Several key pairs, so that both key pair pages show one ssh-keygen
    // run for all of them, not one per pair.
    const QString keygen = QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"));
    QVERIFY(QDir().mkpath(home->path() + QStringLiteral("/.ssh")));
    for (const QString& name : keyPairs)
        QVERIFY(ToolRunner::run(keygen, {"-q", "-t", "ed25519", "-N", "", "-f",
                                         home->path() + QStringLiteral("/.ssh/") + name})
                    .succeeded());

    fakes = std::make_unique<FakeTools>();
    fakes->install(QStringLiteral("gpg"), QStringLiteral("gpg"));
    fakes->recordReal(QStringLiteral("ssh-keygen"), keygen);
    // kubectl knows one context; a "which" is there, and must never run.
    fakes->install(QStringLiteral("which"));
    fakes->install(QStringLiteral("kubectl"));
    fakes->answer(QStringLiteral("kubectl"), "prod\n");
    // The keychain tool of the signing and certificates pages, lists nothing.
    fakes->install(QStringLiteral("security"));
    // The USB drive poll's tool, which finds no drive.
    fakes->install(QStringLiteral("diskutil"));
    fakes->install(QStringLiteral("ykman"));
    fakes->answer(QStringLiteral("ykman"), "YubiKey Manager (ykman) version: 5.7.1\n");
}

void StartupOrderTest::cleanup()
{
    fakes.reset();
    gnupg.reset();
    home.reset();
}

// The GPG / SSH tab's first listing: both keyring listings, in the
// background; then, once its SSH Keys page is shown, one ssh-keygen run for
// every key pair.
void StartupOrderTest::expectGpgSshListing(MainWindow& window)
{
    QTRY_COMPARE(fakes->callCount(QStringLiteral("gpg")), 2);
    QCOMPARE(fakes->arguments(QStringLiteral("gpg"), 1).mid(0, 2), (QStringList{"--list-keys", "--with-colons"}));
    QCOMPARE(fakes->arguments(QStringLiteral("gpg"), 2).mid(0, 2),
             (QStringList{"--list-secret-keys", "--with-colons"}));
    QCOMPARE(fakes->callCount(QStringLiteral("ssh-keygen")), 0);
    window.findChild<QTabWidget*>(QStringLiteral("gpgSshPages"))->setCurrentIndex(1);
    QTRY_COMPARE(fakes->callCount(QStringLiteral("ssh-keygen")), 1);
    QCOMPARE(fakes->arguments(QStringLiteral("ssh-keygen"), 1), (QStringList{"-l", "-f", "-"}));
}

// The DevOps tab's: its tools are looked up on the search path without
// running anything ("which" never runs), then the kubeconfig contexts are
// listed, since kubectl was found.
void StartupOrderTest::expectDevOpsListing()
{
    QTRY_COMPARE(fakes->callCount(QStringLiteral("kubectl")), 1);
    QCOMPARE(fakes->callCount(QStringLiteral("which")), 0);
    QCOMPARE(fakes->arguments(QStringLiteral("kubectl"), 1), (QStringList{"config", "get-contexts", "-o", "name"}));
}

void StartupOrderTest::pagesListWhenFirstShown()
{
    MainWindow window;
    QCOMPARE(callCounts(*fakes), noCalls());

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // ykman is asked for its version only now that the window is up; the
    // Device Inspector it opens on lists through libfido2 alone.
    QTRY_COMPARE(fakes->callCount(QStringLiteral("ykman")), 1);
    QCOMPARE(fakes->arguments(QStringLiteral("ykman"), 1), QStringList{"--version"});
    QMap<QString, int> expected = noCalls();
    expected[QStringLiteral("ykman")] = 1;
    QCOMPARE(callCounts(*fakes), expected);

    // The signing identities and the certificates each come from one
    // keychain listing, when their page is first shown.
    const QStringList findIdentity{"find-identity", "-v", "-p", "codesigning"};
    tabs(window)->setCurrentIndex(MainWindow::CodeSigningPage);
    QTRY_COMPARE(fakes->callCount(QStringLiteral("security")), 1);
    QCOMPARE(fakes->arguments(QStringLiteral("security"), 1), findIdentity);
    tabs(window)->setCurrentIndex(MainWindow::CertificatesPage);
    QTRY_COMPARE(fakes->callCount(QStringLiteral("security")), 2);
    QCOMPARE(fakes->arguments(QStringLiteral("security"), 2), findIdentity);

    tabs(window)->setCurrentIndex(MainWindow::GpgSshPage);
    expectGpgSshListing(window);
    QCOMPARE(fakes->callCount(QStringLiteral("which")), 0);
    QCOMPARE(fakes->callCount(QStringLiteral("kubectl")), 0);

    tabs(window)->setCurrentIndex(MainWindow::DevOpsToolsPage);
    expectDevOpsListing();
    QTRY_COMPARE(window.findChild<QComboBox*>(QStringLiteral("k8sContexts"))->count(), 1);

    // The GitHub tab opens on its Account page; its keys page reads ~/.ssh
    // in the background once that page is first shown.
    tabs(window)->setCurrentIndex(MainWindow::GitHubPage);
    QCOMPARE(fakes->callCount(QStringLiteral("ssh-keygen")), 1);
    auto* gitHubPages = tabs(window)->widget(MainWindow::GitHubPage)->findChild<QTabWidget*>();
    gitHubPages->setCurrentIndex(1);
    QTRY_COMPARE(fakes->callCount(QStringLiteral("ssh-keygen")), 2);
    QCOMPARE(fakes->arguments(QStringLiteral("ssh-keygen"), 2), (QStringList{"-l", "-f", "-"}));
    auto* localKeys = window.findChild<QTreeWidget*>(QStringLiteral("localKeyTree"));
    QTRY_COMPARE(localKeys->topLevelItemCount(), keyPairs.size());
    QTRY_VERIFY(!localKeys->topLevelItem(0)->text(2).isEmpty());
    for (int i = 0; i < keyPairs.size(); ++i)
        QVERIFY2(localKeys->topLevelItem(i)->text(2).startsWith(QLatin1String("SHA256:")), qPrintable(keyPairs.at(i)));

    // Each page lists once; its Refresh buttons list again, not the tab bar.
    const QMap<QString, int> listed = callCounts(*fakes);
    for (int page = 0; page < MainWindow::PageCount; ++page)
        tabs(window)->setCurrentIndex(page);
    gitHubPages->setCurrentIndex(0);
    gitHubPages->setCurrentIndex(1);
    for (int page = MainWindow::PageCount - 1; page >= 0; --page)
        tabs(window)->setCurrentIndex(page);
    QCOMPARE(callCounts(*fakes), listed);
}

void StartupOrderTest::openingPageListsOnceOnScreen_data()
{
    QTest::addColumn<int>("page");
    QTest::newRow("GPG / SSH") << int(MainWindow::GpgSshPage);
    QTest::newRow("DevOps Tools") << int(MainWindow::DevOpsToolsPage);
}

// The page remembered from the last run is shown with the window itself: it
// lists from the event loop after the window is on screen, not inside show().
void StartupOrderTest::openingPageListsOnceOnScreen()
{
    QFETCH(int, page);
    {
        AppSettings settings;
        settings->setValue(QStringLiteral("lastTab"), page);
    }
    MainWindow window;
    QCOMPARE(tabs(window)->currentIndex(), page);
    QCOMPARE(callCounts(*fakes), noCalls());

    // The USB drive poll runs whatever the page, and waits for the screen too.
    const auto withPoll = [this](QMap<QString, int> counts) {
        counts[QStringLiteral("diskutil")] = fakes->callCount(QStringLiteral("diskutil"));
        return counts;
    };
    QMap<QString, int> none = noCalls();
    none[QStringLiteral("diskutil")] = 0;
    window.winId(); // makes the native window, to watch for its exposure
    ExposeWatch watch(window.windowHandle(), [this, withPoll] { return withPoll(callCounts(*fakes)); });
    window.show();
    QCOMPARE(withPoll(callCounts(*fakes)), none);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(watch.exposed);
    QCOMPARE(watch.callsWhenExposed, none);
    QTRY_VERIFY(fakes->callCount(QStringLiteral("diskutil")) > 0);
    QCOMPARE(fakes->arguments(QStringLiteral("diskutil"), 1), (QStringList{"list", "external"}));

    if (page == MainWindow::GpgSshPage) {
        expectGpgSshListing(window);
        QCOMPARE(fakes->callCount(QStringLiteral("which")), 0);
    } else {
        expectDevOpsListing();
        QCOMPARE(fakes->callCount(QStringLiteral("gpg")), 0);
        QCOMPARE(fakes->callCount(QStringLiteral("ssh-keygen")), 0);
    }
}

OT_TEST_MAIN(StartupOrderTest)
#include "tst_startuporder.moc"
