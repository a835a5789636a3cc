#include "core/ToolRunner.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace ToolRunner {

Result run(const QString& program, const QStringList& arguments, const Options& options)
{
    Result result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(options.environment);
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    process.setProcessChannelMode(options.mergeChannels ? QProcess::MergedChannels
                                                        : QProcess::SeparateChannels);
    process.start(QIODevice::ReadWrite);
    if (!process.waitForStarted(options.startTimeoutMs)) {
        // A program that never started leaves nothing to reap, but a start that
        // is merely slow must not outlive us.
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(1000);
        }
        result.failure = QStringLiteral("failed to start");
        result.stdErr = process.errorString().toUtf8();
        return result;
    }
    result.started = true;

    if (!options.standardInput.isEmpty())
        process.write(options.standardInput);
    // Always close: a tool that prompts must meet end-of-file at once, not wait.
    process.closeWriteChannel();

    if (!process.waitForFinished(options.finishTimeoutMs)) {
        // Qt reports exit code 0 for a process that is still running; judging by
        // that would turn a hung tool into a success.
        process.kill();
        process.waitForFinished(2000);
        result.timedOut = true;
        result.failure = QStringLiteral("timed out after %1 ms").arg(options.finishTimeoutMs);
        result.stdOut = process.readAllStandardOutput();
        if (!options.mergeChannels)
            result.stdErr = process.readAllStandardError();
        return result;
    }

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

bool startDetached(const QString& program, const QStringList& arguments)
{
    return QProcess::startDetached(program, arguments);
}

QString fallbackPath(const QString& name)
{
    return QStringLiteral("/opt/homebrew/bin/") + name;
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
