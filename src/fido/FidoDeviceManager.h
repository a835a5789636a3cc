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
// open behind it.
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
    void operationComplete(const QString& message, bool success);
    void operationError(const QString& error);

private:
    QList<FidoKeyInfo> keys;
};
