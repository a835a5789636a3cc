// FIDO2 keys: enumeration and device information through the real libfido2
// talking to software authenticators, and the catalogue of key models with
// its context-menu script.
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"

#include "Heartbeat.h"
#include "SoftFidoBus.h"
#include "TestHome.h"

#include <fido.h>

#include <QApplication>
#include <QSignalSpy>
#include <QtTest>

class FidoTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void noKeyGivesEmptyListAndChange();
    void deviceInfo_data();
    void deviceInfo();
    void recordCarriesManifestAndInfoFields();
    void pathFilter_data();
    void pathFilter();
    void manifestFailureEmptiesListSilently();
    void unreachableKeyKeepsManifestDataAndDefaults();

    void pinOperations_data();
    void pinOperations();
    void badIndexTouchesNothing();
    void staleKeyCannotBeOpened();
    void credentialLines();
    void emptyKeyIsNoFailure();
    void wrongPinCostsAnAttempt_data();
    void wrongPinCostsAnAttempt();
    void blockedPinNeedsAReset();
    void keyThatStopsAnsweringTimesOut();
    void backgroundEnumerationLeavesTheThreadFree();
    void laterListWinsOverABackgroundOne();
    void identityGuard_data();
    void identityGuard();
    void deleteUsesTheWholeId();
    void credentialIdMatching_data();
    void credentialIdMatching();
    void factoryReset();

    void hmacSecretRoundTrip_data();
    void hmacSecretRoundTrip();
    void hmacSecretNeedsTheKeysPin_data();
    void hmacSecretNeedsTheKeysPin();
    void hmacSecretRefusalsAndTimeOut();
    void holdsCredentialSendsNoPin();

    void profileFor_data();
    void profileFor();
    void genericEntries();
    void catalogueOrderAndCapabilities_data();
    void catalogueOrderAndCapabilities();
    void contextMenu_data();
    void contextMenu();
};

namespace {

SoftFidoBus::Key keyAt(const QString& path)
{
    SoftFidoBus::Key key;
    key.path = path;
    return key;
}

QString firmwareText(const FidoKeyInfo& k)
{
    return QStringLiteral("%1.%2.%3").arg(k.firmwareMajor).arg(k.firmwareMinor).arg(k.firmwarePatch);
}

} // namespace

void FidoTest::noKeyGivesEmptyListAndChange()
{
    // No bus: the real manifest, which finds nothing on this machine.
    FidoDeviceManager manager;
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 0);
    QVERIFY(manager.devices().isEmpty());
    QCOMPARE(changed.count(), 1);
    QCOMPARE(errors.count(), 0);
    QVERIFY(!manager.deviceAt(0));
}

void FidoTest::deviceInfo_data()
{
    QTest::addColumn<QStringList>("versions");
    QTest::addColumn<QStringList>("options"); // name=0|1
    QTest::addColumn<qint64>("firmware");      // -1: not reported
    QTest::addColumn<qint64>("minPin");        // -1: not reported
    QTest::addColumn<QList<int>>("algorithms");
    QTest::addColumn<QString>("fidoVersion");
    QTest::addColumn<bool>("clientPin");
    QTest::addColumn<bool>("credMgmt");
    QTest::addColumn<QString>("firmwareText");
    QTest::addColumn<int>("minPinLength");
    QTest::addColumn<QStringList>("algorithmNames");

    const QStringList plain{"rk=1", "clientPin=0"};
    const QList<int> es256{-7};
    const QStringList es256Name{"es256"};

    QTest::newRow("U2F_V2 and 2.0 gives 2.0")
        << QStringList{"U2F_V2", "FIDO_2_0"} << plain << qint64(-1) << qint64(4) << es256 << "FIDO_2_0" << false
        << false << "0.0.0" << 4 << es256Name;
    QTest::newRow("2.1 PRE and 2.1 gives 2.1")
        << QStringList{"FIDO_2_1_PRE", "FIDO_2_1"} << plain << qint64(-1) << qint64(4) << es256 << "FIDO_2_1"
        << false << false << "0.0.0" << 4 << es256Name;
    QTest::newRow("2.1 PRE alone") << QStringList{"U2F_V2", "FIDO_2_1_PRE"} << plain << qint64(-1) << qint64(4)
                                   << es256 << "FIDO_2_1_PRE" << false << false << "0.0.0" << 4 << es256Name;
    QTest::newRow("no versions gives U2F") << QStringList{} << plain << qint64(-1) << qint64(4) << es256 << "U2F"
                                           << false << false << "0.0.0" << 4 << es256Name;
    QTest::newRow("unknown versions give U2F") << QStringList{"fido_2_1", "FIDO_3"} << plain << qint64(-1)
                                               << qint64(4) << es256 << "U2F" << false << false << "0.0.0" << 4
                                               << es256Name;
    QTest::newRow("credMgmt false still counts")
        << QStringList{"FIDO_2_1"} << QStringList{"clientPin=0", "credMgmt=0"} << qint64(-1) << qint64(4) << es256
        << "FIDO_2_1" << false << true << "0.0.0" << 4 << es256Name;
    QTest::newRow("credentialMgmtPreview counts")
        << QStringList{"FIDO_2_1_PRE"} << QStringList{"credentialMgmtPreview=1"} << qint64(-1) << qint64(4) << es256
        << "FIDO_2_1_PRE" << false << true << "0.0.0" << 4 << es256Name;
    QTest::newRow("firmware 05 04 03") << QStringList{"FIDO_2_0"} << plain << qint64(0x050403) << qint64(4) << es256
                                       << "FIDO_2_0" << false << false << "5.4.3" << 4 << es256Name;
    QTest::newRow("firmware 05 04") << QStringList{"FIDO_2_0"} << plain << qint64(0x0504) << qint64(4) << es256
                                    << "FIDO_2_0" << false << false << "5.4.0" << 4 << es256Name;
    QTest::newRow("firmware 05 04 03 00") << QStringList{"FIDO_2_0"} << plain << qint64(0x05040300) << qint64(4)
                                          << es256 << "FIDO_2_0" << false << false << "5.4.3" << 4 << es256Name;
    QTest::newRow("firmware 01 00 00") << QStringList{"FIDO_2_0"} << plain << qint64(0x010000) << qint64(4) << es256
                                       << "FIDO_2_0" << false << false << "1.0.0" << 4 << es256Name;
    QTest::newRow("no minimum PIN length gives 0") << QStringList{"FIDO_2_1"} << plain << qint64(-1) << qint64(-1)
                                                   << es256 << "FIDO_2_1" << false << false << "0.0.0" << 0
                                                   << es256Name;
    QTest::newRow("minimum PIN length clamped to 255")
        << QStringList{"FIDO_2_1"} << plain << qint64(-1) << qint64(300) << es256 << "FIDO_2_1" << false << false
        << "0.0.0" << 255 << es256Name;
    QTest::newRow("COSE names in the key's order")
        << QStringList{"FIDO_2_1"} << plain << qint64(-1) << qint64(4) << QList<int>{-257, -8, -35, -7}
        << "FIDO_2_1" << false << false << "0.0.0" << 4 << QStringList{"rs256", "eddsa", "cose:-35", "es256"};
}

void FidoTest::deviceInfo()
{
    QFETCH(QStringList, versions);
    QFETCH(QStringList, options);
    QFETCH(qint64, firmware);
    QFETCH(qint64, minPin);
    QFETCH(QList<int>, algorithms);

    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.info.versions = versions;
    key.info.options.clear();
    for (const QString& option : options)
        key.info.options << qMakePair(option.section('=', 0, 0), option.section('=', 1) == QLatin1String("1"));
    key.info.firmwareVersion.reset();
    if (firmware >= 0)
        key.info.firmwareVersion = static_cast<quint64>(firmware);
    key.info.minPinLength.reset();
    if (minPin >= 0)
        key.info.minPinLength = static_cast<quint64>(minPin);
    key.info.algorithms.clear();
    for (int alg : algorithms)
        key.info.algorithms << alg;

    FidoDeviceManager manager;
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    const FidoKeyInfo info = manager.queryDeviceInfo(QStringLiteral("/dev/hidraw0"));
    QCOMPARE(changed.count() + errors.count(), 0); // a query is silent

    QTEST(info.fidoVersion, "fidoVersion");
    QCOMPARE(info.versions, versions);
    QTEST(info.clientPin, "clientPin");
    QTEST(info.credMgmt, "credMgmt");
    QTEST(firmwareText(info), "firmwareText");
    QTEST(info.minPinLength, "minPinLength");
    QTEST(info.algorithms, "algorithmNames");
    QCOMPARE(bus.opens(), 1);
    QCOMPARE(bus.closes(), 1);
}

void FidoTest::recordCarriesManifestAndInfoFields()
{
    SoftFidoBus bus;
    SoftFidoBus::Key first = keyAt(QStringLiteral("/dev/hidraw0"));
    first.product = QStringLiteral("Security Key NFC");
    first.manufacturer = QStringLiteral("Yubico");
    first.vendorId = 0x1050;
    first.productId = 0x0407;
    SoftAuthenticator& a = bus.plug(first);
    a.info.aaguid = QByteArray::fromHex("cb69481e8ff7403993ec0a2729a154a8");
    a.info.extensions = QStringList{"credProtect", "hmac-secret"};
    a.info.transports = QStringList{"nfc", "usb"};
    a.info.options = {{"authnrCfg", true}, {"largeBlobs", true}, {"plat", false}, {"clientPin", false}};
    a.presetPin(QStringLiteral("123456"));
    a.info.maxMsgSize = 0x100000000ULL; // beyond int: clamped
    a.info.maxCredCountInList = 3;

    // USB ids above 0x7fff come through libfido2 as negative 16-bit values.
    SoftFidoBus::Key second = keyAt(QStringLiteral("/dev/hidraw1"));
    second.vendorId = 0x8087;
    second.productId = 0xfffe;
    bus.plug(second);

    FidoDeviceManager manager;
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    manager.enumerate();
    QCOMPARE(changed.count(), 1);
    QCOMPARE(manager.deviceCount(), 2);
    QVERIFY(!manager.deviceAt(-1));
    QVERIFY(!manager.deviceAt(2));
    QCOMPARE(manager.deviceAt(1), &manager.devices().at(1));

    const FidoKeyInfo& k = manager.devices().at(0);
    QCOMPARE(k.devicePath, QStringLiteral("/dev/hidraw0"));
    QCOMPARE(k.product, QStringLiteral("Security Key NFC"));
    QCOMPARE(k.manufacturer, QStringLiteral("Yubico"));
    QCOMPARE(k.vendorId, quint16(0x1050));
    QCOMPARE(k.productId, quint16(0x0407));
    QCOMPARE(k.aaguid, QStringLiteral("cb69481e8ff7403993ec0a2729a154a8"));
    QCOMPARE(k.extensions, (QStringList{"credProtect", "hmac-secret"}));
    QCOMPARE(k.transports, (QStringList{"nfc", "usb"}));
    QVERIFY(k.clientPin);
    QVERIFY(k.authnrCfg);
    QVERIFY(k.largeBlobs);
    QVERIFY(!k.plat);
    QVERIFY(!k.credMgmt);
    QCOMPARE(k.maxMsgSize, 2147483647);
    QCOMPARE(k.maxCredCountInList, 3);
    QCOMPARE(k.remainingCredentials, -1);
    QVERIFY(!k.hasPiv);

    QCOMPARE(manager.devices().at(1).vendorId, quint16(0x8087));
    QCOMPARE(manager.devices().at(1).productId, quint16(0xfffe));
    QCOMPARE(bus.opens(), 2);
    QCOMPARE(bus.closes(), 2);
}

void FidoTest::pathFilter_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("hidraw") << "/dev/hidraw3" << true;
    QTest::newRow("hid prefix and more") << "/dev/hid-whatever/7" << true;
    QTest::newRow("ioreg") << "ioreg://4294971123" << true;
    QTest::newRow("usb") << "/dev/usb/hiddev0" << true;
    QTest::newRow("ioreg single slash") << "ioreg:/4294971123" << false;
    QTest::newRow("capital prefix") << "/DEV/HIDRAW0" << false;
    QTest::newRow("capital ioreg") << "IOREG://1" << false;
    QTest::newRow("leading space") << " /dev/hidraw0" << false;
    QTest::newRow("elsewhere") << "/tmp/dev/hidraw0" << false;
    QTest::newRow("nfc") << "nfc:/dev/nfc0" << false;
    QTest::newRow("empty") << "" << false;
}

void FidoTest::pathFilter()
{
    QFETCH(QString, path);
    QFETCH(bool, accepted);

    SoftFidoBus bus;
    SoftAuthenticator& questioned = bus.plug(keyAt(path));
    bus.plug(keyAt(QStringLiteral("/dev/hidraw9")));

    FidoDeviceManager manager;
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    manager.enumerate();

    QCOMPARE(changed.count(), 1);
    QCOMPARE(manager.devices().last().devicePath, QStringLiteral("/dev/hidraw9"));
    if (accepted) {
        QCOMPARE(errors.count(), 0);
        QCOMPARE(manager.deviceCount(), 2);
        QCOMPARE(manager.devices().first().devicePath, path);
        QCOMPARE(manager.devices().first().fidoVersion, QStringLiteral("FIDO_2_1"));
    } else {
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Suspicious device path rejected: ") + path);
        QCOMPARE(manager.deviceCount(), 1);
        QVERIFY(questioned.commands.isEmpty()); // never handed to the library
    }
    QCOMPARE(bus.opens(), bus.closes());
}

void FidoTest::manifestFailureEmptiesListSilently()
{
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    FidoDeviceManager manager;
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 1);

    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    bus.setManifestResult(FIDO_ERR_INTERNAL);
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 0);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Device enumeration failed: FIDO_ERR_INTERNAL"));
}

void FidoTest::unreachableKeyKeepsManifestDataAndDefaults()
{
    SoftFidoBus bus;
    SoftFidoBus::Key dead = keyAt(QStringLiteral("/dev/hidraw0"));
    dead.product = QStringLiteral("uTrust FIDO2");
    dead.manufacturer = QStringLiteral("Identiv");
    dead.vendorId = 0x04e6;
    dead.productId = 0x5a11;
    bus.plugUnreachable(dead);
    bus.plug(keyAt(QStringLiteral("/dev/hidraw1")));

    FidoDeviceManager manager;
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    manager.enumerate();
    QCOMPARE(errors.count(), 0);
    QCOMPARE(manager.deviceCount(), 2);
    const FidoKeyInfo& k = manager.devices().at(0);
    QCOMPARE(k.devicePath, QStringLiteral("/dev/hidraw0"));
    QCOMPARE(k.product, QStringLiteral("uTrust FIDO2"));
    QCOMPARE(k.manufacturer, QStringLiteral("Identiv"));
    QCOMPARE(k.vendorId, quint16(0x04e6));
    QCOMPARE(k.productId, quint16(0x5a11));
    QVERIFY(k.fidoVersion.isEmpty());
    QVERIFY(k.versions.isEmpty());
    QCOMPARE(k.minPinLength, 4);
    QCOMPARE(k.maxCredCountInList, -1);
    QCOMPARE(k.maxMsgSize, 0);
    QVERIFY(!k.credMgmt);
    QCOMPARE(manager.devices().at(1).fidoVersion, QStringLiteral("FIDO_2_1"));
    QCOMPARE(bus.opens(), bus.closes());
}

// ---- PIN, credential management and reset --------------------------------

namespace {

// One key with PIN 1234 holding credentials under three relying parties.
struct CredentialFixture
{
    SoftFidoBus bus;
    SoftAuthenticator* key = nullptr;
    FidoDeviceManager manager;
    QByteArray longId, shortId, plainId;

    CredentialFixture()
    {
        key = &bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
        key->presetPin(QStringLiteral("1234"));
        for (int i = 0; i < 32; ++i)
            longId.append(static_cast<char>(i));
        shortId = QByteArray::fromHex("deadbeef");
        plainId = QByteArray::fromHex("0102030405060708");
        key->credentials = {
            {longId, "example.com", "Example", "u1", "alice", "Alice Liddell"},
            {shortId, "example.com", "Example", "u2", "bob", ""},
            {plainId, "example.com", "Example", "u3", QString(), QString()},
            {QByteArray::fromHex("aa"), "github.com", "", "u4", "carol", QString()},
            {QByteArray::fromHex("bb"), "noname.test", QString(), "u5", QString(), "Dave"},
        };
        manager.enumerate();
    }
};

} // namespace

void FidoTest::pinOperations_data()
{
    QTest::addColumn<QString>("presetPin");
    QTest::addColumn<bool>("change");
    QTest::addColumn<QString>("oldPin");
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("pinAfter");
    QTest::newRow("set first PIN") << "" << false << "" << "1234" << true << "PIN set successfully" << "1234";
    QTest::newRow("set non-ASCII PIN") << "" << false << "" << "pässwörd" << true << "PIN set successfully"
                                       << "pässwörd";
    QTest::newRow("set over a PIN") << "1234" << false << "" << "5678" << false
                                    << "Set PIN failed: the key already has a PIN \u2014 use Change PIN" << "1234";
    QTest::newRow("set too short") << "" << false << "" << "12" << false
                                   << "Set PIN failed: the new PIN is too short or breaks the key's PIN policy" << "";
    QTest::newRow("change") << "1234" << true << "1234" << "98765" << true << "PIN changed successfully"
                            << "98765";
    QTest::newRow("change, wrong old PIN") << "1234" << true << "4321" << "98765" << false
                                           << QString::fromUtf8("Wrong PIN — 7 attempts left.") << "1234";
    QTest::newRow("change without a PIN") << "" << true << "1234" << "98765" << false
                                          << "Change PIN failed: the key has no PIN \u2014 set one first" << "";
}

void FidoTest::pinOperations()
{
    QFETCH(QString, presetPin);
    QFETCH(bool, change);
    QFETCH(QString, oldPin);
    QFETCH(QString, newPin);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    QFETCH(QString, pinAfter);

    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(presetPin);
    FidoDeviceManager manager;
    manager.enumerate();
    QSignalSpy complete(&manager, &FidoDeviceManager::operationComplete);
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);

    const bool result = change ? manager.changePin(0, oldPin, newPin) : manager.setPin(0, newPin);
    QCOMPARE(result, ok);
    if (ok) {
        QCOMPARE(complete.count(), 1);
        QCOMPARE(complete.at(0).at(0).toString(), message);
        QCOMPARE(complete.at(0).at(1).toBool(), true);
        QCOMPARE(errors.count(), 0);
    } else {
        QCOMPARE(complete.count(), 0);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), message);
    }
    QCOMPARE(key.hasPin(), !pinAfter.isEmpty());
    if (!pinAfter.isEmpty())
        QVERIFY(key.pinIs(pinAfter));
    QCOMPARE(bus.opens(), bus.closes());

    // The record keeps its PIN state until the next enumeration.
    QCOMPARE(manager.deviceAt(0)->clientPin, !presetPin.isEmpty());
    manager.enumerate();
    QCOMPARE(manager.deviceAt(0)->clientPin, !pinAfter.isEmpty());
}

void FidoTest::badIndexTouchesNothing()
{
    SoftFidoBus bus;
    SoftAuthenticator& key = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    key.presetPin(QStringLiteral("1234"));
    key.credentials = {{QByteArray::fromHex("01"), "example.com", "Example", "u", "user", "User"}};
    SoftFidoBus::Key plain = keyAt(QStringLiteral("/dev/hidraw1"));
    SoftAuthenticator& noCredMgmt = bus.plug(plain);
    noCredMgmt.info.options = {{"clientPin", true}};
    noCredMgmt.presetPin(QStringLiteral("1234"));
    noCredMgmt.credentials = key.credentials;

    FidoDeviceManager manager;
    manager.enumerate();
    QVERIFY(!manager.deviceAt(1)->credMgmt);
    const int opensBefore = bus.opens();
    QSignalSpy complete(&manager, &FidoDeviceManager::operationComplete);
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);

    for (int index : {-1, manager.deviceCount()}) {
        errors.clear();
        QVERIFY(!manager.setPin(index, QStringLiteral("5678")));
        QVERIFY(!manager.changePin(index, QStringLiteral("1234"), QStringLiteral("5678")));
        QVERIFY(!manager.factoryReset(index));
        QVERIFY(!manager.deleteCredential(index, QStringLiteral("01"), QStringLiteral("1234")));
        QCOMPARE(errors.count(), 4);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(errors.at(i).at(0).toString(), QStringLiteral("Invalid device index"));
        QCOMPARE(errors.at(3).at(0).toString(), QStringLiteral("Device does not support credential management"));
        QVERIFY(manager.listRelyingParties(index, QStringLiteral("1234")).isEmpty());
        QVERIFY(manager.listCredentials(index, QStringLiteral("example.com"), QStringLiteral("1234")).isEmpty());
    }

    // A key without credential management is refused before it is opened.
    errors.clear();
    QVERIFY(manager.listRelyingParties(1, QStringLiteral("1234")).isEmpty());
    QVERIFY(manager.listCredentials(1, QStringLiteral("example.com"), QStringLiteral("1234")).isEmpty());
    QVERIFY(!manager.deleteCredential(1, QStringLiteral("01"), QStringLiteral("1234")));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("Device does not support credential management"));

    QCOMPARE(bus.opens(), opensBefore);
    QCOMPARE(complete.count(), 0);
    QCOMPARE(changed.count(), 0);
    QVERIFY(key.pinIs(QStringLiteral("1234")));
    QCOMPARE(key.resetCount, 0);
    QCOMPARE(noCredMgmt.credentials.size(), 1);
}

void FidoTest::staleKeyCannotBeOpened()
{
    // A key pulled out after the last enumeration stays listed with its path.
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    FidoDeviceManager manager;
    manager.enumerate();
    QVERIFY(manager.deviceAt(0)->credMgmt);
    bus.unplug(QStringLiteral("/dev/hidraw0"));

    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QVERIFY(!manager.setPin(0, QStringLiteral("1234")));
    QVERIFY(!manager.changePin(0, QStringLiteral("1234"), QStringLiteral("5678")));
    QVERIFY(!manager.factoryReset(0));
    QVERIFY(!manager.deleteCredential(0, QStringLiteral("01"), QStringLiteral("1234")));
    // An empty list that could not be read says so.
    QVERIFY(manager.listRelyingParties(0, QStringLiteral("1234")).isEmpty());
    QCOMPARE(errors.count(), 5);
    for (const QList<QVariant>& error : std::as_const(errors))
        QCOMPARE(error.at(0).toString(), QString::fromUtf8("Cannot open device: the FIDO2 library could not talk to "
                                                             "the key \u2014 is it still plugged in?"));
    QCOMPARE(manager.lastError(), errors.last().at(0).toString());
    QCOMPARE(manager.deviceCount(), 1);
}

void FidoTest::credentialLines()
{
    CredentialFixture f;
    QSignalSpy complete(&f.manager, &FidoDeviceManager::operationComplete);
    QSignalSpy errors(&f.manager, &FidoDeviceManager::operationError);

    QCOMPARE(f.manager.listRelyingParties(0, QStringLiteral("1234")),
             (QStringList{"example.com (Example)", "github.com", "noname.test"}));

    QStringList ids;
    // The whole relying-party line is accepted; only its first word is the id.
    const QStringList lines =
        f.manager.listCredentials(0, QStringLiteral("example.com (Example)"), QStringLiteral("1234"), &ids);
    QCOMPARE(lines, (QStringList{"Alice Liddell [0001020304050607...]", "bob [deadbeef...]",
                                 "Unknown credential [0102030405060708...]"}));
    QCOMPARE(ids, (QStringList{QString::fromLatin1(f.longId.toHex()), "deadbeef", "0102030405060708"}));
    QCOMPARE(f.manager.listCredentials(0, QStringLiteral("noname.test"), QStringLiteral("1234")),
             QStringList{"Dave [bb...]"});
    // A party that holds nothing is an empty list, not a failure.
    QCOMPARE(f.manager.listCredentials(0, QStringLiteral("nothing.test"), QStringLiteral("1234"), &ids),
             QStringList());
    QVERIFY(ids.isEmpty());
    QCOMPARE(f.manager.lastError(), QString());
    QCOMPARE(complete.count() + errors.count(), 0); // listing reports only failures
    QCOMPARE(f.bus.opens(), f.bus.closes());
}

void FidoTest::emptyKeyIsNoFailure()
{
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0"))).presetPin(QStringLiteral("1234"));
    FidoDeviceManager manager;
    manager.enumerate();
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QVERIFY(manager.listRelyingParties(0, QStringLiteral("1234")).isEmpty());
    QCOMPARE(manager.lastError(), QString());
    QCOMPARE(errors.count(), 0);
}

void FidoTest::wrongPinCostsAnAttempt_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("list parties") << "parties";
    QTest::newRow("list credentials") << "credentials";
    QTest::newRow("delete") << "delete";
    QTest::newRow("change PIN") << "change";
}

void FidoTest::wrongPinCostsAnAttempt()
{
    QFETCH(QString, operation);
    CredentialFixture f;
    QStringList ids;
    f.manager.listCredentials(0, QStringLiteral("example.com"), QStringLiteral("1234"), &ids);
    QSignalSpy errors(&f.manager, &FidoDeviceManager::operationError);
    const auto attempt = [&](const QString& pin) {
        if (operation == QLatin1String("parties"))
            return !f.manager.listRelyingParties(0, pin).isEmpty();
        if (operation == QLatin1String("credentials"))
            return !f.manager.listCredentials(0, QStringLiteral("example.com"), pin).isEmpty();
        if (operation == QLatin1String("delete"))
            return f.manager.deleteCredential(0, ids.at(0), pin);
        return f.manager.changePin(0, pin, pin);
    };

    // The count the message names is the key's own, and it falls per try.
    QVERIFY(!attempt(QStringLiteral("0000")));
    QCOMPARE(f.manager.lastError(), QString::fromUtf8("Wrong PIN — 7 attempts left."));
    QVERIFY(!attempt(QStringLiteral("0001")));
    QCOMPARE(f.manager.lastError(), QString::fromUtf8("Wrong PIN — 6 attempts left."));
    QCOMPARE(f.key->pinRetries(), 6);
    // The third in a row blocks the key until it is plugged in again, and
    // further tries cost nothing.
    QVERIFY(!attempt(QStringLiteral("0002")));
    QCOMPARE(f.manager.lastError(), QStringLiteral("PIN blocked: remove and re-insert the key"));
    QVERIFY(!attempt(QStringLiteral("1234")));
    QCOMPARE(f.manager.lastError(), QStringLiteral("PIN blocked: remove and re-insert the key"));
    QCOMPARE(f.key->pinRetries(), 5);
    QCOMPARE(errors.count(), 4);
    QCOMPARE(errors.last().at(0).toString(), f.manager.lastError());

    f.key->powerCycle();
    QVERIFY(attempt(QStringLiteral("1234")));
    QCOMPARE(f.manager.lastError(), QString());
    QCOMPARE(f.key->pinRetries(), 8);
    QCOMPARE(f.key->credentials.size(), operation == QLatin1String("delete") ? 4 : 5);
    QCOMPARE(f.bus.opens(), f.bus.closes());
}

void FidoTest::blockedPinNeedsAReset()
{
    CredentialFixture f;
    f.key->presetPin(QStringLiteral("1234"), 1);
    QVERIFY(f.manager.listRelyingParties(0, QStringLiteral("0000")).isEmpty());
    QCOMPARE(f.manager.lastError(), QStringLiteral("PIN blocked: only a factory reset clears it"));
    f.key->powerCycle();
    QVERIFY(f.manager.listRelyingParties(0, QStringLiteral("1234")).isEmpty());
    QCOMPARE(f.manager.lastError(), QStringLiteral("PIN blocked: only a factory reset clears it"));
    QVERIFY(!f.manager.changePin(0, QStringLiteral("1234"), QStringLiteral("5678")));
    QCOMPARE(f.manager.lastError(), QStringLiteral("PIN blocked: only a factory reset clears it"));
    QCOMPARE(f.key->credentials.size(), 5);
}

void FidoTest::keyThatStopsAnsweringTimesOut()
{
    SoftFidoBus bus;
    SoftAuthenticator& hung = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    SoftAuthenticator& fine = bus.plug(keyAt(QStringLiteral("/dev/hidraw1")));
    fine.presetPin(QStringLiteral("1234"));
    FidoDeviceManager manager;
    manager.infoTimeoutMs = 200;
    manager.pinTimeoutMs = 300;
    manager.touchTimeoutMs = 400;
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 2);
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);

    // Operations name themselves and their limit.
    hung.answering = false;
    QVERIFY(!manager.setPin(0, QStringLiteral("1234")));
    QCOMPARE(manager.lastError(), QStringLiteral("Set PIN timed out: the key did not answer within 0.3 s"));
    QVERIFY(manager.listRelyingParties(0, QStringLiteral("1234")).isEmpty());
    QCOMPARE(manager.lastError(),
             QStringLiteral("List credentials timed out: the key did not answer within 0.3 s"));

    // The poll: the silent key is listed with what the bus says of it, the
    // other one as usual.
    errors.clear();
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 2);
    QCOMPARE(manager.deviceAt(0)->fidoVersion, QString());
    QCOMPARE(manager.deviceAt(1)->fidoVersion, QStringLiteral("FIDO_2_1"));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(),
             QStringLiteral("Reading device information of /dev/hidraw0 timed out: the key did not answer within 0.2 s"));

    // A key that opens and then hangs in the exchange is no different.
    fine.silentOn = {0x07};
    QVERIFY(!manager.factoryReset(1));
    QCOMPARE(manager.lastError(), QStringLiteral("Factory reset timed out: the key did not answer within 0.4 s"));
    QCOMPARE(fine.resetCount, 0);

    // libfido2 never waited without a limit, nor longer than the longest.
    QVERIFY(!bus.readLimits().isEmpty());
    for (int limit : bus.readLimits())
        QVERIFY2(limit >= 0 && limit <= 400, qPrintable(QString::number(limit)));
    QCOMPARE(bus.opens(), bus.closes());
}

// Two keys that do not answer: each costs the listing its whole wait, on the
// listing's own thread; this one keeps ticking and hears of the list once.
void FidoTest::backgroundEnumerationLeavesTheThreadFree()
{
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0"))).answering = false;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw1")));
    bus.plug(keyAt(QStringLiteral("/dev/hidraw2"))).answering = false;
    FidoDeviceManager manager;
    manager.infoTimeoutMs = 600;
    QSignalSpy changed(&manager, &FidoDeviceManager::devicesChanged);
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    QSignalSpy done(&manager, &FidoDeviceManager::enumerated);

    Heartbeat heartbeat;
    QVERIFY(manager.enumerateInBackground());
    QVERIFY(manager.isEnumerating());
    // One at a time: a second one is refused, not queued.
    QVERIFY(!manager.enumerateInBackground());
    QCOMPARE(manager.deviceCount(), 0);
    QVERIFY(done.wait(20000));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(done.count(), 1);
    QVERIFY(!manager.isEnumerating());

    QCOMPARE(changed.count(), 1);
    QCOMPARE(manager.deviceCount(), 3);
    const QList<bool> silent{manager.deviceAt(0)->notAnswering, manager.deviceAt(1)->notAnswering,
                             manager.deviceAt(2)->notAnswering};
    QCOMPARE(silent, (QList<bool>{true, false, true}));
    QCOMPARE(manager.deviceAt(1)->fidoVersion, QStringLiteral("FIDO_2_1"));
    QCOMPARE(manager.deviceAt(0)->product, QStringLiteral("Soft FIDO2 Key"));
    QCOMPARE(errors.count(), 2);
    QCOMPARE(errors.at(1).at(0).toString(),
             QStringLiteral("Reading device information of /dev/hidraw2 timed out: the key did not answer within 0.6 s"));
    QCOMPARE(bus.opens(), bus.closes());

    // The next one may start.
    QVERIFY(manager.enumerateInBackground());
    QVERIFY(done.wait(20000));
}

// A list made while a background listing runs (after a reset, say) is newer
// than that listing's answer, which is then dropped.
void FidoTest::laterListWinsOverABackgroundOne()
{
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    bus.plug(keyAt(QStringLiteral("/dev/hidraw1"))).answering = false;
    FidoDeviceManager manager;
    manager.infoTimeoutMs = 500;
    QSignalSpy done(&manager, &FidoDeviceManager::enumerated);
    QVERIFY(manager.enumerateInBackground());
    bus.unplug(QStringLiteral("/dev/hidraw1"));
    manager.enumerate();
    QCOMPARE(manager.deviceCount(), 1);
    QVERIFY(done.wait(20000));
    QCOMPARE(manager.deviceCount(), 1);
    QCOMPARE(manager.deviceAt(0)->devicePath, QStringLiteral("/dev/hidraw0"));
}

void FidoTest::identityGuard_data()
{
    QTest::addColumn<QString>("change"); // what happens after the action started
    QTest::addColumn<bool>("poll");      // whether the list was rebuilt since
    QTest::addColumn<bool>("same");
    QTest::newRow("nothing") << "none" << false << true;
    QTest::newRow("nothing, polled") << "none" << true << true;
    QTest::newRow("other model at the path") << "model" << false << false;
    QTest::newRow("other model at the path, polled") << "model" << true << false;
    QTest::newRow("same ids, other AAGUID") << "aaguid" << false << false;
    QTest::newRow("same ids, other firmware") << "firmware" << false << false;
    QTest::newRow("other product string") << "product" << true << false;
    QTest::newRow("pulled out") << "pulled" << false << false;
    QTest::newRow("pulled out, polled") << "pulled" << true << false;
    // CTAP has no serial number: a twin cannot be told apart.
    QTest::newRow("twin at the path") << "twin" << false << true;
}

void FidoTest::identityGuard()
{
    QFETCH(QString, change);
    QFETCH(bool, poll);
    QFETCH(bool, same);
    SoftFidoBus bus;
    bus.plug(keyAt(QStringLiteral("/dev/hidraw0"))).info.firmwareVersion = 0x050403;
    FidoDeviceManager manager;
    manager.enumerate();
    const FidoKeyInfo seen = *manager.deviceAt(0);

    if (change != QLatin1String("none")) {
        SoftFidoBus::Key next = keyAt(QStringLiteral("/dev/hidraw0"));
        bus.unplug(next.path);
        if (change == QLatin1String("model")) {
            next.product = QStringLiteral("Other Model");
            next.vendorId = 0x20a0;
            next.productId = 0x42b1;
        } else if (change == QLatin1String("product")) {
            next.product = QStringLiteral("Soft FIDO2 Key NFC");
        }
        if (change != QLatin1String("pulled")) {
            SoftAuthenticator& other = bus.plug(next);
            other.info.firmwareVersion = change == QLatin1String("firmware") ? 0x050700 : 0x050403;
            if (change == QLatin1String("aaguid") || change == QLatin1String("model"))
                other.info.aaguid = QByteArray::fromHex("ee882879721c491397753dfcce97072a");
        }
    }
    if (poll)
        manager.enumerate();
    QCOMPARE(manager.isSameKey(0, seen), same);
    QCOMPARE(manager.lastError(), QString());
    QCOMPARE(bus.opens(), bus.closes());
}

void FidoTest::deleteUsesTheWholeId()
{
    CredentialFixture f;
    QSignalSpy complete(&f.manager, &FidoDeviceManager::operationComplete);
    QSignalSpy errors(&f.manager, &FidoDeviceManager::operationError);
    QStringList ids;
    const QStringList lines =
        f.manager.listCredentials(0, QStringLiteral("example.com"), QStringLiteral("1234"), &ids);

    // The start of the id that the line shows names no credential.
    QVERIFY(!f.manager.deleteCredential(0, QStringLiteral("0001020304050607"), QStringLiteral("1234")));
    QCOMPARE(errors.last().at(0).toString(), QStringLiteral("Delete failed: the key holds no such credential"));
    QVERIFY(!f.manager.deleteCredential(0, ids.at(0), QStringLiteral("0000")));
    QCOMPARE(errors.last().at(0).toString(), QString::fromUtf8("Wrong PIN — 7 attempts left."));
    QCOMPARE(complete.count(), 0);

    QVERIFY(f.manager.deleteCredential(0, ids.at(0), QStringLiteral("1234")));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(complete.at(0).at(0).toString(), QStringLiteral("Credential deleted"));
    QCOMPARE(f.manager.listCredentials(0, QStringLiteral("example.com"), QStringLiteral("1234")),
             lines.mid(1));
    QCOMPARE(f.key->credentials.size(), 4);
    QCOMPARE(f.bus.opens(), f.bus.closes());
}

void FidoTest::credentialIdMatching_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("match");
    const QString a = QStringLiteral("a1a1a1a1a1a1a1a1000000000000000000000000000000000000000000000001");
    QTest::newRow("16-digit start") << "a1a1a1a1a1a1a1a1" << a;
    QTest::newRow("as shown, upper case, blanks") << "  A1A1A1A1A1A1A1A1 " << a;
    QTest::newRow("whole id") << a << a;
    QTest::newRow("whole short id") << "deadbeef" << "deadbeef";
    QTest::newRow("start shorter than shown") << "a1a1a1a1" << "";
    QTest::newRow("start of two ids") << "b0b0b0b0b0b0b0b0" << "";
    QTest::newRow("no such id") << "0123456789abcdef" << "";
    QTest::newRow("longer than any id") << a + "00" << "";
    QTest::newRow("empty") << "" << "";
}

void FidoTest::credentialIdMatching()
{
    QFETCH(QString, text);
    const QStringList ids{"a1a1a1a1a1a1a1a1000000000000000000000000000000000000000000000001",
                          "b0b0b0b0b0b0b0b00000000000000000000000000000000000000000000000002",
                          "b0b0b0b0b0b0b0b07f", "deadbeef", ""};
    QTEST(FidoDeviceManager::credentialIdMatching(ids, text), "match");
}

void FidoTest::factoryReset()
{
    CredentialFixture f;
    QCOMPARE(f.manager.deviceAt(0)->clientPin, true);
    QSignalSpy complete(&f.manager, &FidoDeviceManager::operationComplete);
    QSignalSpy errors(&f.manager, &FidoDeviceManager::operationError);
    QSignalSpy changed(&f.manager, &FidoDeviceManager::devicesChanged);

    f.key->resetAllowed = false; // as a key not replugged within the last seconds
    QVERIFY(!f.manager.factoryReset(0));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QString::fromUtf8("Factory reset failed: the key allows a reset only in the first seconds after it is plugged in \u2014 remove and re-insert it, then reset at once"));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(f.key->credentials.size(), 5);

    f.key->resetAllowed = true;
    QVERIFY(f.manager.factoryReset(0));
    QCOMPARE(complete.count(), 1);
    QCOMPARE(complete.at(0).at(0).toString(), QStringLiteral("Factory reset complete — all credentials erased"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(f.key->resetCount, 1);
    QVERIFY(f.key->credentials.isEmpty());
    QVERIFY(!f.key->hasPin());
    // The list was rebuilt by the reset itself.
    QCOMPARE(f.manager.deviceCount(), 1);
    QCOMPARE(f.manager.deviceAt(0)->clientPin, false);
    QCOMPARE(f.bus.opens(), f.bus.closes());
}

// ---- hmac-secret -----------------------------------------------------------

namespace {

SoftAuthenticator& plugHmacKey(SoftFidoBus& bus, const QString& path)
{
    SoftAuthenticator& key = bus.plug(keyAt(path));
    key.info.extensions << QStringLiteral("hmac-secret");
    return key;
}

QByteArray salt(char fill)
{
    return QByteArray(32, fill);
}

} // namespace

void FidoTest::hmacSecretRoundTrip_data()
{
    QTest::addColumn<QString>("attestation");
    QTest::newRow("self-attested packed") << "packed";
    QTest::newRow("none") << "none";
}

void FidoTest::hmacSecretRoundTrip()
{
    QFETCH(QString, attestation);
    SoftFidoBus bus;
    SoftAuthenticator& first = plugHmacKey(bus, QStringLiteral("/dev/hidraw0"));
    first.attestationFormat = attestation;
    SoftAuthenticator& second = plugHmacKey(bus, QStringLiteral("/dev/hidraw1"));
    FidoDeviceManager manager;
    manager.enumerate();
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);

    const QByteArray id = manager.makeHmacCredential(0, QString());
    QVERIFY2(!id.isEmpty(), qPrintable(manager.lastError()));
    // Not resident: nothing on the key lists it.
    QVERIFY(first.credentials.isEmpty());
    QCOMPARE(first.made.size(), 1);
    QCOMPARE(first.made.at(0).rpId, QString::fromLatin1(FidoDeviceManager::vaultRelyingParty));

    const QByteArray once = manager.hmacSecret(0, id, salt('a'), QString());
    QCOMPARE(once.size(), 32);
    QCOMPARE(manager.hmacSecret(0, id, salt('a'), QString()), once);
    const QByteArray other = manager.hmacSecret(0, id, salt('b'), QString());
    QCOMPARE(other.size(), 32);
    QVERIFY(other != once);
    QCOMPARE(errors.count(), 0);

    // A key that did not make the credential has nothing to answer with.
    bool notHeld = false;
    QVERIFY(manager.hmacSecret(1, id, salt('a'), QString(), &notHeld).isEmpty());
    QVERIFY(notHeld);
    QCOMPARE(manager.lastError(), QStringLiteral("Get hmac-secret failed: the key holds no such credential"));
    QVERIFY(second.made.isEmpty());
    QCOMPARE(bus.opens(), bus.closes());
}

void FidoTest::hmacSecretNeedsTheKeysPin_data()
{
    QTest::addColumn<QString>("makePin");
    QTest::addColumn<QString>("secretPin");
    QTest::addColumn<QString>("error"); // empty: both work
    QTest::newRow("right PIN") << "1234" << "1234" << "";
    QTest::newRow("no PIN to make") << "" << "" << "Make credential failed: the key needs its PIN for this";
    QTest::newRow("wrong PIN to make") << "4321" << "" << "Wrong PIN \u2014 7 attempts left.";
    QTest::newRow("wrong PIN for the secret") << "1234" << "4321" << "Wrong PIN \u2014 7 attempts left.";
}

void FidoTest::hmacSecretNeedsTheKeysPin()
{
    QFETCH(QString, makePin);
    QFETCH(QString, secretPin);
    QFETCH(QString, error);
    SoftFidoBus bus;
    SoftAuthenticator& key = plugHmacKey(bus, QStringLiteral("/dev/hidraw0"));
    key.presetPin(QStringLiteral("1234"));
    FidoDeviceManager manager;
    manager.enumerate();

    const QByteArray id = manager.makeHmacCredential(0, makePin);
    if (makePin != QLatin1String("1234")) {
        QVERIFY(id.isEmpty());
        QVERIFY(key.made.isEmpty());
        QCOMPARE(manager.lastError(), error);
        return;
    }
    QVERIFY(!id.isEmpty());
    const QByteArray secret = manager.hmacSecret(0, id, salt('a'), secretPin);
    QCOMPARE(secret.size(), error.isEmpty() ? 32 : 0);
    QCOMPARE(manager.lastError(), error);
    if (error.isEmpty()) {
        // Asked without the PIN, a CTAP 2.1 key answers, from its other
        // random for the credential.
        const QByteArray unverified = manager.hmacSecret(0, id, salt('a'), QString());
        QCOMPARE(unverified.size(), 32);
        QVERIFY(unverified != secret);
        QCOMPARE(manager.hmacSecret(0, id, salt('a'), secretPin), secret);
    }
    QCOMPARE(bus.opens(), bus.closes());
}

void FidoTest::holdsCredentialSendsNoPin()
{
    SoftFidoBus bus;
    SoftAuthenticator& maker = plugHmacKey(bus, QStringLiteral("/dev/hidraw0"));
    SoftAuthenticator& other = plugHmacKey(bus, QStringLiteral("/dev/hidraw1"));
    maker.presetPin(QStringLiteral("1234"));
    other.presetPin(QStringLiteral("5678"));
    FidoDeviceManager manager;
    manager.enumerate();
    const QByteArray id = manager.makeHmacCredential(0, QStringLiteral("1234"));
    QVERIFY(!id.isEmpty());
    QSignalSpy errors(&manager, &FidoDeviceManager::operationError);
    const qsizetype makerSeen = maker.commands.size();
    const qsizetype otherSeen = other.commands.size();

    QCOMPARE(manager.holdsCredential(0, id), FidoDeviceManager::Holding::Held);
    QCOMPARE(manager.holdsCredential(1, id), FidoDeviceManager::Holding::NotHeld);
    // "No credentials" is an answer, not a failure; and no PIN went anywhere.
    QCOMPARE(errors.count(), 0);
    QCOMPARE(manager.lastError(), QString());
    QVERIFY(maker.commands.mid(makerSeen).contains(0x02));
    QVERIFY(other.commands.mid(otherSeen).contains(0x02));
    QVERIFY(!maker.commands.mid(makerSeen).contains(0x06));
    QVERIFY(!other.commands.mid(otherSeen).contains(0x06));
    QCOMPARE(maker.pinRetries(), 8);
    QCOMPARE(other.pinRetries(), 8);

    // A key that does not answer leaves it open, with the reason.
    other.silentOn = {0x02};
    manager.pinTimeoutMs = 400;
    QCOMPARE(manager.holdsCredential(1, id), FidoDeviceManager::Holding::Unknown);
    QCOMPARE(manager.lastError(), QStringLiteral("Find credential timed out: the key did not answer within 0.4 s"));
    QCOMPARE(bus.opens(), bus.closes());
}

void FidoTest::hmacSecretRefusalsAndTimeOut()
{
    SoftFidoBus bus;
    SoftAuthenticator& plain = bus.plug(keyAt(QStringLiteral("/dev/hidraw0")));
    SoftAuthenticator& slow = plugHmacKey(bus, QStringLiteral("/dev/hidraw1"));
    FidoDeviceManager manager;
    manager.infoTimeoutMs = 200;
    manager.touchTimeoutMs = 400;
    manager.enumerate();
    QVERIFY(!manager.deviceAt(0)->extensions.contains(QStringLiteral("hmac-secret")));

    // Refused from the key's information, before the key is opened.
    const int opens = bus.opens();
    const int commands = static_cast<int>(plain.commands.size());
    QVERIFY(manager.makeHmacCredential(0, QString()).isEmpty());
    QCOMPARE(manager.lastError(), QStringLiteral("The key does not offer the hmac-secret extension"));
    QVERIFY(manager.hmacSecret(0, QByteArray("id"), salt('a'), QString()).isEmpty());
    QCOMPARE(manager.lastError(), QStringLiteral("The key does not offer the hmac-secret extension"));
    QCOMPARE(bus.opens(), opens);
    QCOMPARE(plain.commands.size(), commands);

    // The touch is waited for as long as the manager allows, no longer.
    const QByteArray id = manager.makeHmacCredential(1, QString());
    QVERIFY(!id.isEmpty());
    slow.silentOn = {0x02};
    QVERIFY(manager.hmacSecret(1, id, salt('a'), QString()).isEmpty());
    QCOMPARE(manager.lastError(), QStringLiteral("Get hmac-secret timed out: the key did not answer within 0.4 s"));
    for (int limit : bus.readLimits())
        QVERIFY2(limit >= 0 && limit <= 400, qPrintable(QString::number(limit)));
    QCOMPARE(bus.opens(), bus.closes());
}

// ---- catalogue ------------------------------------------------------------

void FidoTest::profileFor_data()
{
    QTest::addColumn<int>("vendorId");
    QTest::addColumn<int>("productId");
    QTest::addColumn<QString>("firmware");
    QTest::addColumn<bool>("hasPiv");
    QTest::addColumn<QString>("name");

    const QString generic = QStringLiteral("Generic FIDO2 Device");
    const QString ci = QStringLiteral("YubiKey 5Ci (5.4.x)");
    const QString plus = QStringLiteral("YubiKey 5 (5.7+)");
    QTest::newRow("Hirsch any firmware") << 0x04e6 << 0x5a11 << "9.9.9" << false << "Hirsch uTrust FIDO2 Gov";
    QTest::newRow("Hirsch unknown firmware") << 0x04e6 << 0x5a11 << "0.0.0" << false << "Hirsch uTrust FIDO2 Gov";
    QTest::newRow("Hirsch other product") << 0x04e6 << 0x5a12 << "1.0.0" << false << generic;
    QTest::newRow("0407 at 5.4.3") << 0x1050 << 0x0407 << "5.4.3" << false << ci;
    QTest::newRow("0407 at 5.4.0") << 0x1050 << 0x0407 << "5.4.0" << false << ci;
    QTest::newRow("0407 patch never compared") << 0x1050 << 0x0407 << "5.4.200" << false << ci;
    QTest::newRow("0407 unknown firmware") << 0x1050 << 0x0407 << "0.0.0" << false << ci;
    QTest::newRow("0407 at 5.7.1") << 0x1050 << 0x0407 << "5.7.1" << false << plus;
    QTest::newRow("0407 at 5.7.0") << 0x1050 << 0x0407 << "5.7.0" << false << plus;
    QTest::newRow("0407 at 6.0.0") << 0x1050 << 0x0407 << "6.0.0" << false << plus;
    QTest::newRow("0407 at 5.2.7") << 0x1050 << 0x0407 << "5.2.7" << false << generic;
    QTest::newRow("0407 at 5.5.0") << 0x1050 << 0x0407 << "5.5.0" << false << generic;
    QTest::newRow("0407 at 5.6.9") << 0x1050 << 0x0407 << "5.6.9" << false << generic;
    QTest::newRow("0407 at 4.4.0") << 0x1050 << 0x0407 << "4.4.0" << false << generic;
    QTest::newRow("0407 at 0.4.0 is not unknown") << 0x1050 << 0x0407 << "0.4.0" << false << generic;
    QTest::newRow("0407 falling through with PIV") << 0x1050 << 0x0407 << "5.2.7" << true
                                                   << "Generic PIV Smart Card";
    QTest::newRow("0410 any firmware") << 0x1050 << 0x0410 << "5.2.7" << false << "YubiKey 5 (FIDO2 mode)";
    QTest::newRow("0406 any firmware") << 0x1050 << 0x0406 << "5.1.0" << false << "YubiKey 5 FIDO+CCID";
    QTest::newRow("0403 any firmware") << 0x1050 << 0x0403 << "4.3.7" << false << "YubiKey 5 OTP+FIDO";
    QTest::newRow("Yubico unknown product") << 0x1050 << 0x0999 << "5.4.3" << false << generic;
    QTest::newRow("unknown vendor") << 0x20a0 << 0x42b1 << "1.2.3" << false << generic;
    QTest::newRow("unknown vendor with PIV") << 0x20a0 << 0x42b1 << "1.2.3" << true << "Generic PIV Smart Card";
    QTest::newRow("no ids match no entry by id") << 0 << 0 << "0.0.0" << false << generic;
}

void FidoTest::profileFor()
{
    QFETCH(int, vendorId);
    QFETCH(int, productId);
    QFETCH(QString, firmware);
    QFETCH(bool, hasPiv);

    FidoKeyInfo key;
    key.vendorId = static_cast<quint16>(vendorId);
    key.productId = static_cast<quint16>(productId);
    const QStringList parts = firmware.split('.');
    key.firmwareMajor = static_cast<quint8>(parts.at(0).toInt());
    key.firmwareMinor = static_cast<quint8>(parts.at(1).toInt());
    key.firmwarePatch = static_cast<quint8>(parts.at(2).toInt());
    key.hasPiv = hasPiv;
    QTEST(DeviceProfileRegistry::instance().profileFor(key).name, "name");
}

void FidoTest::genericEntries()
{
    const DeviceProfileRegistry& registry = DeviceProfileRegistry::instance();
    FidoKeyInfo key;
    key.vendorId = 0x1050;
    key.productId = 0x0410;
    const DeviceProfile fido2Mode = registry.profileFor(key);
    QCOMPARE(fido2Mode.name, QStringLiteral("YubiKey 5 (FIDO2 mode)"));
    QCOMPARE(fido2Mode.vendor, QStringLiteral("Yubico"));
    QVERIFY(fido2Mode.fido2);
    QVERIFY(!fido2Mode.fido2CredMgmt);
    QVERIFY(!fido2Mode.piv);

    key.vendorId = 0x20a0;
    const DeviceProfile unknown = registry.profileFor(key);
    QCOMPARE(unknown.name, QStringLiteral("Generic FIDO2 Device"));
    QCOMPARE(unknown.vendor, QStringLiteral("Unknown"));
    QCOMPARE(unknown.family, QStringLiteral("Generic CTAP2"));
    QCOMPARE(unknown.constraints,
             (QStringList{"Unknown device — only basic FIDO2 operations available",
                          "PIV and vendor-specific features not supported"}));
    QCOMPARE(fido2Mode.constraints, unknown.constraints);
}

void FidoTest::catalogueOrderAndCapabilities_data()
{
    // Flags no menu line shows, which the configuration pages read.
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("toolchain");
    QTest::addColumn<int>("rsaMaxBits");
    QTest::addColumn<QString>("algorithms"); // P-256, P-384, RSA2048, RSA3072, AES-256 management key
    QTest::addColumn<int>("constraintCount");
    QTest::newRow("1") << 0 << "Hirsch uTrust FIDO2 Gov" << "opensc" << 3072 << "YYYY-" << 4;
    QTest::newRow("2") << 1 << "YubiKey 5Ci (5.4.x)" << "ykman" << 2048 << "Y-Y-Y" << 5;
    QTest::newRow("3") << 2 << "YubiKey 5 NFC (5.4.x)" << "ykman" << 2048 << "Y-Y-Y" << 3;
    QTest::newRow("4") << 3 << "YubiKey 5C NFC (5.4.x)" << "ykman" << 2048 << "Y-Y-Y" << 3;
    QTest::newRow("5") << 4 << "YubiKey 5 (5.7+)" << "ykman" << 3072 << "YYYYY" << 2;
    QTest::newRow("6") << 5 << "YubiKey 5 (FIDO2 mode)" << "" << 0 << "-----" << 2;
    QTest::newRow("7") << 6 << "YubiKey 5 FIDO+CCID" << "ykman" << 2048 << "Y-Y-Y" << 5;
    QTest::newRow("8") << 7 << "YubiKey 5 OTP+FIDO" << "" << 0 << "-----" << 2;
    QTest::newRow("9") << 8 << "Generic PIV Smart Card" << "opensc" << 2048 << "Y-Y--" << 2;
    QTest::newRow("10") << 9 << "Generic FIDO2 Device" << "" << 0 << "-----" << 2;
}

void FidoTest::catalogueOrderAndCapabilities()
{
    QFETCH(int, position);
    QFETCH(QString, algorithms);
    const QList<DeviceProfile>& all = DeviceProfileRegistry::instance().profiles();
    QCOMPARE(all.size(), 10);
    const DeviceProfile& p = all.at(position);
    QTEST(p.name, "name");
    QTEST(p.toolchain, "toolchain");
    QTEST(p.rsaMaxBits, "rsaMaxBits");
    const auto yn = [](bool b) { return b ? QLatin1Char('Y') : QLatin1Char('-'); };
    QCOMPARE(QString() + yn(p.eccP256) + yn(p.eccP384) + yn(p.rsa2048) + yn(p.rsa3072) + yn(p.pivAes256MgmtKey),
             algorithms);
    QTEST(int(p.constraints.size()), "constraintCount");
    QVERIFY(p.fido2SetPin && p.fido2ChangePin);
    if (position == 1 || position == 6)
        QVERIFY(p.constraints.last().endsWith(
            QStringLiteral(" IV Personal ID requires ECC P-384 — use P-256 with OV/EV instead")));
}

void FidoTest::contextMenu_data()
{
    QTest::addColumn<DeviceProfile>("profile");
    QTest::addColumn<QStringList>("script");

    const QStringList head{"Device Details...", "Copy Serial Number"};
    const QStringList fidoFull{"SUBMENU:FIDO2 Authentication", "  Set FIDO2 PIN...", "  Change FIDO2 PIN...",
                               "  List Credentials...", "  Delete Credential...", "END_SUBMENU"};
    const QStringList fidoBasic{"SUBMENU:FIDO2 Authentication", "  Set FIDO2 PIN...", "  Change FIDO2 PIN...",
                                "END_SUBMENU"};
    const QStringList pivBasic{"SUBMENU:PIV Smart Card", "  Harden Device (PIN/PUK/Mgmt Key)...",
                               "  Generate Key + CSR...", "  Import Certificate...", "END_SUBMENU"};
    const QStringList pivYubico{"SUBMENU:PIV Smart Card", "  Harden Device (PIN/PUK/Mgmt Key)...",
                                "  Generate Key + CSR...", "  Export Attestation Bundle...",
                                "  Import Certificate...", "END_SUBMENU"};
    QStringList pivPlus = pivYubico;
    pivPlus.insert(5, "  Delete Slot Key...");
    const QStringList signing{"SUBMENU:Code Signing", "  Sign File with This Key...", "  Verify Signature...",
                              "END_SUBMENU"};
    const QStringList allApplets{"SUBMENU:Applets", "  OATH (TOTP/HOTP) Manager...", "  OpenPGP Manager...",
                                 "  OTP Configuration...", "END_SUBMENU"};
    const QStringList resetFido{"SUBMENU:Reset / Factory", "  Reset FIDO2 Applet...", "  Factory Reset FIDO2...",
                                "END_SUBMENU"};
    const QStringList resetYubico{"SUBMENU:Reset / Factory", "  Reset FIDO2 Applet...", "  Reset PIV Applet...",
                                  "  Reset OTP Applet...",     "  Reset OATH Applet...",  "  Reset OpenPGP Applet...",
                                  "  Factory Reset FIDO2...",  "END_SUBMENU"};
    QStringList resetFull = resetYubico;
    resetFull.insert(6, "  Full Config Reset...");
    const QStringList tail{"---", "View Known Constraints..."};

    const QList<DeviceProfile>& all = DeviceProfileRegistry::instance().profiles();
    QTest::newRow("1 Hirsch") << all.at(0) << head + fidoFull + pivBasic + signing + resetFido + tail;
    QTest::newRow("2 5Ci") << all.at(1) << head + fidoFull + pivYubico + signing + allApplets + resetYubico + tail;
    QTest::newRow("3 5 NFC") << all.at(2) << head + fidoFull + pivYubico + signing + allApplets + resetFull + tail;
    QTest::newRow("4 5C NFC") << all.at(3) << head + fidoFull + pivYubico + signing + allApplets + resetFull + tail;
    QTest::newRow("5 5.7+") << all.at(4) << head + fidoFull + pivPlus + signing + allApplets + resetFull + tail;
    QTest::newRow("6 FIDO2 mode") << all.at(5) << head + fidoBasic + signing + resetFido + tail;
    QTest::newRow("7 FIDO+CCID") << all.at(6)
                                 << head + fidoFull + pivYubico + signing
            + QStringList{"SUBMENU:Applets", "  OATH (TOTP/HOTP) Manager...", "  OpenPGP Manager...", "END_SUBMENU"}
            + resetYubico + tail;
    QTest::newRow("8 OTP+FIDO") << all.at(7)
                                << head + fidoBasic + signing
            + QStringList{"SUBMENU:Applets", "  OTP Configuration...", "END_SUBMENU"} + resetFido + tail;
    QTest::newRow("9 Generic PIV") << all.at(8) << head + pivBasic + signing + tail;
    QTest::newRow("10 Generic FIDO2") << all.at(9) << head + fidoBasic + signing + resetFido + tail;

    DeviceProfile none;
    none.fido2SetPin = false;
    none.fido2ChangePin = false;
    QTest::newRow("every flag false") << none << head;

    DeviceProfile pinWithoutFido2;
    QTest::newRow("PIN flags without fido2") << pinWithoutFido2 << head;

    DeviceProfile onlyFactoryReset;
    onlyFactoryReset.fido2FactoryReset = true;
    QTest::newRow("factory reset alone opens no sub-menu") << onlyFactoryReset << head;

    DeviceProfile bareFido2;
    bareFido2.fido2 = true;
    bareFido2.fido2FactoryReset = true;
    QTest::newRow("fido2 without reset flags") << bareFido2 << head + fidoBasic + signing;

    DeviceProfile emptyPiv;
    emptyPiv.piv = true;
    emptyPiv.constraints = QStringList{"one"};
    QTest::newRow("PIV with no operations") << emptyPiv
                                            << head + QStringList{"SUBMENU:PIV Smart Card", "END_SUBMENU"} + signing
            + tail;

    DeviceProfile openpgpOnly;
    openpgpOnly.openpgp = true;
    openpgpOnly.otp = true;
    openpgpOnly.fullConfigReset = true;
    QTest::newRow("applets in fixed order; full reset alone")
        << openpgpOnly
        << head
            + QStringList{"SUBMENU:Applets",         "  OpenPGP Manager...",     "  OTP Configuration...",
                          "END_SUBMENU",             "SUBMENU:Reset / Factory", "  Full Config Reset...",
                          "END_SUBMENU"};
}

void FidoTest::contextMenu()
{
    QFETCH(DeviceProfile, profile);
    QTEST(profile.contextMenuActions(), "script");
}

OT_TEST_MAIN(FidoTest)
#include "tst_fido.moc"
