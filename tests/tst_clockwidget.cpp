// The corner widget: the clock, the vault badge with its colours, counter and
// menu, and the cloud folders the menu offers as backup targets.
#include "ui/vault/ClockVaultWidget.h"

#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class ClockWidgetTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void clockShowsTimeDateAndZone();
    void badgeRowBeforeAndAfterAnEmptyList();
    void badgeTextAndColours_data();
    void badgeTextAndColours();
    void counterStepsThroughTheVaults();
    void statusChangesOnlyTheFirstMatch();
    void unmountedBadgeAsksToSeeTheVault();
    void cloudDrivesFound_data();
    void cloudDrivesFound();
    void mountedBadgeMenu_data();
    void mountedBadgeMenu();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScopedEnv> tz, lang;
};

namespace {

VaultBadgeInfo vault(const QString& name, int sizeMB, bool encrypted, bool mounted,
                     const QString& path = {})
{
    VaultBadgeInfo v;
    v.name = name;
    v.path = path.isEmpty() ? QStringLiteral("/vaults/") + name : path;
    v.sizeMB = sizeMB;
    v.encrypted = encrypted;
    v.mounted = mounted;
    return v;
}

QPushButton* badge(ClockVaultWidget& widget)
{
    const QList<QPushButton*> buttons = widget.findChildren<QPushButton*>();
    return buttons.size() == 1 ? buttons.first() : nullptr;
}

// Texts of the labels in the badge row (the counter, or "No vaults").
QStringList badgeLabels(ClockVaultWidget& widget)
{
    QStringList texts;
    for (QLabel* label : widget.findChild<QWidget*>(QStringLiteral("badgeArea"))->findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

void clickCounter(ClockVaultWidget& widget)
{
    auto* counter = widget.findChild<QLabel*>(QStringLiteral("vaultCounter"));
    QVERIFY(counter);
    QTest::mouseClick(counter, Qt::LeftButton);
}

// Folders (or, after "file:", plain files) under the home folder.
void makeHomeEntries(const QString& home, const QStringList& entries)
{
    for (const QString& entry : entries) {
        if (entry.startsWith(QLatin1String("file:")))
            QVERIFY(writeFile(home + QLatin1Char('/') + entry.mid(5), "x"));
        else
            QVERIFY(QDir().mkpath(home + QLatin1Char('/') + entry));
    }
}

const QString iCloud = QStringLiteral("Library/Mobile Documents/com~apple~CloudDocs");

} // namespace

void ClockWidgetTest::init()
{
    home = std::make_unique<TestHome>();
    tz = std::make_unique<ScopedEnv>("TZ", "UTC");
    lang = std::make_unique<ScopedEnv>("LANG", "C");
}

void ClockWidgetTest::cleanup()
{
    lang.reset();
    tz.reset();
    home.reset();
}

void ClockWidgetTest::clockShowsTimeDateAndZone()
{
    ClockVaultWidget widget;
    const QString time = widget.findChild<QLabel*>(QStringLiteral("clockLabel"))->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d (AM|PM)$")).match(time).hasMatch(),
             qPrintable(time));
    const QString date = widget.findChild<QLabel*>(QStringLiteral("dateLabel"))->text();
    QVERIFY2(QRegularExpression(QStringLiteral("^[A-Z][a-z]+day, [A-Z][a-z]+ [1-9]\\d?, \\d{4}$"))
                 .match(date)
                 .hasMatch(),
             qPrintable(date));
    QCOMPARE(widget.findChild<QLabel*>(QStringLiteral("zoneLabel"))->text(), QStringLiteral("UTC"));
}

void ClockWidgetTest::badgeRowBeforeAndAfterAnEmptyList()
{
    ClockVaultWidget widget;
    QVERIFY(widget.findChildren<QPushButton*>().isEmpty());
    QVERIFY(badgeLabels(widget).isEmpty());

    widget.setVaults({vault("A", 1, true, false)});
    QVERIFY(badge(widget));
    widget.setVaults({});
    QVERIFY(widget.findChildren<QPushButton*>().isEmpty());
    QCOMPARE(badgeLabels(widget), QStringList{"No vaults"});
}

void ClockWidgetTest::badgeTextAndColours_data()
{
    QTest::addColumn<int>("sizeMB");
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<bool>("mounted");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("background");
    QTest::addColumn<QString>("foreground");

    // Mounted wins over the encryption colours.
    QTest::newRow("mounted, unencrypted, 1023 MB")
        << 1023 << false << true << QString::fromUtf8("\U0001F513 1023MB - V - UNENCRYPTED - MOUNTED")
        << "#0f3d1f" << "#22c55e";
    QTest::newRow("mounted, encrypted, 256 MB")
        << 256 << true << true << QString::fromUtf8("\U0001F513 256MB - V - ENCRYPTED - MOUNTED")
        << "#0f3d1f" << "#22c55e";
    QTest::newRow("encrypted, 1024 MB")
        << 1024 << true << false << QString::fromUtf8("\U0001F512 1GB - V - ENCRYPTED - UNMOUNTED")
        << "#1e293b" << "#0ea5e9";
    QTest::newRow("neither, 4095 MB")
        << 4095 << false << false << QString::fromUtf8("\U0001F512 3GB - V - UNENCRYPTED - UNMOUNTED")
        << "#3b1f1f" << "#f59e0b";
}

void ClockWidgetTest::badgeTextAndColours()
{
    QFETCH(int, sizeMB);
    QFETCH(bool, encrypted);
    QFETCH(bool, mounted);
    QFETCH(QString, text);
    QFETCH(QString, background);
    QFETCH(QString, foreground);

    ClockVaultWidget widget;
    widget.setVaults({vault("V", sizeMB, encrypted, mounted)});
    QPushButton* button = badge(widget);
    QVERIFY(button);
    QCOMPARE(button->text(), text);
    const QString sheet = button->styleSheet();
    QVERIFY2(sheet.contains("background-color: " + background + ";  color: " + foreground + ";  border: 1px solid "
                            + foreground + ";"),
             qPrintable(sheet));
    QVERIFY2(sheet.contains("QPushButton:hover {  background-color: " + foreground + ";  color: #ffffff;}"),
             qPrintable(sheet));
    QVERIFY(badgeLabels(widget).isEmpty()); // one vault: no counter
}

void ClockWidgetTest::counterStepsThroughTheVaults()
{
    ClockVaultWidget widget;
    widget.setVaults({vault("First", 10, true, false), vault("Second", 20, true, false)});
    QVERIFY(badge(widget)->text().contains(" - First - "));
    QCOMPARE(badgeLabels(widget), QStringList{"1/2"});

    // The click rebuilds the row from inside the counter's own event.
    clickCounter(widget);
    QTRY_VERIFY(badge(widget) && badge(widget)->text().contains(" - Second - "));
    QCOMPARE(badgeLabels(widget), QStringList{"2/2"});
    clickCounter(widget);
    QTRY_VERIFY(badge(widget) && badge(widget)->text().contains(" - First - "));
    QCOMPARE(badgeLabels(widget), QStringList{"1/2"});

    // A new list starts again at its first vault.
    clickCounter(widget);
    widget.setVaults({vault("A", 1, true, false), vault("B", 1, true, false), vault("C", 1, true, false)});
    QVERIFY(badge(widget)->text().contains(" - A - "));
    QCOMPARE(badgeLabels(widget), QStringList{"1/3"});
}

void ClockWidgetTest::statusChangesOnlyTheFirstMatch()
{
    ClockVaultWidget widget;
    widget.setVaults({vault("One", 10, true, false, "/shared"), vault("Two", 10, true, false, "/shared")});
    widget.updateVaultStatus("/shared", true);
    QVERIFY(badge(widget)->text().endsWith(" - One - ENCRYPTED - MOUNTED"));
    clickCounter(widget);
    QTRY_VERIFY(badge(widget) && badge(widget)->text().endsWith(" - Two - ENCRYPTED - UNMOUNTED"));

    // An unknown path changes nothing but still rebuilds the row.
    widget.updateVaultStatus("/elsewhere", true);
    QVERIFY(badge(widget)->text().endsWith(" - Two - ENCRYPTED - UNMOUNTED"));
}

void ClockWidgetTest::unmountedBadgeAsksToSeeTheVault()
{
    ClockVaultWidget widget;
    widget.setVaults({vault("V", 10, true, false, "/vaults/v.qvimgv")});
    QSignalSpy clicked(&widget, &ClockVaultWidget::vaultClicked);
    QSignalSpy backup(&widget, &ClockVaultWidget::vaultBackupRequested);
    QVERIFY(!runPopupMenu([&] { badge(widget)->click(); }, {}));
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).toString(), QStringLiteral("/vaults/v.qvimgv"));
    QCOMPARE(backup.size(), 0);
}

void ClockWidgetTest::cloudDrivesFound_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("found");

    QTest::newRow("none") << QStringList{} << QStringList{};
    QTest::newRow("all, in their order")
        << QStringList{"Dropbox", "OneDrive", "Google Drive", iCloud}
        << QStringList{"iCloud", "Google Drive", "OneDrive", "Dropbox"};
    QTest::newRow("account folders, any case")
        << QStringList{"Library/CloudStorage/googledrive-me@example.org",
                       "Library/CloudStorage/ONEDRIVE-Personal"}
        << QStringList{"Google Drive", "OneDrive"};
    QTest::newRow("home folder and account folder count once")
        << QStringList{"Google Drive", "Library/CloudStorage/GoogleDrive-a", "Library/CloudStorage/GoogleDrive-b"}
        << QStringList{"Google Drive"};
    QTest::newRow("plain files do not count")
        << QStringList{"file:Library/CloudStorage/GoogleDrive-x", "file:Dropbox", "file:" + iCloud}
        << QStringList{};
    QTest::newRow("prefix without the dash")
        << QStringList{"Library/CloudStorage/GoogleDriveBackup"} << QStringList{};
}

void ClockWidgetTest::cloudDrivesFound()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, found);
    makeHomeEntries(home->path(), entries);
    ClockVaultWidget widget;
    QCOMPARE(widget.detectCloudDrives(), found);
}

void ClockWidgetTest::mountedBadgeMenu_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("menu");
    QTest::addColumn<QString>("choose");
    QTest::addColumn<QString>("backupTarget"); // empty: the choice asks for the vault instead

    QTest::newRow("no cloud drive, unmount")
        << QStringList{} << QStringList{"Vault: V", "---", "No cloud drives detected", "---", "Unmount"}
        << "Unmount" << "";
    // Dropbox is found but offers no backup, so the menu has neither.
    QTest::newRow("Dropbox only")
        << QStringList{"Dropbox"} << QStringList{"Vault: V", "---", "---", "Unmount"} << "" << "";
    QTest::newRow("iCloud")
        << QStringList{iCloud, "Dropbox"}
        << QStringList{"Vault: V", "---", "Backup to iCloud Drive", "---", "Unmount"}
        << "Backup to iCloud Drive" << "icloud";
    QTest::newRow("Google Drive")
        << QStringList{"Library/CloudStorage/GoogleDrive-me", "OneDrive"}
        << QStringList{"Vault: V", "---", "Backup to Google Drive", "Backup to OneDrive", "---", "Unmount"}
        << "Backup to Google Drive" << "gdrive";
    QTest::newRow("OneDrive")
        << QStringList{"OneDrive"} << QStringList{"Vault: V", "---", "Backup to OneDrive", "---", "Unmount"}
        << "Backup to OneDrive" << "onedrive";
}

void ClockWidgetTest::mountedBadgeMenu()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, menu);
    QFETCH(QString, choose);
    QFETCH(QString, backupTarget);

    ClockVaultWidget widget;
    widget.setVaults({vault("V", 10, true, true, "/vaults/v.qvimgv")});
    // Looked for when the menu opens, not when the badge was built.
    makeHomeEntries(home->path(), entries);
    QSignalSpy clicked(&widget, &ClockVaultWidget::vaultClicked);
    QSignalSpy backup(&widget, &ClockVaultWidget::vaultBackupRequested);

    QStringList shown;
    bool headingEnabled = true;
    const QStringList path = choose.isEmpty() ? QStringList{} : QStringList{choose};
    QVERIFY(runPopupMenu([&] { badge(widget)->click(); }, path, [&](QMenu* m) {
        shown = menuScript(m);
        headingEnabled = m->actions().first()->isEnabled();
    }));
    QCOMPARE(shown, menu);
    QVERIFY(!headingEnabled);

    if (!backupTarget.isEmpty()) {
        QTRY_COMPARE(backup.size(), 1);
        QCOMPARE(backup.at(0), (QList<QVariant>{"/vaults/v.qvimgv", backupTarget}));
        QCOMPARE(clicked.size(), 0);
    } else if (!choose.isEmpty()) {
        QTRY_COMPARE(clicked.size(), 1);
        QCOMPARE(clicked.at(0).at(0).toString(), QStringLiteral("/vaults/v.qvimgv"));
        QCOMPARE(backup.size(), 0);
    } else {
        QCOMPARE(clicked.size() + backup.size(), 0);
    }
}

OT_TEST_MAIN(ClockWidgetTest)
#include "tst_clockwidget.moc"
