// The shared mechanisms every subsystem builds on: the tool runner, the
// secret wipe, owner-only files and plain-text log views.
#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include "FakeTools.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextEdit>
#include <QtTest>

#include <signal.h>

class CoreTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void runnerReportsExitCodeAndOutput();
    void runnerTimeoutIsAFailure();
    void runnerLeavesATimedOutToolToItsOwner();
    void runnerClosesStandardInput();
    void runnerPassesStandardInput();
    void runnerMissingProgramFailsToStart();
    void runnerEnvironmentEmptyMeansInherit();
    void findToolFallsBackToHomebrew();
    void masking_data();
    void masking();
    void secureZeroCases_data();
    void secureZeroCases();
    void ownerOnlyWriteIsAtomicAndPrivate();
    void logViewKeepsMarkupAsText();
};

void CoreTest::runnerReportsExitCodeAndOutput()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("tool"));
    fakes.answer(QStringLiteral("tool"), "out\n", 3, "err\n");
    const auto r = ToolRunner::run(QStringLiteral("tool"), {QStringLiteral("a b"), QStringLiteral("c")});
    QVERIFY(r.started);
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(r.stdOut, QByteArray("out\n"));
    QCOMPARE(r.stdErr, QByteArray("err\n"));
    QVERIFY(!r.succeeded());
    QCOMPARE(fakes.arguments(QStringLiteral("tool")), (QStringList{"a b", "c"}));
}

void CoreTest::runnerTimeoutIsAFailure()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("slow"));
    fakes.setSleep(QStringLiteral("slow"), 30);
    ToolRunner::Options options;
    options.finishTimeoutMs = 500;
    QElapsedTimer clock;
    clock.start();
    const auto r = ToolRunner::run(QStringLiteral("slow"), {}, options);
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(r.timedOut);
    QVERIFY(!r.succeeded());
    QVERIFY(r.exitCode != 0);
    QCOMPARE(r.failure, QStringLiteral("timed out after 500 ms"));
}

void CoreTest::runnerLeavesATimedOutToolToItsOwner()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("slow"));
    QList<ToolRunner::Result> late;
    ToolRunner::Options options;
    options.finishTimeoutMs = 200;
    options.lateFinish = [&late](const ToolRunner::Result& r) { late << r; };

    // Reported as timed out, yet its end still arrives.
    fakes.setHook(QStringLiteral("slow"), QStringLiteral("sleep 1; echo late; exit 7"));
    {
        QObject owner;
        options.keepRunningUnder = &owner;
        const auto r = ToolRunner::run(QStringLiteral("slow"), {}, options);
        QVERIFY(r.timedOut);
        QVERIFY(!r.succeeded());
        QCOMPARE(r.failure, QStringLiteral("timed out after 200 ms"));
        QTRY_COMPARE_WITH_TIMEOUT(late.size(), 1, 20000);
        QVERIFY(late.first().finished());
        QCOMPARE(late.first().exitCode, 7);
        QCOMPARE(late.first().stdOut, QByteArray("late\n"));
    }

    // An owner that goes first takes the tool with it, and hears nothing.
    late.clear();
    const QString pidFile = fakes.stateDir() + QStringLiteral("/pid");
    fakes.setHook(QStringLiteral("slow"),
                  QStringLiteral("echo $$ > \"$FAKE_STATE/pid\"; exec sleep 30"));
    auto* owner = new QObject;
    options.keepRunningUnder = owner;
    QVERIFY(ToolRunner::run(QStringLiteral("slow"), {}, options).timedOut);
    // A busy machine may reach the time-out before the stand-in gets going.
    pid_t pid = 0;
    QTRY_VERIFY_WITH_TIMEOUT((pid = readFile(pidFile).trimmed().toInt()) > 0, 20000);
    QCOMPARE(::kill(pid, 0), 0);
    delete owner;
    QCOMPARE(::kill(pid, 0), -1);
    QCoreApplication::processEvents();
    QVERIFY(late.isEmpty());
}

void CoreTest::runnerClosesStandardInput()
{
    // A tool that reads its standard input must meet end-of-file at once.
    ToolRunner::Options options;
    options.finishTimeoutMs = 5000;
    QElapsedTimer clock;
    clock.start();
    const auto r = ToolRunner::run(QStringLiteral("cat"), {}, options);
    QVERIFY(r.succeeded());
    QVERIFY(clock.elapsed() < 4000);
}

void CoreTest::runnerPassesStandardInput()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("reader"));
    ToolRunner::Options options;
    options.standardInput = "secret\n";
    QVERIFY(ToolRunner::run(QStringLiteral("reader"), {}, options).succeeded());
    QCOMPARE(fakes.standardInput(QStringLiteral("reader")), QByteArray("secret\n"));
}

void CoreTest::runnerMissingProgramFailsToStart()
{
    const auto r = ToolRunner::run(QStringLiteral("/nonexistent/ot-no-such-tool"), {});
    QVERIFY(!r.started);
    QVERIFY(!r.succeeded());
    QVERIFY(r.exitCode != 0);
    QCOMPARE(r.failure, QStringLiteral("failed to start"));
}

void CoreTest::runnerEnvironmentEmptyMeansInherit()
{
    ScopedEnv marker("OT_MARKER", "inherited");
    const auto inherited = ToolRunner::run(QStringLiteral("printenv"), {QStringLiteral("OT_MARKER")});
    QCOMPARE(inherited.stdOut, QByteArray("inherited\n"));
    ToolRunner::Options options;
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("OT_MARKER"), QStringLiteral("child only"));
    const auto own = ToolRunner::run(QStringLiteral("printenv"), {QStringLiteral("OT_MARKER")}, options);
    QCOMPARE(own.stdOut, QByteArray("child only\n"));
    QCOMPARE(qgetenv("OT_MARKER"), QByteArray("inherited"));
}

void CoreTest::findToolFallsBackToHomebrew()
{
    FakeTools fakes(false);
    fakes.install(QStringLiteral("present"));
    QCOMPARE(ToolRunner::findTool(QStringLiteral("present")), fakes.binDir() + "/present");
    QCOMPARE(ToolRunner::findTool(QStringLiteral("absent")), QStringLiteral("/opt/homebrew/bin/absent"));
}

void CoreTest::masking_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("shown");
    const QStringList secrets{"--pin", "--management-key"};
    QTest::newRow("middle") << QStringList{"piv", "--pin", "123456", "x"} << "tool piv --pin **** x";
    QTest::newRow("last option without value") << QStringList{"a", "--pin"} << "tool a --pin";
    QTest::newRow("value last") << QStringList{"--management-key", "0102"} << "tool --management-key ****";
    QTest::newRow("equals form") << QStringList{"--pin=1234"} << "tool --pin=****";
    QTest::newRow("similar name kept") << QStringList{"--pinned", "v"} << "tool --pinned v";
    QTest::newRow("two secrets") << QStringList{"--pin", "1", "--management-key", "2"}
                                 << "tool --pin **** --management-key ****";
}

void CoreTest::masking()
{
    QFETCH(QStringList, args);
    QFETCH(QString, shown);
    QCOMPARE(ToolRunner::maskedCommandLine(QStringLiteral("/usr/bin/tool"), args,
                                           {"--pin", "--management-key"}),
             shown);
}

void CoreTest::secureZeroCases_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("shared copy kept") << 0;
    QTest::newRow("static data unchanged") << 1;
    QTest::newRow("empty non-null stays non-null") << 2;
    QTest::newRow("null stays null") << 3;
    QTest::newRow("private non-empty ends null") << 4;
}

void CoreTest::secureZeroCases()
{
    QFETCH(int, kind);
    switch (kind) {
    case 0: {
        QString pin = QStringLiteral("123456");
        pin.detach();
        const QString copy = pin;
        secureZero(pin);
        QVERIFY(pin.isNull());
        QCOMPARE(copy, QStringLiteral("123456"));
        break;
    }
    case 1: {
        static const QChar raw[] = {u'9', u'8', u'7', u'6'};
        QString pin = QString::fromRawData(raw, 4);
        secureZero(pin);
        QVERIFY(pin.isNull());
        QCOMPARE(QString(raw, 4), QStringLiteral("9876"));
        break;
    }
    case 2: {
        QString empty(QLatin1String(""));
        QVERIFY(!empty.isNull());
        secureZero(empty);
        QVERIFY(!empty.isNull());
        QVERIFY(empty.isEmpty());
        break;
    }
    case 3: {
        QString null;
        secureZero(null);
        QVERIFY(null.isNull());
        break;
    }
    case 4: {
        QString pin(6, QLatin1Char('7'));
        const QChar* buffer = pin.constData();
        Q_UNUSED(buffer);
        secureZero(pin);
        QVERIFY(pin.isNull());
        QVERIFY(pin.isEmpty());
        QByteArray bytes("secret");
        secureZero(bytes);
        QVERIFY(bytes.isNull());
        break;
    }
    }
}

void CoreTest::ownerOnlyWriteIsAtomicAndPrivate()
{
    TestHome home;
    const QString path = home.path() + "/secret.txt";
    QVERIFY(PrivateFiles::writeOwnerOnly(path, "one"));
    QVERIFY(PrivateFiles::isOwnerOnly(path));
    QVERIFY(PrivateFiles::writeOwnerOnly(path, "two"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("two"));
    QVERIFY(!PrivateFiles::writeOwnerOnly(home.path() + "/missing/dir/x", "data"));

    const QString folder = home.path() + "/a/b";
    QVERIFY(PrivateFiles::makePrivateDir(folder));
    QVERIFY(PrivateFiles::isOwnerOnly(folder));
}

void CoreTest::logViewKeepsMarkupAsText()
{
    QTextEdit view;
    LogView::appendLine(&view, QStringLiteral("[t] OK   | <b>x</b>  &lt; | y"));
    LogView::appendLine(&view, QStringLiteral("second"));
    QCOMPARE(view.toPlainText(), QStringLiteral("[t] OK   | <b>x</b>  &lt; | y\nsecond"));
}

OT_TEST_MAIN(CoreTest)
#include "tst_core.moc"
