#pragma once

#include "core/ToolRunner.h"
#include "ui/keys/GpgColonListing.h"

#include <QList>
#include <QString>
#include <QWidget>

class PageFill;
class QBoxLayout;
class QLabel;
class QPoint;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

// One key pair in ~/.ssh as the SSH key page lists it.
struct SshKeyInfo
{
    QString type;          // the first word of the public key line
    QString fingerprint;   // as ssh-keygen -l prints it
    QString comment;       // the third blank-separated part of that line, alone
    QString publicPath;
    QString privatePath;   // publicPath without ".pub"; not checked to exist
    int bits = 0;
    // What the file holds. Only a public key line that ssh-keygen accepted is
    // ever copied or shown; a private key saved under a ".pub" name is listed
    // as one so that the user sees it, and never leaves the file. A name that
    // is no regular file (a named pipe, a socket) is listed and never opened.
    enum Content { Unknown, PublicKey, PrivateKey, NotRegular };
    Content content = Unknown;
};

// The "GPG / SSH" page: the OpenPGP keyring, the SSH key pairs and the SSH
// client configuration. It keeps no model of its own: the trees show what gpg
// lists and what ~/.ssh holds, and every operation runs its tool and reports
// in the shared log view. Each tree fills in the background when its page is
// first shown, and again after an operation changed what it lists.
class GpgKeyManagementTab : public QWidget
{
    Q_OBJECT
public:
    explicit GpgKeyManagementTab(QWidget* parent = nullptr);

    // Runs gpg (up to 15 s) and returns what it printed on standard output;
    // nothing when it could not run. The keyring listing does not use it: a
    // listing cut short must be told, not shown as the whole keyring.
    QString runGpg(const QList<QString>& arguments);
    QList<GpgKeyInfo> parseGpgOutput(const QString& text);

    // Start listing again; the rows change when the answer comes. A listing
    // still on its way is dropped.
    void refreshGpgKeys();
    void refreshSshKeys();

    // The keyring operations, each on the key selected in the GPG key tree
    // (GpgKeyManagementTabGpgOps.cpp). gpg asks for pass phrases through its
    // own pinentry; none passes through this program.
    void generateGpgKey();
    void importKey();
    void exportPublicKey();
    void exportSecretKey();
    void signKey();
    void deleteKey();
    void editTrust();
    void revokeKey();
    void generateRevocationCert();
    void addSubkey();
    void addUid();

    // SSH key pairs (GpgKeyManagementTabSsh.cpp).
    // One record per "*.pub" name in ~/.ssh (hidden ones aside), sorted
    // ignoring case; a file that cannot be read or fingerprinted still counts.
    // All keys are fingerprinted by one ssh-keygen run; when that run or the
    // folder fails, *failure says why (the records are still returned). This
    // waits for ssh-keygen: the page itself lists through its fill.
    QList<SshKeyInfo> listSshKeys(QString* failure = nullptr);
    // Runs ssh-keygen (up to 15 s) and returns what it printed on standard output.
    QString runSshKeygen(const QList<QString>& arguments);
    // How long a key generation may take; tests on a loaded machine lengthen it.
    int keyGenerationTimeoutMs = 15000;
    // How long each gpg listing of a refresh, and the one ssh-keygen run that
    // fingerprints every key pair, may take.
    int listingTimeoutMs = 15000;
    int fingerprintTimeoutMs = 15000;

public Q_SLOTS:
    void generateSshKey();
    void copySshPubKey();
    void backupToHardwareKey();

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    using Operation = void (GpgKeyManagementTab::*)();
    struct ButtonSpec {
        const char* text;
        const char* objectName; // null: no style hook
        Operation operation;    // null: not connected
    };
    void addButtonRow(QBoxLayout* layout, std::initializer_list<ButtonSpec> buttons);
    // The page's notice of a failed listing, hidden until one fails.
    QLabel* addStatusLabel(QBoxLayout* layout);
    PageFill* addPageFill(QWidget* page, QTreeWidget* tree, QLabel* status);

    QWidget* buildGpgPage();
    QWidget* buildSshPage();
    QWidget* buildSshConfigPage();

    void showGpgContextMenu(const QPoint& position);

    // The key a GPG operation acts on: the tree's current row. A child
    // "Subkey" row has no fingerprint.
    struct SelectedGpgKey {
        bool present = false;
        QString fingerprint;
        QString userId;
        QString shortId;
        QString longId;
    };
    SelectedGpgKey selectedGpgKey() const;
    // One gpg run: script is written to its standard input, which is then
    // closed (at once when there is no script, so gpg never waits on it).
    static ToolRunner::Result runGpgTool(const QStringList& arguments, int finishTimeoutMs,
                                         const QByteArray& script = {});
    // gpg --gen-revoke for the key, answering its questions with script.
    static ToolRunner::Result runRevocation(const QString& fingerprint, const QByteArray& script);

    // SSH key pairs.
    ToolRunner::Result runSshKeygenFor(const QStringList& arguments, int finishTimeoutMs,
                                       const QByteArray& standardInput = {});
    QString sshFingerprintLine(const QString& publicPath);
    void fillGpgKeys();
    void fillSshKeys();
    void showGpgKeys(const QList<GpgKeyInfo>& publicKeys, const QList<GpgKeyInfo>& secretKeys);
    void showSshKeys(const QList<SshKeyInfo>& keys, const QString& failure);
    void showSshContextMenu(const QPoint& position);
    // The public key line of a listed file, or false with the reason in
    // *why: the file holds no public key that ssh-keygen accepted.
    bool readPublicKey(const QString& publicPath, SshKeyInfo::Content content, QString* line, QString* why);
    void copyPublicKey(const QString& publicPath, SshKeyInfo::Content content, const QString& logPrefix);
    void sshWithKey(const QString& privatePath);
    void deleteSshKey(const QString& publicPath, const QString& privatePath);
    void openSshConfigEditor();
    // One line in the log view; text from outside (names, comments, tool
    // output) shows its line breaks and control characters escaped.
    void log(const QString& line);

    QTreeWidget* gpgKeyTree = nullptr;
    QTreeWidget* sshKeyTree = nullptr;
    QTextEdit* logView = nullptr;
    QLabel* gpgStatus = nullptr;
    QLabel* sshStatus = nullptr;
    PageFill* gpgFill = nullptr;
    PageFill* sshFill = nullptr;
};
