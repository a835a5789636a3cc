#pragma once

class QString;
class QTextEdit;
class QWidget;

namespace LogView {

// Appends one line to a read-only log view as plain text in a new block. A
// view scrolled to the end follows the new line; one the user scrolled back
// in keeps its place. QTextEdit::append guesses rich text: it would swallow
// "<b>", turn "&lt;" into "<" and collapse the column padding of a log line.
void appendLine(QTextEdit* view, const QString& line);

// A read-only monospace view for log lines.
QTextEdit* createLogView(QWidget* parent = nullptr);

} // namespace LogView
