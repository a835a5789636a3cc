#include "core/SshPublicKey.h"

#include <QList>
#include <QStringList>

namespace SshPublicKey {

bool isPublicKeyType(const QString& type)
{
    static const QStringList types = {
        QStringLiteral("ssh-ed25519"),
        QStringLiteral("ssh-rsa"),
        QStringLiteral("ssh-dss"),
        QStringLiteral("ecdsa-sha2-nistp256"),
        QStringLiteral("ecdsa-sha2-nistp384"),
        QStringLiteral("ecdsa-sha2-nistp521"),
        QStringLiteral("sk-ssh-ed25519@openssh.com"),
        QStringLiteral("sk-ecdsa-sha2-nistp256@openssh.com"),
    };
    return types.contains(type);
}

bool isCertificateType(const QString& type)
{
    static const QStringList types = {
        QStringLiteral("ssh-ed25519-cert-v01@openssh.com"),
        QStringLiteral("ssh-rsa-cert-v01@openssh.com"),
        QStringLiteral("ssh-dss-cert-v01@openssh.com"),
        QStringLiteral("ecdsa-sha2-nistp256-cert-v01@openssh.com"),
        QStringLiteral("ecdsa-sha2-nistp384-cert-v01@openssh.com"),
        QStringLiteral("ecdsa-sha2-nistp521-cert-v01@openssh.com"),
        QStringLiteral("sk-ssh-ed25519-cert-v01@openssh.com"),
        QStringLiteral("sk-ecdsa-sha2-nistp256-cert-v01@openssh.com"),
    };
    return types.contains(type);
}

namespace {

bool isKeyLine(const QByteArray& text, bool certificates)
{
    const QByteArray line = text.trimmed();
    if (line.isEmpty() || line.contains('\n') || line.contains('\r') || line.contains('\0'))
        return false;
    const QList<QByteArray> words = line.simplified().split(' ');
    const QString type = QString::fromLatin1(words.value(0));
    if (words.size() < 2 || !(isPublicKeyType(type) || (certificates && isCertificateType(type))))
        return false;
    // The blob begins with its own type as an SSH string (a 4-byte big-endian
    // length, then the name): a line whose blob names another type, or is no
    // base64 at all, is not the key it claims to be.
    const auto decoded = QByteArray::fromBase64Encoding(words.at(1), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return false;
    const QByteArray blob = *decoded;
    if (blob.size() < 4)
        return false;
    const quint32 length = (quint32(quint8(blob[0])) << 24) | (quint32(quint8(blob[1])) << 16)
                           | (quint32(quint8(blob[2])) << 8) | quint32(quint8(blob[3]));
    return length == quint32(words.at(0).size()) && blob.size() >= 4 + qsizetype(length)
           && blob.mid(4, length) == words.at(0);
}

} // namespace

bool isPublicKeyText(const QByteArray& text)
{
    return isKeyLine(text, false);
}

bool isPublicKeyOrCertificateText(const QByteArray& text)
{
    return isKeyLine(text, true);
}

} // namespace SshPublicKey
