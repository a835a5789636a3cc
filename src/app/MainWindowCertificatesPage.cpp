#include "app/MainWindow.h"

#include "ui/SectionTitle.h"

QWidget* MainWindow::createCertificatesTab()
{
    return makeTitledPage(QStringLiteral("Certificates"));
}
