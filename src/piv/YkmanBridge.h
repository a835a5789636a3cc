#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// One PIV slot as `ykman piv info` describes it. Texts are the tool's own,
// trimmed; only slots that hold a key are ever listed.
struct PivSlotInfo
{
    QString slot;       // lower-cased slot id, "9a"
    QString algorithm;
    QString subject;
    QString issuer;
    QString notBefore;
    QString notAfter;
    bool hasKey = false;
};

// The PIN and PUK counters and the occupied slots of one PIV token.
struct PivDeviceState
{
    int pinRetries = -1;        // -1: unknown
    int pukRetries = -1;
    bool pinBlocked = false;
    bool pukBlocked = false;
    bool toolAvailable = true;  // false when no ykman was found at query time
    QString errorText;          // why the counters could not be read; empty when they were
    QList<PivSlotInfo> slotList;
};

// The PIV backend: every operation is one or two blocking runs of the ykman
// tool. Each run leaves one summary line on commandOutput (secrets masked)
// and, when it failed with something to say, the reason on commandError.
class YkmanBridge : public QObject
{
    Q_OBJECT
public:
    struct CmdResult
    {
        int exitCode = 0;   // non-zero for a failed run, also one that never started or hung
        QString stdOut;
        QString stdErr;
    };

    explicit YkmanBridge(QObject* parent = nullptr);

    bool isAvailable() const;
    QString version() const;
    // The same probe without blocking: done hears what version() would have
    // returned once the tool ends, as long as receiver lives.
    void versionAsync(QObject* receiver, std::function<void(const QString&)> done) const;

    // Every tool run of the bridge goes through here. Non-empty stdinData is
    // sent followed by one line break; standard input is always closed.
    CmdResult run(const QStringList& args, const QString& stdinData, int timeoutMs);

    QStringList serialArgs(const QString& serial) const;
    PivDeviceState queryState(const QString& serial);
    // readOk, when given, tells an empty token from one that could not be read.
    QList<PivSlotInfo> listSlots(const QString& serial, bool* readOk = nullptr);

    bool changePin(const QString& currentPin, const QString& newPin, const QString& serial);
    bool changePuk(const QString& currentPuk, const QString& newPuk, const QString& serial);
    // A PIN-protected key is stored in the token's PIN-protected data, so the
    // tool asks for the PIN: given here, it answers that prompt on standard
    // input. Without it the tool's prompt finds its input closed and fails.
    bool changeMgmtKey(const QString& currentKey, const QString& newKey, const QString& algorithm,
                       bool protect, const QString& serial, const QString& pin = QString());
    bool resetPiv(const QString& serial);
    QString generateKey(const QString& slot, const QString& algorithm, const QString& pin,
                        const QString& serial);
    QString generateCsr(const QString& slot, const QString& subject, const QString& pin,
                        const QString& serial);
    QString attestSlot(const QString& slot, const QString& serial);
    QString exportIntermediateCa(const QString& serial);
    // verify: the tool refuses a certificate that does not match the slot's key.
    bool importCertificate(const QString& slot, const QString& certPath, const QString& pin,
                           const QString& serial, bool verify = false);
    QString exportCertificate(const QString& slot, const QString& serial);

    // Waits, shortened by tests: every operation's finish, the start of a run
    // that is given input, and the version probe.
    int operationTimeoutMs = 30000;
    int startTimeoutMs = 5000;
    int versionTimeoutMs = 5000;

Q_SIGNALS:
    void commandOutput(const QString& output);
    void commandError(const QString& error);

private:
    QString ykmanPath;

    // One run whose result is a file the tool writes into the private folder.
    QString runForFile(const QStringList& args, const QString& file);
    // False (with the reason on commandError) when the private folder cannot
    // be made safe; nothing may be run then.
    bool privateDir(QString* dir);
};
