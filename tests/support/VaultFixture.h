#pragma once

#include "vault/TessarilVault.h"

#include <QString>
#include <QStringList>

class FakeTools;
class QWidget;

// Vaults on the hdiutil stand-in (tests/fakes/hdiutil): an image is an
// encrypted folder, and "attached" means its files sit plain at
// TessarilVault::fixedMountPoint() (inside the TestHome's OT_VOLUMES_ROOT).
namespace VaultFixture {

// Puts the stand-in first on PATH as "hdiutil".
void installHdiutil(FakeTools& tools);

// Makes an image at path under the pass phrase the way the engine's create
// does, without an engine and without a recorded call. False on failure.
bool makeImage(const QString& path, const QString& passphrase, const QString& filesystem = QStringLiteral("APFS"));

// Makes an image at path and mounts it through the engine; true when the
// engine reports it mounted at the fixed mount point.
bool makeAndMount(TessarilVault& vault, const QString& path, const QString& passphrase);

// Puts a recording ykchalresp first on PATH that answers like a YubiKey
// whose slot 2 holds an HMAC-SHA1 secret: 40 hexadecimal characters of
// HMAC-SHA1 over the challenge's text.
void installYkchalresp(FakeTools& tools);
// What that stand-in answers to the challenge.
QString ykchalrespAnswer(const QString& challenge);

// True once the vault tab's list holds the answer of its latest fill.
bool vaultListFilled(const QWidget* tab);

// What a line that tells a file of the vault was not written adds when an
// earlier file stays at path: that the vault keeps it, and from when.
QString keptEarlier(const QString& path);

// An engine over a folder at the fixed mount point, which it takes for a
// mounted vault (as a volume someone else attached); with mounted false no
// such folder is made. lines holds every line it reports, errors after
// "ERROR: " as the vault tab shows them.
struct MountedFolder {
    explicit MountedFolder(bool mounted = true);
    // A path inside the mounted folder.
    QString in(const QString& relative) const;

    TessarilVault vault;
    QStringList lines;
};

} // namespace VaultFixture
