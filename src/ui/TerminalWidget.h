#pragma once

#include <QWidget>

// One terminal: a pseudo-terminal session and its screen.
class TerminalWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TerminalWidget(QWidget* parent = nullptr);
};
