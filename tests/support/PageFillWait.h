#pragma once

#include "ui/widgets/PageFill.h"

#include <QWidget>

// True once the page that holds view has filled at least once and no fill of
// it is running: a page fills in the background, so a test waits on this
// (QTRY_VERIFY) before it looks at the rows.
inline bool pageFilled(QWidget* view)
{
    QWidget* page = view ? view->parentWidget() : nullptr;
    PageFill* fill = page ? page->findChild<PageFill*>() : nullptr;
    return fill && fill->hasStarted() && !fill->isFilling();
}
