// The session audit log: its line format, its export file, copy and clear.
#include "app/MainWindow.h"
#include "app/Startup.h"

#include "FileSizeLimit.h"
#include "ModalDriver.h"
#include "TestHome.h"
#include "WindowPages.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>


namespace {

QTextEdit* logView(MainWindow& window)
{
    return sessionLogView(window);
}

QStringList logLines(MainWindow& window)
{
    return logView(window)->toPlainText().split(QLatin1Char('\n'));
}

QString statusText(MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

const QRegularExpression stampedLine(QStringLiteral(
    R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] (.*)$)"),
                                     QRegularExpression::DotMatchesEverythingOption);

// The line without its time stamp, after checking the stamp's form.
QString withoutStamp(const QString& line)
{
    const QRegularExpressionMatch match = stampedLine.match(line);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<no stamp: %1>").arg(line);
}

} // namespace

class SessionLogTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Startup::setIdentity(*qApp); }
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void firstLineIsApplicationStart();
    void lineFormat_data();
    void lineFormat();
    void exportWritesHeaderAndBody();
    void exportAfterClearHasOnlyHeader();
    void exportWriteFailureIsReported();
    void copyPutsTextOnClipboard();

private:
    std::unique_ptr<TestHome> home;
};

void SessionLogTest::firstLineIsApplicationStart()
{
    MainWindow window;
    const QStringList lines = logLines(window);
    QCOMPARE(withoutStamp(lines.first()),
             QStringLiteral("OK   | Application Start    | N/A | OstrevanTessaril 2.1.0"));
}

void SessionLogTest::lineFormat_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("expected");

    QTest::newRow("ok") << "Set FIDO2 PIN" << "YubiKey 5" << true << "PIN set"
                        << "OK   | Set FIDO2 PIN        | YubiKey 5 | PIN set";
    QTest::newRow("fail") << "Set FIDO2 PIN" << "YubiKey 5" << false << "PIN set failed"
                          << "FAIL | Set FIDO2 PIN        | YubiKey 5 | PIN set failed";
    QTest::newRow("op of 20") << "12345678901234567890" << "d" << true << "x"
                              << "OK   | 12345678901234567890 | d | x";
    QTest::newRow("op longer than 20") << "123456789012345678901234" << "d" << true << "x"
                                       << "OK   | 123456789012345678901234 | d | x";
    QTest::newRow("empty device and detail") << "Hotplug" << "" << true << ""
                                             << "OK   | Hotplug              |  | ";
    QTest::newRow("placeholders kept") << "Sign PE" << "%2" << true << "C:%2Fa %1 100%"
                                       << "OK   | Sign PE              | %2 | C:%2Fa %1 100%";
    QTest::newRow("markup kept") << "Inspect Cert" << "&lt;CA&gt;" << false
                                 << "<b>x</b>   two  blanks"
                                 << "FAIL | Inspect Cert         | &lt;CA&gt; | <b>x</b>   two  blanks";
    QTest::newRow("line breaks") << "ykman" << "YubiKey" << false << "Error: one\ntwo"
                                 << "FAIL | ykman                | YubiKey | Error: one\ntwo";
}

void SessionLogTest::lineFormat()
{
    QFETCH(QString, op);
    QFETCH(QString, device);
    QFETCH(bool, success);
    QFETCH(QString, detail);
    QFETCH(QString, expected);

    MainWindow window;
    const QString before = logView(window)->toPlainText();
    window.logSession(op, device, success, detail);
    const QString added = logView(window)->toPlainText().mid(before.size() + 1);
    QCOMPARE(withoutStamp(added), expected);
}

void SessionLogTest::exportWritesHeaderAndBody()
{
    MainWindow window;
    window.logSession("Code Sign", "Developer ID", true, "<signed> & done");
    window.logSession("Notarize", "Apple", false, "two\nlines");
    const QString body = logView(window)->toPlainText();
    const QString path = home->path() + "/exports/audit.log";
    QDir().mkpath(home->path() + "/exports");

    ModalDriver driver;
    driver.chooseFile(path);
    clickButton(&window, "Save Log to File...");
    QCOMPARE(driver.titles, QStringList{"Save Session Log"});

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(file.readAll());
    const QStringList lines = text.split('\n');
    QCOMPARE(lines.at(0), QStringLiteral("# OstrevanTessaril Session Log"));
    QVERIFY2(QRegularExpression(R"(^# Exported: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d$)")
                 .match(lines.at(1)).hasMatch(),
             qPrintable(lines.at(1)));
    QCOMPARE(lines.at(2), QStringLiteral("# Version: 2.1.0"));
    QCOMPARE(lines.at(3), QStringLiteral("# Platform: %1 (%2)")
                              .arg(QSysInfo::prettyProductName(), QSysInfo::currentCpuArchitecture()));
    QCOMPARE(lines.at(4), QStringLiteral("# Devices: 0"));
    QCOMPARE(lines.at(5), QStringLiteral("# NOTE: PINs and private key material are NEVER recorded."));
    QCOMPARE(lines.at(6), QStringLiteral("#"));
    QCOMPARE(lines.at(7), QString());
    QCOMPARE(text.section('\n', 8), body);
    QVERIFY(!text.contains("Export Log"));

    QCOMPARE(statusText(window), QStringLiteral("Session log saved: ") + path);
    QCOMPARE(withoutStamp(logLines(window).last()),
             QStringLiteral("OK   | Export Log           | N/A | ") + path);
}

void SessionLogTest::exportAfterClearHasOnlyHeader()
{
    MainWindow window;
    window.page(MainWindow::SessionLogPage);
    clickButton(&window, "Clear Log");
    QCOMPARE(logView(window)->toPlainText(), QString());

    const QString path = home->path() + "/cleared.log";
    ModalDriver driver;
    driver.chooseFile(path);
    clickButton(&window, "Save Log to File...");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray data = file.readAll();
    QVERIFY2(data.endsWith("#\n\n"), data.constData());
    QCOMPARE(data.count('\n'), 8);
    // Logging goes on into the emptied view.
    QCOMPARE(logLines(window).size(), 1);
}

void SessionLogTest::exportWriteFailureIsReported()
{
    MainWindow window;
    window.page(MainWindow::SessionLogPage);
    QVERIFY(keysListed(window));
    const QString path = home->path() + "/full.log";
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("previous export\n");
    }

    ModalDriver driver;
    // Accepting asks before replacing the file, in a box of its own.
    driver.chooseFile(path);
    driver.pressButton(QMessageBox::Yes);
    {
        FileSizeLimit diskFull(64);
        clickButton(&window, "Save Log to File...");
    }

    QCOMPARE(statusText(window), QStringLiteral("Session log export failed: ") + path);
    QCOMPARE(withoutStamp(logLines(window).last()),
             QStringLiteral("FAIL | Export Log           | N/A | ") + path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("previous export\n"));
    QCOMPARE(QDir(home->path()).entryList({"full.log*"}, QDir::Files | QDir::Hidden),
             QStringList{"full.log"});
}

void SessionLogTest::copyPutsTextOnClipboard()
{
    MainWindow window;
    window.page(MainWindow::SessionLogPage);
    window.logSession("Inspect Cert", "OpenSSL", true, "a < b & c");
    clickButton(&window, "Copy to Clipboard");
    QCOMPARE(QGuiApplication::clipboard()->text(), logView(window)->toPlainText());
    QCOMPARE(statusText(window), QStringLiteral("Session log copied to clipboard"));

    clickButton(&window, "Clear Log");
    clickButton(&window, "Copy to Clipboard");
    QCOMPARE(QGuiApplication::clipboard()->text(), QString());
}

OT_TEST_MAIN(SessionLogTest)
#include "tst_sessionlog.moc"
