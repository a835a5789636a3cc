#include "WidgetLookup.h"

#include <QPushButton>
#include <QtTest>

QPushButton* findButton(QWidget* within, const QString& text)
{
    for (QPushButton* button : within->findChildren<QPushButton*>()) {
        if (button->text() == text)
            return button;
    }
    return nullptr;
}

void clickButton(QWidget* within, const QString& text)
{
    QPushButton* button = findButton(within, text);
    if (!button)
        QFAIL(qPrintable(QStringLiteral("no button ") + text));
    button->click();
}
