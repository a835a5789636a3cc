#pragma once

#include <QMainWindow>

class QTabWidget;
class TerminalWidget;

// A window of terminal tabs: SSH sessions and local shells.
class SshTerminalWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit SshTerminalWindow(QWidget* parent = nullptr);

    // user, a port other than 22 and the key file go to the SSH client only
    // when given; tabColor is a colour name or a hexadecimal colour text.
    TerminalWidget* newSshTab(const QString& host, const QString& user, int port,
                              const QString& keyPath, const QString& tabName,
                              const QString& tabColor);
    TerminalWidget* newShellTab();

private:
    QTabWidget* tabs = nullptr;
};
