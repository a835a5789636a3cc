#pragma once

#include <QString>
#include <QStringList>

// One external drive as diskutil describes it.
struct UsbDriveInfo
{
    QString device;       // "/dev/" + the whole-disk identifier
    QString volumeName;
    QString mountPoint;
    QString filesystem;
    QString protocol;
    qint64 sizeBytes = 0;
    bool removable = false;
    bool encrypted = false;
    bool mounted = false;

    // The record read from the lines of "diskutil info <disk>". Values are
    // taken after the first colon, so a mount point holding ":" stays whole;
    // a later line for a field wins.
    static UsbDriveInfo fromDescription(const QString& device, const QString& description);
    // The disk identifiers ("disk4") of the lines of "diskutil list external"
    // that start with "/dev/disk", each once, in order of first appearance.
    static QStringList diskIdentifiers(const QString& listing);
    // "1.0 GB" from 2^30 bytes on, else whole megabytes ("1024 MB").
    static QString sizeText(qint64 bytes);
};
