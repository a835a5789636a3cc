#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFileDevice>
#include <QString>

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
// folder others may write to (the shared temporary folder), or beside a
// vault's image. Folder::replace in the folder of path: the data goes to a
// 0600 temporary file of this program's own beside path, which is then
// renamed over path. A link planted at path is replaced, never written
// through (QSaveFile, behind writeOwnerOnly, writes into the link's target).
// False with the system's reason when any step fails, the rename included
// (another user's file at that name in a sticky folder). Inside a vault,
// where a folder on the way may be swapped too, the vault's Folder is used.
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

// The system's words for an errno value ("No space left on device").
QString systemReason(int code);

// Writes all of data to the open file descriptor fd, going on after a write
// the system took only in part. False with the system's reason ("No space
// left on device", "File too large") when a byte did not go.
bool writeAll(int fd, const char* data, qint64 size, QString* error = nullptr);

// A folder held open by its descriptor. What is written through it lands in
// that very folder even when, after it was opened, its name is given to a
// link or another folder: a name is looked up once, when the folder is
// opened, never again for a write.
class Folder
{
public:
    Folder() = default;
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens root, then each level of relative below it, each one relative to
    // the one above with O_NOFOLLOW | O_DIRECTORY: a link at root or at any
    // level is refused, never followed (the folders above root are taken as
    // they are). A missing level is made 0700. Invalid on failure, with the
    // reason in *error ("<path> is a link, not a folder").
    static Folder openBelow(const QString& root, const QString& relative, QString* error = nullptr);
    // Opens the folder at path, links on the way followed: for files whose
    // folder is the caller's choice.
    static Folder open(const QString& path, QString* error = nullptr);

    bool isValid() const { return fd >= 0; }
    // The path the folder was opened by (for messages).
    QString path() const { return where; }
    // True while path still names this folder and no other.
    bool isStillAtPath() const;

    // Replaces the file name in this folder with data: the data goes to a
    // 0600 temporary file created beside it (never through a link), every
    // byte checked and synced, and the temporary file is then renamed over
    // name, so a link at name is replaced and a failed write leaves the
    // earlier file whole. False with the system's reason, and nothing left
    // beside name.
    bool replace(const QString& name, const QByteArray& data, QString* error = nullptr) const;
    // The same with what source gives until its end, read in pieces.
    bool replace(const QString& name, QIODevice& source, QString* error = nullptr) const;
    // Moves the regular file name of from (a link there is refused) to `to`
    // in this folder, replacing whatever is there, with the mode given first.
    bool take(const Folder& from, const QString& name, const QString& to, QFileDevice::Permissions mode,
              QString* error = nullptr) const;

    // Makes a 0700 folder with a fresh name beginning with prefix in this
    // folder, for a tool that writes by path; *name is its name.
    Folder makeTemporary(const QString& prefix, QString* name, QString* error = nullptr) const;
    // Removes the folder name of this folder with the files directly in it.
    void removeTemporary(const QString& name) const;

    // When the regular file name (a link not followed) was last changed;
    // invalid when there is none.
    QDateTime modified(const QString& name) const;
    // Whether a file can be made here (one is made and removed again).
    bool canWrite() const;

private:
    Folder(int fd, const QString& where);
    // A fresh name beside name, created exclusively 0600; -1 on failure.
    int createTemporary(const QString& name, QString* made, QString* error) const;
    bool commit(int file, const QString& temporary, const QString& name, QString* error) const;

    int fd = -1;
    QString where;
};

} // namespace PrivateFiles
