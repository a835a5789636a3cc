#include "ui/NetworkDiagnosticsDialog.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

NetworkDiagnosticsDialog::NetworkDiagnosticsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("Network Diagnostics \u2014 Ostrevan Tessaril"));
    setMinimumSize(750, 500);
    resize(800, 550);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);
    layout->addWidget(makeSectionTitle(QStringLiteral("Network Diagnostics"), this));
    layout->addStretch();
}
