#pragma once

#include "fido/DeviceProfile.h"
#include "fido/FidoKeyInfo.h"

#include <QList>

// The fixed catalogue of known key models, built in code on first use and
// never changed afterwards. The first entry that matches a key wins, so the
// registration order decides ties.
class DeviceProfileRegistry
{
public:
    static DeviceProfileRegistry& instance();

    // A copy of the entry for this key; never fails (falls back to a generic entry).
    DeviceProfile profileFor(const FidoKeyInfo& key) const;
    const QList<DeviceProfile>& profiles() const { return entries; }

    static DeviceProfile hirschUtrust263();
    static DeviceProfile yubikey5Ci54();
    static DeviceProfile yubikey5Nfc54();
    static DeviceProfile yubikey57Plus();
    static DeviceProfile genericCtap2();
    static DeviceProfile genericPivCcid();

private:
    DeviceProfileRegistry();
    DeviceProfileRegistry(const DeviceProfileRegistry&) = delete;
    DeviceProfileRegistry& operator=(const DeviceProfileRegistry&) = delete;

    void registerProfiles();

    QList<DeviceProfile> entries;
};
