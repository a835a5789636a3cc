#include "ui/remote/TerminalScreen.h"

#include <cstring>

TerminalScreen::TerminalScreen(const TerminalTheme& initialTheme)
{
    setTheme(initialTheme);
}

void TerminalScreen::setTheme(const TerminalTheme& newTheme)
{
    theme = newTheme;
    currentFg = theme.foreground;
    currentBg = theme.background;
    selectStyle();
}

void TerminalScreen::selectStyle()
{
    // Text in the theme's own background carries none, so it follows a later
    // change of theme.
    const QColor background = currentBg == theme.background ? QColor() : currentBg;
    const QPair<QRgb, QRgb> key(currentFg.rgba(), background.isValid() ? background.rgba() : 0);
    const auto found = styleIndex.constFind(key);
    if (found != styleIndex.constEnd()) {
        style = *found;
        return;
    }
    // Colours come from the themes' palettes only, so the table stays small;
    // it is bounded all the same.
    if (styles.size() >= 0xFFFF) {
        style = blankStyle;
        return;
    }
    style = quint16(styles.size());
    styles.append({currentFg, background});
    styleIndex.insert(key, style);
}

void TerminalScreen::setSize(int columns, int rows)
{
    line.setWidth(columns);
    screenRows = std::max(rows, 1);
    scrollOff();
}

void TerminalScreen::setHistoryLimit(int rows, qsizetype characters)
{
    historyRows = std::max(rows, 1);
    historyCharacters = std::max<qsizetype>(characters, 1);
    dropOldRows();
}

void TerminalScreen::feed(const char* bytes, qsizetype size)
{
    parser.feed(bytes, size);
    writeText();
}

TerminalScreen::Finished TerminalScreen::takeFinishedLines()
{
    finishedLines = 0;
    finishedCharacters = 0;
    return std::exchange(finished, {});
}

void TerminalScreen::print(const char* bytes, qsizetype size)
{
    decoder.decode(bytes, size, decoded);
    // Decoded text waits for the end of the chunk or the next control, so
    // the line takes it in one piece.
}

void TerminalScreen::endText()
{
    decoder.endText(decoded);
    writeText();
}

void TerminalScreen::writeText()
{
    if (decoded.isEmpty())
        return;
    line.write(decoded, style);
    decoded.resize(0);   // keeps its buffer for the next run
    scrollOff();
}

void TerminalScreen::finishLine()
{
    for (int row = 0; row < line.rowCount(); ++row)
        finishRow(line.row(row));
    line.clear();
}

// Rows above the screen's top can no longer change: they are done.
void TerminalScreen::scrollOff()
{
    const int excess = line.rowCount() - screenRows;
    if (excess > 0)
        line.takeTopRows(excess, [this](const TerminalRow& row) { finishRow(row); });
}

void TerminalScreen::addSpan(qsizetype length, quint16 runStyle)
{
    if (!finished.spans.empty() && finished.spans.back().style == runStyle)
        finished.spans.back().length += length;
    else
        finished.spans.push_back({length, runStyle});
}

void TerminalScreen::finishRow(const TerminalRow& row)
{
    const qsizetype before = finished.text.size();
    row.appendTo(finished.text, [this](qsizetype length, quint16 runStyle) { addSpan(length, runStyle); });
    finished.text.append(QLatin1Char('\n'));
    addSpan(1, finished.spans.empty() ? style : finished.spans.back().style);
    ++finishedLines;
    finishedCharacters += finished.text.size() - before;
    dropOldRows();
}

void TerminalScreen::dropFinished(qsizetype length, int rows)
{
    length = std::min(length, finished.text.size());
    // What stays moves to the front of the buffer, whose room then takes
    // the rows that come next: the buffer is never made anew.
    const qsizetype left = finished.text.size() - length;
    if (left > 0) {
        QChar* data = finished.text.data();
        std::memmove(static_cast<void*>(data), data + length, size_t(left) * sizeof(QChar));
    }
    finished.text.truncate(left);
    size_t first = 0;
    while (first < finished.spans.size() && finished.spans[first].length <= length)
        length -= finished.spans[first++].length;
    finished.spans.erase(finished.spans.begin(), finished.spans.begin() + qsizetype(first));
    if (length > 0 && !finished.spans.empty())
        finished.spans.front().length -= length;
    finishedLines = std::max(0, finishedLines - rows);
    finishedCharacters = finished.text.size();
}

// Rows beyond what the history keeps would fall away in the view unseen:
// once twice as many wait, the oldest go, so that each row is dropped once
// and the text is not moved for every new row.
void TerminalScreen::dropOldRows()
{
    if (finishedLines <= 2 * qint64(historyRows) && finishedCharacters <= 2 * historyCharacters)
        return;
    qsizetype cut = finished.text.size();
    int kept = 0;
    while (kept < historyRows && cut > 0) {
        const qsizetype start = cut >= 2 ? finished.text.lastIndexOf(QLatin1Char('\n'), cut - 2) + 1 : 0;
        if (finished.text.size() - start > historyCharacters && kept > 0)
            break;
        cut = start;
        ++kept;
    }
    if (cut == 0)
        return;
    finished.dropped += finishedLines - kept;
    dropFinished(cut, finishedLines - kept);
}

void TerminalScreen::execute(char control)
{
    switch (control) {
    case '\b':
        line.backspace();
        break;
    case '\r':
        line.carriageReturn();
        break;
    case '\n':
    case '\v':
    case '\f':
        // Within a line that wraps, a line feed moves down one of its rows.
        if (!line.nextRow())
            finishLine();
        break;
    case '\t':
        line.tab();
        break;
    default:
        // NUL, BEL and the rest show nothing.
        break;
    }
}

void TerminalScreen::dispatch(const TerminalSequence& sequence)
{
    if (sequence.privateMarker == '?' && sequence.intermediateCount == 0
        && (sequence.final == 'h' || sequence.final == 'l')) {
        setModes(sequence, sequence.final == 'h');
        return;
    }
    if (!sequence.plain())
        return;   // ESC[>4;1m and the like are modes, not colours
    switch (sequence.final) {
    case 'm':
        applySgr(sequence);
        break;
    case 'D':
        line.left(sequence.parameter(0, 1));
        break;
    case 'C':
        line.right(sequence.parameter(0, 1));
        break;
    case 'A':
        line.up(sequence.parameter(0, 1));
        break;
    case 'B':
        line.down(sequence.parameter(0, 1));
        break;
    case 'G':
    case '`':
        line.toColumn(sequence.parameter(0, 1));
        break;
    case 'X':
        line.eraseCharacters(sequence.parameter(0, 1));
        break;
    case 'J':
        // Erasing the rest of the screen: below the cursor is only the rest
        // of its line. The whole screen is not cleared: the view keeps what
        // scrolled by.
        if (sequence.parameter(0, 0) == 0)
            line.eraseBelow();
        break;
    case '@':
        line.insertBlanks(sequence.parameter(0, 1));
        break;
    case 'P':
        line.deleteCharacters(sequence.parameter(0, 1));
        break;
    case 'K':
        line.erase(sequence.parameter(0, 0));
        break;
    default:
        break;
    }
}

void TerminalScreen::setModes(const TerminalSequence& sequence, bool on)
{
    for (int i = 0; i < sequence.parameterCount; ++i) {
        if (sequence.parameter(i, 0) == 2004)
            bracketedPasteMode = on;
    }
}

void TerminalScreen::applySgr(const TerminalSequence& sequence)
{
    const int count = std::max(sequence.parameterCount, 1);
    for (int i = 0; i < count; ++i) {
        const int n = sequence.parameter(i, 0);
        if (n == 0) {
            currentFg = theme.foreground;
            currentBg = theme.background;
            bold = false;
        } else if (n == 1) {
            bold = true;
        } else if (n >= 30 && n <= 37) {
            currentFg = theme.ansi[(n - 30) + (bold ? 8 : 0)];
        } else if (n == 39) {
            currentFg = theme.foreground;
        } else if (n >= 40 && n <= 47) {
            currentBg = theme.ansi[n - 40];
        } else if (n == 49) {
            currentBg = theme.background;
        } else if (n >= 90 && n <= 97) {
            currentFg = theme.ansi[n - 82];
        } else if (n >= 100 && n <= 107) {
            currentBg = theme.ansi[n - 92];
        }
    }
    selectStyle();
}
