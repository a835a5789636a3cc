#include "ui/UsbDriveTab.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

UsbDriveTab::UsbDriveTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("USB Storage Drive Management"), this));
    layout->addStretch();
}
