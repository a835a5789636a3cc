#include "AccountHome.h"

#include "TestFiles.h"

#include <QDir>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

AccountHome::AccountHome()
    : entries(listing())
    , historyBytes(history())
    , hadHistory(QFileInfo::exists(path() + QStringLiteral("/.bash_history")))
{
}

QString AccountHome::path()
{
    const passwd* account = ::getpwuid(::getuid());
    return account && account->pw_dir ? QString::fromLocal8Bit(account->pw_dir) : QString();
}

QStringList AccountHome::listing()
{
    return QDir(path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

QByteArray AccountHome::history()
{
    return readFile(path() + QStringLiteral("/.bash_history"));
}

QString AccountHome::changes() const
{
    QStringList found;
    const QStringList now = listing();
    for (const QString& name : now) {
        if (!entries.contains(name))
            found << QStringLiteral("new in %1: %2").arg(path(), name);
    }
    for (const QString& name : entries) {
        if (!now.contains(name))
            found << QStringLiteral("gone from %1: %2").arg(path(), name);
    }
    const bool hasHistory = QFileInfo::exists(path() + QStringLiteral("/.bash_history"));
    if (hasHistory != hadHistory || history() != historyBytes)
        found << QStringLiteral("%1/.bash_history changed").arg(path());
    return found.join(QLatin1Char('\n'));
}
