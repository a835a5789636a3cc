#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class FakeTools;

// An sshd of the test's own on 127.0.0.1 and a free port, with throwaway host
// and user keys in a temporary folder. The login is the test's own account,
// but every session (a shell, a command, sftp) runs in a home of the
// fixture's own, homePath(), with no history file: the account's real home
// is never touched.
// start() returns once the server answers with its banner; the destructor
// stops it by its pid.
//
// ssh reads its configuration from the account's home in the password
// database, not from $HOME, so a test HOME never reaches it:
// installClientWrappers() puts "ssh" and "scp" into a FakeTools folder that
// add "-F <folder>/ssh_config" (this port, the user key, a known-hosts file
// in the folder, no host-key question, no prompts) and run the real client.
class LoopbackSshd
{
public:
    LoopbackSshd();
    ~LoopbackSshd();
    LoopbackSshd(const LoopbackSshd&) = delete;
    LoopbackSshd& operator=(const LoopbackSshd&) = delete;

    // False with the reason (and sshd's own words) when it could not start.
    bool start(QString* error = nullptr);
    void stop();
    bool isRunning() const { return server.state() != QProcess::NotRunning; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return listenPort; }
    // The account sshd logs in: the test's own.
    static QString user();
    QString folder() const { return dir.path(); }
    QString userKeyPath() const;       // private key, no pass phrase
    QString homePath() const;          // HOME and working folder of every session
    QString sshConfigPath() const;
    // The host's public key line ("ssh-ed25519 AAAA...").
    QByteArray hostPublicKey() const;
    // What sshd wrote to its standard error so far.
    QByteArray log();

    void installClientWrappers(FakeTools& fakes) const;

private:
    bool prepare(QString* error);
    bool waitForBanner(int timeoutMs);

    QTemporaryDir dir;
    QProcess server;
    QByteArray serverLog;
    quint16 listenPort = 0;
    bool prepared = false;
};
