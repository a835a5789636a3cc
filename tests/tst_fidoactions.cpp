// The window's FIDO2 actions, answered through their dialogs as a person
// would, against software authenticators reached through the real libfido2.
#include "app/MainWindow.h"
#include "fido/FidoDeviceManager.h"

#include "ModalDriver.h"
#include "SoftFidoBus.h"
#include "TestHome.h"
#include "WindowPages.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <functional>
#include <memory>

class FidoActionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void noKeySelected_data();
    void noKeySelected();
    void dialogs_data();
    void dialogs();
    void emptyKeyIsNotAWrongPin();
    void deleteByTheWholeId();
    void deleteStops_data();
    void deleteStops();
    void resetConfirmation_data();
    void resetConfirmation();
    void keyListChangedBeforeTheCall_data();
    void keyListChangedBeforeTheCall();
    void keyThatStopsAnswering();

private:
    std::unique_ptr<TestHome> home;
};

namespace {

const QString product = QStringLiteral("Soft FIDO2 Key");

SoftFidoBus::Key keyAt(const QString& path, const QString& name = product)
{
    SoftFidoBus::Key k;
    k.path = path;
    k.product = name;
    return k;
}

QTreeWidget* tree(MainWindow& window)
{
    return window.findChild<QTreeWidget*>(QStringLiteral("deviceTree"));
}

void selectRow(MainWindow& window, int row)
{
    tree(window)->setCurrentItem(tree(window)->topLevelItem(row));
}

QStringList fidoLog(MainWindow& window)
{
    const QString text = window.findChild<QTextEdit*>(QStringLiteral("fidoLogView"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// The action's audit lines as "status|op|device|detail", without time stamps;
// the window's own start and hot-plug lines are left out.
QStringList auditLines(MainWindow& window)
{
    QStringList out;
    const QString text = sessionLogView(window)->toPlainText();
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        QStringList parts = line.mid(line.indexOf(QLatin1String("] ")) + 2).split(QStringLiteral(" | "));
        for (QString& part : parts)
            part = part.trimmed();
        if (parts.size() != 4 || parts.at(1) == QLatin1String("Application Start")
            || parts.at(1) == QLatin1String("Hotplug"))
            continue;
        out << parts.join(QLatin1Char('|'));
    }
    return out;
}

// What reached the key beyond the device information every refresh reads.
QList<int> stateCommands(const SoftAuthenticator& key)
{
    QList<int> out;
    for (int command : key.commands) {
        if (command != 0x04)
            out << command;
    }
    return out;
}

// One answer to a modal: "type:<text>", "cancel", "yes", "no" or "ok".
void answer(QWidget* modal, const QString& text)
{
    if (auto* input = qobject_cast<QInputDialog*>(modal)) {
        if (text == QLatin1String("cancel")) {
            input->reject();
        } else {
            input->setTextValue(text.mid(5));
            input->accept();
        }
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        const QMessageBox::StandardButton button = text == QLatin1String("yes") ? QMessageBox::Yes
            : text == QLatin1String("no")                                       ? QMessageBox::No
                                                                                : QMessageBox::Ok;
        if (QAbstractButton* b = box->button(button))
            b->click();
    }
}

// The answers in order; `meanwhile` runs just before the last one is given,
// while its modal is on screen.
void queueAnswers(ModalDriver& driver, const QStringList& answers, const std::function<void()>& meanwhile = {})
{
    for (int i = 0; i < answers.size(); ++i) {
        const QString text = answers.at(i);
        const bool last = i == answers.size() - 1;
        driver.enqueue([text, last, meanwhile](QWidget* modal) {
            if (last && meanwhile)
                meanwhile();
            answer(modal, text);
        });
    }
}

// Every modal the action showed, as "title: text" (the label of a prompt).
QStringList shown(const ModalDriver& driver)
{
    QStringList out;
    for (int i = 0; i < driver.titles.size(); ++i)
        out << driver.titles.at(i) + QStringLiteral(": ") + driver.texts.value(i);
    return out;
}

void run(MainWindow& window, const char* slot)
{
    QVERIFY(QMetaObject::invokeMethod(&window, slot));
}

const QByteArray aliceId = QByteArray::fromHex("a1a1a1a1a1a1a1a1000000000000000000000000000000000000000000000001");
const QByteArray bobId = QByteArray::fromHex("b0b0b0b0b0b0b0b0000000000000000000000000000000000000000000000002");

// Resident credentials under two relying parties.
void addCredentials(SoftAuthenticator& key)
{
    key.credentials = {
        {aliceId, "example.com", "Example", "u1", "alice", "Alice"},
        {bobId, "example.com", "Example", "u2", "bob", QString()},
        {QByteArray::fromHex("c3c3c3c3"), "github.com", QString(), "u3", "carol", QString()},
    };
}

} // namespace

void FidoActionsTest::noKeySelected_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("negativeIndex");
    QTest::newRow("set PIN") << QByteArray("onSetPin") << "Set PIN" << false;
    QTest::newRow("change PIN") << QByteArray("onChangePin") << "Change PIN" << false;
    QTest::newRow("list") << QByteArray("onListCredentials") << "List Credentials" << false;
    QTest::newRow("delete") << QByteArray("onDeleteCredential") << "Delete Credential" << false;
    QTest::newRow("reset") << QByteArray("onResetKey") << "Factory Reset" << false;
    QTest::newRow("reset, negative index") << QByteArray("onResetKey") << "Factory Reset" << true;
}

void FidoActionsTest::noKeySelected()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, title);
    QFETCH(bool, negativeIndex);
    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    MainWindow window;
    QVERIFY(keysListed(window));
    if (negativeIndex) {
        selectRow(window, 0);
        tree(window)->currentItem()->setData(0, Qt::UserRole, -1);
    } else {
        tree(window)->setCurrentItem(nullptr);
    }
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    run(window, slot.constData());
    QCOMPARE(shown(driver), QStringList{title + QStringLiteral(": Select a device first.")});
    QVERIFY(stateCommands(key).isEmpty());
    QVERIFY(fidoLog(window).isEmpty());
    QVERIFY(auditLines(window).isEmpty());
}

void FidoActionsTest::dialogs_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QString>("presetPin");
    QTest::addColumn<bool>("credMgmt");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("modals");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("audit");
    QTest::addColumn<QString>("pinAfter"); // "" = no PIN

    const QString setPrompt = QStringLiteral("Set FIDO2 PIN: Enter new PIN (minimum 4 characters):");
    const QString tooShort = QStringLiteral("PIN must be at least 4 characters.");

    QTest::newRow("set, four characters")
        << QByteArray("onSetPin") << "" << true << QStringList{"type:1234"} << QStringList{setPrompt}
        << QStringList{"Setting PIN on Soft FIDO2 Key...", "PIN set successfully."}
        << QStringList{"OK|Set FIDO2 PIN|Soft FIDO2 Key|PIN set"} << "1234";
    QTest::newRow("set, three characters refused")
        << QByteArray("onSetPin") << "" << true << QStringList{"type:123", "ok"}
        << QStringList{setPrompt, "Set PIN: " + tooShort} << QStringList{} << QStringList{} << "";
    QTest::newRow("set, cancelled") << QByteArray("onSetPin") << "" << true << QStringList{"cancel"}
                                    << QStringList{setPrompt} << QStringList{} << QStringList{} << "";
    QTest::newRow("set, refused by libfido2")
        << QByteArray("onSetPin") << "" << true << QStringList{"type:" + QString(64, QLatin1Char('7'))}
        << QStringList{setPrompt}
        << QStringList{"Setting PIN on Soft FIDO2 Key...", "Failed to set PIN.",
                       "Set PIN failed: the new PIN is too short or breaks the key's PIN policy"}
        << QStringList{"FAIL|Set FIDO2 PIN|Soft FIDO2 Key|PIN set failed"} << "";
    QTest::newRow("set over a PIN")
        << QByteArray("onSetPin") << "1234" << true << QStringList{"ok"}
        << QStringList{"Set PIN: This key already has a PIN set. Use Change PIN instead."} << QStringList{}
        << QStringList{} << "1234";

    const QStringList changePrompts{"Change PIN: Enter current PIN:",
                                    "Change PIN: Enter new PIN (minimum 4 characters):"};
    QTest::newRow("change") << QByteArray("onChangePin") << "1234" << true
                            << QStringList{"type:1234", "type:24680"} << changePrompts
                            << QStringList{"Changing PIN on Soft FIDO2 Key...", "PIN changed successfully."}
                            << QStringList{"OK|Change FIDO2 PIN|Soft FIDO2 Key|PIN changed"} << "24680";
    QTest::newRow("change, wrong current PIN")
        << QByteArray("onChangePin") << "1234" << true << QStringList{"type:9999", "type:24680"} << changePrompts
        << QStringList{"Changing PIN on Soft FIDO2 Key...", "Failed to change PIN.",
                       QString::fromUtf8("Wrong PIN — 7 attempts left.")}
        << QStringList{"FAIL|Change FIDO2 PIN|Soft FIDO2 Key|PIN change failed"} << "1234";
    QTest::newRow("change, new PIN too short")
        << QByteArray("onChangePin") << "1234" << true << QStringList{"type:1234", "type:246", "ok"}
        << (changePrompts + QStringList{"Change PIN: " + tooShort}) << QStringList{} << QStringList{} << "1234";
    QTest::newRow("change, second prompt cancelled")
        << QByteArray("onChangePin") << "1234" << true << QStringList{"type:1234", "cancel"} << changePrompts
        << QStringList{} << QStringList{} << "1234";

    const QString listPrompt = QStringLiteral("List Credentials: Enter PIN:");
    QTest::newRow("list") << QByteArray("onListCredentials") << "1234" << true << QStringList{"type:1234"}
                          << QStringList{listPrompt}
                          << QStringList{"Listing credentials on Soft FIDO2 Key...", "  RP: example.com (Example)",
                                         "  RP: github.com"}
                          << QStringList{} << "1234";
    QTest::newRow("list, wrong PIN")
        << QByteArray("onListCredentials") << "1234" << true << QStringList{"type:0000"} << QStringList{listPrompt}
        << QStringList{"Listing credentials on Soft FIDO2 Key...", QString::fromUtf8("Wrong PIN — 7 attempts left.")}
        << QStringList{} << "1234";
    QTest::newRow("list without credential management")
        << QByteArray("onListCredentials") << "1234" << false << QStringList{} << QStringList{}
        << QStringList{"Soft FIDO2 Key does not support credential management (requires FIDO 2.1)."}
        << QStringList{} << "1234";
    QTest::newRow("delete without credential management")
        << QByteArray("onDeleteCredential") << "1234" << false << QStringList{} << QStringList{}
        << QStringList{"Soft FIDO2 Key does not support credential management (needs FIDO 2.1)."}
        << QStringList{} << "1234";
}

void FidoActionsTest::dialogs()
{
    QFETCH(QByteArray, slot);
    QFETCH(QString, presetPin);
    QFETCH(bool, credMgmt);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, modals);
    QFETCH(QStringList, log);
    QFETCH(QStringList, audit);
    QFETCH(QString, pinAfter);

    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(presetPin);
    addCredentials(key);
    if (!credMgmt)
        key.info.options = {{QStringLiteral("rk"), true}, {QStringLiteral("clientPin"), false}};
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);

    ModalDriver driver;
    queueAnswers(driver, answers);
    run(window, slot.constData());
    QCOMPARE(shown(driver), modals);
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(fidoLog(window), log);
    QCOMPARE(auditLines(window), audit);
    QCOMPARE(key.hasPin(), !pinAfter.isEmpty());
    if (!pinAfter.isEmpty())
        QVERIFY(key.pinIs(pinAfter));
    QCOMPARE(key.credentials.size(), 3);
    if (log.isEmpty()) // refused and cancelled: the key never hears of it
        QVERIFY(stateCommands(key).isEmpty());
    // A set PIN shows on the page once the keys are listed again.
    QVERIFY(keysListed(window));
    QCOMPARE(tree(window)->topLevelItem(0)->text(5), pinAfter.isEmpty() ? QStringLiteral("No")
                                                                        : QStringLiteral("Yes"));
}

void FidoActionsTest::emptyKeyIsNotAWrongPin()
{
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0"))).presetPin(QStringLiteral("1234"));
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);
    ModalDriver driver;
    queueAnswers(driver, {"type:1234", "type:1234"});
    run(window, "onListCredentials");
    run(window, "onDeleteCredential");
    QCOMPARE(fidoLog(window), (QStringList{"Listing credentials on Soft FIDO2 Key...", "No resident credentials found.",
                                           "Listing credentials to select for deletion...",
                                           "No resident credentials found."}));
}

void FidoActionsTest::deleteByTheWholeId()
{
    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(QStringLiteral("1234"));
    addCredentials(key);
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);

    ModalDriver driver;
    queueAnswers(driver, {"type:1234", "type:example.com (Example)", "yes", "type:bob [b0b0b0b0b0b0b0b0...]"});
    run(window, "onDeleteCredential");
    QCOMPARE(shown(driver),
             (QStringList{"Delete Credential: Enter PIN:", "Delete Credential: Select relying party:",
                          "Delete Credential: Delete credential for:\n\n  example.com (Example)\n\nThis cannot be undone.",
                          "Delete Credential: Select credential to delete:"}));
    QCOMPARE(fidoLog(window), (QStringList{"Listing credentials to select for deletion...",
                                           "Credential deleted: bob [b0b0b0b0b0b0b0b0...]"}));
    QCOMPARE(auditLines(window), QStringList{"OK|FIDO2 Delete Cred|Soft FIDO2 Key|example.com (Example)"});
    QCOMPARE(key.credentials.size(), 2);
    QCOMPARE(key.credentials.at(0).id, aliceId);
    QCOMPARE(key.credentials.at(1).rpId, QStringLiteral("github.com"));
}

void FidoActionsTest::deleteStops_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("twins");      // two credentials whose lines read the same
    QTest::addColumn<bool>("vanishes");   // the chosen credential is gone before the deletion
    QTest::addColumn<QStringList>("log"); // after the first line
    QTest::addColumn<QStringList>("audit");

    const QString chooseBob = QStringLiteral("type:bob [b0b0b0b0b0b0b0b0...]");
    QTest::newRow("wrong PIN") << QStringList{"type:0000"} << false << false
                               << QStringList{QString::fromUtf8("Wrong PIN — 7 attempts left.")} << QStringList{};
    QTest::newRow("party choice cancelled")
        << QStringList{"type:1234", "cancel"} << false << false << QStringList{} << QStringList{};
    QTest::newRow("not confirmed") << QStringList{"type:1234", "type:example.com (Example)", "no"} << false << false
                                   << QStringList{} << QStringList{};
    QTest::newRow("credential choice cancelled")
        << QStringList{"type:1234", "type:example.com (Example)", "yes", "cancel"} << false << false
        << QStringList{} << QStringList{};
    QTest::newRow("two lines alike") << QStringList{"type:1234", "type:example.com (Example)", "yes", chooseBob}
                                     << true << false << QStringList{"Could not extract credential ID."}
                                     << QStringList{};
    QTest::newRow("deletion fails")
        << QStringList{"type:1234", "type:example.com (Example)", "yes", chooseBob} << false << true
        << QStringList{"Credential deletion failed.", "Delete failed: the key holds no such credential"}
        << QStringList{"FAIL|FIDO2 Delete Cred|Soft FIDO2 Key|example.com (Example)"};
}

void FidoActionsTest::deleteStops()
{
    QFETCH(QStringList, answers);
    QFETCH(bool, twins);
    QFETCH(bool, vanishes);
    QFETCH(QStringList, log);
    QFETCH(QStringList, audit);

    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(QStringLiteral("1234"));
    addCredentials(key);
    if (twins) {
        QByteArray twinId = bobId;
        twinId[31] = 0x7f;
        key.credentials.append({twinId, "example.com", "Example", "u4", "bob", QString()});
    }
    const int stored = key.credentials.size();
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);

    ModalDriver driver;
    // Deleted elsewhere while the list is on screen.
    queueAnswers(driver, answers, [&] {
        if (vanishes)
            key.credentials.removeAt(1);
    });
    run(window, "onDeleteCredential");
    QCOMPARE(fidoLog(window), QStringList{"Listing credentials to select for deletion..."} + log);
    QCOMPARE(auditLines(window), audit);
    QCOMPARE(key.credentials.size(), vanishes ? stored - 1 : stored);
}

void FidoActionsTest::resetConfirmation_data()
{
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("audit");
    QTest::addColumn<int>("resets");

    const QString notMatched = QString::fromUtf8("Factory reset cancelled — confirmation not matched.");
    QTest::newRow("declined") << QStringList{"no"} << true << QStringList{} << QStringList{} << 0;
    QTest::newRow("leading blank") << QStringList{"yes", "type: RESET"} << true << QStringList{notMatched}
                                   << QStringList{} << 0;
    QTest::newRow("lower case") << QStringList{"yes", "type:reset"} << true << QStringList{notMatched}
                                << QStringList{} << 0;
    QTest::newRow("cancelled") << QStringList{"yes", "cancel"} << true << QStringList{notMatched} << QStringList{}
                               << 0;
    QTest::newRow("reset") << QStringList{"yes", "type:RESET"} << true
                           << QStringList{"Factory resetting Soft FIDO2 Key...",
                                          "Factory reset complete. All credentials erased."}
                           << QStringList{"FAIL|Factory Reset FIDO2|Soft FIDO2 Key|Executing...",
                                          "OK|Factory Reset FIDO2|Soft FIDO2 Key|Complete"}
                           << 1;
    QTest::newRow("refused by the key")
        << QStringList{"yes", "type:RESET"} << false
        << QStringList{"Factory resetting Soft FIDO2 Key...", "Factory reset FAILED.",
                       "  The key must be unplugged and replugged within 10 seconds",
                       "  before the reset command will be accepted.",
                       QString::fromUtf8("Factory reset failed: the key allows a reset only in the first seconds after it is plugged in \u2014 remove and re-insert it, then reset at once")}
        << QStringList{"FAIL|Factory Reset FIDO2|Soft FIDO2 Key|Executing...",
                       QString::fromUtf8("FAIL|Factory Reset FIDO2|Soft FIDO2 Key|Failed — key must be replugged within 10s")}
        << 0;
}

void FidoActionsTest::resetConfirmation()
{
    QFETCH(QStringList, answers);
    QFETCH(bool, allowed);
    QFETCH(QStringList, log);
    QFETCH(QStringList, audit);
    QFETCH(int, resets);

    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(QStringLiteral("1234"));
    addCredentials(key);
    key.resetAllowed = allowed;
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);

    ModalDriver driver;
    queueAnswers(driver, answers);
    run(window, "onResetKey");
    QCOMPARE(driver.titles.value(0), QString::fromUtf8("FACTORY RESET — DESTRUCTIVE OPERATION"));
    QVERIFY(driver.texts.value(0).startsWith(QStringLiteral("WARNING: This is a last-resort operation.\n\n"
                                                            "You are about to factory reset:\n"
                                                            "  Device:  Soft FIDO2 Key\n"
                                                            "  Maker:   Ostrevan Test\n"
                                                            "  Profile: YubiKey 5Ci (5.4.x)\n\n")));
    if (answers.size() > 1)
        QCOMPARE(shown(driver).value(1),
                 QStringLiteral("Confirm Factory Reset: Type RESET to confirm factory reset of Soft FIDO2 Key:"));
    QCOMPARE(fidoLog(window), log);
    QCOMPARE(auditLines(window), audit);
    QCOMPARE(key.resetCount, resets);
    QCOMPARE(key.credentials.isEmpty(), resets == 1);
    QVERIFY(keysListed(window));
    QCOMPARE(tree(window)->topLevelItem(0)->text(5), resets == 1 ? QStringLiteral("No") : QStringLiteral("Yes"));
}

void FidoActionsTest::keyListChangedBeforeTheCall_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QStringList>("answers"); // the list changes while the last one is on screen
    QTest::addColumn<QString>("change");      // "insert", "remove", "swap" or "none"
    QTest::addColumn<bool>("poll");           // the poll runs before the last answer
    QTest::addColumn<bool>("proceeds");

    const QStringList reset{"yes", "type:RESET"};
    QTest::newRow("reset, key inserted in front") << QByteArray("onResetKey") << reset << "insert" << true << false;
    QTest::newRow("reset, key pulled out") << QByteArray("onResetKey") << reset << "remove" << true << false;
    QTest::newRow("reset, key pulled out, no poll") << QByteArray("onResetKey") << reset << "remove" << false
                                                    << false;
    // Linux gives a freed hidraw number to the next key plugged in.
    QTest::newRow("reset, another model at the same path")
        << QByteArray("onResetKey") << reset << "swap" << true << false;
    QTest::newRow("reset, another model at the same path, no poll")
        << QByteArray("onResetKey") << reset << "swap" << false << false;
    QTest::newRow("reset, same keys") << QByteArray("onResetKey") << reset << "none" << true << true;
    QTest::newRow("change PIN, key inserted in front")
        << QByteArray("onChangePin") << QStringList{"type:1234", "type:24680"} << "insert" << true << false;
    QTest::newRow("change PIN, another model at the same path")
        << QByteArray("onChangePin") << QStringList{"type:1234", "type:24680"} << "swap" << false << false;
    QTest::newRow("delete, key inserted in front")
        << QByteArray("onDeleteCredential")
        << QStringList{"type:1234", "type:example.com (Example)", "yes", "type:bob [b0b0b0b0b0b0b0b0...]"}
        << "insert" << true << false;
}

void FidoActionsTest::keyListChangedBeforeTheCall()
{
    QFETCH(QByteArray, slot);
    QFETCH(QStringList, answers);
    QFETCH(QString, change);
    QFETCH(bool, poll);
    QFETCH(bool, proceeds);

    SoftFidoBus bus;
    SoftAuthenticator& first = bus.plug(keyAt(QStringLiteral("/dev/hidraw0"), QStringLiteral("First Key")));
    first.presetPin(QStringLiteral("1234"));
    addCredentials(first);
    // The first key stays alive when pulled out, to see that nothing reached it.
    SoftAuthenticator* pulled = &first;
    std::unique_ptr<SoftAuthenticator> kept;
    SoftAuthenticator* other = nullptr;
    MainWindow window;
    QVERIFY(keysListed(window));
    selectRow(window, 0);

    ModalDriver driver;
    queueAnswers(driver, answers, [&] {
        if (change == QLatin1String("insert")) {
            other = &bus.plug(keyAt(QStringLiteral("/dev/hidraw7"), QStringLiteral("Second Key")), 0);
        } else if (change == QLatin1String("remove") || change == QLatin1String("swap")) {
            // Keep what the first key holds to compare after it is gone.
            kept = std::make_unique<SoftAuthenticator>();
            kept->credentials = first.credentials;
            kept->presetPin(QStringLiteral("1234"));
            pulled = kept.get();
            bus.unplug(QStringLiteral("/dev/hidraw0"));
            if (change == QLatin1String("swap")) {
                SoftFidoBus::Key model = keyAt(QStringLiteral("/dev/hidraw0"), QStringLiteral("Other Model"));
                model.manufacturer = QStringLiteral("Other Maker");
                model.vendorId = 0x20a0;
                model.productId = 0x42b1;
                other = &bus.plug(model);
                other->info.aaguid = QByteArray::fromHex("ee882879721c491397753dfcce97072a");
            }
        }
        if (other) {
            other->presetPin(QStringLiteral("1234"));
            addCredentials(*other);
        }
        if (poll) {
            window.refreshDevices();
            keysListed(window);
        }
    });
    run(window, slot.constData());
    QCOMPARE(driver.pending(), 0);

    const QString cancelled = QString::fromUtf8("Device list changed — operation cancelled.");
    if (proceeds) {
        QCOMPARE(first.resetCount, 1);
        QVERIFY(!fidoLog(window).contains(cancelled));
        return;
    }
    QCOMPARE(fidoLog(window).value(fidoLog(window).size() - 1), cancelled);
    QVERIFY(auditLines(window).isEmpty());
    if (other) {
        QVERIFY(stateCommands(*other).isEmpty()); // not even a PIN attempt
        QCOMPARE(other->resetCount, 0);
        QVERIFY(other->pinIs(QStringLiteral("1234")));
        QCOMPARE(other->credentials.size(), 3);
    }
    QCOMPARE(pulled->resetCount, 0);
    QVERIFY(pulled->pinIs(QStringLiteral("1234")));
    QCOMPARE(pulled->credentials.size(), 3);
}

void FidoActionsTest::keyThatStopsAnswering()
{
    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    MainWindow window;
    QVERIFY(keysListed(window));
    auto* manager = window.findChild<FidoDeviceManager*>();
    manager->infoTimeoutMs = 200;
    selectRow(window, 0);

    // The key hangs while its PIN prompt is open: the action ends with the
    // time-out, and the key never gets the PIN.
    ModalDriver driver;
    queueAnswers(driver, {"type:1234"}, [&] { key.answering = false; });
    run(window, "onSetPin");
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(fidoLog(window),
             QStringList{"Reading device information of /dev/hidraw0 timed out: the key did not answer within 0.2 s"});
    QVERIFY(auditLines(window).isEmpty());
    QVERIFY(!key.hasPin());

    // The poll goes on and keeps the key listed, as far as the bus knows it.
    window.refreshDevices();
    QVERIFY(keysListed(window));
    QCOMPARE(tree(window)->topLevelItemCount(), 1);
    QCOMPARE(tree(window)->topLevelItem(0)->text(0), product);
    QCOMPARE(tree(window)->topLevelItem(0)->text(3), QStringLiteral("N/A"));
    // Never a wait without a limit, from the window's first poll on.
    for (int limit : bus.readLimits())
        QVERIFY2(limit >= 0 && limit <= manager->touchTimeoutMs, qPrintable(QString::number(limit)));
    QCOMPARE(bus.opens(), bus.closes());
}

OT_TEST_MAIN(FidoActionsTest)
#include "tst_fidoactions.moc"
