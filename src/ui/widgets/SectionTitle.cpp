#include "ui/widgets/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

QLabel* makeSectionTitle(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QStringLiteral("sectionTitle"));
    return label;
}

QWidget* makeTitledPage(const QString& title)
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(makeSectionTitle(title, page));
    layout->addStretch();
    return page;
}
