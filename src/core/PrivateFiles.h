#pragma once

#include <QByteArray>
#include <QString>

// Files and folders that hold anything sensitive are owner-only from the
// moment they exist, and a file this program owns is replaced atomically: a
// failed or interrupted write leaves the old file whole.
namespace PrivateFiles {

// Writes data to path through a temporary file beside it, mode 0600 before the
// first byte is written, renamed over path only when everything was written.
bool writeOwnerOnly(const QString& path, const QByteArray& data, QString* error = nullptr);

// Creates the folder (and missing parents) and sets it to 0700.
bool makePrivateDir(const QString& path);

// True when the file or folder at path grants nothing to group and others.
bool isOwnerOnly(const QString& path);

} // namespace PrivateFiles
