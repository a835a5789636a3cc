// The shared mechanisms every subsystem builds on: the tool runner, the
// secret wipe, owner-only files and plain-text log views.
#include "core/LogText.h"
#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/SshPublicKey.h"
#include "core/ToolArgs.h"
#include "core/ToolRunner.h"

#include "ui/widgets/PageFill.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "FileSizeLimit.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest>

#include <cerrno>
#include <cstring>
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
    void runnerNamesAToolThatIsNotExecutable();
    void logTextEscapesControls_data();
    void logTextEscapesControls();
    void pageFillKeepsTheWindowAnsweringAndTellsATimeOut();
    void pageFillDropsTheAnswerOfAnEarlierFill();
    void runnerTimeoutEndsWhatTheToolStarted();
    void runnerEnvironmentEmptyMeansInherit();
    void findToolFallsBackToHomebrew();
    void masking_data();
    void masking();
    void secureZeroCases_data();
    void secureZeroCases();
    void ownerOnlyWriteIsAtomicAndPrivate();
    void ownerOnlyWriteKeepsOldFileWhenNotWrittenWhole_data();
    void ownerOnlyWriteKeepsOldFileWhenNotWrittenWhole();
    void privateDirIsNarrowed();
    void logViewKeepsMarkupAsText();
    void optionLikeWords_data();
    void optionLikeWords();
    void publicKeyText();
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
    fakes.setSleep(QStringLiteral("slow"), 60);
    ToolRunner::Options options;
    options.finishTimeoutMs = 500;
    QElapsedTimer clock;
    clock.start();
    const auto r = ToolRunner::run(QStringLiteral("slow"), {}, options);
    // Not waited out: far less than the tool's sleep, however busy the machine.
    QVERIFY(clock.elapsed() < 30000);
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
    // A tool that reads its standard input must meet end-of-file: cat ends
    // on its own rather than running into the time-out.
    ToolRunner::Options options;
    options.finishTimeoutMs = 60000;
    const auto r = ToolRunner::run(QStringLiteral("cat"), {}, options);
    QVERIFY(r.succeeded());
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

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size());
}

} // namespace

void CoreTest::runnerMissingProgramFailsToStart()
{
    for (const QString& program : {QStringLiteral("/nonexistent/ot-no-such-tool"), QStringLiteral("ot-no-such-tool")}) {
        const auto r = ToolRunner::run(program, {});
        QVERIFY(!r.started);
        QVERIFY(!r.succeeded());
        QVERIFY(r.exitCode != 0);
        QCOMPARE(r.failure, QStringLiteral("failed to start"));
        QVERIFY2(r.stdErrText().endsWith(QLatin1String(": not found")), qPrintable(r.stdErrText()));
    }

    // A poll that asks for a missing tool every few seconds must not use up
    // the program's files: nothing is forked for a tool that is not there.
    const int before = openDescriptors();
    int told = 0;
    for (int i = 0; i < 1000; ++i) {
        QVERIFY(!ToolRunner::run(QStringLiteral("ot-no-such-tool"), {}).started);
        ToolRunner::runAsync(QStringLiteral("/nonexistent/ot-no-such-tool"), {}, {}, this,
                             [&told](const ToolRunner::Result& r) { told += r.started ? 0 : 1; });
    }
    QTRY_COMPARE(told, 1000);
    QCOMPARE(openDescriptors(), before);
}

void CoreTest::runnerNamesAToolThatIsNotExecutable()
{
    FakeTools fakes(false);
    const QString tool = fakes.binDir() + "/plain";
    QVERIFY(writeFile(tool, "#!/bin/sh\necho hi\n"));
    QVERIFY(QFile::setPermissions(tool, QFileDevice::ReadOwner | QFileDevice::WriteOwner));

    // By its path, and by a name the search path passes over.
    for (const QString& program : {tool, ToolRunner::findTool(QStringLiteral("plain"))}) {
        const auto r = ToolRunner::run(program, {});
        QVERIFY(!r.started);
        QCOMPARE(r.failure, QStringLiteral("failed to start"));
        QCOMPARE(r.stdErrText(), tool + " is not executable");
    }
}

void CoreTest::logTextEscapesControls_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << QStringLiteral("Alice <a@b> & C:\\x") << QStringLiteral("Alice <a@b> & C:\\x");
    QTest::newRow("forged line") << QStringLiteral("x\nChain verification: OK") << QStringLiteral("x\\nChain verification: OK");
    QTest::newRow("cr tab esc del") << QStringLiteral("a\rb\tc\x1b[31md\x7f") << QStringLiteral("a\\rb\\tc\\x1b[31md\\x7f");
    QTest::newRow("c1 and separators") << QString::fromUtf8("a\u0085b\u2028c\u2029") << QStringLiteral("a\\x85b\\u2028c\\u2029");
    QTest::newRow("bidi") << QString::fromUtf8("evil\u202Etxt.exe \u2066x\u2069 \u200F")
                          << QStringLiteral("evil\\u202etxt.exe \\u2066x\\u2069 \\u200f");
    QTest::newRow("wide and marks kept") << QString::fromUtf8("漢字 e\u0301") << QString::fromUtf8("漢字 e\u0301");
}

void CoreTest::logTextEscapesControls()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(LogText::escaped(text), shown);
    QCOMPARE(LogText::hasControls(text), text != shown);
}

namespace {

// A page of one tree and a status line, filled by one run of a stand-in.
struct FilledPage
{
    QWidget page;
    QTreeWidget* tree = new QTreeWidget;
    QLabel* status = new QLabel;
    PageFill* pageFill = nullptr;
    QStringList log;

    FilledPage()
    {
        auto* layout = new QVBoxLayout(&page);
        layout->addWidget(tree);
        layout->addWidget(status);
        status->hide();
        pageFill = new PageFill(&page, tree, status);
        QObject::connect(pageFill, &PageFill::logLine, &page, [this](const QString& line) { log << line; });
    }
    QLabel* loading() const { return tree->viewport()->findChild<QLabel*>(QStringLiteral("pageFillLoading")); }
};

} // namespace

void CoreTest::pageFillKeepsTheWindowAnsweringAndTellsATimeOut()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("lister"));
    fakes.setSleep(QStringLiteral("lister"), 30);
    FilledPage filled;
    filled.pageFill->setFill([&filled] {
        ToolRunner::Options options;
        options.finishTimeoutMs = 1500;
        filled.pageFill->run(QStringLiteral("lister"), {}, options, [&filled](const ToolRunner::Result& r) {
            if (r.succeeded())
                filled.tree->addTopLevelItem(new QTreeWidgetItem(QStringList{r.stdOutText()}));
            else
                filled.pageFill->tell(QStringLiteral("listing failed: lister ") + r.failure);
        });
    });
    QCOMPARE(fakes.callCount(QStringLiteral("lister")), 0);   // nothing before the page shows

    filled.page.show();
    Heartbeat heartbeat;
    QTRY_VERIFY(filled.pageFill->isFilling());
    QVERIFY(filled.loading()->isVisible());
    QSignalSpy done(filled.pageFill, &PageFill::filled);
    QVERIFY(done.wait(20000));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QVERIFY(!filled.loading()->isVisible());
    QCOMPARE(filled.status->text(), QStringLiteral("listing failed: lister timed out after 1500 ms"));
    QVERIFY(filled.status->isVisible());
    QCOMPARE(filled.log, QStringList{filled.status->text()});
    QCOMPARE(filled.tree->topLevelItemCount(), 0);
}

void CoreTest::pageFillDropsTheAnswerOfAnEarlierFill()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("lister"));
    const QString release = fakes.stateDir() + "/release";
    fakes.answer(QStringLiteral("lister"), "first", 0, {}, 1);
    fakes.setHook(QStringLiteral("lister"),
                  QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done").arg(release), 1);
    fakes.answer(QStringLiteral("lister"), "second", 0, {}, 2);
    FilledPage filled;
    QStringList answers;
    filled.pageFill->setFill([&] {
        filled.pageFill->run(QStringLiteral("lister"), {}, {}, [&answers](const ToolRunner::Result& r) {
            answers << r.stdOutText();
        });
    });
    filled.page.show();
    QTRY_COMPARE(fakes.callCount(QStringLiteral("lister")), 1);
    filled.pageFill->refresh();   // an operation ended: list again
    QSignalSpy done(filled.pageFill, &PageFill::filled);
    QVERIFY(done.wait(20000));
    QCOMPARE(answers, QStringList{QStringLiteral("second")});
    // The first listing ends after the second: its answer changes nothing.
    QVERIFY(writeFile(release, ""));
    QTRY_VERIFY(filled.pageFill->findChildren<QProcess*>().isEmpty());
    QCOMPARE(answers, QStringList{QStringLiteral("second")});
    QCOMPARE(done.count(), 1);
}

namespace {

// A process that has ended, or only waits to be reaped, no longer runs.
bool isRunning(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && text.size() > close + 2 && text.at(close + 2) != 'Z';
}

} // namespace

void CoreTest::runnerTimeoutEndsWhatTheToolStarted()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("spawner"));
    const QString pidFile = fakes.stateDir() + "/helper.pid";
    fakes.setHook(QStringLiteral("spawner"),
                  QStringLiteral("sleep 300 & echo $! > '%1'; wait").arg(pidFile));
    ToolRunner::Options options;
    options.finishTimeoutMs = 300;
    QElapsedTimer clock;
    clock.start();
    // The helper's pid is written before the wait begins, but a busy machine
    // may start the stand-in late: retry with a longer wait until it shows.
    ToolRunner::Result r;
    while (!QFile::exists(pidFile) && clock.elapsed() < 60000) {
        r = ToolRunner::run(QStringLiteral("spawner"), {}, options);
        options.finishTimeoutMs *= 2;
    }
    QVERIFY(r.timedOut);
    const qint64 helper = readFile(pidFile).trimmed().toLongLong();
    QVERIFY(helper > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!isRunning(helper), 10000);
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

void CoreTest::ownerOnlyWriteKeepsOldFileWhenNotWrittenWhole_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("sizeLimit");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<QString>("reason");   // the system's; empty: any but "Unknown error"
    const QString tooLarge = QString::fromLocal8Bit(std::strerror(EFBIG));
    // More than Qt buffers: the write call itself fails halfway.
    QTest::newRow("disk fills up during the write") << "old.txt" << 4096 << 100000 << tooLarge;
    // Less than Qt's buffer: the write call succeeds and only the flush at
    // the end fails; commit alone would rename a cut file into place.
    QTest::newRow("disk fills up at the flush") << "old.txt" << 4096 << 6000 << tooLarge;
    QTest::newRow("folder is a regular file") << "blocker/old.txt" << 0 << 10 << QString();
}

void CoreTest::ownerOnlyWriteKeepsOldFileWhenNotWrittenWhole()
{
    QFETCH(QString, target);
    QFETCH(int, sizeLimit);
    QFETCH(int, dataSize);
    QFETCH(QString, reason);
    TestHome home;
    const QString old = home.path() + "/old.txt";
    QVERIFY(writeFile(old, "the good old content\n"));
    QVERIFY(writeFile(home.path() + "/blocker", "a file, not a folder\n"));
    const QString path = home.path() + "/" + target;

    const QByteArray data(dataSize, 'x');
    bool written = true;
    QString error;
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (sizeLimit > 0)
            limit = std::make_unique<FileSizeLimit>(sizeLimit);
        written = PrivateFiles::writeOwnerOnly(path, data, &error);
    }
    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QVERIFY2(!error.contains(QLatin1String("Unknown error")), qPrintable(error));
    if (!reason.isEmpty())
        QCOMPARE(error, reason);
    QCOMPARE(readFile(old), QByteArray("the good old content\n"));
    QCOMPARE(QDir(home.path()).entryList({"old.txt*"}, QDir::Files | QDir::Hidden), QStringList{"old.txt"});
}

void CoreTest::privateDirIsNarrowed()
{
    TestHome home;
    const QString folder = home.path() + "/wide";
    QVERIFY(QDir().mkdir(folder));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                              | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                              | QFileDevice::ExeOther));
    QVERIFY(PrivateFiles::makePrivateDir(folder));
    QVERIFY(PrivateFiles::isOwnerOnly(folder));
    // Something that is not a folder is not one to use.
    QVERIFY(writeFile(home.path() + "/file", "x"));
    QVERIFY(!PrivateFiles::makePrivateDir(home.path() + "/file"));
}

void CoreTest::logViewKeepsMarkupAsText()
{
    QTextEdit view;
    LogView::appendLine(&view, QStringLiteral("[t] OK   | <b>x</b>  &lt; | y"));
    LogView::appendLine(&view, QStringLiteral("second"));
    QCOMPARE(view.toPlainText(), QStringLiteral("[t] OK   | <b>x</b>  &lt; | y\nsecond"));
}

void CoreTest::optionLikeWords_data()
{
    QTest::addColumn<QString>("word");
    QTest::addColumn<bool>("refused");
    QTest::newRow("plain") << "host.example.com" << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dash inside") << "my-host" << false;
    QTest::newRow("one dash") << "-" << true;
    QTest::newRow("short option") << "-oProxyCommand=sh" << true;
    QTest::newRow("long option") << "--comment=INJ" << true;
    QTest::newRow("blank first") << " -x" << false;
}

void CoreTest::optionLikeWords()
{
    QFETCH(QString, word);
    QFETCH(bool, refused);
    QCOMPARE(ToolArgs::isOptionLike(word), refused);
    const QString why = ToolArgs::refusal(QStringLiteral("host"), word, QStringLiteral("rsync"));
    QCOMPARE(!why.isEmpty(), refused);
    if (refused)
        QVERIFY(why.contains(word) && why.contains(QStringLiteral("rsync")));
    QCOMPARE(ToolArgs::firstRefusal({{QStringLiteral("user"), QStringLiteral("ok")}, {QStringLiteral("host"), word}},
                                    QStringLiteral("rsync")),
             why);
    QCOMPARE(ToolArgs::withPositional({QStringLiteral("-l")}, {word}), (QStringList{"-l", "--", word}));
}

void CoreTest::publicKeyText()
{
    // ssh-keygen makes the key pair: its .pub is the judge of what a public key line is.
    TestHome home;
    const QString key = home.path() + "/id_test";
    QProcess keygen;
    keygen.start(QStringLiteral("ssh-keygen"),
                 {"-q", "-t", "ed25519", "-N", "", "-C", "me@example", "-f", key});
    QVERIFY(keygen.waitForFinished(30000));
    QCOMPARE(keygen.exitCode(), 0);
    const QByteArray publicKey = readFile(key + ".pub");
    const QByteArray privateKey = readFile(key);
    QVERIFY(SshPublicKey::isPublicKeyText(publicKey));
    QVERIFY(SshPublicKey::isPublicKeyText(publicKey.trimmed()));
    QVERIFY(!SshPublicKey::isPublicKeyText(privateKey));
    QVERIFY(!SshPublicKey::isPublicKeyText(publicKey + publicKey));
    QVERIFY(!SshPublicKey::isPublicKeyText(QByteArray()));
    // A blob of one type under another type's name is not that key.
    QByteArray renamed = publicKey;
    renamed.replace("ssh-ed25519", "ssh-rsa");
    QVERIFY(!SshPublicKey::isPublicKeyText(renamed));
    QVERIFY(!SshPublicKey::isPublicKeyText("ssh-ed25519 not*base64 me@example\n"));
}

OT_TEST_MAIN(CoreTest)
#include "tst_core.moc"
