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

// Sets the folder to 0700, "config" and each private key to 0600; a path that
// does not exist is nothing to fix. Returns the existing paths whose mode
// could not be changed.
QStringList restrictPermissions();

// What ssh-keygen -l prints for one public key; an empty fingerprint when
// the key was not fingerprinted.
struct KeyFingerprint
{
    int bits = 0;
    QString fingerprint; // "SHA256:..."
    QString type;        // the key type as ssh-keygen names it, e.g. "ED25519"
};

// Fingerprints every public key line ("type base64-blob", anything after
// the blob ignored) with one `ssh-keygen -l -f -` run, however many there
// are: the pages that list the SSH folder cost one tool start, not one per
// key pair. The result has one entry per line, in the same order; an empty
// line, or one ssh-keygen rejects, gets an empty entry. When the run does
// not end on its own within timeoutMs, *failure says why.
QList<KeyFingerprint> fingerprints(const QList<QByteArray>& keyLines, int timeoutMs, QString* failure = nullptr);

// The two halves of fingerprints(), for a page that runs ssh-keygen in the
// background: what `ssh-keygen -l -f -` reads (empty when no line holds a
// key), and the entries read back from what it printed.
QByteArray fingerprintInput(const QList<QByteArray>& keyLines);
QList<KeyFingerprint> readFingerprints(const QByteArray& output, qsizetype count);

} // namespace SshDirectory
