#pragma once

#include <QString>

// Server-supplied names (logins, repository and key titles, messages) are
// untrusted text: shown in a one-line place they must stay on one line and
// must not stretch the window.
namespace GitHubText {

// Every control character (line breaks, tabs, escape, DEL, the C1 range and
// the Unicode line and paragraph separators) replaced by a space.
QString singleLine(const QString& text);
// singleLine, cut to maxChars with "…" at the end when longer.
QString elided(const QString& text, int maxChars);
// "N repos", or "N repos (N of M shown)" when a list was cut short.
QString listDetail(const QString& detail, const QString& shownNote);

// Labels longer than this are elided; their tool tip holds the whole text.
constexpr int maxLabelChars = 48;

} // namespace GitHubText
