#include "core/LogText.h"

namespace {

bool isBidiControl(char16_t unit)
{
    return unit == 0x061C || unit == 0x200E || unit == 0x200F || (unit >= 0x202A && unit <= 0x202E)
        || (unit >= 0x2066 && unit <= 0x2069);
}

bool needsEscape(char16_t unit)
{
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F) || unit == 0x2028 || unit == 0x2029
        || isBidiControl(unit);
}

} // namespace

namespace LogText {

QString escaped(const QString& text)
{
    if (!hasControls(text))
        return text;
    QString shown;
    shown.reserve(text.size() + 8);
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (!needsEscape(unit)) {
            shown += c;
            continue;
        }
        switch (unit) {
        case u'\n': shown += QLatin1String("\\n"); break;
        case u'\r': shown += QLatin1String("\\r"); break;
        case u'\t': shown += QLatin1String("\\t"); break;
        default:
            if (unit < 0x100)
                shown += QStringLiteral("\\x%1").arg(unsigned(unit), 2, 16, QLatin1Char('0'));
            else
                shown += QStringLiteral("\\u%1").arg(unsigned(unit), 4, 16, QLatin1Char('0'));
        }
    }
    return shown;
}

bool hasControls(const QString& text)
{
    for (const QChar c : text) {
        if (needsEscape(c.unicode()))
            return true;
    }
    return false;
}

} // namespace LogText
