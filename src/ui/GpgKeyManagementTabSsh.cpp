// The SSH pages: the key pairs in ~/.ssh and the way to the configuration editor.
#include "ui/GpgKeyManagementTab.h"

#include "ui/SectionTitle.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

QWidget* GpgKeyManagementTab::buildSshPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(makeSectionTitle(QStringLiteral("SSH Keys (~/.ssh/)"), page));

    sshKeyTree = new QTreeWidget(page);
    sshKeyTree->setObjectName(QStringLiteral("sshKeyTree"));
    sshKeyTree->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Bits"), QStringLiteral("Fingerprint"),
                                 QStringLiteral("Comment"), QStringLiteral("File")});
    sshKeyTree->setAlternatingRowColors(true);
    sshKeyTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    sshKeyTree->setColumnWidth(2, 300);
    sshKeyTree->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(sshKeyTree);

    addButtonRow(layout, {{"Refresh", nullptr, &GpgKeyManagementTab::refreshSshKeys},
                          {"Generate SSH Key...", nullptr, nullptr},
                          {"Copy Public Key", "secondaryButton", nullptr},
                          {"Backup to Hardware Key", "secondaryButton", nullptr}});
    return page;
}

QWidget* GpgKeyManagementTab::buildSshConfigPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(makeSectionTitle(QStringLiteral("SSH Config (~/.ssh/config)"), page));
    auto* about = new QLabel(QStringLiteral("Manage SSH server connections. Define host aliases with connection "
                                            "parameters so you can type 'ssh myserver' instead of full commands."),
                             page);
    about->setWordWrap(true);
    layout->addWidget(about);
    auto* open = new QPushButton(QStringLiteral("Open SSH Config Editor..."), page);
    open->setStyleSheet(QStringLiteral("font-size: 15px; padding: 12px; font-weight: 600;"));
    layout->addWidget(open);
    layout->addStretch();
    return page;
}

void GpgKeyManagementTab::refreshSshKeys()
{
}
