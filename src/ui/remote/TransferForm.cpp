#include "ui/remote/TransferForm.h"

#include "core/ShellQuote.h"
#include "core/ToolArgs.h"

namespace {

QString shellWord(const QString& text, TransferForm::Words words)
{
    return words == TransferForm::Words::Quoted ? ShellQuote::word(text) : text;
}

// A word inside rsync's -e value. rsync splits that value itself: quotes
// group, a doubled quote inside them is a literal one, and a backslash means
// nothing. ssh expands a leading "~" of the key file on its own.
QString remoteShellWord(const QString& text)
{
    QString doubled = text;
    doubled.replace(QLatin1Char('\''), QLatin1String("''"));
    return QLatin1Char('\'') + doubled + QLatin1Char('\'');
}

} // namespace

int TransferForm::portNumber() const
{
    return port.toInt();
}

int TransferForm::portOption() const
{
    const int number = portNumber();
    return number >= 1 && number != 22 ? number : 0;
}

QString TransferForm::remoteTarget() const
{
    const QString path = remotePath.isEmpty() ? QStringLiteral("~") : remotePath;
    const QString address = user.isEmpty() ? host : user + QLatin1Char('@') + host;
    return address + QLatin1Char(':') + path;
}

QString TransferForm::refusal(const QString& tool) const
{
    return ToolArgs::firstRefusal({{QStringLiteral("host"), host}, {QStringLiteral("user name"), user}}, tool);
}

QStringList TransferForm::scpArguments(bool upload) const
{
    QStringList options{QStringLiteral("-r")};
    if (portOption())
        options << QStringLiteral("-P") << QString::number(portOption());
    if (!keyPath.isEmpty())
        options << QStringLiteral("-i") << keyPath;
    return ToolArgs::withPositional(options, upload ? QStringList{localPath, remoteTarget()}
                                                    : QStringList{remoteTarget(), localPath});
}

QString TransferForm::rsyncCommandLine(Words words) const
{
    QString remoteShell = QStringLiteral("ssh");
    if (portOption())
        remoteShell += QStringLiteral(" -p ") + QString::number(portOption());
    // The key is quoted for rsync inside the value, the value for the shell.
    if (!keyPath.isEmpty())
        remoteShell += QStringLiteral(" -i ") + (words == Words::Quoted ? remoteShellWord(keyPath) : keyPath);
    const QString shellOption = words == Words::Quoted ? ShellQuote::word(remoteShell)
                                                       : QLatin1Char('\'') + remoteShell + QLatin1Char('\'');
    // A local path such as "-esh -c '...'" would otherwise replace the remote
    // shell, and rsync would run it here.
    return QStringLiteral("rsync -avz --progress -e %1 -- %2 %3")
        .arg(shellOption, shellWord(localPath, words), shellWord(remoteTarget(), words));
}

QString TransferForm::sftpCommandLine(Words words) const
{
    QString line = QStringLiteral("sftp");
    if (portOption())
        line += QStringLiteral(" -P ") + QString::number(portOption());
    if (!keyPath.isEmpty())
        line += QStringLiteral(" -i ") + shellWord(keyPath, words);
    const QString target = user.isEmpty() ? host : user + QLatin1Char('@') + host;
    return line + QStringLiteral(" -- ") + shellWord(target, words);
}
