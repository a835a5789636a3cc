#pragma once

#include "ui/vault/UsbDriveInfo.h"

#include <QList>
#include <QMessageBox>
#include <QWidget>

class QTextEdit;
class QTimer;
class QTreeWidget;

// The "USB Drives" page: external USB drives as diskutil lists them, polled,
// described, analysed and given APFS encryption.
class UsbDriveTab : public QWidget
{
    Q_OBJECT
public:
    explicit UsbDriveTab(QWidget* parent = nullptr);

    // Runs the listing and one description per disk; changes nothing here.
    QList<UsbDriveInfo> detectUsbDrives();

    // diskutil wait limits.
    int listTimeoutMs = 10000;
    int describeTimeoutMs = 5000;
    int encryptTimeoutMs = 30000;

public Q_SLOTS:
    void refreshDrives();
    void showDriveInfo();
    void analyzeSelected();
    void encryptSelected();

Q_SIGNALS:
    // A drive appeared where the previous poll found none.
    void usbDriveDetected(const QString& volumeName);
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    // The drive of the current row; null when there is none.
    const UsbDriveInfo* selectedDrive() const;
    QString describe(const QString& disk);
    void log(const QString& line);
    // A modal box over the tab, its text shown as plain text (volume names
    // come from the tool). The poll waits while it is open, so the list the
    // user answers about is not rebuilt under the question.
    QMessageBox::StandardButton showBox(QMessageBox::Icon icon, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton);

    QTreeWidget* driveTree = nullptr;
    QTextEdit* usbLog = nullptr;
    QTimer* pollTimer = nullptr;
    QList<UsbDriveInfo> drives;
    bool toldDiskutilMissing = false;
};
