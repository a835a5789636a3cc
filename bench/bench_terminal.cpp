// Measures how fast the terminal widget turns program output into coloured
// text, against libvterm on the same bytes. Four fixed streams of about 8 MB:
//   ascii   plain lines ending in CR LF
//   sgr     a colour change every few words (bold, 30-37, 40-47, 90-97, resets)
//   utf8    2- to 4-byte characters, some cut by the chunk edges
//   scroll  short lines, far more than the view keeps (10000 blocks)
// Each goes in 4096-byte chunks (what one read of the pseudo-terminal gives)
// through processOutput of a widget shown on the offscreen platform, with
// events processed after each chunk, and through vterm_input_write of a
// 40 x 120 libvterm screen. One line per stream:
//   <stream> tessaril <X> MB/s libvterm <Y> MB/s ratio <X/Y>
// A fifth stream is one 16 MB line without a break, shown the same way:
//   longline tessaril <seconds> s worst-stall <ms> ms
// where the stall is the longest time between two processed event batches,
// the time the window could not answer the user. A sixth is 50 MB of lines
// of 2,000 to 9,000 characters into a view that already holds all the rows
// it keeps (what cat of a log with long lines does after a while):
//   longlines tessaril <seconds> s worst-stall <ms> ms
// BENCH_MB=N makes each stream N MB (the long lines too); BENCH_HIDDEN=1 leaves the widget hidden,
// which shows what painting costs; BENCH_ONLY=<stream> runs one stream;
// BENCH_STALLS=1 names every stall of the long lines above 50 ms, with the
// processor time the program used in it.
//
//   build-test/bin/bench_terminal   (built by scripts/test, with sanitizers)
// The figures that count come from a build without sanitizers, e.g.
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOT_SANITIZE=OFF -DOT_BUILD_TESTS=OFF
//   cmake --build build-bench --target bench_terminal && build-bench/bin/bench_terminal
#include "BenchEnvironment.h"
#include "ui/remote/TerminalWidget.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <ctime>

extern "C" {
#include <vterm.h>
}

namespace {

const qsizetype streamBytes = qEnvironmentVariableIntValue("BENCH_MB") > 0 ? qEnvironmentVariableIntValue("BENCH_MB") * 1024 * 1024 : 8 * 1024 * 1024;
constexpr qsizetype chunkBytes = 4096;

// A small fixed generator: every run sees the same bytes.
struct Lcg
{
    quint32 state = 12345;
    quint32 next(quint32 bound)
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }
};

const char* const words[] = {"signing", "token", "vault", "key", "certificate", "chain", "build",
                             "release", "deploy", "ssh", "openssl", "fido2", "piv", "slot"};

QByteArray word(Lcg& random)
{
    return QByteArray(words[random.next(sizeof words / sizeof *words)]);
}

QByteArray asciiStream()
{
    Lcg random;
    QByteArray out;
    out.reserve(streamBytes + 256);
    int line = 0;
    while (out.size() < streamBytes) {
        out += "line " + QByteArray::number(++line) + ":";
        const quint32 count = 6 + random.next(10);
        for (quint32 i = 0; i < count; ++i)
            out += ' ' + word(random);
        out += "\r\n";
    }
    return out;
}

QByteArray sgrStream()
{
    Lcg random;
    QByteArray out;
    out.reserve(streamBytes + 256);
    while (out.size() < streamBytes) {
        const quint32 count = 8 + random.next(8);
        for (quint32 i = 0; i < count; ++i) {
            if (i % 3 == 0) {
                switch (random.next(5)) {
                case 0: out += "\x1b[1m"; break;
                case 1: out += "\x1b[" + QByteArray::number(30 + random.next(8)) + "m"; break;
                case 2: out += "\x1b[" + QByteArray::number(40 + random.next(8)) + "m"; break;
                case 3: out += "\x1b[" + QByteArray::number(90 + random.next(8)) + "m"; break;
                default: out += "\x1b[0m"; break;
                }
            }
            out += word(random) + ' ';
        }
        out += "\x1b[0m\r\n";
    }
    return out;
}

QByteArray utf8Stream()
{
    // Two-, three- and four-byte characters between ASCII words; with lines of
    // varying length they fall across the 4096-byte chunk edges.
    const QByteArray characters[] = {"\xc3\xa9", "\xc3\xb8", "\xd0\x96", "\xe2\x82\xac", "\xe2\x9c\x93",
                                     "\xe4\xb8\xad", "\xf0\x9f\x94\x91", "\xf0\x9f\x94\x92"};
    Lcg random;
    QByteArray out;
    out.reserve(streamBytes + 256);
    while (out.size() < streamBytes) {
        const quint32 count = 10 + random.next(20);
        for (quint32 i = 0; i < count; ++i) {
            out += characters[random.next(8)];
            if (random.next(4) == 0)
                out += ' ' + word(random) + ' ';
        }
        out += "\r\n";
    }
    return out;
}

QByteArray scrollStream()
{
    QByteArray out;
    out.reserve(streamBytes + 64);
    int line = 0;
    while (out.size() < streamBytes)
        out += QByteArray::number(++line) + "\r\n";
    return out;
}

double megabytesPerSecond(qsizetype bytes, qint64 nanoseconds)
{
    return nanoseconds > 0 ? (double(bytes) / (1024.0 * 1024.0)) / (double(nanoseconds) / 1e9) : 0.0;
}

double throughTessaril(const QByteArray& stream)
{
    TerminalWidget terminal;
    terminal.resize(1024, 700);
    if (!qEnvironmentVariableIsSet("BENCH_HIDDEN")) {
        terminal.show();
        if (!QTest::qWaitForWindowExposed(&terminal))
            std::fprintf(stderr, "terminal not exposed\n");
    }
    QElapsedTimer timer;
    timer.start();
    for (qsizetype at = 0; at < stream.size(); at += chunkBytes) {
        terminal.processOutput(stream.mid(at, chunkBytes));
        QCoreApplication::processEvents();
    }
    return megabytesPerSecond(stream.size(), timer.nsecsElapsed());
}

double throughLibvterm(const QByteArray& stream)
{
    VTerm* vt = vterm_new(40, 120);
    vterm_set_utf8(vt, 1);
    VTermScreen* screen = vterm_obtain_screen(vt);
    vterm_screen_reset(screen, 1);
    QElapsedTimer timer;
    timer.start();
    for (qsizetype at = 0; at < stream.size(); at += chunkBytes) {
        const qsizetype length = std::min(chunkBytes, stream.size() - at);
        vterm_input_write(vt, stream.constData() + at, size_t(length));
    }
    const qint64 elapsed = timer.nsecsElapsed();
    vterm_free(vt);
    return megabytesPerSecond(stream.size(), elapsed);
}

// The processor time this thread has used, in nanoseconds: a stall that
// used little of it was the machine running something else.
qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The longest time between two processed event batches, while the view
// takes what is written to it.
class StallWatch
{
public:
    explicit StallWatch(const char* name) : name(name)
    {
        total.start();
        batch.start();
        batchCpu = threadCpuNs();
    }
    void processed()
    {
        worst = std::max(worst, batch.nsecsElapsed());
        const qint64 cpu = threadCpuNs();
        if (qEnvironmentVariableIsSet("BENCH_STALLS") && batch.nsecsElapsed() > 50000000)
            std::fprintf(stderr, "stall %.0f ms (%.0f ms on the processor) at %.2f s\n",
                         double(batch.nsecsElapsed()) / 1e6, double(cpu - batchCpu) / 1e6,
                         double(total.nsecsElapsed()) / 1e9);
        batch.restart();
        batchCpu = cpu;
    }
    void report() const
    {
        std::printf("%s tessaril %.2f s worst-stall %.0f ms\n", name, double(total.nsecsElapsed()) / 1e9,
                    double(worst) / 1e6);
        std::fflush(stdout);
    }

private:
    const char* name;
    QElapsedTimer total;
    QElapsedTimer batch;
    qint64 batchCpu = 0;
    qint64 worst = 0;
};

QByteArray longLinesStream()
{
    const qsizetype bytes = qEnvironmentVariableIntValue("BENCH_MB") > 0 ? streamBytes : 50 * 1024 * 1024;
    Lcg random;
    QByteArray out;
    out.reserve(bytes + 10000);
    while (out.size() < bytes) {
        const qsizetype end = out.size() + 2000 + random.next(7001);
        while (out.size() < end)
            out += word(random) + ' ';
        out.truncate(end);
        out += "\r\n";
    }
    return out + "END\r\n";
}

void longLines()
{
    const QByteArray stream = longLinesStream();
    TerminalWidget terminal;
    terminal.resize(1024, 700);
    terminal.show();
    if (!QTest::qWaitForWindowExposed(&terminal))
        std::fprintf(stderr, "terminal not exposed\n");
    const QTextDocument* document = terminal.findChild<QPlainTextEdit*>()->document();
    // A full view: as many rows as it keeps.
    QByteArray fill;
    for (int line = 1; line <= terminal.maxBlocks; ++line)
        fill += "earlier line " + QByteArray::number(line) + "\r\n";
    for (qsizetype at = 0; at < fill.size(); at += chunkBytes) {
        terminal.processOutput(fill.mid(at, chunkBytes));
        QCoreApplication::processEvents();
    }
    const QString lastFill = QStringLiteral("earlier line %1").arg(terminal.maxBlocks);
    while (document->lastBlock().previous().text() != lastFill)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);

    StallWatch watch("longlines");
    for (qsizetype at = 0; at < stream.size(); at += chunkBytes) {
        terminal.processOutput(stream.mid(at, chunkBytes));
        QCoreApplication::processEvents();
        watch.processed();
    }
    // The last frame is shown when its time comes.
    while (document->lastBlock().previous().text() != QLatin1String("END")) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        watch.processed();
    }
    watch.report();
}

void longLine()
{
    const QByteArray line(16 * 1024 * 1024, 'x');
    TerminalWidget terminal;
    terminal.resize(1024, 700);
    terminal.show();
    if (!QTest::qWaitForWindowExposed(&terminal))
        std::fprintf(stderr, "terminal not exposed\n");
    StallWatch watch("longline");
    for (qsizetype at = 0; at < line.size(); at += chunkBytes) {
        terminal.processOutput(line.mid(at, chunkBytes));
        QCoreApplication::processEvents();
        watch.processed();
    }
    // The line ends, and its last row is shown when the frame's time comes.
    terminal.processOutput("\r\nEND");
    const QTextDocument* document = terminal.findChild<QPlainTextEdit*>()->document();
    while (document->lastBlock().text() != QLatin1String("END")) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        watch.processed();
    }
    watch.report();
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir runtime;
    prepareBenchEnvironment(runtime);
    QApplication app(argc, argv);

    const struct {
        const char* name;
        QByteArray (*make)();
    } streams[] = {{"ascii", asciiStream}, {"sgr", sgrStream}, {"utf8", utf8Stream}, {"scroll", scrollStream}};
    const QByteArray only = qgetenv("BENCH_ONLY");
    for (const auto& entry : streams) {
        if (!only.isEmpty() && only != entry.name)
            continue;
        const QByteArray stream = entry.make();
        const double ours = throughTessaril(stream);
        const double theirs = throughLibvterm(stream);
        std::printf("%s tessaril %.1f MB/s libvterm %.1f MB/s ratio %.2f\n", entry.name, ours, theirs,
                    theirs > 0 ? ours / theirs : 0.0);
        std::fflush(stdout);
    }
    if (only.isEmpty() || only == "longline")
        longLine();
    if (only.isEmpty() || only == "longlines")
        longLines();
    return 0;
}
