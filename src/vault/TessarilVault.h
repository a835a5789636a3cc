#pragma once

#include "core/PrivateFiles.h"

#include <QList>
#include <QObject>
#include <QString>

namespace ToolRunner {
struct Result;
}

// The state of the engine: the vault it last created or mounted and whether
// it holds that vault attached.
struct VaultInfo {
    QString path;
    QString mountPoint;
    int sizeMB = 256;
    bool mounted = false;
    bool encrypted = false;
    QString encryption;
    QString filesystem;
};

// One cloud provider's access credential, kept only inside a mounted vault.
// Identified by provider and profile, compared exactly.
struct CloudCredential {
    QString provider;     // "aws", "azure", "gcp", "digitalocean", "custom"
    QString profile;
    QString accountId;
    QString accessKeyId;
    QString secretKey;
    QString region;
    QString endpoint;
    QString notes;
};

// Wipes the secret of every credential in the list.
void wipeSecrets(QList<CloudCredential>& credentials);

// The vault engine: turns an encrypted disk image into a folder the rest of
// the program writes to. One instance per application, owned by the main window.
// A vault is an AES-256 sparse bundle made by hdiutil; the pass phrase it is
// handed reaches hdiutil on standard input only and is never kept.
class TessarilVault : public QObject
{
    Q_OBJECT
public:
    explicit TessarilVault(QObject* parent = nullptr);

    // The file "vault.qvimgv" in the configuration folder, built from the
    // home folder on every call.
    static QString defaultPath();
    // Where volumes are attached: $OT_VOLUMES_ROOT when set, else "/Volumes".
    static QString volumesRoot();
    // Every vault is attached at this one place, whoever attached it.
    static QString fixedMountPoint();

    // Whether path is a vault image as create makes it: a sparse-bundle
    // folder, whose Info.plist names that bundle type, whatever the folder
    // is called. False with the reason in *why.
    static bool isVaultImage(const QString& path, QString* why = nullptr);

    bool create(const QString& path, int sizeMB, const QString& password, const QString& filesystem);
    bool mount(const QString& path, const QString& password);
    // True when nothing is mounted any more.
    bool unmount();
    // Lays out the five top-level folders of a mounted vault.
    bool ensureVaultDirs();
    // The folder relative to the mount point ("ssh", "passwords/lastpass"),
    // its missing levels made, held open: every file of the vault is written
    // through one of these, so a level swapped for a link while an operation
    // runs cannot lead a write out of the vault. Invalid, with the reason in
    // *why, when nothing is mounted or the mount point or a level is a link
    // or no folder.
    PrivateFiles::Folder vaultFolder(const QString& relative, QString* why);
    // Tells (vaultError) that the file name of folder, item in the vault
    // ("gpg/secret-keys.asc"), was not written and why; and, when an earlier
    // one stays there, that the vault keeps that one and from when.
    // How a tool run that gave nothing to keep ended ("gpg exited with code
    // 2", "security timed out after 30000 ms"), with the tool's last word.
    static QString runFailure(const QString& tool, const ToolRunner::Result& result);
    void tellNotWritten(const PrivateFiles::Folder& folder, const QString& item, const QString& name,
                        const QString& reason);

    QString mountPoint() const;
    bool isMounted() const;
    bool isWritable() const;
    bool isCreated(const QString& path) const;
    VaultInfo info() const;

    // Runs hdiutil with no pass phrase; a failure with error output is
    // reported through vaultError. Returns the standard output.
    QString runHdiutil(const QList<QString>& args, const QString& stdinData);

    // What a mounted vault holds (TessarilVaultContents.cpp). Every one of
    // these needs a mounted vault; each reports through vaultLog and
    // vaultError, and an earlier copy inside the vault is only ever replaced
    // by a whole new one. A backup tells every item it could not write, by
    // name and with the reason, and is then a failure, however many others
    // it wrote.
    // The files of ~/.ssh (hidden ones too, "known_hosts_old" not) into
    // "ssh"; true when at least one was copied and none failed.
    bool backupSshKeys();
    // The vault's "ssh" files (hidden ones not) into ~/.ssh, where no file of
    // that name is yet; true when at least one was restored.
    bool restoreSshKeys();
    // gpg's exports of the secret keys, the public keys and the owner trust
    // into "gpg"; true when at least one export was saved and none failed
    // (an empty export, such as the secret keys of a public keyring, is
    // nothing to save).
    bool backupGpgKeyring();
    // Imports what "gpg" holds; true when at least one import completed.
    bool restoreGpgKeyring();
    // Copies the files into "certificates"; true when at least one was
    // copied and none failed.
    bool backupCertificates(const QList<QString>& paths);
    // Copies the file into the vault folder category ("files",
    // "passwords/lastpass"), made when missing, under its own name; a copy
    // that fails is told with the reason.
    bool storeFile(const QString& sourcePath, const QString& category);
    // Copies the first file of that name found in "ssh", "gpg",
    // "certificates", "cloud" or "files" to destPath.
    bool retrieveFile(const QString& fileName, const QString& destPath);
    // The files of one vault folder by name; with an empty category, those
    // of every top-level folder as "folder/name".
    QList<QString> listFiles(const QString& category);

    // The cloud credentials of a mounted vault (TessarilVaultCloud.cpp).
    // Replaces every stored entry of the same provider and profile; refuses
    // to write over a file that holds no credentials list.
    bool saveCloudCredential(const CloudCredential& credential);
    // In file order; empty when nothing is mounted or the file is missing or
    // holds no list.
    QList<CloudCredential> loadCloudCredentials();
    // True when at least one entry matched and the file was rewritten.
    bool removeCloudCredential(const QString& provider, const QString& profile);

    // Waits of every hdiutil run.
    int startTimeoutMs = 5000;
    int finishTimeoutMs = 60000;
    // How long gpg may take to export or import the secret keys, the public
    // keys and the owner trust.
    int gpgSecretTimeoutMs = 30000;
    int gpgPublicTimeoutMs = 15000;
    int gpgTrustTimeoutMs = 10000;

Q_SIGNALS:
    void vaultLog(const QString& message);
    void vaultMounted(const QString& mountPoint);
    void vaultUnmounted();
    void vaultError(const QString& error);

private:
    ToolRunner::Result runTool(const QStringList& args, const QString& passphrase);
    // hdiutil's own error output, or why it did not run to its end.
    static QString failureText(const ToolRunner::Result& result);
    void detach(const QString& mountPoint);
    // False, with "Vault not mounted.", when no vault is mounted.
    bool requireMounted();
    // False, told, when the folder an operation wrote into no longer stands
    // at its name (swapped while the operation ran).
    bool stillInPlace(const PrivateFiles::Folder& folder, const QString& item);
    ToolRunner::Result runGpg(const QStringList& args, int finishTimeoutMs);

    VaultInfo vaultInfo;
};
