#include "app/MainWindow.h"

#include <QLabel>
#include <QStatusBar>

void MainWindow::setupStatusBar()
{
    statusLabel = new QLabel(QStringLiteral("Ready"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    deviceCountLabel = new QLabel(QStringLiteral("Devices: 0"), this);
    deviceCountLabel->setObjectName(QStringLiteral("deviceCountLabel"));
    auto* toolsLabel = new QLabel(this);
    toolsLabel->setObjectName(QStringLiteral("toolsLabel"));
    toolsLabel->setStyleSheet(QStringLiteral("color: #6b7280; font-size: 11px; padding-right: 8px;"));

    statusBar()->addWidget(statusLabel, 1);
    statusBar()->addPermanentWidget(toolsLabel, 0);
    statusBar()->addPermanentWidget(deviceCountLabel, 0);
}

int MainWindow::connectedKeyCount() const
{
    return 0;
}

void MainWindow::updateStatusBar()
{
}
