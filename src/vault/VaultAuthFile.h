#pragma once

#include <QJsonObject>
#include <QString>

// What the side file of a vault says: the unlock method and its non-secret
// inputs. A vault without a readable side file is a password vault.
struct VaultAuthInfo {
    QString type = QStringLiteral("password");
    QString salt;
    QString credentialId; // Base64, as stored
    QString challenge;
    QString wrappedKey;
    bool wrapped = false;
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

    // Owner-only from the first byte and replaced atomically.
    static bool write(const QString& vaultPath, const QJsonObject& members, QString* error = nullptr);
};
