#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QTextEdit;
class QTreeWidget;

// One Host block of the SSH client configuration file. Fields left at their
// defaults are not written back.
struct SshHostConfig
{
    QString alias;              // the whole Host value, several patterns included
    QString hostName;
    QString user;
    int port = 22;
    QString identityFile;
    bool identitiesOnly = false;
    QString proxyJump;
    QString localForward;
    QString remoteForward;
    bool forwardAgent = false;
    bool compression = false;
    QString logLevel;
    int serverAliveInterval = 0;
    int serverAliveCountMax = 3;
    bool strictHostKeyChecking = true;
    // The block's other lines, joined by line feeds: unknown keywords (and the
    // later lines of a keyword given twice) as four spaces and the trimmed
    // line; a Match block and everything up to the next Host as it stood.
    QString extra;

    bool operator==(const SshHostConfig&) const = default;
};

// The modal editor of the user's SSH client configuration file. Every change
// is written to the file at once and the list is read back from it, so the
// list shows what the file holds.
class SshConfigEditor : public QDialog
{
    Q_OBJECT
public:
    explicit SshConfigEditor(QWidget* parent = nullptr);

    // The first lines of every file this editor writes.
    static QString managedHeader();

    // The hosts of the file in file order; nothing when it cannot be read.
    // What stands before the first Host line (global options, Include lines,
    // comments) goes to *preamble as it stood, without the managed header.
    static QList<SshHostConfig> parseConfigFile(const QString& path, QString* preamble = nullptr);
    // The whole file: the managed header, the preamble, then the hosts.
    static QString generateConfigFile(const QList<SshHostConfig>& hosts, const QString& preamble = QString());

    // Writes hosts (with the preamble last read) to ~/.ssh/config, owner-only
    // and replaced atomically; emits configSaved() and returns true only when
    // the file was written.
    bool saveConfig();

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

    QTreeWidget* hostTree = nullptr;
    QTextEdit* rawConfigEdit = nullptr;
    QTextEdit* guideView = nullptr;
    QList<SshHostConfig> hosts;
    QString preamble;
};
