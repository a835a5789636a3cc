#include "fido/FidoDeviceManager.h"

#include "core/BackgroundTask.h"
#include "core/SecureZero.h"

#include <fido.h>
#include <fido/credman.h>

#include <QElapsedTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QRecursiveMutex>

#include <limits>

namespace {

// libfido2's own manifest cap; the same cap applies to a supplied list.
constexpr size_t maxManifestEntries = 64;

// The poll lists the keys on a thread of its own while actions run on the
// window's; one exchange with the keys at a time, as a key busy on one
// channel refuses the other. Never destroyed: a poll still waiting for a key
// may outlive everything else at exit.
QRecursiveMutex& keyAccess()
{
    static auto* mutex = new QRecursiveMutex;
    return *mutex;
}

// The test seams are set on the window's thread and read on the poll's.
QMutex& seamAccess()
{
    static auto* mutex = new QMutex;
    return *mutex;
}

// Never destroyed either, for the same reason.
FidoDeviceManager::ManifestSource& manifestSource()
{
    static auto* source = new FidoDeviceManager::ManifestSource;
    return *source;
}

FidoDeviceManager::DeviceAttacher& deviceAttacher()
{
    static auto* attacher = new FidoDeviceManager::DeviceAttacher;
    return *attacher;
}

template <typename Seam>
Seam copyOf(Seam& seam)
{
    const QMutexLocker lock(&seamAccess());
    return seam;
}

QString fromLibrary(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QStringList stringArray(char** items, size_t count)
{
    QStringList out;
    if (!items)
        return out;
    for (size_t i = 0; i < count; ++i)
        out << fromLibrary(items[i]);
    return out;
}

int clampToInt(uint64_t value, uint64_t ceiling = std::numeric_limits<int>::max())
{
    return static_cast<int>(value < ceiling ? value : ceiling);
}

QString algorithmName(int cose)
{
    switch (cose) {
    case -7:
        return QStringLiteral("es256");
    case -8:
        return QStringLiteral("eddsa");
    case -257:
        return QStringLiteral("rs256");
    default:
        return QStringLiteral("cose:%1").arg(cose);
    }
}

// A fresh handle, with the test's transport attached when one is set.
fido_dev_t* newDevice()
{
    fido_dev_t* dev = fido_dev_new();
    if (!dev)
        return dev;
    if (const FidoDeviceManager::DeviceAttacher attacher = copyOf(deviceAttacher()))
        attacher(dev);
    return dev;
}

// The keys on the bus: the test's list when one is set, else libfido2's
// manifest. allocated is false when libfido2 could not allocate the list.
FidoDeviceManager::Manifest readManifest(bool* allocated)
{
    *allocated = true;
    FidoDeviceManager::Manifest manifest;
    if (const FidoDeviceManager::ManifestSource source = copyOf(manifestSource())) {
        manifest = source();
        if (manifest.entries.size() > static_cast<qsizetype>(maxManifestEntries))
            manifest.entries.resize(maxManifestEntries);
        return manifest;
    }
    fido_dev_info_t* list = fido_dev_info_new(maxManifestEntries);
    if (!list) {
        *allocated = false;
        manifest.result = FIDO_ERR_INTERNAL;
        return manifest;
    }
    size_t found = 0;
    manifest.result = fido_dev_info_manifest(list, maxManifestEntries, &found);
    if (manifest.result == FIDO_OK) {
        for (size_t i = 0; i < found; ++i) {
            const fido_dev_info_t* di = fido_dev_info_ptr(list, i);
            if (!di)
                continue;
            FidoDeviceManager::ManifestEntry entry;
            entry.path = fromLibrary(fido_dev_info_path(di));
            entry.product = fromLibrary(fido_dev_info_product_string(di));
            entry.manufacturer = fromLibrary(fido_dev_info_manufacturer_string(di));
            // libfido2 hands the USB ids out as signed 16-bit values.
            entry.vendorId = static_cast<quint16>(fido_dev_info_vendor(di));
            entry.productId = static_cast<quint16>(fido_dev_info_product(di));
            manifest.entries << entry;
        }
    }
    fido_dev_info_free(&list, maxManifestEntries);
    return manifest;
}

// A handle opened at path with a limit on every wait for the key's answer;
// null, with the reason in *result, when it cannot be opened. libfido2 waits
// without limit unless told otherwise, and the limit must be set before the
// open, which is itself an exchange with the key.
fido_dev_t* openKey(const QString& path, int timeoutMs, int* result)
{
    fido_dev_t* dev = newDevice();
    if (!dev) {
        *result = FIDO_ERR_INTERNAL;
        return nullptr;
    }
    *result = fido_dev_set_timeout(dev, timeoutMs);
    if (*result == FIDO_OK)
        *result = fido_dev_open(dev, path.toUtf8().constData());
    if (*result != FIDO_OK)
        fido_dev_free(&dev);
    return dev;
}

void closeKey(fido_dev_t*& dev)
{
    if (!dev)
        return;
    fido_dev_close(dev);
    fido_dev_free(&dev);
}

// libfido2 reports a key that let the limit pass as a failed read, the same
// as one pulled out mid-exchange; only the clock tells the two apart.
bool timedOut(int result, qint64 elapsedMs, int timeoutMs)
{
    return result == FIDO_ERR_RX && timeoutMs >= 0 && elapsedMs >= timeoutMs;
}

QString timeoutText(const QString& operation, int timeoutMs)
{
    return QStringLiteral("%1 timed out: the key did not answer within %2 s")
        .arg(operation, QString::number(timeoutMs / 1000.0));
}

QString reason(int result)
{
    return QString::fromUtf8(fido_strerr(result));
}

// What a libfido2 result of the PIN, credential and reset exchanges means
// to the user, in words; the library's code name only for an answer none
// of these exchanges is expected to give.
QString inWords(int result, const QString& operation)
{
    switch (result) {
    case FIDO_ERR_PIN_POLICY_VIOLATION:
        return QStringLiteral("the new PIN is too short or breaks the key's PIN policy");
    case FIDO_ERR_PIN_AUTH_INVALID:
        // Setting a first PIN is the one exchange a key with a PIN refuses so.
        if (operation == QLatin1String("Set PIN"))
            return QStringLiteral("the key already has a PIN \u2014 use Change PIN");
        return QStringLiteral("the key did not accept the PIN's proof \u2014 remove and re-insert the key, "
                              "then try again");
    case FIDO_ERR_PIN_NOT_SET:
        return QStringLiteral("the key has no PIN \u2014 set one first");
    case FIDO_ERR_PIN_REQUIRED:
        return QStringLiteral("the key needs its PIN for this");
    case FIDO_ERR_PIN_TOKEN_EXPIRED:
        return QStringLiteral("the key's PIN session ran out \u2014 try again");
    case FIDO_ERR_UV_BLOCKED:
        return QStringLiteral("the key's built-in verification is blocked \u2014 use the PIN");
    case FIDO_ERR_NOT_ALLOWED:
        if (operation == QLatin1String("Factory reset"))
            return QStringLiteral("the key allows a reset only in the first seconds after it is plugged in "
                                  "\u2014 remove and re-insert it, then reset at once");
        return QStringLiteral("the key does not allow this");
    case FIDO_ERR_ACTION_TIMEOUT:
    case FIDO_ERR_USER_ACTION_TIMEOUT:
        return QStringLiteral("the key was not touched in time");
    case FIDO_ERR_UP_REQUIRED:
    case FIDO_ERR_USER_PRESENCE_REQUIRED:
        return QStringLiteral("the key needs a touch for this");
    case FIDO_ERR_OPERATION_DENIED:
        return QStringLiteral("the request was denied on the key");
    case FIDO_ERR_KEEPALIVE_CANCEL:
        return QStringLiteral("cancelled on the key");
    case FIDO_ERR_NO_CREDENTIALS:
    case FIDO_ERR_INVALID_CREDENTIAL:
        return QStringLiteral("the key holds no such credential");
    case FIDO_ERR_INVALID_COMMAND:
    case FIDO_ERR_UNSUPPORTED_OPTION:
    case FIDO_ERR_INVALID_OPTION:
    case FIDO_ERR_UNSUPPORTED_EXTENSION:
    case FIDO_ERR_UNSUPPORTED_ALGORITHM:
        return QStringLiteral("the key does not support this");
    case FIDO_ERR_CHANNEL_BUSY:
    case FIDO_ERR_PROCESSING:
    case FIDO_ERR_USER_ACTION_PENDING:
    case FIDO_ERR_OPERATION_PENDING:
        return QStringLiteral("the key is busy with another request \u2014 try again");
    case FIDO_ERR_INVALID_PARAMETER:
    case FIDO_ERR_INVALID_LENGTH:
    case FIDO_ERR_MISSING_PARAMETER:
    case FIDO_ERR_INVALID_CBOR:
    case FIDO_ERR_CBOR_UNEXPECTED_TYPE:
    case FIDO_ERR_REQUEST_TOO_LARGE:
    case FIDO_ERR_INVALID_ARGUMENT:
        return QStringLiteral("the key refused the request as malformed");
    case FIDO_ERR_TX:
    case FIDO_ERR_RX:
    case FIDO_ERR_RX_NOT_CBOR:
    case FIDO_ERR_RX_INVALID_CBOR:
    case FIDO_ERR_INVALID_SIG:
        return QStringLiteral("the key stopped answering or answered garbled \u2014 is it still plugged in?");
    case FIDO_ERR_NOTFOUND:
        return QStringLiteral("the key is no longer there");
    case FIDO_ERR_INTERNAL:
        // What libfido2 answers, among others, for a key that went away.
        return QStringLiteral("the FIDO2 library could not talk to the key \u2014 is it still plugged in?");
    default:
        return QStringLiteral("the key answered with an unexpected error (%1)").arg(reason(result));
    }
}

bool acceptedPath(const QString& path)
{
    return path.startsWith(QLatin1String("ioreg://")) || path.startsWith(QLatin1String("/dev/hid"))
        || path.startsWith(QLatin1String("/dev/usb"));
}

// Fills info from the key's authenticatorGetInfo answer; returns the open's
// result (FIDO_OK once the key was opened, whether or not it answered the
// query). *failure tells a key that did not answer in time, and only that.
int readInfo(const QString& path, FidoKeyInfo& info, int timeoutMs, QString* failure)
{
    const QMutexLocker lock(&keyAccess());
    const QString operation = QStringLiteral("Reading device information of %1").arg(path);
    QElapsedTimer clock;
    clock.start();
    int opened = FIDO_OK;
    fido_dev_t* dev = openKey(path, timeoutMs, &opened);
    if (!dev) {
        // A key that cannot be opened at all is listed with its defaults
        // without a word; one that stopped answering is worth one.
        if (timedOut(opened, clock.elapsed(), timeoutMs)) {
            info.notAnswering = true;
            *failure = timeoutText(operation, timeoutMs);
        }
        return opened;
    }
    fido_cbor_info_t* ci = fido_cbor_info_new();
    if (!ci) {
        closeKey(dev);
        return opened;
    }
    clock.restart();
    const int queried = fido_dev_get_cbor_info(dev, ci);
    if (queried != FIDO_OK) {
        fido_cbor_info_free(&ci);
        closeKey(dev);
        if (timedOut(queried, clock.elapsed(), timeoutMs)) {
            info.notAnswering = true;
            *failure = timeoutText(operation, timeoutMs);
        }
        return opened;
    }

    info.versions = stringArray(fido_cbor_info_versions_ptr(ci), fido_cbor_info_versions_len(ci));
    if (info.versions.contains(QLatin1String("FIDO_2_1")))
        info.fidoVersion = QStringLiteral("FIDO_2_1");
    else if (info.versions.contains(QLatin1String("FIDO_2_1_PRE")))
        info.fidoVersion = QStringLiteral("FIDO_2_1_PRE");
    else if (info.versions.contains(QLatin1String("FIDO_2_0")))
        info.fidoVersion = QStringLiteral("FIDO_2_0");
    else
        info.fidoVersion = QStringLiteral("U2F");

    info.extensions = stringArray(fido_cbor_info_extensions_ptr(ci), fido_cbor_info_extensions_len(ci));
    info.transports = stringArray(fido_cbor_info_transports_ptr(ci), fido_cbor_info_transports_len(ci));

    char** optionNames = fido_cbor_info_options_name_ptr(ci);
    const bool* optionValues = fido_cbor_info_options_value_ptr(ci);
    if (optionNames && optionValues) {
        const size_t count = fido_cbor_info_options_len(ci);
        for (size_t i = 0; i < count; ++i) {
            if (!optionNames[i])
                continue;
            const QLatin1String name(optionNames[i]);
            const bool value = optionValues[i];
            if (name == QLatin1String("clientPin"))
                info.clientPin = value;
            // Present at all means the key speaks credential management, even
            // when it reports the option as false.
            else if (name == QLatin1String("credMgmt") || name == QLatin1String("credentialMgmtPreview"))
                info.credMgmt = true;
            else if (name == QLatin1String("authnrCfg"))
                info.authnrCfg = value;
            else if (name == QLatin1String("largeBlobs"))
                info.largeBlobs = value;
            else if (name == QLatin1String("plat"))
                info.plat = value;
        }
    }

    info.maxMsgSize = clampToInt(fido_cbor_info_maxmsgsiz(ci));
    info.maxCredCountInList = clampToInt(fido_cbor_info_maxcredcntlst(ci));
    info.minPinLength = clampToInt(fido_cbor_info_minpinlen(ci), 255);

    // Keys report their firmware as three or four packed bytes, or just two.
    const uint64_t v = fido_cbor_info_fwversion(ci);
    if ((v >> 24) != 0) {
        info.firmwareMajor = static_cast<quint8>(v >> 24);
        info.firmwareMinor = static_cast<quint8>(v >> 16);
        info.firmwarePatch = static_cast<quint8>(v >> 8);
    } else if (v >= 0x10000) {
        info.firmwareMajor = static_cast<quint8>(v >> 16);
        info.firmwareMinor = static_cast<quint8>(v >> 8);
        info.firmwarePatch = static_cast<quint8>(v);
    } else {
        info.firmwareMajor = static_cast<quint8>(v >> 8);
        info.firmwareMinor = static_cast<quint8>(v);
        info.firmwarePatch = 0;
    }

    const unsigned char* aaguid = fido_cbor_info_aaguid_ptr(ci);
    if (aaguid && fido_cbor_info_aaguid_len(ci) == 16)
        info.aaguid = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(aaguid), 16).toHex());

    const size_t algorithmCount = fido_cbor_info_algorithm_count(ci);
    for (size_t i = 0; i < algorithmCount; ++i)
        info.algorithms << algorithmName(fido_cbor_info_algorithm_cose(ci, i));

    fido_cbor_info_free(&ci);
    closeKey(dev);
    return opened;
}

} // namespace

FidoDeviceManager::FidoDeviceManager(QObject* parent)
    : QObject(parent)
{
    fido_init(0);
}

FidoDeviceManager::~FidoDeviceManager() = default;

int FidoDeviceManager::deviceCount() const
{
    return static_cast<int>(keys.size());
}

const QList<FidoKeyInfo>& FidoDeviceManager::devices() const
{
    return keys;
}

const FidoKeyInfo* FidoDeviceManager::deviceAt(int index) const
{
    if (index < 0 || index >= keys.size())
        return nullptr;
    return &keys.at(index);
}

void FidoDeviceManager::setManifestSource(ManifestSource source)
{
    manifestSource() = std::move(source);
}

void FidoDeviceManager::setDeviceAttacher(DeviceAttacher attacher)
{
    deviceAttacher() = std::move(attacher);
}

struct FidoDeviceManager::BusScan
{
    bool listed = false; // the manifest was read; devicesChanged follows
    QList<FidoKeyInfo> keys;
    QStringList failures; // for operationError, in the order they arose
};

FidoDeviceManager::BusScan FidoDeviceManager::scanBus(int infoTimeoutMs)
{
    BusScan scan;
    bool allocated = true;
    const Manifest manifest = readManifest(&allocated);
    if (!allocated) {
        scan.failures << QStringLiteral("Failed to allocate device info list");
        return scan;
    }
    if (manifest.result != FIDO_OK) {
        scan.failures << QStringLiteral("Device enumeration failed: %1").arg(reason(manifest.result));
        return scan;
    }

    for (const ManifestEntry& entry : std::as_const(manifest.entries)) {
        // Only paths of the platform's own HID namespaces are opened; anything
        // else in the manifest is not handed to the library.
        if (!acceptedPath(entry.path)) {
            scan.failures << QStringLiteral("Suspicious device path rejected: ") + entry.path;
            continue;
        }
        FidoKeyInfo info;
        info.devicePath = entry.path;
        QString failure;
        readInfo(entry.path, info, infoTimeoutMs, &failure);
        if (!failure.isEmpty())
            scan.failures << failure;
        info.product = entry.product;
        info.manufacturer = entry.manufacturer;
        info.vendorId = entry.vendorId;
        info.productId = entry.productId;
        scan.keys << info;
    }
    scan.listed = true;
    return scan;
}

void FidoDeviceManager::apply(const BusScan& scan)
{
    keys = scan.keys;
    for (const QString& failure : scan.failures)
        fail(failure);
    if (scan.listed)
        Q_EMIT devicesChanged();
}

void FidoDeviceManager::enumerate()
{
    ++listGeneration;
    keys.clear();
    apply(scanBus(infoTimeoutMs));
}

bool FidoDeviceManager::enumerateInBackground()
{
    if (enumerating)
        return false;
    enumerating = true;
    const int asked = ++listGeneration;
    // The thread gets values only: a key that never answers may keep it
    // beyond the life of this manager.
    const int timeoutMs = infoTimeoutMs;
    BackgroundTask::run<BusScan>(
        this, [timeoutMs] { return scanBus(timeoutMs); },
        [this, asked](BusScan scan) {
            enumerating = false;
            if (asked == listGeneration)
                apply(scan);
            Q_EMIT enumerated();
        });
    return true;
}

FidoKeyInfo FidoDeviceManager::queryDeviceInfo(const QString& path)
{
    FidoKeyInfo info;
    info.devicePath = path;
    readDeviceInfo(path, info);
    return info;
}

int FidoDeviceManager::readDeviceInfo(const QString& path, FidoKeyInfo& info)
{
    QString failure;
    const int opened = readInfo(path, info, infoTimeoutMs, &failure);
    if (!failure.isEmpty())
        fail(failure);
    return opened;
}

QString FidoDeviceManager::lastError() const
{
    return lastFailure;
}

void FidoDeviceManager::fail(const QString& message)
{
    lastFailure = message;
    Q_EMIT operationError(message);
}

bool FidoDeviceManager::sameIdentity(const FidoKeyInfo& a, const FidoKeyInfo& b)
{
    return a.devicePath == b.devicePath && a.vendorId == b.vendorId && a.productId == b.productId
        && a.manufacturer == b.manufacturer && a.product == b.product && a.aaguid == b.aaguid
        && a.firmwareMajor == b.firmwareMajor && a.firmwareMinor == b.firmwareMinor
        && a.firmwarePatch == b.firmwarePatch;
}

bool FidoDeviceManager::isSameKey(int index, const FidoKeyInfo& seen)
{
    lastFailure.clear();
    const FidoKeyInfo* listed = deviceAt(index);
    if (!listed || !sameIdentity(*listed, seen))
        return false;

    // The list is only as new as the last poll: a key swapped since then
    // shows only on the bus and in the key's own answer.
    bool allocated = true;
    const Manifest manifest = readManifest(&allocated);
    if (manifest.result != FIDO_OK)
        return false;
    FidoKeyInfo now;
    bool onBus = false;
    for (const ManifestEntry& entry : manifest.entries) {
        if (entry.path != seen.devicePath)
            continue;
        onBus = true;
        now.product = entry.product;
        now.manufacturer = entry.manufacturer;
        now.vendorId = entry.vendorId;
        now.productId = entry.productId;
        break;
    }
    if (!onBus)
        return false;
    now.devicePath = seen.devicePath;
    if (readDeviceInfo(seen.devicePath, now) != FIDO_OK)
        return false;
    return sameIdentity(now, seen);
}

int FidoDeviceManager::runOnKey(const QString& devicePath, const QString& operation, int timeoutMs,
                                const std::function<int(fido_dev_t*)>& exchange)
{
    const QMutexLocker lock(&keyAccess());
    QElapsedTimer clock;
    clock.start();
    int result = FIDO_OK;
    fido_dev_t* dev = openKey(devicePath, timeoutMs, &result);
    if (!dev) {
        fail(timedOut(result, clock.elapsed(), timeoutMs) ? timeoutText(operation, timeoutMs)
                                                          : QStringLiteral("Cannot open device: %1").arg(inWords(result, operation)));
        return result;
    }
    clock.restart();
    result = exchange(dev);
    QString message;
    if (result != FIDO_OK)
        message = failureText(operation, result, dev, clock.elapsed(), timeoutMs);
    closeKey(dev);
    if (result != FIDO_OK)
        fail(message);
    return result;
}

QString FidoDeviceManager::failureText(const QString& operation, int r, fido_dev_t* dev, qint64 elapsedMs,
                                       int timeoutMs)
{
    switch (r) {
    case FIDO_ERR_PIN_INVALID: {
        // Every wrong PIN costs one of the key's few attempts, and after the
        // last only a reset (erasing every credential) clears the PIN: the
        // user must see the count fall.
        int retries = -1;
        if (fido_dev_get_retry_count(dev, &retries) != FIDO_OK || retries < 0)
            return QStringLiteral("Wrong PIN.");
        return retries == 1 ? QStringLiteral("Wrong PIN \u2014 1 attempt left.")
                            : QStringLiteral("Wrong PIN \u2014 %1 attempts left.").arg(retries);
    }
    case FIDO_ERR_PIN_AUTH_BLOCKED:
        // Too many wrong PINs in a row since the key was plugged in.
        return QStringLiteral("PIN blocked: remove and re-insert the key");
    case FIDO_ERR_PIN_BLOCKED:
        return QStringLiteral("PIN blocked: only a factory reset clears it");
    default:
        if (timedOut(r, elapsedMs, timeoutMs))
            return timeoutText(operation, timeoutMs);
        return QStringLiteral("%1 failed: %2").arg(operation, inWords(r, operation));
    }
}

namespace {

// Frees a libfido2 object on every way out of a scope.
template <typename T, void (*Free)(T**)>
class Owned
{
public:
    explicit Owned(T* object)
        : object(object)
    {
    }
    ~Owned() { Free(&object); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T* get() const { return object; }

private:
    T* object;
};

QString hexId(const fido_cred_t* cred)
{
    const size_t length = fido_cred_id_len(cred);
    const unsigned char* bytes = fido_cred_id_ptr(cred);
    if (!bytes || length == 0)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes), static_cast<qsizetype>(length)).toHex());
}

} // namespace

const FidoKeyInfo* FidoDeviceManager::operationKey(int index)
{
    lastFailure.clear();
    const FidoKeyInfo* key = deviceAt(index);
    if (!key)
        fail(QStringLiteral("Invalid device index"));
    return key;
}

bool FidoDeviceManager::setPin(int index, const QString& pin)
{
    const FidoKeyInfo* key = operationKey(index);
    if (!key)
        return false;
    const int r = runOnKey(key->devicePath, QStringLiteral("Set PIN"), pinTimeoutMs, [&pin](fido_dev_t* dev) {
        QByteArray pinBytes = pin.toUtf8();
        const int result = fido_dev_set_pin(dev, pinBytes.constData(), nullptr);
        secureZero(pinBytes);
        return result;
    });
    if (r != FIDO_OK)
        return false;
    Q_EMIT operationComplete(QStringLiteral("PIN set successfully"), true);
    return true;
}

bool FidoDeviceManager::changePin(int index, const QString& oldPin, const QString& newPin)
{
    const FidoKeyInfo* key = operationKey(index);
    if (!key)
        return false;
    const int r = runOnKey(key->devicePath, QStringLiteral("Change PIN"), pinTimeoutMs, [&](fido_dev_t* dev) {
        QByteArray oldBytes = oldPin.toUtf8();
        QByteArray newBytes = newPin.toUtf8();
        const int result = fido_dev_set_pin(dev, newBytes.constData(), oldBytes.constData());
        secureZero(oldBytes);
        secureZero(newBytes);
        return result;
    });
    if (r != FIDO_OK)
        return false;
    Q_EMIT operationComplete(QStringLiteral("PIN changed successfully"), true);
    return true;
}

QStringList FidoDeviceManager::listRelyingParties(int index, const QString& pin)
{
    lastFailure.clear();
    QStringList lines;
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt)
        return lines;
    QByteArray pinBytes = pin.toUtf8();
    runOnKey(key->devicePath, QStringLiteral("List credentials"), pinTimeoutMs, [&](fido_dev_t* dev) {
        // The metadata itself is not used: it is the first exchange that
        // needs the PIN, so a wrong PIN ends the listing here.
        Owned<fido_credman_metadata_t, fido_credman_metadata_free> metadata(fido_credman_metadata_new());
        Owned<fido_credman_rp_t, fido_credman_rp_free> rp(fido_credman_rp_new());
        if (!metadata.get() || !rp.get())
            return FIDO_ERR_INTERNAL;
        int r = fido_credman_get_dev_metadata(dev, metadata.get(), pinBytes.constData());
        if (r == FIDO_OK)
            r = fido_credman_get_dev_rp(dev, rp.get(), pinBytes.constData());
        // A key that holds no credential says so with an error.
        if (r == FIDO_ERR_NO_CREDENTIALS)
            return FIDO_OK;
        if (r != FIDO_OK)
            return r;
        const size_t count = fido_credman_rp_count(rp.get());
        for (size_t i = 0; i < count; ++i) {
            const char* id = fido_credman_rp_id(rp.get(), i);
            if (!id)
                continue;
            const QString name = fromLibrary(fido_credman_rp_name(rp.get(), i));
            const QString rpId = QString::fromUtf8(id);
            lines << (name.isEmpty() ? rpId : QStringLiteral("%1 (%2)").arg(rpId, name));
        }
        return FIDO_OK;
    });
    secureZero(pinBytes);
    return lines;
}

QStringList FidoDeviceManager::listCredentials(int index, const QString& rpEntry, const QString& pin,
                                               QStringList* credentialIds)
{
    lastFailure.clear();
    QStringList lines;
    if (credentialIds)
        credentialIds->clear();
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt)
        return lines;
    const QByteArray rpId = rpEntry.section(QLatin1Char(' '), 0, 0).toUtf8();
    QByteArray pinBytes = pin.toUtf8();
    runOnKey(key->devicePath, QStringLiteral("List credentials"), pinTimeoutMs, [&](fido_dev_t* dev) {
        Owned<fido_credman_rk_t, fido_credman_rk_free> rk(fido_credman_rk_new());
        if (!rk.get())
            return FIDO_ERR_INTERNAL;
        const int r = fido_credman_get_dev_rk(dev, rpId.constData(), rk.get(), pinBytes.constData());
        if (r == FIDO_ERR_NO_CREDENTIALS)
            return FIDO_OK;
        if (r != FIDO_OK)
            return r;
        const size_t count = fido_credman_rk_count(rk.get());
        for (size_t i = 0; i < count; ++i) {
            const fido_cred_t* cred = fido_credman_rk(rk.get(), i);
            if (!cred)
                continue;
            const QString userName = fromLibrary(fido_cred_user_name(cred));
            const QString displayName = fromLibrary(fido_cred_display_name(cred));
            QString line = !displayName.isEmpty() ? displayName
                : !userName.isEmpty()             ? userName
                                                  : QStringLiteral("Unknown credential");
            const QString id = hexId(cred);
            if (!id.isEmpty())
                line += QStringLiteral(" [") + id.left(16) + QStringLiteral("...]");
            lines << line;
            if (credentialIds)
                *credentialIds << id;
        }
        return FIDO_OK;
    });
    secureZero(pinBytes);
    return lines;
}

bool FidoDeviceManager::deleteCredential(int index, const QString& credentialId, const QString& pin)
{
    lastFailure.clear();
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt) {
        fail(QStringLiteral("Device does not support credential management"));
        return false;
    }
    const QByteArray id = QByteArray::fromHex(credentialId.toUtf8());
    QByteArray pinBytes = pin.toUtf8();
    const int r = runOnKey(key->devicePath, QStringLiteral("Delete"), pinTimeoutMs, [&](fido_dev_t* dev) {
        return fido_credman_del_dev_rk(dev, reinterpret_cast<const unsigned char*>(id.constData()),
                                       static_cast<size_t>(id.size()), pinBytes.constData());
    });
    secureZero(pinBytes);
    if (r != FIDO_OK)
        return false;
    Q_EMIT operationComplete(QStringLiteral("Credential deleted"), true);
    return true;
}

bool FidoDeviceManager::factoryReset(int index)
{
    const FidoKeyInfo* key = operationKey(index);
    if (!key)
        return false;
    // The key waits for a touch before it erases anything.
    if (runOnKey(key->devicePath, QStringLiteral("Factory reset"), touchTimeoutMs, fido_dev_reset) != FIDO_OK)
        return false;
    Q_EMIT operationComplete(QStringLiteral("Factory reset complete \u2014 all credentials erased"), true);
    enumerate();
    return true;
}

QString FidoDeviceManager::credentialIdMatching(const QStringList& ids, const QString& text)
{
    const QString wanted = text.trimmed().toLower();
    if (wanted.isEmpty())
        return QString();
    QString match;
    int matches = 0;
    for (const QString& id : ids) {
        if (id.isEmpty())
            continue;
        // A shorter start could name a credential the user never saw.
        const bool named = id == wanted || (wanted.size() >= 16 && id.startsWith(wanted));
        if (!named)
            continue;
        match = id;
        ++matches;
    }
    return matches == 1 ? match : QString();
}

namespace {

// What the key signs along with its answer. The vault checks no signature,
// so a fresh random value serves.
QByteArray clientDataHash()
{
    QByteArray hash(32, '\0');
    QRandomGenerator::system()->generate(hash.begin(), hash.end());
    return hash;
}

const unsigned char* bytesOf(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

// Points an assertion at the vault's relying party and at the one
// credential the vault was made with.
int askForVaultCredential(fido_assert_t* assertion, const QByteArray& credentialId)
{
    const QByteArray hash = clientDataHash();
    int result = fido_assert_set_clientdata_hash(assertion, bytesOf(hash), static_cast<size_t>(hash.size()));
    if (result == FIDO_OK)
        result = fido_assert_set_rp(assertion, FidoDeviceManager::vaultRelyingParty);
    if (result == FIDO_OK)
        result = fido_assert_allow_cred(assertion, bytesOf(credentialId), static_cast<size_t>(credentialId.size()));
    return result;
}

} // namespace

const FidoKeyInfo* FidoDeviceManager::hmacSecretKey(int index)
{
    const FidoKeyInfo* key = operationKey(index);
    if (key && !key->extensions.contains(QLatin1String("hmac-secret"))) {
        fail(QStringLiteral("The key does not offer the hmac-secret extension"));
        return nullptr;
    }
    return key;
}

QByteArray FidoDeviceManager::makeHmacCredential(int index, const QString& pin)
{
    const FidoKeyInfo* key = hmacSecretKey(index);
    if (!key)
        return {};
    QByteArray id;
    QByteArray pinBytes = pin.toUtf8();
    runOnKey(key->devicePath, QStringLiteral("Make credential"), touchTimeoutMs, [&](fido_dev_t* dev) {
        Owned<fido_cred_t, fido_cred_free> cred(fido_cred_new());
        if (!cred.get())
            return FIDO_ERR_INTERNAL;
        const QByteArray hash = clientDataHash();
        // The user handle only has to be there: the credential is not
        // resident, so nothing lists it.
        const QByteArray user("vault");
        int r = fido_cred_set_type(cred.get(), COSE_ES256);
        if (r == FIDO_OK)
            r = fido_cred_set_clientdata_hash(cred.get(), bytesOf(hash), static_cast<size_t>(hash.size()));
        if (r == FIDO_OK)
            r = fido_cred_set_rp(cred.get(), vaultRelyingParty, "Ostrevan Tessaril Vault");
        if (r == FIDO_OK)
            r = fido_cred_set_user(cred.get(), bytesOf(user), static_cast<size_t>(user.size()), "vault",
                                   "Ostrevan Tessaril Vault", nullptr);
        if (r == FIDO_OK)
            r = fido_cred_set_extensions(cred.get(), FIDO_EXT_HMAC_SECRET);
        if (r == FIDO_OK)
            r = fido_dev_make_cred(dev, cred.get(), pin.isEmpty() ? nullptr : pinBytes.constData());
        if (r != FIDO_OK)
            return r;
        const unsigned char* idBytes = fido_cred_id_ptr(cred.get());
        const size_t idLength = fido_cred_id_len(cred.get());
        if (!idBytes || idLength == 0)
            return FIDO_ERR_INVALID_CBOR;
        id = QByteArray(reinterpret_cast<const char*>(idBytes), static_cast<qsizetype>(idLength));
        return FIDO_OK;
    });
    secureZero(pinBytes);
    return id;
}

FidoDeviceManager::Holding FidoDeviceManager::holdsCredential(int index, const QByteArray& credentialId)
{
    const FidoKeyInfo* key = operationKey(index);
    if (!key)
        return Holding::Unknown;
    if (credentialId.isEmpty()) {
        fail(QStringLiteral("Find credential failed: no credential id"));
        return Holding::Unknown;
    }
    bool held = false;
    const int r = runOnKey(key->devicePath, QStringLiteral("Find credential"), pinTimeoutMs, [&](fido_dev_t* dev) {
        Owned<fido_assert_t, fido_assert_free> assertion(fido_assert_new());
        if (!assertion.get())
            return FIDO_ERR_INTERNAL;
        int result = askForVaultCredential(assertion.get(), credentialId);
        // No touch is waited for, and without a PIN nothing is verified.
        if (result == FIDO_OK)
            result = fido_assert_set_up(assertion.get(), FIDO_OPT_FALSE);
        if (result == FIDO_OK)
            result = fido_dev_get_assert(dev, assertion.get(), nullptr);
        if (result == FIDO_ERR_NO_CREDENTIALS)
            return FIDO_OK;
        held = result == FIDO_OK;
        return result;
    });
    if (r != FIDO_OK)
        return Holding::Unknown;
    return held ? Holding::Held : Holding::NotHeld;
}

QByteArray FidoDeviceManager::hmacSecret(int index, const QByteArray& credentialId, const QByteArray& salt,
                                         const QString& pin, bool* notHeld)
{
    if (notHeld)
        *notHeld = false;
    const FidoKeyInfo* key = hmacSecretKey(index);
    if (!key)
        return {};
    if (salt.size() != 32 || credentialId.isEmpty()) {
        fail(QStringLiteral("Get hmac-secret failed: a 32-byte salt and a credential id are needed"));
        return {};
    }
    QByteArray secret;
    QByteArray pinBytes = pin.toUtf8();
    const int r = runOnKey(key->devicePath, QStringLiteral("Get hmac-secret"), touchTimeoutMs, [&](fido_dev_t* dev) {
        Owned<fido_assert_t, fido_assert_free> assertion(fido_assert_new());
        if (!assertion.get())
            return FIDO_ERR_INTERNAL;
        int result = askForVaultCredential(assertion.get(), credentialId);
        if (result == FIDO_OK)
            result = fido_assert_set_extensions(assertion.get(), FIDO_EXT_HMAC_SECRET);
        if (result == FIDO_OK)
            result = fido_assert_set_hmac_salt(assertion.get(), bytesOf(salt), static_cast<size_t>(salt.size()));
        if (result == FIDO_OK)
            result = fido_dev_get_assert(dev, assertion.get(), pin.isEmpty() ? nullptr : pinBytes.constData());
        if (result != FIDO_OK)
            return result;
        const unsigned char* output = fido_assert_count(assertion.get()) == 1
            ? fido_assert_hmac_secret_ptr(assertion.get(), 0)
            : nullptr;
        // A key that signs but leaves the extension out gives nothing to
        // derive from.
        if (!output || fido_assert_hmac_secret_len(assertion.get(), 0) != 32)
            return FIDO_ERR_UNSUPPORTED_EXTENSION;
        secret = QByteArray(reinterpret_cast<const char*>(output), 32);
        return FIDO_OK;
    });
    secureZero(pinBytes);
    if (notHeld)
        *notHeld = r == FIDO_ERR_NO_CREDENTIALS;
    return secret;
}
