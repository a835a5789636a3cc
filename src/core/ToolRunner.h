#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The one way this program runs an external tool: an argument list (never a
// shell string), standard input written and then always closed, a start and a
// finish time-out, and a verdict that treats a hung or unstartable tool as a
// failure. Every bridge builds its own result records on top of this.
namespace ToolRunner {

struct Options {
    QByteArray standardInput;          // written, then the write channel is closed
    int startTimeoutMs = 3000;
    int finishTimeoutMs = 30000;
    QProcessEnvironment environment;   // empty: inherit the program's environment
    QString workingDirectory;          // empty: inherit
    bool mergeChannels = false;        // standard error folded into standard output
};

struct Result {
    int exitCode = -1;      // the tool's exit code; -1 when it did not start, timed out or crashed
    QByteArray stdOut;
    QByteArray stdErr;
    bool started = false;
    bool timedOut = false;
    bool crashed = false;
    QString failure;        // "failed to start", "timed out after N ms", "crashed"; empty otherwise

    // A run only succeeds when the tool started, finished on its own and returned 0.
    bool succeeded() const { return started && !timedOut && !crashed && exitCode == 0; }
    bool finished() const { return started && !timedOut && !crashed; }
    QString stdOutText() const { return QString::fromUtf8(stdOut); }
    QString stdErrText() const { return QString::fromUtf8(stdErr); }
};

Result run(const QString& program, const QStringList& arguments, const Options& options = {});

// Starts a tool that goes on by itself (a copy in the background, a terminal
// window) without waiting for it; false when it could not be started.
bool startDetached(const QString& program, const QStringList& arguments);

// A tool is found on the search path, else at "/opt/homebrew/bin/" + name.
QString findTool(const QString& name);
// The fixed fallback location, whether or not anything is there.
QString fallbackPath(const QString& name);

// The command line as it may appear in a log: the value that follows each
// option in secretOptions is shown as "****" (a value given as "--opt=value"
// too). The program is shown by its file name.
QString maskedCommandLine(const QString& program, const QStringList& arguments,
                          const QStringList& secretOptions = {});
// The same masking applied to the argument list alone.
QStringList maskedArguments(const QStringList& arguments, const QStringList& secretOptions);

} // namespace ToolRunner
