#pragma once

#include <QByteArray>
#include <QString>

// What an OpenSSH public key file holds: one line "type base64-blob [comment]".
// A private key saved under a ".pub" name, a bundle of several keys or any
// other text is not one, and must never be copied, shown or sent as a
// public key.
namespace SshPublicKey {

// True for the key types a public key line names: ssh-ed25519, ssh-rsa,
// ssh-dss, ecdsa-sha2-nistp256/384/521 and the security-key types
// sk-ssh-ed25519@openssh.com and sk-ecdsa-sha2-nistp256@openssh.com.
bool isPublicKeyType(const QString& type);

// True when text is exactly one public key line (a final line break and
// surrounding blanks allowed): a public key type, then a base64 blob that
// decodes to a key of that same type, then an optional comment.
bool isPublicKeyText(const QByteArray& text);

// True for the OpenSSH certificate types, one per key type above
// ("ssh-ed25519-cert-v01@openssh.com" and so on).
bool isCertificateType(const QString& type);

// isPublicKeyText, with a certificate line ("*-cert.pub") accepted as well:
// what the SSH key page lists and may copy, though no server takes a
// certificate as a key to authorise.
bool isPublicKeyOrCertificateText(const QByteArray& text);

} // namespace SshPublicKey
