#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <functional>

class QObject;

// The one way this program runs an external tool: an argument list (never a
// shell string), standard input written and then always closed, a start and a
// finish time-out, and a verdict that treats a hung or unstartable tool as a
// failure. Every bridge builds its own result records on top of this.
namespace ToolRunner {

struct Result;

struct Options {
    QByteArray standardInput;          // written, then the write channel is closed
    int startTimeoutMs = 3000;
    int finishTimeoutMs = 30000;
    QProcessEnvironment environment;   // empty: inherit the program's environment
    QString workingDirectory;          // empty: inherit
    bool mergeChannels = false;        // standard error folded into standard output
    // Unset, a tool that outlives finishTimeoutMs is killed. Set, the run is
    // still reported as timed out, but the tool is left to finish under this
    // owner (and killed when the owner goes); lateFinish, if set, then hears
    // how it ended, as long as the owner lives.
    QObject* keepRunningUnder = nullptr;
    std::function<void(const Result&)> lateFinish;
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

// The same run without waiting for it: returns at once, and done hears the
// result, judged as run() judges it, from the event loop of owner's thread,
// never before this returns. A tool still running when owner goes is killed
// and done is not called. keepRunningUnder and lateFinish play no part here.
void runAsync(const QString& program, const QStringList& arguments, const Options& options,
              QObject* owner, std::function<void(const Result&)> done);

// Ends the process group of every tool started by run() or runAsync() that
// has not been reaped yet. Each tool runs in a group of its own, which a
// signal to the program's group (Ctrl+C in its terminal) does not reach: the
// program calls this when it quits. Safe to call from a signal handler.
void endAllTools();

// Starts a tool that runs on its own (nothing is written to it, awaited or
// read); false when it could not be started.
bool startDetached(const QString& program, const QStringList& arguments);

// A tool is found on the search path, else at "/opt/homebrew/bin/" + name.
QString findTool(const QString& name);
// The runner's own lookup of a bare name: the executable file the search
// path gives, or empty when there is none. No process is started, so it can
// tell whether a tool is there without waiting on one.
QString findOnPath(const QString& name);
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
