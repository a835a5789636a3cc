#pragma once

#include <QList>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <vector>

// The line the cursor is on: its characters, a style (a colour pair) per
// character and the cursor column. Printing overwrites at the cursor, the
// cursor moves within the line and characters are inserted, deleted and
// erased as a terminal does on one row, until a line feed ends the line.
class TerminalLine
{
public:
    struct Run
    {
        QStringView text;
        quint16 style;
    };

    // No line grows beyond this: writing past it ends the line there and goes
    // on in a new one, as a terminal of that width wraps.
    static constexpr int maxColumns = 4096;

    // Writes the text at the cursor in the style, over what is there. A line
    // filled to maxColumns is handed to wrapped() and the rest goes on in a
    // new line.
    template<typename Wrapped>
    void write(QStringView chars, quint16 style, Wrapped wrapped)
    {
        while (!chars.isEmpty()) {
            if (column >= maxColumns) {
                wrapped(*this);
                clear();
            }
            const qsizetype room = maxColumns - column;
            const QStringView part = chars.first(std::min(room, chars.size()));
            put(part, style);
            chars = chars.sliced(part.size());
        }
    }

    void backspace() { if (column > 0) --column; }
    void left(int count) { column = std::max(0, column - std::max(count, 1)); }
    // A count may be as large as a parameter can be: the sum is taken wide.
    void right(int count) { column = int(std::min<qint64>(maxColumns, qint64(column) + std::max(count, 1))); }
    void carriageReturn() { column = 0; }
    void insertBlanks(int count);
    void deleteCharacters(int count);
    // 0: from the cursor to the end, 1: from the start through the cursor,
    // 2: the whole line. The cursor stays.
    void erase(int mode);
    void clear();

    int cursor() const { return column; }
    const QString& text() const { return chars; }
    bool isEmpty() const { return chars.isEmpty(); }
    // The line as runs of one style each.
    QList<Run> runs() const;
    template<typename Visit>
    void forEachRun(Visit visit) const
    {
        qsizetype start = 0;
        const qsizetype size = chars.size();
        while (start < size) {
            const quint16 style = styles[size_t(start)];
            qsizetype end = start + 1;
            while (end < size && styles[size_t(end)] == style)
                ++end;
            visit(Run{QStringView(chars).sliced(start, end - start), style});
            start = end;
        }
    }

private:
    void put(QStringView part, quint16 style);
    void padTo(qsizetype length);

    QString chars;
    std::vector<quint16> styles;
    int column = 0;
};
