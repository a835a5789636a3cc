#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

typedef struct evp_pkey_st EVP_PKEY;

namespace SoftCbor {
struct Item;
}

// A software CTAP2 authenticator: answers authenticatorMakeCredential and
// authenticatorGetAssertion (ES256, with the hmac-secret extension and its
// two values per credential, with and without user verification),
// authenticatorGetInfo, clientPIN (PIN/UV auth protocol 1), credential
// management and reset in canonical CBOR, so the real libfido2 can be driven
// against it. SoftFidoBus puts it behind a HID transport.
class SoftAuthenticator
{
public:
    SoftAuthenticator();
    ~SoftAuthenticator();
    SoftAuthenticator(const SoftAuthenticator&) = delete;
    SoftAuthenticator& operator=(const SoftAuthenticator&) = delete;

    // What authenticatorGetInfo reports. Unset optionals and empty lists are
    // left out of the answer. A listed "clientPin" option always reports
    // whether a PIN is set.
    struct Info
    {
        QStringList versions{QStringLiteral("FIDO_2_0"), QStringLiteral("FIDO_2_1")};
        QStringList extensions{QStringLiteral("credProtect")};
        QByteArray aaguid = QByteArray::fromHex("0102030405060708090a0b0c0d0e0f10");
        QList<QPair<QString, bool>> options{{QStringLiteral("rk"), true},
                                            {QStringLiteral("up"), true},
                                            {QStringLiteral("clientPin"), false},
                                            {QStringLiteral("credMgmt"), true}};
        std::optional<quint64> maxMsgSize = 1200;
        QList<int> pinProtocols{1};
        std::optional<quint64> maxCredCountInList = 8;
        QStringList transports{QStringLiteral("usb")};
        QList<qint64> algorithms{-7};
        std::optional<quint64> minPinLength = 4;
        std::optional<quint64> firmwareVersion;
    };
    Info info;

    // A resident credential. A null name is not reported at all; an empty
    // one is reported as an empty text.
    struct Credential
    {
        QByteArray id;
        QString rpId;
        QString rpName;
        QByteArray userId;
        QString userName;
        QString displayName;
    };
    QList<Credential> credentials; // in creation order

    // A credential made through authenticatorMakeCredential, resident or not.
    // As CTAP 2.1 has it, the hmac-secret extension computes under one of two
    // randoms per credential: hmacRandomWithUv for an assertion with user
    // verification (a PIN), hmacRandom for one without. Both empty when the
    // credential was made without the extension.
    struct MadeCredential
    {
        QByteArray id;
        QString rpId;
        QByteArray hmacRandom;
        QByteArray hmacRandomWithUv;
        // The random an assertion with or without verification computes under.
        const QByteArray& hmacRandomFor(bool verified) const { return verified ? hmacRandomWithUv : hmacRandom; }
    };
    QList<MadeCredential> made; // in creation order
    // The attestation of a new credential: "packed" (self-attested, signed
    // with the credential's own key) or "none".
    QString attestationFormat = QStringLiteral("packed");

    // A PIN as if set earlier, with the attempts it has left; empty clears it.
    void presetPin(const QString& pin, int retriesLeft = 8);
    bool hasPin() const;
    bool pinIs(const QString& pin) const;
    int pinRetries() const { return retries; }
    // As unplugged and plugged in again: a PIN blocked by three wrong tries
    // in a row can be tried again (the attempts left stay as they are).
    void powerCycle();

    bool resetAllowed = true; // false: refused, as a key not replugged in time
    // false: the key takes every request and never answers, as one that hangs.
    bool answering = true;
    // CTAP2 command bytes it takes and never answers (0x07: it hangs in a reset).
    QList<int> silentOn;
    int resetCount = 0;
    QList<int> commands; // every CTAP2 command byte received, in order

    // One CTAP2 request (command byte + CBOR) in, status byte + CBOR out.
    QByteArray handle(const QByteArray& request);

private:
    QByteArray getInfo() const;
    QByteArray makeCredential(const QByteArray& body);
    QByteArray getAssertion(const QByteArray& body);
    // The answer of the hmac-secret extension to the platform's request, or
    // the status byte alone when the request is unusable.
    QByteArray hmacSecretOutput(const SoftCbor::Item& request, const QByteArray& hmacRandom) const;
    QByteArray sign(const QByteArray& message) const;
    bool offersHmacSecret() const;
    QByteArray clientPin(const QByteArray& body);
    QByteArray credentialManagement(const QByteArray& body);
    QByteArray reset();
    QByteArray sharedSecret(const QByteArray& platformKeyCose) const;
    QByteArray coseKey(EVP_PKEY* key, int alg) const;
    QByteArray rpAnswer(int credentialIndex, bool first) const;
    QByteArray credentialAnswer(int credentialIndex, bool first, int total) const;
    bool tokenAuthentic(const QByteArray& message, const QByteArray& param) const;
    void renewKeyAgreement();
    // The PIN check of changePIN and getPinToken: Ok, or the status to answer.
    char checkPin(const QByteArray& secret, const QByteArray& pinHashEnc);

    EVP_PKEY* agreementKey = nullptr;
    EVP_PKEY* credentialKey = nullptr;
    QByteArray pinToken;
    QByteArray pinHash; // LEFT(SHA-256(PIN), 16); empty when no PIN is set
    int retries = 8;
    int mismatches = 0; // wrong PINs in a row since the last power cycle
    quint32 signCount = 0;
    QList<int> pendingRps;   // first credential index of each relying party still to report
    QList<int> pendingCreds; // credential indexes still to report
};
