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
// the parser and the decoder into the current line (the rows it fills at
// the terminal's width), rows that are done waiting to be shown, the colour
// state and the modes the view acts on. A row is done when a line feed ends
// its line, or when it scrolls off the top of the screen. Moving the cursor
// beyond the current line, the alternate screen and other modes are read
// and have no effect: the view below keeps no screen grid, only rows.
class TerminalScreen : private TerminalParser::Handler
{
public:
    // Finished rows not yet shown: their text, each row ending in "\n",
    // and the lengths of its runs of one style each; dropped counts the rows
    // that went before them unshown, beyond what the history keeps.
    struct Finished
    {
        struct Span
        {
            qsizetype length;
            quint16 style;
        };
        QString text;
        std::vector<Span> spans;
        qint64 dropped = 0;

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

    // The terminal's size as the program is told it: the line wraps at the
    // width, and rows beyond the height scroll off into the history.
    void setSize(int columns, int rows);
    int columns() const { return line.width(); }
    int rows() const { return screenRows; }
    // The finished rows kept for the view at most; older ones are dropped
    // unshown, a big step at a time.
    void setHistoryLimit(int rows, qsizetype characters);

    // The program asked for pasted text to come marked (ESC [ ? 2004 h).
    bool bracketedPaste() const { return bracketedPasteMode; }
    // A new program starts with none of the modes the last one set.
    void resetModes() { bracketedPasteMode = false; }

    // The colour state starts over in the theme's colours; bold stays.
    void setTheme(const TerminalTheme& theme);
    // A style's colours; an invalid background stands for the theme's own
    // (at the time of writing).
    QColor foreground(quint16 style) const { return styles.at(style).first; }
    QColor background(quint16 style) const { return styles.at(style).second; }
    static constexpr quint16 blankStyle = TerminalRow::blankStyle;

    const TerminalLine& currentLine() const { return line; }
    // Forgets the current line: what it shows now stays in the view.
    void dropCurrentLine() { line.clear(); }

    bool hasFinishedLines() const { return finishedLines > 0; }
    int finishedLineCount() const { return finishedLines; }
    qsizetype finishedCharacterCount() const { return finishedCharacters; }
    // Hands over the finished rows and forgets them.
    Finished takeFinishedLines();
    // The finished rows as they wait, for a reader that takes them a few at
    // a time: dropFinished forgets the first rows, length characters.
    const Finished& finishedRows() const { return finished; }
    void dropFinished(qsizetype length, int rows);
    // Rows dropped unshown since the last call, beyond the history limit.
    qint64 takeDroppedCount() { return std::exchange(finished.dropped, 0); }

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
    void finishRow(const TerminalRow& row);
    void addSpan(qsizetype length, quint16 runStyle);
    void scrollOff();
    void dropOldRows();
    void setModes(const TerminalSequence& sequence, bool on);
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
    int screenRows = 40;
    int historyRows = 10000;
    qsizetype historyCharacters = 4 * 1024 * 1024;
    bool bracketedPasteMode = false;
    quint16 style = blankStyle;
    QList<QPair<QColor, QColor>> styles;
    QHash<QPair<QRgb, QRgb>, quint16> styleIndex;
};
