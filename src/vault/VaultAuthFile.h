#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// What the side file of a vault says: the unlock method and its non-secret
// inputs. A vault without a readable side file is a password vault.
struct VaultAuthInfo {
    QString type = QStringLiteral("password");
    QString salt;
    QString credentialId; // Base64, as stored
    QString challenge;
    QString wrappedKey;
    bool wrapped = false;
    // Whether the FIDO2 credential answers with user verification (the PIN):
    // a CTAP 2.1 key computes a different hmac-secret with and without it.
    // Unset in side files written before it was recorded.
    std::optional<bool> uv;
};

// The side file beside a vault image: the vault path + ".qvauth", one compact
// JSON object with its keys in alphabetical order.
class VaultAuthFile
{
public:
    static QString pathFor(const QString& vaultPath);

    // Anything unreadable, not JSON, not an object, or without a string
    // "type" reads as a password vault; a member of the wrong type reads as
    // empty (or false).
    static VaultAuthInfo read(const QString& vaultPath);

    // Owner-only from the first byte and replaced atomically; a link at
    // the name is replaced, never written through.
    static bool write(const QString& vaultPath, const QJsonObject& members, QString* error = nullptr);
};
