#include "core/ToolArgs.h"

namespace ToolArgs {

bool isOptionLike(const QString& word)
{
    return word.startsWith(QLatin1Char('-'));
}

QString refusal(const QString& what, const QString& word, const QString& tool, const QString& advice)
{
    if (!isOptionLike(word))
        return QString();
    QString message = QStringLiteral("The %1 \"%2\" starts with \"-\" and would be taken as an option by %3.")
                          .arg(what, word, tool);
    if (!advice.isEmpty())
        message += QLatin1Char(' ') + advice;
    return message;
}

QString firstRefusal(const QList<std::pair<QString, QString>>& fields, const QString& tool)
{
    for (const auto& [what, word] : fields) {
        const QString why = refusal(what, word, tool);
        if (!why.isEmpty())
            return why;
    }
    return QString();
}

QStringList withPositional(QStringList options, const QStringList& words)
{
    options << QStringLiteral("--");
    options << words;
    return options;
}

QString plainNameRefusal(const QString& what, const QString& name, const QString& folder)
{
    const bool plain = !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0))
                       && !name.startsWith(QLatin1Char('-')) && !name.startsWith(QLatin1Char('.'));
    if (plain)
        return QString();
    return QStringLiteral("The %1 \"%2\" is not a plain name in %3: it must not contain \"/\" "
                          "or begin with \"-\" or \".\".")
        .arg(what, name, folder);
}

} // namespace ToolArgs
