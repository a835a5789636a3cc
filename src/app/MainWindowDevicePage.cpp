#include "app/MainWindow.h"

#include "ui/SectionTitle.h"

QWidget* MainWindow::createDeviceInspectorTab()
{
    return makeTitledPage(QStringLiteral("Device Inspector"));
}
