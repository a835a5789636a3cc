#include "ui/remote/TerminalLine.h"

#include "ui/remote/TerminalCharWidth.h"

#include <limits>

namespace {

// A cell keeps at most this much text: marks beyond it (a flood of them on
// one character) show nothing more and would only grow the row.
constexpr qsizetype maxCellUnits = 16;

QString textOf(char32_t codePoint)
{
    return QString::fromUcs4(&codePoint, 1);
}

} // namespace

// --- TerminalRow --------------------------------------------------------

QString TerminalRow::text() const
{
    QString out;
    appendTo(out, [](qsizetype, quint16) {});
    return out;
}

QList<TerminalRow::Run> TerminalRow::runs() const
{
    QList<Run> list;
    forEachRun([&list](QStringView text, quint16 style) { list.append({text.toString(), style}); });
    return list;
}

void TerminalRow::padTo(int columns)
{
    if (size() < columns)
        cells.resize(size_t(columns), Cell{u' ', blankStyle});
}

// A wide character of which the column is one half becomes two blanks.
void TerminalRow::breakWide(int column)
{
    if (column < 0 || column >= size())
        return;
    int head = -1;
    if (cells[size_t(column)].ch == tail)
        head = column - 1;
    else if (column + 1 < size() && cells[size_t(column) + 1].ch == tail)
        head = column;
    if (head < 0) {
        if (cells[size_t(column)].ch == tail)
            cells[size_t(column)] = Cell{u' ', blankStyle};   // a tail without its head
        return;
    }
    forgetAside(head, head + 1);
    cells[size_t(head)] = Cell{u' ', blankStyle};
    cells[size_t(head) + 1] = Cell{u' ', blankStyle};
}

void TerminalRow::forgetAside(int from, int to)
{
    if (asideText.isEmpty() || from >= to)
        return;
    if (to - from <= asideText.size()) {
        for (int column = from; column < to; ++column)
            asideText.remove(column);
        return;
    }
    for (auto it = asideText.begin(); it != asideText.end();) {
        if (it.key() >= from && it.key() < to)
            it = asideText.erase(it);
        else
            ++it;
    }
}

// Text kept aside follows its cells when they move; what passes the margin
// goes.
void TerminalRow::shiftAside(int from, int by, int margin)
{
    if (asideText.isEmpty() || by == 0)
        return;
    QHash<int, QString> moved;
    for (auto it = asideText.cbegin(); it != asideText.cend(); ++it) {
        const qint64 column = it.key() >= from ? qint64(it.key()) + by : it.key();
        if (column >= 0 && column < margin)
            moved.insert(int(column), it.value());
    }
    asideText = std::move(moved);
}

void TerminalRow::placeNarrow(int column, QStringView text, quint16 style)
{
    const int count = int(text.size());
    if (count == 0)
        return;
    padTo(column + count);
    breakWide(column);
    breakWide(column + count - 1);
    forgetAside(column, column + count);
    Cell* cell = cells.data() + column;
    for (const QChar c : text)
        *cell++ = Cell{c.unicode(), style};
}

void TerminalRow::place(int column, char32_t codePoint, int width, quint16 style)
{
    padTo(column + width);
    breakWide(column);
    if (width == 2)
        breakWide(column + 1);
    forgetAside(column, column + width);
    cells[size_t(column)] = Cell{codePoint, style};
    if (width == 2)
        cells[size_t(column) + 1] = Cell{tail, style};
}

bool TerminalRow::combine(int column, char32_t mark)
{
    if (column < 0 || column >= size())
        return false;
    if (cells[size_t(column)].ch == tail) {
        if (--column < 0)
            return false;
    }
    Cell& cell = cells[size_t(column)];
    QString text = cell.ch == aside ? asideText.value(column) : textOf(cell.ch);
    if (text.size() >= maxCellUnits)
        return true;
    text += textOf(mark);
    cell.ch = aside;
    asideText.insert(column, text);
    return true;
}

void TerminalRow::insertBlanks(int column, int count, int margin)
{
    if (column >= size() || column >= margin)
        return;   // blanks after the end show as nothing
    count = std::clamp(count, 1, margin - column);
    if (cells[size_t(column)].ch == tail)
        breakWide(column);   // the blanks would come between its halves
    shiftAside(column, count, margin);
    cells.insert(cells.begin() + column, size_t(count), Cell{u' ', blankStyle});
    if (size() > margin) {
        // What is pushed past the last column is lost, as at a terminal's margin.
        if (cells[size_t(margin)].ch == tail) {
            forgetAside(margin - 1, margin);
            cells[size_t(margin) - 1] = Cell{u' ', blankStyle};
        }
        cells.resize(size_t(margin));
    }
}

void TerminalRow::deleteCells(int column, int count)
{
    if (column >= size())
        return;
    count = std::max(count, 1);
    if (cells[size_t(column)].ch == tail)
        breakWide(column);
    const int end = int(std::min<qint64>(qint64(column) + count, size()));
    if (end < size() && cells[size_t(end)].ch == tail)
        cells[size_t(end)] = Cell{u' ', blankStyle};   // its head goes
    forgetAside(column, end);
    shiftAside(end, column - end, std::numeric_limits<int>::max());
    cells.erase(cells.begin() + column, cells.begin() + end);
}

void TerminalRow::erase(int from, qint64 to)
{
    from = std::max(from, 0);
    if (from >= size() || to <= from)
        return;
    if (cells[size_t(from)].ch == tail)
        breakWide(from);
    if (to >= size()) {
        forgetAside(from, size());
        cells.resize(size_t(from));
        return;
    }
    const int end = int(to);
    if (cells[size_t(end)].ch == tail)
        cells[size_t(end)] = Cell{u' ', blankStyle};   // its head is erased
    forgetAside(from, end);
    std::fill(cells.begin() + from, cells.begin() + end, Cell{u' ', blankStyle});
}

void TerminalRow::clear()
{
    // Keeps the buffer: rows come and go with every line.
    cells.clear();
    asideText.clear();
    wrapped = false;
}

// --- TerminalLine -------------------------------------------------------

TerminalLine::TerminalLine()
{
    rows.resize(1);
}

void TerminalLine::setWidth(int newColumns)
{
    newColumns = std::max(newColumns, 1);
    if (newColumns == columns)
        return;
    columns = newColumns;
    for (TerminalRow& row : rows)
        row.erase(columns, std::numeric_limits<qint64>::max());
    column = std::min(column, columns - 1);
    pendingWrap = false;
}

void TerminalLine::write(QStringView text, quint16 style)
{
    const qsizetype size = text.size();
    qsizetype i = 0;
    while (i < size) {
        // Below U+0300 every character is one column and no mark: the bulk
        // of what programs write goes in a run at a time.
        qsizetype end = i;
        while (end < size && text[end].unicode() < 0x300)
            ++end;
        if (end > i) {
            writeNarrow(text.sliced(i, end - i), style);
            i = end;
            continue;
        }
        char32_t codePoint = text[i].unicode();
        if (text[i].isHighSurrogate() && i + 1 < size && text[i + 1].isLowSurrogate()) {
            codePoint = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        } else if (text[i].isSurrogate()) {
            codePoint = 0xFFFD;
        }
        ++i;
        const int width = terminalCharWidth(codePoint);
        if (width == 0)
            combine(codePoint);
        else
            writeCharacter(codePoint, width, style);
    }
}

void TerminalLine::writeNarrow(QStringView text, quint16 style)
{
    while (!text.isEmpty()) {
        if (pendingWrap)
            wrap();
        const QStringView part = text.first(std::min<qsizetype>(columns - column, text.size()));
        current().placeNarrow(column, part, style);
        advance(int(part.size()));
        text = text.sliced(part.size());
    }
}

void TerminalLine::writeCharacter(char32_t codePoint, int width, quint16 style)
{
    if (pendingWrap)
        wrap();
    if (width == 2 && columns < 2)
        width = 1;
    // A wide character does not fit in the last column: it goes to the next
    // row, and the last column stays as it was.
    if (width == 2 && column == columns - 1)
        wrap();
    current().place(column, codePoint, width, style);
    advance(width);
}

// The character just written is the one before the cursor, or under it
// while the cursor waits at the margin.
void TerminalLine::combine(char32_t mark)
{
    if (pendingWrap) {
        current().combine(column, mark);
    } else if (column > 0) {
        current().combine(column - 1, mark);
    } else if (rowIndex > 0 && rows[size_t(rowIndex) - 1].wrapped) {
        TerminalRow& above = rows[size_t(rowIndex) - 1];
        above.combine(above.size() - 1, mark);
    }
    // Else there is nothing to combine with: a terminal shows no such mark.
}

void TerminalLine::advance(int width)
{
    column += width;
    if (column >= columns) {
        // The cursor waits on the last column; the next character wraps.
        column = columns - 1;
        pendingWrap = true;
    }
}

void TerminalLine::wrap()
{
    current().wrapped = true;
    pendingWrap = false;
    column = 0;
    if (rowIndex + 1 == rowCount())
        rows.emplace_back();
    ++rowIndex;
}

void TerminalLine::backspace()
{
    // From the margin, as from the last column.
    pendingWrap = false;
    if (column > 0)
        --column;
}

void TerminalLine::left(int count)
{
    pendingWrap = false;
    column = std::max(0, column - std::max(count, 1));
}

void TerminalLine::right(int count)
{
    pendingWrap = false;
    // A count may be as large as a parameter can be: the sum is taken wide.
    column = int(std::min<qint64>(columns - 1, qint64(column) + std::max(count, 1)));
}

void TerminalLine::up(int count)
{
    pendingWrap = false;
    rowIndex = std::max(0, rowIndex - std::max(count, 1));
}

void TerminalLine::down(int count)
{
    pendingWrap = false;
    rowIndex = int(std::min<qint64>(rowCount() - 1, qint64(rowIndex) + std::max(count, 1)));
}

void TerminalLine::toColumn(int target)
{
    pendingWrap = false;
    column = std::clamp(target, 1, columns) - 1;
}

void TerminalLine::carriageReturn()
{
    pendingWrap = false;
    column = 0;
}

void TerminalLine::tab()
{
    // Tab stops every eight columns; the cells passed over stay as they are.
    column = std::min(columns - 1, (column / 8 + 1) * 8);
}

bool TerminalLine::nextRow()
{
    pendingWrap = false;
    if (rowIndex + 1 >= rowCount())
        return false;
    ++rowIndex;
    return true;
}

void TerminalLine::insertBlanks(int count)
{
    pendingWrap = false;
    current().insertBlanks(column, std::max(count, 1), columns);
}

void TerminalLine::deleteCharacters(int count)
{
    pendingWrap = false;
    current().deleteCells(column, std::max(count, 1));
}

void TerminalLine::erase(int mode)
{
    constexpr qint64 end = std::numeric_limits<qint64>::max();
    if (mode == 0)
        current().erase(column, end);
    else if (mode == 1)
        current().erase(0, qint64(column) + 1);
    else if (mode == 2)
        current().erase(0, end);
}

void TerminalLine::eraseCharacters(int count)
{
    current().erase(column, qint64(column) + std::max(count, 1));
}

void TerminalLine::eraseBelow()
{
    erase(0);
    rows.resize(size_t(rowIndex) + 1);
    current().wrapped = false;
}

void TerminalLine::clear()
{
    rows.resize(1);
    rows.front().clear();
    rowIndex = 0;
    column = 0;
    pendingWrap = false;
}
