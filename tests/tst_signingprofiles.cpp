// Signing profiles stored as an array in the settings file.
#include "config/UserProfile.h"
#include "signing/SigningProfileManager.h"

#include "FileSizeLimit.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QtTest>

namespace {

QStringList fieldsOf(const SigningProfile& p)
{
    return {p.name, p.platform, p.macIdentity, p.macInstallerIdentity, p.notarizeProfile,
            p.entitlementsPath, p.certChainPem, p.pkcs11Uri, p.pkcs11ConfigPath, p.timestampUrl,
            p.deviceSerial, p.pivSlot, p.createdDate, p.lastUsedDate};
}

QStringList namesOf(const QList<SigningProfile>& profiles)
{
    QStringList names;
    for (const SigningProfile& p : profiles)
        names << p.name + QLatin1Char('/') + p.macIdentity;
    return names;
}

SigningProfile profile(const QString& name, const QString& identity = QString())
{
    SigningProfile p;
    p.name = name;
    p.platform = QStringLiteral("macos");
    p.macIdentity = identity;
    return p;
}

void writeSettingsFile(const QByteArray& text)
{
    QDir().mkpath(UserProfile::configDir());
    QFile file(UserProfile::configPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

QByteArray settingsFile()
{
    QFile file(UserProfile::configPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Three stored entries; the second lacks its platform.
const QByteArray storedWithInvalid =
    "[General]\n"
    "theme=dark\n"
    "\n"
    "[signingProfiles]\n"
    "1\\name=dup\n"
    "1\\platform=macos\n"
    "1\\macIdentity=first\n"
    "2\\name=broken\n"
    "2\\platform=\n"
    "3\\name=keep\n"
    "3\\platform=windows\n"
    "4\\name=dup\n"
    "4\\platform=macos\n"
    "4\\macIdentity=second\n"
    "size=4\n";

} // namespace

class SigningProfilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void nothingStored();
    void invalidEntriesAreSkippedInOrder();
    void saveReplacesInPlaceOrAppends();
    void removeDropsEveryMatchAndRewrites();
    void roundTripKeepsEveryField();
    void damagedSizeReadsOnlyStoredEntries();
    void saveThatCannotBeWrittenWholeFails();
    void savedProfileNeverHoldsThePin_data();
    void savedProfileNeverHoldsThePin();
    void pinAnOlderFileHoldsGoesAtTheNextWrite();
};

void SigningProfilesTest::nothingStored()
{
    TestHome home;
    QVERIFY(SigningProfileManager::loadAll().isEmpty());
    QCOMPARE(fieldsOf(SigningProfileManager::load(QStringLiteral("x"))), QStringList(14, QString()));
    writeSettingsFile("[General]\ntheme=light\n");
    QVERIFY(SigningProfileManager::loadAll().isEmpty());
}

void SigningProfilesTest::invalidEntriesAreSkippedInOrder()
{
    TestHome home;
    writeSettingsFile(storedWithInvalid);
    const QList<SigningProfile> all = SigningProfileManager::loadAll();
    QCOMPARE(namesOf(all), (QStringList{"dup/first", "keep/", "dup/second"}));
    // Keys missing from an entry read back as empty text.
    QCOMPARE(all.at(1).timestampUrl, QString());
    QCOMPARE(SigningProfileManager::load(QStringLiteral("dup")).macIdentity, QStringLiteral("first"));
    QCOMPARE(SigningProfileManager::load(QStringLiteral("broken")).name, QString());
}

void SigningProfilesTest::saveReplacesInPlaceOrAppends()
{
    TestHome home;
    SigningProfileManager::save(profile(QStringLiteral("A"), QStringLiteral("a1")));
    SigningProfileManager::save(profile(QStringLiteral("B"), QStringLiteral("b1")));
    SigningProfileManager::save(profile(QStringLiteral("C"), QStringLiteral("c1")));
    SigningProfileManager::save(profile(QStringLiteral("B"), QStringLiteral("b2")));
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), (QStringList{"A/a1", "B/b2", "C/c1"}));

    // Names differing only in case are different profiles.
    SigningProfileManager::save(profile(QStringLiteral("b"), QStringLiteral("lower")));
    QCOMPARE(namesOf(SigningProfileManager::loadAll()),
             (QStringList{"A/a1", "B/b2", "C/c1", "b/lower"}));
    QCOMPARE(SigningProfileManager::load(QStringLiteral("B")).macIdentity, QStringLiteral("b2"));
    QVERIFY(settingsFile().contains("size=4"));
}

void SigningProfilesTest::removeDropsEveryMatchAndRewrites()
{
    TestHome home;
    writeSettingsFile(storedWithInvalid);
    SigningProfileManager::remove(QStringLiteral("absent"));
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), (QStringList{"dup/first", "keep/", "dup/second"}));
    // The rewrite leaves the skipped entry behind, and the rest of the file alone.
    QVERIFY(!settingsFile().contains("broken"));
    QVERIFY(settingsFile().contains("size=3"));
    QVERIFY(settingsFile().contains("theme=dark"));

    SigningProfileManager::remove(QStringLiteral("dup"));
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), QStringList{"keep/"});
    QVERIFY(!settingsFile().contains("dup"));
    QVERIFY(settingsFile().contains("size=1"));
}

void SigningProfilesTest::roundTripKeepsEveryField()
{
    TestHome home;
    SigningProfile p;
    p.name = QStringLiteral("Release; \"quoted\" = name");
    p.platform = QStringLiteral("macos");
    p.macIdentity = QStringLiteral("Developer ID Application: Ex\u00e4mple (ABCDE12345)");
    p.notarizeProfile = QStringLiteral("notary");
    p.certChainPem = QStringLiteral("/home/me/chain.pem");
    p.pkcs11Uri = QStringLiteral("pkcs11:token=My%20Token;id=%01;type=private");
    p.timestampUrl = QStringLiteral("http://127.0.0.1:8080/tsa?x=1&y=2");
    p.pivSlot = QStringLiteral("9c");
    p.createdDate = QStringLiteral("2024-05-01T10:20:30");
    SigningProfileManager::save(p);
    QCOMPARE(fieldsOf(SigningProfileManager::load(p.name)), fieldsOf(p));

    const QByteArray file = settingsFile();
    QVERIFY2(file.contains("[signingProfiles]"), file.constData());
    QVERIFY(file.contains("1\\name="));
    QVERIFY(file.contains("1\\lastUsedDate="));
    QVERIFY(file.contains("size=1"));
}

void SigningProfilesTest::damagedSizeReadsOnlyStoredEntries()
{
    TestHome home;
    // A size, and an index, that would take an hour to walk entry by entry;
    // gaps between the entries present are no entries.
    writeSettingsFile("[signingProfiles]\n"
                      "1\\name=one\n1\\platform=macos\n"
                      "3\\name=two\n3\\platform=macos\n"
                      "2147483647\\name=x\n"
                      "size=2147483647\n");
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), (QStringList{"one/", "two/"}));
    QVERIFY(SigningProfileManager::save(profile(QStringLiteral("three"))));
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), (QStringList{"one/", "two/", "three/"}));
    QVERIFY(settingsFile().contains("size=3"));
    QVERIFY(!settingsFile().contains("2147483647"));
}

void SigningProfilesTest::saveThatCannotBeWrittenWholeFails()
{
    TestHome home;
    QVERIFY(SigningProfileManager::save(profile(QStringLiteral("kept"), QStringLiteral("id"))));
    const QByteArray before = settingsFile();

    SigningProfile large = profile(QStringLiteral("large"));
    large.certChainPem = QString(8000, QLatin1Char('c'));
    {
        FileSizeLimit diskFull(4096);
        QVERIFY(!SigningProfileManager::save(large));
    }
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), QStringList{"kept/id"});
    {
        // Even the much shorter file without the profile cannot be written.
        FileSizeLimit diskFull(16);
        QVERIFY(!SigningProfileManager::remove(QStringLiteral("kept")));
    }
    QCOMPARE(settingsFile(), before);
    QCOMPARE(namesOf(SigningProfileManager::loadAll()), QStringList{"kept/id"});
}

void SigningProfilesTest::savedProfileNeverHoldsThePin_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("stored");
    QTest::newRow("plain") << "pkcs11:token=PIV;pin-value=424242;type=private" << "pkcs11:token=PIV;type=private";
    QTest::newRow("first attribute") << "pkcs11:pin-value=424242;token=PIV;type=private"
                                     << "pkcs11:token=PIV;type=private";
    QTest::newRow("first, upper case") << "PKCS11:PIN-VALUE=424242;token=PIV" << "pkcs11:token=PIV";
    QTest::newRow("pin-source") << "pkcs11:pin-source=file:/run/pin424242;token=PIV" << "pkcs11:token=PIV";
    QTest::newRow("leading blank") << " pkcs11:token=PIV;pin-value=424242" << "pkcs11:token=PIV";
    QTest::newRow("leading TAB") << "\tpkcs11:token=PIV;pin-value=424242" << "pkcs11:token=PIV";
    QTest::newRow("upper case") << "PKCS11:token=PIV;PIN-VALUE=424242" << "pkcs11:token=PIV";
    QTest::newRow("percent-encoded name") << "pkcs11:token=PIV;pin%2Dvalue=424242" << "pkcs11:token=PIV";
    QTest::newRow("percent-encoded value") << "pkcs11:token=PIV;pin-value=%34%32%34%32%34%32"
                                           << "pkcs11:token=PIV";
    QTest::newRow("in the query") << "pkcs11:token=PIV?Pin-Value=424242&module-name=x"
                                  << "pkcs11:token=PIV?module-name=x";
}

void SigningProfilesTest::savedProfileNeverHoldsThePin()
{
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    TestHome home;
    SigningProfile p = profile(QStringLiteral("token"));
    p.pkcs11Uri = typed;
    QVERIFY(SigningProfileManager::save(p));
    const QByteArray file = settingsFile();
    QVERIFY2(!file.toLower().contains("pin"), file.constData());
    QVERIFY2(!file.contains("424242") && !file.contains("%34%32"), file.constData());
    QCOMPARE(SigningProfileManager::load(QStringLiteral("token")).pkcs11Uri, stored);
}

void SigningProfilesTest::pinAnOlderFileHoldsGoesAtTheNextWrite()
{
    TestHome home;
    writeSettingsFile("[signingProfiles]\n"
                      "1\\name=old\n"
                      "1\\platform=macos\n"
                      "1\\pkcs11Uri=\"pkcs11:pin-value=424242;token=PIV\"\n"
                      "2\\name=file\n"
                      "2\\platform=macos\n"
                      "2\\pkcs11Uri=\"/keys/key.pem \"\n"
                      "size=2\n");
    QVERIFY(SigningProfileManager::save(profile(QStringLiteral("new"))));
    const QByteArray file = settingsFile();
    QVERIFY2(!file.contains("424242") && !file.contains("pin-value"), file.constData());
    QCOMPARE(SigningProfileManager::load(QStringLiteral("old")).pkcs11Uri, QStringLiteral("pkcs11:token=PIV"));
    // A key file is no URI and stays exactly as stored.
    QCOMPARE(SigningProfileManager::load(QStringLiteral("file")).pkcs11Uri, QStringLiteral("/keys/key.pem "));
}

OT_TEST_MAIN(SigningProfilesTest)
#include "tst_signingprofiles.moc"
