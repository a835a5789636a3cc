#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Prepares Windows PE signing with a key that stays on a token: finds
// OpenSSL's PKCS#11 provider and the OpenSC module, writes an OpenSSL
// configuration that activates the provider, checks that OpenSSL really
// loads it, and names the key with a PKCS#11 URI.
class Pkcs11Config : public QObject
{
    Q_OBJECT
public:
    explicit Pkcs11Config(QObject* parent = nullptr);

    // Looks for both modules afresh; returns the new `ready`.
    bool detectPaths();
    // Writes the provider configuration (owner-only) once both modules are known.
    bool generateConfig(const QString& path);
    // Whether `openssl list -providers` run with this configuration lists the provider.
    bool verifyConfig(const QString& path);
    // An RFC 7512 URI naming a private key. Every value is percent-encoded
    // as UTF-8 text; id, the object id in hexadecimal (as pkcs11-tool shows
    // it), is written as the bytes it stands for, each one escaped.
    QString buildPkcs11Uri(const QString& model, const QString& manufacturer,
                           const QString& serial, const QString& token, const QString& id,
                           const QString& object);
    QString findFile(const QStringList& candidates) const;

    // Why a typed PKCS#11 URI breaks the syntax of RFC 7512 or cannot name a
    // key the way it is written (an unencoded space, TAB, ';' or non-ASCII
    // character in a value, a '%' that starts no escape, an id not written
    // as escaped bytes), or empty when it is well formed. The text of a
    // pin-value is never quoted in the reason.
    static QString uriProblem(const QString& uri);

    // A typed PKCS#11 URI in the one form every use of it (signing, a saved
    // profile, a log line) sees: blanks around it gone, the scheme and the
    // attribute names in lower case with their percent-encoding decoded,
    // percent-escapes in values written with upper-case digits, empty
    // attributes dropped. So "PIN%2Dvalue" is pin-value wherever it is
    // looked for. Text that is no PKCS#11 URI (a key file) is only trimmed.
    static QString normalizedUri(const QString& typed);

    // The normalised URI without its pin-value and pin-source attributes,
    // wherever they stand (first after the scheme, in the path or in the
    // query). *pin gets the decoded pin-value (empty without one); the
    // caller wipes it. *hadPinSource tells whether a pin-source was taken
    // out: the PIN is only ever handed over on standard input.
    static QString withoutPin(const QString& typed, QString* pin, bool* hadPinSource = nullptr);

    QString providerPath;
    QString modulePath;
    bool ready = false;

    // Where detectPaths starts looking; empty is the real file system.
    QString searchRoot;
    int verifyTimeoutMs = 10000;

Q_SIGNALS:
    void configLog(const QString& message);
};
