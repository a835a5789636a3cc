#include "ui/keys/GpgColonListing.h"

namespace GpgColonListing {

namespace {

QString lastSixteen(const QString& keyId)
{
    return keyId.right(16);
}

QStringList capabilityWords(const QString& letters)
{
    // Upper case marks what the key as a whole can do, lower case the primary
    // key itself: either counts, and each word is listed once.
    const QString lower = letters.toLower();
    QStringList words;
    if (lower.contains(QLatin1Char('s')))
        words << QStringLiteral("Sign");
    if (lower.contains(QLatin1Char('e')))
        words << QStringLiteral("Encrypt");
    if (lower.contains(QLatin1Char('c')))
        words << QStringLiteral("Certify");
    if (lower.contains(QLatin1Char('a')))
        words << QStringLiteral("Auth");
    return words;
}

} // namespace

QList<GpgKeyInfo> parse(const QString& text)
{
    QList<GpgKeyInfo> keys;
    GpgKeyInfo current;
    bool keyOpen = false;
    const auto close = [&] {
        if (keyOpen && !current.fingerprint.isEmpty())
            keys.append(current);
    };

    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.size() < 10)
            continue;
        const QString& type = fields.at(0);
        if (type == QLatin1String("pub") || type == QLatin1String("sec")) {
            close();
            current = GpgKeyInfo();
            current.isSecret = type == QLatin1String("sec");
            current.algorithm = fields.at(2) + QStringLiteral("-bit");
            if (fields.at(3) == QLatin1String("1"))
                current.algorithm = QStringLiteral("RSA");
            else if (fields.at(3) == QLatin1String("22"))
                current.algorithm = QStringLiteral("EdDSA");
            current.keyId = lastSixteen(fields.at(4));
            current.created = fields.at(5);
            current.expires = fields.at(6);
            current.trust = fields.at(1);
            // A record cut short before its capability field still names a key.
            if (fields.size() > 11)
                current.capabilities = capabilityWords(fields.at(11));
            keyOpen = true;
        } else if (!keyOpen) {
            continue;
        } else if (type == QLatin1String("fpr")) {
            if (current.fingerprint.isEmpty())
                current.fingerprint = fields.at(9);
        } else if (type == QLatin1String("uid")) {
            current.userId = fields.at(9);
            if (fields.at(1) == QLatin1String("r"))
                current.revoked = true;
            else if (fields.at(1) == QLatin1String("e"))
                current.expired = true;
        } else if (type == QLatin1String("sub")) {
            current.subkeys << lastSixteen(fields.at(4));
        }
    }
    close();
    return keys;
}

QString shortId(const QString& fingerprint)
{
    return fingerprint.right(8);
}

QString longId(const QString& fingerprint)
{
    return fingerprint.right(16);
}

} // namespace GpgColonListing
