#include "ui/TerminalWidget.h"

TerminalWidget::TerminalWidget(QWidget* parent)
    : QWidget(parent)
{
}
