#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Reads X.509 certificates with the openssl tool and assembles what Windows PE
// signing needs: the issuer's download address from the Authority Information
// Access extension, the issuing certificate itself, a "full chain" file (leaf
// then intermediate) and a summary of a certificate for display. Holds no
// state between operations; progress and problems go out through chainLog.
class ChainBuilder : public QObject
{
    Q_OBJECT
public:
    struct CertInfo {
        QString subject;                 // as openssl prints it, quoting kept
        QString issuer;
        QString notBefore;               // as printed, zone suffix included
        QString notAfter;
        int daysLeft = -1;               // calendar days to notAfter; negative once expired
        QString serial;                  // openssl's hexadecimal form
        QString fingerprint;             // SHA-256, colon-separated pairs
        QStringList extendedKeyUsage;    // openssl's names, in the certificate's order
        bool valid = false;              // a subject and not expired
        bool expired = false;            // only ever set when notAfter could be read
    };

    explicit ChainBuilder(QObject* parent = nullptr);

    // Runs openssl with args and returns its standard output (UTF-8), whatever
    // the exit code; a run that fails to start or times out gives what it printed.
    QString runOpenssl(const QStringList& args);
    // The CA Issuers address of the certificate at certPath, or empty.
    QString extractAiaUrl(const QString& certPath);
    // Downloads the issuing certificate, stores it as PEM at savePath and
    // returns the PEM text; empty (and nothing written) on any failure.
    QString fetchIntermediate(const QString& url, const QString& savePath);
    // Writes leaf, one newline, intermediate to outPath. An existing outPath is
    // only ever replaced whole.
    bool buildChain(const QString& leafPath, const QString& intermediatePath, const QString& outPath);
    // Asks openssl to verify the first certificate of chainPath, with the rest of
    // the file as untrusted intermediates, against the default trust store.
    bool verifyChain(const QString& chainPath);
    CertInfo parseCertificate(const QString& path);

    // A download that has not finished within this time is abandoned.
    int transferTimeoutMs() const { return transferTimeout; }
    void setTransferTimeoutMs(int ms) { transferTimeout = ms; }

Q_SIGNALS:
    void chainLog(const QString& message);

private:
    int transferTimeout = 30000;
};
