#include "ui/remote/TerminalUtf8Decoder.h"

namespace {

constexpr char16_t replacement = 0xFFFD;

void appendCodePoint(QString& out, char32_t codePoint)
{
    if (codePoint < 0x10000) {
        out.append(QChar(char16_t(codePoint)));
    } else {
        out.append(QChar(QChar::highSurrogate(codePoint)));
        out.append(QChar(QChar::lowSurrogate(codePoint)));
    }
}

} // namespace

void TerminalUtf8Decoder::reset()
{
    codePoint = 0;
    needed = 0;
    lower = 0x80;
    upper = 0xBF;
}

void TerminalUtf8Decoder::endText(QString& out)
{
    if (needed == 0)
        return;
    out.append(QChar(replacement));
    reset();
}

void TerminalUtf8Decoder::decode(const char* bytes, qsizetype size, QString& out)
{
    const auto* data = reinterpret_cast<const uchar*>(bytes);
    qsizetype i = 0;
    while (i < size) {
        if (needed == 0) {
            // Most output is ASCII: widen it a run at a time.
            qsizetype end = i;
            while (end < size && data[end] < 0x80)
                ++end;
            if (end > i) {
                out.append(QLatin1String(bytes + i, end - i));
                i = end;
                continue;
            }
            const uchar b = data[i++];
            if (b >= 0xC2 && b <= 0xDF) {
                needed = 1;
                codePoint = b & 0x1F;
            } else if (b >= 0xE0 && b <= 0xEF) {
                // No overlong forms, no surrogates.
                if (b == 0xE0)
                    lower = 0xA0;
                else if (b == 0xED)
                    upper = 0x9F;
                needed = 2;
                codePoint = b & 0x0F;
            } else if (b >= 0xF0 && b <= 0xF4) {
                // No overlong forms, nothing above U+10FFFF.
                if (b == 0xF0)
                    lower = 0x90;
                else if (b == 0xF4)
                    upper = 0x8F;
                needed = 3;
                codePoint = b & 0x07;
            } else {
                out.append(QChar(replacement));
            }
            continue;
        }
        const uchar b = data[i];
        if (b < lower || b > upper) {
            // The character ends early: one replacement for what came of it,
            // and this byte starts afresh.
            out.append(QChar(replacement));
            reset();
            continue;
        }
        ++i;
        lower = 0x80;
        upper = 0xBF;
        codePoint = (codePoint << 6) | (b & 0x3F);
        if (--needed == 0) {
            appendCodePoint(out, codePoint);
            codePoint = 0;
        }
    }
}
