#include "piv/YkmanBridge.h"

#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kTool = QStringLiteral("ykman");

// The value after each of these is a secret and never reaches a log line.
const QStringList& secretOptions()
{
    static const QStringList options{
        QStringLiteral("--pin"), QStringLiteral("--new-pin"),
        QStringLiteral("--puk"), QStringLiteral("--new-puk"),
        QStringLiteral("--management-key"), QStringLiteral("--new-management-key")};
    return options;
}

// Slots a key may be generated in; the retired-key slots 87 to 95 are not offered.
bool isValidPivSlot(const QString& slot)
{
    static const QStringList valid{
        QStringLiteral("9a"), QStringLiteral("9c"), QStringLiteral("9d"), QStringLiteral("9e"),
        QStringLiteral("f9"), QStringLiteral("82"), QStringLiteral("83"), QStringLiteral("84"),
        QStringLiteral("85"), QStringLiteral("86")};
    return valid.contains(slot.toLower());
}

// The folder ykman writes its result files into. Its name is predictable and
// it sits in the shared temporary folder, so it is created 0700 in one step
// and then checked to be a real folder of ours: one that someone else made
// first, or a symbolic link planted under that name, would let them read or
// swap the keys and requests passing through it. Empty (with the reason in
// *problem) when the folder cannot be trusted.
QString secureTempDir(QString* problem)
{
    const QString path = QDir::tempPath() + QStringLiteral("/tessaril-")
        + QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(QDir::tempPath());
    const QByteArray native = QFile::encodeName(path);
    const auto fail = [&](const QString& why) {
        *problem = QStringLiteral("Cannot use the private temporary folder %1: %2").arg(path, why);
        return QString();
    };
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return fail(QString::fromLocal8Bit(std::strerror(errno)));
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("not a folder"));
    struct stat st {};
    bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    // Narrowed on every call: someone may have widened it since.
    ours = ours && ::fchmod(fd, 0700) == 0;
    ::close(fd);
    if (!ours)
        return fail(QStringLiteral("not owned by this user"));
    return path;
}

// The private folder is made afresh for each operation; left behind, one
// empty folder per process would pile up in the temporary folder.
void removeIfEmpty(const QString& dir)
{
    QDir().rmdir(dir);
}

QString readResultFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

} // namespace

YkmanBridge::YkmanBridge(QObject* parent)
    : QObject(parent)
    , ykmanPath(ToolRunner::findTool(kTool))
{
}

bool YkmanBridge::isAvailable() const
{
    return QFile::exists(ykmanPath);
}

namespace {

QString versionFrom(const ToolRunner::Result& r)
{
    // Half a line from a tool that hung is not a version.
    if (!r.finished())
        return {};
    return r.stdOutText().trimmed();
}

} // namespace

QString YkmanBridge::version() const
{
    ToolRunner::Options options;
    options.finishTimeoutMs = versionTimeoutMs;
    return versionFrom(ToolRunner::run(ykmanPath, {QStringLiteral("--version")}, options));
}

void YkmanBridge::versionAsync(QObject* receiver, std::function<void(const QString&)> done) const
{
    ToolRunner::Options options;
    options.finishTimeoutMs = versionTimeoutMs;
    ToolRunner::runAsync(ykmanPath, {QStringLiteral("--version")}, options, receiver,
                         [done = std::move(done)](const ToolRunner::Result& r) { done(versionFrom(r)); });
}

YkmanBridge::CmdResult YkmanBridge::run(const QStringList& args, const QString& stdinData, int timeoutMs)
{
    ToolRunner::Options options;
    options.startTimeoutMs = startTimeoutMs;
    options.finishTimeoutMs = timeoutMs;
    if (!stdinData.isEmpty()) {
        options.standardInput = stdinData.toUtf8();
        options.standardInput.append('\n');
    }
    const ToolRunner::Result r = ToolRunner::run(ykmanPath, args, options);
    secureZero(options.standardInput);

    CmdResult result;
    result.exitCode = r.exitCode;
    result.stdOut = r.stdOutText();
    result.stdErr = r.stdErrText();
    if (!r.finished()) {
        // A tool that never started or was still running when the wait ended
        // has not done its work, whatever Qt reports as its exit code.
        if (result.exitCode == 0)
            result.exitCode = -1;
        QString reason;
        if (!r.started) {
            reason = QStringLiteral("ykman failed to start");
            if (!result.stdErr.trimmed().isEmpty())
                reason += QStringLiteral(": ") + result.stdErr.trimmed();
            result.stdErr.clear();
        } else {
            reason = kTool + QLatin1Char(' ') + r.failure;
        }
        if (!result.stdErr.isEmpty() && !result.stdErr.endsWith(QLatin1Char('\n')))
            result.stdErr += QLatin1Char('\n');
        result.stdErr += reason;
    }

    const QString shown = ToolRunner::maskedArguments(args, secretOptions()).join(QLatin1Char(' '));
    // One substitution pass: an argument holding "%2" must not be replaced.
    Q_EMIT commandOutput(QStringLiteral("[ykman %1] exit=%2").arg(shown, QString::number(result.exitCode)));
    const QString error = result.stdErr.trimmed();
    if (result.exitCode != 0 && !error.isEmpty())
        Q_EMIT commandError(error);
    return result;
}

QStringList YkmanBridge::serialArgs(const QString& serial) const
{
    if (serial.isEmpty())
        return {};
    return {QStringLiteral("--device"), serial};
}

PivDeviceState YkmanBridge::queryState(const QString& serial)
{
    PivDeviceState state;
    state.toolAvailable = isAvailable();
    const CmdResult r = run(serialArgs(serial) + QStringList{QStringLiteral("piv"), QStringLiteral("access"),
                                                             QStringLiteral("retries")},
                            {}, operationTimeoutMs);
    if (r.exitCode == 0) {
        const QStringList lines = r.stdOut.split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            // toInt gives 0 for anything that is not a number: read as blocked.
            if (line.contains(QLatin1String("PIN retries")))
                state.pinRetries = line.split(QLatin1Char(':')).last().trimmed().toInt();
            if (line.contains(QLatin1String("PUK retries")))
                state.pukRetries = line.split(QLatin1Char(':')).last().trimmed().toInt();
        }
        state.pinBlocked = state.pinRetries == 0;
        state.pukBlocked = state.pukRetries == 0;
    } else {
        state.errorText = r.stdErr.trimmed();
        if (state.errorText.isEmpty())
            state.errorText = QStringLiteral("ykman exited with code %1").arg(r.exitCode);
    }
    state.slotList = listSlots(serial);
    return state;
}

QList<PivSlotInfo> YkmanBridge::listSlots(const QString& serial, bool* readOk)
{
    QList<PivSlotInfo> found;
    const CmdResult r = run(serialArgs(serial) + QStringList{QStringLiteral("piv"), QStringLiteral("info")},
                            {}, operationTimeoutMs);
    if (readOk)
        *readOk = r.exitCode == 0;
    if (r.exitCode != 0)
        return found;

    QString currentId;
    PivSlotInfo cur;
    const auto flush = [&] {
        if (!currentId.isEmpty() && cur.hasKey)
            found << cur;
    };
    const QStringList lines = r.stdOut.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        const QString t = line.trimmed();
        const int colon = t.indexOf(QLatin1Char(':'));
        const QString value = colon < 0 ? QString() : t.mid(colon + 1).trimmed();
        if (t.startsWith(QLatin1String("Slot")) && colon >= 0) {
            flush();
            // "Slot 9A:" names slot 9a; "Slots:" has no name and starts a block
            // that is never listed.
            const QString head = t.left(colon);
            int blank = 0;
            while (blank < head.size() && !head.at(blank).isSpace())
                ++blank;
            currentId = head.mid(blank).trimmed().toLower();
            cur = PivSlotInfo();
            cur.slot = currentId;
        } else if (t.startsWith(QLatin1String("Algorithm:"))) {
            cur.algorithm = value;
            cur.hasKey = true;
        } else if (t.startsWith(QLatin1String("Subject DN:")) || t.startsWith(QLatin1String("Subject:"))) {
            cur.subject = value;
        } else if (t.startsWith(QLatin1String("Issuer DN:")) || t.startsWith(QLatin1String("Issuer:"))) {
            cur.issuer = value;
        } else if (t.startsWith(QLatin1String("Not before:"))) {
            cur.notBefore = value;
        } else if (t.startsWith(QLatin1String("Not after:"))) {
            cur.notAfter = value;
        }
    }
    flush();
    return found;
}

bool YkmanBridge::changePin(const QString& currentPin, const QString& newPin, const QString& serial)
{
    const QStringList base = serialArgs(serial)
        + QStringList{QStringLiteral("piv"), QStringLiteral("access"), QStringLiteral("change-pin")};
    // With no PIN options ykman asks for the current and the new PIN and reads
    // both from piped input, so neither shows in the process list.
    QString input = currentPin + QLatin1Char('\n') + newPin + QLatin1Char('\n');
    const CmdResult first = run(base, input, operationTimeoutMs);
    secureZero(input);
    if (first.exitCode == 0)
        return true;
    // Only a usage error (exit 2) proves nothing reached the token; after any
    // other failure a second try would spend another of the PIN's retries.
    if (first.exitCode != 2)
        return false;
    const CmdResult second = run(base + QStringList{QStringLiteral("--pin"), currentPin,
                                                    QStringLiteral("--new-pin"), newPin},
                                 {}, operationTimeoutMs);
    return second.exitCode == 0;
}

bool YkmanBridge::changePuk(const QString& currentPuk, const QString& newPuk, const QString& serial)
{
    const QStringList args = serialArgs(serial)
        + QStringList{QStringLiteral("piv"), QStringLiteral("access"), QStringLiteral("change-puk"),
                      QStringLiteral("--puk"), currentPuk, QStringLiteral("--new-puk"), newPuk};
    return run(args, {}, operationTimeoutMs).exitCode == 0;
}

bool YkmanBridge::changeMgmtKey(const QString& currentKey, const QString& newKey, const QString& algorithm,
                                bool protect, const QString& serial, const QString& pin)
{
    QStringList args = serialArgs(serial)
        + QStringList{QStringLiteral("piv"), QStringLiteral("access"), QStringLiteral("change-management-key"),
                      QStringLiteral("--management-key"), currentKey, QStringLiteral("--algorithm"), algorithm};
    if (newKey.isEmpty())
        args << QStringLiteral("--generate");
    else
        args << QStringLiteral("--new-management-key") << newKey;
    if (protect)
        args << QStringLiteral("--protect");
    return run(args, pin, operationTimeoutMs).exitCode == 0;
}

bool YkmanBridge::resetPiv(const QString& serial)
{
    const QStringList args = serialArgs(serial)
        + QStringList{QStringLiteral("piv"), QStringLiteral("reset"), QStringLiteral("--force")};
    return run(args, {}, operationTimeoutMs).exitCode == 0;
}

bool YkmanBridge::privateDir(QString* dir)
{
    QString problem;
    *dir = secureTempDir(&problem);
    if (dir->isEmpty()) {
        Q_EMIT commandError(problem);
        return false;
    }
    return true;
}

QString YkmanBridge::runForFile(const QStringList& args, const QString& file)
{
    // A file left by an earlier run must never be handed back as this one's.
    QFile::remove(file);
    const CmdResult r = run(args, {}, operationTimeoutMs);
    const QString text = r.exitCode == 0 ? readResultFile(file) : QString();
    QFile::remove(file);
    removeIfEmpty(QFileInfo(file).path());
    return text;
}

QString YkmanBridge::generateKey(const QString& slot, const QString& algorithm, const QString& pin,
                                 const QString& serial)
{
    if (!isValidPivSlot(slot)) {
        Q_EMIT commandError(QStringLiteral("Invalid PIV slot: ") + slot);
        return {};
    }
    QString dir;
    if (!privateDir(&dir))
        return {};
    const QString file = dir + QStringLiteral("/pubkey.pem");
    return runForFile(serialArgs(serial)
                          + QStringList{QStringLiteral("piv"), QStringLiteral("keys"), QStringLiteral("generate"),
                                        QStringLiteral("--algorithm"), algorithm, QStringLiteral("--pin"), pin,
                                        slot, file},
                      file);
}

QString YkmanBridge::generateCsr(const QString& slot, const QString& subject, const QString& pin,
                                 const QString& serial)
{
    QString dir;
    if (!privateDir(&dir))
        return {};
    const QString pub = dir + QStringLiteral("/csr-pubkey.pem");
    const QString csr = dir + QStringLiteral("/request.csr");
    // A stale public key would otherwise be signed into a request for the wrong slot.
    QFile::remove(pub);
    QFile::remove(csr);
    run(serialArgs(serial)
            + QStringList{QStringLiteral("piv"), QStringLiteral("keys"), QStringLiteral("export"), slot, pub},
        {}, operationTimeoutMs);
    const CmdResult r = run(serialArgs(serial)
                                + QStringList{QStringLiteral("piv"), QStringLiteral("certificates"),
                                              QStringLiteral("request"), QStringLiteral("--pin"), pin,
                                              QStringLiteral("--subject"), subject, slot, pub, csr},
                            {}, operationTimeoutMs);
    const QString text = r.exitCode == 0 ? readResultFile(csr) : QString();
    QFile::remove(pub);
    QFile::remove(csr);
    removeIfEmpty(dir);
    return text;
}

QString YkmanBridge::attestSlot(const QString& slot, const QString& serial)
{
    QString dir;
    if (!privateDir(&dir))
        return {};
    const QString file = dir + QStringLiteral("/attest.pem");
    return runForFile(serialArgs(serial)
                          + QStringList{QStringLiteral("piv"), QStringLiteral("keys"), QStringLiteral("attest"),
                                        slot, file},
                      file);
}

QString YkmanBridge::exportIntermediateCa(const QString& serial)
{
    QString dir;
    if (!privateDir(&dir))
        return {};
    const QString file = dir + QStringLiteral("/intermediate-ca.pem");
    return runForFile(serialArgs(serial)
                          + QStringList{QStringLiteral("piv"), QStringLiteral("certificates"),
                                        QStringLiteral("export"), QStringLiteral("f9"), file},
                      file);
}

bool YkmanBridge::importCertificate(const QString& slot, const QString& certPath, const QString& pin,
                                    const QString& serial, bool verify)
{
    QStringList args = serialArgs(serial)
        + QStringList{QStringLiteral("piv"), QStringLiteral("certificates"), QStringLiteral("import"),
                      QStringLiteral("--pin"), pin};
    if (verify)
        args << QStringLiteral("--verify");
    args << slot << certPath;
    return run(args, {}, operationTimeoutMs).exitCode == 0;
}

QString YkmanBridge::exportCertificate(const QString& slot, const QString& serial)
{
    QString dir;
    if (!privateDir(&dir))
        return {};
    const QString file = dir + QStringLiteral("/export-cert.pem");
    return runForFile(serialArgs(serial)
                          + QStringList{QStringLiteral("piv"), QStringLiteral("certificates"),
                                        QStringLiteral("export"), slot, file},
                      file);
}
