#pragma once

#include <QByteArray>
#include <QString>

// The program's one way of keeping a file encrypted: what the openssl tool's
// "enc -aes-256-cbc -pbkdf2" writes and reads (its salted format, default
// digest and iteration count), the pass phrase always on standard input.
// Every function returns the failure text, empty on success.
namespace EncryptedFile {

struct Options {
    int startTimeoutMs = 5000;
    int finishTimeoutMs = 10000;
    // An existing file at the path is kept as <file>.unreadable-<time> once
    // the new one is ready, instead of being replaced.
    bool setAsideExisting = false;
    // The file's folder is made when missing and narrowed to 0700. Off for
    // a file the user keeps in a folder of their own (a project checkout):
    // the folder must exist and keeps its mode.
    bool privateFolder = true;
};

// SHA-256 of "<host name>|<USER>|<label>": a key bound to this machine and
// login, so that nobody has to type one. Files already stored depend on
// this exact text.
QByteArray machineKey(const QString& label);

// Encrypts data into path. openssl writes a private temporary file beside
// it (temporaryName), which takes the file's place only when openssl
// succeeded: a failed, killed or hung run leaves the old file whole. The
// file is 0600 from its creation, its folder made when missing.
QString write(const QString& path, const QByteArray& data, const QByteArray& passPhrase,
              const Options& options = {});

// Decrypts path into *plain, which is set only on success: after a wrong pass
// phrase openssl has already written garbage before it says "bad decrypt".
// *decryptFailed is set only when openssl worked and refused this file: its
// "bad decrypt" for a file in its salted format, or a failed decryption after
// openssl passed a self-test (a probe encrypted and decrypted with the same
// options). An openssl that is missing, hangs, is killed, or ends without
// doing its work (a broken install, an option it lacks, no output) leaves it
// false, and the file must then be kept and not written over.
QString read(const QString& path, const QByteArray& passPhrase, QByteArray* plain,
             const Options& options = {}, bool* decryptFailed = nullptr);

// Removes what a run killed while openssl wrote path left beside it: its
// temporary files, named only as this program names them (temporaryName)
// and older than any run under options could still be writing. Every other
// file stays, however much it looks like one ("<file>.backup", a file set
// aside as unreadable).
void removeLeftovers(const QString& path);
void removeLeftovers(const QString& path, const Options& options);

// The pattern of the temporary file a write of path makes beside it: hidden,
// the file's name, then a marker no user would choose and six characters
// (QTemporaryFile's "XXXXXX"), e.g. ".prod.tfvars.enc.tessaril-tmp-XXXXXX".
QString temporaryName(const QString& path);

// The longest pass phrase openssl reads whole on standard input or from a
// file ("-pass stdin", "-pass file:"): one line of at most this many bytes.
// It silently keeps the first bytes of a longer one, stops at a line break
// or NUL, and a file made that way does not open with the phrase as typed.
constexpr int maxPassPhraseBytes = 1023;

// Why openssl would not take the pass phrase whole, or empty when it would:
// longer than maxPassPhraseBytes, or holding a line break, CR or NUL. write(),
// read() and encryptFile() refuse such a phrase before anything is written.
QString passPhraseRefusal(const QByteArray& passPhrase);

// Encrypts the file at sourcePath into path in the format write() makes:
// openssl reads the plain text from the file itself, so standard input
// carries the pass phrase alone, whatever its length or the file's content.
// The new file is made under its temporary name beside path (temporaryName)
// and takes its place only when openssl succeeded; what a killed earlier run
// left under such a name goes first. A pass phrase openssl would cut is
// refused.
QString encryptFile(const QString& sourcePath, const QString& path, const QByteArray& passPhrase,
                    const Options& options = {});

// Moves the file to <file>.unreadable-<yyyyMMddHHmmss> (a number added when
// that exists), leaving its bytes unchanged; *movedTo names it.
QString setAside(const QString& path, QString* movedTo = nullptr);

} // namespace EncryptedFile
