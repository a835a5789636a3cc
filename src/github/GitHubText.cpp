#include "github/GitHubText.h"

#include <QTextDocument>

namespace GitHubText {

QString singleLine(const QString& text)
{
    QString line = text;
    for (QChar& c : line) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u <= 0x9f) || u == 0x2028 || u == 0x2029)
            c = QLatin1Char(' ');
    }
    return line;
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
