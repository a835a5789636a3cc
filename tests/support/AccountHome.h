#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The running account's real home, as the password database names it (a
// test's HOME is a folder of its own): what lies in it and the shell's
// history file, taken when the object is made, so that a test can show it
// left them as they were.
class AccountHome
{
public:
    AccountHome();

    static QString path();
    // Empty when the listing and the history file are as they were; else
    // what changed, for the failure message.
    QString changes() const;

private:
    static QStringList listing();
    static QByteArray history();

    QStringList entries;
    QByteArray historyBytes;
    bool hadHistory;
};
