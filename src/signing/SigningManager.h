#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include "core/ToolRunner.h"

// One signing identity as the keychain tool lists it.
struct CertificateInfo
{
    QString name;       // exactly as printed between the double quotes
    QString sha1Hash;   // 40 hexadecimal digits as printed; empty when the line holds none
    bool valid = false; // false when the keychain tool flags the identity with a CSSMERR code
};

// The macOS signing service: runs the platform's signing and keychain tools
// (security, codesign, productsign, xcrun) and openssl, one blocking run at a
// time on the GUI thread, and reports through signals.
class SigningManager : public QObject
{
    Q_OBJECT
public:
    explicit SigningManager(QObject* parent = nullptr);

    // How long one tool run may take before it is killed and counted as failed.
    int waitMs() const { return toolWaitMs; }
    void setWaitMs(int ms) { toolWaitMs = ms; }

    // Runs a tool and returns what it printed on both channels, nothing when
    // it did not finish; logs one summary line "[program arguments] exit N".
    QString runCommand(const QString& program, const QStringList& arguments);
    // Runs a tool and logs its output; true only when it started, finished
    // within the wait and exited with 0.
    bool runCommandSuccess(const QString& program, const QStringList& arguments);

    QList<CertificateInfo> listSigningIdentities();
    // The keychain tool's arguments that list the code-signing identities,
    // the options such a listing runs with (both channels in one, this
    // manager's wait), and the identities of its output: for a page that
    // runs the listing in the background.
    static QStringList signingIdentityArguments();
    ToolRunner::Options listingOptions() const;
    static QList<CertificateInfo> parseSigningIdentities(const QString& output);
    QList<CertificateInfo> listInstallerIdentities();

    bool codesign(const QString& path, const QString& identity, const QString& entitlementsPath,
                  bool hardenedRuntime, bool timestamp);
    bool verifySignature(const QString& path);
    QString signatureInfo(const QString& path);
    bool signPackage(const QString& pkgPath, const QString& identity);
    bool notarize(const QString& path, const QString& keychainProfile);
    bool staple(const QString& path);
    QString notarizationStatus(const QString& submissionId);

    // A new 2048-bit RSA key (unencrypted, owner-only) and a request for it,
    // subject "/CN=<commonName>/O=<organization>".
    bool generateCSR(const QString& commonName, const QString& organization, const QString& keyPath,
                     const QString& csrPath);
    // Imports a certificate or identity file; an empty keychain means the default one.
    bool importCertificate(const QString& path, const QString& keychain);
    // Writes the first keychain certificate whose name contains name as PEM,
    // owner-only; false when the keychain tool printed no certificate.
    bool exportCertificate(const QString& name, const QString& outPath);

    // Arguments as the summary line shows them: a path by its file name alone,
    // options and URLs whole.
    static QStringList displayArguments(const QStringList& arguments);

Q_SIGNALS:
    void signingStarted(const QString& path);
    void signingComplete(const QString& path, bool success, const QString& message);
    void notarizationStarted(const QString& path);
    void notarizationComplete(const QString& path, bool success, const QString& message);
    void operationLog(const QString& message);

private:
    ToolRunner::Result execute(const QString& program, const QStringList& arguments);
    ToolRunner::Result executeSummarised(const QString& program, const QStringList& arguments);
    ToolRunner::Result executeLogged(const QString& program, const QStringList& arguments);
    void reportFailure(const QString& program, const QStringList& arguments,
                       const ToolRunner::Result& result);

    int toolWaitMs = 30000;
};
