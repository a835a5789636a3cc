#pragma once

#include "core/ToolRunner.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throwaway certificate authority made with the real openssl in a fresh
// temporary folder: a root, an intermediate signed by the root and a
// code-signing leaf signed by the intermediate, all RSA 2048 in PEM. More
// certificates (other extensions, other dates, a key made elsewhere, for
// example one later written to a token) come from issue().
class TestPki
{
public:
    // A certificate and its private key (PEM, unencrypted). Empty on failure.
    struct Issued {
        QString certPath;
        QString keyPath;
        bool isNull() const { return certPath.isEmpty(); }
    };

    struct Spec {
        QString subject;       // openssl form: "/CN=name/O=org"
        QString extensions;    // extension lines in openssl config syntax, one per line
        QDateTime notBefore;   // invalid: one day ago
        QDateTime notAfter;    // invalid: a year from now
        QString keyPath;       // an existing private key to certify; empty: a new RSA key
        QString serial;        // hex, an even number of digits, new to this CA; empty: random
    };

    // Extension lines of the three default certificates, for specs that vary one.
    static const QString rootExtensions;
    static const QString intermediateExtensions;
    static const QString codeSigningExtensions;

    TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    // False when openssl failed somewhere; errorString() says where.
    bool isValid() const { return valid; }
    QString errorString() const { return error; }
    QString path() const { return dir.path(); }

    const Issued& root() const { return rootCa; }
    const Issued& intermediate() const { return intermediateCa; }
    const Issued& leaf() const { return codeSigning; }
    // The leaf followed by the intermediate (PEM): what a signer hands out
    // beside its signature.
    QString chainPath() const { return chain; }
    // Writes such a chain for another leaf; false on failure.
    bool writeChain(const Issued& leaf, const QString& path);

    // Issues <path>/<name>.crt (and <name>.key when the spec names no key),
    // signed by issuer, or self-signed when issuer is null.
    Issued issue(const QString& name, const Spec& spec, const Issued& issuer = {});

    // A time the way openssl prints it in UTC: "Mar  5 12:00:00 2031 GMT".
    static QString printedTime(const QDateTime& when);

    // Writes the DER form of a PEM certificate; false on failure.
    bool toDer(const QString& pemPath, const QString& derPath);

    // Runs the real openssl (60 s at most); a failed run is recorded in errorString().
    ToolRunner::Result openssl(const QStringList& arguments, const QByteArray& input = {});

private:
    void fail(const QString& what, const ToolRunner::Result& result);

    QTemporaryDir dir;
    QString opensslPath;
    QString configPath;
    QString chain;
    Issued rootCa, intermediateCa, codeSigning;
    bool valid = false;
    QString error;
};
