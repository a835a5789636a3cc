#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Authenticode signing of Windows PE files (.exe, .dll, .msi, .cab) through
// the osslsigncode tool, with a key file or a key held on a PKCS#11 token, and
// verification and extraction of such signatures.
class OsslSigncodeBridge : public QObject
{
    Q_OBJECT
public:
    // One run of the tool; a run that did not start, was killed at the end of
    // its wait or crashed has a non-zero exitCode.
    struct CmdResult {
        int exitCode = -1;
        QString stdOut;
        QString stdErr;
    };

    explicit OsslSigncodeBridge(QObject* parent = nullptr);

    bool isAvailable() const;
    QString version() const;

    CmdResult run(const QStringList& arguments, const QProcessEnvironment& environment,
                  int timeoutMs, const QByteArray& standardInput = {});

    // key is a key file or a PKCS#11 URI. A non-empty pin is handed to the tool
    // on its standard input, never on its command line; the caller wipes it.
    // A "pin-value=" in the URI is taken out of it and sent the same way when
    // no pin is given; a "pin-source=" is dropped. Without either, standard
    // input is closed, so a token that wants a PIN fails at once instead of
    // waiting on a prompt nobody sees. A URI that breaks the URI syntax is
    // refused before the tool runs.
    // The signed file replaces outputPath only when the tool exited 0 and its
    // output is larger than the input; an earlier file there is otherwise
    // left as it was.
    bool signPE(const QString& inputPath, const QString& outputPath, const QString& certsPath,
                const QString& key, const QString& pkcs11Engine, const QString& pkcs11Module,
                const QString& opensslConf, const QString& timestampUrl,
                const QString& description, const QString& pin = QString());
    bool verifyPE(const QString& path);
    QString signatureInfo(const QString& path);

    // Text with the value of every "pin-value=" attribute shown as "****".
    static QString maskPinValues(const QString& text);
    // Pkcs11Config::withoutPin: the normalised PKCS#11 URI without its
    // pin-value and pin-source, wherever they stand; the decoded pin-value
    // goes to *pin. Anything that is not a PKCS#11 URI comes back only
    // trimmed.
    static QString withoutPinValue(const QString& key, QString* pin);

    QString path;
    int versionTimeoutMs = 5000;
    int runTimeoutMs = 60000;

Q_SIGNALS:
    void signingLog(const QString& message);
    void signingError(const QString& error);

private:
    void tell(const QString& line);
};
