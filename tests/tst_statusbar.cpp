// The status bar: installed token tools, the key count and hot-plug notices.
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "fido/FidoDeviceManager.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "TestHome.h"
#include "WindowPages.h"

#include <QApplication>
#include <QLabel>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

namespace {

QLabel* label(MainWindow& window, const char* name)
{
    return window.findChild<QLabel*>(QString::fromLatin1(name));
}

QStringList hotplugLines(MainWindow& window)
{
    QStringList found;
    const QString text = sessionLogView(window)->toPlainText();
    for (const QString& line : text.split('\n')) {
        if (line.contains("| Hotplug "))
            found << line.section("] ", 1);
    }
    return found;
}

} // namespace

class StatusBarTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Startup::setIdentity(*qApp); }
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup()
    {
        FidoDeviceManager::setManifestSource({});
        home.reset();
    }

    void toolsLabel_data();
    void toolsLabel();
    void versionProbeDoesNotHoldTheWindow();
    void hotplugNotices();

private:
    std::unique_ptr<TestHome> home;
    int keyCount = 0;
};

void StatusBarTest::toolsLabel_data()
{
    QTest::addColumn<QString>("ykmanVersion"); // null: no ykman at all
    QTest::addColumn<bool>("withOpensc");
    QTest::addColumn<bool>("withOsslsigncode");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing") << QString() << false << false << "ykman: missing | opensc: missing";
    QTest::newRow("ykman only") << "YubiKey Manager (ykman) version: 5.7.1" << false << false
                                << "ykman 5.7.1 | opensc: missing";
    QTest::newRow("ykman silent") << "" << false << false << "ykman  | opensc: missing";
    QTest::newRow("all three") << "5.2.0" << true << true << "ykman 5.2.0 | opensc | osslsigncode";
}

void StatusBarTest::toolsLabel()
{
    QFETCH(QString, ykmanVersion);
    QFETCH(bool, withOpensc);
    QFETCH(bool, withOsslsigncode);
    QFETCH(QString, expected);

    FakeTools tools(false);
    // What the stand-ins themselves run.
    for (const char* helper : {"cat", "basename", "dirname", "readlink"})
        tools.linkReal(helper);
    if (!ykmanVersion.isNull()) {
        tools.install("ykman");
        tools.answer("ykman", ykmanVersion.toUtf8() + "\n");
    }
    if (withOpensc)
        tools.install("pkcs11-tool");
    if (withOsslsigncode)
        tools.linkReal("osslsigncode");

    MainWindow window;
    window.show(); // ykman is asked once the window is on screen
    QTRY_COMPARE(label(window, "toolsLabel")->text(), expected);
    if (!ykmanVersion.isNull())
        QCOMPARE(tools.arguments("ykman", 1), QStringList{"--version"});
}

void StatusBarTest::versionProbeDoesNotHoldTheWindow()
{
    FakeTools tools(false);
    for (const char* helper : {"cat", "basename", "dirname", "readlink", "sleep"})
        tools.linkReal(helper);
    tools.install("ykman");
    tools.answer("ykman", "YubiKey Manager (ykman) version: 5.7.1\n");
    // ykman answers only when the test lets it, so the window is built while
    // it is certainly still running, however loaded the machine.
    const QString release = home->path() + "/release-ykman";
    tools.setHook("ykman", QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done").arg(release));

    MainWindow window;
    QLabel* toolsLabel = label(window, "toolsLabel");
    QCOMPARE(toolsLabel->text(), QString());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Heartbeat heartbeat;
    QTRY_COMPARE(tools.callCount("ykman"), 1);
    QCOMPARE(toolsLabel->text(), QString());
    QTest::qWait(300);
    QVERIFY(QFile(release).open(QIODevice::WriteOnly));
    QTRY_COMPARE(toolsLabel->text(), QStringLiteral("ykman 5.7.1 | opensc: missing"));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(tools.arguments("ykman", 1), QStringList{"--version"});
}

void StatusBarTest::hotplugNotices()
{
    FidoDeviceManager::setManifestSource([this] {
        FidoDeviceManager::Manifest manifest;
        for (int i = 0; i < keyCount; ++i)
            manifest.entries.append({QStringLiteral("/dev/hidraw-ot-absent-%1").arg(i),
                                     QStringLiteral("Key %1").arg(i), QStringLiteral("Test"),
                                     0x1050, 0x0407});
        return manifest;
    });
    keyCount = 1;
    MainWindow window;
    // Long enough to outlast a listing on a busy machine.
    window.hotplugNoticeMs = 1500;
    QVERIFY(keysListed(window));
    // Only the refreshes below list the keys.
    window.findChild<QTimer*>(QStringLiteral("pollTimer"))->stop();
    QLabel* status = label(window, "statusLabel");

    // Keys present at start raise no notice.
    QCOMPARE(label(window, "deviceCountLabel")->text(), QStringLiteral("Devices: 1"));
    QCOMPARE(status->text(), QStringLiteral("Ready"));
    QVERIFY(hotplugLines(window).isEmpty());

    keyCount = 2;
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(label(window, "deviceCountLabel")->text(), QStringLiteral("Devices: 2"));
    QCOMPARE(status->text(), QStringLiteral("Device connected (2 total)"));
    QCOMPARE(status->styleSheet(), QStringLiteral("font-weight: 600;"));
    QCOMPARE(status->property("tone").toString(), QStringLiteral("success"));
    QCOMPARE(hotplugLines(window),
             QStringList{"OK   | Hotplug              | USB | 1 device(s) connected"});
    // A refresh without change brings the text back at once; the colour
    // waits for the notice's own reset.
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(status->text(), QStringLiteral("Ready"));
    QCOMPARE(status->property("tone").toString(), QStringLiteral("success"));
    QTRY_COMPARE(status->styleSheet(), QString());
    QVERIFY(!status->property("tone").isValid());
    QCOMPARE(status->text(), QStringLiteral("Ready"));

    keyCount = 3;
    window.refreshDevices();
    QVERIFY(keysListed(window));
    keyCount = 1;
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(status->text(), QStringLiteral("Device disconnected (1 total)"));
    QCOMPARE(status->styleSheet(), QStringLiteral("font-weight: 600;"));
    QCOMPARE(status->property("tone").toString(), QStringLiteral("warning"));
    QCOMPARE(hotplugLines(window).last(),
             QStringLiteral("OK   | Hotplug              | USB | 2 device(s) removed"));
    QTRY_COMPARE(status->styleSheet(), QString());
    QCOMPARE(status->text(), QStringLiteral("Ready"));
    QVERIFY(!status->property("tone").isValid());
}

OT_TEST_MAIN(StatusBarTest)
#include "tst_statusbar.moc"
