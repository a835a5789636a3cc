#include "ui/remote/SshTerminalWindow.h"

#include "app/SshTarget.h"
#include "ui/remote/TerminalWidget.h"

#include <QAction>
#include <QColor>
#include <QColorDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTabBar>
#include <QTabWidget>

#include <pwd.h>
#include <unistd.h>

SshTerminalWindow::SshTerminalWindow(QWidget* parent)
    : QMainWindow(parent)
{
    // Where the program's name leads, Linux and Windows add it again at the
    // end; ending with it, as the dialogs' titles do, shows it once everywhere.
    setWindowTitle(QString::fromUtf8("SSH Terminal \u2014 Ostrevan Tessaril"));
    setMinimumSize(800, 500);
    resize(1024, 700);
    buildMenus();

    tabs = new QTabWidget(this);
    tabs->setTabsClosable(true);
    tabs->setMovable(true);
    tabs->setDocumentMode(true);
    tabs->tabBar()->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tabs->tabBar(), &QWidget::customContextMenuRequested, this, &SshTerminalWindow::showTabMenu);
    connect(tabs, &QTabWidget::tabCloseRequested, this, &SshTerminalWindow::closeTab);
    setCentralWidget(tabs);
}

SshTerminalWindow::~SshTerminalWindow() = default;

void SshTerminalWindow::buildMenus()
{
    const auto add = [this](QMenu* menu, const QString& text, const char* shortcut, auto handler) {
        QAction* action = menu->addAction(text);
        if (shortcut)
            action->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
        connect(action, &QAction::triggered, this, handler);
        return action;
    };

    // Where Ctrl in a shortcut is the Command key, Ctrl+W closes a tab as
    // every Mac window does. Elsewhere Ctrl and a letter belong to the
    // shell (Ctrl+W deletes a word), so the tab keys take Shift as well, as
    // the usual Linux terminals have them.
#ifdef Q_OS_MACOS
    const char* const closeTabKey = "Ctrl+W";
    const char* const closeWindowKey = "Ctrl+Shift+W";
#else
    const char* const closeTabKey = "Ctrl+Shift+W";
    const char* const closeWindowKey = "Ctrl+Shift+Q";
#endif
    QMenu* session = menuBar()->addMenu(QStringLiteral("&Session"));
    add(session, QStringLiteral("New &SSH Session..."), "Ctrl+Shift+N", [this] { newSshSession(); });
    add(session, QStringLiteral("New &Local Shell"), "Ctrl+Shift+T", [this] { newShellTab(); });
    session->addSeparator();
    add(session, QStringLiteral("&Close Tab"), closeTabKey, [this] { closeTab(tabs->currentIndex()); });
    session->addSeparator();
    add(session, QStringLiteral("Close &Window"), closeWindowKey, [this] { close(); });

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    for (const TerminalTheme& theme : TerminalWidget::availableThemes()) {
        add(view, QStringLiteral("Theme: ") + theme.name, nullptr, [this, theme] {
            if (auto* terminal = qobject_cast<TerminalWidget*>(tabs->currentWidget()))
                terminal->setTheme(theme);
        });
    }

    QMenu* tab = menuBar()->addMenu(QStringLiteral("&Tab"));
    add(tab, QStringLiteral("&Rename Tab..."), "F2", [this] { renameTab(tabs->currentIndex()); });
    add(tab, QStringLiteral("Set Tab &Color..."), nullptr, [this] { colorTab(tabs->currentIndex()); });
}

QString SshTerminalWindow::userShell()
{
    const QString shell = qEnvironmentVariable("SHELL");
    if (!shell.isEmpty())
        return shell;
    // Debian ships no /bin/zsh unless asked: then the account's own shell.
    if (QFileInfo::exists(QStringLiteral("/bin/zsh")))
        return QStringLiteral("/bin/zsh");
    if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_shell && *account->pw_shell)
        return QString::fromLocal8Bit(account->pw_shell);
    return QStringLiteral("/bin/sh");
}

TerminalWidget* SshTerminalWindow::newShellTab()
{
    auto* terminal = new TerminalWidget(this);
    // A failed start shows in the terminal itself.
    terminal->startProcess(userShell(), {});
    tabs->setCurrentIndex(tabs->addTab(terminal, QStringLiteral("Local Shell")));
    return terminal;
}

TerminalWidget* SshTerminalWindow::newSshTab(const QString& host, const QString& user, int port,
                                             const QString& keyPath, const QString& tabName,
                                             const QString& tabColor)
{
    auto* terminal = new TerminalWidget(this);
    terminal->startSsh(host, user, port, keyPath);
    const int index = addFollowedTab(terminal, tabName);
    if (!tabColor.isEmpty())
        tabs->tabBar()->setTabTextColor(index, QColor::fromString(tabColor));
    return terminal;
}

TerminalWidget* SshTerminalWindow::newProgramTab(const QString& program, const QStringList& args,
                                                 const QString& tabName)
{
    auto* terminal = new TerminalWidget(this);
    // A failed start shows in the terminal itself.
    terminal->startProcess(program, args);
    addFollowedTab(terminal, tabName);
    return terminal;
}

int SshTerminalWindow::addFollowedTab(TerminalWidget* terminal, const QString& tabName)
{
    const int index = tabs->addTab(terminal, tabName.isEmpty() ? terminal->title() : tabName);
    tabs->setCurrentIndex(index);

    // A closed tab's terminal lives on until it is deleted later: what it
    // says then has no tab to go to.
    connect(terminal, &TerminalWidget::titleChanged, this, [this, terminal](const QString& title) {
        const int at = tabs->indexOf(terminal);
        if (at >= 0)
            tabs->setTabText(at, title);
    });
    connect(terminal, &TerminalWidget::processFinished, this, [this, terminal](int) {
        const int at = tabs->indexOf(terminal);
        if (at >= 0)
            tabs->setTabText(at, tabs->tabText(at) + QStringLiteral(" [closed]"));
    });
    return index;
}

void SshTerminalWindow::newSshSession()
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("New SSH Session"),
                                               QStringLiteral("Host (or user@host):"), QLineEdit::Normal,
                                               QString(), &ok);
    if (!ok || text.isEmpty())
        return;
    const SshTarget target = SshTarget::parseUserAtHost(text);
    // A user or host that begins with "-" would reach ssh as an option.
    const QString refusal = target.refusal();
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("New SSH Session"), refusal);
        return;
    }
    newSshTab(target.host, target.user, target.port, QString(), QString(), QString());
}

void SshTerminalWindow::closeTab(int index)
{
    if (index < 0 || index >= tabs->count())
        return;
    auto* terminal = qobject_cast<TerminalWidget*>(tabs->widget(index));
    if (terminal && terminal->isRunning()) {
        // A key meant for the shell, then Return, must not end the session.
        const auto answer = QMessageBox::question(this, QStringLiteral("Close Tab"),
                                                  QStringLiteral("Session is still active. Close anyway?"),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
    }
    tabs->removeTab(index);
    // Deleting the terminal ends its child.
    if (terminal)
        terminal->deleteLater();
    if (tabs->count() == 0)
        close();
}

void SshTerminalWindow::renameTab(int index)
{
    if (index < 0 || index >= tabs->count())
        return;
    bool ok = false;
    const QString name = QInputDialog::getText(this, QStringLiteral("Rename Tab"), QStringLiteral("Tab name:"),
                                               QLineEdit::Normal, tabs->tabText(index), &ok);
    if (ok && !name.isEmpty())
        tabs->setTabText(index, name);
}

void SshTerminalWindow::colorTab(int index)
{
    if (index < 0 || index >= tabs->count())
        return;
    const QColor colour = QColorDialog::getColor(tabs->tabBar()->tabTextColor(index), this,
                                                 QStringLiteral("Tab Color"));
    if (colour.isValid())
        tabs->tabBar()->setTabTextColor(index, colour);
}

void SshTerminalWindow::showTabMenu(const QPoint& position)
{
    const int index = tabs->tabBar()->tabAt(position);
    if (index < 0)
        return;
    QMenu menu(this);
    QAction* rename = menu.addAction(QStringLiteral("Rename Tab..."));
    QAction* colour = menu.addAction(QStringLiteral("Set Tab Color..."));
    menu.addSeparator();
    QAction* close = menu.addAction(QStringLiteral("Close Tab"));
    // The tab is the one under the pointer when the menu opened.
    QAction* chosen = menu.exec(tabs->tabBar()->mapToGlobal(position));
    if (chosen == rename)
        renameTab(index);
    else if (chosen == colour)
        colorTab(index);
    else if (chosen == close)
        closeTab(index);
}
