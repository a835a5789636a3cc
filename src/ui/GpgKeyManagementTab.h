#pragma once

#include "core/ToolRunner.h"
#include "ui/GpgColonListing.h"

#include <QList>
#include <QString>
#include <QWidget>

class QBoxLayout;
class QPoint;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

// The "GPG / SSH" page: the OpenPGP keyring, the SSH key pairs and the SSH
// client configuration. It keeps no model of its own: the trees show what gpg
// lists and what ~/.ssh holds, and every operation runs its tool and reports
// in the shared log view.
class GpgKeyManagementTab : public QWidget
{
    Q_OBJECT
public:
    explicit GpgKeyManagementTab(QWidget* parent = nullptr);

    // Runs gpg (up to 15 s) and returns what it printed on standard output;
    // nothing when it could not run.
    QString runGpg(const QList<QString>& arguments);
    QList<GpgKeyInfo> parseGpgOutput(const QString& text);

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
    void log(const QString& line);

    QTreeWidget* gpgKeyTree = nullptr;
    QTreeWidget* sshKeyTree = nullptr;
    QTextEdit* logView = nullptr;
};
