#include "ui/remote/TerminalLine.h"

#include <algorithm>

namespace {
// Blanks a terminal leaves where nothing was written take no colour.
constexpr quint16 blankStyle = 0;
}

void TerminalLine::clear()
{
    // Keeps the buffers: a new line comes with every line feed.
    chars.resize(0);
    styles.clear();
    column = 0;
}

void TerminalLine::padTo(qsizetype length)
{
    if (chars.size() >= length)
        return;
    styles.resize(size_t(length), blankStyle);
    chars.append(QString(length - chars.size(), QLatin1Char(' ')));
}

void TerminalLine::put(QStringView part, quint16 style)
{
    padTo(column);
    const qsizetype overwritten = std::min<qsizetype>(part.size(), chars.size() - column);
    if (overwritten == 0) {
        chars.append(part);
    } else {
        chars.replace(column, overwritten, part.data(), part.size());
    }
    const size_t end = size_t(column + part.size());
    if (styles.size() < end)
        styles.resize(end);
    std::fill(styles.begin() + column, styles.begin() + qsizetype(end), style);
    column += int(part.size());
}

void TerminalLine::insertBlanks(int count)
{
    count = std::max(count, 1);
    if (column >= chars.size())
        return;   // blanks after the end show as nothing
    count = std::min(count, maxColumns - column);
    chars.insert(column, QString(count, QLatin1Char(' ')));
    styles.insert(styles.begin() + column, size_t(count), blankStyle);
    // What is pushed past the last column is lost, as at a terminal's margin.
    if (chars.size() > maxColumns) {
        chars.truncate(maxColumns);
        styles.resize(maxColumns);
    }
}

void TerminalLine::deleteCharacters(int count)
{
    count = std::max(count, 1);
    if (column >= chars.size())
        return;
    const qsizetype removed = std::min<qsizetype>(count, chars.size() - column);
    chars.remove(column, removed);
    styles.erase(styles.begin() + column, styles.begin() + column + removed);
}

void TerminalLine::erase(int mode)
{
    if (mode == 0) {
        if (column < chars.size()) {
            chars.truncate(column);
            styles.resize(size_t(column));
        }
    } else if (mode == 1) {
        const qsizetype end = std::min<qsizetype>(column + 1, chars.size());
        for (qsizetype i = 0; i < end; ++i) {
            chars[i] = QLatin1Char(' ');
            styles[size_t(i)] = blankStyle;
        }
        if (end == chars.size()) {
            chars.resize(0);   // nothing but blanks is left
            styles.clear();
        }
    } else if (mode == 2) {
        chars.resize(0);
        styles.clear();
    }
}

QList<TerminalLine::Run> TerminalLine::runs() const
{
    QList<Run> list;
    forEachRun([&list](const Run& run) { list.append(run); });
    return list;
}
