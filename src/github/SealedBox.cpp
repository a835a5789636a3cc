#include "github/SealedBox.h"

#include <QString>

#include <sodium.h>

namespace SealedBox {

int publicKeyBytes()
{
    return int(crypto_box_PUBLICKEYBYTES);
}

int sealOverhead()
{
    return int(crypto_box_SEALBYTES);
}

bool available()
{
    // 0: initialised now, 1: already was; -1: no usable random source.
    return sodium_init() >= 0;
}

bool decodePublicKey(const QString& base64, QByteArray* key)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        base64.toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok
        || decoded.decoded.size() != publicKeyBytes())
        return false;
    *key = decoded.decoded;
    return true;
}

bool seal(const QByteArray& key, const QByteArray& message, QByteArray* sealed)
{
    sealed->clear();
    if (key.size() != publicKeyBytes() || !available())
        return false;
    QByteArray out(message.size() + sealOverhead(), Qt::Uninitialized);
    // An empty message still seals to a box of the overhead alone; its data()
    // is a valid pointer either way.
    if (crypto_box_seal(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(message.constData()),
                        static_cast<unsigned long long>(message.size()),
                        reinterpret_cast<const unsigned char*>(key.constData()))
        != 0)
        return false;
    *sealed = out;
    return true;
}

} // namespace SealedBox
