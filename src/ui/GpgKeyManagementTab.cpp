#include "ui/GpgKeyManagementTab.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

GpgKeyManagementTab::GpgKeyManagementTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("GPG / OpenPGP Keyring"), this));
    layout->addStretch();
}
