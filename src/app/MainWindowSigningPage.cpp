#include "app/MainWindow.h"

#include "ui/SectionTitle.h"

QWidget* MainWindow::createCodeSigningTab()
{
    return makeTitledPage(QStringLiteral("Code Signing"));
}
