#pragma once

#include "core/SshDirectory.h"
#include "ui/keys/SshConfigDocument.h"

#include <QDialog>
#include <QList>
#include <QString>

#include <functional>

class QTextEdit;
class QTreeWidget;

// The modal editor of the user's SSH client configuration file. Every change
// is written to the file at once and the list is read back from it, so the
// list shows what the file holds. An edit rewrites only the lines it changes:
// every connection the user makes depends on the rest meaning what it meant.
// The file on disk wins: before each write the editor checks that the file
// is still what it read, and if another program changed it meanwhile, writes
// nothing, reads it again and makes the user's change again on what it holds
// now.
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
    // "User", "Port", "Identity file", "Host alias"), or empty when it may be
    // written. An empty value is allowed: it writes no line. Only an identity
    // file may hold a blank, and is then written quoted.
    static QString valueRefusal(const QString& field, const QString& value);

    // Writes the edited file to ~/.ssh/config, owner-only and replaced
    // atomically; emits configSaved() and returns true only when the file was
    // written. A file that exists but could not be read is never written
    // over, nor one that changed on disk since it was read. *error gets the
    // message for the user.
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
    // One change the user made that is not written yet: enough to make it
    // again on a newer version of the file.
    struct Change
    {
        QString description;     // for the user: "edit of the host 'web'"
        QString alias;           // the host it acts on, as listed
        int host = -1;           // -1: a new host
        QByteArray hostText;     // that host's own lines when the change was made
        std::function<void(SshConfigDocument&, int host)> apply;
    };
    enum class WriteOutcome { Written, ChangedOnDisk, Failed };

    QWidget* buildHostPane();
    QWidget* buildTextPane();
    void showHosts();
    int currentIndex() const;
    QString portShown(int index) const;
    // Makes the change on the file as read, to be written by the next save.
    void makeChange(Change change);
    WriteOutcome write(QString* error);
    // Writes the changes made so far, then reads the list back; a failed
    // write is reported and keeps the list as edited, so the next save can
    // still write it. A file changed on disk is read again first and the
    // changes made again on it. True when the file was written as the list
    // shows it.
    bool saveAndReload();
    // After a write refused because the file changed: reads it again, makes
    // the pending changes again where their host is still there (asking
    // first when it changed), tells the user, and returns whether anything
    // is left to write.
    bool takeChangesToNewFile();
    void saveAndClose();
    void testAll();
    // Refuses a typed value with a warning naming the field; true when it may
    // be written.
    bool acceptValue(const QString& title, const QString& field, const QString& value);

    QTreeWidget* hostTree = nullptr;
    QTextEdit* rawConfigEdit = nullptr;
    QTextEdit* guideView = nullptr;
    SshConfigDocument document;
    QList<SshHostConfig> hosts;
    QList<Change> pending;
    // For each listed host, the port ssh would use; empty when nothing in
    // the file sets one (ssh's own 22).
    QStringList ports;
    // The file was there when last read: only a new file gets the header.
    bool configExisted = false;
    // The file is there but could not be read: saving would lose it.
    bool configUnreadable = false;
    // What the file was when last read, to see whether another program
    // changed it since.
    SshDirectory::FileStamp readStamp;
    QByteArray readHash;
};
