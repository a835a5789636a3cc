// Launch to window mapped, from outside: starts a program under the X server
// of DISPLAY and times the spawn until the server maps its first top-level
// window, for the program and for a bare Qt window (bench_barewindow) in
// turns, each run in a fresh home folder of its own, so every run of the
// program is a first start. Prints the median of the runs for each and their
// ratio, for an empty home and for a home of 200 SSH key pairs and a
// 200-key keyring (LargeHome.h).
//
//   bench/launch_to_mapped.sh BUILD_DIR [RUNS]
#include "BenchEnvironment.h"
#include "LargeHome.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

namespace {

// Milliseconds from the spawn to the server's MapNotify of a top-level window
// of the program; negative when none came within a minute.
double launchToMapped(xcb_connection_t* connection, const QString& program, const QStringList& environment)
{
    // Events still queued from an earlier run are no business of this one.
    while (xcb_generic_event_t* stale = xcb_poll_for_event(connection))
        free(stale);

    std::vector<QByteArray> envStore;
    std::vector<char*> envp;
    for (const QString& entry : environment)
        envStore.push_back(entry.toLocal8Bit());
    for (QByteArray& entry : envStore)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    QByteArray path = QFile::encodeName(program);
    char* argv[] = {path.data(), nullptr};

    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, path.constData(), nullptr, nullptr, argv, envp.data()) != 0) {
        std::fprintf(stderr, "cannot start %s\n", path.constData());
        return -1;
    }
    double mapped = -1;
    const int fd = xcb_get_file_descriptor(connection);
    while (mapped < 0 && timer.elapsed() < 60000) {
        xcb_generic_event_t* event = xcb_poll_for_event(connection);
        if (!event) {
            pollfd wait{fd, POLLIN, 0};
            ::poll(&wait, 1, 100);
            continue;
        }
        if ((event->response_type & ~0x80) == XCB_MAP_NOTIFY) {
            const auto* map = reinterpret_cast<xcb_map_notify_event_t*>(event);
            if (!map->override_redirect)
                mapped = elapsedMs(timer);
        }
        free(event);
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return mapped;
}

// The environment of one run: the caller's, with a fresh home (its key
// folders linked to those of keys, when given) and the X platform.
QStringList runEnvironment(const QTemporaryDir& home, const QString& runtime, const QString& keys)
{
    if (!keys.isEmpty()) {
        for (const char* folder : {"/.ssh", "/.gnupg"})
            QFile::link(keys + QLatin1String(folder), home.path() + QLatin1String(folder));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env.toStringList();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: bench_launch BARE_WINDOW PROGRAM [RUNS]\n");
        return 2;
    }
    const QString bare = args.at(1);
    const QString program = args.at(2);
    const int runs = args.size() > 3 ? args.at(3).toInt() : 5;

    QTemporaryDir runtime;
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        std::fprintf(stderr, "no X server at DISPLAY\n");
        return 2;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);

    QString error;
    const QString largeHome = LargeHome::ensure(200, 200, &error);
    if (largeHome.isEmpty())
        std::fprintf(stderr, "no large home: %s\n", qPrintable(error));

    struct Case
    {
        const char* name;
        QString keys;
    };
    std::vector<Case> cases{{"empty home", QString()}};
    if (!largeHome.isEmpty())
        cases.push_back({"200 GPG keys, 200 SSH key pairs", largeHome});

    for (const Case& home : cases) {
        std::vector<double> bareMs, programMs;
        // One run of each first, unmeasured: the files are in the cache then.
        for (int run = -1; run < runs; ++run) {
            QTemporaryDir bareHome, programHome;
            const double b = launchToMapped(connection, bare, runEnvironment(bareHome, runtime.path(), home.keys));
            const double p =
                launchToMapped(connection, program, runEnvironment(programHome, runtime.path(), home.keys));
            if (b < 0 || p < 0) {
                std::fprintf(stderr, "a window was not mapped\n");
                return 1;
            }
            if (run >= 0) {
                bareMs.push_back(b);
                programMs.push_back(p);
                std::printf("  %s run %d: bare %.1f ms, program %.1f ms\n", home.name, run + 1, b, p);
            }
        }
        const double bareMedian = median(bareMs);
        const double programMedian = median(programMs);
        std::printf("%s: bare window median %.1f ms, program median %.1f ms, ratio %.2f (median of %d)\n",
                    home.name, bareMedian, programMedian, programMedian / bareMedian, runs);
    }
    if (!largeHome.isEmpty())
        LargeHome::stopAgent(largeHome);
    xcb_disconnect(connection);
    return 0;
}
