// Times the GPG / SSH tab against a large home (LargeHome.h: 1,000 SSH key
// pairs and a 1,000-key keyring, made by the real ssh-keygen and gpg): building
// the tab; building it and showing it; until its keyring page is filled (the
// listing runs in the background from the first show); until the key pair page
// is filled once shown; one refresh of the keyring; one refresh of the key
// pairs; and the longest time the window's thread went without answering
// (a 20 ms timer's longest gap) from the first show on, while the listings
// ran and their rows went in. Prints the median of
// OT_BENCH_RUNS runs (default 5), the rows listed, and how many gpg and
// ssh-keygen runs building the tab alone started (counted in a pass of its
// own, through recording wrappers put first on PATH). The first run makes the
// large home in the build folder (a minute or two); later runs reuse it. On
// the offscreen platform unless another is chosen.
//
//   build/bin/bench_gpgsshtab
// The figures that count come from a build without sanitizers (RelWithDebInfo).
#include "BenchEnvironment.h"
#include "LargeHome.h"
#include "ui/keys/GpgKeyManagementTab.h"
#include "ui/widgets/PageFill.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

int rows(GpgKeyManagementTab& tab, const char* tree)
{
    return tab.findChild<QTreeWidget*>(QString::fromLatin1(tree))->topLevelItemCount();
}

int fingerprinted(GpgKeyManagementTab& tab)
{
    auto* tree = tab.findChild<QTreeWidget*>(QStringLiteral("sshKeyTree"));
    int count = 0;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        count += tree->topLevelItem(i)->text(2).startsWith(QLatin1String("SHA256:")) ? 1 : 0;
    return count;
}

// Runs the event loop until the page of tree has filled.
void waitFilled(GpgKeyManagementTab& tab, const char* tree)
{
    PageFill* fill = tab.findChild<QTreeWidget*>(QString::fromLatin1(tree))->parentWidget()->findChild<PageFill*>();
    while (!fill->hasStarted() || fill->isFilling())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// The longest gap between the ticks of a 20 ms timer.
struct Heartbeat
{
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    Heartbeat()
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        timer.start(20);
    }
};

// Wrappers that count their calls, then run the real tool.
struct CountingPath
{
    QTemporaryDir dir;
    QByteArray oldPath = qgetenv("PATH");

    explicit CountingPath(const QStringList& tools)
    {
        for (const QString& tool : tools) {
            const QString real = QStandardPaths::findExecutable(tool);
            QFile wrapper(dir.filePath(tool));
            wrapper.open(QIODevice::WriteOnly);
            wrapper.write("#!/bin/sh\necho >> '" + QFile::encodeName(dir.filePath(tool + ".calls")) + "'\nexec '"
                          + QFile::encodeName(real) + "' \"$@\"\n");
            wrapper.close();
            wrapper.setPermissions(wrapper.permissions() | QFileDevice::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(dir.path()) + ':' + oldPath);
    }
    ~CountingPath() { qputenv("PATH", oldPath); }

    int calls(const QString& tool) const
    {
        QFile file(dir.filePath(tool + QStringLiteral(".calls")));
        return file.open(QIODevice::ReadOnly) ? int(file.readAll().count('\n')) : 0;
    }
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir runtime;
    prepareBenchEnvironment(runtime);
    QApplication app(argc, argv);

    QElapsedTimer making;
    making.start();
    QString error;
    const QString home = LargeHome::ensure(1000, 1000, &error);
    if (home.isEmpty()) {
        std::fprintf(stderr, "could not make the large home: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("large home ready in %.1f s: %s\n", making.elapsed() / 1000.0, qPrintable(home));
    qputenv("HOME", QFile::encodeName(home));
    qunsetenv("GNUPGHOME");
    const int runs = std::max(1, qEnvironmentVariableIntValue("OT_BENCH_RUNS") ?: 5);

    {
        CountingPath counting({QStringLiteral("gpg"), QStringLiteral("ssh-keygen")});
        GpgKeyManagementTab tab;
        std::printf("tool runs while building the tab: gpg %d, ssh-keygen %d\n",
                    counting.calls(QStringLiteral("gpg")), counting.calls(QStringLiteral("ssh-keygen")));
    }

    std::vector<double> buildMs, firstShowMs, gpgListedMs, sshListedMs, gpgRefreshMs, sshRefreshMs, gapMs;
    for (int run = 0; run < runs; ++run) {
        std::unique_ptr<Heartbeat> heartbeat;
        QElapsedTimer timer;
        timer.start();
        auto tab = std::make_unique<GpgKeyManagementTab>();
        buildMs.push_back(elapsedMs(timer));
        tab->resize(1000, 700);
        tab->show();
        QCoreApplication::processEvents();
        firstShowMs.push_back(elapsedMs(timer));
        // From here on the window only waits for the listings.
        heartbeat = std::make_unique<Heartbeat>();
        waitFilled(*tab, "gpgKeyTree");
        gpgListedMs.push_back(elapsedMs(timer));

        timer.restart();
        tab->findChild<QTabWidget*>(QStringLiteral("gpgSshPages"))->setCurrentIndex(1);
        waitFilled(*tab, "sshKeyTree");
        sshListedMs.push_back(elapsedMs(timer));
        if (run == 0)
            std::printf("listed: %d keyring rows, %d key pair rows (%d fingerprinted)\n", rows(*tab, "gpgKeyTree"),
                        rows(*tab, "sshKeyTree"), fingerprinted(*tab));

        timer.restart();
        tab->refreshGpgKeys();
        waitFilled(*tab, "gpgKeyTree");
        gpgRefreshMs.push_back(elapsedMs(timer));

        timer.restart();
        tab->refreshSshKeys();
        waitFilled(*tab, "sshKeyTree");
        sshRefreshMs.push_back(elapsedMs(timer));
        gapMs.push_back(double(heartbeat->longest));
    }
    LargeHome::stopAgent(home);

    std::printf("build the tab:             median %9.2f ms over %d runs\n", median(buildMs), runs);
    std::printf("build + first show:        median %9.2f ms over %d runs\n", median(firstShowMs), runs);
    std::printf("... keyring listed:        median %9.2f ms over %d runs\n", median(gpgListedMs), runs);
    std::printf("key pair page listed:      median %9.2f ms over %d runs\n", median(sshListedMs), runs);
    std::printf("refresh keyring (1,000):   median %9.2f ms over %d runs\n", median(gpgRefreshMs), runs);
    std::printf("refresh key pairs (1,000): median %9.2f ms over %d runs\n", median(sshRefreshMs), runs);
    std::printf("longest gap of a 20 ms timer after the show: median %6.0f ms, worst %6.0f ms\n", median(gapMs),
                *std::max_element(gapMs.begin(), gapMs.end()));
    return 0;
}
