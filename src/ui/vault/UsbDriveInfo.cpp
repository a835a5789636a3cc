#include "ui/vault/UsbDriveInfo.h"

#include <cmath>

QStringList UsbDriveInfo::diskIdentifiers(const QString& listing)
{
    QStringList disks;
    // Only a line that starts with the device path names a disk; the indented
    // partition lines below it do not.
    for (const QString& line : listing.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("/dev/disk")))
            continue;
        const QString path = line.section(QLatin1Char(' '), 0, 0);
        const QString disk = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        if (!disks.contains(disk))
            disks << disk;
    }
    return disks;
}

UsbDriveInfo UsbDriveInfo::fromDescription(const QString& device, const QString& description)
{
    UsbDriveInfo info;
    info.device = device;
    for (const QString& raw : description.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        const QString value = line.mid(line.indexOf(QLatin1Char(':')) + 1).trimmed();
        const auto has = [&line](const char* key) { return line.startsWith(QLatin1String(key)); };
        if (has("Volume Name:")) {
            info.volumeName = value;
        } else if (has("Mount Point:")) {
            info.mountPoint = value;
        } else if (has("File System Personality:") || has("Type (Bundle):")) {
            info.filesystem = value;
        } else if (has("Disk Size:")) {
            // "Disk Size: 16.0 GB (16008609792 Bytes) (exactly ...)"
            const int open = line.indexOf(QLatin1Char('('));
            bool ok = false;
            const qint64 bytes =
                open < 0 ? 0 : line.mid(open + 1).section(QLatin1Char(' '), 0, 0).toLongLong(&ok, 10);
            info.sizeBytes = ok ? bytes : 0;
        } else if (has("Removable Media:")) {
            info.removable = value.contains(QLatin1String("Removable"));
        } else if (has("Protocol:")) {
            info.protocol = value;
        } else if (has("Encrypted:")) {
            info.encrypted = value.toLower() == QLatin1String("yes");
        } else if (has("Mounted:")) {
            info.mounted = value.toLower() == QLatin1String("yes");
        } else if (has("Volume UUID:")) {
            info.volumeUuid = value;
        }
    }
    return info;
}

QString UsbDriveInfo::sizeText(qint64 bytes)
{
    const double gigabytes = double(bytes) / (1024.0 * 1024.0 * 1024.0);
    if (gigabytes >= 1.0)
        return QStringLiteral("%1 GB").arg(gigabytes, 0, 'f', 1);
    return QStringLiteral("%1 MB").arg(std::llround(double(bytes) / (1024.0 * 1024.0)));
}
