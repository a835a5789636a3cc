#pragma once

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

} // namespace SshDirectory
