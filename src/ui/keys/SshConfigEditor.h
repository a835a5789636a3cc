#pragma once

#include "ui/keys/SshConfigDocument.h"

#include <QDialog>
#include <QList>
#include <QString>

class QTextEdit;
class QTreeWidget;

// The modal editor of the user's SSH client configuration file. Every change
// is written to the file at once and the list is read back from it, so the
// list shows what the file holds. An edit rewrites only the lines it changes:
// every connection the user makes depends on the rest meaning what it meant.
class SshConfigEditor : public QDialog
{
    Q_OBJECT
public:
    explicit SshConfigEditor(QWidget* parent = nullptr);

    // The first lines of a file this editor creates; a file the user already
    // has gets no header.
    static QString managedHeader();

    // The hosts of the file in file order; nothing when it cannot be read.
    static QList<SshHostConfig> parseConfigFile(const QString& path);

    // Why ssh would refuse or misread value typed for field ("HostName",
    // "User", "Port"), or empty when it may be written. An empty value is
    // allowed: it writes no line.
    static QString valueRefusal(const QString& field, const QString& value);

    // Writes the edited file to ~/.ssh/config, owner-only and replaced
    // atomically; emits configSaved() and returns true only when the file was
    // written. A file that exists but could not be read is never written
    // over. *error gets the message for the user.
    bool saveConfig(QString* error = nullptr);

    // The ssh run of a connection test; tests may shorten it.
    int connectTestTimeoutMs = 10000;
    int testAllTimeoutMs = 5000;

public Q_SLOTS:
    void loadConfig();
    void addHost();
    void editHost();
    void removeHost();
    void duplicateHost();
    void connectToHost();
    void fixPermissions();

Q_SIGNALS:
    void configSaved();
    void sshConnectRequested(const QString& hostAlias);

private:
    QWidget* buildHostPane();
    QWidget* buildTextPane();
    void showHosts();
    int currentIndex() const;
    // saveConfig, then the list read back; a failed write is reported and
    // keeps the list as edited, so the next save can still write it.
    bool saveAndReload();
    void testAll();
    // Refuses a typed value with a warning naming the field; true when it may
    // be written.
    bool acceptValue(const QString& title, const QString& field, const QString& value);

    QTreeWidget* hostTree = nullptr;
    QTextEdit* rawConfigEdit = nullptr;
    QTextEdit* guideView = nullptr;
    SshConfigDocument document;
    QList<SshHostConfig> hosts;
    // The file was there when last read: only a new file gets the header.
    bool configExisted = false;
    // The file is there but could not be read: saving would lose it.
    bool configUnreadable = false;
};
