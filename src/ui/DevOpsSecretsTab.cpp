#include "ui/DevOpsSecretsTab.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

DevOpsSecretsTab::DevOpsSecretsTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("DevOps Tools"), this));
    layout->addStretch();
}
