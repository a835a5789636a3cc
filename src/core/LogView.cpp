#include "core/LogView.h"

#include <QFont>
#include <QScrollBar>
#include <QTextCursor>
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
    if (!view->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    bar->setValue(following ? bar->maximum() : position);
}

QTextEdit* createLogView(QWidget* parent)
{
    auto* view = new QTextEdit(parent);
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    QFont font(QStringLiteral("SF Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    view->setFont(font);
    return view;
}

} // namespace LogView
