#include "fido/FidoDeviceManager.h"

#include "core/SecureZero.h"

#include <fido.h>
#include <fido/credman.h>

#include <limits>

namespace {

// libfido2's own manifest cap; the same cap applies to a supplied list.
constexpr size_t maxManifestEntries = 64;

FidoDeviceManager::ManifestSource& manifestSource()
{
    static FidoDeviceManager::ManifestSource source;
    return source;
}

FidoDeviceManager::DeviceAttacher& deviceAttacher()
{
    static FidoDeviceManager::DeviceAttacher attacher;
    return attacher;
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
    if (dev && deviceAttacher())
        deviceAttacher()(dev);
    return dev;
}

bool acceptedPath(const QString& path)
{
    return path.startsWith(QLatin1String("ioreg://")) || path.startsWith(QLatin1String("/dev/hid"))
        || path.startsWith(QLatin1String("/dev/usb"));
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

void FidoDeviceManager::enumerate()
{
    keys.clear();

    Manifest manifest;
    if (manifestSource()) {
        manifest = manifestSource()();
        if (manifest.entries.size() > static_cast<qsizetype>(maxManifestEntries))
            manifest.entries.resize(maxManifestEntries);
    } else {
        fido_dev_info_t* list = fido_dev_info_new(maxManifestEntries);
        if (!list) {
            Q_EMIT operationError(QStringLiteral("Failed to allocate device info list"));
            return;
        }
        size_t found = 0;
        manifest.result = fido_dev_info_manifest(list, maxManifestEntries, &found);
        if (manifest.result == FIDO_OK) {
            for (size_t i = 0; i < found; ++i) {
                const fido_dev_info_t* di = fido_dev_info_ptr(list, i);
                if (!di)
                    continue;
                ManifestEntry entry;
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
    }

    if (manifest.result != FIDO_OK) {
        Q_EMIT operationError(QStringLiteral("Device enumeration failed: %1")
                                  .arg(QString::fromUtf8(fido_strerr(manifest.result))));
        return;
    }

    for (const ManifestEntry& entry : std::as_const(manifest.entries)) {
        // Only paths of the platform's own HID namespaces are opened; anything
        // else in the manifest is not handed to the library.
        if (!acceptedPath(entry.path)) {
            Q_EMIT operationError(QStringLiteral("Suspicious device path rejected: ") + entry.path);
            continue;
        }
        FidoKeyInfo info = queryDeviceInfo(entry.path);
        info.product = entry.product;
        info.manufacturer = entry.manufacturer;
        info.vendorId = entry.vendorId;
        info.productId = entry.productId;
        keys << info;
    }
    Q_EMIT devicesChanged();
}

FidoKeyInfo FidoDeviceManager::queryDeviceInfo(const QString& path)
{
    FidoKeyInfo info;
    info.devicePath = path;

    fido_dev_t* dev = newDevice();
    if (!dev)
        return info;
    if (fido_dev_open(dev, path.toUtf8().constData()) != FIDO_OK) {
        fido_dev_free(&dev);
        return info;
    }
    fido_cbor_info_t* ci = fido_cbor_info_new();
    if (!ci) {
        fido_dev_close(dev);
        fido_dev_free(&dev);
        return info;
    }
    if (fido_dev_get_cbor_info(dev, ci) != FIDO_OK) {
        fido_cbor_info_free(&ci);
        fido_dev_close(dev);
        fido_dev_free(&dev);
        return info;
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
    fido_dev_close(dev);
    fido_dev_free(&dev);
    return info;
}

namespace {

// An open key for the length of one operation; closes and frees on every path.
class OpenKey
{
public:
    explicit OpenKey(const QString& path)
    {
        dev = newDevice();
        if (!dev) {
            result = FIDO_ERR_INTERNAL;
            return;
        }
        result = fido_dev_open(dev, path.toUtf8().constData());
        if (result != FIDO_OK)
            fido_dev_free(&dev);
    }
    ~OpenKey() { close(); }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool isOpen() const { return dev != nullptr; }
    int openResult() const { return result; }
    fido_dev_t* device() const { return dev; }

    void close()
    {
        if (!dev)
            return;
        fido_dev_close(dev);
        fido_dev_free(&dev);
    }

private:
    fido_dev_t* dev = nullptr;
    int result = FIDO_OK;
};

QString reason(int result)
{
    return QString::fromUtf8(fido_strerr(result));
}

// One exchange with the key at index, reported as failure ("<what> failed:
// <reason>") or success: the key is closed, and the exchange has wiped what
// it was given, before anything is reported.
template <typename Exchange>
bool runExchange(FidoDeviceManager& manager, int index, const QString& what, const QString& success,
                 Exchange exchange)
{
    const FidoKeyInfo* key = manager.deviceAt(index);
    if (!key) {
        Q_EMIT manager.operationError(QStringLiteral("Invalid device index"));
        return false;
    }
    OpenKey open(key->devicePath);
    if (!open.isOpen()) {
        Q_EMIT manager.operationError(QStringLiteral("Cannot open device: %1").arg(reason(open.openResult())));
        return false;
    }
    const int r = exchange(open.device());
    open.close();
    if (r != FIDO_OK) {
        Q_EMIT manager.operationError(QStringLiteral("%1 failed: %2").arg(what, reason(r)));
        return false;
    }
    Q_EMIT manager.operationComplete(success, true);
    return true;
}

} // namespace

bool FidoDeviceManager::setPin(int index, const QString& pin)
{
    return runExchange(*this, index, QStringLiteral("Set PIN"), QStringLiteral("PIN set successfully"),
                       [&pin](fido_dev_t* dev) {
                           QByteArray pinBytes = pin.toUtf8();
                           const int r = fido_dev_set_pin(dev, pinBytes.constData(), nullptr);
                           secureZero(pinBytes);
                           return r;
                       });
}

bool FidoDeviceManager::changePin(int index, const QString& oldPin, const QString& newPin)
{
    return runExchange(*this, index, QStringLiteral("Change PIN"), QStringLiteral("PIN changed successfully"),
                       [&oldPin, &newPin](fido_dev_t* dev) {
                           QByteArray oldBytes = oldPin.toUtf8();
                           QByteArray newBytes = newPin.toUtf8();
                           const int r = fido_dev_set_pin(dev, newBytes.constData(), oldBytes.constData());
                           secureZero(oldBytes);
                           secureZero(newBytes);
                           return r;
                       });
}

QStringList FidoDeviceManager::listRelyingParties(int index, const QString& pin)
{
    QStringList lines;
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt)
        return lines;
    OpenKey open(key->devicePath);
    if (!open.isOpen())
        return lines;
    QByteArray pinBytes = pin.toUtf8();

    fido_credman_metadata_t* metadata = fido_credman_metadata_new();
    fido_credman_rp_t* rp = nullptr;
    // The metadata itself is not used: it is the first exchange that needs
    // the PIN, so a wrong PIN ends the listing here.
    if (metadata && fido_credman_get_dev_metadata(open.device(), metadata, pinBytes.constData()) == FIDO_OK) {
        rp = fido_credman_rp_new();
        if (rp && fido_credman_get_dev_rp(open.device(), rp, pinBytes.constData()) == FIDO_OK) {
            const size_t count = fido_credman_rp_count(rp);
            for (size_t i = 0; i < count; ++i) {
                const char* id = fido_credman_rp_id(rp, i);
                if (!id)
                    continue;
                const QString name = fromLibrary(fido_credman_rp_name(rp, i));
                const QString rpId = QString::fromUtf8(id);
                lines << (name.isEmpty() ? rpId : QStringLiteral("%1 (%2)").arg(rpId, name));
            }
        }
    }
    fido_credman_rp_free(&rp);
    fido_credman_metadata_free(&metadata);
    open.close();
    secureZero(pinBytes);
    return lines;
}

QStringList FidoDeviceManager::listCredentials(int index, const QString& rpEntry, const QString& pin,
                                               QStringList* credentialIds)
{
    QStringList lines;
    if (credentialIds)
        credentialIds->clear();
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt)
        return lines;
    OpenKey open(key->devicePath);
    if (!open.isOpen())
        return lines;
    const QByteArray rpId = rpEntry.section(QLatin1Char(' '), 0, 0).toUtf8();
    QByteArray pinBytes = pin.toUtf8();

    fido_credman_rk_t* rk = fido_credman_rk_new();
    if (rk && fido_credman_get_dev_rk(open.device(), rpId.constData(), rk, pinBytes.constData()) == FIDO_OK) {
        const size_t count = fido_credman_rk_count(rk);
        for (size_t i = 0; i < count; ++i) {
            const fido_cred_t* cred = fido_credman_rk(rk, i);
            if (!cred)
                continue;
            const QString userName = fromLibrary(fido_cred_user_name(cred));
            const QString displayName = fromLibrary(fido_cred_display_name(cred));
            QString line = !displayName.isEmpty() ? displayName
                : !userName.isEmpty()             ? userName
                                                  : QStringLiteral("Unknown credential");
            const size_t idLength = fido_cred_id_len(cred);
            const unsigned char* idBytes = fido_cred_id_ptr(cred);
            QString id;
            if (idBytes && idLength > 0) {
                id = QString::fromLatin1(
                    QByteArray(reinterpret_cast<const char*>(idBytes), static_cast<qsizetype>(idLength)).toHex());
                line += QStringLiteral(" [") + id.left(16) + QStringLiteral("...]");
            }
            lines << line;
            if (credentialIds)
                *credentialIds << id;
        }
    }
    fido_credman_rk_free(&rk);
    open.close();
    secureZero(pinBytes);
    return lines;
}

bool FidoDeviceManager::deleteCredential(int index, const QString& credentialId, const QString& pin)
{
    const FidoKeyInfo* key = deviceAt(index);
    if (!key || !key->credMgmt) {
        Q_EMIT operationError(QStringLiteral("Device does not support credential management"));
        return false;
    }
    OpenKey open(key->devicePath);
    if (!open.isOpen()) {
        Q_EMIT operationError(QStringLiteral("Cannot open device"));
        return false;
    }
    const QByteArray id = QByteArray::fromHex(credentialId.toUtf8());
    QByteArray pinBytes = pin.toUtf8();
    const int r = fido_credman_del_dev_rk(open.device(), reinterpret_cast<const unsigned char*>(id.constData()),
                                          static_cast<size_t>(id.size()), pinBytes.constData());
    open.close();
    secureZero(pinBytes);
    if (r != FIDO_OK) {
        Q_EMIT operationError(QStringLiteral("Delete failed: %1").arg(reason(r)));
        return false;
    }
    Q_EMIT operationComplete(QStringLiteral("Credential deleted"), true);
    return true;
}

bool FidoDeviceManager::factoryReset(int index)
{
    if (!runExchange(*this, index, QStringLiteral("Factory reset"),
                     QStringLiteral("Factory reset complete — all credentials erased"), fido_dev_reset))
        return false;
    enumerate();
    return true;
}
