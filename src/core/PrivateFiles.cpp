#include "core/PrivateFiles.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cerrno>
#include <functional>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace PrivateFiles {

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}

// Qt takes a write that stopped part way (a full disk, a size limit) for a
// short write and keeps no reason of its own ("Unknown error"); the system's
// is in errno, read right after the failing call.
QString writeFailure(const QFileDevice& file, int systemError)
{
    if (file.error() != QFileDevice::NoError && !file.errorString().isEmpty()
        && file.errorString() != QLatin1String("Unknown error"))
        return file.errorString();
    if (systemError != 0)
        return QString::fromLocal8Bit(std::strerror(systemError));
    return QStringLiteral("the data could not be written whole");
}

} // namespace

bool writeFully(QFileDevice& file, const QByteArray& data, QString* error)
{
    // A new file is created with the umask's mode: narrow it before any
    // content reaches the disk.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return fail(error, file.errorString());
    errno = 0;
    if (file.write(data) != data.size())
        return fail(error, writeFailure(file, errno));
    // Qt buffers what it writes; a full disk only shows when the buffer goes
    // out, and QSaveFile::commit would not notice (it renames a cut file into
    // place and reports success).
    errno = 0;
    if (!file.flush())
        return fail(error, writeFailure(file, errno));
    return true;
}

bool writeOwnerOnly(const QString& path, const QByteArray& data, QString* error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, file.errorString());
    if (!writeFully(file, data, error)) {
        file.cancelWriting();
        return false;
    }
    errno = 0;
    if (!file.commit())
        return fail(error, writeFailure(file, errno));
    return true;
}

namespace {

// The data that fill writes goes to a temporary file beside path, which
// then takes path's place.
bool replaceWith(const QString& path, QString* error, const std::function<bool(QFileDevice&)>& fill)
{
    // QTemporaryFile creates its file exclusively and 0600, under a name
    // nobody could have planted.
    QTemporaryFile file(QFileInfo(path).absoluteFilePath() + QStringLiteral(".XXXXXX"));
    if (!file.open())
        return fail(error, file.errorString());
    if (!fill(file))
        return false;
    file.close();
    // rename() swaps the directory entry: a link at path is replaced, not followed.
    if (::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        return fail(error, QString::fromLocal8Bit(std::strerror(errno)));
    file.setAutoRemove(false);
    return true;
}

} // namespace

bool replaceOwnerOnly(const QString& path, const QByteArray& data, QString* error)
{
    return replaceWith(path, error, [&](QFileDevice& file) { return writeFully(file, data, error); });
}

bool replaceOwnerOnly(const QString& path, QIODevice& source, QString* error)
{
    return replaceWith(path, error, [&](QFileDevice& file) {
        if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return fail(error, file.errorString());
        QByteArray chunk(1 << 20, Qt::Uninitialized);
        while (true) {
            const qint64 got = source.read(chunk.data(), chunk.size());
            if (got < 0)
                return fail(error, source.errorString());
            if (got == 0) {
                if (!source.atEnd())
                    return fail(error, source.errorString());
                break;
            }
            if (file.write(chunk.constData(), got) != got)
                return fail(error, file.errorString());
        }
        // As in writeFully: a full disk shows only when the buffer goes out.
        if (!file.flush())
            return fail(error, file.errorString());
        return true;
    });
}

bool makePrivateDir(const QString& path, QString* error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const auto failed = [error](const QByteArray& folder, int code) {
        return fail(error, QFile::decodeName(folder) + QStringLiteral(": ")
                               + QString::fromLocal8Bit(std::strerror(code)));
    };
    // One folder at a time, so that a failure comes with its own reason
    // (a read-only file system, a file in the way) rather than a bare false.
    const QByteArray native = QFile::encodeName(absolute);
    for (qsizetype slash = native.indexOf('/', 1); slash > 0; slash = native.indexOf('/', slash + 1)) {
        const QByteArray parent = native.left(slash);
        if (::mkdir(parent.constData(), 0777) != 0 && errno != EEXIST)
            return failed(parent, errno);
    }
    // Made 0700 in one step, so there is no moment in which others could
    // open it; one that exists already is narrowed.
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return failed(native, errno);
    if (!QFileInfo(absolute).isDir())
        return failed(native, ENOTDIR);
    if (::chmod(native.constData(), 0700) != 0)
        return failed(native, errno);
    return true;
}

bool isOwnerOnly(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    return (st.st_mode & 077) == 0;
}

} // namespace PrivateFiles
