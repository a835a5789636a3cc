#pragma once

#include "SoftAuthenticator.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

// Stands in for the USB bus while it lives: FidoDeviceManager's manifest comes
// from here, and every device handle it creates speaks CTAPHID (64-byte HID
// reports) to the software authenticator plugged in at the opened path.
// libfido2 itself does the framing, the CBOR and the PIN protocol. One bus at
// a time; it restores the real manifest and transport when destroyed, once no
// listing on another thread still talks to one of its keys. The bus may be
// used from any thread; a test that changes a plugged authenticator while the
// device manager may be listing in the background does it through
// withAuthenticators.
class SoftFidoBus
{
public:
    SoftFidoBus();
    ~SoftFidoBus();
    SoftFidoBus(const SoftFidoBus&) = delete;
    SoftFidoBus& operator=(const SoftFidoBus&) = delete;

    struct Key
    {
        QString path = QStringLiteral("/dev/hidraw0");
        QString product = QStringLiteral("Soft FIDO2 Key");
        QString manufacturer = QStringLiteral("Ostrevan Test");
        quint16 vendorId = 0x1050;
        quint16 productId = 0x0407;
    };

    // A key with an authenticator behind it, at the end of the manifest or at
    // position. The reference stays valid until the key is unplugged.
    SoftAuthenticator& plug(const Key& key, int position = -1);
    // A manifest entry with nothing behind it: opening it fails.
    void plugUnreachable(const Key& key, int position = -1);
    void unplug(const QString& path);
    SoftAuthenticator* authenticator(const QString& path) const;

    // A non-zero libfido2 error code makes the manifest fail.
    void setManifestResult(int result);

    int opens() const;
    int closes() const;
    // The limit libfido2 gave every read, in milliseconds (-1: none), in order.
    QList<int> readLimits() const;

    // Runs change while no key of the bus is in an exchange.
    void withAuthenticators(const std::function<void()>& change);

private:
    struct Slot
    {
        Key key;
        std::unique_ptr<SoftAuthenticator> authenticator;
    };
    friend struct SoftFidoBusIo;
    SoftAuthenticator* findAuthenticator(const QString& path) const;

    std::vector<Slot> plugged;
    int manifestResult = 0;
    int openCount = 0;
    int closeCount = 0;
    QList<int> limits;
};
