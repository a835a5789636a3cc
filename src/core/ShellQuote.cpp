#include "core/ShellQuote.h"

namespace ShellQuote {

QString word(const QString& text)
{
    QString prefix;
    QString rest = text;
    if (rest.startsWith(QLatin1String("~/"))) {
        prefix = QStringLiteral("~/");
        rest = rest.mid(2);
    }
    rest.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return prefix + QLatin1Char('\'') + rest + QLatin1Char('\'');
}

QString terminalScript(const QString& commandLine)
{
    QString literal = commandLine;
    literal.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    literal.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("tell application \"Terminal\"\n    activate\n    do script \"%1\"\nend tell").arg(literal);
}

} // namespace ShellQuote
