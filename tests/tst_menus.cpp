// The main window's menus, toolbar and shortcuts, and the handlers behind them:
// preferences with a live theme, SSH terminals and sites, the SSH permission
// repair and the help documents.
#include "app/MainWindow.h"
#include "app/SshTarget.h"
#include "app/StyleManager.h"
#include "ui/profile/PreferencesDialog.h"
#include "ui/profile/ShortcutsDialog.h"
#include "ui/remote/SiteManagerDialog.h"
#include "ui/remote/SshTerminalWindow.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "TestHome.h"
#include "WindowPages.h"

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>
#include <QtTest>

#include <sys/stat.h>

namespace {

QString plain(QString text)
{
    return text.remove(QLatin1Char('&'));
}

// "Menu/Entry" or "Menu/Submenu/Entry", ampersands left out.
QAction* entry(MainWindow& window, const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    QList<QAction*> actions = window.menuBar()->actions();
    QAction* found = nullptr;
    for (const QString& part : parts) {
        found = nullptr;
        for (QAction* action : actions) {
            if (plain(action->text()) == part) {
                found = action;
                break;
            }
        }
        if (!found)
            return nullptr;
        if (found->menu())
            actions = found->menu()->actions();
    }
    return found;
}

QString lastLogLine(MainWindow& window)
{
    const QString text = sessionLogView(window)->toPlainText();
    const QString line = text.section(QLatin1Char('\n'), -1);
    // Without its time stamp, which is checked elsewhere.
    return line.section(QLatin1String("] "), 1);
}

int logLineCount(MainWindow& window)
{
    return sessionLogView(window)->toPlainText().split('\n').size();
}

QString statusText(MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

QList<SshTerminalWindow*> terminalWindows()
{
    QList<SshTerminalWindow*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* terminal = qobject_cast<SshTerminalWindow*>(widget))
            windows << terminal;
    }
    return windows;
}

int modeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

void writeFile(const QString& path, int mode)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("x\n");
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode), 0);
}

} // namespace

// Receives what the program hands to the desktop, so nothing is launched.
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl& url) { urls << url; }
};

class MenusTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup()
    {
        for (SshTerminalWindow* window : terminalWindows())
            delete window;
        home.reset();
    }

    void menuTable();
    void toolBar();
    void menuLettersAreUnique();
    void shortcutsDialogMatchesMenus();
    void pageShortcuts();
    void dialogsOpenModally_data();
    void dialogsOpenModally();
    void toggleThemeEntry();
    void preferencesAppliesTheme();
    void sshTerminal_data();
    void sshTerminal();
    void sshTerminalRefusesOptionLikeTargets_data();
    void sshTerminalRefusesOptionLikeTargets();
    void localShell();
    void siteManagerOpensOnlySsh();
    void fixSshPermissions_data();
    void fixSshPermissions();
    void fixSshPermissionsWithoutFolder();
    void helpDocuments();

private:
    std::unique_ptr<TestHome> home;
};

void MenusTest::menuTable()
{
    MainWindow window;
    // menu | entry | shortcut; "-" is a separator, "Sub>" opens a submenu.
    const QStringList expected{
        "&File|&Refresh Devices|Ctrl+R", "&File|-|", "&File|&Sign File...|Ctrl+S",
        "&File|&Verify Signature...|", "&File|-|", "&File|&Preferences...|Ctrl+,", "&File|-|",
        "&File|&Quit|" + QKeySequence(QKeySequence::Quit).toString(),
        "&Key|Set &PIN...|", "&Key|&Change PIN...|", "&Key|-|", "&Key|&List Credentials|",
        "&Key|&Delete Credential...|", "&Key|-|", "&Key|Factory &Reset...|",
        "&View|Toggle &Theme|Ctrl+T", "&View|&Device Inspector|Ctrl+1", "&View|Code &Signing|Ctrl+2",
        "&View|C&ertificates|Ctrl+3", "&View|&GPG / SSH|Ctrl+4", "&View|Session &Log|Ctrl+5",
        "&Tools|New SSH &Terminal...|Ctrl+Shift+N", "&Tools|New &Local Shell|Ctrl+Shift+T", "&Tools|-|",
        "&Tools|&Site Manager...|Ctrl+M", "&Tools|Network &Diagnostics...|Ctrl+D",
        "&Tools|SSH Config &Editor...|", "&Tools|-|", "&Tools|Fix SSH &Permissions|",
        "&Help|Knowledge &Base>|",
        "&Help/Knowledge &Base|FIDO2 and Hardware Keys|", "&Help/Knowledge &Base|PIV Smart Card Management|",
        "&Help/Knowledge &Base|Code Signing for Developers|", "&Help/Knowledge &Base|Certificate Lifecycle|",
        "&Help/Knowledge &Base|Threat Model and Best Practices|",
        "&Help|&Compliance>|",
        "&Help/&Compliance|SAST Security Report|", "&Help/&Compliance|DAST Security Report|",
        "&Help/&Compliance|Patch Status Dashboard|", "&Help/&Compliance|SAST Report v2.1|",
        "&Help/&Compliance|Compliance Report v2.1|", "&Help/&Compliance|-|",
        "&Help/&Compliance|Project Planning|",
        "&Help|-|", "&Help|&My Profile...|Ctrl+P", "&Help|Keyboard &Shortcuts|Ctrl+/",
        "&Help|&About Ostrevan Tessaril|F1"};
    QStringList actual;
    std::function<void(const QString&, QMenu*)> walk = [&](const QString& name, QMenu* menu) {
        for (QAction* action : menu->actions()) {
            if (action->isSeparator()) {
                actual << name + "|-|";
            } else if (action->menu()) {
                actual << name + "|" + action->text() + ">|";
                walk(name + "/" + action->menu()->title(), action->menu());
            } else {
                actual << name + "|" + action->text() + "|" + action->shortcut().toString();
                QVERIFY(action->isEnabled() && action->isVisible() && !action->isCheckable());
            }
        }
    };
    for (QAction* top : window.menuBar()->actions())
        walk(top->text(), top->menu());
    QCOMPARE(actual, expected);
}

// A letter that two entries of one menu share triggers neither: it only
// moves between them.
void MenusTest::menuLettersAreUnique()
{
    const auto letterOf = [](const QString& text) -> QChar {
        for (qsizetype i = 0; i + 1 < text.size(); ++i) {
            if (text.at(i) != QLatin1Char('&'))
                continue;
            if (text.at(i + 1) != QLatin1Char('&'))
                return text.at(i + 1).toLower();
            ++i;
        }
        return {};
    };
    QStringList faults;
    std::function<void(const QString&, const QList<QAction*>&)> check = [&](const QString& name,
                                                                            const QList<QAction*>& actions) {
        QHash<QChar, QString> taken;
        for (QAction* action : actions) {
            if (action->isSeparator())
                continue;
            const QChar letter = letterOf(action->text());
            if (!letter.isNull()) {
                if (taken.contains(letter))
                    faults << QStringLiteral("%1: \"%2\" and \"%3\" share %4")
                                  .arg(name, taken.value(letter), action->text(), letter);
                taken.insert(letter, action->text());
            }
            if (action->menu())
                check(name + QLatin1Char('/') + action->text(), action->menu()->actions());
        }
    };
    MainWindow window;
    check(QStringLiteral("menu bar"), window.menuBar()->actions());
    SshTerminalWindow* terminal = new SshTerminalWindow;
    check(QStringLiteral("terminal window"), terminal->menuBar()->actions());
    delete terminal;
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void MenusTest::toolBar()
{
    MainWindow window;
    const QList<QToolBar*> bars = window.findChildren<QToolBar*>();
    QCOMPARE(bars.size(), 1);
    QToolBar* bar = bars.first();
    QCOMPARE(bar->windowTitle(), QStringLiteral("Main"));
    QVERIFY(!bar->isMovable());
    QCOMPARE(bar->iconSize(), QSize(20, 20));
    const QList<QAction*> actions = bar->actions();
    QCOMPARE(actions.size(), 5);
    QVERIFY(actions.at(1)->isSeparator() && actions.at(3)->isSeparator());
    // The very actions of the menus, so both run the same slots.
    QCOMPARE(actions.at(0), entry(window, "File/Refresh Devices"));
    QCOMPARE(actions.at(2), entry(window, "File/Sign File..."));
    QCOMPARE(actions.at(4), entry(window, "View/Toggle Theme"));
    QCOMPARE(actions.at(0)->toolTip(), QStringLiteral("Refresh Devices (Ctrl+R)"));
    QCOMPARE(actions.at(2)->toolTip(), QStringLiteral("Sign File (Ctrl+S)"));
    QCOMPARE(actions.at(4)->toolTip(), QStringLiteral("Toggle Theme (Ctrl+T)"));
    QVERIFY(!actions.at(0)->icon().isNull());
}

void MenusTest::shortcutsDialogMatchesMenus()
{
    MainWindow window;
    QStringList menuShortcuts;
    std::function<void(QMenu*)> walk = [&](QMenu* menu) {
        for (QAction* action : menu->actions()) {
            if (action->menu())
                walk(action->menu());
            else if (!action->shortcut().isEmpty())
                menuShortcuts << action->shortcut().toString();
        }
    };
    for (QAction* top : window.menuBar()->actions())
        walk(top->menu());
    // Platforms without a standard Quit sequence (this test's offscreen one)
    // leave Quit without a shortcut; the table names the usual one.
    if (QKeySequence(QKeySequence::Quit).isEmpty())
        menuShortcuts << QStringLiteral("Ctrl+Q");
    menuShortcuts.removeAll(QStringLiteral("Ctrl+Shift+N"));
    menuShortcuts.removeAll(QStringLiteral("Ctrl+Shift+T"));

    ShortcutsDialog dialog(&window);
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Keyboard Shortcuts \u2014 Ostrevan Tessaril"));
    QString table;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text().contains(QLatin1String("<table")))
            table = label->text();
    }
    QStringList listed;
    QRegularExpressionMatchIterator it =
        QRegularExpression(QStringLiteral("<b style='color: #[0-9a-f]{6};'>([^<]+)</b></td><td>([^<]+)</td>")).globalMatch(table);
    while (it.hasNext())
        listed << it.next().captured(1);
    const QStringList expected{"Ctrl+,", "Ctrl+R", "Ctrl+S", "Ctrl+T", "Ctrl+M", "Ctrl+D", "Ctrl+P",
                               "Ctrl+1", "Ctrl+2", "Ctrl+3", "Ctrl+4", "Ctrl+5", "Ctrl+/", "F1", "Ctrl+Q"};
    QCOMPARE(listed, expected);
    QCOMPARE(table.count(QLatin1String("<hr")), 2);
    std::sort(menuShortcuts.begin(), menuShortcuts.end());
    QStringList sortedListed = listed;
    std::sort(sortedListed.begin(), sortedListed.end());
    QCOMPARE(sortedListed, menuShortcuts);
}

void MenusTest::pageShortcuts()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto* tabs = window.findChild<QTabWidget*>();
    QTest::keySequence(&window, QKeySequence(QStringLiteral("Ctrl+5")));
    QCOMPARE(tabs->currentIndex(), tabs->count() - 1);
    QCOMPARE(tabs->currentIndex(), 8);
    QTest::keySequence(&window, QKeySequence(QStringLiteral("Ctrl+3")));
    QCOMPARE(tabs->currentIndex(), 2);
    QTest::keySequence(&window, QKeySequence(QStringLiteral("Ctrl+1")));
    QCOMPARE(tabs->currentIndex(), 0);
}

void MenusTest::dialogsOpenModally_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("title");
    QTest::newRow("preferences") << "File/Preferences..." << QString::fromUtf8("Preferences \u2014 Ostrevan Tessaril");
    QTest::newRow("network") << "Tools/Network Diagnostics..." << QString::fromUtf8("Network Diagnostics \u2014 Ostrevan Tessaril");
    QTest::newRow("ssh config") << "Tools/SSH Config Editor..." << QString::fromUtf8("SSH Config Editor \u2014 ~/.ssh/config");
    QTest::newRow("site manager") << "Tools/Site Manager..." << QString::fromUtf8("Site Manager \u2014 Ostrevan Tessaril");
    QTest::newRow("profile") << "Help/My Profile..." << QString::fromUtf8("User Profile \u2014 Ostrevan Tessaril");
    QTest::newRow("shortcuts") << "Help/Keyboard Shortcuts" << QString::fromUtf8("Keyboard Shortcuts \u2014 Ostrevan Tessaril");
    QTest::newRow("about") << "Help/About Ostrevan Tessaril" << QStringLiteral("About Ostrevan Tessaril");
    // Entries whose slots live with their pages: seen by their first prompt.
    QTest::newRow("sign file") << "File/Sign File..." << "Select File to Sign";
    QTest::newRow("verify") << "File/Verify Signature..." << "Select File to Verify";
    QTest::newRow("set pin") << "Key/Set PIN..." << "Set PIN";
    QTest::newRow("change pin") << "Key/Change PIN..." << "Change PIN";
    QTest::newRow("list credentials") << "Key/List Credentials" << "List Credentials";
    QTest::newRow("delete credential") << "Key/Delete Credential..." << "Delete Credential";
    QTest::newRow("reset") << "Key/Factory Reset..." << "Factory Reset";
}

void MenusTest::dialogsOpenModally()
{
    QFETCH(QString, path);
    QFETCH(QString, title);
    MainWindow window;
    QAction* action = entry(window, path);
    QVERIFY(action);
    ModalDriver driver;
    driver.reject();
    action->trigger();
    QCOMPARE(driver.titles, QStringList{title});
}

void MenusTest::toggleThemeEntry()
{
    MainWindow window;
    StyleManager::apply(qApp, StyleManager::Dark);
    entry(window, "View/Toggle Theme")->trigger();
    QCOMPARE(StyleManager::current(), StyleManager::Light);
    entry(window, "View/Toggle Theme")->trigger();
    QCOMPARE(StyleManager::current(), StyleManager::Dark);
}

void MenusTest::preferencesAppliesTheme()
{
    MainWindow window;
    StyleManager::apply(qApp, StyleManager::Dark);
    ModalDriver driver;
    const auto chooseAndApply = [](int item) {
        return [item](QWidget* w) {
            auto* dialog = qobject_cast<PreferencesDialog*>(w);
            if (!dialog)
                return;
            dialog->findChild<QComboBox*>(QStringLiteral("themeCombo"))->setCurrentIndex(item);
            dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Apply)->click();
            dialog->reject();
        };
    };
    driver.enqueue(chooseAndApply(1));
    entry(window, "File/Preferences...")->trigger();
    QCOMPARE(StyleManager::current(), StyleManager::Light);
    driver.enqueue(chooseAndApply(0));
    entry(window, "File/Preferences...")->trigger();
    QCOMPARE(StyleManager::current(), StyleManager::Dark);
}

void MenusTest::sshTerminal_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("user");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("detail");
    QTest::newRow("user, host and port") << "u@h:2222" << "h" << "u" << 2222 << "u@h";
    QTest::newRow("bare host") << "h" << "h" << "" << 22 << "@h";
    QTest::newRow("letters for a port") << "h:abc" << "h" << "" << 0 << "@h";
    QTest::newRow("colon alone") << "h:" << "h" << "" << 0 << "@h";
    QTest::newRow("two at signs") << "a@b@c" << "b@c" << "a" << 22 << "a@b@c";
    QTest::newRow("user only") << "u@" << "" << "u" << 22 << "u@";
    QTest::newRow("port beyond int") << "h:99999999999" << "h" << "" << 0 << "@h";
}

void MenusTest::sshTerminal()
{
    QFETCH(QString, typed);
    QFETCH(QString, host);
    QFETCH(QString, user);
    QFETCH(int, port);
    QFETCH(QString, detail);
    const SshTarget target = SshTarget::parse(typed);
    QCOMPARE(target.host, host);
    QCOMPARE(target.user, user);
    QCOMPARE(target.port, port);

    // The session's ssh is a stand-in: a real one would look the host up.
    FakeTools fakes;
    fakes.install(QStringLiteral("ssh"));
    MainWindow window;
    ModalDriver driver;
    driver.typeText(typed);
    entry(window, "Tools/New SSH Terminal...")->trigger();
    QCOMPARE(driver.titles, QStringList{"SSH Connect"});
    QCOMPARE(driver.texts, QStringList{"Host (or user@host:port):"});
    const QList<SshTerminalWindow*> windows = terminalWindows();
    QCOMPARE(windows.size(), 1);
    QVERIFY(windows.first()->isVisible());
    QVERIFY(windows.first()->testAttribute(Qt::WA_DeleteOnClose));
    QVERIFY(!windows.first()->parent());
    QCOMPARE(windows.first()->findChild<QTabWidget*>()->count(), 1);
    QCOMPARE(lastLogLine(window), QStringLiteral("OK   | SSH Terminal         | %1 | %2").arg(host, detail));
}

void MenusTest::sshTerminalRefusesOptionLikeTargets_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("named");
    QTest::newRow("host as option") << "-oProxyCommand=touch /tmp/x" << "host";
    QTest::newRow("host after user") << "u@-oProxyCommand=x:22" << "host";
    QTest::newRow("user as option") << "-oProxyCommand=x@h" << "user name";
    QTest::newRow("cancelled") << "" << "";
}

void MenusTest::sshTerminalRefusesOptionLikeTargets()
{
    QFETCH(QString, typed);
    QFETCH(QString, named);
    MainWindow window;
    const int linesBefore = logLineCount(window);
    ModalDriver driver;
    if (typed.isEmpty()) {
        driver.cancelInput();
    } else {
        driver.typeText(typed);
        driver.pressButton(QMessageBox::Ok);
    }
    entry(window, "Tools/New SSH Terminal...")->trigger();
    QVERIFY(terminalWindows().isEmpty());
    QCOMPARE(logLineCount(window), linesBefore);
    if (typed.isEmpty()) {
        QCOMPARE(driver.titles.size(), 1);
        return;
    }
    QCOMPARE(driver.titles, (QStringList{"SSH Connect", "SSH Connect"}));
    QVERIFY2(driver.texts.last().startsWith("The " + named + " \""), qPrintable(driver.texts.last()));
    QVERIFY(driver.texts.last().contains(QLatin1String("would be taken as an option")));
}

void MenusTest::localShell()
{
    ScopedEnv shell("SHELL", "/bin/sh");
    MainWindow window;
    entry(window, "Tools/New Local Shell")->trigger();
    const QList<SshTerminalWindow*> windows = terminalWindows();
    QCOMPARE(windows.size(), 1);
    QCOMPARE(windows.first()->findChild<QTabWidget*>()->tabText(0), QStringLiteral("Local Shell"));
    QCOMPARE(lastLogLine(window), QStringLiteral("OK   | Local Shell          | localhost | /bin/sh"));
}

void MenusTest::siteManagerOpensOnlySsh()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("ssh"));
    MainWindow window;
    SiteProfile site;
    site.name = QStringLiteral("Build box");
    site.hostname = QStringLiteral("build.example.net");
    site.user = QStringLiteral("ci");
    site.port = 2200;
    site.keyPath = QStringLiteral("/k/id_ed25519");
    site.color = QStringLiteral("#22c55e");
    SiteProfile hostile = site;
    hostile.hostname = QStringLiteral("-oProxyCommand=x");

    QPointer<SiteManagerDialog> opened;
    ModalDriver driver;
    driver.enqueue([&](QWidget* w) {
        auto* dialog = qobject_cast<SiteManagerDialog*>(w);
        QVERIFY(dialog);
        opened = dialog;
        for (const char* protocol : {"sftp", "scp", "rsync"})
            Q_EMIT dialog->connectRequested(site, QString::fromLatin1(protocol));
        QVERIFY(terminalWindows().isEmpty());
        Q_EMIT dialog->connectRequested(site, QStringLiteral("ssh"));
        dialog->reject();
    });
    const int linesBefore = logLineCount(window);
    entry(window, "Tools/Site Manager...")->trigger();

    const QList<SshTerminalWindow*> windows = terminalWindows();
    QCOMPARE(windows.size(), 1);
    auto* tabs = windows.first()->findChild<QTabWidget*>();
    QCOMPARE(tabs->tabText(0), site.name);
    QCOMPARE(tabs->tabBar()->tabTextColor(0), QColor(site.color));
    QCOMPARE(logLineCount(window), linesBefore + 1);
    QCOMPARE(lastLogLine(window), QStringLiteral("OK   | SSH via Site         | build.example.net | Build box"));
    QTRY_VERIFY(opened.isNull());

    // A stored host that the client would take as an option is refused too.
    // The warning opens inside the driver's own step, so a second driver answers it.
    ModalDriver second;
    ModalDriver nested;
    second.enqueue([&](QWidget* w) {
        auto* dialog = qobject_cast<SiteManagerDialog*>(w);
        QVERIFY(dialog);
        nested.pressButton(QMessageBox::Ok);
        Q_EMIT dialog->connectRequested(hostile, QStringLiteral("ssh"));
        dialog->reject();
    });
    entry(window, "Tools/Site Manager...")->trigger();
    QCOMPARE(nested.titles, QStringList{"Site Manager"});
    QVERIFY(nested.texts.first().startsWith(QLatin1String("The host \"-oProxyCommand=x\"")));
    QCOMPARE(terminalWindows().size(), 1);
    QCOMPARE(logLineCount(window), linesBefore + 1);
}

void MenusTest::fixSshPermissions_data()
{
    QTest::addColumn<bool>("withUnchangeable");
    QTest::newRow("all changed") << false;
    QTest::newRow("one change refused") << true;
}

void MenusTest::fixSshPermissions()
{
    QFETCH(bool, withUnchangeable);
    const QString dir = QDir::homePath() + QStringLiteral("/.ssh");
    QVERIFY(QDir().mkpath(dir));
    QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0755), 0);
    writeFile(dir + "/config", 0644);
    writeFile(dir + "/id_ed25519", 0644);
    writeFile(dir + "/id_ed25519.pub", 0644);
    writeFile(dir + "/id_rsa.PUB", 0664);
    writeFile(dir + "/known_hosts", 0644);
    // Nobody, not even the superuser, may change the mode of a process's
    // status file: a path that exists and cannot be fixed.
    const QString refused = dir + "/id_refused";
    if (withUnchangeable)
        QVERIFY(QFile::link(QStringLiteral("/proc/self/status"), refused));

    MainWindow window;
    entry(window, "Tools/Fix SSH Permissions")->trigger();
    QCOMPARE(modeOf(dir), 0700);
    QCOMPARE(modeOf(dir + "/config"), 0600);
    QCOMPARE(modeOf(dir + "/id_ed25519"), 0600);
    QCOMPARE(modeOf(dir + "/id_rsa.PUB"), 0600);
    QCOMPARE(modeOf(dir + "/id_ed25519.pub"), 0644);
    QCOMPARE(modeOf(dir + "/known_hosts"), 0644);
    if (!withUnchangeable) {
        QCOMPARE(lastLogLine(window), "OK   | Fix Permissions      | SSH | " + dir);
        QCOMPARE(statusText(window), QStringLiteral("SSH permissions fixed (700/600)"));
    } else {
        QCOMPARE(lastLogLine(window),
                 "FAIL | Fix Permissions      | SSH | Could not change permissions of " + refused);
        QVERIFY2(statusText(window).startsWith(QLatin1String("SSH permissions NOT fixed: 1 path(s)")),
                 qPrintable(statusText(window)));
        QVERIFY(!sessionLogView(window)
                     ->toPlainText().contains(QLatin1String("OK   | Fix Permissions")));
    }
}

void MenusTest::fixSshPermissionsWithoutFolder()
{
    MainWindow window;
    entry(window, "Tools/Fix SSH Permissions")->trigger();
    QVERIFY(!QFileInfo::exists(QDir::homePath() + "/.ssh"));
    QCOMPARE(lastLogLine(window), "OK   | Fix Permissions      | SSH | " + QDir::homePath() + "/.ssh");
    QCOMPARE(statusText(window), QStringLiteral("SSH permissions fixed (700/600)"));
}

void MenusTest::helpDocuments()
{
    const QList<QPair<QString, QString>> documents{
        {"Help/Knowledge Base/FIDO2 and Hardware Keys", "guide-fido2-basics.html"},
        {"Help/Knowledge Base/PIV Smart Card Management", "guide-piv-smartcard.html"},
        {"Help/Knowledge Base/Code Signing for Developers", "guide-code-signing.html"},
        {"Help/Knowledge Base/Certificate Lifecycle", "guide-certificates.html"},
        {"Help/Knowledge Base/Threat Model and Best Practices", "guide-threat-model.html"},
        {"Help/Compliance/SAST Security Report", "sast-report.html"},
        {"Help/Compliance/DAST Security Report", "dast-report.html"},
        {"Help/Compliance/Patch Status Dashboard", "status-patch.html"},
        {"Help/Compliance/SAST Report v2.1", "sast-report-v2.1.html"},
        {"Help/Compliance/Compliance Report v2.1", "compliance-report-v2.1.html"},
        {"Help/Compliance/Project Planning", "PLANNING.html"}};
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &recorder, "open");
    MainWindow window;
    // The build puts the documents beside the program, where the window looks.
    QVERIFY(!window.docsDir().isEmpty());
    for (const auto& [path, file] : documents) {
        QAction* action = entry(window, path);
        QVERIFY2(action, qPrintable(path));
        action->trigger();
        QCOMPARE(recorder.urls.last(), QUrl::fromLocalFile(window.docsDir() + "/" + file));
        QVERIFY2(QFile::exists(recorder.urls.last().toLocalFile()), qPrintable(file));
        QVERIFY(QFile::exists(QStringLiteral(OT_SOURCE_DIR "/docs/") + file));
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(recorder.urls.size(), documents.size());
}

OT_TEST_MAIN(MenusTest)
#include "tst_menus.moc"
