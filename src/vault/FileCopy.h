#pragma once

#include <QFileDevice>
#include <QList>
#include <QString>

// Copies that replace what they copy onto only once they are whole: the copy
// is made under a temporary name in the target's folder and renamed over the
// target at the end, so a copy that fails half-way (a missing or unreadable
// source, a full disk) leaves an earlier copy exactly as it was.
namespace FileCopy {

// Copies the file source to target. The copy has mode `mode` from the moment
// it exists. False, with the reason in *error, when nothing was replaced.
bool replaceFile(const QString& source, const QString& target, QFileDevice::Permissions mode,
                 QString* error = nullptr);

// One copy of a set that replaces its targets together.
struct Part {
    QString source;   // a file, or a folder with everything under it; empty: the target is only removed
    QString target;
};

// Copies every part's source beside its target, and only once every copy is
// whole puts them all in place, each replacing whatever stands at its target
// (file, folder or link) whole; each file keeps its source's mode. A folder
// copy fails on anything that is neither a readable file nor a folder (a
// dangling link, say). False leaves every target exactly as it was and
// nothing beside it; *failed is then the index of the part that could not be
// copied or put in place, and *error says why.
bool replaceTogether(const QList<Part>& parts, int* failed = nullptr, QString* error = nullptr);

// What a copy of path writes: the size of a file, or the sizes of every file
// under a folder added up (links inside it not followed).
qint64 bytesOf(const QString& path);

// Puts made, a finished file or folder, in target's place, replacing what
// is there (a folder too) whole; false leaves target as it was.
bool putInPlace(const QString& made, const QString& target, QString* error = nullptr);

} // namespace FileCopy
