// What a mounted vault holds: the SSH folder, the GPG keyring, certificates
// and a small file store in category folders.
#include "vault/TessarilVault.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "vault/FileCopy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kPublic =
    kOwnerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther;

const QString kSecretKeys = QStringLiteral("secret-keys.asc");
const QString kPublicKeys = QStringLiteral("public-keys.asc");
const QString kOwnerTrust = QStringLiteral("ownertrust.txt");

QString sshFolder()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

// A name that stays inside the folder it is joined to.
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && !name.contains(QLatin1String("..")) && !name.contains(QLatin1Char('/'));
}

// Copies the file source to target in the vault, owner-only. A link planted
// at target is replaced, never written through.
bool copyIntoVault(const QString& source, const QString& target)
{
    // isFile follows a link: a dangling one, a folder or a device is no file.
    if (!QFileInfo(source).isFile())
        return false;
    QFile in(source);
    return in.open(QIODevice::ReadOnly) && PrivateFiles::replaceOwnerOnly(target, in);
}

} // namespace

bool TessarilVault::requireMounted()
{
    if (isMounted())
        return true;
    Q_EMIT vaultError(QStringLiteral("Vault not mounted."));
    return false;
}

ToolRunner::Result TessarilVault::runGpg(const QStringList& args, int timeoutMs)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    return ToolRunner::run(ToolRunner::findTool(QStringLiteral("gpg")), args, options);
}

bool TessarilVault::backupSshKeys()
{
    if (!requireMounted())
        return false;
    ensureVaultDirs();
    const QString target = vaultFolder(QStringLiteral("ssh"));
    if (target.isEmpty())
        return false;
    const QDir source(sshFolder());
    int count = 0;
    for (const QString& name : source.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted)) {
        if (name == QLatin1String("known_hosts_old"))
            continue;
        if (copyIntoVault(source.filePath(name), target + QLatin1Char('/') + name))
            ++count;
    }
    Q_EMIT vaultLog(QStringLiteral("SSH backup: %1 files copied to vault.").arg(count));
    return count > 0;
}

bool TessarilVault::restoreSshKeys()
{
    if (!requireMounted())
        return false;
    const QDir source(mountPoint() + QStringLiteral("/ssh"));
    const QString target = sshFolder();
    PrivateFiles::makePrivateDir(target);
    int count = 0;
    for (const QString& name : source.entryList(QDir::Files, QDir::Unsorted)) {
        const QString path = target + QLatin1Char('/') + name;
        const QFileInfo existing(path);
        if (existing.exists() || existing.isSymLink())
            continue;
        const auto mode = name.endsWith(QLatin1String(".pub")) ? kPublic : kOwnerOnly;
        if (FileCopy::replaceFile(source.filePath(name), path, mode))
            ++count;
    }
    Q_EMIT vaultLog(QStringLiteral("SSH restore: %1 files restored.").arg(count));
    return count > 0;
}

bool TessarilVault::backupGpgKeyring()
{
    if (!requireMounted())
        return false;
    ensureVaultDirs();
    const QString folder = vaultFolder(QStringLiteral("gpg"));
    if (folder.isEmpty())
        return false;
    const struct {
        QStringList args;
        int timeoutMs;
        QString file;
    } exports[] = {
        {{QStringLiteral("--armor"), QStringLiteral("--export-secret-keys")}, gpgSecretTimeoutMs, kSecretKeys},
        {{QStringLiteral("--armor"), QStringLiteral("--export")}, gpgPublicTimeoutMs, kPublicKeys},
        {{QStringLiteral("--export-ownertrust")}, gpgTrustTimeoutMs, kOwnerTrust},
    };
    QList<ToolRunner::Result> results;
    for (const auto& e : exports)
        results << runGpg(e.args, e.timeoutMs);
    int count = 0;
    for (int i = 0; i < results.size(); ++i) {
        // What a gpg that failed or was cut off printed may be half an
        // export: it must not replace a whole one from an earlier backup.
        const ToolRunner::Result& result = results.at(i);
        if (!result.succeeded() || result.stdOut.isEmpty())
            continue;
        // The secret keys above all must not follow a link planted at the
        // name out of the vault.
        if (PrivateFiles::replaceOwnerOnly(folder + QLatin1Char('/') + exports[i].file, result.stdOut))
            ++count;
    }
    Q_EMIT vaultLog(QStringLiteral("GPG backup: %1 exports saved to vault.").arg(count));
    return count != 0;
}

bool TessarilVault::restoreGpgKeyring()
{
    if (!requireMounted())
        return false;
    const QString folder = mountPoint() + QStringLiteral("/gpg/");
    const struct {
        QString option;
        QString file;
        int timeoutMs;
    } imports[] = {
        {QStringLiteral("--import"), kSecretKeys, gpgSecretTimeoutMs},
        {QStringLiteral("--import"), kPublicKeys, gpgPublicTimeoutMs},
        {QStringLiteral("--import-ownertrust"), kOwnerTrust, gpgTrustTimeoutMs},
    };
    int count = 0;
    for (const auto& i : imports) {
        const QString path = folder + i.file;
        if (QFileInfo::exists(path) && runGpg({i.option, path}, i.timeoutMs).succeeded())
            ++count;
    }
    Q_EMIT vaultLog(QStringLiteral("GPG restore: %1 imports completed.").arg(count));
    return count != 0;
}

bool TessarilVault::backupCertificates(const QList<QString>& paths)
{
    if (!requireMounted())
        return false;
    ensureVaultDirs();
    const QString folder = vaultFolder(QStringLiteral("certificates"));
    if (folder.isEmpty())
        return false;
    int count = 0;
    for (const QString& path : paths) {
        const QString name = QFileInfo(path).fileName();
        if (!name.isEmpty() && copyIntoVault(path, folder + QLatin1Char('/') + name))
            ++count;
    }
    Q_EMIT vaultLog(QStringLiteral("Certificates: %1 files backed up.").arg(count));
    return count > 0;
}

bool TessarilVault::storeFile(const QString& sourcePath, const QString& category)
{
    if (!requireMounted())
        return false;
    if (category.contains(QLatin1String(".."))) {
        Q_EMIT vaultError(QStringLiteral("Invalid path."));
        return false;
    }
    const QString name = QFileInfo(sourcePath).fileName();
    if (!isPlainName(name)) {
        Q_EMIT vaultError(QStringLiteral("Invalid filename."));
        return false;
    }
    const QString folder = vaultFolder(category);
    if (folder.isEmpty())
        return false;
    if (!copyIntoVault(sourcePath, folder + QLatin1Char('/') + name))
        return false;
    Q_EMIT vaultLog(QStringLiteral("Stored: ") + name);
    return true;
}

bool TessarilVault::retrieveFile(const QString& fileName, const QString& destPath)
{
    if (!isMounted())
        return false;
    if (!isPlainName(fileName)) {
        Q_EMIT vaultError(QStringLiteral("Invalid filename."));
        return false;
    }
    for (const char* folder : {"ssh", "gpg", "certificates", "cloud", "files"}) {
        const QString candidate =
            mountPoint() + QLatin1Char('/') + QLatin1String(folder) + QLatin1Char('/') + fileName;
        if (QFileInfo::exists(candidate))
            return FileCopy::replaceFile(candidate, destPath, kOwnerOnly);
    }
    return false;
}

QList<QString> TessarilVault::listFiles(const QString& category)
{
    if (!isMounted() || category.contains(QLatin1String("..")))
        return {};
    const QString root = mountPoint();
    const QDir base(category.isEmpty() ? root : root + QLatin1Char('/') + category);
    if (!base.exists())
        return {};
    if (!category.isEmpty())
        return base.entryList(QDir::Files, QDir::Unsorted);
    QList<QString> found;
    for (const QString& folder : base.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        for (const QString& name : QDir(base.filePath(folder)).entryList(QDir::Files, QDir::Unsorted))
            found << folder + QLatin1Char('/') + name;
    }
    return found;
}
