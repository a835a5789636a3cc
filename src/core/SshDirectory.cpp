#include "core/SshDirectory.h"

#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SshDirectory {

namespace {

// A private key announces itself in its first line; a file read this far
// without one holds none.
constexpr qint64 privateKeyHeadBytes = 64 * 1024;

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

int permissionBits(const QString& target, bool* exists)
{
    struct stat st {};
    *exists = ::stat(QFile::encodeName(target).constData(), &st) == 0;
    return *exists ? int(st.st_mode & 07777) : 0;
}

} // namespace

QString path()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

QStringList privateKeyNames()
{
    // QDir matches name filters ignoring letter case unless told otherwise.
    QStringList names = QDir(path()).entryList({QStringLiteral("id_*")}, QDir::Files, QDir::NoSort);
    names.removeIf([](const QString& name) { return name.endsWith(QLatin1String(".pub")); });
    names.sort(Qt::CaseInsensitive);
    return names;
}

ReadOutcome readRegularFile(const QString& file, qint64 maxBytes, QByteArray* bytes, QString* error,
                            FileStamp* stamp)
{
    bytes->clear();
    if (stamp)
        *stamp = FileStamp();
    const QByteArray name = QFile::encodeName(file);
    // O_NONBLOCK: the open of a pipe returns at once instead of waiting for a
    // writer; what it opened is then asked, not assumed.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        // A path through something that is no folder holds no file either.
        if (code == ENOENT || code == ENOTDIR)
            return ReadOutcome::Missing;
        if (error)
            *error = systemError(code);
        if (stamp)
            stamp->exists = true;
        return ReadOutcome::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int code = errno;
        ::close(fd);
        if (error)
            *error = systemError(code);
        return ReadOutcome::Failed;
    }
    if (stamp) {
        stamp->exists = true;
        stamp->regular = S_ISREG(st.st_mode);
        stamp->size = st.st_size;
        stamp->modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadOutcome::NotRegular;
    }
    const qint64 limit = maxBytes < 0 ? std::numeric_limits<qint64>::max() : maxBytes;
    char buffer[16 * 1024];
    while (bytes->size() < limit) {
        const ssize_t got = ::read(fd, buffer, size_t(std::min<qint64>(sizeof buffer, limit - bytes->size())));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int code = errno;
            ::close(fd);
            bytes->clear();
            if (error)
                *error = systemError(code);
            return ReadOutcome::Failed;
        }
        if (got == 0)
            break;
        bytes->append(buffer, got);
    }
    ::close(fd);
    return ReadOutcome::Read;
}

bool holdsPrivateKey(const QByteArray& text)
{
    return (text.contains("-----BEGIN ") && text.contains(" PRIVATE KEY-----"))
           || text.startsWith("PuTTY-User-Key-File-");
}

PermissionReport tightenPermissions()
{
    PermissionReport report;
    const QString dir = path();
    // Only what grants anything to group or others is changed: a key its
    // owner made read-only (0400) is already as OpenSSH wants it.
    const auto narrow = [&report](const QString& target, const QString& shown, int wanted, bool privateKey) {
        bool exists = false;
        const int mode = permissionBits(target, &exists);
        if (!exists || (mode & 07077) == 0)
            return;
        PermissionChange change{target, shown, privateKey, mode, wanted, QString()};
        if (::chmod(QFile::encodeName(target).constData(), mode_t(wanted)) != 0) {
            change.error = systemError(errno);
            report.failed.append(change);
        } else {
            report.changed.append(change);
        }
    };
    if (!QFileInfo(dir).isDir())
        return report;
    narrow(dir, QStringLiteral("~/.ssh/"), 0700, false);
    narrow(dir + QStringLiteral("/config"), QStringLiteral("config"), 0600, false);

    const QStringList named = privateKeyNames();
    const QFileInfoList entries = QDir(dir).entryInfoList(QDir::Files | QDir::System | QDir::Hidden,
                                                          QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String("config"))
            continue;
        QByteArray head;
        const bool privateKey =
            readRegularFile(entry.absoluteFilePath(), privateKeyHeadBytes, &head) == ReadOutcome::Read
            && holdsPrivateKey(head);
        if (privateKey)
            ++report.privateKeys;
        if (privateKey || named.contains(name))
            narrow(entry.absoluteFilePath(), name, 0600, privateKey);
    }
    return report;
}

QStringList restrictPermissions()
{
    QStringList failed;
    for (const PermissionChange& change : tightenPermissions().failed)
        failed << change.path;
    return failed;
}

QByteArray fingerprintInput(const QList<QByteArray>& keyLines)
{
    // Each line's comment is replaced by its number: ssh-keygen passes over
    // a line it rejects without a word, and the number is what ties each
    // printed fingerprint to its line.
    QByteArray input;
    for (qsizetype i = 0; i < keyLines.size(); ++i) {
        const QList<QByteArray> words = keyLines.at(i).simplified().split(' ');
        if (words.size() >= 2)
            input += words.at(0) + ' ' + words.at(1) + ' ' + QByteArray::number(i) + '\n';
    }
    return input;
}

QList<KeyFingerprint> readFingerprints(const QByteArray& output, qsizetype lineCount)
{
    QList<KeyFingerprint> result(lineCount);
    // "<bits> <fingerprint> <line> (<TYPE>)", one line per accepted key.
    for (const QByteArray& raw : output.split('\n')) {
        const QStringList parts =
            QString::fromUtf8(raw).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool isIndex = false;
        const qsizetype index = parts.size() >= 3 ? parts.at(2).toLongLong(&isIndex, 10) : -1;
        if (!isIndex || index < 0 || index >= result.size() || !result.at(index).fingerprint.isEmpty())
            continue;
        KeyFingerprint& entry = result[index];
        entry.bits = parts.at(0).toInt(nullptr, 10);
        entry.fingerprint = parts.at(1);
        if (parts.size() >= 4)
            entry.type = QString(parts.at(3)).remove(QLatin1Char('(')).remove(QLatin1Char(')'));
    }
    return result;
}

QList<KeyFingerprint> fingerprints(const QList<QByteArray>& keyLines, int timeoutMs, QString* failure)
{
    const QByteArray input = fingerprintInput(keyLines);
    if (input.isEmpty())
        return QList<KeyFingerprint>(keyLines.size());

    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    options.standardInput = input;
    const ToolRunner::Result listed = ToolRunner::run(
        QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")}, options);
    // A line ssh-keygen rejects makes it end with 1; only a run that did not
    // end on its own leaves the fingerprints unread.
    if (!listed.finished() && failure)
        *failure = QStringLiteral("ssh-keygen ") + listed.failure;
    return readFingerprints(listed.stdOut, keyLines.size());
}

} // namespace SshDirectory
