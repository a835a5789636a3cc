#pragma once

#include <QString>

// Server-supplied names (logins, repository and key titles, messages) are
// untrusted text: shown in a one-line place they must stay on one line and
// must not stretch the window.
namespace GitHubText {

// Every control character (line breaks, tabs, escape, DEL, the C1 range,
// the Unicode line and paragraph separators and the bidirectional controls)
// shown escaped, as in the log: "\n", "\u202e".
QString singleLine(const QString& text);
// singleLine, cut to maxChars with "…" at the end when longer.
QString elided(const QString& text, int maxChars);
// The text as a tool tip that shows it as it is: Qt reads a tool tip that
// looks like markup as rich text, and a name such as "<img src=…>" would be
// drawn rather than shown.
QString toolTip(const QString& text);
// A time limit as the user meets it: "15", "1.5".
QString seconds(int ms);
// "N repos", or "N repos (N of M shown)" when a list was cut short.
QString listDetail(const QString& detail, const QString& shownNote);

// Labels longer than this are elided; their tool tip holds the whole text.
constexpr int maxLabelChars = 48;

} // namespace GitHubText
