#include "core/LogView.h"

#include <QFont>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

namespace LogView {

void appendLine(QTextEdit* view, const QString& line)
{
    if (!view)
        return;
    QScrollBar* bar = view->verticalScrollBar();
    const int position = bar->value();
    const bool following = position >= bar->maximum();
    QTextCursor cursor(view->document());
    cursor.movePosition(QTextCursor::End);
    // One edit, so the view lays the new block out once, not once for the
    // empty block and again for its text.
    cursor.beginEditBlock();
    if (!view->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    cursor.endEditBlock();
    bar->setValue(following ? bar->maximum() : position);
}

QTextEdit* createLogView(QWidget* parent)
{
    auto* view = new QTextEdit(parent);
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    // Nobody undoes a log line: an undo history would only keep a second copy
    // of every line and cost time at each one.
    view->document()->setUndoRedoEnabled(false);
    QFont font(QStringLiteral("SF Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    view->setFont(font);
    return view;
}

} // namespace LogView
