#pragma once

#include <QWidget>

#include <functional>
#include <optional>

class FidoDeviceManager;
struct FidoKeyInfo;
class OpenscBridge;
class PageFill;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTreeWidgetItem;
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
    // locations that exist on disk. The sizes are summed off the window's
    // thread ("Loading…" stands over the list meanwhile); the rows follow.
    void refreshVaultList();
    // Derives the vault's pass phrase by the method its side file names
    // (asking for a password or the key's answer) and mounts it.
    void mountVaultByPath(const QString& path);

    // How long security may take to export the keychain.
    int keychainTimeoutMs = 30000;
    // The bytes free in a cloud folder (unset: as the file system reports
    // them; negative: unknown).
    std::function<qint64(const QString& folder)> cloudFreeBytes;

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
    // "Create Vault": the form's values, the method's pass phrase, the
    // image, then its side file (VaultTabUnlock.cpp).
    void onCreateVault(QComboBox* filesystemCombo);
    // A masked prompt over the tab; ok false when cancelled.
    QString askSecret(const QString& title, const QString& label, bool* ok);
    void warn(const QString& text);
    bool hardwareKeyPresent() const;
    // The random key of a PIV vault, decrypted by the token's slot 9A key
    // after the PIN; empty, with the reason logged, when it is not.
    QString unwrapPivKey(const QString& wrappedKey);
    // Why the decryption on the slot of this id failed, in the user's words,
    // from the tool's error (pivError).
    QString pivFailure(const QString& slot);
    // The FIDO2 hmac-secret of a vault. Enrolling makes a credential on the
    // first listed key that offers hmac-secret and asks it for the output
    // for salt, with the key's PIN when it has one (*verified then true).
    // Unlocking first finds the listed key that holds the credential without
    // sending any key a PIN, then asks that key alone, verified as the
    // credential was made (unset: when the key has a PIN): a CTAP 2.1 key
    // answers differently with and without verification. Empty when no key
    // answered (the reason logged) or a PIN prompt was cancelled
    // (*cancelled then true).
    QByteArray enrollFidoKey(const QByteArray& salt, QByteArray* credentialId, bool* verified, bool* cancelled);
    QByteArray fidoKeySecret(const QByteArray& credentialId, const QByteArray& salt, std::optional<bool> verified,
                             bool* cancelled);
    // The PIN of the key at index (seen: copied from the list before the
    // prompt, whose event loop lets the poll rebuild the list), asked by the
    // key's name and path. Empty and true for a key without a PIN; false
    // when cancelled (*cancelled then true) or when the key at index is no
    // longer the one seen.
    bool askFidoPin(int index, const FidoKeyInfo& seen, const QString& title, QString* pin, bool* cancelled);

    // The vault list's actions (VaultTabActions.cpp). The menu reads its row
    // once, when it is built.
    QMenu* buildVaultMenu(QTreeWidgetItem* item);
    void onVaultContextMenu(const QPoint& point);
    void onVaultDoubleClicked(QTreeWidgetItem* item);
    void unmountVault();
    void changeVaultPassword(const QString& path, bool mounted);
    void renameVault(const QString& path, const QString& shownName, bool mounted);
    void onAddExistingVault();
    void onBrowseVaultPath();
    // The vault list's fill (VaultTabManagement.cpp).
    void fillVaultList();
    // One log line when a vault volume this engine did not attach sits in
    // the volumes folder (volumes: those found there); said again only when
    // that changes.
    void noteForeignVolume(const QStringList& volumes);
    void appendLog(const QString& line);

    // Pages that need a mounted vault (VaultTabBackups.cpp): the label and
    // buttons show the engine's state now and follow its mount signals.
    void followMountState(QLabel* label, const QList<QPushButton*>& buttons, const QString& mountedText,
                          const QString& unmountedText);
    // "Backup Keychain": the login keychain exported by security into the
    // vault's "certificates" folder.
    void exportKeychain();
    void storeChosenFile();

    // Cloud Credentials (VaultTabCloud.cpp).
    void addCredential();
    void fillCredentialTree();
    void deleteCredential();
    // Cloud Backup (VaultTabCloud.cpp): copies the vault the create form
    // names into the cloud folder.
    void backupVaultToCloud(const QString& cloudFolder);

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
    PageFill* vaultFill = nullptr;
    // How long hdiutil chpass may take.
    int rekeyTimeoutMs = 30000;
    // Decrypts a PIV vault's wrapped key with the token's slot 9A key.
    OpenscBridge* pivBridge = nullptr;
    // The bridge's last error output (its commandError).
    QString pivError;
};
