// Start-up: identity, the single-instance guard, the command line and the theme choice.
#include "app/Startup.h"
#include "config/UserProfile.h"

#include "ModalDriver.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QtTest>

#include <cerrno>
#include <cstring>

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

OT_TEST_MAIN(StartupTest)
#include "tst_startup.moc"
