#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Reads X.509 certificates (parsed with libcrypto, never from the text openssl
// prints for them) and assembles what Windows PE signing needs: the issuer's download address from the Authority Information
// Access extension, the issuing certificate itself, a "full chain" file (leaf
// then intermediate) and a summary of a certificate for display. Holds no
// state between operations; progress and problems go out through chainLog.
class ChainBuilder : public QObject
{
    Q_OBJECT
public:
    struct CertInfo {
        QString subject;                 // as "openssl x509 -subject" shows it, quoting kept
        QString issuer;
        QString notBefore;               // as printed, zone suffix included
        QString notAfter;
        int daysLeft = -1;               // calendar days to notAfter's date, for display
        QString serial;                  // hexadecimal, as "openssl x509 -serial" shows it
        QString fingerprint;             // SHA-256, colon-separated pairs
        QStringList extendedKeyUsage;    // openssl's names, in the certificate's order
        bool valid = false;              // a subject, and now lies within notBefore..notAfter
        bool expired = false;            // now is past notAfter (an instant, UTC)
        bool notYetValid = false;        // now is before notBefore
        // Empty, or why the certificate could not be read: the file could
        // not be opened, or holds no certificate.
        QString failure;
    };

    explicit ChainBuilder(QObject* parent = nullptr);

    // Runs openssl with args and returns its standard output (UTF-8), whatever
    // the exit code; a run that fails to start, times out or crashes gives
    // nothing (its reason is kept in lastFailure()).
    QString runOpenssl(const QStringList& args, const QByteArray& input = {});
    // Why the last openssl run did not finish; empty when it did.
    QString lastFailure() const { return lastRunFailure; }
    // The CA Issuers address of the certificate at certPath, or empty.
    QString extractAiaUrl(const QString& certPath);
    // Downloads the issuing certificate over http or https, stores only the
    // certificates it holds, re-emitted as PEM, owner-only at savePath, and
    // returns the PEM text; empty (and nothing written) on any failure.
    QString fetchIntermediate(const QString& url, const QString& savePath);
    // Writes the leaf's certificates, one newline, the intermediate's to
    // outPath, each written anew from the parsed certificate: nothing else a
    // file holds (a private key) reaches the chain. Only a chain that chains
    // is written: the first intermediate issued the leaf file's first
    // certificate and each further one the one before it (names, key
    // identifiers, signature); otherwise the reason goes to the log and
    // nothing is written. An existing outPath is only ever replaced whole.
    bool buildChain(const QString& leafPath, const QString& intermediatePath, const QString& outPath);
    // Asks openssl to verify the first certificate of chainPath, with the rest of
    // the file as untrusted intermediates, against the default trust store.
    bool verifyChain(const QString& chainPath);
    CertInfo parseCertificate(const QString& path);

    // A download that has not finished within this time is abandoned.
    int transferTimeoutMs() const { return transferTimeout; }
    void setTransferTimeoutMs(int ms) { transferTimeout = ms; }

    // How long one openssl run may take, and the chain verification's.
    int opensslTimeoutMs = 15000;
    int verifyTimeoutMs = 10000;
    // A download larger than this is no certificate and is refused.
    qint64 maxDownloadBytes = 1024 * 1024;

Q_SIGNALS:
    void chainLog(const QString& message);

private:
    void tell(const QString& line);

    int transferTimeout = 30000;
    QString lastRunFailure;
};
