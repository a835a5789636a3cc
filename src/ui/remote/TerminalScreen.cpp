#include "ui/remote/TerminalScreen.h"

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
    line.write(decoded, style, [this](const TerminalLine&) { finishLine(); });
    decoded.resize(0);   // keeps its buffer for the next run
}

void TerminalScreen::finishLine()
{
    const auto add = [this](QStringView text, quint16 runStyle) {
        finished.text.append(text);
        if (!finished.spans.empty() && finished.spans.back().style == runStyle)
            finished.spans.back().length += text.size();
        else
            finished.spans.push_back({text.size(), runStyle});
    };
    line.forEachRun([&add](const TerminalLine::Run& run) { add(run.text, run.style); });
    add(u"\n", finished.spans.empty() ? style : finished.spans.back().style);
    ++finishedLines;
    finishedCharacters += line.text().size() + 1;
    line.clear();
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
        finishLine();
        break;
    case '\t': {
        // Tab stops every eight columns; the cells passed over stay as they are.
        const int next = (line.cursor() / 8 + 1) * 8;
        line.right(next - line.cursor());
        break;
    }
    default:
        // NUL, BEL and the rest show nothing.
        break;
    }
}

void TerminalScreen::dispatch(const TerminalSequence& sequence)
{
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
