#include "config/Settings.h"

#include "config/UserProfile.h"
#include "core/PrivateFiles.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <cerrno>
#include <unistd.h>

namespace {

// Written last of all by the INI writer (its group sorts after every other),
// so a scratch file that ends with it was written whole.
const QString sentinelKey = QString(QChar(0xFFFF)) + QLatin1Char('/') + QString(QChar(0xFFFF));
const QByteArray sentinelText = QByteArrayLiteral("[%UFFFF]\n%UFFFF=1\n");

// Settings files whose content could not be read in this run: writing the
// little that is known over them would lose the rest.
QSet<QString>& unreadableFiles()
{
    static QSet<QString> files;
    return files;
}

QString fileNameOf(QIODevice& device)
{
    auto* file = qobject_cast<QFileDevice*>(&device);
    return file ? QFileInfo(file->fileName()).absoluteFilePath() : QString();
}

// Qt offers its INI reader and writer only on a file: they run on a private
// scratch file beside the settings file.
QTemporaryDir scratchFor(const QString& settingsFile)
{
    return QTemporaryDir(QFileInfo(settingsFile).absolutePath() + QStringLiteral("/.settings-XXXXXX"));
}

// A second name for the settings file, under which Qt's INI reader can read
// it without meeting the object that is reading it now. A hard link takes no
// room for the content, so reading works on a full disk too.
QString linkedAlias(const QString& settingsFile)
{
    const QString folder = QFileInfo(settingsFile).absolutePath();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const QString alias = folder + QStringLiteral("/.settings-read-")
            + QString::number(QRandomGenerator::global()->generate64(), 36);
        if (::link(QFile::encodeName(settingsFile).constData(), QFile::encodeName(alias).constData()) == 0)
            return alias;
        if (errno != EEXIST)
            break;
    }
    return {};
}

void readInto(const QString& iniFile, QSettings::SettingsMap& map, bool* ok)
{
    QSettings ini(iniFile, QSettings::IniFormat);
    for (const QString& key : ini.allKeys())
        map.insert(key, ini.value(key));
    *ok = ini.status() == QSettings::NoError;
}

// The settings file's keys as they stand on disk.
bool readFileInto(const QString& name, QIODevice* device, QSettings::SettingsMap& map)
{
    bool ok = false;
    const QString alias = linkedAlias(name);
    if (!alias.isEmpty()) {
        readInto(alias, map, &ok);
        QFile::remove(alias);
    } else {
        // A file system without hard links: read a private copy.
        QFile file(name);
        if (!device && file.open(QIODevice::ReadOnly))
            device = &file;
        const QByteArray bytes = device ? device->readAll() : QByteArray();
        QTemporaryDir scratch = scratchFor(name);
        const QString copy = scratch.filePath(QStringLiteral("read.ini"));
        if (scratch.isValid() && PrivateFiles::writeOwnerOnly(copy, bytes))
            readInto(copy, map, &ok);
    }
    return ok;
}

bool readIni(QIODevice& device, QSettings::SettingsMap& map)
{
    const QString name = fileNameOf(device);
    const bool ok = readFileInto(name, &device, map);
    if (ok)
        unreadableFiles().remove(name);
    else
        unreadableFiles().insert(name);
    return ok;
}

bool writeIni(QIODevice& device, const QSettings::SettingsMap& map)
{
    auto* file = qobject_cast<QFileDevice*>(&device);
    const QString name = fileNameOf(device);
    if (!file || unreadableFiles().contains(name))
        return false;
    QTemporaryDir scratch = scratchFor(name);
    if (!scratch.isValid())
        return false;
    const QString staged = scratch.filePath(QStringLiteral("write.ini"));
    {
        QSettings ini(staged, QSettings::IniFormat);
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            ini.setValue(it.key(), it.value());
        ini.setValue(sentinelKey, 1);
        ini.sync();
        if (ini.status() != QSettings::NoError)
            return false;
    }
    QFile stagedFile(staged);
    if (!stagedFile.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = stagedFile.readAll();
    // The scratch file went through the same unchecked commit: only the
    // sentinel at its very end proves it was written whole.
    if (!bytes.endsWith(sentinelText))
        return false;
    bytes.chop(sentinelText.size());
    if (bytes.endsWith("\n\n"))  // the blank line before the sentinel's group
        bytes.chop(1);
    return PrivateFiles::writeFully(*file, bytes);
}

// The settings file's path, its folder made private first: QSettings would
// otherwise create a missing folder with the default mode.
QString preparedSettingsPath()
{
    PrivateFiles::makePrivateDir(UserProfile::configDir());
    return UserProfile::configPath();
}

} // namespace

QSettings::Format AppSettings::format()
{
    static const QSettings::Format registered =
        QSettings::registerFormat(QStringLiteral("yaml"), readIni, writeIni);
    return registered;
}

AppSettings::AppSettings()
    : settings(preparedSettingsPath(), format())
{
}

AppSettings::~AppSettings()
{
    sync();
}

bool AppSettings::sync()
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return true;
    discardUnwritten();
    return false;
}

void AppSettings::discardUnwritten()
{
    // Qt keeps the changes it could not write in a cache that every later
    // settings object on this file shares: they would read as stored, and go
    // out with the next change that can be written. Setting every key back
    // to what the file holds leaves nothing but the file's own content.
    QSettings::SettingsMap onDisk;
    if (!QFileInfo::exists(settings.fileName()) || !readFileInto(settings.fileName(), nullptr, onDisk))
        return;
    for (int depth = 0; depth < 64 && !settings.group().isEmpty(); ++depth)
        settings.endGroup();
    for (const QString& key : settings.allKeys()) {
        if (!onDisk.contains(key))
            settings.remove(key);
    }
    for (auto it = onDisk.cbegin(); it != onDisk.cend(); ++it)
        settings.setValue(it.key(), it.value());
}
