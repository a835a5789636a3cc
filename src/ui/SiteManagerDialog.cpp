#include "ui/SiteManagerDialog.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

SiteManagerDialog::SiteManagerDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("Site Manager \u2014 Ostrevan Tessaril"));
    setMinimumSize(800, 500);
    resize(900, 560);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("Site Manager"), this));
    layout->addStretch();
}
