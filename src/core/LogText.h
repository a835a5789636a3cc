#pragma once

#include <QString>

// Text from outside the program (certificates, servers, tool output, file
// names, key comments) on its way into a log line or a one-line label.
namespace LogText {

// Line breaks, every other control character and the bidirectional controls
// shown escaped ("\n", "\t", "\x1b", "\u202e"), so that such text can neither
// start a log line of its own nor reorder what a reader sees.
QString escaped(const QString& text);

// True when text holds anything escaped() would escape.
bool hasControls(const QString& text);

} // namespace LogText
