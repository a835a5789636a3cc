#include "core/PrivateFiles.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace PrivateFiles {

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}

int failedFile(QString* error, const QString& reason)
{
    fail(error, reason);
    return -1;
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
        return systemReason(systemError);
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

bool replaceOwnerOnly(const QString& path, const QByteArray& data, QString* error)
{
    const QFileInfo info(path);
    const Folder folder = Folder::open(info.absolutePath(), error);
    return folder.isValid() && folder.replace(info.fileName(), data, error);
}

bool replaceOwnerOnly(const QString& path, QIODevice& source, QString* error)
{
    const QFileInfo info(path);
    const Folder folder = Folder::open(info.absolutePath(), error);
    return folder.isValid() && folder.replace(info.fileName(), source, error);
}

bool makePrivateDir(const QString& path, QString* error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const auto failed = [error](const QByteArray& folder, int code) {
        return fail(error, QFile::decodeName(folder) + QStringLiteral(": ") + systemReason(code));
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

QString systemReason(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

bool writeAll(int fd, const char* data, qint64 size, QString* error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return fail(error, systemReason(errno));
        }
        // A write cut short by a full disk or a size limit says nothing; the
        // next one gives the system's reason.
        data += written;
        size -= written;
    }
    return true;
}

namespace {

// One name inside a folder: no separator, no "." or "..".
bool isOneName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && name != QLatin1String(".")
        && name != QLatin1String("..");
}

QString systemReasonAt(const QString& path, int code)
{
    return path + QStringLiteral(": ") + systemReason(code);
}

// Why the level name of the folder parentFd could not be opened as a folder.
QString levelFailure(int parentFd, const QByteArray& name, const QString& path, int code)
{
    struct stat st {};
    if (::fstatat(parentFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode))
            return path + QStringLiteral(" is a link, not a folder");
        if (!S_ISDIR(st.st_mode))
            return path + QStringLiteral(" is not a folder");
    }
    return systemReasonAt(path, code);
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

mode_t toMode(QFileDevice::Permissions permissions)
{
    mode_t mode = 0;
    const struct {
        QFileDevice::Permission permission;
        mode_t bit;
    } bits[] = {{QFileDevice::ReadOwner, S_IRUSR}, {QFileDevice::WriteOwner, S_IWUSR}, {QFileDevice::ExeOwner, S_IXUSR},
                {QFileDevice::ReadGroup, S_IRGRP}, {QFileDevice::WriteGroup, S_IWGRP}, {QFileDevice::ExeGroup, S_IXGRP},
                {QFileDevice::ReadOther, S_IROTH}, {QFileDevice::WriteOther, S_IWOTH}, {QFileDevice::ExeOther, S_IXOTH}};
    for (const auto& b : bits) {
        if (permissions.testFlag(b.permission))
            mode |= b.bit;
    }
    return mode;
}

} // namespace

Folder::Folder(int fd, const QString& where)
    : fd(fd)
    , where(where)
{
}

Folder::~Folder()
{
    if (fd >= 0)
        ::close(fd);
}

Folder::Folder(Folder&& other) noexcept
    : fd(other.fd)
    , where(std::move(other.where))
{
    other.fd = -1;
}

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        if (fd >= 0)
            ::close(fd);
        fd = other.fd;
        where = std::move(other.where);
        other.fd = -1;
    }
    return *this;
}

Folder Folder::openBelow(const QString& root, const QString& relative, QString* error)
{
    QString path = QFileInfo(root).absoluteFilePath();
    int current = ::open(QFile::encodeName(path).constData(), kFolderFlags);
    if (current < 0) {
        const int code = errno;
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode))
            fail(error, path + QStringLiteral(" is a link, not a folder"));
        else
            fail(error, systemReasonAt(path, code));
        return {};
    }
    for (const QString& level : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + level;
        if (!isOneName(level)) {
            ::close(current);
            fail(error, path + QStringLiteral(" is not a folder name"));
            return {};
        }
        const QByteArray name = QFile::encodeName(level);
        // mkdirat never follows a link at its name: a level made here is the
        // folder's own, and one found there is opened without following.
        if (::mkdirat(current, name.constData(), 0700) != 0 && errno != EEXIST) {
            const int code = errno;
            ::close(current);
            fail(error, systemReasonAt(path, code));
            return {};
        }
        const int next = ::openat(current, name.constData(), kFolderFlags);
        if (next < 0) {
            fail(error, levelFailure(current, name, path, errno));
            ::close(current);
            return {};
        }
        ::close(current);
        current = next;
    }
    return Folder(current, path);
}

Folder Folder::open(const QString& path, QString* error)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    const int fd = ::open(QFile::encodeName(absolute).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail(error, systemReasonAt(absolute, errno));
        return {};
    }
    return Folder(fd, absolute);
}

bool Folder::isStillAtPath() const
{
    struct stat held {};
    struct stat named {};
    return fd >= 0 && ::fstat(fd, &held) == 0 && ::lstat(QFile::encodeName(where).constData(), &named) == 0
        && held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

int Folder::createTemporary(const QString& name, QString* made, QString* error) const
{
    if (fd < 0)
        return failedFile(error, QStringLiteral("no folder"));
    if (!isOneName(name))
        return failedFile(error, where + QLatin1Char('/') + name + QStringLiteral(" is not a file name"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = QLatin1Char('.') + name + QLatin1Char('.')
            + QString::number(QRandomGenerator::system()->generate64(), 36);
        // Exclusive and without following: a name someone planted first is
        // never opened, and the file is 0600 before it holds a byte.
        const int file = ::openat(fd, QFile::encodeName(candidate).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file >= 0) {
            // The umask may only have narrowed it; make it exactly 0600.
            if (::fchmod(file, 0600) != 0) {
                const int code = errno;
                ::close(file);
                ::unlinkat(fd, QFile::encodeName(candidate).constData(), 0);
                return failedFile(error, systemReason(code));
            }
            *made = candidate;
            return file;
        }
        if (errno != EEXIST)
            return failedFile(error, systemReason(errno));
    }
    return failedFile(error, systemReason(EEXIST));
}

bool Folder::commit(int file, const QString& temporary, const QString& name, QString* error) const
{
    const QByteArray tempName = QFile::encodeName(temporary);
    // A full disk may only show when the data goes out to it, at the sync or
    // the close; the rename comes only after both.
    int code = 0;
    if (::fsync(file) != 0 && errno != EINVAL && errno != ENOTSUP)
        code = errno;
    if (::close(file) != 0 && code == 0 && errno != EINTR)
        code = errno;
    if (code == 0
        && ::renameat(fd, tempName.constData(), fd, QFile::encodeName(name).constData()) != 0)
        code = errno;
    if (code != 0) {
        ::unlinkat(fd, tempName.constData(), 0);
        return fail(error, systemReason(code));
    }
    return true;
}

bool Folder::replace(const QString& name, const QByteArray& data, QString* error) const
{
    QString temporary;
    const int file = createTemporary(name, &temporary, error);
    if (file < 0)
        return false;
    if (!writeAll(file, data.constData(), data.size(), error)) {
        ::close(file);
        ::unlinkat(fd, QFile::encodeName(temporary).constData(), 0);
        return false;
    }
    return commit(file, temporary, name, error);
}

bool Folder::replace(const QString& name, QIODevice& source, QString* error) const
{
    QString temporary;
    const int file = createTemporary(name, &temporary, error);
    if (file < 0)
        return false;
    const auto drop = [&] {
        ::close(file);
        ::unlinkat(fd, QFile::encodeName(temporary).constData(), 0);
        return false;
    };
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    while (true) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got < 0 || (got == 0 && !source.atEnd())) {
            fail(error, source.errorString());
            return drop();
        }
        if (got == 0)
            break;
        if (!writeAll(file, chunk.constData(), got, error))
            return drop();
    }
    return commit(file, temporary, name, error);
}

bool Folder::take(const Folder& from, const QString& name, const QString& to, QFileDevice::Permissions mode,
                  QString* error) const
{
    if (fd < 0 || from.fd < 0 || !isOneName(name) || !isOneName(to))
        return fail(error, QStringLiteral("no such file"));
    const QByteArray source = QFile::encodeName(name);
    const QString shown = from.where + QLatin1Char('/') + name;
    const int file = ::openat(from.fd, source.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0)
        return fail(error, levelFailure(from.fd, source, shown, errno));
    struct stat st {};
    int code = 0;
    if (::fstat(file, &st) != 0)
        code = errno;
    else if (!S_ISREG(st.st_mode))
        code = EINVAL;
    else if (::fchmod(file, toMode(mode)) != 0)
        code = errno;
    ::close(file);
    if (code == EINVAL)
        return fail(error, shown + QStringLiteral(" is not a regular file"));
    if (code != 0)
        return fail(error, systemReasonAt(shown, code));
    if (::renameat(from.fd, source.constData(), fd, QFile::encodeName(to).constData()) != 0)
        return fail(error, systemReasonAt(where + QLatin1Char('/') + to, errno));
    return true;
}

Folder Folder::makeTemporary(const QString& prefix, QString* name, QString* error) const
{
    if (fd < 0) {
        fail(error, QStringLiteral("no folder"));
        return {};
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = prefix + QString::number(QRandomGenerator::system()->generate64(), 36);
        const QByteArray encoded = QFile::encodeName(candidate);
        if (::mkdirat(fd, encoded.constData(), 0700) != 0) {
            if (errno == EEXIST)
                continue;
            fail(error, systemReasonAt(where, errno));
            return {};
        }
        const int made = ::openat(fd, encoded.constData(), kFolderFlags);
        if (made < 0) {
            fail(error, systemReasonAt(where + QLatin1Char('/') + candidate, errno));
            ::unlinkat(fd, encoded.constData(), AT_REMOVEDIR);
            return {};
        }
        *name = candidate;
        return Folder(made, where + QLatin1Char('/') + candidate);
    }
    fail(error, systemReasonAt(where, EEXIST));
    return {};
}

void Folder::removeTemporary(const QString& name) const
{
    if (fd < 0 || !isOneName(name))
        return;
    const QByteArray encoded = QFile::encodeName(name);
    const int inner = ::openat(fd, encoded.constData(), kFolderFlags);
    if (inner >= 0) {
        // fdopendir takes the descriptor over; closedir closes it.
        if (DIR* dir = ::fdopendir(inner)) {
            while (const dirent* entry = ::readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlinkat(::dirfd(dir), entry->d_name, 0);
            }
            ::closedir(dir);
        } else {
            ::close(inner);
        }
    }
    ::unlinkat(fd, encoded.constData(), AT_REMOVEDIR);
}

QDateTime Folder::modified(const QString& name) const
{
    struct stat st {};
    if (fd < 0 || !isOneName(name)
        || ::fstatat(fd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(st.st_mode))
        return {};
    return QDateTime::fromSecsSinceEpoch(st.st_mtime);
}

bool Folder::canWrite() const
{
    QString made;
    const int file = createTemporary(QStringLiteral("write-test"), &made, nullptr);
    if (file < 0)
        return false;
    ::close(file);
    ::unlinkat(fd, QFile::encodeName(made).constData(), 0);
    return true;
}

} // namespace PrivateFiles
