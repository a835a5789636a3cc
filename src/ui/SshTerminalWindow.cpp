#include "ui/SshTerminalWindow.h"

#include "ui/TerminalWidget.h"

#include <QColor>
#include <QMenuBar>
#include <QTabBar>
#include <QTabWidget>

SshTerminalWindow::SshTerminalWindow(QWidget* parent)
    : QMainWindow(parent)
{
    setWindowTitle(QString::fromUtf8("Ostrevan Tessaril \u2014 SSH Terminal"));
    setMinimumSize(800, 500);
    resize(1024, 700);
    menuBar();
    tabs = new QTabWidget(this);
    tabs->setTabsClosable(true);
    tabs->setMovable(true);
    setCentralWidget(tabs);
}

TerminalWidget* SshTerminalWindow::newSshTab(const QString& host, const QString& user, int port,
                                             const QString& keyPath, const QString& tabName,
                                             const QString& tabColor)
{
    Q_UNUSED(user);
    Q_UNUSED(port);
    Q_UNUSED(keyPath);
    auto* terminal = new TerminalWidget(tabs);
    const int index = tabs->addTab(terminal, tabName.isEmpty() ? host : tabName);
    if (!tabColor.isEmpty())
        tabs->tabBar()->setTabTextColor(index, QColor(tabColor));
    tabs->setCurrentIndex(index);
    return terminal;
}

TerminalWidget* SshTerminalWindow::newShellTab()
{
    auto* terminal = new TerminalWidget(tabs);
    tabs->setCurrentIndex(tabs->addTab(terminal, QStringLiteral("Local Shell")));
    return terminal;
}
