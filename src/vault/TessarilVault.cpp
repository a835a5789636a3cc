#include "vault/TessarilVault.h"

#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kVolumeName = QStringLiteral("Tessaril Vault");
const QString kExtension = QStringLiteral(".qvimgv");
const QString kEncryption = QStringLiteral("AES-256");

bool isDir(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

} // namespace

TessarilVault::TessarilVault(QObject* parent)
    : QObject(parent)
{
}

QString TessarilVault::defaultPath()
{
    return QDir::homePath() + QStringLiteral("/Ostrevan/OstrevanTessaril/vault.qvimgv");
}

QString TessarilVault::volumesRoot()
{
    const QString root = qEnvironmentVariable("OT_VOLUMES_ROOT");
    return root.isEmpty() ? QStringLiteral("/Volumes") : root;
}

QString TessarilVault::fixedMountPoint()
{
    return volumesRoot() + QLatin1Char('/') + kVolumeName;
}

ToolRunner::Result TessarilVault::runTool(const QStringList& args, const QString& passphrase)
{
    ToolRunner::Options options;
    options.startTimeoutMs = startTimeoutMs;
    options.finishTimeoutMs = finishTimeoutMs;
    // The only copy of the pass phrase's bytes this side of the tool: built in
    // place so that wiping it wipes the one buffer.
    if (!passphrase.isEmpty()) {
        options.standardInput = passphrase.toUtf8();
        options.standardInput.append('\n');
    }
    ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("hdiutil")), args, options);
    secureZero(options.standardInput);
    return result;
}

QString TessarilVault::failureText(const ToolRunner::Result& result)
{
    if (!result.finished())
        return QStringLiteral("hdiutil ") + result.failure;
    return result.stdErrText().trimmed();
}

QString TessarilVault::runHdiutil(const QList<QString>& args, const QString& stdinData)
{
    const ToolRunner::Result result = runTool(args, stdinData);
    if (!result.succeeded()) {
        const QString error = failureText(result);
        if (!error.isEmpty())
            Q_EMIT vaultError(error);
    }
    return result.stdOutText();
}

void TessarilVault::detach(const QString& mountPoint)
{
    runHdiutil({QStringLiteral("detach"), mountPoint, QStringLiteral("-force")}, QString());
}

bool TessarilVault::create(const QString& path, int sizeMB, const QString& password,
                           const QString& filesystem)
{
    if (QFileInfo::exists(path)) {
        Q_EMIT vaultError(QStringLiteral("Vault already exists: ") + path);
        return false;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    Q_EMIT vaultLog(QStringLiteral("Creating %1MB encrypted vault: %2").arg(sizeMB).arg(path));

    const QString target = path.endsWith(kExtension) ? path.chopped(kExtension.size()) : path;
    const QString bundle = target + QStringLiteral(".sparsebundle");
    // A bundle left by a failed or killed run is under a pass phrase nobody
    // knows; moving it onto the path would report a vault that cannot open.
    if (QFileInfo::exists(bundle)) {
        Q_EMIT vaultError(QStringLiteral("Vault creation failed: %1 already exists").arg(bundle));
        return false;
    }

    const ToolRunner::Result result = runTool(
        {QStringLiteral("create"), QStringLiteral("-size"), QString::number(sizeMB) + QLatin1Char('m'),
         QStringLiteral("-encryption"), kEncryption, QStringLiteral("-stdinpass"),
         QStringLiteral("-type"), QStringLiteral("SPARSEBUNDLE"), QStringLiteral("-fs"), filesystem,
         QStringLiteral("-volname"), kVolumeName, target},
        password);

    if (!result.succeeded() || !isDir(bundle)) {
        QString error = result.finished() ? result.stdErrText() : failureText(result);
        if (error.trimmed().isEmpty())
            error = QStringLiteral("hdiutil made no image");
        Q_EMIT vaultError(QStringLiteral("Vault creation failed: ") + error.left(200));
        return false;
    }
    if (!QDir().rename(bundle, path)) {
        Q_EMIT vaultError(
            QStringLiteral("Vault creation failed: could not move %1 to %2").arg(bundle, path));
        return false;
    }
    vaultInfo.path = path;
    vaultInfo.sizeMB = sizeMB;
    vaultInfo.encrypted = true;
    vaultInfo.encryption = kEncryption;
    vaultInfo.filesystem = filesystem;
    Q_EMIT vaultLog(QStringLiteral("Vault created: ") + path);
    return true;
}

bool TessarilVault::mount(const QString& path, const QString& password)
{
    if (!QFileInfo::exists(path)) {
        Q_EMIT vaultError(QStringLiteral("Vault not found: ") + path);
        return false;
    }
    const QString fixed = fixedMountPoint();
    if (isDir(fixed)) {
        Q_EMIT vaultLog(QStringLiteral("Detaching existing mount (may be read-only)..."));
        detach(fixed);
        // Whoever had attached it, the volume the pages were following is gone.
        if (!isDir(fixed)) {
            vaultInfo.mounted = false;
            vaultInfo.mountPoint.clear();
            Q_EMIT vaultUnmounted();
        }
    }
    Q_EMIT vaultLog(QStringLiteral("Mounting vault: ") + path);
    const ToolRunner::Result result =
        runTool({QStringLiteral("attach"), path, QStringLiteral("-stdinpass"), QStringLiteral("-nobrowse"),
                 QStringLiteral("-noverify"), QStringLiteral("-noautoopen"), QStringLiteral("-mountpoint"),
                 fixed},
                password);

    if (!result.finished()) {
        // An attach that was cut off may still have left a volume behind.
        if (isDir(fixed))
            detach(fixed);
        Q_EMIT vaultError(failureText(result));
        Q_EMIT vaultError(QStringLiteral("Mount failed."));
        return false;
    }
    if (result.exitCode != 0) {
        if (isDir(fixed))
            detach(fixed);
        Q_EMIT vaultError(QStringLiteral("Mount failed \u2014 check your password."));
        return false;
    }
    if (!isDir(fixed)) {
        Q_EMIT vaultError(QStringLiteral("Mount failed."));
        return false;
    }
    vaultInfo.path = path;
    vaultInfo.mountPoint = fixed;
    vaultInfo.mounted = true;
    vaultInfo.encrypted = true;
    ensureVaultDirs();
    Q_EMIT vaultLog(QStringLiteral("Vault mounted: ") + fixed);
    Q_EMIT vaultMounted(fixed);
    return true;
}

bool TessarilVault::unmount()
{
    const QString point = mountPoint();
    if (point.isEmpty())
        return true;
    Q_EMIT vaultLog(QStringLiteral("Unmounting vault..."));
    detach(point);
    if (isDir(point)) {
        Q_EMIT vaultError(QStringLiteral("Unmount failed \u2014 volume may be in use."));
        return false;
    }
    vaultInfo.mounted = false;
    vaultInfo.mountPoint.clear();
    Q_EMIT vaultLog(QStringLiteral("Vault unmounted."));
    Q_EMIT vaultUnmounted();
    return true;
}

bool TessarilVault::ensureVaultDirs()
{
    if (!isMounted())
        return false;
    const QString root = mountPoint();
    for (const char* folder : {"ssh", "gpg", "certificates", "cloud", "files"})
        QDir().mkpath(root + QLatin1Char('/') + QLatin1String(folder));
    return true;
}

QString TessarilVault::vaultFolder(const QString& relative)
{
    QString path = mountPoint();
    for (const QString& level : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + level;
        // mkdir never follows a link at its name, so a level made here is
        // the vault's own; one found there is looked at without following.
        QDir().mkdir(path);
        const QFileInfo info(path);
        if (info.isSymLink()) {
            Q_EMIT vaultError(QStringLiteral("Not written: %1 is a link, not a folder of the vault.").arg(path));
            return QString();
        }
        if (!info.isDir()) {
            Q_EMIT vaultError(QStringLiteral("Not written: %1 is not a folder.").arg(path));
            return QString();
        }
    }
    return path;
}

QString TessarilVault::mountPoint() const
{
    if (isDir(vaultInfo.mountPoint))
        return vaultInfo.mountPoint;
    const QString fixed = fixedMountPoint();
    if (isDir(fixed))
        return fixed;
    return vaultInfo.mountPoint;
}

bool TessarilVault::isMounted() const
{
    if (vaultInfo.mounted && isDir(vaultInfo.mountPoint))
        return true;
    return isDir(fixedMountPoint());
}

bool TessarilVault::isWritable() const
{
    if (vaultInfo.mounted)
        return true;
    const QString point = mountPoint();
    if (point.isEmpty())
        return false;
    QFile probe(point + QStringLiteral("/.qv_write_test"));
    if (!probe.open(QIODevice::WriteOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

bool TessarilVault::isCreated(const QString& path) const
{
    return QFileInfo::exists(path);
}

VaultInfo TessarilVault::info() const
{
    return vaultInfo;
}
