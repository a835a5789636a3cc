// Times the main window's work on the GUI thread: building and showing the
// window up to its first exposure (a first start, whose new user profile is
// written through openssl once the window is on screen, outside the time),
// one device refresh with no key attached, from the call to the list shown
// (the poll does this every 3 s, on a thread of its own), appending 10,000
// lines to the session log, building and showing the
// window again with an ykman on PATH that takes as long as the real one to
// print its version (a stand-in sleeping OT_BENCH_YKMAN_SECONDS, default
// 0.3), building and showing the window in a home of 1,000 SSH key pairs and
// a 1,000-key keyring with every tool of the system PATH at hand (LargeHome.h;
// made once in the build folder, a minute or two), and the profile editor's
// Save. Prints the median of 20 runs of each. Runs with a fresh HOME per
// window and, but for the large home, no other token tools on PATH, on the
// offscreen platform unless another is chosen.
//
//   build-test/bin/bench_mainwindow   (built by scripts/test, with sanitizers)
// The figures that count come from a build without sanitizers, e.g.
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOT_BUILD_TESTS=OFF
//   cmake --build build-bench --target bench_mainwindow && build-bench/bin/bench_mainwindow
#include "BenchEnvironment.h"
#include "LargeHome.h"
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "ui/profile/ProfileEditorDialog.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int runs = 20;
constexpr int lines = 10000;

// A window in a home folder of its own, so every run is a first start.
struct FreshWindow
{
    QTemporaryDir home;
    std::unique_ptr<MainWindow> window;

    FreshWindow()
    {
        qputenv("HOME", QFile::encodeName(home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/.config")));
    }

    // A first start in a home whose key folders are those of keys (links to
    // them, so the window's own files stay out of the cached home).
    explicit FreshWindow(const QString& keys)
        : FreshWindow()
    {
        for (const char* folder : {"/.ssh", "/.gnupg"})
            QFile::link(keys + QLatin1String(folder), home.path() + QLatin1String(folder));
    }
};

// Notes the time of the first exposure of the window being built.
class ExposeClock : public QObject
{
public:
    explicit ExposeClock(const std::unique_ptr<MainWindow>& window)
        : window(window)
    {
        qApp->installEventFilter(this);
        timer.start();
    }
    ~ExposeClock() override { qApp->removeEventFilter(this); }
    double exposedMs = -1;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (exposedMs < 0 && event->type() == QEvent::Expose && window && watched->isWindowType()
            && static_cast<QWindow*>(watched) == window->windowHandle()
            && static_cast<QWindow*>(watched)->isExposed())
            exposedMs = elapsedMs(timer);
        return false;
    }

private:
    const std::unique_ptr<MainWindow>& window;
    QElapsedTimer timer;
};

// Construct and show, up to the window's first exposure; then what the window
// does once it is on screen (the first profile written, the first listings)
// is let finish, outside the time.
double constructAndShow(FreshWindow& fresh)
{
    ExposeClock clock(fresh.window);
    fresh.window = std::make_unique<MainWindow>();
    fresh.window->show();
    if (!QTest::qWaitForWindowExposed(fresh.window.get()) || clock.exposedMs < 0)
        std::fprintf(stderr, "window not exposed\n");
    if (!QTest::qWaitFor([] { return QFile::exists(UserProfile::profilePath()); }, 20000))
        std::fprintf(stderr, "no profile written\n");
    auto* manager = fresh.window->findChild<FidoDeviceManager*>();
    if (!QTest::qWaitFor([manager] { return !manager->isEnumerating(); }, 20000))
        std::fprintf(stderr, "keys still being listed\n");
    return clock.exposedMs;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir runtime;
    prepareBenchEnvironment(runtime);
    // PATH holds only openssl, which the user profile needs: no ykman,
    // pkcs11-tool or osslsigncode is found.
    const QByteArray systemPath = qgetenv("PATH");
    QTemporaryDir toolDir;
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (!openssl.isEmpty())
        QFile::link(openssl, toolDir.path() + QStringLiteral("/openssl"));
    qputenv("PATH", QFile::encodeName(toolDir.path()));

    QApplication app(argc, argv);
    Startup::setIdentity(app);

    std::vector<double> windowMs, refreshMs, linesMs;
    for (int run = 0; run < runs; ++run) {
        FreshWindow fresh;
        windowMs.push_back(constructAndShow(fresh));

        QElapsedTimer timer;
        timer.start();
        QSignalSpy listed(fresh.window->findChild<FidoDeviceManager*>(), &FidoDeviceManager::enumerated);
        fresh.window->refreshDevices();
        if (!listed.wait(20000))
            std::fprintf(stderr, "keys not listed\n");
        refreshMs.push_back(elapsedMs(timer));

        timer.restart();
        // Into the view, as when the Session Log page is open.
        fresh.window->page(MainWindow::SessionLogPage);
        for (int i = 0; i < lines; ++i)
            fresh.window->logSession(QStringLiteral("Code Sign"), QStringLiteral("Developer ID"),
                                     i % 7 != 0,
                                     QStringLiteral("/Applications/Example %1.app <signed>").arg(i));
        linesMs.push_back(elapsedMs(timer));
    }

    // Every tool of the system (gpg, ssh-keygen, which, kubectl where there is
    // one) with many keys at hand: the window lists none of them on its way
    // to the screen.
    qputenv("PATH", systemPath);
    QString error;
    const QString largeHome = LargeHome::ensure(1000, 1000, &error);
    if (largeHome.isEmpty())
        std::fprintf(stderr, "no large home: %s\n", qPrintable(error));
    std::vector<double> largeHomeMs;
    if (!largeHome.isEmpty()) {
        for (int run = 0; run < runs; ++run) {
            FreshWindow fresh(largeHome);
            largeHomeMs.push_back(constructAndShow(fresh));
        }
        LargeHome::stopAgent(largeHome);
    }
    qputenv("PATH", QFile::encodeName(toolDir.path()));

    // ykman joins PATH: the window must not wait for its version.
    const QByteArray seconds = qgetenv("OT_BENCH_YKMAN_SECONDS").isEmpty()
        ? QByteArray("0.3") : qgetenv("OT_BENCH_YKMAN_SECONDS");
    QFile ykman(toolDir.path() + QStringLiteral("/ykman"));
    ykman.open(QIODevice::WriteOnly);
    ykman.write("#!/bin/sh\n/bin/sleep " + seconds
                + "\necho 'YubiKey Manager (ykman) version: 5.7.1'\n");
    ykman.close();
    ykman.setPermissions(ykman.permissions() | QFileDevice::ExeOwner);
    std::vector<double> ykmanWindowMs, saveMs;
    for (int run = 0; run < runs; ++run) {
        FreshWindow fresh;
        ykmanWindowMs.push_back(constructAndShow(fresh));

        // Save, up to the box that confirms it (closed at once).
        UserProfile profile;
        profile.load();
        ProfileEditorDialog editor(&profile);
        const QList<QLineEdit*> fields = editor.findChildren<QLineEdit*>();
        for (QLineEdit* field : fields)
            field->setText(QStringLiteral("Example %1").arg(run));
        double savedAt = 0;
        QElapsedTimer timer;
        std::function<void()> closeBox = [&] {
            if (QWidget* box = QApplication::activeModalWidget()) {
                savedAt = elapsedMs(timer);
                box->close();
            } else {
                QTimer::singleShot(0, closeBox);
            }
        };
        QTimer::singleShot(0, closeBox);
        timer.start();
        editor.saveProfile();
        saveMs.push_back(savedAt);
    }

    std::printf("main window construct+show: median %.2f ms over %d runs\n", median(windowMs), runs);
    if (!largeHomeMs.empty())
        std::printf("start with 1,000 SSH key pairs and a 1,000-key keyring: median %.2f ms over %d runs\n",
                    median(largeHomeMs), runs);
    std::printf("refreshDevices to list shown, no key: median %.3f ms over %d runs\n", median(refreshMs), runs);
    std::printf("%d session-log lines:     median %.2f ms over %d runs\n", lines, median(linesMs),
                runs);
    std::printf("construct+show, ykman %ss:  median %.2f ms over %d runs\n", seconds.constData(),
                median(ykmanWindowMs), runs);
    std::printf("profile editor Save:        median %.2f ms over %d runs\n", median(saveMs), runs);
    return 0;
}
