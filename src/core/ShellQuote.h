#pragma once

#include <QString>

// Command lines this program hands to the user's shell (through the
// Terminal application) carry host names, user names and paths that come
// from stored settings and file dialogs: each such word is quoted, so none of
// it is ever read as shell syntax.
namespace ShellQuote {

// The word in single quotes ("'" becomes "'\''"); a leading "~/" stays
// outside the quotes so the shell still expands it: ~/'.ssh/id_ed25519'.
QString word(const QString& text);

// The AppleScript that opens the Terminal application and runs the command
// line there, the line escaped for the script's string literal.
QString terminalScript(const QString& commandLine);

} // namespace ShellQuote
