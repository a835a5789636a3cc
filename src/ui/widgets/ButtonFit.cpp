#include "ui/widgets/ButtonFit.h"

#include <QFrame>
#include <QPushButton>
#include <QScrollArea>

void fitButtonToText(QPushButton* button, int width, int height)
{
    if (!button)
        return;
    // A minimum, not a fixed width: the layout still grants the size hint,
    // which follows the text and the style sheet's font and padding.
    button->setMinimumWidth(width);
    button->setMaximumWidth(QWIDGETSIZE_MAX);
    if (height > 0)
        button->setFixedHeight(height);
}

QWidget* scrollablePage(QWidget* page)
{
    auto* area = new QScrollArea;
    area->setObjectName(QStringLiteral("pageScrollArea"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidgetResizable(true);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area->setWidget(page);
    return area;
}
