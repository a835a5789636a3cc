#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The user's SSH folder as OpenSSH expects it: the folder owner-only, the
// client configuration and every private key readable by the owner alone.
// The configuration editor and the main window both tighten it through here,
// and the editor offers the same private keys as identities.
namespace SshDirectory {

// QDir::homePath() + "/.ssh"
QString path();

// File names in the SSH folder that match "id_*" (letter case ignored) and do
// not end with ".pub" (the public keys), sorted ignoring case; empty when the
// folder does not exist.
QStringList privateKeyNames();

// How a file was found when it was read through readRegularFile.
struct FileStamp
{
    bool exists = false;
    bool regular = false;
    qint64 size = -1;
    qint64 modifiedNs = -1;   // modification time, nanoseconds since the epoch

    bool operator==(const FileStamp&) const = default;
};

enum class ReadOutcome { Read, Missing, NotRegular, Failed };

// Reads path only when it is a regular file once links are followed: a named
// pipe, a socket or a device is never read (opening a pipe for reading waits
// for a writer that may never come), and the file is opened without waiting
// even when it was swapped for one between a listing and this read. At most
// maxBytes bytes are read (-1: all of it). *error gets the system's reason
// for Failed; *stamp, when given, what the file was as it was read.
ReadOutcome readRegularFile(const QString& path, qint64 maxBytes, QByteArray* bytes, QString* error = nullptr,
                            FileStamp* stamp = nullptr);

// True when text is framed as a private key: OpenSSH, PEM and PKCS#8 keys,
// encrypted or not, and PuTTY's key files.
bool holdsPrivateKey(const QByteArray& text);

// One file whose mode was narrowed, or could not be.
struct PermissionChange
{
    QString path;
    QString shown;        // as the user knows it: "~/.ssh/", "config", a file name
    bool privateKey = false;
    int oldMode = 0;      // permission bits, e.g. 0644
    int newMode = 0;
    QString error;        // the system's reason, when it could not be changed
};

struct PermissionReport
{
    QList<PermissionChange> changed;   // narrowed, in the order they were met
    QList<PermissionChange> failed;    // exist and could not be narrowed
    int privateKeys = 0;               // private keys found, changed or not
};

// Sets the folder to 0700, "config" and every private key in it to 0600,
// where they grant more. A private key is found by what the file holds, so
// that a key named anything ("github_work", "deploy.pem") is covered; the
// names privateKeyNames() gives are covered too. A path that does not exist
// is nothing to fix; a file that is not a regular file is never read.
PermissionReport tightenPermissions();

// The same, returning only the existing paths whose mode could not be changed.
QStringList restrictPermissions();

// What ssh-keygen -l prints for one public key; an empty fingerprint when
// the key was not fingerprinted.
struct KeyFingerprint
{
    int bits = 0;
    QString fingerprint; // "SHA256:..."
    QString type;        // the key type as ssh-keygen names it, e.g. "ED25519"
};

// Fingerprints every public key or certificate line ("type base64-blob",
// anything after the blob ignored) with one `ssh-keygen -l -f -` run, however
// many there are: the pages that list the SSH folder cost one tool start, not
// one per key pair. The result has one entry per line, in the same order; an
// empty line, or one ssh-keygen rejects, gets an empty entry. When the run
// does not end on its own within timeoutMs, *failure says why.
QList<KeyFingerprint> fingerprints(const QList<QByteArray>& keyLines, int timeoutMs, QString* failure = nullptr);

// The two halves of fingerprints() for a caller that runs ssh-keygen itself
// (in the background): the standard input for `ssh-keygen -l -f -`, empty
// when no line is worth a run, and the entries read from its standard output.
QByteArray fingerprintInput(const QList<QByteArray>& keyLines);
QList<KeyFingerprint> readFingerprints(const QByteArray& output, qsizetype lineCount);

} // namespace SshDirectory
