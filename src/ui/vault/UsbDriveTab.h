#pragma once

#include "ui/vault/UsbDriveInfo.h"

#include <QList>
#include <QMessageBox>
#include <QWidget>

class QTextEdit;
class QTimer;
class QTreeWidget;

// The "USB Drives" page: external USB drives as diskutil lists them, polled
// in the background, described, analysed and given APFS encryption.
class UsbDriveTab : public QWidget
{
    Q_OBJECT
public:
    explicit UsbDriveTab(QWidget* parent = nullptr);

    // Runs the listing and one description per disk, waiting for each;
    // changes nothing here.
    QList<UsbDriveInfo> detectUsbDrives();
    // A listing is running in the background.
    bool isListing() const { return listingRuns; }

    // diskutil wait limits.
    int listTimeoutMs = 10000;
    int describeTimeoutMs = 5000;
    int encryptTimeoutMs = 30000;

public Q_SLOTS:
    // Lists the drives in the background and shows them when the answer is
    // in; the answer of a listing still running is dropped.
    void refreshDrives();
    void showDriveInfo();
    void analyzeSelected();
    void encryptSelected();

Q_SIGNALS:
    // A drive appeared where the previous poll found none.
    void usbDriveDetected(const QString& volumeName);
    // A refresh has ended: its rows are in, or it told why there are none.
    void drivesListed();
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    // A poll tick: skipped while a listing runs, and while diskutil is
    // missing, which is told once.
    void pollDrives();
    // The path diskutil runs from; empty, told once, when it is missing.
    QString diskutilPath();
    void describeNext(int asked, const QString& program, QStringList disks, QList<UsbDriveInfo> found);
    void showDrives(const QList<UsbDriveInfo>& found);
    // Tells a listing failure once, until a listing works again.
    void tellListingFailure(const QString& line);
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
    QString toldFailure;
    // Counts the listings begun; the answer of an earlier one is dropped.
    int listingGeneration = 0;
    bool listingRuns = false;
    // A question about a drive is open: no answer rebuilds the list under it.
    int questionsOpen = 0;
};
