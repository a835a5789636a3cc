#include "app/MainWindow.h"

#include "ui/SectionTitle.h"

QWidget* MainWindow::createSessionLogTab()
{
    return makeTitledPage(QStringLiteral("Session Log"));
}
