#pragma once

#include <QFileDevice>
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

// Copies source, a file or a folder with everything under it, to target; each
// file keeps its source's mode. A folder copy fails on anything that is
// neither a readable file nor a folder (a dangling link, say). An earlier
// target, file or folder, is replaced whole; false leaves it untouched.
bool replaceTree(const QString& source, const QString& target, QString* error = nullptr);

// Puts made, a finished file or folder, in target's place, replacing what
// is there (a folder too) whole; false leaves target as it was.
bool putInPlace(const QString& made, const QString& target, QString* error = nullptr);

} // namespace FileCopy
