#include "core/PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <sys/stat.h>

namespace PrivateFiles {

bool writeOwnerOnly(const QString& path, const QByteArray& data, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    // The temporary file is created with the umask's mode: narrow it before
    // any content reaches the disk.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (file.write(data) != data.size()) {
        if (error)
            *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool makePrivateDir(const QString& path)
{
    if (!QDir().mkpath(path))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

bool isOwnerOnly(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return (st.st_mode & 077) == 0;
}

} // namespace PrivateFiles
