#include "vault/FileCopy.h"

#include "core/PrivateFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace FileCopy {

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}

// "<folder>/.<name>.<suffix>XXXXXX": hidden, and on the target's file
// system, so the final rename stays a rename.
QString siblingTemplate(const QString& target, const char* suffix)
{
    const QFileInfo info(target);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QLatin1Char('.')
        + QLatin1String(suffix) + QStringLiteral("XXXXXX");
}

bool renameOver(const QString& from, const QString& to, QString* error)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return fail(error, QStringLiteral("cannot rename %1 to %2: %3").arg(from, to, PrivateFiles::systemReason(errno)));
    return true;
}

// Reads all of in into out, every byte checked on the way and written to the
// descriptor itself: Qt keeps no reason for a write a full disk cut short
// ("Unknown error"), the system does.
bool copyContents(QFile& in, QFileDevice& out, QString* error)
{
    constexpr qint64 kChunk = 1 << 20;
    QString why;
    while (true) {
        const QByteArray chunk = in.read(kChunk);
        if (chunk.isEmpty()) {
            if (in.error() != QFileDevice::NoError || !in.atEnd())
                return fail(error, in.fileName() + QStringLiteral(": ") + in.errorString());
            break;
        }
        if (!PrivateFiles::writeAll(out.handle(), chunk.constData(), chunk.size(), &why))
            return fail(error, out.fileName() + QStringLiteral(": ") + why);
    }
    // Some file systems only find the disk full when the data goes out.
    if (::fsync(out.handle()) != 0 && errno != EINVAL && errno != ENOTSUP)
        return fail(error, out.fileName() + QStringLiteral(": ") + PrivateFiles::systemReason(errno));
    return true;
}

bool openSource(QFile& in, QString* error)
{
    // isFile follows a link: a dangling one, a folder or a device is no file.
    if (!QFileInfo(in.fileName()).isFile())
        return fail(error, QStringLiteral("not a readable file: ") + in.fileName());
    if (!in.open(QIODevice::ReadOnly))
        return fail(error, in.fileName() + QStringLiteral(": ") + in.errorString());
    return true;
}

// Copies a folder's entries into the new folder `to`, which only this copy
// writes to.
bool copyFolder(const QString& from, const QString& to, QString* error)
{
    const QFileInfoList entries = QDir(from).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries) {
        const QString target = to + QLatin1Char('/') + entry.fileName();
        if (entry.isDir() && !entry.isSymLink()) {
            if (!QDir().mkdir(target))
                return fail(error, QStringLiteral("cannot make folder ") + target);
            if (!copyFolder(entry.filePath(), target, error))
                return false;
            QFile::setPermissions(target, entry.permissions());
            continue;
        }
        QFile in(entry.filePath());
        if (!openSource(in, error))
            return false;
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly, entry.permissions()))
            return fail(error, target + QStringLiteral(": ") + out.errorString());
        if (!copyContents(in, out, error))
            return false;
    }
    return true;
}

} // namespace

qint64 bytesOf(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    if (!info.isDir())
        return info.size();
    qint64 total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

bool putInPlace(const QString& made, const QString& target, QString* error)
{
    const QFileInfo old(target);
    const bool present = old.exists() || old.isSymLink();
    const bool oldIsFolder = old.isDir() && !old.isSymLink();
    if (!present || (!oldIsFolder && !QFileInfo(made).isDir()))
        return renameOver(made, target, error);
    // A folder can be renamed neither over a folder with contents nor onto a
    // file: park the old one first, and put it back when the new one cannot
    // take its place. The parked copy goes with the temporary folder.
    QTemporaryDir aside(siblingTemplate(target, "old-"));
    if (!aside.isValid())
        return fail(error, aside.errorString());
    const QString parked = aside.path() + QStringLiteral("/old");
    if (!renameOver(target, parked, error))
        return false;
    if (!renameOver(made, target, error)) {
        renameOver(parked, target, nullptr);
        return false;
    }
    return true;
}

bool replaceFile(const QString& source, const QString& target, QFileDevice::Permissions mode, QString* error)
{
    QFile in(source);
    if (!openSource(in, error))
        return false;
    QTemporaryFile out(siblingTemplate(target, "new-"));
    // Created 0600; given its final mode before the first byte.
    if (!out.open())
        return fail(error, target + QStringLiteral(": ") + out.errorString());
    if (!out.setPermissions(mode))
        return fail(error, out.fileName() + QStringLiteral(": ") + out.errorString());
    if (!copyContents(in, out, error))
        return false;
    out.close();
    if (!putInPlace(out.fileName(), target, error))
        return false;
    out.setAutoRemove(false);
    return true;
}

bool replaceTogether(const QList<Part>& parts, int* failed, QString* error)
{
    struct Step {
        std::unique_ptr<QTemporaryFile> file;
        std::unique_ptr<QTemporaryDir> folder;
        QString made;                          // the finished copy; empty: nothing to put in place
        std::unique_ptr<QTemporaryDir> aside;  // holds the earlier target until all is done
        QString parked;
        bool placed = false;
    };
    std::vector<Step> steps(parts.size());
    // reason empty: *error already says why.
    const auto failAt = [failed, error](qsizetype i, const QString& reason = QString()) {
        if (failed)
            *failed = int(i);
        if (error && !reason.isEmpty())
            *error = reason;
        return false;
    };
    // Puts every earlier target back, and takes every new copy out of the
    // way again (into its temporary name, which then goes).
    const auto undo = [&]() {
        for (qsizetype i = 0; i < parts.size(); ++i) {
            Step& step = steps[size_t(i)];
            if (step.placed)
                renameOver(parts.at(i).target, step.made, nullptr);
            if (!step.parked.isEmpty())
                renameOver(step.parked, parts.at(i).target, nullptr);
        }
    };

    // Every copy is made whole first, beside its target so that putting it
    // in place stays a rename.
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const Part& part = parts.at(i);
        Step& step = steps[size_t(i)];
        if (part.source.isEmpty())
            continue;
        const QFileInfo info(part.source);
        if (info.isDir()) {
            step.folder = std::make_unique<QTemporaryDir>(siblingTemplate(part.target, "new-"));
            if (!step.folder->isValid())
                return failAt(i, part.target + QStringLiteral(": ") + step.folder->errorString());
            if (!copyFolder(part.source, step.folder->path(), error))
                return failAt(i);
            step.made = step.folder->path();
            continue;
        }
        QFile in(part.source);
        if (!openSource(in, error))
            return failAt(i);
        step.file = std::make_unique<QTemporaryFile>(siblingTemplate(part.target, "new-"));
        // Created 0600; given its final mode before the first byte.
        if (!step.file->open() || !step.file->setPermissions(info.permissions()))
            return failAt(i, part.target + QStringLiteral(": ") + step.file->errorString());
        if (!copyContents(in, *step.file, error))
            return failAt(i);
        step.file->close();
        step.made = step.file->fileName();
    }

    // Then the earlier targets step aside, and the copies take their places.
    // A folder can be renamed neither over a folder with contents nor onto a
    // file, and the earlier set must be whole again if any part fails.
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString& target = parts.at(i).target;
        Step& step = steps[size_t(i)];
        const QFileInfo old(target);
        if (!old.exists() && !old.isSymLink())
            continue;
        step.aside = std::make_unique<QTemporaryDir>(siblingTemplate(target, "old-"));
        if (!step.aside->isValid()) {
            undo();
            return failAt(i, target + QStringLiteral(": ") + step.aside->errorString());
        }
        const QString parked = step.aside->path() + QStringLiteral("/old");
        if (!renameOver(target, parked, error)) {
            undo();
            return failAt(i);
        }
        step.parked = parked;
    }
    for (qsizetype i = 0; i < parts.size(); ++i) {
        Step& step = steps[size_t(i)];
        if (step.made.isEmpty())
            continue;
        if (!renameOver(step.made, parts.at(i).target, error)) {
            undo();
            return failAt(i);
        }
        step.placed = true;
    }

    // The copies are in place for good; the earlier targets go with their
    // temporary folders.
    for (Step& step : steps) {
        if (step.file)
            step.file->setAutoRemove(false);
        if (step.folder)
            step.folder->setAutoRemove(false);
    }
    return true;
}

} // namespace FileCopy
