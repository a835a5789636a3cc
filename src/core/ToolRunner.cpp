#include "core/ToolRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <memory>
#include <sys/types.h>
#include <unistd.h>

namespace ToolRunner {

namespace {

// The process groups of the tools running now, so that the program can end
// them when it quits, from a signal handler too: a fixed table of atomics,
// which such a handler may read. A slot holds 0 when free.
constexpr int maxTrackedGroups = 512;
std::atomic<pid_t> trackedGroups[maxTrackedGroups];

void trackGroup(pid_t group)
{
    if (group <= 0)
        return;
    for (std::atomic<pid_t>& slot : trackedGroups) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, group))
            return;
    }
}

void untrackGroup(pid_t group)
{
    if (group <= 0)
        return;
    for (std::atomic<pid_t>& slot : trackedGroups) {
        pid_t expected = group;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

// Everything the tool starts (a shell script's commands, a helper it forks)
// shares its process group, so a time-out can end all of it at once rather
// than leave the helpers running with nobody to reap them. The program's
// own signal handlers and blocked signals are not the tool's: it starts
// with the default ones.
void startInOwnGroup(QProcess& process)
{
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        ::sigemptyset(&defaultAction.sa_mask);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP)
                ::sigaction(signal, &defaultAction, nullptr);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    });
}

void killGroup(QProcess& process)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
    process.kill();
}

// The file a start would run: a name with a slash as it stands, a bare name
// searched on the search path as the start itself searches it. Empty, with
// the reason, when there is nothing that could run. Qt 6.4 keeps a pipe open
// for every start whose exec fails, so a missing tool must never be forked
// for: a poll that asks for one every few seconds would use up the program's
// files within the hour.
QString runnableFile(const QString& program, QString* reason)
{
    const QString candidate =
        program.contains(QLatin1Char('/')) ? program : findOnPath(program);
    const QFileInfo info(candidate);
    if (!candidate.isEmpty() && info.isFile() && info.isExecutable())
        return candidate;
    if (!candidate.isEmpty() && info.exists()) {
        *reason = candidate + QStringLiteral(" is not executable");
        return QString();
    }
    // Missing where it was looked for (the fallback location, say): a file of
    // that name the search passed over because it may not be run is the
    // likelier cause, and the user needs to hear which file it is.
    const QString name = QFileInfo(program).fileName();
    const QStringList searchPath =
        qEnvironmentVariable("PATH").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString& folder : searchPath) {
        const QFileInfo found(QDir(folder).filePath(name));
        if (found.isFile() && !found.isExecutable()) {
            *reason = found.filePath() + QStringLiteral(" is not executable");
            return QString();
        }
    }
    *reason = program + QStringLiteral(": not found");
    return QString();
}

Result notStarted(const QString& reason)
{
    Result result;
    result.failure = QStringLiteral("failed to start");
    result.stdErr = reason.toUtf8();
    return result;
}

// A process that may outlive the run that started it. Going away, it first
// drops its connections, so that a caller's handler never runs while the
// caller's owner is half destroyed, and then stops the tool.
class OwnedProcess : public QProcess
{
public:
    ~OwnedProcess() override
    {
        disconnect();
        if (state() != QProcess::NotRunning) {
            killGroup(*this);
            waitForFinished(2000);
        }
        noteEnded();
    }

    // The tool's group is known from its start until it has been reaped.
    void noteStarted()
    {
        group = pid_t(processId());
        trackGroup(group);
    }
    void noteEnded()
    {
        untrackGroup(group);
        group = 0;
    }

private:
    pid_t group = 0;
};

// The tool outlived its time-out: hand it to the owner and report its end later.
void leaveRunning(std::unique_ptr<OwnedProcess> owned, const Options& options)
{
    OwnedProcess* process = owned.release();
    process->setParent(options.keepRunningUnder);
    const bool merged = options.mergeChannels;
    const auto lateFinish = options.lateFinish;
    QObject::connect(process, &QProcess::finished, process,
                     [process, merged, lateFinish](int exitCode, QProcess::ExitStatus status) {
                         process->noteEnded();
                         Result late;
                         late.started = true;
                         late.stdOut = process->readAllStandardOutput();
                         if (!merged)
                             late.stdErr = process->readAllStandardError();
                         if (status == QProcess::CrashExit) {
                             late.crashed = true;
                             late.failure = QStringLiteral("crashed");
                         } else {
                             late.exitCode = exitCode;
                         }
                         process->deleteLater();
                         if (lateFinish)
                             lateFinish(late);
                     });
}

void prepare(QProcess& process, const QString& program, const QStringList& arguments,
             const Options& options)
{
    process.setProgram(program);
    process.setArguments(arguments);
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(options.environment);
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    process.setProcessChannelMode(options.mergeChannels ? QProcess::MergedChannels
                                                        : QProcess::SeparateChannels);
    startInOwnGroup(process);
}

// One run in flight: the process, its two time-outs and the verdict so far.
// It lives under the owner and goes once done has been told.
class AsyncRun : public OwnedProcess
{
public:
    AsyncRun(const Options& options, std::function<void(const Result&)> done)
        : input(options.standardInput)
        , merged(options.mergeChannels)
        , finishTimeoutMs(options.finishTimeoutMs)
        , done(std::move(done))
    {
        startTimer.setSingleShot(true);
        finishTimer.setSingleShot(true);
        connect(&startTimer, &QTimer::timeout, this, [this] {
            if (state() == QProcess::Running)
                return;
            // A start that is merely slow must not outlive the verdict.
            result.failure = QStringLiteral("failed to start");
            result.stdErr = QByteArrayLiteral("did not start in time");
            killGroup(*this);
            report();
        });
        connect(&finishTimer, &QTimer::timeout, this, [this] {
            result.timedOut = true;
            result.failure = QStringLiteral("timed out after %1 ms").arg(finishTimeoutMs);
            // finished follows the kill and reports what the tool printed.
            killGroup(*this);
        });
        connect(this, &QProcess::started, this, [this] {
            noteStarted();
            startTimer.stop();
            result.started = true;
            if (!input.isEmpty())
                write(input);
            // Always close: a tool that prompts must meet end-of-file at once.
            closeWriteChannel();
            finishTimer.start(finishTimeoutMs);
        });
        connect(this, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart || result.started)
                return;
            startTimer.stop();
            result.failure = QStringLiteral("failed to start");
            result.stdErr = errorString().toUtf8();
            report();
        });
        connect(this, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
            noteEnded();
            finishTimer.stop();
            result.stdOut = readAllStandardOutput();
            if (!merged)
                result.stdErr = readAllStandardError();
            if (result.timedOut) {
                result.exitCode = -1;
            } else if (status == QProcess::CrashExit) {
                result.crashed = true;
                result.failure = QStringLiteral("crashed");
            } else {
                result.exitCode = exitCode;
            }
            report();
        });
    }

    void begin(int startTimeoutMs)
    {
        startTimer.start(startTimeoutMs);
        start(QIODevice::ReadWrite);
    }

private:
    // Told once, from the event loop, so that a caller never hears of the run
    // before runAsync has returned; the run goes right after.
    void report()
    {
        if (reported)
            return;
        reported = true;
        startTimer.stop();
        finishTimer.stop();
        disconnect(this, nullptr, this, nullptr);
        QTimer::singleShot(0, this, [this] {
            const Result copy = result;
            const auto handler = std::move(done);
            deleteLater();
            if (handler)
                handler(copy);
        });
    }

    QByteArray input;
    bool merged;
    int finishTimeoutMs;
    std::function<void(const Result&)> done;
    QTimer startTimer;
    QTimer finishTimer;
    Result result;
    bool reported = false;
};

} // namespace

Result run(const QString& program, const QStringList& arguments, const Options& options)
{
    QString reason;
    const QString file = runnableFile(program, &reason);
    if (file.isEmpty())
        return notStarted(reason);
    Result result;
    auto owned = std::make_unique<OwnedProcess>();
    QProcess& process = *owned;
    prepare(process, file, arguments, options);
    process.start(QIODevice::ReadWrite);
    if (!process.waitForStarted(options.startTimeoutMs)) {
        // A program that never started leaves nothing to reap, but a start that
        // is merely slow must not outlive us.
        if (process.state() != QProcess::NotRunning) {
            killGroup(process);
            process.waitForFinished(1000);
        }
        return notStarted(process.errorString());
    }
    result.started = true;
    owned->noteStarted();

    if (!options.standardInput.isEmpty())
        process.write(options.standardInput);
    // Always close: a tool that prompts must meet end-of-file at once, not wait.
    process.closeWriteChannel();

    if (!process.waitForFinished(options.finishTimeoutMs)) {
        // Qt reports exit code 0 for a process that is still running; judging by
        // that would turn a hung tool into a success.
        result.timedOut = true;
        result.failure = QStringLiteral("timed out after %1 ms").arg(options.finishTimeoutMs);
        if (options.keepRunningUnder && process.state() != QProcess::NotRunning) {
            result.stdOut = process.readAllStandardOutput();
            if (!options.mergeChannels)
                result.stdErr = process.readAllStandardError();
            leaveRunning(std::move(owned), options);
            return result;
        }
        killGroup(process);
        process.waitForFinished(2000);
        result.stdOut = process.readAllStandardOutput();
        if (!options.mergeChannels)
            result.stdErr = process.readAllStandardError();
        return result;
    }
    owned->noteEnded();

    result.stdOut = process.readAllStandardOutput();
    // With merged channels there is no error channel to read (Qt warns).
    if (!options.mergeChannels)
        result.stdErr = process.readAllStandardError();
    if (process.exitStatus() == QProcess::CrashExit) {
        result.crashed = true;
        result.failure = QStringLiteral("crashed");
        return result;
    }
    result.exitCode = process.exitCode();
    return result;
}

void runAsync(const QString& program, const QStringList& arguments, const Options& options,
              QObject* owner, std::function<void(const Result&)> done)
{
    QString reason;
    const QString file = runnableFile(program, &reason);
    if (file.isEmpty()) {
        // Told from the event loop all the same: a caller never hears of the
        // run before runAsync has returned.
        auto tell = [reason, done = std::move(done)] {
            if (done)
                done(notStarted(reason));
        };
        if (owner)
            QTimer::singleShot(0, owner, std::move(tell));
        else
            QTimer::singleShot(0, std::move(tell));
        return;
    }
    auto* process = new AsyncRun(options, std::move(done));
    process->setParent(owner);
    prepare(*process, file, arguments, options);
    process->begin(options.startTimeoutMs);
}

void endAllTools()
{
    for (std::atomic<pid_t>& slot : trackedGroups) {
        const pid_t group = slot.load();
        if (group > 0)
            ::kill(-group, SIGKILL);
    }
}

bool startDetached(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

QString fallbackPath(const QString& name)
{
    return QStringLiteral("/opt/homebrew/bin/") + name;
}

QString findOnPath(const QString& name)
{
    return QStandardPaths::findExecutable(name);
}

QString findTool(const QString& name)
{
    const QString found = QStandardPaths::findExecutable(name);
    if (!found.isEmpty())
        return found;
    return fallbackPath(name);
}

QStringList maskedArguments(const QStringList& arguments, const QStringList& secretOptions)
{
    QStringList shown;
    shown.reserve(arguments.size());
    bool maskNext = false;
    for (const QString& argument : arguments) {
        if (maskNext) {
            shown << QStringLiteral("****");
            maskNext = false;
            continue;
        }
        bool handled = false;
        for (const QString& option : secretOptions) {
            if (argument == option) {
                maskNext = true;
                break;
            }
            if (argument.startsWith(option + QLatin1Char('='))) {
                shown << option + QStringLiteral("=****");
                handled = true;
                break;
            }
        }
        if (!handled)
            shown << argument;
    }
    return shown;
}

QString maskedCommandLine(const QString& program, const QStringList& arguments,
                          const QStringList& secretOptions)
{
    QStringList parts{QFileInfo(program).fileName()};
    parts << maskedArguments(arguments, secretOptions);
    return parts.join(QLatin1Char(' '));
}

} // namespace ToolRunner
