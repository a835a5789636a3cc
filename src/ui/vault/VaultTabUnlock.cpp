// Creating a vault and opening it again: where each unlock method gets the
// image pass phrase from, and the side file that records the method.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "core/SecureZero.h"
#include "fido/FidoDeviceManager.h"
#include "piv/OpenscBridge.h"
#include "vault/TessarilVault.h"
#include "vault/VaultAuthFile.h"
#include "vault/VaultKeyTools.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QSysInfo>

namespace {

const QString kPassword = QStringLiteral("password");
const QString kYubiKey = QStringLiteral("yk-hmac");
const QString kPiv = QStringLiteral("piv-touch");
const QString kFido = QStringLiteral("fido2-hmac");
const QString kDual = QStringLiteral("dual");
const QString kHmacSecret = QStringLiteral("hmac-secret");

// Slot 9A's key, as the PKCS#11 module of a PIV token numbers it.
const QString kPivKeyId = QStringLiteral("01");

// The 32 bytes a 64-character lowercase hex salt stands for; empty for
// anything else, which no key could be asked about.
QByteArray saltBytes(const QString& salt)
{
    const QByteArray bytes = QByteArray::fromHex(salt.toLatin1());
    return bytes.size() == 32 && QString::fromLatin1(bytes.toHex()) == salt ? bytes : QByteArray();
}

// The image pass phrase of a FIDO2 vault in lowercase hex: the key's output
// itself, or for "dual" (a password given) the SHA-256 digest of the
// password's UTF-8 bytes followed by the output.
QString fidoPassphrase(const QByteArray& output, const QString& password)
{
    QByteArray hex;
    if (password.isNull()) {
        hex = output.toHex();
    } else {
        QByteArray typed = password.toUtf8();
        QCryptographicHash hash(QCryptographicHash::Sha256);
        hash.addData(typed);
        hash.addData(output);
        secureZero(typed);
        QByteArray digest = hash.result();
        hex = digest.toHex();
        secureZero(digest);
    }
    QString passphrase = QString::fromLatin1(hex);
    secureZero(hex);
    return passphrase;
}

// Anything at the name, a dangling link included (exists() follows links).
bool takenName(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The derivation of a side file without "credential_id", as vaults were
// first made: the digest of the salt or password followed by the host name.
// The key takes no part in it.
QString hostBoundPassphrase(const QString& first)
{
    QByteArray input = first.toUtf8() + QSysInfo::machineHostName().toUtf8();
    QString passphrase = VaultKeyTools::sha256Hex(input);
    secureZero(input);
    return passphrase;
}

} // namespace

QString VaultTab::askSecret(const QString& title, const QString& label, bool* ok)
{
    return QInputDialog::getText(this, title, label, QLineEdit::Password, QString(), ok);
}

void VaultTab::warn(const QString& text)
{
    // Plain text: paths and tools' own words are shown as they are.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Vault"), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
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
    if (takenName(path) || takenName(VaultAuthFile::pathFor(path))) {
        warn(QStringLiteral("Vault already exists: ") + path);
        return;
    }
    // Nothing is made on disk, not even the vault's folder, until the
    // method has its key material: the engine makes the folder itself.

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
        QString why;
        if (!challenge.isEmpty())
            passphrase = VaultKeyTools::challengeResponse(challenge, &why);
        if (!challenge.isEmpty() && passphrase.isEmpty()) {
            // The tool knows best whether no key answered or slot 2 did not.
            warn(QStringLiteral("YubiKey challenge-response failed.\n"
                                "Ensure slot 2 is configured for HMAC-SHA1 challenge-response.\n\n")
                 + why);
            return;
        }
        if (!passphrase.isEmpty()) {
            sideFile.insert(QStringLiteral("type"), kYubiKey);
            sideFile.insert(QStringLiteral("challenge"), challenge);
            appendLog(QStringLiteral("YubiKey HMAC response obtained."));
        }
    } else if (method == kFido || method == kDual) {
        if (!hardwareKeyPresent()) {
            warn(method == kFido ? QStringLiteral("Insert your FIDO2 key first.")
                                 : QStringLiteral("Insert your hardware key first."));
            return;
        }
        QString password; // stays null for "fido2-hmac"
        WipeOnExit wipePassword(password);
        if (method == kDual) {
            bool ok = false;
            password = askSecret(QStringLiteral("Create Vault \u2014 Dual Factor"),
                                 QStringLiteral("Password (will be combined with hardware key):"), &ok);
            if (!ok || password.isEmpty())
                return;
            // The password is one of two factors, not a lesser one.
            if (password.size() < 12) {
                warn(QStringLiteral("Min 12 characters (PCI/NIST/ISO)."));
                return;
            }
            appendLog(QStringLiteral("Computing hardware key response..."));
        } else {
            appendLog(QStringLiteral("Deriving vault key from FIDO2 hmac-secret..."));
            appendLog(QStringLiteral("Touch your security key when it blinks."));
        }
        const QString salt = VaultKeyTools::randomHex();
        const QByteArray saltKey = saltBytes(salt);
        bool cancelled = saltKey.isEmpty();
        QByteArray credentialId;
        QByteArray output;
        bool verified = false;
        if (!cancelled)
            output = enrollFidoKey(saltKey, &credentialId, &verified, &cancelled);
        if (!cancelled && output.isEmpty()) {
            warn(QStringLiteral("FIDO2 key did not answer \u2014 vault not created."));
            return;
        }
        if (!output.isEmpty()) {
            passphrase = fidoPassphrase(output, password);
            secureZero(output);
            sideFile.insert(QStringLiteral("type"), method);
            sideFile.insert(QStringLiteral("salt"), salt);
            sideFile.insert(QStringLiteral("credential_id"), QString::fromLatin1(credentialId.toBase64()));
            // A PIN set on the key later must not change what it answers.
            sideFile.insert(QStringLiteral("uv"), verified);
            appendLog(method == kFido ? QStringLiteral("FIDO2 key derived.") : QStringLiteral("Dual-factor key derived."));
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
            QString why;
            const QString certificate = VaultKeyTools::exportPivCertificate(&why);
            const QByteArray wrapped = certificate.trimmed().isEmpty()
                ? QByteArray()
                : VaultKeyTools::wrapWithCertificate(certificate, passphrase, &why);
            // Keeping the key itself beside the image would let anyone with
            // the two files open the vault.
            if (wrapped.isEmpty()) {
                secureZero(passphrase);
                warn((certificate.trimmed().isEmpty()
                          ? QStringLiteral("PIV slot 9A certificate could not be read \u2014 vault not created.")
                          : QStringLiteral("PIV slot 9A has no RSA certificate \u2014 vault not created."))
                     + QStringLiteral("\n\n") + why);
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
    if (!userProfile->addVaultPath(path))
        appendLog(QStringLiteral("The vault list in the profile was not saved: ") + userProfile->saveError());
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
    QString slot;
    for (const Pkcs11SlotInfo& info : pivBridge->listSlots()) {
        if (info.tokenPresent) {
            slot = OpenscBridge::printedSlotId(info);
            break;
        }
    }
    if (slot.isEmpty()) {
        secureZero(pin);
        appendLog(QStringLiteral("PIV unwrap failed: no token found."));
        return {};
    }
    pivError.clear();
    QByteArray plain = pivBridge->decrypt(slot, kPivKeyId, QByteArray::fromBase64(wrappedKey.toLatin1()), pin);
    secureZero(pin);
    QString key = QString::fromUtf8(plain);
    secureZero(plain);
    if (key.isEmpty())
        appendLog(pivFailure(slot));
    return key;
}

QString VaultTab::pivFailure(const QString& slot)
{
    // pkcs11-tool names the PKCS#11 return value; the attempts left show
    // only as token flags in its slot listing.
    if (pivError.contains(QLatin1String("CKR_PIN_INCORRECT"))) {
        QString flags;
        for (const Pkcs11SlotInfo& info : pivBridge->listSlots()) {
            if (OpenscBridge::printedSlotId(info) == slot)
                flags = info.flags;
        }
        if (flags.contains(QLatin1String("user PIN locked")))
            return QStringLiteral("Wrong PIN \u2014 the PIN is now blocked.");
        if (flags.contains(QLatin1String("final user PIN try")))
            return QStringLiteral("Wrong PIN \u2014 1 attempt left.");
        if (flags.contains(QLatin1String("user PIN count low")))
            return QStringLiteral("Wrong PIN \u2014 few attempts left.");
        return QStringLiteral("Wrong PIN.");
    }
    if (pivError.contains(QLatin1String("CKR_PIN_LOCKED")))
        return QStringLiteral("PIN blocked: unblock it with the PUK.");
    const QStringList lines = pivError.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QString reason = lines.value(0).trimmed();
    for (const QString& line : lines) {
        if (line.contains(QLatin1String("CKR_"))) {
            reason = line.trimmed();
            break;
        }
    }
    return reason.isEmpty() ? QStringLiteral("PIV unwrap failed.") : QStringLiteral("PIV unwrap failed: ") + reason;
}

bool VaultTab::askFidoPin(int index, const FidoKeyInfo& seen, const QString& title, QString* pin, bool* cancelled)
{
    *cancelled = false;
    if (!seen.clientPin)
        return true;
    // With several keys plugged in, the user must know whose PIN is meant.
    const QString name = seen.product.isEmpty() ? QStringLiteral("FIDO2 key") : seen.product;
    bool ok = false;
    *pin = askSecret(title, QStringLiteral("FIDO2 PIN for %1 (%2):").arg(name, seen.devicePath), &ok);
    if (!ok || pin->isEmpty()) {
        *cancelled = true;
        return false;
    }
    if (fidoManager->isSameKey(index, seen))
        return true;
    const QString why = fidoManager->lastError();
    appendLog(why.isEmpty() ? QStringLiteral("Device list changed \u2014 operation cancelled.") : why);
    return false;
}

QByteArray VaultTab::enrollFidoKey(const QByteArray& salt, QByteArray* credentialId, bool* verified,
                                   bool* cancelled)
{
    *cancelled = false;
    *verified = false;
    // A copy: the PIN prompt lets the poll rebuild the list.
    const QList<FidoKeyInfo> keys = fidoManager->devices();
    int index = 0;
    for (int i = 0; i < keys.size(); ++i) {
        if (keys.at(i).extensions.contains(kHmacSecret)) {
            index = i;
            break;
        }
    }
    // Without any key that offers hmac-secret, the first is asked and its
    // refusal logged.
    const FidoKeyInfo seen = keys.value(index);
    QString pin;
    WipeOnExit wipePin(pin);
    if (seen.extensions.contains(kHmacSecret)
        && !askFidoPin(index, seen, QStringLiteral("Create Vault \u2014 FIDO2"), &pin, cancelled))
        return {};
    QByteArray output;
    *verified = !pin.isEmpty();
    *credentialId = fidoManager->makeHmacCredential(index, pin);
    if (!credentialId->isEmpty())
        output = fidoManager->hmacSecret(index, *credentialId, salt, pin);
    if (output.isEmpty())
        appendLog(fidoManager->lastError());
    return output;
}

QByteArray VaultTab::fidoKeySecret(const QByteArray& credentialId, const QByteArray& salt,
                                   std::optional<bool> verified, bool* cancelled)
{
    *cancelled = false;
    const QList<FidoKeyInfo> keys = fidoManager->devices();
    // Found before any PIN is asked: a PIN sent to a key that does not hold
    // the credential is a wrong PIN to it, and costs it an attempt.
    int holder = -1;
    int unanswered = -1;
    for (int i = 0; i < keys.size() && holder < 0; ++i) {
        if (!keys.at(i).extensions.contains(kHmacSecret))
            continue;
        switch (fidoManager->holdsCredential(i, credentialId)) {
        case FidoDeviceManager::Holding::Held:
            holder = i;
            break;
        case FidoDeviceManager::Holding::NotHeld:
            break;
        case FidoDeviceManager::Holding::Unknown:
            appendLog(fidoManager->lastError());
            if (unanswered < 0)
                unanswered = i;
            break;
        }
    }
    // A key that would not answer the question may still hold the
    // credential: with no key saying so, it is the one asked, so a key that
    // refuses such assertions does not lock its vault away.
    if (holder < 0)
        holder = unanswered;
    if (holder < 0)
        return {};
    const FidoKeyInfo seen = keys.at(holder);
    // Side files from before the setting was kept: verified when the key
    // has a PIN, as such vaults were made and opened.
    const bool verify = verified.value_or(seen.clientPin);
    QString pin;
    WipeOnExit wipePin(pin);
    if (verify && !askFidoPin(holder, seen, QStringLiteral("Mount Vault \u2014 FIDO2"), &pin, cancelled))
        return {};
    QByteArray output = fidoManager->hmacSecret(holder, credentialId, salt, pin);
    if (output.isEmpty())
        appendLog(fidoManager->lastError());
    return output;
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
        QString why;
        passphrase = VaultKeyTools::challengeResponse(auth.challenge, &why);
        if (passphrase.isEmpty()) {
            appendLog(QStringLiteral("YubiKey challenge-response failed."));
            appendLog(why);
            return;
        }
    } else if (auth.type == kFido || auth.type == kDual) {
        if (!hardwareKeyPresent()) {
            warn(auth.type == kFido ? QStringLiteral("Insert your FIDO2 key to unlock.")
                                    : QStringLiteral("Insert your hardware key to unlock."));
            return;
        }
        QString password; // stays null for "fido2-hmac"
        WipeOnExit wipePassword(password);
        if (auth.type == kDual) {
            bool ok = false;
            password = askSecret(QStringLiteral("Mount Vault \u2014 Dual Factor"), QStringLiteral("Password:"), &ok);
            if (!ok || password.isEmpty())
                return;
            appendLog(QStringLiteral("Computing hardware key response..."));
        } else {
            appendLog(QStringLiteral("Deriving key from FIDO2 hmac-secret... Touch your key."));
        }
        if (auth.credentialId.isEmpty()) {
            passphrase = hostBoundPassphrase(auth.type == kFido ? auth.salt : password);
        } else {
            const QByteArray saltKey = saltBytes(auth.salt);
            const auto id = QByteArray::fromBase64Encoding(auth.credentialId.toLatin1(),
                                                           QByteArray::AbortOnBase64DecodingErrors);
            if (saltKey.isEmpty() || !id || id.decoded.isEmpty()) {
                appendLog(QStringLiteral("FIDO2 auth data missing or corrupt."));
                return;
            }
            bool cancelled = false;
            QByteArray output = fidoKeySecret(id.decoded, saltKey, auth.uv, &cancelled);
            if (cancelled)
                return;
            if (output.isEmpty()) {
                appendLog(QStringLiteral("FIDO2 key did not answer \u2014 vault not opened."));
                return;
            }
            passphrase = fidoPassphrase(output, password);
            secureZero(output);
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
