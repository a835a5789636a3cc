#include "app/MainWindow.h"
#include "app/StyleManager.h"

#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "piv/YkmanBridge.h"
#include "signing/OsslSigncodeBridge.h"
#include "ui/widgets/PageFill.h"

#include <QLabel>
#include <QStatusBar>
#include <QTimer>

void MainWindow::setupStatusBar()
{
    statusLabel = new QLabel(QStringLiteral("Ready"), this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    // Messages carry names that keys and tools report about themselves; a
    // product string is never to be read as markup.
    statusLabel->setTextFormat(Qt::PlainText);
    deviceCountLabel = new QLabel(QStringLiteral("Devices: 0"), this);
    deviceCountLabel->setObjectName(QStringLiteral("deviceCountLabel"));
    auto* toolsLabel = new QLabel(this);
    toolsLabel->setObjectName(QStringLiteral("toolsLabel"));
    toolsLabel->setTextFormat(Qt::PlainText); // it shows words of a tool's output
    toolsLabel->setStyleSheet(QStringLiteral("font-size: 11px; padding-right: 8px;"));
    StyleManager::setTone(toolsLabel, StyleManager::Muted);

    // The other two checks only look for a file; ykman has to be asked for its
    // version, which takes it longer than the window takes to open, so it is
    // asked once the window is on screen and the label is filled when the
    // answer is in.
    QStringList others;
    others << (opensc->isAvailable() ? QStringLiteral("opensc") : QStringLiteral("opensc: missing"));
    if (OsslSigncodeBridge().isAvailable())
        others << QStringLiteral("osslsigncode");
    const auto fill = [toolsLabel, others](const QString& ykmanText) {
        toolsLabel->setText((QStringList{ykmanText} + others).join(QLatin1String(" | ")));
    };
    if (ykman->isAvailable()) {
        PageFill::afterWindowShown(toolsLabel, [this, toolsLabel, fill] {
            ykman->versionAsync(toolsLabel, [fill](const QString& version) {
                fill(QStringLiteral("ykman ") + version.section(QLatin1Char(' '), -1));
            });
        });
    } else {
        fill(QStringLiteral("ykman: missing"));
    }

    statusBar()->addWidget(statusLabel, 1);
    statusBar()->addPermanentWidget(toolsLabel, 0);
    statusBar()->addPermanentWidget(deviceCountLabel, 0);
}

void MainWindow::updateStatusBar()
{
    const int count = fidoManager->deviceCount();
    deviceCountLabel->setText(QStringLiteral("Devices: %1").arg(count));
    if (lastDeviceCount < 0 || count == lastDeviceCount) {
        statusLabel->setText(QStringLiteral("Ready"));
        lastDeviceCount = count;
        return;
    }
    if (count < lastDeviceCount) {
        statusLabel->setText(QStringLiteral("Device disconnected (%1 total)").arg(count));
        statusLabel->setStyleSheet(QStringLiteral("font-weight: 600;"));
        StyleManager::setTone(statusLabel, StyleManager::Warning);
        logSession(QStringLiteral("Hotplug"), QStringLiteral("USB"), true,
                   QStringLiteral("%1 device(s) removed").arg(lastDeviceCount - count));
    } else {
        statusLabel->setText(QStringLiteral("Device connected (%1 total)").arg(count));
        statusLabel->setStyleSheet(QStringLiteral("font-weight: 600;"));
        StyleManager::setTone(statusLabel, StyleManager::Success);
        logSession(QStringLiteral("Hotplug"), QStringLiteral("USB"), true,
                   QStringLiteral("%1 device(s) connected").arg(count - lastDeviceCount));
    }
    // Each notice resets the label on its own schedule; none is cancelled.
    QTimer::singleShot(hotplugNoticeMs, Qt::CoarseTimer, this, [this] {
        statusLabel->setStyleSheet(QString());
        StyleManager::clearTone(statusLabel);
        statusLabel->setText(QStringLiteral("Ready"));
    });
    lastDeviceCount = count;
}
