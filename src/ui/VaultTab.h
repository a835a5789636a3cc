#pragma once

#include <QWidget>

class FidoDeviceManager;
class QComboBox;
class QLabel;
class QLineEdit;
class QTextEdit;
class QTreeWidget;
class TessarilVault;
class UserProfile;

// The "Secure Vault" page over the one vault engine, the FIDO2 manager (keys
// that unlock a vault) and the user profile (the list of known vaults). Its
// sub-pages live in files named after their area: VaultTabManagement.cpp
// (the vault list and the create form), and so on.
class VaultTab : public QWidget
{
    Q_OBJECT
public:
    VaultTab(TessarilVault* vault, FidoDeviceManager* fido, UserProfile* profile,
             QWidget* parent = nullptr);

    // Rebuilds the vault list from the profile, after adding the fixed
    // locations that exist on disk.
    void refreshVaultList();

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    QWidget* createManagementSubTab();
    QWidget* createKeyBackupSubTab();
    QWidget* createCloudCredsSubTab();
    QWidget* createPasswordImportSubTab();
    QWidget* createCloudBackupSubTab();

    void onFilesystemChanged(QComboBox* filesystemCombo, QLabel* filesystemHint);
    // One log line when a vault volume this engine did not attach sits in
    // the volumes folder; said again only when that changes.
    void noteForeignVolume();
    void appendLog(const QString& line);

    TessarilVault* vault = nullptr;
    FidoDeviceManager* fidoManager = nullptr;
    UserProfile* userProfile = nullptr;
    QTextEdit* logView = nullptr;
    QTreeWidget* vaultList = nullptr;
    QTreeWidget* credentialTree = nullptr;
    QLineEdit* vaultPathEdit = nullptr;
    QComboBox* authCombo = nullptr;
    QComboBox* sizeCombo = nullptr;

    QString notedForeignVolume;
};
