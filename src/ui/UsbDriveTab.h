#pragma once

#include <QWidget>

// The "USB Drives" page: external USB drives, their encryption state and
// their encryption.
class UsbDriveTab : public QWidget
{
    Q_OBJECT
public:
    explicit UsbDriveTab(QWidget* parent = nullptr);

Q_SIGNALS:
    // A drive appeared where the previous poll found none.
    void usbDriveDetected(const QString& volumeName);
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);
};
