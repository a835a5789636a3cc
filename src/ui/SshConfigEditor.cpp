#include "ui/SshConfigEditor.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

SshConfigEditor::SshConfigEditor(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("SSH Config Editor \u2014 ~/.ssh/config"));
    setMinimumSize(900, 500);
    resize(1000, 580);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("SSH Config (~/.ssh/config)"), this));
    layout->addStretch();
}
