// The settings file: the toolkit's INI content, read and written as before,
// owner-only, and never replaced by a file that did not reach the disk whole.
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/PrivateFiles.h"

#include "FileSizeLimit.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

namespace {

int modeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

// Values of the kinds the program stores, with the characters INI escapes.
QVariantMap sampleValues()
{
    return {
        {"theme", QStringLiteral("light")},
        {"welcomeShown", true},
        {"lastTab", 4},
        {"geometry", QByteArray("\x01\xd9\xd0\xcb\x00\x03\x00\x00\x0a\n;=", 12)},
        {"defaultVaultDir", QStringLiteral("/home/me/My Vaults; \"old\", = new \u00e9\u4e2d")},
        {"signing/timestampUrl", QStringLiteral("http://127.0.0.1:8080/tsa?x=1&y=2")},
        {"signing/notarizeProfile", QStringLiteral("  padded  ")},
        {"signing/appIdentity", QStringLiteral("@not a type")},
        {"tools/gpg", QString()},
        {"signingProfiles/1/name", QStringLiteral("Release \\ one")},
        {"signingProfiles/size", 1},
        {"General/odd", QStringLiteral("a key named like the general section")},
        {"list", QStringList{"a", "b,c", ""}},
    };
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void sameFileAsThePlainIniFormat();
    void fileCutShortKeepsTheOldOne_data();
    void fileCutShortKeepsTheOldOne();
    void folderAndFileAreOwnerOnly();

private:
    std::unique_ptr<TestHome> home;
};

void SettingsTest::sameFileAsThePlainIniFormat()
{
    const QVariantMap values = sampleValues();
    const QString plainPath = home->path() + "/plain.ini";
    {
        QSettings plain(plainPath, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            plain.setValue(it.key(), it.value());
    }
    {
        AppSettings settings;
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings->setValue(it.key(), it.value());
        QVERIFY(settings.sync());
    }
    QCOMPARE(readFile(UserProfile::configPath()), readFile(plainPath));

    // A file the plain format wrote (with a key order of its own) reads the same.
    QVERIFY(writeFile(UserProfile::configPath(), "zz=last\n" + readFile(plainPath)));
    AppSettings settings;
    QSettings plain(plainPath, QSettings::IniFormat);
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        QCOMPARE(settings->value(it.key()), plain.value(it.key()));
    QCOMPARE(settings->value("zz").toString(), QStringLiteral("last"));
    QCOMPARE(settings->value("geometry").toByteArray(), values.value("geometry").toByteArray());
}

void SettingsTest::fileCutShortKeepsTheOldOne_data()
{
    QTest::addColumn<int>("newSize");
    // Below Qt's buffer only the final flush fails; above it the write does.
    QTest::newRow("cut at the flush") << 6000;
    QTest::newRow("cut during the write") << 100000;
}

void SettingsTest::fileCutShortKeepsTheOldOne()
{
    QFETCH(int, newSize);
    {
        AppSettings settings;
        settings->setValue("theme", "light");
        settings->setValue("signingProfiles/1/name", "kept");
        settings->setValue("signingProfiles/size", 1);
    }
    const QString path = UserProfile::configPath();
    const QByteArray before = readFile(path);
    QVERIFY(!before.isEmpty());

    {
        FileSizeLimit diskFull(4096);
        AppSettings settings;
        settings->setValue("big", QString(newSize, QLatin1Char('x')));
        QVERIFY(!settings.sync());
        QCOMPARE(settings->status(), QSettings::AccessError);
    }
    QCOMPARE(readFile(path), before);
    QCOMPARE(QDir(UserProfile::configDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"OstrevanTessaril.yaml"});
    // What could not be written is not shown as stored either.
    AppSettings after;
    QCOMPARE(after->value("signingProfiles/1/name").toString(), QStringLiteral("kept"));
    QVERIFY(!after->contains("big"));
}

void SettingsTest::folderAndFileAreOwnerOnly()
{
    {
        AppSettings settings;
        settings->setValue("theme", "dark");
    }
    QCOMPARE(modeOf(UserProfile::configDir()), 0700);
    QCOMPARE(modeOf(UserProfile::configPath()), 0600);

    // Left wide by an earlier version: narrowed by the next write.
    QVERIFY(QFile::setPermissions(UserProfile::configPath(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    ::chmod(QFile::encodeName(UserProfile::configDir()).constData(), 0755);
    {
        AppSettings settings;
        settings->setValue("theme", "light");
    }
    QCOMPARE(modeOf(UserProfile::configDir()), 0700);
    QCOMPARE(modeOf(UserProfile::configPath()), 0600);
}

OT_TEST_MAIN(SettingsTest)
#include "tst_settings.moc"
