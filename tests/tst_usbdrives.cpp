// The USB Drives page against a diskutil stand-in that serves listing and
// description texts by their arguments: detection, the drive list, the
// announcement of a first drive, the analysis and the APFS encryption of the
// very volume the user confirmed.
#include "ui/vault/UsbDriveTab.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "ModalDriver.h"
#include "OpenFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QAbstractButton>
#include <QBrush>
#include <QFile>
#include <QSignalSpy>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

// diskutil: "list external" prints the file "listing", "info X" the file
// "info.<last part of X>", "apfs encryptVolume" answers from "encrypt.*".
const QString diskutilHook = QStringLiteral(R"sh(
case "$1" in
list)
    [ -e "$FAKE_STATE/list.sleep" ] && exec sleep "$(cat "$FAKE_STATE/list.sleep")"
    [ -e "$FAKE_STATE/listing" ] && cat "$FAKE_STATE/listing" ;;
info) [ -e "$FAKE_STATE/info.${2##*/}" ] && cat "$FAKE_STATE/info.${2##*/}" ;;
apfs)
    [ -e "$FAKE_STATE/encrypt.sleep" ] && sleep "$(cat "$FAKE_STATE/encrypt.sleep")"
    [ -e "$FAKE_STATE/encrypt.err" ] && cat "$FAKE_STATE/encrypt.err" >&2
    exit "$(cat "$FAKE_STATE/encrypt.code" 2>/dev/null || echo 0)" ;;
esac
exit 0
)sh");

struct Drive
{
    QString volume = QStringLiteral("STICK");
    QString filesystem = QStringLiteral("MS-DOS FAT32");
    QString protocol = QStringLiteral("USB");
    QString mountPoint = QStringLiteral("/Volumes/STICK");
    QString size = QStringLiteral("16.0 GB (16008609792 Bytes) (exactly 31266816 512-Byte-Units)");
    QString uuid;
    bool encrypted = false;
    bool mounted = true;

    static Drive with(const QString& filesystem, bool encrypted = false)
    {
        Drive drive;
        drive.filesystem = filesystem;
        drive.encrypted = encrypted;
        return drive;
    }

    // A description laid out as diskutil does, indented and padded.
    QByteArray description() const
    {
        const auto yes = [](bool flag) { return flag ? QStringLiteral("Yes") : QStringLiteral("No"); };
        QStringList lines{
            QStringLiteral("   Device Identifier:         disk4"),
            QStringLiteral("   Device / Media Name:       Cruzer"),
            QString(),
            QStringLiteral("   Volume Name:               ") + volume,
            QStringLiteral("   Mounted:                   ") + yes(mounted),
            QStringLiteral("   Mount Point:               ") + mountPoint,
            QString(),
            QStringLiteral("   File System Personality:   ") + filesystem,
            QStringLiteral("   Protocol:                  ") + protocol,
            QStringLiteral("   Disk Size:                 ") + size,
            QStringLiteral("   Removable Media:           Removable"),
            QStringLiteral("   Encrypted:                 ") + yes(encrypted),
        };
        if (!uuid.isEmpty())
            lines << QStringLiteral("   Volume UUID:               ") + uuid;
        return lines.join(QLatin1Char('\n')).toUtf8() + '\n';
    }
};

class Diskutil
{
public:
    Diskutil()
    {
        fakes.install(QStringLiteral("diskutil"));
        fakes.setHook(QStringLiteral("diskutil"), diskutilHook);
    }
    void setListing(const QByteArray& text) { write(QStringLiteral("listing"), text); }
    void setInfo(const QString& disk, const QByteArray& text) { write(QStringLiteral("info.") + disk, text); }
    // One attached drive, disk4.
    void attach(const Drive& drive)
    {
        setListing("/dev/disk4 (external, physical):\n   #: TYPE NAME SIZE IDENTIFIER\n"
                   "   0: FDisk_partition_scheme *16.0 GB disk4\n");
        setInfo(QStringLiteral("disk4"), drive.description());
    }
    void detach() { setListing(""); }
    // The listing hangs for that long.
    void setListingSleep(int seconds) { write(QStringLiteral("list.sleep"), QByteArray::number(seconds)); }
    void setEncryption(int code, const QByteArray& err, double sleepSeconds = 0)
    {
        write(QStringLiteral("encrypt.code"), QByteArray::number(code));
        write(QStringLiteral("encrypt.err"), err);
        if (sleepSeconds > 0)
            write(QStringLiteral("encrypt.sleep"), QByteArray::number(sleepSeconds));
    }
    // Every call so far, arguments joined by blanks.
    QStringList calls() const
    {
        QStringList all;
        for (int i = 1; i <= fakes.callCount(QStringLiteral("diskutil")); ++i)
            all << fakes.arguments(QStringLiteral("diskutil"), i).join(QLatin1Char(' '));
        return all;
    }
    int listings() const { return calls().count(QStringLiteral("list external")); }

private:
    void write(const QString& name, const QByteArray& data)
    {
        QFile file(fakes.stateDir() + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(data);
    }

    FakeTools fakes;
};

// A tab whose first refresh has run and which polls no further by itself.
std::unique_ptr<UsbDriveTab> openTab()
{
    auto tab = std::make_unique<UsbDriveTab>();
    tab->findChild<QTimer*>(QStringLiteral("pollTimer"))->stop();
    QSignalSpy listed(tab.get(), &UsbDriveTab::drivesListed);
    if (!listed.wait(20000))
        qWarning("the tab's first listing did not end");
    return tab;
}

// Refreshes and waits for the rows, which the listing puts in from the
// event loop.
void refreshed(UsbDriveTab& tab)
{
    QSignalSpy listed(&tab, &UsbDriveTab::drivesListed);
    tab.refreshDrives();
    if (listed.isEmpty())
        QVERIFY(listed.wait(20000));
}

QTreeWidget* tree(UsbDriveTab& tab)
{
    return tab.findChild<QTreeWidget*>(QStringLiteral("driveTree"));
}

QStringList logLines(UsbDriveTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("usbLog"))->toPlainText();
    return text.isEmpty() ? QStringList{} : text.split(QLatin1Char('\n'));
}

void selectFirst(UsbDriveTab& tab)
{
    QVERIFY(tree(tab)->topLevelItemCount() > 0);
    tree(tab)->setCurrentItem(tree(tab)->topLevelItem(0));
}

QString summary(const UsbDriveInfo& d)
{
    return QStringList{d.volumeName, d.device, d.filesystem, d.mountPoint, d.protocol,
                       QString::number(d.sizeBytes)}
        .join(QLatin1Char('|'));
}

} // namespace

class UsbDrivesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void detection_data();
    void detection();
    void rows_data();
    void rows();
    void firstDriveIsAnnouncedOnce();
    void analysis_data();
    void analysis();
    void encryptionRefusals_data();
    void encryptionRefusals();
    void encryptionRuns_data();
    void encryptionRuns();
    void driveInfo();
    void confirmedVolumeIsRecheckedBeforeEncryption_data();
    void confirmedVolumeIsRecheckedBeforeEncryption();
    void selectionSurvivesPolls_data();
    void selectionSurvivesPolls();
    void missingDiskutilIsTold();
    void hungDiskutilIsToldNotWaitedFor();

private:
    std::unique_ptr<TestHome> home;
};

void UsbDrivesTest::detection_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QStringList>("infos"); // "disk=description", one per disk
    QTest::addColumn<QStringList>("described");
    QTest::addColumn<QStringList>("drives");

    const auto text = [](std::initializer_list<const char*> lines) {
        QStringList all;
        for (const char* line : lines)
            all << QString::fromUtf8(line);
        return all.join(QLatin1Char('\n'));
    };
    const QString usbStick = text({"   Volume Name:   STICK", "   Protocol:      USB",
                                   "   Mount Point:   /Volumes/STICK",
                                   "   File System Personality:  ExFAT",
                                   "   Disk Size:   1.0 GB (1073741824 Bytes) (exactly 2097152 512-Byte-Units)"});

    QTest::newRow("a disk named twice is described once")
        << QByteArray("/dev/disk4 (external, physical):\n   0: *1.0 GB disk4\n/dev/disk4 (external):\n")
        << QStringList{"disk4=" + usbStick} << QStringList{"info disk4"}
        << QStringList{"STICK|/dev/disk4|ExFAT|/Volumes/STICK|USB|1073741824"};
    QTest::newRow("only lines that start with the device path")
        << QByteArray("   /dev/disk5 (external)\n/dev/disk6\n") << QStringList{"disk6=" + usbStick}
        << QStringList{"info disk6"} << QStringList{"STICK|/dev/disk6|ExFAT|/Volumes/STICK|USB|1073741824"};
    QTest::newRow("protocol in any case; others and unnamed volumes dropped")
        << QByteArray("/dev/disk4 (external)\n/dev/disk5 (external)\n/dev/disk6 (external)\n")
        << QStringList{"disk4=" + text({"Volume Name: A", "Protocol: usb"}),
                       "disk5=" + text({"Volume Name: B", "Protocol: Thunderbolt"}),
                       "disk6=" + text({"Volume Name:", "Protocol: USB"})}
        << QStringList{"info disk4", "info disk5", "info disk6"} << QStringList{"A|/dev/disk4|||usb|0"};
    QTest::newRow("a value keeps its later colons")
        << QByteArray("/dev/disk4\n")
        << QStringList{"disk4=" + text({"Volume Name: a:b", "Protocol: USB", "Mount Point: /Volumes/a:b"})}
        << QStringList{"info disk4"} << QStringList{"a:b|/dev/disk4||/Volumes/a:b|USB|0"};
    QTest::newRow("the later filesystem line wins")
        << QByteArray("/dev/disk4\n/dev/disk5\n")
        << QStringList{"disk4=" + text({"Volume Name: A", "Protocol: USB", "File System Personality: APFS",
                                        "Type (Bundle): apfs"}),
                       "disk5=" + text({"Volume Name: B", "Protocol: USB", "Type (Bundle): msdos",
                                        "File System Personality: MS-DOS FAT32"})}
        << QStringList{"info disk4", "info disk5"}
        << QStringList{"A|/dev/disk4|apfs||USB|0", "B|/dev/disk5|MS-DOS FAT32||USB|0"};
    QTest::newRow("no output at all") << QByteArray() << QStringList{} << QStringList{} << QStringList{};
    QTest::newRow("a description that says nothing")
        << QByteArray("/dev/disk4\n") << QStringList{} << QStringList{"info disk4"} << QStringList{};
}

void UsbDrivesTest::detection()
{
    QFETCH(QByteArray, listing);
    QFETCH(QStringList, infos);
    QFETCH(QStringList, described);
    QFETCH(QStringList, drives);

    Diskutil diskutil;
    diskutil.setListing(listing);
    for (const QString& info : infos)
        diskutil.setInfo(info.section('=', 0, 0), info.section('=', 1).toUtf8());
    // Detection alone: the tab's own first refresh never gets its turn here.
    UsbDriveTab tab;
    tab.findChild<QTimer*>(QStringLiteral("pollTimer"))->stop();

    QStringList found;
    for (const UsbDriveInfo& drive : tab.detectUsbDrives())
        found << summary(drive);
    QCOMPARE(found, drives);
    QCOMPARE(diskutil.calls(), QStringList{"list external"} + described);
}

void UsbDrivesTest::rows_data()
{
    QTest::addColumn<QString>("size");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<bool>("mounted");
    QTest::addColumn<QString>("sizeText");

    QTest::newRow("2^30 bytes, encrypted")
        << "1.0 GB (1073741824 Bytes) (exactly 2097152 512-Byte-Units)" << true << true << "1.0 GB";
    QTest::newRow("one byte less, unmounted") << "1.0 GB (1073741823 Bytes)" << false << false << "1024 MB";
    QTest::newRow("empty drive") << "0 B (0 Bytes)" << false << true << "0 MB";
    QTest::newRow("no byte count") << "16.0 GB" << false << true << "0 MB";
    QTest::newRow("unreadable byte count") << "16.0 GB (many Bytes)" << false << true << "0 MB";
    QTest::newRow("16 GB stick") << "16.0 GB (16008609792 Bytes)" << false << true << "14.9 GB";
}

void UsbDrivesTest::rows()
{
    QFETCH(QString, size);
    QFETCH(bool, encrypted);
    QFETCH(bool, mounted);
    QFETCH(QString, sizeText);

    Diskutil diskutil;
    Drive drive;
    drive.size = size;
    drive.encrypted = encrypted;
    drive.mounted = mounted;
    diskutil.attach(drive);
    auto tab = openTab();

    QCOMPARE(tree(*tab)->topLevelItemCount(), 1);
    QTreeWidgetItem* row = tree(*tab)->topLevelItem(0);
    QStringList cells;
    for (int column = 0; column < 6; ++column)
        cells << row->text(column);
    QCOMPARE(cells, (QStringList{"STICK", "/dev/disk4", "MS-DOS FAT32", sizeText, encrypted ? "Yes" : "No",
                                 "/Volumes/STICK"}));
    QCOMPARE(row->data(0, Qt::UserRole), QVariant(0));
    QCOMPARE(row->foreground(4).color(), QColor(encrypted ? "#22c55e" : "#f59e0b"));
    if (mounted)
        QCOMPARE(row->foreground(0).style(), Qt::NoBrush);
    else
        QCOMPARE(row->foreground(0).color(), QColor("#94a3b8"));
}

void UsbDrivesTest::firstDriveIsAnnouncedOnce()
{
    Diskutil diskutil;
    Drive first;
    diskutil.attach(first);
    // Connected only once the tab is built, as the main window does.
    UsbDriveTab tab;
    QSignalSpy detected(&tab, &UsbDriveTab::usbDriveDetected);
    QTRY_COMPARE(detected.size(), 1);
    QCOMPARE(detected.at(0).at(0).toString(), QStringLiteral("STICK"));

    // The tab keeps polling by itself.
    auto* poll = tab.findChild<QTimer*>(QStringLiteral("pollTimer"));
    QCOMPARE(poll->interval(), 5000);
    poll->setInterval(50);
    const int listed = diskutil.listings();
    // The poll goes on calling the stand-in: what held once is not read again.
    QVERIFY(QTest::qWaitFor([&] { return diskutil.listings() >= listed + 2; }, 30000));
    poll->stop();

    // A second drive while one is listed announces nothing.
    diskutil.setListing("/dev/disk4 (external)\n/dev/disk5 (external)\n");
    Drive second;
    second.volume = QStringLiteral("BACKUP");
    diskutil.setInfo(QStringLiteral("disk5"), second.description());
    refreshed(tab);
    QCOMPARE(tree(tab)->topLevelItemCount(), 2);
    QCOMPARE(detected.size(), 1);

    // From none to some again is a new announcement.
    diskutil.detach();
    refreshed(tab);
    QCOMPARE(tree(tab)->topLevelItemCount(), 0);
    diskutil.setListing("/dev/disk5 (external)\n");
    refreshed(tab);
    QCOMPARE(detected.size(), 2);
    QCOMPARE(detected.at(1).at(0).toString(), QStringLiteral("BACKUP"));
}

void UsbDrivesTest::analysis_data()
{
    QTest::addColumn<QString>("filesystem");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<QStringList>("verdict");

    QTest::newRow("encrypted, whatever the filesystem")
        << "MS-DOS FAT32" << true << QStringList{"  Status: Drive is already encrypted."};
    QTest::newRow("APFS") << "APFS" << false
                          << QStringList{"  APFS volume can be encrypted in-place with FileVault.",
                                         "  Command: diskutil apfs encryptVolume /dev/disk4"};
    QTest::newRow("APFS and more words") << "APFS (Encrypted)" << false
                                         << QStringList{"  Unknown filesystem \u2014 check compatibility."};
    const QStringList fat{"  FAT/exFAT drives cannot be encrypted in-place on macOS.",
                          "  Options: 1) Create encrypted disk image on the drive",
                          "           2) Reformat as APFS (WARNING: erases data)"};
    QTest::newRow("FAT32") << "MS-DOS FAT32" << false << fat;
    QTest::newRow("ExFAT") << "ExFAT" << false << fat;
    const QStringList hfs{"  HFS+ can be encrypted with FileVault.",
                          "  Consider converting to APFS first for better performance."};
    QTest::newRow("HFS+") << "Journaled HFS+" << false << hfs;
    QTest::newRow("Mac OS Extended") << "Mac OS Extended (Journaled)" << false << hfs;
    QTest::newRow("NTFS") << "NTFS" << false << QStringList{"  Unknown filesystem \u2014 check compatibility."};
}

void UsbDrivesTest::analysis()
{
    QFETCH(QString, filesystem);
    QFETCH(bool, encrypted);
    QFETCH(QStringList, verdict);

    Diskutil diskutil;
    diskutil.attach(Drive::with(filesystem, encrypted));
    auto tab = openTab();
    QSignalSpy audit(tab.get(), &UsbDriveTab::logRequest);

    tab->analyzeSelected(); // nothing selected: nothing happens
    QVERIFY(logLines(*tab).isEmpty());
    selectFirst(*tab);
    clickButton(tab.get(), QStringLiteral("Analyze Encryption"));
    QCOMPARE(logLines(*tab), (QStringList{"Analyzing: STICK (/dev/disk4)", "  Filesystem: " + filesystem,
                                          encrypted ? "  Encrypted:  YES" : "  Encrypted:  NO",
                                          "  Mounted:    YES"}
                              + verdict));
    QCOMPARE(audit.size(), 1);
    QCOMPARE(audit.at(0), (QList<QVariant>{"USB Analyze", "STICK", true, filesystem}));
}

void UsbDrivesTest::encryptionRefusals_data()
{
    QTest::addColumn<QString>("filesystem");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("press");

    QTest::newRow("already encrypted") << "MS-DOS FAT32" << true << "Encrypt" << "STICK is already encrypted."
                                       << int(QMessageBox::Ok);
    QTest::newRow("not APFS")
        << "ExFAT" << false << "Encrypt"
        << "In-place encryption requires APFS filesystem.\n\nCurrent filesystem: ExFAT\n\nOptions:\n"
           "1. Create an encrypted .qvimgv vault on this drive\n2. Reformat as APFS (erases data)\n\n"
           "Use the Secure Vault tab to create an encrypted container on this drive instead."
        << int(QMessageBox::Ok);
    QTest::newRow("declined")
        << "APFS (Case-sensitive)" << false << "Encrypt USB Drive"
        << "Encrypt volume: STICK\nDevice: /dev/disk4\nFilesystem: APFS (Case-sensitive)\n\n"
           "This will enable FileVault encryption on this APFS volume.\nData is preserved \u2014 "
           "encryption happens in the background.\n\nYou will be prompted for an encryption password."
           "\n\nContinue?"
        << int(QMessageBox::No);
}

void UsbDrivesTest::encryptionRefusals()
{
    QFETCH(QString, filesystem);
    QFETCH(bool, encrypted);
    QFETCH(QString, title);
    QFETCH(QString, text);
    QFETCH(int, press);

    Diskutil diskutil;
    diskutil.attach(Drive::with(filesystem, encrypted));
    auto tab = openTab();
    QSignalSpy audit(tab.get(), &UsbDriveTab::logRequest);

    ModalDriver driver;
    tab->encryptSelected(); // nothing selected: no box
    selectFirst(*tab);
    driver.pressButton(QMessageBox::StandardButton(press));
    clickButton(tab.get(), QStringLiteral("Encrypt Drive..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, QStringList{title});
    QCOMPARE(driver.texts, QStringList{text});
    QVERIFY(!diskutil.calls().join('\n').contains("apfs"));
    QVERIFY(logLines(*tab).isEmpty());
    QCOMPARE(audit.size(), 0);
}

void UsbDrivesTest::encryptionRuns_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("error");
    QTest::addColumn<double>("seconds");   // how long the tool takes
    QTest::addColumn<int>("timeoutMs");     // 0: the tab's own
    QTest::addColumn<QStringList>("lines"); // after "Encrypting..." and the prompt note
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QString>("lateLine");  // logged once the tool has ended on its own

    QTest::newRow("started") << 0 << QByteArray() << 0.0 << 0
                             << QStringList{"Encryption started. Background process will complete."} << true
                             << "APFS FileVault" << "";
    // The log shows the message trimmed; the audit record its first 80 characters as they came.
    const QByteArray error = "  Error: -69888: This operation requires an unlocked volume and a user with a "
                             "Secure Token (disk4s1)  \n";
    QTest::newRow("refused by the tool")
        << 1 << error << 0.0 << 0
        << QStringList{"Encryption failed: " + QString::fromUtf8(error).trimmed(),
                       "May require: sudo diskutil apfs encryptVolume /dev/disk4"}
        << false << QString::fromUtf8(error.left(80)) << "";
    // Left to finish rather than killed half-way; its end is logged.
    QTest::newRow("outlives its wait")
        << 0 << QByteArray() << 2.0 << 300
        << QStringList{"Encryption failed: timed out after 300 ms",
                       "May require: sudo diskutil apfs encryptVolume /dev/disk4"}
        << false << "timed out after 300 ms" << "Encryption process ended: exit 0";
}

void UsbDrivesTest::encryptionRuns()
{
    QFETCH(int, code);
    QFETCH(QByteArray, error);
    QFETCH(double, seconds);
    QFETCH(int, timeoutMs);
    QFETCH(QStringList, lines);
    QFETCH(bool, success);
    QFETCH(QString, detail);
    QFETCH(QString, lateLine);

    Diskutil diskutil;
    diskutil.attach(Drive::with(QStringLiteral("APFS")));
    diskutil.setEncryption(code, error, seconds);
    auto tab = openTab();
    QCOMPARE(tab->encryptTimeoutMs, 30000);
    if (timeoutMs > 0)
        tab->encryptTimeoutMs = timeoutMs;
    QSignalSpy audit(tab.get(), &UsbDriveTab::logRequest);

    ModalDriver driver;
    driver.pressButton(QMessageBox::Yes);
    selectFirst(*tab);
    const int listed = diskutil.listings();
    clickButton(tab.get(), QStringLiteral("Encrypt Drive..."));
    QCOMPARE(driver.titles, QStringList{"Encrypt USB Drive"});
    // A stand-in slower to start than a shortened wait records its call late.
    QTRY_VERIFY_WITH_TIMEOUT(diskutil.calls().contains("apfs encryptVolume /dev/disk4"), 20000);
    QCOMPARE(logLines(*tab).mid(0, 2 + lines.size()), (QStringList{"Encrypting STICK...", "diskutil will prompt for password in a system dialog."}
                              + lines));
    QCOMPARE(audit.size(), 1);
    QCOMPARE(audit.at(0), (QList<QVariant>{"USB Encrypt", "STICK", success, detail}));
    // Only a started encryption refreshes the list.
    if (success)
        QTRY_COMPARE(diskutil.listings(), listed + 1);
    else
        QCOMPARE(diskutil.listings(), listed);
    QCOMPARE(tree(*tab)->topLevelItemCount(), 1);
    if (!lateLine.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(logLines(*tab).last(), lateLine, 20000);
}

void UsbDrivesTest::driveInfo()
{
    Diskutil diskutil;
    diskutil.attach(Drive());
    auto tab = openTab();

    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    clickButton(tab.get(), QStringLiteral("Drive Info"));
    QCOMPARE(driver.titles, QStringList{"Info"});
    QCOMPARE(driver.texts, QStringList{"Select a drive."});

    // The description asked for now is a long one: only its start is logged.
    const QByteArray longText = QByteArray("Device Node: /dev/disk4\n") + QByteArray(600, 'x');
    diskutil.setInfo(QStringLiteral("disk4"), longText);
    selectFirst(*tab);
    clickButton(tab.get(), QStringLiteral("Drive Info"));
    QCOMPARE(diskutil.calls().last(), QStringLiteral("info /dev/disk4"));
    QCOMPARE(logLines(*tab), (QStringList{"=== STICK ===", "Device Node: /dev/disk4", QString(476, 'x')}));
}

namespace {

Drive named(const QString& volume, const QString& uuid, const QString& filesystem = QStringLiteral("APFS"))
{
    Drive drive = Drive::with(filesystem);
    drive.volume = volume;
    drive.uuid = uuid;
    drive.mountPoint = QStringLiteral("/Volumes/") + volume;
    return drive;
}

const QString kBackupUuid = QStringLiteral("5A1B2C3D-0000-4000-8000-00000000B4C7");
const QString kPhotosUuid = QStringLiteral("9F8E7D6C-0000-4000-8000-0000000F0705");

} // namespace

void UsbDrivesTest::confirmedVolumeIsRecheckedBeforeEncryption_data()
{
    QTest::addColumn<QString>("volumeThen"); // what disk4 is once Yes is pressed; "" for no drive
    QTest::addColumn<QString>("uuidThen");
    QTest::addColumn<bool>("encrypted");

    QTest::newRow("still the confirmed volume") << "BACKUP" << kBackupUuid << true;
    QTest::newRow("another drive took the identifier") << "FAMILY-PHOTOS" << kPhotosUuid << false;
    QTest::newRow("same name, another volume") << "BACKUP" << kPhotosUuid << false;
    QTest::newRow("drive gone") << "" << "" << false;
}

void UsbDrivesTest::confirmedVolumeIsRecheckedBeforeEncryption()
{
    QFETCH(QString, volumeThen);
    QFETCH(QString, uuidThen);
    QFETCH(bool, encrypted);

    Diskutil diskutil;
    diskutil.attach(named(QStringLiteral("BACKUP"), kBackupUuid));
    auto tab = openTab();
    auto* poll = tab->findChild<QTimer*>(QStringLiteral("pollTimer"));
    poll->start(20);
    selectFirst(*tab);

    // The drive is swapped while the question is open, as a person may
    // unplug one stick and plug another before answering.
    bool pollRanWhileAsked = true;
    ModalDriver driver;
    driver.enqueueFor<QMessageBox>([&](QMessageBox* box) {
        pollRanWhileAsked = poll->isActive();
        if (volumeThen.isEmpty()) {
            diskutil.detach();
            diskutil.setInfo(QStringLiteral("disk4"), QByteArray());
        } else
            diskutil.setInfo(QStringLiteral("disk4"), named(volumeThen, uuidThen).description());
        box->button(QMessageBox::Yes)->click();
    });
    clickButton(tab.get(), QStringLiteral("Encrypt Drive..."));

    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, QStringList{"Encrypt USB Drive"});
    QVERIFY(driver.texts.value(0).startsWith("Encrypt volume: BACKUP\nDevice: /dev/disk4\n"));
    QVERIFY(!pollRanWhileAsked);
    QVERIFY(poll->isActive()); // polling goes on once the question is answered
    poll->stop();
    QCOMPARE(diskutil.calls().contains("apfs encryptVolume /dev/disk4"), encrypted);
    if (encrypted) {
        QCOMPARE(logLines(*tab).first(), QStringLiteral("Encrypting BACKUP..."));
    } else {
        QCOMPARE(logLines(*tab), QStringList{"Device list changed \u2014 operation cancelled."});
        // The list now shows what is attached.
        QTRY_COMPARE(tree(*tab)->topLevelItemCount(), volumeThen.isEmpty() ? 0 : 1);
        if (!volumeThen.isEmpty())
            QTRY_COMPARE(tree(*tab)->topLevelItem(0)->text(0), volumeThen);
    }
}

void UsbDrivesTest::selectionSurvivesPolls_data()
{
    QTest::addColumn<QByteArray>("listing"); // once the user has chosen BACKUP on disk5
    QTest::addColumn<QString>("disk5");      // the volume disk5 holds then
    QTest::addColumn<QString>("current");    // the row still current after the polls; "" none

    QTest::newRow("nothing changed") << QByteArray("/dev/disk4\n/dev/disk5\n") << "BACKUP" << "BACKUP";
    QTest::newRow("listed in another order") << QByteArray("/dev/disk5\n/dev/disk4\n") << "BACKUP" << "BACKUP";
    QTest::newRow("another volume at the identifier")
        << QByteArray("/dev/disk4\n/dev/disk5\n") << "FAMILY-PHOTOS" << "";
    QTest::newRow("volume gone") << QByteArray("/dev/disk4\n") << "BACKUP" << "";
}

void UsbDrivesTest::selectionSurvivesPolls()
{
    QFETCH(QByteArray, listing);
    QFETCH(QString, disk5);
    QFETCH(QString, current);

    Diskutil diskutil;
    diskutil.setListing("/dev/disk4\n/dev/disk5\n");
    diskutil.setInfo(QStringLiteral("disk4"), named(QStringLiteral("STICK"), QString(), "ExFAT").description());
    diskutil.setInfo(QStringLiteral("disk5"), named(QStringLiteral("BACKUP"), kBackupUuid).description());
    auto tab = openTab();
    QCOMPARE(tree(*tab)->topLevelItemCount(), 2);
    tree(*tab)->setCurrentItem(tree(*tab)->topLevelItem(1));

    diskutil.setListing(listing);
    diskutil.setInfo(QStringLiteral("disk5"),
                     named(disk5, disk5 == "BACKUP" ? kBackupUuid : kPhotosUuid).description());
    auto* poll = tab->findChild<QTimer*>(QStringLiteral("pollTimer"));
    const int listed = diskutil.listings();
    poll->start(20);
    // The poll goes on calling the stand-in: what held once is not read again.
    QVERIFY(QTest::qWaitFor([&] { return diskutil.listings() >= listed + 2; }, 30000));
    poll->stop();

    QTreeWidgetItem* item = tree(*tab)->currentItem();
    QCOMPARE(item ? item->text(0) : QString(), current);
    // The buttons act on what is shown as chosen, or on nothing.
    clickButton(tab.get(), QStringLiteral("Analyze Encryption"));
    if (current.isEmpty())
        QVERIFY(logLines(*tab).isEmpty());
    else
        QCOMPARE(logLines(*tab).value(0), QStringLiteral("Analyzing: BACKUP (/dev/disk5)"));
}

// Without diskutil the page stays empty, and its log says why, once; the
// poll looks for the tool, starts nothing and keeps no pipe, and lists again
// as soon as the tool is there.
void UsbDrivesTest::missingDiskutilIsTold()
{
    FakeTools noTools(false);
    for (const char* tool : {"cat", "dirname", "readlink", "basename"})
        noTools.linkReal(QLatin1String(tool));
    auto tab = openTab();
    refreshed(*tab);
    QCOMPARE(tree(*tab)->topLevelItemCount(), 0);
    const QStringList told{"Could not start diskutil: no drives can be listed."};
    QCOMPARE(logLines(*tab), told);

    const int files = openFileCount();
    auto* poll = tab->findChild<QTimer*>(QStringLiteral("pollTimer"));
    QSignalSpy listed(tab.get(), &UsbDriveTab::drivesListed);
    poll->start(5);
    QTRY_VERIFY(listed.count() >= 100);
    poll->stop();
    QCOMPARE(logLines(*tab), told);
    QVERIFY2(openFileCount() <= files + 2,
             qPrintable(QStringLiteral("%1 open files, then %2").arg(files).arg(openFileCount())));

    noTools.install(QStringLiteral("diskutil"));
    noTools.setHook(QStringLiteral("diskutil"), diskutilHook);
    QFile listing(noTools.stateDir() + QStringLiteral("/listing"));
    QVERIFY(listing.open(QIODevice::WriteOnly));
    listing.write("/dev/disk4\n");
    listing.close();
    QFile info(noTools.stateDir() + QStringLiteral("/info.disk4"));
    QVERIFY(info.open(QIODevice::WriteOnly));
    info.write(Drive().description());
    info.close();
    poll->start(20);
    QTRY_COMPARE(tree(*tab)->topLevelItemCount(), 1);
    poll->stop();
    QCOMPARE(noTools.arguments(QStringLiteral("diskutil"), 1), (QStringList{"list", "external"}));
}

// A diskutil that does not answer holds neither the window nor the list; the
// time-out is told once.
void UsbDrivesTest::hungDiskutilIsToldNotWaitedFor()
{
    Diskutil diskutil;
    diskutil.attach(Drive());
    auto tab = openTab();
    QCOMPARE(tree(*tab)->topLevelItemCount(), 1);
    tab->listTimeoutMs = 1000;
    diskutil.setListingSleep(600);

    Heartbeat heartbeat;
    refreshed(*tab);
    QVERIFY(tab->isListing() == false);
    refreshed(*tab);
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    QCOMPARE(logLines(*tab), QStringList{"diskutil did not answer within 1 s: no drives can be listed."});
    // A listing that said nothing leaves the rows as they were.
    QCOMPARE(tree(*tab)->topLevelItemCount(), 1);
}

OT_TEST_MAIN(UsbDrivesTest)
#include "tst_usbdrives.moc"
