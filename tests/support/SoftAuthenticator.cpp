#include "SoftAuthenticator.h"

#include "SoftCbor.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

using SoftCbor::Item;

namespace {

enum Status : char {
    Ok = 0x00,
    InvalidCommand = 0x01,
    InvalidParameter = 0x02,
    InvalidCbor = 0x12,
    MissingParameter = 0x14,
    UnsupportedAlgorithm = 0x26,
    NoCredentials = 0x2e,
    NotAllowed = 0x30,
    PinInvalid = 0x31,
    PinBlocked = 0x32,
    PinAuthInvalid = 0x33,
    PinAuthBlocked = 0x34,
    PinNotSet = 0x35,
    PinRequired = 0x36,
    PinPolicyViolation = 0x37,
};

QByteArray status(Status s)
{
    return QByteArray(1, s);
}

QByteArray okWith(const QByteArray& cbor)
{
    return status(Ok) + cbor;
}

QByteArray sha256(const QByteArray& data)
{
    QByteArray out(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char*>(data.constData()), static_cast<size_t>(data.size()),
           reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

// PIN/UV auth protocol 1: HMAC-SHA-256 cut to 16 bytes.
QByteArray authenticate(const QByteArray& key, const QByteArray& message)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(EVP_sha256(), key.constData(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.constData()), static_cast<size_t>(message.size()), mac,
         &len);
    return QByteArray(reinterpret_cast<const char*>(mac), 16);
}

// PIN/UV auth protocol 1: AES-256-CBC, all-zero IV, no padding.
QByteArray aesCbc(const QByteArray& key, const QByteArray& data, bool encrypt)
{
    if (key.size() != 32 || data.isEmpty() || data.size() % 16 != 0)
        return QByteArray();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[16] = {};
    QByteArray out(data.size() + 16, '\0');
    int n = 0, tail = 0;
    bool ok = EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr,
                                reinterpret_cast<const unsigned char*>(key.constData()), iv, encrypt ? 1 : 0)
        == 1;
    ok = ok && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    ok = ok
        && EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n,
                            reinterpret_cast<const unsigned char*>(data.constData()), static_cast<int>(data.size()))
            == 1;
    ok = ok && EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n, &tail) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return QByteArray();
    out.resize(n + tail);
    return out;
}

QByteArray randomBytes(int n)
{
    QByteArray out(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n);
    return out;
}

QByteArray coordinate(EVP_PKEY* key, const char* name)
{
    BIGNUM* bn = nullptr;
    QByteArray out(32, '\0');
    if (EVP_PKEY_get_bn_param(key, name, &bn) == 1)
        BN_bn2binpad(bn, reinterpret_cast<unsigned char*>(out.data()), 32);
    BN_free(bn);
    return out;
}

EVP_PKEY* publicKeyFrom(const QByteArray& x, const QByteArray& y)
{
    const QByteArray point = QByteArray(1, '\x04') + x + y;
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, point.constData(),
                                     static_cast<size_t>(point.size()));
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    return key;
}

} // namespace

SoftAuthenticator::SoftAuthenticator()
{
    credentialKey = EVP_EC_gen("P-256");
    renewKeyAgreement();
    pinToken = randomBytes(32);
}

SoftAuthenticator::~SoftAuthenticator()
{
    EVP_PKEY_free(agreementKey);
    EVP_PKEY_free(credentialKey);
}

void SoftAuthenticator::renewKeyAgreement()
{
    EVP_PKEY_free(agreementKey);
    agreementKey = EVP_EC_gen("P-256");
}

void SoftAuthenticator::presetPin(const QString& pin, int retriesLeft)
{
    pinHash = pin.isEmpty() ? QByteArray() : sha256(pin.toUtf8()).left(16);
    retries = retriesLeft;
    mismatches = 0;
}

void SoftAuthenticator::powerCycle()
{
    mismatches = 0;
    pinToken = randomBytes(32);
    renewKeyAgreement();
    pendingRps.clear();
    pendingCreds.clear();
}

char SoftAuthenticator::checkPin(const QByteArray& secret, const QByteArray& pinHashEnc)
{
    if (retries <= 0)
        return PinBlocked;
    // Three wrong PINs in a row block further tries until the key is
    // unplugged, so that the attempts left cannot be drained in one go.
    if (mismatches >= 3)
        return PinAuthBlocked;
    --retries;
    if (aesCbc(secret, pinHashEnc, false) != pinHash) {
        ++mismatches;
        renewKeyAgreement();
        if (retries <= 0)
            return PinBlocked;
        return mismatches >= 3 ? PinAuthBlocked : PinInvalid;
    }
    mismatches = 0;
    retries = 8;
    return Ok;
}

bool SoftAuthenticator::hasPin() const
{
    return !pinHash.isEmpty();
}

bool SoftAuthenticator::pinIs(const QString& pin) const
{
    return hasPin() && sha256(pin.toUtf8()).left(16) == pinHash;
}

QByteArray SoftAuthenticator::handle(const QByteArray& request)
{
    if (request.isEmpty())
        return status(InvalidCommand);
    const int command = static_cast<quint8>(request.at(0));
    commands << command;
    const QByteArray body = request.mid(1);
    switch (command) {
    case 0x01:
        return makeCredential(body);
    case 0x02:
        return getAssertion(body);
    case 0x04:
        return getInfo();
    case 0x06:
        return clientPin(body);
    case 0x07:
        return reset();
    case 0x0a:
    case 0x41: // the credentialMgmtPreview command
        return credentialManagement(body);
    default:
        return status(InvalidCommand);
    }
}

QByteArray SoftAuthenticator::getInfo() const
{
    using namespace SoftCbor;
    QList<Pair> m;
    QList<QByteArray> versions;
    for (const QString& v : info.versions)
        versions << text(v);
    m << Pair(unsignedInt(1), array(versions));
    if (!info.extensions.isEmpty()) {
        QList<QByteArray> items;
        for (const QString& e : info.extensions)
            items << text(e);
        m << Pair(unsignedInt(2), array(items));
    }
    m << Pair(unsignedInt(3), bytes(info.aaguid));
    if (!info.options.isEmpty()) {
        QList<Pair> options;
        for (const auto& o : info.options)
            options << Pair(text(o.first), boolean(o.first == QLatin1String("clientPin") ? hasPin() : o.second));
        m << Pair(unsignedInt(4), map(options));
    }
    if (info.maxMsgSize)
        m << Pair(unsignedInt(5), unsignedInt(*info.maxMsgSize));
    if (!info.pinProtocols.isEmpty()) {
        QList<QByteArray> items;
        for (int p : info.pinProtocols)
            items << unsignedInt(static_cast<quint64>(p));
        m << Pair(unsignedInt(6), array(items));
    }
    if (info.maxCredCountInList)
        m << Pair(unsignedInt(7), unsignedInt(*info.maxCredCountInList));
    if (!info.transports.isEmpty()) {
        QList<QByteArray> items;
        for (const QString& t : info.transports)
            items << text(t);
        m << Pair(unsignedInt(9), array(items));
    }
    if (!info.algorithms.isEmpty()) {
        QList<QByteArray> items;
        for (qint64 alg : info.algorithms)
            items << map({Pair(text(QStringLiteral("alg")), integer(alg)),
                          Pair(text(QStringLiteral("type")), text(QStringLiteral("public-key")))});
        m << Pair(unsignedInt(0x0a), array(items));
    }
    if (info.minPinLength)
        m << Pair(unsignedInt(0x0d), unsignedInt(*info.minPinLength));
    if (info.firmwareVersion)
        m << Pair(unsignedInt(0x0e), unsignedInt(*info.firmwareVersion));
    return okWith(map(m));
}

QByteArray SoftAuthenticator::coseKey(EVP_PKEY* key, int alg) const
{
    using namespace SoftCbor;
    return map({Pair(integer(1), integer(2)), Pair(integer(3), integer(alg)), Pair(integer(-1), integer(1)),
                Pair(integer(-2), bytes(coordinate(key, OSSL_PKEY_PARAM_EC_PUB_X))),
                Pair(integer(-3), bytes(coordinate(key, OSSL_PKEY_PARAM_EC_PUB_Y)))});
}

QByteArray SoftAuthenticator::sharedSecret(const QByteArray& platformKeyCose) const
{
    const Item cose = SoftCbor::decode(platformKeyCose);
    const Item* x = cose.at(-2);
    const Item* y = cose.at(-3);
    if (!x || !y || x->kind != Item::Bytes || y->kind != Item::Bytes || x->data.size() != 32
        || y->data.size() != 32)
        return QByteArray();
    EVP_PKEY* peer = publicKeyFrom(x->data, y->data);
    if (!peer)
        return QByteArray();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(agreementKey, nullptr);
    QByteArray z(32, '\0');
    size_t len = 32;
    const bool ok = ctx && EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peer) == 1
        && EVP_PKEY_derive(ctx, reinterpret_cast<unsigned char*>(z.data()), &len) == 1 && len == 32;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    return ok ? sha256(z) : QByteArray();
}

QByteArray SoftAuthenticator::clientPin(const QByteArray& body)
{
    using namespace SoftCbor;
    const Item request = decode(body);
    if (request.kind != Item::Map)
        return status(InvalidCbor);
    const Item* protocol = request.at(1);
    const Item* sub = request.at(2);
    if (!sub || !sub->isInt())
        return status(MissingParameter);
    if (protocol && (!protocol->isInt() || protocol->value != 1))
        return status(InvalidParameter);

    switch (sub->value) {
    case 0x01: // getPINRetries
        return okWith(map({Pair(unsignedInt(3), unsignedInt(static_cast<quint64>(retries)))}));
    case 0x02: // getKeyAgreement
        return okWith(map({Pair(unsignedInt(1), coseKey(agreementKey, -25))}));
    case 0x03:   // setPIN
    case 0x04:   // changePIN
    case 0x05: { // getPinToken
        const Item* platformKey = request.at(3);
        if (!protocol || !platformKey || platformKey->kind != Item::Map)
            return status(MissingParameter);
        const QByteArray secret = sharedSecret(platformKey->raw);
        if (secret.isEmpty())
            return status(InvalidParameter);

        if (sub->value == 0x03 || sub->value == 0x04) {
            const Item* auth = request.at(4);
            const Item* newPinEnc = request.at(5);
            const Item* pinHashEnc = request.at(6);
            if (!auth || !newPinEnc || auth->kind != Item::Bytes || newPinEnc->kind != Item::Bytes)
                return status(MissingParameter);
            if (sub->value == 0x03) {
                if (hasPin())
                    return status(PinAuthInvalid);
                if (authenticate(secret, newPinEnc->data) != auth->data)
                    return status(PinAuthInvalid);
            } else {
                if (!pinHashEnc || pinHashEnc->kind != Item::Bytes)
                    return status(MissingParameter);
                if (!hasPin())
                    return status(PinNotSet);
                if (authenticate(secret, newPinEnc->data + pinHashEnc->data) != auth->data)
                    return status(PinAuthInvalid);
                const char checked = checkPin(secret, pinHashEnc->data);
                if (checked != Ok)
                    return status(static_cast<Status>(checked));
            }
            if (newPinEnc->data.size() < 64)
                return status(PinPolicyViolation);
            QByteArray padded = aesCbc(secret, newPinEnc->data, false);
            const qsizetype end = padded.indexOf('\0');
            const QByteArray pin = end < 0 ? padded : padded.left(end);
            if (QString::fromUtf8(pin).toUcs4().size() < 4 || pin.size() > 63)
                return status(PinPolicyViolation);
            pinHash = sha256(pin).left(16);
            retries = 8;
            return status(Ok);
        }

        const Item* pinHashEnc = request.at(6);
        if (!pinHashEnc || pinHashEnc->kind != Item::Bytes)
            return status(MissingParameter);
        if (!hasPin())
            return status(PinNotSet);
        const char checked = checkPin(secret, pinHashEnc->data);
        if (checked != Ok)
            return status(static_cast<Status>(checked));
        return okWith(map({Pair(unsignedInt(2), bytes(aesCbc(secret, pinToken, true)))}));
    }
    default:
        return status(InvalidParameter);
    }
}

bool SoftAuthenticator::tokenAuthentic(const QByteArray& message, const QByteArray& param) const
{
    return !param.isEmpty() && authenticate(pinToken, message) == param;
}

QByteArray SoftAuthenticator::rpAnswer(int credentialIndex, bool first) const
{
    using namespace SoftCbor;
    const Credential& c = credentials.at(credentialIndex);
    QList<Pair> rp{Pair(text(QStringLiteral("id")), text(c.rpId))};
    if (!c.rpName.isNull())
        rp << Pair(text(QStringLiteral("name")), text(c.rpName));
    QList<Pair> m{Pair(unsignedInt(3), map(rp)), Pair(unsignedInt(4), bytes(sha256(c.rpId.toUtf8())))};
    if (first)
        m << Pair(unsignedInt(5), unsignedInt(static_cast<quint64>(pendingRps.size() + 1)));
    return okWith(map(m));
}

QByteArray SoftAuthenticator::credentialAnswer(int credentialIndex, bool first, int total) const
{
    using namespace SoftCbor;
    const Credential& c = credentials.at(credentialIndex);
    QList<Pair> user{Pair(text(QStringLiteral("id")), bytes(c.userId))};
    if (!c.userName.isNull())
        user << Pair(text(QStringLiteral("name")), text(c.userName));
    if (!c.displayName.isNull())
        user << Pair(text(QStringLiteral("displayName")), text(c.displayName));
    const QByteArray descriptor = map({Pair(text(QStringLiteral("id")), bytes(c.id)),
                                       Pair(text(QStringLiteral("type")), text(QStringLiteral("public-key")))});
    QList<Pair> m{Pair(unsignedInt(6), map(user)), Pair(unsignedInt(7), descriptor), Pair(unsignedInt(8), coseKey(credentialKey, -7)),
                  Pair(unsignedInt(0x0a), unsignedInt(1))};
    if (first)
        m << Pair(unsignedInt(9), unsignedInt(static_cast<quint64>(total)));
    return okWith(map(m));
}

QByteArray SoftAuthenticator::credentialManagement(const QByteArray& body)
{
    using namespace SoftCbor;
    const Item request = decode(body);
    if (request.kind != Item::Map)
        return status(InvalidCbor);
    const Item* sub = request.at(1);
    if (!sub || !sub->isInt())
        return status(MissingParameter);
    const Item* params = request.at(2);
    const Item* auth = request.at(4);
    const int subCommand = static_cast<int>(sub->value);

    // The two "next" sub-commands continue an enumeration and carry no auth.
    if (subCommand == 0x01 || subCommand == 0x02 || subCommand == 0x04 || subCommand == 0x06) {
        const Item* protocol = request.at(3);
        if (!auth || auth->kind != Item::Bytes)
            return status(PinRequired);
        if (!protocol || !protocol->isInt() || protocol->value != 1)
            return status(InvalidParameter);
        QByteArray message(1, static_cast<char>(subCommand));
        if (params)
            message += params->raw;
        if (!tokenAuthentic(message, auth->data))
            return status(PinAuthInvalid);
    }

    switch (subCommand) {
    case 0x01: {
        const quint64 count = static_cast<quint64>(credentials.size());
        return okWith(map({Pair(unsignedInt(1), unsignedInt(count)), Pair(unsignedInt(2), unsignedInt(count < 25 ? 25 - count : 0))}));
    }
    case 0x02: {
        pendingRps.clear();
        QStringList seen;
        for (int i = 0; i < credentials.size(); ++i) {
            if (!seen.contains(credentials.at(i).rpId)) {
                seen << credentials.at(i).rpId;
                pendingRps << i;
            }
        }
        if (pendingRps.isEmpty())
            return status(NoCredentials);
        const int first = pendingRps.takeFirst();
        return rpAnswer(first, true);
    }
    case 0x03:
        if (pendingRps.isEmpty())
            return status(NotAllowed);
        return rpAnswer(pendingRps.takeFirst(), false);
    case 0x04: {
        const Item* hash = params ? params->at(1) : nullptr;
        if (!hash || hash->kind != Item::Bytes)
            return status(MissingParameter);
        pendingCreds.clear();
        for (int i = 0; i < credentials.size(); ++i) {
            if (sha256(credentials.at(i).rpId.toUtf8()) == hash->data)
                pendingCreds << i;
        }
        if (pendingCreds.isEmpty())
            return status(NoCredentials);
        const int total = static_cast<int>(pendingCreds.size());
        return credentialAnswer(pendingCreds.takeFirst(), true, total);
    }
    case 0x05:
        if (pendingCreds.isEmpty())
            return status(NotAllowed);
        return credentialAnswer(pendingCreds.takeFirst(), false, 0);
    case 0x06: {
        const Item* descriptor = params ? params->at(2) : nullptr;
        const Item* id = descriptor ? descriptor->at("id") : nullptr;
        if (!id || id->kind != Item::Bytes)
            return status(MissingParameter);
        for (int i = 0; i < credentials.size(); ++i) {
            if (credentials.at(i).id == id->data) {
                credentials.removeAt(i);
                return status(Ok);
            }
        }
        return status(NoCredentials);
    }
    default:
        return status(InvalidParameter);
    }
}

bool SoftAuthenticator::offersHmacSecret() const
{
    return info.extensions.contains(QLatin1String("hmac-secret"));
}

QByteArray SoftAuthenticator::sign(const QByteArray& message) const
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    QByteArray out;
    if (ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, credentialKey) == 1
        && EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(message.constData()),
                          static_cast<size_t>(message.size()))
            == 1) {
        out.resize(static_cast<qsizetype>(len));
        if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(out.data()), &len,
                           reinterpret_cast<const unsigned char*>(message.constData()),
                           static_cast<size_t>(message.size()))
            == 1)
            out.resize(static_cast<qsizetype>(len));
        else
            out.clear();
    }
    EVP_MD_CTX_free(ctx);
    return out;
}

namespace {

// The flags byte of authenticator data.
constexpr char flagUserPresent = 0x01;
constexpr char flagUserVerified = 0x04;
constexpr char flagAttested = 0x40;
constexpr char flagExtensions = static_cast<char>(0x80);

QByteArray bigEndian(quint32 value, int bytes)
{
    QByteArray out;
    for (int s = (bytes - 1) * 8; s >= 0; s -= 8)
        out.append(static_cast<char>(value >> s));
    return out;
}

} // namespace

QByteArray SoftAuthenticator::makeCredential(const QByteArray& body)
{
    using namespace SoftCbor;
    const Item request = decode(body);
    if (request.kind != Item::Map)
        return status(InvalidCbor);
    const Item* clientDataHash = request.at(1);
    const Item* rp = request.at(2);
    const Item* user = request.at(3);
    const Item* params = request.at(4);
    const Item* rpId = rp ? rp->at("id") : nullptr;
    if (!clientDataHash || clientDataHash->kind != Item::Bytes || !rpId || rpId->kind != Item::Text || !user
        || user->kind != Item::Map || !params || params->kind != Item::Array)
        return status(MissingParameter);
    bool es256 = false;
    for (const Item& p : params->items) {
        const Item* alg = p.at("alg");
        es256 = es256 || (alg && alg->isInt() && alg->value == -7);
    }
    if (!es256)
        return status(UnsupportedAlgorithm);

    // A key with a PIN makes no credential without it.
    const Item* auth = request.at(8);
    const bool verified = auth && auth->kind == Item::Bytes;
    if (hasPin() && !verified)
        return status(PinRequired);
    if (verified && !tokenAuthentic(clientDataHash->data, auth->data))
        return status(PinAuthInvalid);

    const Item* extensions = request.at(6);
    const Item* wantsHmac = extensions ? extensions->at("hmac-secret") : nullptr;
    const bool hmac = offersHmacSecret() && wantsHmac && wantsHmac->kind == Item::Bool && wantsHmac->flag;
    const Item* options = request.at(7);
    const Item* rk = options ? options->at("rk") : nullptr;

    MadeCredential credential;
    credential.id = randomBytes(48);
    credential.rpId = QString::fromUtf8(rpId->data);
    if (hmac) {
        credential.hmacRandom = randomBytes(32);
        credential.hmacRandomWithUv = randomBytes(32);
    }
    made << credential;
    if (rk && rk->kind == Item::Bool && rk->flag) {
        const Item* userId = user->at("id");
        const Item* name = rp->at("name");
        credentials << Credential{credential.id, credential.rpId,
                                  name && name->kind == Item::Text ? QString::fromUtf8(name->data) : QString(),
                                  userId ? userId->data : QByteArray(), QString(), QString()};
    }

    QByteArray authData = sha256(rpId->data);
    authData.append(static_cast<char>(flagUserPresent | flagAttested | (verified ? flagUserVerified : 0)
                                      | (hmac ? flagExtensions : 0)));
    authData += bigEndian(++signCount, 4);
    authData += info.aaguid;
    authData += bigEndian(static_cast<quint32>(credential.id.size()), 2);
    authData += credential.id;
    authData += coseKey(credentialKey, -7);
    if (hmac)
        authData += map({Pair(text(QStringLiteral("hmac-secret")), boolean(true))});

    QByteArray statement = map({});
    if (attestationFormat == QLatin1String("packed"))
        statement = map({Pair(text(QStringLiteral("alg")), integer(-7)),
                         Pair(text(QStringLiteral("sig")), bytes(sign(authData + clientDataHash->data)))});
    return okWith(map({Pair(unsignedInt(1), text(attestationFormat)), Pair(unsignedInt(2), bytes(authData)),
                       Pair(unsignedInt(3), statement)}));
}

QByteArray SoftAuthenticator::hmacSecretOutput(const SoftCbor::Item& request, const QByteArray& hmacRandom) const
{
    const SoftCbor::Item* platformKey = request.at(1);
    const SoftCbor::Item* saltEnc = request.at(2);
    const SoftCbor::Item* saltAuth = request.at(3);
    if (!platformKey || platformKey->kind != SoftCbor::Item::Map || !saltEnc
        || saltEnc->kind != SoftCbor::Item::Bytes || !saltAuth || saltAuth->kind != SoftCbor::Item::Bytes)
        return status(MissingParameter);
    const QByteArray secret = sharedSecret(platformKey->raw);
    if (secret.isEmpty())
        return status(InvalidParameter);
    if (authenticate(secret, saltEnc->data) != saltAuth->data)
        return status(PinAuthInvalid);
    const QByteArray salts = aesCbc(secret, saltEnc->data, false);
    if (salts.size() != 32 && salts.size() != 64)
        return status(InvalidParameter);
    QByteArray output;
    for (qsizetype at = 0; at < salts.size(); at += 32) {
        unsigned char mac[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        HMAC(EVP_sha256(), hmacRandom.constData(), static_cast<int>(hmacRandom.size()),
             reinterpret_cast<const unsigned char*>(salts.constData() + at), 32, mac, &len);
        output += QByteArray(reinterpret_cast<const char*>(mac), static_cast<qsizetype>(len));
    }
    return okWith(aesCbc(secret, output, true));
}

QByteArray SoftAuthenticator::getAssertion(const QByteArray& body)
{
    using namespace SoftCbor;
    const Item request = decode(body);
    if (request.kind != Item::Map)
        return status(InvalidCbor);
    const Item* rpId = request.at(1);
    const Item* clientDataHash = request.at(2);
    if (!rpId || rpId->kind != Item::Text || !clientDataHash || clientDataHash->kind != Item::Bytes)
        return status(MissingParameter);
    const Item* auth = request.at(6);
    const bool verified = auth && auth->kind == Item::Bytes;
    if (verified && !tokenAuthentic(clientDataHash->data, auth->data))
        return status(PinAuthInvalid);

    // Only credentials this key made for this relying party answer.
    const MadeCredential* credential = nullptr;
    const Item* allowList = request.at(3);
    for (const Item& descriptor : allowList ? allowList->items : QList<Item>()) {
        const Item* id = descriptor.at("id");
        for (const MadeCredential& c : std::as_const(made)) {
            if (!credential && id && id->kind == Item::Bytes && c.id == id->data
                && c.rpId == QString::fromUtf8(rpId->data))
                credential = &c;
        }
    }
    if (!credential)
        return status(NoCredentials);

    const Item* options = request.at(5);
    const Item* up = options ? options->at("up") : nullptr;
    const bool present = !up || up->kind != Item::Bool || up->flag;

    QByteArray extensionOutput;
    const Item* extensions = request.at(4);
    const Item* hmacRequest = extensions ? extensions->at("hmac-secret") : nullptr;
    if (hmacRequest && offersHmacSecret() && !credential->hmacRandom.isEmpty()) {
        const QByteArray answer = hmacSecretOutput(*hmacRequest, credential->hmacRandomFor(verified));
        if (answer.at(0) != Ok)
            return answer;
        extensionOutput = map({Pair(text(QStringLiteral("hmac-secret")), bytes(answer.mid(1)))});
    }

    QByteArray authData = sha256(rpId->data);
    authData.append(static_cast<char>((present ? flagUserPresent : 0) | (verified ? flagUserVerified : 0)
                                      | (extensionOutput.isEmpty() ? 0 : flagExtensions)));
    authData += bigEndian(++signCount, 4);
    authData += extensionOutput;
    const QByteArray descriptor = map({Pair(text(QStringLiteral("id")), bytes(credential->id)),
                                       Pair(text(QStringLiteral("type")), text(QStringLiteral("public-key")))});
    return okWith(map({Pair(unsignedInt(1), descriptor), Pair(unsignedInt(2), bytes(authData)),
                       Pair(unsignedInt(3), bytes(sign(authData + clientDataHash->data)))}));
}

QByteArray SoftAuthenticator::reset()
{
    if (!resetAllowed)
        return status(NotAllowed);
    credentials.clear();
    made.clear();
    pinHash.clear();
    retries = 8;
    mismatches = 0;
    pinToken = randomBytes(32);
    renewKeyAgreement();
    pendingRps.clear();
    pendingCreds.clear();
    ++resetCount;
    return status(Ok);
}
