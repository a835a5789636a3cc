#include "vault/TessarilVault.h"

#include "core/LogText.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

const QString kVolumeName = QStringLiteral("Tessaril Vault");
const QString kExtension = QStringLiteral(".qvimgv");
const QString kEncryption = QStringLiteral("AES-256");

// A folder, and not a link to one: a link at the mount point is no volume
// attached there, and following it would take the vault's files elsewhere.
bool isDir(const QString& path)
{
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
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

bool TessarilVault::isVaultImage(const QString& path, QString* why)
{
    const auto refuse = [why](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    const QFileInfo info(path);
    const QString shown = LogText::escaped(path);
    if (!info.exists())
        return refuse(QStringLiteral("nothing is at %1.").arg(shown));
    if (!info.isDir())
        return refuse(QStringLiteral("%1 is a file; a vault is the disk-image bundle folder the vault was created as.")
                          .arg(shown));
    // hdiutil describes every bundle it makes in its Info.plist, an XML
    // property list a few hundred bytes long.
    QFile plist(path + QStringLiteral("/Info.plist"));
    const QFileInfo plistInfo(plist.fileName());
    if (!plistInfo.isFile() || plistInfo.isSymLink() || plistInfo.size() > 65536 || !plist.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("%1 is a folder, not a vault: it holds no disk-image bundle description "
                                     "(Info.plist).")
                          .arg(shown));
    static const QRegularExpression bundleType(QStringLiteral(
        R"(<key>\s*diskimage-bundle-type\s*</key>\s*<string>\s*com\.apple\.diskimage\.sparsebundle\s*</string>)"));
    if (!bundleType.match(QString::fromUtf8(plist.readAll())).hasMatch())
        return refuse(QStringLiteral("%1 is a folder, not a vault: its Info.plist describes no sparse bundle.").arg(shown));
    return true;
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
    // Made without following a link at any name; one found there is left
    // for the operation that would write into it to refuse.
    for (const char* folder : {"ssh", "gpg", "certificates", "cloud", "files"})
        PrivateFiles::Folder::openBelow(root, QLatin1String(folder));
    return true;
}

PrivateFiles::Folder TessarilVault::vaultFolder(const QString& relative, QString* why)
{
    if (!isMounted()) {
        if (why)
            *why = QStringLiteral("Vault not mounted.");
        return {};
    }
    return PrivateFiles::Folder::openBelow(mountPoint(), relative, why);
}

void TessarilVault::tellNotWritten(const PrivateFiles::Folder& folder, const QString& item, const QString& name,
                                   const QString& reason)
{
    QString line = QStringLiteral("%1 not written: %2").arg(LogText::escaped(item), reason);
    // A reader must not take an older copy for the one just attempted.
    const QDateTime earlier = folder.modified(name);
    if (earlier.isValid())
        line += QStringLiteral(" \u2014 the vault keeps the earlier one, saved %1")
                    .arg(earlier.toString(QStringLiteral("yyyy-MM-dd HH:mm")));
    Q_EMIT vaultError(line);
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
    if (!isDir(point))
        return false;
    // The probe is a fresh file of its own: a link planted at a fixed name
    // would have its target emptied.
    return PrivateFiles::Folder::openBelow(point, QString()).canWrite();
}

bool TessarilVault::isCreated(const QString& path) const
{
    return QFileInfo::exists(path);
}

VaultInfo TessarilVault::info() const
{
    return vaultInfo;
}
