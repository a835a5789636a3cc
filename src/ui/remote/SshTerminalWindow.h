#pragma once

#include <QMainWindow>

class QTabWidget;
class TerminalWidget;

// A window of terminal tabs: SSH sessions and local shells. Openers create it,
// add the first tab and show it; one created without a parent should be set
// to delete itself on close, which ends every session in it.
class SshTerminalWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit SshTerminalWindow(QWidget* parent = nullptr);
    ~SshTerminalWindow() override;

    // user, a port other than 22 and the key file go to the SSH client only
    // when given; tabColor is a colour name or a hexadecimal colour text.
    TerminalWidget* newSshTab(const QString& host, const QString& user, int port,
                              const QString& keyPath, const QString& tabName,
                              const QString& tabColor);
    // The user's shell: SHELL, else /bin/zsh when present, else the login
    // shell of the account, else /bin/sh.
    TerminalWidget* newShellTab();
    // Any program that needs a terminal of its own (an editor a tool opens,
    // say), labelled and followed like an SSH tab; an empty tabName shows the
    // program's name.
    TerminalWidget* newProgramTab(const QString& program, const QStringList& args, const QString& tabName);

    // An index below 0 does nothing.
    void closeTab(int index);
    void renameTab(int index);
    void colorTab(int index);

    // The shell newShellTab starts.
    static QString userShell();

private:
    void buildMenus();
    void newSshSession();
    void showTabMenu(const QPoint& position);
    int addFollowedTab(TerminalWidget* terminal, const QString& tabName);

    QTabWidget* tabs = nullptr;
};
