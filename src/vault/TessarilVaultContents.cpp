// What a mounted vault holds: the SSH folder, the GPG keyring, certificates
// and a small file store in category folders.
#include "vault/TessarilVault.h"

#include "core/LogText.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
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

// Copies the file source to name in folder, owner-only. A link planted at
// name is replaced, never written through. False with the reason.
bool copyIntoVault(const QString& source, const PrivateFiles::Folder& folder, const QString& name, QString* why)
{
    const QFileInfo info(source);
    // isFile follows a link: a dangling one, a folder or a device is no file.
    if (!info.isFile()) {
        *why = LogText::escaped(source)
            + (info.exists() ? QStringLiteral(": not a regular file") : QStringLiteral(": no such file"));
        return false;
    }
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *why = LogText::escaped(source) + QStringLiteral(": ") + in.errorString();
        return false;
    }
    return folder.replace(name, in, why);
}

} // namespace

QString TessarilVault::runFailure(const QString& tool, const ToolRunner::Result& result)
{
    QString reason = result.finished() ? QStringLiteral("%1 exited with code %2").arg(tool).arg(result.exitCode)
                                       : tool + QLatin1Char(' ') + result.failure;
    const QStringList lines = result.stdErrText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!lines.isEmpty())
        reason += QStringLiteral(": ") + LogText::escaped(lines.last().trimmed());
    return reason;
}

bool TessarilVault::requireMounted()
{
    if (isMounted())
        return true;
    Q_EMIT vaultError(QStringLiteral("Vault not mounted."));
    return false;
}

bool TessarilVault::stillInPlace(const PrivateFiles::Folder& folder, const QString& item)
{
    if (folder.isStillAtPath())
        return true;
    Q_EMIT vaultError(QStringLiteral("%1 was replaced while this ran: what was written went to the folder that "
                                     "stood there before, not to what stands there now.")
                          .arg(item));
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
    QString why;
    const PrivateFiles::Folder target = vaultFolder(QStringLiteral("ssh"), &why);
    if (!target.isValid()) {
        Q_EMIT vaultError(QStringLiteral("SSH backup failed: ") + why);
        return false;
    }
    const QDir source(sshFolder());
    int count = 0;
    int failed = 0;
    for (const QString& name : source.entryList(QDir::Files | QDir::Hidden, QDir::Unsorted)) {
        if (name == QLatin1String("known_hosts_old"))
            continue;
        if (copyIntoVault(source.filePath(name), target, name, &why)) {
            ++count;
        } else {
            ++failed;
            tellNotWritten(target, QStringLiteral("ssh/") + name, name, why);
        }
    }
    if (!stillInPlace(target, QStringLiteral("ssh")))
        return false;
    if (failed > 0) {
        Q_EMIT vaultError(QStringLiteral("SSH backup failed: %1 of %2 files not copied.").arg(failed).arg(failed + count));
        return false;
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
    // Opened, and checked, before gpg runs: the exports go into this very
    // folder, whatever its name leads to by the time they are done.
    QString why;
    const PrivateFiles::Folder folder = vaultFolder(QStringLiteral("gpg"), &why);
    if (!folder.isValid()) {
        Q_EMIT vaultError(QStringLiteral("GPG backup failed: ") + why);
        return false;
    }
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
    int failed = 0;
    for (qsizetype i = 0; i < results.size(); ++i) {
        ToolRunner::Result& result = results[i];
        const QString& file = exports[i].file;
        // What a gpg that failed or was cut off printed may be half an
        // export: it must not replace a whole one from an earlier backup.
        if (!result.succeeded()) {
            ++failed;
            tellNotWritten(folder, QStringLiteral("gpg/") + file, file, runFailure(QStringLiteral("gpg"), result));
        } else if (!result.stdOut.isEmpty()) {
            if (folder.replace(file, result.stdOut, &why)) {
                ++count;
            } else {
                ++failed;
                tellNotWritten(folder, QStringLiteral("gpg/") + file, file, why);
            }
        }
        secureZero(result.stdOut);
    }
    if (!stillInPlace(folder, QStringLiteral("gpg")))
        return false;
    if (failed > 0) {
        Q_EMIT vaultError(QStringLiteral("GPG backup failed: %1 of %2 exports not saved.").arg(failed).arg(results.size()));
        return false;
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
    QString why;
    const PrivateFiles::Folder folder = vaultFolder(QStringLiteral("certificates"), &why);
    if (!folder.isValid()) {
        Q_EMIT vaultError(QStringLiteral("Certificates backup failed: ") + why);
        return false;
    }
    int count = 0;
    int failed = 0;
    for (const QString& path : paths) {
        const QString name = QFileInfo(path).fileName();
        if (!name.isEmpty() && copyIntoVault(path, folder, name, &why)) {
            ++count;
            continue;
        }
        ++failed;
        if (name.isEmpty())
            Q_EMIT vaultError(QStringLiteral("%1 not backed up: not a file name").arg(LogText::escaped(path)));
        else
            tellNotWritten(folder, QStringLiteral("certificates/") + name, name, why);
    }
    if (!stillInPlace(folder, QStringLiteral("certificates")))
        return false;
    if (failed > 0) {
        Q_EMIT vaultError(
            QStringLiteral("Certificates backup failed: %1 of %2 files not copied.").arg(failed).arg(paths.size()));
        return false;
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
    const QString item = category.split(QLatin1Char('/'), Qt::SkipEmptyParts).join(QLatin1Char('/'))
        + QLatin1Char('/') + name;
    QString why;
    const PrivateFiles::Folder folder = vaultFolder(category, &why);
    if (!folder.isValid()) {
        Q_EMIT vaultError(QStringLiteral("%1 not written: %2").arg(LogText::escaped(item), why));
        return false;
    }
    if (!copyIntoVault(sourcePath, folder, name, &why)) {
        tellNotWritten(folder, item, name, why);
        return false;
    }
    if (!stillInPlace(folder, LogText::escaped(category)))
        return false;
    Q_EMIT vaultLog(QStringLiteral("Stored: ") + LogText::escaped(name));
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
