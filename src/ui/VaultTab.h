#pragma once

#include <QWidget>

class FidoDeviceManager;
class TessarilVault;
class UserProfile;

// The "Secure Vault" page over the one vault engine, the FIDO2 manager (keys
// that unlock a vault) and the user profile (the list of known vaults).
class VaultTab : public QWidget
{
    Q_OBJECT
public:
    VaultTab(TessarilVault* vault, FidoDeviceManager* fido, UserProfile* profile,
             QWidget* parent = nullptr);

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    TessarilVault* vault = nullptr;
    FidoDeviceManager* fidoManager = nullptr;
    UserProfile* userProfile = nullptr;
};
