#include "TerminalScript.h"

QString commandFromScript(const QString& script)
{
    const QString head = QStringLiteral("tell application \"Terminal\"\n    activate\n    do script \"");
    const QString tail = QStringLiteral("\"\nend tell");
    if (!script.startsWith(head) || !script.endsWith(tail))
        return QStringLiteral("<not the Terminal script: %1>").arg(script);
    const QString literal = script.mid(head.size(), script.size() - head.size() - tail.size());
    QString command;
    for (qsizetype i = 0; i < literal.size(); ++i) {
        if (literal.at(i) == QLatin1Char('\\') && i + 1 < literal.size())
            ++i;
        command += literal.at(i);
    }
    return command;
}
