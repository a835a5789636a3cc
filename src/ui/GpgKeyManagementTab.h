#pragma once

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
    void log(const QString& line);

    QTreeWidget* gpgKeyTree = nullptr;
    QTreeWidget* sshKeyTree = nullptr;
    QTextEdit* logView = nullptr;
};
