#pragma once

#include "ui/remote/TerminalLine.h"
#include "ui/remote/TerminalParser.h"
#include "ui/remote/TerminalTheme.h"
#include "ui/remote/TerminalUtf8Decoder.h"

#include <QColor>
#include <QHash>
#include <QList>
#include <QString>

#include <vector>

// What the terminal shows, without the view: program output read through
// the parser and the decoder into the current line, lines that a line feed
// finished waiting to be shown, and the colour state. Cursor movement to
// other rows, the alternate screen and modes are read and have no effect:
// the view below has no screen grid, only lines.
class TerminalScreen : private TerminalParser::Handler
{
public:
    // Finished lines not yet shown: their text, each line ending in "\n",
    // and the lengths of its runs of one style each.
    struct Finished
    {
        struct Span
        {
            qsizetype length;
            quint16 style;
        };
        QString text;
        std::vector<Span> spans;

        template<typename Visit>
        void forEachRun(Visit visit) const
        {
            qsizetype at = 0;
            for (const Span& span : spans) {
                visit(QStringView(text).sliced(at, span.length), span.style);
                at += span.length;
            }
        }
    };

    explicit TerminalScreen(const TerminalTheme& theme);

    void feed(const char* bytes, qsizetype size);
    void feed(const QByteArray& bytes) { feed(bytes.constData(), bytes.size()); }

    // The colour state starts over in the theme's colours; bold stays.
    void setTheme(const TerminalTheme& theme);
    // A style's colours; an invalid background stands for the theme's own
    // (at the time of writing).
    QColor foreground(quint16 style) const { return styles.at(style).first; }
    QColor background(quint16 style) const { return styles.at(style).second; }
    static constexpr quint16 blankStyle = 0;

    const TerminalLine& currentLine() const { return line; }
    // Forgets the current line: what it shows now stays in the view.
    void dropCurrentLine() { line.clear(); }

    bool hasFinishedLines() const { return finishedLines > 0; }
    int finishedLineCount() const { return finishedLines; }
    qsizetype finishedCharacterCount() const { return finishedCharacters; }
    // Hands over the finished lines and forgets them.
    Finished takeFinishedLines();

    QColor currentFg;
    QColor currentBg;
    bool bold = false;

private:
    void print(const char* bytes, qsizetype size) override;
    void endText() override;
    void execute(char control) override;
    void dispatch(const TerminalSequence& sequence) override;

    void writeText();
    void finishLine();
    void applySgr(const TerminalSequence& sequence);
    void selectStyle();

    TerminalTheme theme;
    TerminalParser parser{*this};
    TerminalUtf8Decoder decoder;
    TerminalLine line;
    QString decoded;
    Finished finished;
    int finishedLines = 0;
    qsizetype finishedCharacters = 0;
    quint16 style = blankStyle;
    QList<QPair<QColor, QColor>> styles;
    QHash<QPair<QRgb, QRgb>, quint16> styleIndex;
};
