// Start-up: identity, the single-instance guard, the command line, the theme
// choice, and the quit signals that end the tools with the program.
#include "app/Startup.h"
#include "config/UserProfile.h"
#include "core/ToolRunner.h"

#include "ModalDriver.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/types.h>
#include <unistd.h>

class StartupTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void versionOption();
    void helpOption();
    void secondInstanceIsRefused_data();
    void secondInstanceIsRefused();
    void unusableConfigFolderIsNamed();
    void themeChoice_data();
    void themeChoice();
    void quitSignalEndsRunningTools_data();
    void quitSignalEndsRunningTools();
};

namespace {
QString runApp(const QStringList& args, const QString& home, int* exitCode)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(OT_APP_BINARY), args);
    // Waits for the program to end, however busy the machine; the test's own
    // time limit ends a hang.
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit) {
        *exitCode = -1;
        return QStringLiteral("did not finish: ") + process.errorString();
    }
    *exitCode = process.exitCode();
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}
} // namespace

void StartupTest::versionOption()
{
    TestHome home;
    int code = -1;
    const QString out = runApp({"--version"}, home.path(), &code);
    QCOMPARE(code, 0);
    QCOMPARE(out.trimmed(), QStringLiteral("OstrevanTessaril 2.1.0"));
}

void StartupTest::helpOption()
{
    TestHome home;
    int code = -1;
    const QString out = runApp({"--help"}, home.path(), &code);
    QCOMPARE(code, 0);
    QVERIFY(out.contains("Hardware security key management & code signing toolkit"));
    QVERIFY(out.contains("--dark"));
    QVERIFY(out.contains("Force dark theme"));
    QVERIFY(out.contains("Force light theme"));
    QVERIFY(QDir(home.configDir()).exists());
    // --help exits from inside the parser and leaves its lock behind; the lock
    // of a process that is gone must not keep the next start out.
    QVERIFY(runApp({"--version"}, home.path(), &code).contains("2.1.0"));
    QCOMPARE(code, 0);
}

void StartupTest::secondInstanceIsRefused_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("plain") << QStringList{"ostrevantessaril"};
    // The lock is taken before the command line is read.
    QTest::newRow("--help") << QStringList{"ostrevantessaril", "--help"};
}

void StartupTest::secondInstanceIsRefused()
{
    QFETCH(QStringList, args);
    TestHome home;
    QDir().mkpath(UserProfile::configDir());
    QLockFile running(UserProfile::configDir() + "/ostrevantessaril.lock");
    QVERIFY(running.tryLock(0));

    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    const int status = Startup::run(*qApp, args);
    QCOMPARE(status, 1);
    QCOMPARE(driver.titles, QStringList{"Ostrevan Tessaril"});
    QCOMPARE(driver.texts, QStringList{QString::fromUtf8(Startup::alreadyRunningText)});
    QVERIFY(QApplication::topLevelWidgets().isEmpty()
            || std::none_of(QApplication::topLevelWidgets().cbegin(), QApplication::topLevelWidgets().cend(),
                            [](QWidget* w) { return w->inherits("MainWindow"); }));
}

// Not "already running": the folder and the system's reason, in the box and
// on standard error, and no window.
void StartupTest::unusableConfigFolderIsNamed()
{
    TestHome home;
    // A file where the home folder should be: every folder below it fails,
    // for root too.
    QFile blocker(home.path() + "/not-a-folder");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ScopedEnv badHome("HOME", QFile::encodeName(blocker.fileName() + "/home"));
    const QString expected = "The configuration folder could not be created.\n\n"
                             + blocker.fileName() + "/home: " + QString::fromLocal8Bit(std::strerror(ENOTDIR));

    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    QTest::ignoreMessage(QtCriticalMsg, qPrintable(expected));
    QCOMPARE(Startup::run(*qApp, {"ostrevantessaril"}), 1);
    QCOMPARE(driver.titles, QStringList{"Ostrevan Tessaril"});
    QCOMPARE(driver.texts, QStringList{expected});
    const QWidgetList windows = QApplication::topLevelWidgets();
    QVERIFY(std::none_of(windows.cbegin(), windows.cend(),
                         [](QWidget* w) { return w->inherits("MainWindow"); }));
}

void StartupTest::themeChoice_data()
{
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("light");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("theme");
    QTest::newRow("--dark") << true << false << "light" << int(StyleManager::Dark);
    QTest::newRow("--light") << false << true << "dark" << int(StyleManager::Light);
    QTest::newRow("both") << true << true << "light" << int(StyleManager::Dark);
    QTest::newRow("stored light") << false << false << "light" << int(StyleManager::Light);
    QTest::newRow("stored Light") << false << false << "Light" << int(StyleManager::Dark);
    QTest::newRow("missing") << false << false << "dark" << int(StyleManager::Dark);
    QTest::newRow("other value") << false << false << "blue" << int(StyleManager::Dark);
}

void StartupTest::themeChoice()
{
    QFETCH(bool, dark);
    QFETCH(bool, light);
    QFETCH(QString, stored);
    QFETCH(int, theme);
    QCOMPARE(int(Startup::chooseTheme(dark, light, stored)), theme);
}

namespace {

// A tool that never ends, and a helper it started: both write their process
// ids to the file named by $1, then wait. They do so once standard input is
// closed, which the runner does only after it has noted the tool's start.
const char* const hungTool = "cat > /dev/null; sleep 100000 & echo $! >> \"$1\"; echo $$ >> \"$1\"; wait";

// The test program, started again with "--hold-hung-tool <waiting|background>
// <file>", is a program that runs the hung tool the way the application does,
// under the application's quit signals, until a signal ends it.
int holdHungTool(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Startup::quitOnSignals(app);
    const QString how = QString::fromLocal8Bit(argv[2]);
    const QString pidFile = QString::fromLocal8Bit(argv[3]);
    const QStringList arguments{QStringLiteral("-c"), QString::fromLatin1(hungTool), QStringLiteral("tool"), pidFile};
    ToolRunner::Options options;
    options.finishTimeoutMs = 24 * 3600 * 1000;
    if (how == QLatin1String("waiting")) {
        // The event loop itself waits for the tool, as a page does for a
        // short run.
        QTimer::singleShot(0, &app, [&] { ToolRunner::run(QStringLiteral("/bin/bash"), arguments, options); });
    } else {
        ToolRunner::runAsync(QStringLiteral("/bin/bash"), arguments, options, &app, [](const ToolRunner::Result&) {});
    }
    const int status = app.exec();
    ToolRunner::endAllTools();
    return status;
}

// Gone, or a zombie that nobody has reaped yet: either way no longer running.
bool processGone(pid_t pid)
{
    if (::kill(pid, 0) != 0)
        return errno == ESRCH;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.mid(close + 2, 1) == "Z";
}

} // namespace

void StartupTest::quitSignalEndsRunningTools_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<QString>("how");
    QTest::newRow("SIGTERM while the program waits for the tool") << int(SIGTERM) << "waiting";
    QTest::newRow("SIGINT while the program waits for the tool") << int(SIGINT) << "waiting";
    QTest::newRow("SIGTERM with the tool in the background") << int(SIGTERM) << "background";
    QTest::newRow("SIGINT with the tool in the background") << int(SIGINT) << "background";
    QTest::newRow("SIGHUP with the tool in the background") << int(SIGHUP) << "background";
}

void StartupTest::quitSignalEndsRunningTools()
{
    QFETCH(int, signal);
    QFETCH(QString, how);
    QTemporaryDir work;
    const QString pidFile = work.filePath(QStringLiteral("pids"));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold-hung-tool"), how, pidFile});
    QVERIFY2(program.waitForStarted(60000), qPrintable(program.errorString()));

    QList<pid_t> tools;
    const auto readPids = [&] {
        QFile file(pidFile);
        tools.clear();
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                if (!line.isEmpty())
                    tools << pid_t(line.toInt());
            }
        }
        return tools.size() == 2;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readPids(), 60000);
    for (const pid_t pid : tools)
        QVERIFY(!processGone(pid));

    QCOMPARE(::kill(pid_t(program.processId()), signal), 0);
    QVERIFY2(program.waitForFinished(60000), "the program did not quit");
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    for (const pid_t pid : tools)
        QTRY_VERIFY2_WITH_TIMEOUT(processGone(pid), qPrintable(QStringLiteral("process %1 still runs").arg(pid)), 30000);
}

int main(int argc, char** argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--hold-hung-tool") == 0)
        return holdHungTool(argc, argv);
    TestHome processHome;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    StartupTest tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}
#include "tst_startup.moc"
