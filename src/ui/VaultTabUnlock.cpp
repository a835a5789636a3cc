// Creating a vault and opening it again: where each unlock method gets the
// image pass phrase from, and the side file that records the method.
#include "ui/VaultTab.h"

#include "config/UserProfile.h"
#include "core/SecureZero.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "vault/TessarilVault.h"
#include "vault/VaultAuthFile.h"
#include "vault/VaultKeyTools.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>

namespace {

const QString kPassword = QStringLiteral("password");
const QString kYubiKey = QStringLiteral("yk-hmac");
const QString kPiv = QStringLiteral("piv-touch");

// Slot 9A's key, as the PKCS#11 module of a PIV token numbers it.
const QString kPivKeyId = QStringLiteral("01");

} // namespace

QString VaultTab::askSecret(const QString& title, const QString& label, bool* ok)
{
    return QInputDialog::getText(this, title, label, QLineEdit::Password, QString(), ok);
}

void VaultTab::warn(const QString& text)
{
    QMessageBox::warning(this, QStringLiteral("Vault"), text, QMessageBox::Ok);
}

bool VaultTab::hardwareKeyPresent() const
{
    return fidoManager && fidoManager->deviceCount() > 0;
}

void VaultTab::onCreateVault(QComboBox* filesystemCombo)
{
    const QString path = vaultPathEdit->text();
    const int sizeMB = sizeCombo->currentData().toInt();
    const QString filesystem = filesystemCombo->currentData().toString();
    const QString method = authCombo->currentData().toString();

    // Refused before anything runs: a side file written over an existing
    // vault's would lock that vault for good.
    if (path.isEmpty()) {
        warn(QStringLiteral("Choose a vault file first."));
        return;
    }
    if (QFileInfo::exists(path) || QFileInfo::exists(VaultAuthFile::pathFor(path))) {
        warn(QStringLiteral("Vault already exists: ") + path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());

    QString passphrase;
    QJsonObject sideFile;
    if (method == kPassword) {
        bool ok = false;
        QString typed = askSecret(QStringLiteral("Create Vault"),
                                  QStringLiteral("Password (min 12 chars for compliance):"), &ok);
        if (!ok || typed.size() < 12) {
            secureZero(typed);
            warn(QStringLiteral("Min 12 characters (PCI/NIST/ISO)."));
            return;
        }
        passphrase.swap(typed);
    } else if (method == kYubiKey) {
        if (!hardwareKeyPresent()) {
            warn(QStringLiteral("Insert your YubiKey first."));
            return;
        }
        appendLog(QStringLiteral("Computing HMAC-SHA1 challenge-response on YubiKey slot 2..."));
        appendLog(QStringLiteral("Touch your YubiKey when it blinks."));
        const QString challenge = VaultKeyTools::randomHex();
        if (!challenge.isEmpty())
            passphrase = VaultKeyTools::challengeResponse(challenge);
        if (!challenge.isEmpty() && passphrase.isEmpty()) {
            warn(QStringLiteral("YubiKey challenge-response failed.\n"
                                "Ensure slot 2 is configured for HMAC-SHA1 challenge-response."));
            return;
        }
        if (!passphrase.isEmpty()) {
            sideFile.insert(QStringLiteral("type"), kYubiKey);
            sideFile.insert(QStringLiteral("challenge"), challenge);
            appendLog(QStringLiteral("YubiKey HMAC response obtained."));
        }
    } else if (method == kPiv) {
        if (!hardwareKeyPresent()) {
            warn(QStringLiteral("Insert your PIV device first."));
            return;
        }
        appendLog(QStringLiteral("Generating vault key secured by PIV..."));
        passphrase = VaultKeyTools::randomHex();
        if (!passphrase.isEmpty()) {
            appendLog(QStringLiteral("Wrapping vault key with PIV certificate (slot 9A)..."));
            const QByteArray wrapped =
                VaultKeyTools::wrapWithCertificate(VaultKeyTools::exportPivCertificate(), passphrase);
            // Keeping the key itself beside the image would let anyone with
            // the two files open the vault.
            if (wrapped.isEmpty()) {
                secureZero(passphrase);
                warn(QStringLiteral("PIV slot 9A has no RSA certificate \u2014 vault not created."));
                return;
            }
            sideFile.insert(QStringLiteral("type"), kPiv);
            sideFile.insert(QStringLiteral("wrapped"), true);
            sideFile.insert(QStringLiteral("wrapped_key"), QString::fromLatin1(wrapped.toBase64()));
            appendLog(QStringLiteral("Vault key encrypted with PIV public key."));
        }
    }

    if (passphrase.isEmpty()) {
        appendLog(QStringLiteral("Vault creation cancelled \u2014 no key material."));
        return;
    }

    const bool created = vault->create(path, sizeMB, passphrase, filesystem);
    secureZero(passphrase);
    if (!created) {
        Q_EMIT logRequest(QStringLiteral("Vault Create"), method, false, path);
        return;
    }
    // Written only once the image exists, so a refused or failed create
    // leaves no side file behind.
    if (!sideFile.isEmpty() && !VaultAuthFile::write(path, sideFile)) {
        QFileInfo(path).isDir() ? QDir(path).removeRecursively() : QFile::remove(path);
        warn(QStringLiteral("Could not write %1 \u2014 vault not created.").arg(VaultAuthFile::pathFor(path)));
        Q_EMIT logRequest(QStringLiteral("Vault Create"), method, false, path);
        return;
    }
    userProfile->addVaultPath(path);
    refreshVaultList();
    Q_EMIT logRequest(QStringLiteral("Vault Create"), method, true, path);
}

QString VaultTab::unwrapPivKey(const QString& wrappedKey)
{
    bool ok = false;
    QString pin = askSecret(QStringLiteral("Mount Vault \u2014 PIV"), QStringLiteral("PIV PIN:"), &ok);
    if (!ok || pin.isEmpty()) {
        secureZero(pin);
        return {};
    }
    int slot = -1;
    for (const Pkcs11SlotInfo& info : pivBridge->listSlots()) {
        if (info.tokenPresent) {
            slot = info.slotId;
            break;
        }
    }
    QByteArray plain;
    if (slot >= 0)
        plain = pivBridge->decrypt(slot, kPivKeyId, QByteArray::fromBase64(wrappedKey.toLatin1()), pin);
    secureZero(pin);
    QString key = QString::fromUtf8(plain);
    secureZero(plain);
    if (key.isEmpty())
        appendLog(QStringLiteral("PIV unwrap failed."));
    return key;
}

void VaultTab::mountVaultByPath(const QString& path)
{
    if (!QFileInfo::exists(path)) {
        appendLog(QStringLiteral("Vault file not found: ") + path);
        return;
    }
    const VaultAuthInfo auth = VaultAuthFile::read(path);

    QString passphrase;
    if (auth.type == kPassword) {
        bool ok = false;
        passphrase = askSecret(QStringLiteral("Mount Vault"), QStringLiteral("Password:"), &ok);
        if (!ok)
            secureZero(passphrase);
    } else if (auth.type == kYubiKey) {
        if (!hardwareKeyPresent()) {
            warn(QStringLiteral("Insert your YubiKey to unlock."));
            return;
        }
        appendLog(QStringLiteral("Computing HMAC challenge-response... Touch your YubiKey."));
        passphrase = VaultKeyTools::challengeResponse(auth.challenge);
        if (passphrase.isEmpty()) {
            appendLog(QStringLiteral("YubiKey challenge-response failed."));
            return;
        }
    } else if (auth.type == kPiv) {
        if (!hardwareKeyPresent()) {
            warn(QStringLiteral("Insert your PIV device to unlock."));
            return;
        }
        appendLog(QStringLiteral("Unwrapping vault key via PIV... Touch your device."));
        if (auth.wrappedKey.isEmpty()) {
            appendLog(QStringLiteral("PIV auth data missing or corrupt."));
            return;
        }
        // A side file from before wrapping was refused holds the key itself.
        passphrase = auth.wrapped ? unwrapPivKey(auth.wrappedKey) : auth.wrappedKey;
    }

    if (passphrase.isEmpty())
        return;
    vault->mount(path, passphrase);
    secureZero(passphrase);
    refreshVaultList();
}
