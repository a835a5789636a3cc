#include "LoopbackSshd.h"

#include "FakeTools.h"
#include "TestFiles.h"

#include "core/ToolRunner.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

#include <pwd.h>
#include <unistd.h>

namespace {

constexpr int startTimeoutMs = 30000;

bool makeKey(const QString& path, QString* error)
{
    const ToolRunner::Result result = ToolRunner::run(
        QStringLiteral("ssh-keygen"),
        {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"), QStringLiteral("-N"), QString(),
         QStringLiteral("-C"), QStringLiteral("ot-test"), QStringLiteral("-f"), path});
    if (!result.succeeded() && error)
        *error = QStringLiteral("ssh-keygen: %1 %2").arg(result.failure, result.stdErrText());
    return result.succeeded();
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool writeExecutable(const QString& path, const QByteArray& script)
{
    // A stand-in installed under this name is a link into tests/fakes: writing
    // through it would change the stand-in itself.
    QFile::remove(path);
    if (!writeFile(path, script))
        return false;
    return QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

LoopbackSshd::LoopbackSshd()
    : dir(QDir::tempPath() + QStringLiteral("/ot-sshd-XXXXXX"))
{
    server.setProgram(QStringLiteral("/usr/sbin/sshd"));
    server.setProcessChannelMode(QProcess::SeparateChannels);
}

LoopbackSshd::~LoopbackSshd()
{
    stop();
}

QString LoopbackSshd::user()
{
    const passwd* account = ::getpwuid(::getuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

QString LoopbackSshd::userKeyPath() const
{
    return dir.filePath(QStringLiteral("id_ed25519"));
}

QString LoopbackSshd::homePath() const
{
    return dir.filePath(QStringLiteral("home"));
}

QString LoopbackSshd::sshConfigPath() const
{
    return dir.filePath(QStringLiteral("ssh_config"));
}

QByteArray LoopbackSshd::hostPublicKey() const
{
    return readFile(dir.filePath(QStringLiteral("host_ed25519.pub"))).trimmed();
}

QByteArray LoopbackSshd::log()
{
    serverLog += server.readAllStandardError();
    return serverLog;
}

bool LoopbackSshd::prepare(QString* error)
{
    if (prepared)
        return true;
    if (!makeKey(dir.filePath(QStringLiteral("host_ed25519")), error) || !makeKey(userKeyPath(), error))
        return false;
    if (!QFile::copy(userKeyPath() + QStringLiteral(".pub"), dir.filePath(QStringLiteral("authorized_keys")))) {
        if (error)
            *error = QStringLiteral("cannot write authorized_keys");
        return false;
    }
    // The session's home: the login is the test's own account, whose real
    // home no session may write into (a shell's history, say).
    if (!QDir().mkpath(homePath())
        || !QFile::setPermissions(homePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                  | QFileDevice::ExeOwner)) {
        if (error)
            *error = QStringLiteral("cannot create the session home");
        return false;
    }
    // sshd starts every session in the account's home from the password
    // database and sets HOME to it; this command, forced on every session,
    // moves it into the fixture's own home, with no history file, before
    // it runs what the client asked for (a command, the sftp server) or an
    // interactive shell.
    const QByteArray session = QStringLiteral(
        "#!/bin/sh\n"
        "HOME='%1'\n"
        "HISTFILE=\n"
        "export HOME HISTFILE\n"
        "cd \"$HOME\" || exit 1\n"
        "if [ -n \"$SSH_ORIGINAL_COMMAND\" ]; then\n"
        "    exec /bin/sh -c \"$SSH_ORIGINAL_COMMAND\"\n"
        "fi\n"
        "exec \"${SHELL:-/bin/sh}\" -i\n").arg(homePath()).toUtf8();
    if (!writeExecutable(dir.filePath(QStringLiteral("session")), session)) {
        if (error)
            *error = QStringLiteral("cannot write the session command");
        return false;
    }
    // sshd refuses to start without its privilege separation folder
    // ("Missing privilege separation directory").
    if (!QFile::exists(QStringLiteral("/run/sshd")) && !QDir().mkpath(QStringLiteral("/run/sshd"))) {
        if (error)
            *error = QStringLiteral("cannot create /run/sshd");
        return false;
    }
    prepared = true;
    return true;
}

bool LoopbackSshd::start(QString* error)
{
    if (isRunning())
        return true;
    if (!prepare(error))
        return false;
    // The free port is only free until someone else takes it: try again with
    // another when sshd cannot bind.
    for (int attempt = 0; attempt < 5; ++attempt) {
        listenPort = freePort();
        if (listenPort == 0)
            continue;
        const QString folder = dir.path();
        const QByteArray config = QStringLiteral(
            "ListenAddress 127.0.0.1\n"
            "Port %1\n"
            "HostKey %2/host_ed25519\n"
            "AuthorizedKeysFile %2/authorized_keys\n"
            "StrictModes no\n"
            "UsePAM no\n"
            "PasswordAuthentication no\n"
            "KbdInteractiveAuthentication no\n"
            "PermitRootLogin prohibit-password\n"
            "PidFile none\n"
            "PermitUserRC no\n"
            "PrintMotd no\n"
            "PrintLastLog no\n"
            "ForceCommand %2/session\n"
            // The forced command runs the server as the command it was asked for.
            "Subsystem sftp /usr/lib/openssh/sftp-server\n").arg(listenPort).arg(folder).toUtf8();
        if (!writeFile(dir.filePath(QStringLiteral("sshd_config")), config)) {
            if (error)
                *error = QStringLiteral("cannot write sshd_config");
            return false;
        }
        const QByteArray clientConfig = QStringLiteral(
            "Host *\n"
            "  Port %1\n"
            "  IdentityFile %2/id_ed25519\n"
            "  IdentitiesOnly yes\n"
            "  UserKnownHostsFile %2/known_hosts\n"
            "  GlobalKnownHostsFile /dev/null\n"
            "  StrictHostKeyChecking no\n"
            "  BatchMode yes\n"
            "  LogLevel ERROR\n").arg(listenPort).arg(folder).toUtf8();
        if (!writeFile(sshConfigPath(), clientConfig)) {
            if (error)
                *error = QStringLiteral("cannot write ssh_config");
            return false;
        }

        serverLog.clear();
        server.setArguments({QStringLiteral("-D"), QStringLiteral("-e"), QStringLiteral("-f"),
                             dir.filePath(QStringLiteral("sshd_config"))});
        server.start();
        if (!server.waitForStarted(startTimeoutMs)) {
            if (error)
                *error = QStringLiteral("sshd did not start: ") + server.errorString();
            return false;
        }
        if (waitForBanner(startTimeoutMs))
            return true;
        stop();
    }
    if (error)
        *error = QStringLiteral("sshd did not answer: ") + QString::fromUtf8(serverLog);
    return false;
}

// Listening is not enough to tell: the banner proves it is this sshd.
bool LoopbackSshd::waitForBanner(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (server.state() == QProcess::NotRunning)
            return false;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, listenPort);
        if (socket.waitForConnected(500)) {
            while (socket.bytesAvailable() < 8 && socket.waitForReadyRead(1000)) {
            }
            if (socket.readAll().startsWith("SSH-2.0"))
                return true;
        } else {
            // Not listening yet: let sshd run and its output arrive.
            server.waitForReadyRead(50);
        }
    }
    return false;
}

void LoopbackSshd::stop()
{
    if (server.state() == QProcess::NotRunning)
        return;
    server.terminate();
    if (!server.waitForFinished(10000)) {
        server.kill();
        server.waitForFinished(5000);
    }
    serverLog += server.readAllStandardError();
}

void LoopbackSshd::installClientWrappers(FakeTools& fakes) const
{
    for (const char* client : {"ssh", "scp"}) {
        const QString name = QString::fromLatin1(client);
        const QByteArray script = QStringLiteral("#!/bin/sh\nexec /usr/bin/%1 -F '%2' \"$@\"\n")
                                      .arg(name, sshConfigPath()).toUtf8();
        writeExecutable(fakes.binDir() + QLatin1Char('/') + name, script);
    }
}
