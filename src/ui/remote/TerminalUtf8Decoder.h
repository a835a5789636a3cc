#pragma once

#include <QString>
#include <QtGlobal>

// Turns the bytes a program writes into text, a chunk at a time. A character
// cut at a chunk's edge is kept until the rest arrives; each ill-formed
// subsequence becomes one U+FFFD, and the byte that showed it to be ill-formed
// is read again as the start of what follows, so no byte is ever lost.
// (Qt 6.4's stateful decoder drops that byte when it comes in the next call.)
class TerminalUtf8Decoder
{
public:
    // Appends the text of the bytes to out; an incomplete character at the
    // end is kept for the next call.
    void decode(const char* bytes, qsizetype size, QString& out);
    // An incomplete character is cut off by something that is not text (a
    // control, a sequence): it becomes one U+FFFD in out.
    void endText(QString& out);
    bool hasTail() const { return needed != 0; }
    void reset();

private:
    char32_t codePoint = 0;
    int needed = 0;     // continuation bytes still to come
    uchar lower = 0x80; // allowed range of the next continuation byte
    uchar upper = 0xBF;
};
