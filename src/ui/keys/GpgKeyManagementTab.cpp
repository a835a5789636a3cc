// The GPG / SSH tab's frame: its three pages, the shared log view and the
// button rows. The pages' own work lives in GpgKeyManagementTabGpg.cpp and
// GpgKeyManagementTabSsh.cpp.
#include "ui/keys/GpgKeyManagementTab.h"

#include "core/LogText.h"
#include "core/LogView.h"
#include "ui/widgets/PageFill.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

GpgKeyManagementTab::GpgKeyManagementTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    auto* pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("gpgSshPages"));
    pages->addTab(buildGpgPage(), QStringLiteral("GPG / OpenPGP Keyring"));
    pages->addTab(buildSshPage(), QStringLiteral("SSH Keys"));
    pages->addTab(buildSshConfigPage(), QStringLiteral("SSH Config"));
    layout->addWidget(pages);

    logView = LogView::createLogView(this);
    logView->setObjectName(QStringLiteral("gpgSshLogView"));
    logView->setMaximumHeight(100);
    logView->setPlaceholderText(QStringLiteral("Key operations log..."));
    layout->addWidget(logView);
}

void GpgKeyManagementTab::addButtonRow(QBoxLayout* layout, std::initializer_list<ButtonSpec> buttons)
{
    auto* row = new QHBoxLayout;
    for (const ButtonSpec& spec : buttons) {
        auto* button = new QPushButton(QString::fromUtf8(spec.text));
        if (spec.objectName)
            button->setObjectName(QString::fromLatin1(spec.objectName));
        if (spec.operation)
            connect(button, &QPushButton::clicked, this, spec.operation);
        row->addWidget(button);
    }
    row->addStretch();
    layout->addLayout(row);
}

QLabel* GpgKeyManagementTab::addStatusLabel(QBoxLayout* layout)
{
    auto* status = new QLabel;
    status->setObjectName(QStringLiteral("warningStatus"));
    status->setWordWrap(true);
    status->setTextFormat(Qt::PlainText);   // it quotes tool output
    status->hide();
    layout->addWidget(status);
    return status;
}

PageFill* GpgKeyManagementTab::addPageFill(QWidget* page, QTreeWidget* tree, QLabel* status)
{
    auto* fill = new PageFill(page, tree, status);
    connect(fill, &PageFill::logLine, this, [this](const QString& line) { log(line); });
    return fill;
}

void GpgKeyManagementTab::log(const QString& line)
{
    // Every line of this view is one line by design: whatever would break
    // one, or reorder what it shows, came from outside.
    LogView::appendLine(logView, LogText::escaped(line));
}
