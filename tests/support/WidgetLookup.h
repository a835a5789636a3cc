#pragma once

#include <QString>

class QPushButton;
class QWidget;

// Buttons are found by the text a user reads on them.

// The first push button inside within with exactly this text; null when none.
QPushButton* findButton(QWidget* within, const QString& text);

// Clicks that button; the test fails when there is none.
void clickButton(QWidget* within, const QString& text);
