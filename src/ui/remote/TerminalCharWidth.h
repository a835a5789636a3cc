#pragma once

// The columns a character takes on a terminal, counted as the C library's
// wcwidth counts them in a UTF-8 locale, which is how the shell places its
// cursor: 2 for a wide character (ideographs, most emoji), 0 for a mark that
// combines with the character before it (and for format characters), 1 for
// any other.
int terminalCharWidth(char32_t codePoint);
