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
    // "Volume UUID:": with the device and the volume name, what tells this
    // volume from another that later takes the same device identifier.
    QString volumeUuid;

    // The same volume at the same device: what a confirmation was given for.
    bool sameVolume(const UsbDriveInfo& other) const
    {
        return device == other.device && volumeName == other.volumeName && volumeUuid == other.volumeUuid;
    }

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
