#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class QTabWidget;
class QTextEdit;
class QTimer;
class QTreeWidget;
class QComboBox;
class QPoint;
class QTreeWidgetItem;

namespace ToolRunner {
struct Result;
}

class FidoDeviceManager;
struct CertificateInfo;
struct FidoKeyInfo;
struct DeviceProfile;
class SigningManager;
class UserProfile;
class YkmanBridge;
class OpenscBridge;
class PageFill;
class TessarilVault;

// The one top-level window: owner of every backend service and host of the
// nine pages, whose order other code relies on.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    enum Page {
        DeviceInspectorPage = 0,
        CodeSigningPage = 1,
        CertificatesPage = 2,
        GpgSshPage = 3,
        SecureVaultPage = 4,
        DevOpsToolsPage = 5,
        UsbDrivesPage = 6,
        GitHubPage = 7,
        SessionLogPage = 8,
        PageCount = 9
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The page at index, built now if it was not yet. Only the page the
    // window opens on is built with the window; the others are built when
    // first shown, or when something reaches into them (an action that
    // writes to a page's log, a test).
    QWidget* page(Page index);

    QString docsDir() const;
    // The help folder for a program installed in appDir: a bundle's
    // Resources/docs, else docs beside bin, else empty.
    static QString docsDirFor(const QString& appDir);

    // Appends one line to the session audit log; dropped before the window
    // has written its "Application Start" line, kept for the Session Log page
    // until it is built. Never pass a PIN, pass phrase or key.
    void logSession(const QString& op, const QString& device, bool success,
                    const QString& detail);

    // How long a hot-plug notice stays in the status bar; tests shorten it.
    int hotplugNoticeMs = 3000;

    // Where the code signing page looks for the PKCS#11 modules; empty is the
    // real file system.
    QString pkcs11SearchRoot;

    // How long one openssl run of the certificate actions may take; tests
    // shorten it.
    int certificateToolTimeoutMs = 15000;

public Q_SLOTS:
    void refreshDevices();
    void updateStatusBar();
    void onDeviceSelected(QTreeWidgetItem* item, int column);
    void onDeviceContextMenu(const QPoint& pos);
    void onSetPin();
    void onChangePin();
    void onResetKey();
    void onListCredentials();
    void onDeleteCredential();
    void onSignFile();
    void onVerifySignature();
    void onManageCertificates();
    // Switches to the other theme and remembers it for the next start.
    void onToggleTheme();
    void onAbout();

private:
    // The profile is read (and on a first start written, through openssl)
    // once the window is on screen, or before that by whatever needs it.
    void loadProfile();
    // A poll tick: skipped while the last enumeration still runs.
    void pollDevices();
    // Fills the device list from the manager's keys and updates the status bar.
    void showDevices();
    void fillDeviceTree();
    void setupMenuBar();
    void setupToolBar();
    void showPreferences();
    void openSshTerminal();
    void openLocalShell();
    void showSiteManager();
    void fixSshPermissions();
    void openHelpDocument(const QString& fileName);
    QWidget* createDeviceInspectorTab();
    // The current row's device index, or -1.
    int selectedDeviceIndex() const;
    void showDeviceDetails(int index, const DeviceProfile& entry);
    void runDeviceMenuAction(const QString& label, int index, const DeviceProfile& entry);
    // The selected key for an action titled title, copied into seen as the
    // action starts ("Select a device first." when none is selected); false
    // when there is none.
    bool fidoActionKey(const QString& title, int& index, FidoKeyInfo& seen);
    // False, with a line in the FIDO2 log, when the index no longer names the
    // key an action started on (seen), or that key no longer answers.
    bool sameKeyAt(int index, const FidoKeyInfo& seen);
    int startCredentialAction(const QString& title, const QString& requirementVerb, FidoKeyInfo& seen,
                              QString& pin);
    // A failed FIDO2 operation: its line, then the key manager's reason.
    void logFidoFailure(const QString& line);
    void logEmptyListing(const QString& nothingFound);
    QWidget* createCodeSigningTab();
    // Lists the keychain's signing identities into identityCombo, once, at
    // once unless the page's background listing has done it.
    void fillIdentityCombo();
    void showIdentities(const QList<CertificateInfo>& identities);
    // Why a tool run of a page's listing did not finish, for its status line.
    static QString toolFailure(const ToolRunner::Result& result);
    QWidget* createCertificatesTab();
    void showCertificates(const QList<CertificateInfo>& identities);
    void onImportCertificate();
    void onInspectCertificate();
    void onGenerateCsr();
    QWidget* createSessionLogTab();
    void startSessionLog();
    void saveSessionLog();
    void setupStatusBar();
    void setupCornerWidget();

    void restoreWindowSettings();

    // Services, created by the constructor and owned through the object tree.
    FidoDeviceManager* fidoManager = nullptr;
    SigningManager* signingManager = nullptr;
    UserProfile* userProfile = nullptr;
    YkmanBridge* ykman = nullptr;
    OpenscBridge* opensc = nullptr;
    TessarilVault* vault = nullptr;

    // Shared by the menus and the toolbar.
    QAction* refreshAction = nullptr;
    QAction* signFileAction = nullptr;
    QAction* toggleThemeAction = nullptr;

    QTabWidget* tabWidget = nullptr;
    QTreeWidget* deviceTree = nullptr;
    QTextEdit* fidoLogView = nullptr;
    QTextEdit* signingLogView = nullptr;
    QComboBox* identityCombo = nullptr;
    bool identitiesListed = false;
    QTreeWidget* certTree = nullptr;
    QLabel* certAlertLabel = nullptr;
    QTextEdit* sessionLogView = nullptr;
    // Audit lines written before the Session Log page was built.
    QStringList sessionLines;
    bool sessionStarted = false;
    // The tab widget's page at each index: a holder the page is built into.
    QList<QWidget*> pageHolders;
    QList<QWidget*> pages;
    bool profileLoaded = false;
    PageFill* identityFill = nullptr;
    PageFill* certificateFill = nullptr;
    QLabel* statusLabel = nullptr;
    QLabel* deviceCountLabel = nullptr;
    QTimer* pollTimer = nullptr;
    // A refresh asked for while an enumeration runs: it runs once that ends,
    // so the list shows what an operation left.
    bool refreshAgain = false;
    int lastDeviceCount = -1;
    // Each one-time notice shows at most once per window.
    bool vaultNoticeShown = false;
    bool usbNoticeShown = false;
};
