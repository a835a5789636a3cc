// The SSH terminal window: its menus, the New SSH Session prompt, tab labels,
// colours, themes and closing, with ssh as a recording stand-in; then a real
// SSH session to a loopback sshd and a real local shell.
#include "ui/remote/SshTerminalWindow.h"
#include "ui/remote/TerminalWidget.h"

#include "AccountHome.h"
#include "FakeTools.h"
#include "LoopbackSshd.h"
#include "ModalDriver.h"
#include "TerminalStandIns.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QColorDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QtTest>

#include <memory>

class TerminalWindowTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { accountHome = std::make_unique<AccountHome>(); }
    void cleanupTestCase();
    void init();
    void cleanup();

    void windowAndMenus();
    void newSessionPrompt_data();
    void newSessionPrompt();
    void optionLikeTargetIsRefused_data();
    void optionLikeTargetIsRefused();
    void endedSessionIsMarkedAndRenameReplacesTheLabel();
    void closeQuestion();
    void ctrlLettersReachTheShell();
    void closingTheOnlyTabDeletesTheWindow();
    void tabActionsWithoutTabDoNothing();
    void themeChangesOnlyTheCurrentTab();
    void tabColours();
    void tabMenu();
    void lateSignalsFromAClosedTabAreHarmless();
    void shellFallback();

    void sshSessionToLoopbackServer();
    void localShell();

private:
    std::unique_ptr<AccountHome> accountHome;
    std::unique_ptr<FakeTools> fakes;
    std::unique_ptr<ScopedEnv> user;
    std::unique_ptr<ScopedEnv> shell;
};

namespace {

QTabWidget* tabsOf(SshTerminalWindow& window)
{
    return window.findChild<QTabWidget*>();
}

TerminalWidget* terminalAt(SshTerminalWindow& window, int index)
{
    return qobject_cast<TerminalWidget*>(tabsOf(window)->widget(index));
}

QAction* action(SshTerminalWindow& window, const QString& text)
{
    for (QMenu* menu : window.menuBar()->findChildren<QMenu*>()) {
        for (QAction* entry : menu->actions()) {
            if (entry->text() == text)
                return entry;
        }
    }
    return nullptr;
}

void trigger(SshTerminalWindow& window, const QString& text)
{
    QAction* entry = action(window, text);
    QVERIFY2(entry, qPrintable(text));
    entry->trigger();
}

QString screenText(TerminalWidget* terminal)
{
    return terminal->findChild<QPlainTextEdit*>()->toPlainText();
}

} // namespace

// The sessions ran as the test's own account: its real home must be as it was.
void TerminalWindowTest::cleanupTestCase()
{
    const QString changes = accountHome->changes();
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
}

void TerminalWindowTest::init()
{
    fakes = std::make_unique<FakeTools>();
    fakes->install(QStringLiteral("ssh"));
    user = std::make_unique<ScopedEnv>("USER", "tess");
    shell = std::make_unique<ScopedEnv>("SHELL", "/bin/sh");
}

void TerminalWindowTest::cleanup()
{
    // Terminals deleted later end their children before the stand-ins go.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    shell.reset();
    user.reset();
    fakes.reset();
}

void TerminalWindowTest::windowAndMenus()
{
    SshTerminalWindow window;
    // Ending with the program's name, the title is shown with it once.
    QCOMPARE(window.windowTitle(), QString::fromUtf8("SSH Terminal \u2014 Ostrevan Tessaril"));
    QCOMPARE(window.minimumSize(), QSize(800, 500));
    QCOMPARE(window.size(), QSize(1024, 700));
    QTabWidget* tabs = tabsOf(window);
    QCOMPARE(window.centralWidget(), tabs);
    QCOMPARE(tabs->count(), 0);
    QVERIFY(tabs->tabsClosable() && tabs->isMovable() && tabs->documentMode());

    QStringList menus;
    for (QAction* entry : window.menuBar()->actions()) {
        menus << entry->text();
        for (const QString& line : menuScript(entry->menu())) {
            QAction* inner = action(window, line);
            const QString shortcut = inner ? inner->shortcut().toString() : QString();
            menus << QStringLiteral("  ") + line + (shortcut.isEmpty() ? QString() : QStringLiteral(" = ") + shortcut);
        }
    }
    QCOMPARE(menus, (QStringList{"&Session",
                                 "  New &SSH Session... = Ctrl+Shift+N",
                                 "  New &Local Shell = Ctrl+Shift+T",
                                 "  ---",
                                 "  &Close Tab = Ctrl+Shift+W",
                                 "  ---",
                                 "  Close &Window = Ctrl+Shift+Q",
                                 "&View",
                                 "  Theme: Quorvane Dark",
                                 "  Theme: Solarized Dark",
                                 "  Theme: Monokai",
                                 "  Theme: Enterprise Light",
                                 "&Tab",
                                 "  &Rename Tab... = F2",
                                 "  Set Tab &Color..."}));
}

void TerminalWindowTest::newSessionPrompt_data()
{
    QTest::addColumn<QString>("typed");         // empty: the prompt is cancelled
    QTest::addColumn<bool>("accept");
    QTest::addColumn<QStringList>("arguments"); // empty: no tab
    QTest::addColumn<QString>("label");
    QTest::newRow("user and host") << "deploy@web.example" << true
                                   << QStringList{"-l", "deploy", "web.example"} << "deploy@web.example";
    QTest::newRow("second at sign belongs to the host")
        << "a@b@c" << true << QStringList{"-l", "a", "b@c"} << "a@b@c";
    QTest::newRow("host alone takes USER") << "web.example" << true << QStringList{"web.example"}
                                           << "tess@web.example";
    QTest::newRow("typed as is, blanks kept") << " web " << true << QStringList{" web "} << "tess@ web ";
    QTest::newRow("empty") << "" << true << QStringList{} << "";
    QTest::newRow("cancelled") << "web.example" << false << QStringList{} << "";
}

void TerminalWindowTest::newSessionPrompt()
{
    QFETCH(QString, typed);
    QFETCH(bool, accept);
    QFETCH(QStringList, arguments);
    QFETCH(QString, label);
    SshTerminalWindow window;
    ModalDriver driver;
    if (accept)
        driver.typeText(typed);
    else
        driver.cancelInput();
    trigger(window, QStringLiteral("New &SSH Session..."));
    QCOMPARE(driver.titles, QStringList{"New SSH Session"});
    QCOMPARE(driver.texts, QStringList{"Host (or user@host):"});
    if (arguments.isEmpty()) {
        QCOMPARE(tabsOf(window)->count(), 0);
        QCOMPARE(fakes->callCount(QStringLiteral("ssh")), 0);
        return;
    }
    QCOMPARE(tabsOf(window)->count(), 1);
    QCOMPARE(tabsOf(window)->tabText(0), label);
    endStandIn(terminalAt(window, 0));
    QCOMPARE(fakes->arguments(QStringLiteral("ssh")), arguments);
}

void TerminalWindowTest::optionLikeTargetIsRefused_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    const QString host = QStringLiteral("The host \"%1\" starts with \"-\" and would be taken as an option by the "
                                        "SSH client. Enter a host name or address.");
    const QString user = QStringLiteral("The user name \"%1\" starts with \"-\" and would be taken as an option by "
                                        "the SSH client. Enter a user name.");
    QTest::newRow("host") << "-oProxyCommand=touch /tmp/x" << host.arg("-oProxyCommand=touch /tmp/x");
    QTest::newRow("user") << "-oProxyCommand=x@127.0.0.1" << user.arg("-oProxyCommand=x");
    QTest::newRow("host after the user") << "alice@-p2222" << host.arg("-p2222");
    QTest::newRow("both") << "-l@-h" << host.arg("-h");
    QTest::newRow("a lone dash") << "-" << host.arg("-");
}

// The main window's refusal, word for word: nothing reaches ssh, no tab opens.
void TerminalWindowTest::optionLikeTargetIsRefused()
{
    QFETCH(QString, typed);
    QFETCH(QString, message);
    SshTerminalWindow window;
    ModalDriver driver;
    driver.typeText(typed);
    driver.pressButton(QMessageBox::Ok);
    trigger(window, QStringLiteral("New &SSH Session..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, (QStringList{"New SSH Session", "New SSH Session"}));
    QCOMPARE(driver.texts.value(1), message);
    QCOMPARE(tabsOf(window)->count(), 0);
    QCOMPARE(fakes->callCount(QStringLiteral("ssh")), 0);
}

void TerminalWindowTest::endedSessionIsMarkedAndRenameReplacesTheLabel()
{
    SshTerminalWindow window;
    TerminalWidget* first = window.newSshTab(QStringLiteral("h1"), QString(), 22, QString(), QString(), QString());
    TerminalWidget* second = window.newSshTab(QStringLiteral("h2"), QStringLiteral("ops"), 2200,
                                              QStringLiteral("/k/id"), QStringLiteral("Prod"), QString());
    QTabWidget* tabs = tabsOf(window);
    QCOMPARE(tabs->currentIndex(), 1);
    QCOMPARE(tabs->tabText(0), QStringLiteral("tess@h1"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Prod"));

    endStandIn(second);
    QCOMPARE(fakes->arguments(QStringLiteral("ssh")),
             (QStringList{"-l", "ops", "-p", "2200", "-i", "/k/id", "h2"}));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Prod [closed]"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("tess@h1"));
    ModalDriver driver;
    driver.typeText(QStringLiteral("Build box"));
    trigger(window, QStringLiteral("&Rename Tab..."));
    QCOMPARE(driver.titles, QStringList{"Rename Tab"});
    QCOMPARE(driver.texts, QStringList{"Tab name:"});
    QCOMPARE(tabs->tabText(1), QStringLiteral("Build box"));

    // A rename to nothing, or a cancelled one, keeps the label.
    ModalDriver again;
    again.typeText(QString());
    again.cancelInput();
    window.renameTab(0);
    window.renameTab(0);
    QCOMPARE(again.pending(), 0);
    QCOMPARE(tabs->tabText(0), QStringLiteral("tess@h1"));
    endStandIn(first);
    QCOMPARE(tabs->tabText(0), QStringLiteral("tess@h1 [closed]"));
}

void TerminalWindowTest::closeQuestion()
{
    SshTerminalWindow window;
    window.newShellTab();
    QPointer<TerminalWidget> running = window.newShellTab();
    QVERIFY(running->isRunning());

    ModalDriver driver;
    driver.pressButton(QMessageBox::No);
    window.closeTab(1);
    QCOMPARE(driver.titles, QStringList{"Close Tab"});
    QCOMPARE(driver.texts, QStringList{"Session is still active. Close anyway?"});
    QCOMPARE(tabsOf(window)->count(), 2);
    QVERIFY(running->isRunning());
    running->sendText(QStringLiteral("echo still here\r"));
    QTRY_VERIFY_WITH_TIMEOUT(screenText(running).contains(QLatin1String("\nstill here\n")), 20000);

    driver.pressButton(QMessageBox::Yes);
    window.closeTab(1);
    QCOMPARE(tabsOf(window)->count(), 1);
    QTRY_VERIFY(running.isNull());
    window.closeTab(5);   // no such tab
    QCOMPARE(tabsOf(window)->count(), 1);
}

// Ctrl+W is the shell's delete-word: typed into a running shell it deletes
// the word and asks nothing. The window closes a tab with Ctrl+Shift+W,
// and its question does not take Return as Yes.
void TerminalWindowTest::ctrlLettersReachTheShell()
{
    ScopedEnv bash("SHELL", "/bin/bash");
    SshTerminalWindow window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    TerminalWidget* terminal = window.newShellTab();
    auto* view = terminal->findChild<QPlainTextEdit*>();
    view->setFocus();
    // "$ " or, for root, "# ".
    QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).trimmed().endsWith(QLatin1Char('$'))
                                 || screenText(terminal).trimmed().endsWith(QLatin1Char('#')),
                             20000);

    {
        ModalDriver guard;   // fails the test on any dialog that opens
        QTest::keyClicks(view, QStringLiteral("echo one two"));
        QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(screenText(terminal).split(QLatin1Char('\n')).contains(QStringLiteral("one")), 20000);
        QCOMPARE(guard.titles, QStringList{});
        QCOMPARE(tabsOf(window)->count(), 1);
    }

    ModalDriver driver;
    driver.enqueue([](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        QCOMPARE(static_cast<QAbstractButton*>(box->defaultButton()), box->button(QMessageBox::No));
        QTest::keyClick(box, Qt::Key_Return);
    });
    QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(driver.titles, QStringList{"Close Tab"});
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(tabsOf(window)->count(), 1);
    QVERIFY(terminal->isRunning());
    QSignalSpy finished(terminal, &TerminalWidget::processFinished);
    terminal->sendText(QStringLiteral("exit\r"));
    QVERIFY(finished.wait(20000));
}

void TerminalWindowTest::closingTheOnlyTabDeletesTheWindow()
{
    auto* window = new SshTerminalWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    TerminalWidget* terminal = window->newSshTab(QStringLiteral("h"), QString(), 22, QString(), QString(), QString());
    window->show();
    endStandIn(terminal);
    QPointer<SshTerminalWindow> alive = window;
    trigger(*window, QStringLiteral("&Close Tab"));   // Ctrl+Shift+W
    QTRY_VERIFY(alive.isNull());
}

void TerminalWindowTest::tabActionsWithoutTabDoNothing()
{
    SshTerminalWindow window;
    window.show();
    ModalDriver guard;   // fails the test on any dialog that opens
    for (const char* text : {"&Close Tab", "&Rename Tab...", "Set Tab &Color..."})
        trigger(window, QString::fromLatin1(text));
    window.closeTab(-1);
    window.renameTab(-1);
    window.colorTab(-1);
    QTest::qWait(100);
    QCOMPARE(guard.titles, QStringList{});
    QVERIFY(window.isVisible());
}

void TerminalWindowTest::themeChangesOnlyTheCurrentTab()
{
    SshTerminalWindow window;
    TerminalWidget* first = window.newShellTab();
    TerminalWidget* second = window.newShellTab();
    const QString before = first->findChild<QPlainTextEdit*>()->styleSheet();
    trigger(window, QStringLiteral("Theme: Monokai"));
    QCOMPARE(second->currentTheme().name, QStringLiteral("Monokai"));
    QVERIFY(second->findChild<QPlainTextEdit*>()->styleSheet().contains(QLatin1String("#272822")));
    QCOMPARE(first->currentTheme().name, QStringLiteral("Quorvane Dark"));
    QCOMPARE(first->findChild<QPlainTextEdit*>()->styleSheet(), before);
}

void TerminalWindowTest::tabColours()
{
    SshTerminalWindow window;
    window.newSshTab(QStringLiteral("a"), QString(), 22, QString(), QString(), QString());
    window.newSshTab(QStringLiteral("b"), QString(), 22, QString(), QString(), QStringLiteral("no such colour"));
    window.newSshTab(QStringLiteral("c"), QString(), 22, QString(), QString(), QStringLiteral("#22c55e"));
    window.newSshTab(QStringLiteral("d"), QString(), 22, QString(), QString(), QStringLiteral("teal"));
    QTabBar* bar = tabsOf(window)->tabBar();
    QCOMPARE(bar->tabTextColor(1), bar->tabTextColor(0));
    QCOMPARE(bar->tabTextColor(2), QColor(QStringLiteral("#22c55e")));
    QCOMPARE(bar->tabTextColor(3), QColor(QStringLiteral("#008080")));   // "teal"

    ModalDriver driver;
    driver.enqueue([](QWidget* w) {
        auto* dialog = qobject_cast<QColorDialog*>(w);
        QVERIFY(dialog);
        QCOMPARE(dialog->currentColor(), QColor(QStringLiteral("#22c55e")));   // starts at the tab's colour
        dialog->setCurrentColor(QColor(QStringLiteral("#8b5cf6")));
        dialog->accept();
    });
    driver.reject();
    tabsOf(window)->setCurrentIndex(2);
    trigger(window, QStringLiteral("Set Tab &Color..."));
    window.colorTab(2);
    QCOMPARE(driver.titles, (QStringList{"Tab Color", "Tab Color"}));
    QCOMPARE(bar->tabTextColor(2), QColor(QStringLiteral("#8b5cf6")));
    for (int i = 0; i < 4; ++i)
        endStandIn(terminalAt(window, i));
}

void TerminalWindowTest::tabMenu()
{
    SshTerminalWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TerminalWidget* first = window.newSshTab(QStringLiteral("a"), QString(), 22, QString(), QString(), QString());
    window.newShellTab();
    endStandIn(first);
    QTabBar* bar = tabsOf(window)->tabBar();
    QTRY_VERIFY(bar->tabRect(0).isValid());

    QStringList entries;
    ModalDriver driver;
    driver.typeText(QStringLiteral("renamed"));
    QVERIFY(runContextMenu(bar, bar->tabRect(0).center(), {QStringLiteral("Rename Tab...")},
                           [&](QMenu* menu) { entries = menuScript(menu); }));
    QCOMPARE(entries, (QStringList{"Rename Tab...", "Set Tab Color...", "---", "Close Tab"}));
    QCOMPARE(bar->tabText(0), QStringLiteral("renamed"));

    // The ended session closes without a question; the tab under the pointer goes.
    QVERIFY(runContextMenu(bar, bar->tabRect(0).center(), {QStringLiteral("Close Tab")}));
    QCOMPARE(bar->count(), 1);
    QCOMPARE(bar->tabText(0), QStringLiteral("Local Shell"));
    // Over no tab no menu opens.
    QVERIFY(!runContextMenu(bar, QPoint(bar->tabRect(0).right() + 5, bar->tabRect(0).center().y()), {}));
}

void TerminalWindowTest::lateSignalsFromAClosedTabAreHarmless()
{
    SshTerminalWindow window;
    QPointer<TerminalWidget> gone = window.newSshTab(QStringLiteral("a"), QString(), 22, QString(), QString(), QString());
    window.newSshTab(QStringLiteral("b"), QString(), 22, QString(), QStringLiteral("Keep"), QString());
    endStandIn(gone);
    window.closeTab(0);
    QVERIFY(!gone.isNull());   // deleted later
    Q_EMIT gone->titleChanged(QStringLiteral("late title"));
    Q_EMIT gone->processFinished(0);
    QCOMPARE(tabsOf(window)->count(), 1);
    QCOMPARE(tabsOf(window)->tabText(0), QStringLiteral("Keep"));
    QTRY_VERIFY(gone.isNull());
    endStandIn(terminalAt(window, 0));
}

// Debian has no /bin/zsh: an empty SHELL falls back to the account's shell.
void TerminalWindowTest::shellFallback()
{
    ScopedEnv empty("SHELL", "");
    const QString found = SshTerminalWindow::userShell();
    if (QFileInfo::exists(QStringLiteral("/bin/zsh")))
        QCOMPARE(found, QStringLiteral("/bin/zsh"));
    else
        QVERIFY2(found != QLatin1String("/bin/zsh") && QFileInfo(found).isExecutable(), qPrintable(found));
    ScopedEnv set("SHELL", "/bin/dash");
    QCOMPARE(SshTerminalWindow::userShell(), QStringLiteral("/bin/dash"));
}

void TerminalWindowTest::sshSessionToLoopbackServer()
{
    LoopbackSshd sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    sshd.installClientWrappers(*fakes);

    SshTerminalWindow window;
    window.show();
    TerminalWidget* terminal = window.newSshTab(sshd.host(), LoopbackSshd::user(), sshd.port(), QString(),
                                                QString(), QString());
    QCOMPARE(tabsOf(window)->tabText(0), LoopbackSshd::user() + QStringLiteral("@127.0.0.1"));
    QSignalSpy finished(terminal, &TerminalWidget::processFinished);
    terminal->sendText(QStringLiteral("echo \"hi $HOME $(pwd)\"; exit 7\r"));
    QVERIFY2(finished.wait(30000), qPrintable(screenText(terminal) + QString::fromUtf8(sshd.log())));
    QCOMPARE(finished.first().first().toInt(), 7);
    const QStringList lines = screenText(terminal).split(QLatin1Char('\n'));
    // The session lives in the fixture's home, not the account's.
    QVERIFY2(lines.contains(QStringLiteral("hi %1 %1").arg(sshd.homePath())), qPrintable(lines.join(QLatin1Char('|'))));
    QVERIFY(lines.contains(QStringLiteral("[Process exited with code 7]")));
    QTextBlock last = terminal->findChild<QPlainTextEdit*>()->document()->lastBlock().previous();
    QCOMPARE(last.text(), QStringLiteral("[Process exited with code 7]"));
    QCOMPARE(last.begin().fragment().charFormat().foreground().color().name(), QStringLiteral("#dc2626"));
    QVERIFY(tabsOf(window)->tabText(0).endsWith(QLatin1String(" [closed]")));
    sshd.stop();
}

void TerminalWindowTest::localShell()
{
    SshTerminalWindow window;
    window.show();
    TerminalWidget* terminal = window.newShellTab();
    QCOMPARE(tabsOf(window)->tabText(0), QStringLiteral("Local Shell"));
    QCOMPARE(terminal->title(), QStringLiteral("sh"));
    QSignalSpy finished(terminal, &TerminalWidget::processFinished);
    terminal->sendText(QStringLiteral("echo \"<$TERM>\"; exit\r"));
    QVERIFY(finished.wait(20000));
    // Text typed before the shell's first prompt is echoed ahead of it, so
    // the answer may follow the prompt on its line ("# <xterm-256color>").
    const QStringList lines = screenText(terminal).split(QLatin1Char('\n'));
    const bool answered = std::any_of(lines.begin(), lines.end(), [](const QString& line) {
        return line.endsWith(QLatin1String("<xterm-256color>")) && !line.contains(QLatin1String("echo"));
    });
    QVERIFY2(answered, qPrintable(screenText(terminal)));
    // A shell tab does not follow the end of its process.
    QCOMPARE(tabsOf(window)->tabText(0), QStringLiteral("Local Shell"));
}

OT_TEST_MAIN(TerminalWindowTest)
#include "tst_terminalwindow.moc"
