#pragma once

#include <QByteArray>
#include <QString>

class QFileDevice;
class QIODevice;

// Files and folders that hold anything sensitive are owner-only from the
// moment they exist, and a file this program owns is replaced atomically: a
// failed or interrupted write leaves the old file whole.
namespace PrivateFiles {

// Writes data to path through a temporary file beside it, mode 0600 before the
// first byte is written, renamed over path only when every byte reached the
// file (a full disk included); otherwise the temporary file is dropped, the old
// file stays byte for byte and false is returned with the reason in *error.
bool writeOwnerOnly(const QString& path, const QByteArray& data, QString* error = nullptr);

// The same for a file whose name someone else may have taken first: in a
// folder others may write to (the shared temporary folder), and anything
// written into a vault or beside its image. The data goes to a 0600
// temporary file of this program's own beside path, which is then renamed
// over path. A link planted at path is replaced, never written through
// (QSaveFile, behind writeOwnerOnly, writes into the link's target). False with the reason when any step fails, the
// rename included (another user's file at that name in a sticky folder).
bool replaceOwnerOnly(const QString& path, const QByteArray& data, QString* error = nullptr);
// The same with what source gives until its end, read in pieces (a file the
// user keeps in a vault may be large). False, with the reason, when a byte
// could not be read or written; path is then left as it was.
bool replaceOwnerOnly(const QString& path, QIODevice& source, QString* error = nullptr);

// The same checks for a file someone else opened and will commit (the
// temporary file of a QSaveFile, say): narrows it to 0600, writes all of data
// and pushes it out of Qt's buffer. False when any byte did not reach the file;
// the caller must then not commit it.
bool writeFully(QFileDevice& file, const QByteArray& data, QString* error = nullptr);

// Creates the folder (missing parents with the default mode) 0700 from the
// start, and narrows an existing one to 0700. On failure *error names the
// folder that could not be made or narrowed and the system's reason.
bool makePrivateDir(const QString& path, QString* error = nullptr);

// True when the file or folder at path grants nothing to group and others.
bool isOwnerOnly(const QString& path);

} // namespace PrivateFiles
