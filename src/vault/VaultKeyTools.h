#pragma once

#include <QByteArray>
#include <QString>

// The tool runs that give a vault its pass phrase: random values, digests,
// a YubiKey's challenge-response and the PIV certificate that wraps a key.
// Each returns what the tool printed or wrote; empty when it gave nothing,
// and then, where asked for, *why holds the tool's own reason (what it said
// on standard error, or why it did not run), prefixed with its name.
namespace VaultKeyTools {

// openssl rand -hex 32: 64 lowercase hexadecimal characters.
QString randomHex();

// openssl dgst -sha256 -hex over input: the bare 64-character digest.
QString sha256Hex(const QByteArray& input);

// ykchalresp -2 -x: the HMAC-SHA1 response of slot 2 in hexadecimal.
QString challengeResponse(const QString& challenge, QString* why = nullptr);

// ykman piv certificates export 9a -: the PEM text of slot 9A's certificate.
QString exportPivCertificate(QString* why = nullptr);

// The key encrypted (RSA, PKCS#1 v1.5) to the certificate's public key with
// openssl, in a private temporary folder. Empty when the certificate is not
// RSA, is no certificate, or openssl failed.
QByteArray wrapWithCertificate(const QString& certificatePem, const QString& key, QString* why = nullptr);

} // namespace VaultKeyTools
