#include "ui/remote/TerminalCharWidth.h"

#include <algorithm>
#include <iterator>

namespace {

struct CodePointRange
{
    char32_t first;
    char32_t last;
};

#include "ui/remote/TerminalCharWidthTable.inc"

template<size_t N>
bool contains(const CodePointRange (&table)[N], char32_t codePoint)
{
    if (codePoint < table[0].first || codePoint > table[N - 1].last)
        return false;
    const auto after = std::upper_bound(std::begin(table), std::end(table), codePoint,
                                        [](char32_t value, const CodePointRange& range) { return value < range.first; });
    return after != std::begin(table) && codePoint <= std::prev(after)->last;
}

} // namespace

int terminalCharWidth(char32_t codePoint)
{
    // Below the combining diacritics every character takes one column.
    if (codePoint < 0x300)
        return 1;
    if (contains(zeroWidth, codePoint))
        return 0;
    return contains(doubleWidth, codePoint) ? 2 : 1;
}
