#pragma once

#include <QByteArray>

// Anonymous public-key encryption for a recipient's Curve25519 public key
// (libsodium's sealed box): only the holder of the matching secret key can
// open the result, and the sender keeps nothing that could. GitHub wants
// Actions secret values sealed this way for the repository's public key.
namespace SealedBox {

// The public key as GitHub hands it out: standard Base64 of exactly
// publicKeyBytes() bytes. Anything else, padding errors included, is refused:
// the sealing reads that many bytes from it.
bool decodePublicKey(const QString& base64, QByteArray* key);
int publicKeyBytes();

// Whether the library could be initialised (it needs a random source).
bool available();

// Seals message for key (which must have publicKeyBytes() bytes); the
// result is sealOverhead() bytes longer than the message. False when the
// library cannot be initialised or refuses; sealed is then left empty.
bool seal(const QByteArray& key, const QByteArray& message, QByteArray* sealed);
int sealOverhead();

} // namespace SealedBox
