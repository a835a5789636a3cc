#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <vector>

// One row of the terminal: a cell per column with its character and its
// style (a colour pair). A wide character fills two cells, the second
// marked as its tail; a character with combining marks keeps its text
// aside. Writing over half of a wide character blanks the other half, as a
// terminal does.
class TerminalRow
{
public:
    struct Run
    {
        QString text;
        quint16 style;
    };
    // Blanks a terminal leaves where nothing was written take no colour.
    static constexpr quint16 blankStyle = 0;

    // The row goes on in the next one: it was filled to the margin and
    // written past it.
    bool wrapped = false;

    int size() const { return int(cells.size()); }
    bool isEmpty() const { return cells.empty(); }
    QString text() const;
    QList<Run> runs() const;
    // visit(QStringView text, quint16 style) for each run of one style.
    template<typename Visit>
    void forEachRun(Visit visit) const
    {
        const QString all = text();
        qsizetype start = 0;
        qsizetype at = 0;
        quint16 style = blankStyle;
        bool open = false;
        for (int column = 0; column < size(); ++column) {
            const qsizetype length = unitsAt(column);
            if (length == 0)
                continue;
            const quint16 cellStyle = cells[size_t(column)].style;
            if (open && cellStyle != style) {
                visit(QStringView(all).sliced(start, at - start), style);
                start = at;
            }
            style = cellStyle;
            open = true;
            at += length;
        }
        if (open)
            visit(QStringView(all).sliced(start, at - start), style);
    }

    // Appends the row's text to out and calls addSpan(qsizetype length,
    // quint16 style) for each run of one style, in order.
    template<typename AddSpan>
    void appendTo(QString& out, AddSpan addSpan) const
    {
        qsizetype units = 0;
        for (int column = 0; column < size(); ++column)
            units += unitsAt(column);
        const qsizetype base = out.size();
        out.resize(base + units);
        QChar* to = out.data() + base;
        qsizetype runLength = 0;
        quint16 style = blankStyle;
        for (int column = 0; column < size(); ++column) {
            const Cell& cell = cells[size_t(column)];
            qsizetype length = 1;
            if (cell.ch == tail)
                continue;
            if (cell.ch == aside) {
                const QString text = asideText.value(column);
                length = text.size();
                std::copy(text.cbegin(), text.cend(), to);
                to += length;
            } else if (cell.ch > 0xFFFF) {
                *to++ = QChar(QChar::highSurrogate(cell.ch));
                *to++ = QChar(QChar::lowSurrogate(cell.ch));
                length = 2;
            } else {
                *to++ = QChar(char16_t(cell.ch));
            }
            if (runLength > 0 && cell.style != style) {
                addSpan(runLength, style);
                runLength = 0;
            }
            style = cell.style;
            runLength += length;
        }
        if (runLength > 0)
            addSpan(runLength, style);
    }

    // Narrow characters of the basic plane without marks, one cell each.
    void placeNarrow(int column, QStringView text, quint16 style);
    // Any character of one or two columns.
    void place(int column, char32_t codePoint, int width, quint16 style);
    // Adds a combining mark to the character at the column (or to the wide
    // character whose tail it is); false when there is none.
    bool combine(int column, char32_t mark);
    // Blanks pushed in at the column; what passes the margin is lost.
    void insertBlanks(int column, int count, int margin);
    // Cells removed at the column; what follows moves left.
    void deleteCells(int column, int count);
    // The columns [from, to) become blanks; a range that reaches the end of
    // what was written cuts the row there.
    void erase(int from, qint64 to);
    void clear();

private:
    struct Cell
    {
        char32_t ch;
        quint16 style;
    };
    // Beyond every code point: the second column of a wide character, and
    // a character whose marks make its text longer than one code point.
    static constexpr char32_t tail = 0x110000;
    static constexpr char32_t aside = 0x110001;

    qsizetype unitsAt(int column) const
    {
        const char32_t ch = cells[size_t(column)].ch;
        if (ch == tail)
            return 0;
        if (ch == aside)
            return asideText.value(column).size();
        return ch > 0xFFFF ? 2 : 1;
    }
    void padTo(int columns);
    void breakWide(int column);
    void forgetAside(int from, int to);
    void shiftAside(int from, int by, int margin);

    std::vector<Cell> cells;
    QHash<int, QString> asideText;
};

// The line the cursor is on, as the rows it fills at the terminal's width.
// Printing at the margin wraps as a terminal does (the cursor waits on the
// last column until the next character comes); carriage return goes to the
// start of the cursor's row, cursor up and down move between the rows of
// the line, and erasing, inserting and deleting act on the cursor's row.
// Columns are display columns: a wide character takes two, a combining mark
// none.
class TerminalLine
{
public:
    TerminalLine();

    // Rows wider than the new width are cut; the cursor stays inside.
    void setWidth(int columns);
    int width() const { return columns; }

    void write(QStringView text, quint16 style);

    void backspace();
    void left(int count);
    void right(int count);
    void up(int count);
    void down(int count);
    // Column counted from 1, as the sequences count it.
    void toColumn(int column);
    void carriageReturn();
    void tab();
    // A line feed within the line: true when the cursor moved down a row,
    // false on the line's last row, where the line ends.
    bool nextRow();

    void insertBlanks(int count);
    void deleteCharacters(int count);
    // 0: from the cursor to the end of its row, 1: from the start of the row
    // through the cursor, 2: the whole row. The cursor stays.
    void erase(int mode);
    void eraseCharacters(int count);
    // The rest of the cursor's row and every row below it.
    void eraseBelow();
    void clear();

    int rowCount() const { return int(rows.size()); }
    const TerminalRow& row(int index) const { return rows[size_t(index)]; }
    int cursorRow() const { return rowIndex; }
    int cursorColumn() const { return column; }
    bool isEmpty() const { return rows.size() == 1 && rows.front().isEmpty(); }

    // Hands the top rows to visit(const TerminalRow&) and forgets them: they
    // have scrolled off the screen, where the cursor cannot reach them.
    template<typename Visit>
    void takeTopRows(int count, Visit visit)
    {
        count = std::min(count, rowCount() - 1);
        if (count <= 0)
            return;
        for (int i = 0; i < count; ++i)
            visit(rows[size_t(i)]);
        rows.erase(rows.begin(), rows.begin() + count);
        rowIndex = std::max(0, rowIndex - count);
    }

private:
    TerminalRow& current() { return rows[size_t(rowIndex)]; }
    void writeNarrow(QStringView text, quint16 style);
    void writeCharacter(char32_t codePoint, int width, quint16 style);
    void combine(char32_t mark);
    void wrap();
    void advance(int width);

    std::vector<TerminalRow> rows;
    int columns = 120;
    int rowIndex = 0;
    int column = 0;
    bool pendingWrap = false;
};
