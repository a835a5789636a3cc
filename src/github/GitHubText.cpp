#include "github/GitHubText.h"

#include "core/LogText.h"

#include <QTextDocument>

namespace GitHubText {

QString singleLine(const QString& text)
{
    // The log's own rule, so a name reads the same in a label as in a line.
    return LogText::escaped(text);
}

QString seconds(int ms)
{
    return ms % 1000 == 0 ? QString::number(ms / 1000) : QString::number(ms / 1000.0, 'f', 1);
}

QString toolTip(const QString& text)
{
    return Qt::convertFromPlainText(text, Qt::WhiteSpacePre);
}

QString elided(const QString& text, int maxChars)
{
    const QString line = singleLine(text);
    if (line.size() <= maxChars)
        return line;
    qsizetype cut = maxChars - 1;
    // Never split a surrogate pair.
    if (cut > 0 && line.at(cut - 1).isHighSurrogate())
        --cut;
    return line.left(cut) + QChar(0x2026);
}

QString listDetail(const QString& detail, const QString& shownNote)
{
    return shownNote.isEmpty() ? detail : QStringLiteral("%1 (%2)").arg(detail, shownNote);
}

} // namespace GitHubText
