#pragma once

#include "fido/FidoKeyInfo.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

struct fido_dev;

// The program's only access to FIDO2 keys, through libfido2. Holds the keys
// found by the last enumeration; a key's position in that list is the device
// index every other part uses. Every call is synchronous and leaves no key
// open behind it, except enumerateInBackground, which lets the poll list the
// keys without the window waiting for one that does not answer.
class FidoDeviceManager : public QObject
{
    Q_OBJECT
public:
    explicit FidoDeviceManager(QObject* parent = nullptr);
    ~FidoDeviceManager() override;

    int deviceCount() const;
    const QList<FidoKeyInfo>& devices() const;
    // Valid until the next enumerate(); null for an index outside the list.
    const FidoKeyInfo* deviceAt(int index) const;

    void enumerate();
    FidoKeyInfo queryDeviceInfo(const QString& path);

    // enumerate() on a thread of its own: returns at once, false and starting
    // nothing while an earlier one still runs. When it ends, the list is
    // replaced and reported as enumerate() does it (unless enumerate() ran
    // meanwhile, whose list is newer), and enumerated() follows either way.
    bool enumerateInBackground();
    bool isEnumerating() const { return enumerating; }

    // PIN, credential management and reset. Each opens the key at the given
    // index by its path, runs its exchange, and closes it again. The caller
    // keeps and wipes its own PIN strings; the UTF-8 copies made for the
    // library are wiped here.
    bool setPin(int index, const QString& pin);
    bool changePin(int index, const QString& oldPin, const QString& newPin);
    // "id" or "id (name)" per relying party; empty on any failure.
    QStringList listRelyingParties(int index, const QString& pin);
    // One display line per credential of the relying party named by the
    // first word of rpEntry; empty on any failure. The lines carry only the
    // start of each id, so credentialIds, when given, receives every whole id
    // (lower-case hex, empty where the key reported none) in line order:
    // that is what deleteCredential needs.
    QStringList listCredentials(int index, const QString& rpEntry, const QString& pin,
                                QStringList* credentialIds = nullptr);
    bool deleteCredential(int index, const QString& credentialId, const QString& pin);
    // Rebuilds the key list on success.
    bool factoryReset(int index);

    // The hmac-secret extension, which binds a vault to a key: a secret the
    // key computes from a salt with a random only it holds, per credential.
    // Both operations refuse a key whose information lacks "hmac-secret"
    // before opening it, wait up to touchTimeoutMs for the touch, and need
    // the PIN (empty: none sent) of a key that has one; the UTF-8 copy of
    // the PIN is wiped here. Failures go out on operationError.
    static constexpr const char* vaultRelyingParty = "ostrevan-tessaril-vault";
    // A non-resident ES256 credential of vaultRelyingParty with hmac-secret
    // on: its id, or empty.
    QByteArray makeHmacCredential(int index, const QString& pin);
    // The key's 32-byte output for the credential and the 32-byte salt, or
    // empty. notHeld, when given, tells that the key does not hold the
    // credential (another key made it).
    QByteArray hmacSecret(int index, const QByteArray& credentialId, const QByteArray& salt, const QString& pin,
                          bool* notHeld = nullptr);

    // Whether the key holds the credential, asked with neither a PIN nor a
    // touch: an assertion with user presence off, which the key answers
    // with a signature or "no credentials". Lets a vault find its key before
    // any PIN is sent, since a PIN typed for another key costs that key one
    // of its attempts. Unknown when the key could not be asked (the reason
    // on operationError); "no credentials" is no failure.
    enum class Holding { Held, NotHeld, Unknown };
    Holding holdsCredential(int index, const QByteArray& credentialId);

    // The whole id among ids that text names: the id itself, or the start of
    // exactly one id of at least the 16 hex digits the credential lines show
    // (case and surrounding blanks ignored). Empty when no id or several match.
    static QString credentialIdMatching(const QStringList& ids, const QString& text);

    // What the last failed operation reported on operationError: a wrong PIN
    // with the attempts left, a blocked PIN, a key that did not answer in
    // time, or libfido2's reason. Cleared when an operation starts, so after
    // an empty list it tells a key that could not be read from one that holds
    // nothing.
    QString lastError() const;

    // Whether the key at index is still the key an action started on (seen,
    // copied from the list then). Prompts and menus run nested event loops in
    // which the poll rebuilds the list, and Linux hands a freed hidraw number
    // to the next key plugged in; so both the list entry and the key now
    // found at the path must match seen on path, USB ids, manufacturer and
    // product strings, AAGUID and firmware. A key that no longer answers in
    // time fails too, with the time-out in lastError().
    bool isSameKey(int index, const FidoKeyInfo& seen);
    // The identity fields of two records agree. Two keys of one model and
    // firmware swapped at one path still agree: CTAP reports no serial
    // number that could tell them apart.
    static bool sameIdentity(const FidoKeyInfo& a, const FidoKeyInfo& b);

    // How long libfido2 may wait for each answer of a key (fido_dev_set_timeout),
    // so that a key that stops answering cannot freeze the window. Device
    // information is read on every poll and must stay short; PIN and
    // credential exchanges make the key compute; a reset waits for a touch.
    // Tests shorten them.
    int infoTimeoutMs = 2000;
    int pinTimeoutMs = 10000;
    int touchTimeoutMs = 30000;

    // Test seams. Nothing here can attach a key (no hardware, no uhid), so a
    // test may supply the manifest itself and give every device handle the
    // manager creates a transport of its own before it is opened. Both are
    // process-wide and unset in the program; an empty function restores the
    // real behaviour.
    struct ManifestEntry
    {
        QString path;
        QString product;
        QString manufacturer;
        quint16 vendorId = 0;
        quint16 productId = 0;
    };
    struct Manifest
    {
        int result = 0; // a libfido2 error code; non-zero fails the enumeration
        QList<ManifestEntry> entries;
    };
    using ManifestSource = std::function<Manifest()>;
    using DeviceAttacher = std::function<void(fido_dev*)>;
    static void setManifestSource(ManifestSource source);
    static void setDeviceAttacher(DeviceAttacher attacher);

Q_SIGNALS:
    void devicesChanged();
    // A background enumeration has ended.
    void enumerated();
    void operationComplete(const QString& message, bool success);
    void operationError(const QString& error);

private:
    // The one way every operation talks to a key: opened by its path with
    // timeoutMs as the limit on each answer, exchange(dev) run, the key closed
    // and freed on every path. A failure goes out on operationError and into
    // lastError() in the words of failureText; success emits nothing. Returns
    // the libfido2 result: FIDO_OK, the open's failure or the exchange's.
    int runOnKey(const QString& devicePath, const QString& operation, int timeoutMs,
                 const std::function<int(fido_dev*)>& exchange);
    // The words for libfido2 result r of operation, which failed after
    // elapsedMs with timeoutMs as its limit. A wrong PIN is told with the
    // attempts left, read from the still open dev.
    QString failureText(const QString& operation, int r, fido_dev* dev, qint64 elapsedMs, int timeoutMs);
    // operationError, remembered for lastError().
    void fail(const QString& message);
    // The key an operation addresses; null, reported as "Invalid device
    // index", when there is none. Clears lastError().
    const FidoKeyInfo* operationKey(int index);
    // operationKey, refused when the key does not offer hmac-secret.
    const FidoKeyInfo* hmacSecretKey(int index);
    // Fills info from the key's authenticatorGetInfo answer; returns the
    // open's result (FIDO_OK once the key was opened, whether or not it
    // answered the query). Reports only a key that did not answer in time.
    int readDeviceInfo(const QString& path, FidoKeyInfo& info);
    // What one enumeration found, made without touching the manager so that
    // it can be made on another thread.
    struct BusScan;
    static BusScan scanBus(int infoTimeoutMs);
    void apply(const BusScan& scan);

    QList<FidoKeyInfo> keys;
    QString lastFailure;
    bool enumerating = false;
    // Counts the lists made; an answer of a background enumeration that
    // started before the last one is not put in.
    int listGeneration = 0;
};
