#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// One slot of pkcs11-tool's slot list and the token in it, if any.
struct Pkcs11SlotInfo {
    int slotId = -1;
    QString description;
    QString tokenLabel;
    QString manufacturer;
    QString model;
    QString serialNumber;
    QString flags;
    bool tokenPresent = false;
};

// One object on a token: "certificate", "public-key" or "private-key", with
// the tool's hexadecimal object id as text.
struct Pkcs11ObjectInfo {
    QString label;
    QString type;
    QString id;
};

// The PKCS#11 backend over the OpenSC tools. It keeps no session with the
// token: every operation is one blocking pkcs11-tool run whose output is
// parsed. Tools and module are located once, at construction.
class OpenscBridge : public QObject
{
    Q_OBJECT
public:
    struct CmdResult {
        int exitCode = 0;
        QString stdOut;
        QString stdErr;
        // Standard output as the tool wrote it (a decrypted key is no text).
        QByteArray output;
    };

    explicit OpenscBridge(QObject* parent = nullptr);

    bool isAvailable() const;
    QString pkcs11ModulePath() const;

    // A run that times out or cannot start is a failure (exit code -1) with
    // the reason in stdErr. A PIN given after "--pin" (and the other secret
    // options) reaches the tool only through that child's environment.
    CmdResult runPkcs11Tool(const QStringList& args, int timeoutMs);
    CmdResult runOpenscTool(const QStringList& args, int timeoutMs);

    QList<Pkcs11SlotInfo> listSlots();
    // The slot's id as the listing prints it in parentheses ("0x6b386a59"
    // of "Slot 0 (0x6b386a59)"), which is what "--slot" takes; slotId is
    // the slot's position in the listing, which names the same slot only
    // for a module that numbers its slots from 0 (OpenSC's, as long as the
    // token sits in the first reader). Empty when the header has none.
    static QString printedSlotId(const Pkcs11SlotInfo& slot);
    QList<Pkcs11ObjectInfo> listObjects(int slot, const QString& pin);
    bool generateKeyPair(int slot, const QString& keyType, const QString& id,
                         const QString& label, const QString& pin);
    bool writeCertificate(int slot, const QString& certPath, const QString& id,
                          const QString& pin);
    bool readCertificate(int slot, const QString& id, const QString& outputPath);
    bool deleteObject(int slot, const QString& type, const QString& id, const QString& pin);
    // Decrypts an RSA (PKCS#1 v1.5) ciphertext with the private key of this
    // id on the slot of this id (printedSlotId), after a login with the PIN.
    // The ciphertext goes to the tool in a private temporary file; the plain
    // text comes back on its standard output, never through a file. Empty
    // on any failure; the tool's reason goes out on commandError.
    QByteArray decrypt(const QString& slotId, const QString& id, const QByteArray& ciphertext, const QString& pin);

    // The time-out every operation passes to runPkcs11Tool.
    int operationTimeoutMs = 30000;
    // The PKCS#11 module every run tells pkcs11-tool to load ("--module").
    // Empty, as the program leaves it, the tool loads its own default,
    // OpenSC's module; tests point the real tool at SoftHSM2's.
    QString toolModulePath;

Q_SIGNALS:
    void commandOutput(const QString& output);
    void commandError(const QString& error);

private:
    QString pkcs11ToolPath;
    QString openscToolPath;
    QString modulePath;
};
