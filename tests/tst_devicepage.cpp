// The Device Inspector page: the key list as libfido2 reports it from
// software authenticators, its refresh, and the context menu built from the
// catalogue's script with the actions its labels lead to.
#include "app/MainWindow.h"
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"

#include "Heartbeat.h"
#include "ModalDriver.h"
#include "SoftFidoBus.h"
#include "TestHome.h"
#include "WidgetLookup.h"
#include "WindowPages.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <functional>
#include <memory>

class DevicePageTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void pageLayout();
    void noKeyConnected();
    void rows_data();
    void rows();
    void selectionStaysOnIndexAfterRefresh();
    void listingsOneAtATime();
    void silentKeyNeverHoldsTheWindow();
    void clickShowsKeyUnlessStale();
    void detailsOpenTheConfigurationDialog_data();
    void detailsOpenTheConfigurationDialog();

    void menuFollowsTheScript();
    void resetLabelsReachTheReset_data();
    void resetLabelsReachTheReset();
    void signingLabelsReachTheSigningPage_data();
    void signingLabelsReachTheSigningPage();
    void labelsWithoutActionPointAtAPage_data();
    void labelsWithoutActionPointAtAPage();
    void serialAndConstraints();
    void menuActionDroppedWhenListChanged();

private:
    std::unique_ptr<TestHome> home;
};

namespace {

SoftFidoBus::Key key(const QString& path, const QString& product, quint16 vendorId = 0x1050,
                     quint16 productId = 0x0407)
{
    SoftFidoBus::Key k;
    k.path = path;
    k.product = product;
    k.vendorId = vendorId;
    k.productId = productId;
    return k;
}

QTreeWidget* tree(MainWindow& window)
{
    return window.findChild<QTreeWidget*>(QStringLiteral("deviceTree"));
}

QString statusText(MainWindow& window)
{
    return window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text();
}

QStringList fidoLog(MainWindow& window)
{
    const QString text = window.findChild<QTextEdit*>(QStringLiteral("fidoLogView"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// Audit lines as "status|op|device|detail", without their time stamps.
QStringList auditLines(MainWindow& window, const QString& op)
{
    QStringList out;
    const QString text = sessionLogView(window)->toPlainText();
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        QStringList parts = line.mid(line.indexOf(QLatin1String("] ")) + 2).split(QStringLiteral(" | "));
        for (QString& part : parts)
            part = part.trimmed();
        if (parts.size() == 4 && parts.at(1) == op)
            out << parts.join(QLatin1Char('|'));
    }
    return out;
}

// A double-click as a person makes it: press and release, then the second press.
void doubleClickRow(QTreeWidget* view, int row)
{
    const QPoint pos = view->visualItemRect(view->topLevelItem(row)).center();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pos);
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, pos);
}

QString colourName(const QTreeWidgetItem* item, int column)
{
    const QVariant brush = item->data(column, Qt::ForegroundRole);
    return brush.isValid() ? brush.value<QBrush>().color().name() : QString();
}

// Right-clicks the device row; see runTreeContextMenu.
bool runContextMenu(MainWindow& window, int row, const QStringList& path,
                    const std::function<void(QMenu*)>& inspect = {})
{
    return runTreeContextMenu(tree(window), row, path, inspect);
}

} // namespace

void DevicePageTest::pageLayout()
{
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Soft FIDO2 Key")));
    MainWindow window;
    QVERIFY(keysListed(window));
    QTreeWidget* view = tree(window);
    QVERIFY(view);
    QStringList headers;
    for (int c = 0; c < view->columnCount(); ++c)
        headers << view->headerItem()->text(c);
    QCOMPARE(headers, (QStringList{"Device", "Manufacturer", "Profile", "Firmware", "FIDO Version", "PIN", "PIV",
                                   "Credentials", "Transport"}));
    QCOMPARE(view->columnWidth(0), 180);
    QCOMPARE(view->columnWidth(1), 110);
    QCOMPARE(view->columnWidth(2), 160);
    QCOMPARE(view->contextMenuPolicy(), Qt::CustomContextMenu);
    QVERIFY(!view->rootIsDecorated());

    auto* page = window.findChild<QTabWidget*>()->widget(MainWindow::DeviceInspectorPage);
    QVERIFY(page->isAncestorOf(view));
    auto* hint = page->findChild<QLabel*>(QStringLiteral("warningStatus"));
    QVERIFY(hint);
    QCOMPARE(hint->text(), QStringLiteral("Double-click device for details. Right-click for actions."));
    auto* log = page->findChild<QTextEdit*>(QStringLiteral("fidoLogView"));
    QVERIFY(log);
    QVERIFY(log->isReadOnly());
    QVERIFY(log->font().fixedPitch());
}

void DevicePageTest::noKeyConnected()
{
    SoftFidoBus bus;
    MainWindow window;
    QVERIFY(keysListed(window));
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(tree(window)->topLevelItemCount(), 0);
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("deviceCountLabel"))->text(), QStringLiteral("Devices: 0"));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void DevicePageTest::rows_data()
{
    QTest::addColumn<quint16>("vendorId");
    QTest::addColumn<quint16>("productId");
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<qint64>("firmware"); // -1: not reported
    QTest::addColumn<bool>("pinSet");
    QTest::addColumn<QStringList>("transports");
    QTest::addColumn<QStringList>("cells");   // columns 1 to 8; column 0 is the product
    QTest::addColumn<QStringList>("colours"); // "" for the default colour

    QTest::newRow("unknown key, FIDO 2.1, no PIN")
        << quint16(0x1234) << quint16(0x0001) << QStringList{"FIDO_2_0", "FIDO_2_1"} << qint64(-1) << false
        << QStringList{"usb"}
        << QStringList{"Ostrevan Test", "Generic FIDO2 Device", "N/A", "FIDO_2_1", "No", "No", "N/A", "usb"}
        << QStringList{"", "#0ea5e9", "#94a3b8", "#22c55e", "#f59e0b", "#94a3b8", "", ""};
    QTest::newRow("YubiKey 5.4, preview, PIN, two transports")
        << quint16(0x1050) << quint16(0x0407) << QStringList{"FIDO_2_1_PRE"} << qint64(0x050403) << true
        << QStringList{"usb", "nfc"}
        << QStringList{"Ostrevan Test", "YubiKey 5Ci (5.4.x)", "5.4.3", "FIDO_2_1_PRE", "Yes", "YKMAN", "N/A",
                       "usb, nfc"}
        << QStringList{"", "#0ea5e9", "#94a3b8", "#0ea5e9", "#22c55e", "#22c55e", "", ""};
    QTest::newRow("Hirsch, FIDO 2.0, no transports")
        << quint16(0x04e6) << quint16(0x5a11) << QStringList{"U2F_V2", "FIDO_2_0"} << qint64(0x020603) << false
        << QStringList{}
        << QStringList{"Ostrevan Test", "Hirsch uTrust FIDO2 Gov", "2.6.3", "FIDO_2_0", "No", "OPENSC", "N/A", "USB"}
        << QStringList{"", "#0ea5e9", "#94a3b8", "#94a3b8", "#f59e0b", "#22c55e", "", ""};
    QTest::newRow("U2F only") << quint16(0x1234) << quint16(0x0001) << QStringList{} << qint64(-1) << false
                              << QStringList{"usb"}
                              << QStringList{"Ostrevan Test", "Generic FIDO2 Device", "N/A", "U2F", "No", "No",
                                             "N/A", "usb"}
                              << QStringList{"", "#0ea5e9", "#94a3b8", "#94a3b8", "#f59e0b", "#94a3b8", "", ""};
}

void DevicePageTest::rows()
{
    QFETCH(quint16, vendorId);
    QFETCH(quint16, productId);
    QFETCH(QStringList, versions);
    QFETCH(qint64, firmware);
    QFETCH(bool, pinSet);
    QFETCH(QStringList, transports);
    QFETCH(QStringList, cells);
    QFETCH(QStringList, colours);

    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("First Key")));
    SoftAuthenticator& soft = bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("Key <b>&amp;"),
                                           vendorId, productId));
    soft.info.versions = versions;
    soft.info.firmwareVersion.reset();
    if (firmware >= 0)
        soft.info.firmwareVersion = static_cast<quint64>(firmware);
    if (pinSet)
        soft.presetPin(QStringLiteral("1234"));
    soft.info.transports = transports;

    MainWindow window;
    QVERIFY(keysListed(window));
    QTreeWidget* view = tree(window);
    QCOMPARE(view->topLevelItemCount(), 2);
    const QTreeWidgetItem* item = view->topLevelItem(1);
    QCOMPARE(item->childCount(), 0);
    QCOMPARE(item->data(0, Qt::UserRole).toInt(), 1);
    QCOMPARE(view->topLevelItem(0)->data(0, Qt::UserRole).toInt(), 0);
    QCOMPARE(item->text(0), QStringLiteral("Key <b>&amp;"));
    QCOMPARE(colourName(item, 0), QString());
    for (int c = 1; c < 9; ++c) {
        QCOMPARE(item->text(c), cells.at(c - 1));
        QCOMPARE(colourName(item, c), colours.at(c - 1));
    }
}

void DevicePageTest::selectionStaysOnIndexAfterRefresh()
{
    SoftFidoBus bus;
    for (int i = 0; i < 3; ++i)
        bus.plug(key(QStringLiteral("/dev/hidraw%1").arg(i), QStringLiteral("Key %1").arg(i)));
    MainWindow window;
    QVERIFY(keysListed(window));
    QTreeWidget* view = tree(window);
    view->setCurrentItem(view->topLevelItem(1));

    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(view->topLevelItemCount(), 3);
    QVERIFY(view->currentItem());
    QCOMPARE(view->currentItem()->data(0, Qt::UserRole).toInt(), 1);
    QCOMPARE(view->currentItem()->text(0), QStringLiteral("Key 1"));

    // The selection follows the position, not the key.
    bus.plug(key(QStringLiteral("/dev/hidraw9"), QStringLiteral("Newcomer")), 0);
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(view->topLevelItemCount(), 4);
    QCOMPARE(view->currentItem()->data(0, Qt::UserRole).toInt(), 1);
    QCOMPARE(view->currentItem()->text(0), QStringLiteral("Key 0"));

    // Nothing selected stays nothing selected.
    view->setCurrentItem(nullptr);
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QVERIFY(!view->currentItem());
}

// Polls that come while a listing runs are skipped; a refresh asked for
// meanwhile (the end of an operation) runs once, after it.
void DevicePageTest::listingsOneAtATime()
{
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    SoftAuthenticator& silent = bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("Key 1")));
    MainWindow window;
    QVERIFY(keysListed(window));
    auto* manager = window.findChild<FidoDeviceManager*>();
    manager->infoTimeoutMs = 300;
    bus.withAuthenticators([&] { silent.answering = false; });
    QSignalSpy listings(manager, &FidoDeviceManager::enumerated);

    auto* poll = window.findChild<QTimer*>(QStringLiteral("pollTimer"));
    QCOMPARE(poll->interval(), 3000);
    QElapsedTimer clock;
    clock.start();
    poll->start(20);
    QTest::qWait(1500);
    poll->stop();
    QVERIFY(keysListed(window));
    // Each listing waits out the silent key; the ticks in between start none.
    QVERIFY2(listings.count() >= 1 && listings.count() <= clock.elapsed() / 300 + 1,
             qPrintable(QString::number(listings.count())));
    QCOMPARE(manager->deviceAt(1)->notAnswering, true);

    listings.clear();
    window.refreshDevices();
    QVERIFY(manager->isEnumerating());
    window.refreshDevices();
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QTest::qWait(100);
    QCOMPARE(listings.count(), 2);
}

// A key that does not answer is listed as such, and the window keeps
// answering while the poll waits for it.
void DevicePageTest::silentKeyNeverHoldsTheWindow()
{
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    SoftAuthenticator& silent = bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("Key 1")));
    SoftAuthenticator& other = bus.plug(key(QStringLiteral("/dev/hidraw2"), QStringLiteral("Key 2")));
    silent.answering = false;
    other.answering = false;
    // Not a first start: nothing but the listings runs once the window is up.
    QVERIFY(profileStored());
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Heartbeat heartbeat;
    auto* manager = window.findChild<FidoDeviceManager*>();
    QSignalSpy listings(manager, &FidoDeviceManager::enumerated);
    window.findChild<QTimer*>(QStringLiteral("pollTimer"))->start(100);
    // Each listing waits the whole limit twice: several polls' worth.
    QTRY_VERIFY_WITH_TIMEOUT(listings.count() >= 2, 30000);
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));

    QTreeWidget* view = tree(window);
    QCOMPARE(view->topLevelItemCount(), 3);
    QCOMPARE(view->topLevelItem(0)->text(4), QStringLiteral("FIDO_2_1"));
    for (int row : {1, 2}) {
        QCOMPARE(view->topLevelItem(row)->text(4), QStringLiteral("Not answering"));
        QCOMPARE(colourName(view->topLevelItem(row), 4), QStringLiteral("#f59e0b"));
        QVERIFY(!view->topLevelItem(row)->toolTip(4).isEmpty());
    }
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("deviceCountLabel"))->text(), QStringLiteral("Devices: 3"));
    window.findChild<QTimer*>(QStringLiteral("pollTimer"))->stop();
    QVERIFY(keysListed(window));
}

void DevicePageTest::clickShowsKeyUnlessStale()
{
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    // What a key says its name is, is shown as written, never as markup.
    bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("<b>Key</b> 1")));
    MainWindow window;
    QVERIFY(keysListed(window));
    QTreeWidget* view = tree(window);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualItemRect(view->topLevelItem(1)).center());
    QCOMPARE(statusText(window), QStringLiteral("Selected: <b>Key</b> 1 (Ostrevan Test)"));
    auto* label = window.findChild<QLabel*>(QStringLiteral("statusLabel"));
    QVERIFY(label->textFormat() == Qt::PlainText || !Qt::mightBeRichText(label->text()));

    // The key was pulled out and the manager knows it, but the page was not
    // rebuilt yet: its row names no key any more.
    bus.unplug(QStringLiteral("/dev/hidraw1"));
    window.findChild<FidoDeviceManager*>()->enumerate();
    window.findChild<QLabel*>(QStringLiteral("statusLabel"))->setText(QStringLiteral("Ready"));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualItemRect(view->topLevelItem(1)).center());
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
    ModalDriver driver;
    doubleClickRow(view, 1);
    QVERIFY(driver.titles.isEmpty());
    QVERIFY(!runContextMenu(window, 1, {}));
    QCOMPARE(statusText(window), QStringLiteral("Ready"));
}

void DevicePageTest::detailsOpenTheConfigurationDialog_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::newRow("double-click") << false;
    QTest::newRow("Device Details...") << true;
}

void DevicePageTest::detailsOpenTheConfigurationDialog()
{
    QFETCH(bool, fromMenu);
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("Key 1")));
    MainWindow window;
    QVERIFY(keysListed(window));
    QTreeWidget* view = tree(window);
    QSignalSpy enumerations(window.findChild<FidoDeviceManager*>(), &FidoDeviceManager::devicesChanged);
    ModalDriver driver;
    // The window's device poll may run while the dialog is open.
    qsizetype whileOpen = -1;
    driver.enqueueFor<QDialog>([&](QDialog* dialog) {
        whileOpen = enumerations.count();
        dialog->reject();
    });
    if (fromMenu) {
        QVERIFY(runContextMenu(window, 1, {QStringLiteral("Device Details...")}));
    } else {
        doubleClickRow(view, 1);
    }
    QCOMPARE(driver.titles, QStringList{QString::fromUtf8("Configure — Key 1")});
    // Whatever the dialog changed shows once it closes.
    QVERIFY(whileOpen >= 0);
    QTRY_VERIFY(enumerations.count() > whileOpen);
}

void DevicePageTest::menuFollowsTheScript()
{
    SoftFidoBus bus;
    SoftAuthenticator& soft = bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 5.7")));
    soft.info.firmwareVersion = 0x050701;
    MainWindow window;
    QVERIFY(keysListed(window));
    const DeviceProfile entry =
        DeviceProfileRegistry::instance().profileFor(*window.findChild<FidoDeviceManager*>()->deviceAt(0));
    QCOMPARE(entry.name, QStringLiteral("YubiKey 5 (5.7+)"));

    const QString status = statusText(window);
    QStringList shown;
    QVERIFY(runContextMenu(window, 0, {}, [&](QMenu* menu) { shown = menuScript(menu); }));
    QCOMPARE(shown, entry.contextMenuActions());
    QVERIFY(shown.contains(QStringLiteral("SUBMENU:Applets")));
    QVERIFY(shown.contains(QStringLiteral("---")));
    // Closing the menu without a choice does nothing.
    QCOMPARE(statusText(window), status);
    QVERIFY(fidoLog(window).isEmpty());
}

void DevicePageTest::resetLabelsReachTheReset_data()
{
    QTest::addColumn<QString>("label");
    QTest::newRow("applet reset") << "Reset FIDO2 Applet...";
    QTest::newRow("factory reset") << "Factory Reset FIDO2...";
}

void DevicePageTest::resetLabelsReachTheReset()
{
    QFETCH(QString, label);
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    SoftAuthenticator& second = bus.plug(key(QStringLiteral("/dev/hidraw1"), QStringLiteral("Key 1")));
    MainWindow window;
    QVERIFY(keysListed(window));
    ModalDriver driver;
    driver.pressButton(QMessageBox::Yes);
    driver.typeText(QStringLiteral("RESET"));

    // The right-clicked row, not the one selected before, is reset.
    tree(window)->setCurrentItem(tree(window)->topLevelItem(0));
    QVERIFY(runContextMenu(window, 1, {QStringLiteral("Reset / Factory"), label}));
    QCOMPARE(driver.titles, (QStringList{QString::fromUtf8("FACTORY RESET — DESTRUCTIVE OPERATION"),
                                         QStringLiteral("Confirm Factory Reset")}));
    QVERIFY(driver.texts.at(0).contains(QStringLiteral("  Device:  Key 1\n")));
    QCOMPARE(second.resetCount, 1);
    QCOMPARE(bus.authenticator(QStringLiteral("/dev/hidraw0"))->resetCount, 0);
}

void DevicePageTest::signingLabelsReachTheSigningPage_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("title");
    QTest::newRow("sign") << "Sign File with This Key..." << "Select File to Sign";
    QTest::newRow("verify") << "Verify Signature..." << "Select File to Verify";
}

void DevicePageTest::signingLabelsReachTheSigningPage()
{
    QFETCH(QString, label);
    QFETCH(QString, title);
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    MainWindow window;
    QVERIFY(keysListed(window));
    ModalDriver driver;
    driver.reject();
    QVERIFY(runContextMenu(window, 0, {QStringLiteral("Code Signing"), label}));
    QCOMPARE(driver.titles, QStringList{title});
}

void DevicePageTest::labelsWithoutActionPointAtAPage_data()
{
    QTest::addColumn<QStringList>("path");
    QTest::addColumn<int>("page");
    QTest::newRow("harden") << QStringList{"PIV Smart Card", "Harden Device (PIN/PUK/Mgmt Key)..."} << 2;
    QTest::newRow("csr") << QStringList{"PIV Smart Card", "Generate Key + CSR..."} << 2;
    QTest::newRow("slot delete, no page") << QStringList{"PIV Smart Card", "Delete Slot Key..."} << 0;
    QTest::newRow("oath") << QStringList{"Applets", "OATH (TOTP/HOTP) Manager..."} << 5;
    QTest::newRow("piv applet reset") << QStringList{"Reset / Factory", "Reset PIV Applet..."} << 2;
    QTest::newRow("full config reset") << QStringList{"Reset / Factory", "Full Config Reset..."} << 1;
}

void DevicePageTest::labelsWithoutActionPointAtAPage()
{
    QFETCH(QStringList, path);
    QFETCH(int, page);
    SoftFidoBus bus;
    SoftAuthenticator& soft = bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 5.7")));
    soft.info.firmwareVersion = 0x050701;
    MainWindow window;
    QVERIFY(keysListed(window));
    auto* tabs = window.findChild<QTabWidget*>();
    tabs->setCurrentIndex(0);

    QVERIFY(runContextMenu(window, 0, path));
    QCOMPARE(statusText(window), path.last() + QString::fromUtf8(" — see relevant tab"));
    QCOMPARE(auditLines(window, QStringLiteral("Context Action")),
             QStringList{QStringLiteral("OK|Context Action|Key 5.7|") + path.last()});
    QCOMPARE(tabs->currentIndex(), page);
}

void DevicePageTest::serialAndConstraints()
{
    SoftFidoBus bus;
    bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0"), 0x1234, 0x0001));
    MainWindow window;
    QVERIFY(keysListed(window));
    QGuiApplication::clipboard()->clear();

    QVERIFY(runContextMenu(window, 0, {QStringLiteral("Copy Serial Number")}));
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("0102030405060708090a0b0c0d0e0f10"));
    QCOMPARE(statusText(window), QStringLiteral("Serial copied to clipboard"));

    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    QVERIFY(runContextMenu(window, 0, {QStringLiteral("View Known Constraints...")}));
    QCOMPARE(driver.titles, QStringList{QString::fromUtf8("Known Constraints — Generic FIDO2 Device")});
    QCOMPARE(driver.texts, QStringList{QString::fromUtf8("- Unknown device — only basic FIDO2 operations available\n"
                                                         "- PIV and vendor-specific features not supported\n")});
}

void DevicePageTest::menuActionDroppedWhenListChanged()
{
    SoftFidoBus bus;
    SoftAuthenticator& first = bus.plug(key(QStringLiteral("/dev/hidraw0"), QStringLiteral("Key 0")));
    MainWindow window;
    QVERIFY(keysListed(window));
    ModalDriver driver;

    // A key plugged in while the menu is open lands in front of the one
    // right-clicked, and the poll rebuilds the list before the choice is made.
    const QStringList path{QStringLiteral("Reset / Factory"), QStringLiteral("Factory Reset FIDO2...")};
    QVERIFY(runContextMenu(window, 0, path, [&](QMenu*) {
        bus.plug(key(QStringLiteral("/dev/hidraw5"), QStringLiteral("Newcomer")), 0);
        window.refreshDevices();
        QVERIFY(keysListed(window));
    }));
    QVERIFY(driver.titles.isEmpty());
    QCOMPARE(first.resetCount, 0);
    QCOMPARE(bus.authenticator(QStringLiteral("/dev/hidraw5"))->resetCount, 0);
    QCOMPARE(fidoLog(window), QStringList{QString::fromUtf8("Device list changed — operation cancelled.")});
}

OT_TEST_MAIN(DevicePageTest)
#include "tst_devicepage.moc"
