#pragma once

#include <QString>
#include <QStringList>

// One remote host and one local path, as the SFTP / SCP form holds them, and
// the scp, rsync and sftp commands built from them. scp gets an argument
// list; rsync and sftp get a command line for the user's shell.
struct TransferForm
{
    QString host;
    QString user;
    QString port;          // free text: read as a decimal number, 0 when it is none
    QString remotePath;
    QString keyPath;
    QString localPath;

    // How the words of a command line are written: as they stand (for the
    // log, where the user reads them) or quoted for the shell that runs it.
    enum class Words { AsTyped, Quoted };

    int portNumber() const;
    // A port to name: at least 1 and not 22; 0 when none is.
    int portOption() const;
    // "user@host:path" (no "user@" without a user); an empty path is "~".
    QString remoteTarget() const;
    // Why the host or user may not reach tool, or empty when they may: a
    // word that begins with "-" would be read as an option by the SSH
    // client that scp, rsync and sftp run. The paths go after "--" instead.
    QString refusal(const QString& tool) const;
    // "-r", the port and key options, "--", then the local path and the
    // remote target (swapped for a download).
    QStringList scpArguments(bool upload) const;
    // Local to remote, over ssh with the form's port and key; the paths, and
    // sftp's target, after "--".
    QString rsyncCommandLine(Words words) const;
    QString sftpCommandLine(Words words) const;
};
