#include "VaultFixture.h"

#include "FakeTools.h"

#include "core/ToolRunner.h"
#include "ui/widgets/PageFill.h"
#include "vault/TessarilVault.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QProcessEnvironment>
#include <QWidget>

namespace VaultFixture {

void installHdiutil(FakeTools& tools)
{
    tools.install(QStringLiteral("hdiutil"), QStringLiteral("hdiutil"));
}

bool makeImage(const QString& path, const QString& passphrase, const QString& filesystem)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QString bundle = path + QStringLiteral(".fixture.sparsebundle");
    ToolRunner::Options options;
    options.standardInput = passphrase.toUtf8() + '\n';
    options.finishTimeoutMs = 60000;
    // Not a call of the program under test: keep it out of the recorded calls.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("FAKE_STATE"));
    options.environment = env;
    const ToolRunner::Result result = ToolRunner::run(
        QStringLiteral(OT_FAKES_DIR "/hdiutil"),
        {QStringLiteral("create"), QStringLiteral("-size"), QStringLiteral("64m"), QStringLiteral("-encryption"),
         QStringLiteral("AES-256"), QStringLiteral("-stdinpass"), QStringLiteral("-type"),
         QStringLiteral("SPARSEBUNDLE"), QStringLiteral("-fs"), filesystem, QStringLiteral("-volname"),
         QStringLiteral("Tessaril Vault"), path + QStringLiteral(".fixture")},
        options);
    return result.succeeded() && QDir().rename(bundle, path);
}

bool makeAndMount(TessarilVault& vault, const QString& path, const QString& passphrase)
{
    return makeImage(path, passphrase) && vault.mount(path, passphrase)
        && QFileInfo(TessarilVault::fixedMountPoint()).isDir();
}

namespace {
const QByteArray kSlot2Secret = "ostrevan-test-slot-2";
}

void installYkchalresp(FakeTools& tools)
{
    tools.install(QStringLiteral("ykchalresp"));
    tools.setHook(QStringLiteral("ykchalresp"),
                  QStringLiteral("printf '%s' \"${@: -1}\" | openssl dgst -sha1 -hmac '%1' -r | cut -c1-40; exit 0")
                      .arg(QString::fromLatin1(kSlot2Secret)));
}

QString ykchalrespAnswer(const QString& challenge)
{
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(challenge.toUtf8(), kSlot2Secret, QCryptographicHash::Sha1).toHex());
}

bool vaultListFilled(const QWidget* tab)
{
    const auto* fill = tab->findChild<PageFill*>();
    return fill && fill->hasStarted() && !fill->isFilling();
}

QString keptEarlier(const QString& path)
{
    return QStringLiteral(" \u2014 the vault keeps the earlier one, saved ")
        + QFileInfo(path).lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

MountedFolder::MountedFolder(bool mounted)
{
    if (mounted)
        QDir().mkpath(TessarilVault::fixedMountPoint());
    QObject::connect(&vault, &TessarilVault::vaultLog, &vault, [this](const QString& line) { lines << line; });
    QObject::connect(&vault, &TessarilVault::vaultError, &vault,
                     [this](const QString& error) { lines << QStringLiteral("ERROR: ") + error; });
}

QString MountedFolder::in(const QString& relative) const
{
    return TessarilVault::fixedMountPoint() + QLatin1Char('/') + relative;
}

} // namespace VaultFixture
