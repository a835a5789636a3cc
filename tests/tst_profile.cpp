// The encrypted user profile: the file openssl writes and reads, what survives
// a failed write or an unreadable file, and what each setter stores.
#include "config/UserProfile.h"
#include "core/ToolRunner.h"

#include "FakeTools.h"
#include "TestHome.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QtTest>

#include <sys/stat.h>

#include <functional>
#include <memory>

using ProfileOp = std::function<void(UserProfile&)>;
using ProfileProbe = std::function<QString(const UserProfile&)>;
Q_DECLARE_METATYPE(ProfileOp)
Q_DECLARE_METATYPE(ProfileProbe)

namespace {

const QString realOpenssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));

// The pass phrase as a user would rebuild it to decrypt their own profile.
QByteArray passPhraseFor(const QByteArray& login)
{
    const QByteArray text = QSysInfo::machineHostName().toUtf8() + '|' + login + "|Rodudede-Profile-v4";
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
}

// Decrypts with the openssl command line, independently of the program.
QByteArray opensslDecrypt(const QString& path, const QByteArray& login)
{
    ToolRunner::Options options;
    options.standardInput = passPhraseFor(login) + '\n';
    const auto r = ToolRunner::run(realOpenssl, {"enc", "-d", "-aes-256-cbc", "-pbkdf2", "-pass", "stdin", "-in", path},
                                   options);
    return r.succeeded() ? r.stdOut : QByteArray("<openssl failed: " + r.stdErr + ">");
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

int modeOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QStringList configEntries()
{
    return QDir(UserProfile::configDir()).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// USER removed for as long as the object lives.
class UnsetEnv
{
public:
    explicit UnsetEnv(const char* name) : name(name), had(qEnvironmentVariableIsSet(name)), old(qgetenv(name))
    {
        qunsetenv(name);
    }
    ~UnsetEnv()
    {
        if (had)
            qputenv(name, old);
    }

private:
    const char* name;
    bool had;
    QByteArray old;
};

// The real openssl behind a recording stand-in, so a test can count runs and
// see the exact command lines.
class RecordedOpenssl
{
public:
    RecordedOpenssl()
    {
        fakes.recordReal(QStringLiteral("openssl"), realOpenssl);
    }
    int runs() const { return fakes.callCount(QStringLiteral("openssl")); }
    FakeTools fakes;
};

} // namespace

class ProfileTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(!realOpenssl.isEmpty(), "openssl is needed"); }
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void firstRunWritesOpensslFile_data();
    void firstRunWritesOpensslFile();
    void failedWriteKeepsOldProfile_data();
    void failedWriteKeepsOldProfile();
    void unreadableProfileIsSetAside_data();
    void unreadableProfileIsSetAside();
    void opensslThatDidNotRunLeavesProfileAlone_data();
    void opensslThatDidNotRunLeavesProfileAlone();
    void leftoverTemporaryIsRemovedAtLoad();
    void setters_data();
    void setters();
    void featureUnlockMessages_data();
    void featureUnlockMessages();

private:
    std::unique_ptr<TestHome> home;
};

void ProfileTest::firstRunWritesOpensslFile_data()
{
    QTest::addColumn<QByteArray>("login");
    QTest::newRow("USER set") << QByteArray("alice");
    // The key text keeps both separators around the empty login name.
    QTest::newRow("USER unset") << QByteArray();
}

void ProfileTest::firstRunWritesOpensslFile()
{
    QFETCH(QByteArray, login);
    std::unique_ptr<ScopedEnv> user;
    std::unique_ptr<UnsetEnv> noUser;
    if (login.isEmpty())
        noUser = std::make_unique<UnsetEnv>("USER");
    else
        user = std::make_unique<ScopedEnv>("USER", login);

    const QString path = UserProfile::profilePath();
    {
        RecordedOpenssl openssl;
        UserProfile profile;
        QVERIFY(profile.load());
        QCOMPARE(openssl.runs(), 1);
        // openssl writes beside the profile; the pass phrase is never an argument.
        const QStringList args = openssl.fakes.arguments(QStringLiteral("openssl"), 1);
        QCOMPARE(args.mid(0, 6), (QStringList{"enc", "-aes-256-cbc", "-pbkdf2", "-pass", "stdin", "-out"}));
        QCOMPARE(args.size(), 7);
        QVERIFY(args.at(6).startsWith(UserProfile::configDir() + QStringLiteral("/.profile.enc.tessaril-tmp-")));
        QVERIFY(openssl.fakes.standardInput(QStringLiteral("openssl"), 1).startsWith(passPhraseFor(login) + '\n'));
    }

    QCOMPARE(modeOf(path), 0600);
    QCOMPARE(configEntries(), QStringList{"profile.enc"});
    QVERIFY(readAll(path).startsWith("Salted__"));
    QCOMPARE(opensslDecrypt(path, login),
             QByteArray(R"({"devices":{},"features":[],"preferences":{},"prompts":{},"vaults":[],"version":1})"));

    // Read back by the next start.
    UserProfile writer;
    QVERIFY(writer.load());
    QVERIFY(writer.setPreference(QStringLiteral("name"), QStringLiteral("Ada <Lovelace> & \u00e9")));
    UserProfile reader;
    QVERIFY(reader.load());
    QCOMPARE(reader.preference(QStringLiteral("name")), QStringLiteral("Ada <Lovelace> & \u00e9"));
    QCOMPARE(modeOf(path), 0600);
}

void ProfileTest::failedWriteKeepsOldProfile_data()
{
    QTest::addColumn<QString>("behaviour");
    QTest::newRow("fails after a partial write") << QStringLiteral("exit 1");
    QTest::newRow("killed mid-write") << QStringLiteral("kill -KILL $$");
    QTest::newRow("hangs past the time-out") << QStringLiteral("exec sleep 30");
    QTest::newRow("claims success, leaves nothing") << QStringLiteral(": > \"$out\"; exit 0");
}

void ProfileTest::failedWriteKeepsOldProfile()
{
    QFETCH(QString, behaviour);
    ScopedEnv user("USER", "alice");
    const QString path = UserProfile::profilePath();
    UserProfile profile;
    QVERIFY(profile.load());
    QVERIFY(profile.addVaultPath(QStringLiteral("/vaults/one.qvimgv")));
    const QByteArray before = readAll(path);

    {
        FakeTools fakes;
        fakes.install(QStringLiteral("openssl"));
        // Notes the mode of the output file as openssl finds it, then writes
        // part of it and misbehaves.
        fakes.setHook(QStringLiteral("openssl"),
                      QStringLiteral("[ \"${@: -2:1}\" = -out ] || exit 99; out=\"${@: -1}\"; stat -c %a \"$out\" > \"$FAKE_STATE/outmode\"; "
                                     "printf 'Salted__partial' > \"$out\"; ")
                          + behaviour);
        // Only the hanging stand-in is meant to meet the time-out; the others
        // end on their own, however long a busy machine takes to run them.
        profile.finishTimeoutMs = behaviour.startsWith(QLatin1String("exec sleep")) ? 5000 : 120000;
        // The setter tells the failure and why.
        QVERIFY(!profile.addVaultPath(QStringLiteral("/vaults/two.qvimgv")));
        QVERIFY2(profile.saveError().startsWith(QLatin1String("openssl")), qPrintable(profile.saveError()));
        QVERIFY(!profile.save());
        // The change is held in memory for the rest of the run.
        QCOMPARE(profile.vaultPaths(), (QStringList{"/vaults/one.qvimgv", "/vaults/two.qvimgv"}));
        QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 2);
        QCOMPARE(readAll(fakes.stateDir() + "/outmode").trimmed(), QByteArray("600"));
        QVERIFY(!fakes.arguments(QStringLiteral("openssl")).contains(path));
    }

    QCOMPARE(readAll(path), before);
    QCOMPARE(modeOf(path), 0600);
    QCOMPARE(configEntries(), QStringList{"profile.enc"});
    UserProfile reader;
    QVERIFY(reader.load());
    QCOMPARE(reader.vaultPaths(), QStringList{"/vaults/one.qvimgv"});
}

void ProfileTest::unreadableProfileIsSetAside_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QByteArray>("readingLogin");
    // A host or login rename makes the old file undecryptable.
    QTest::newRow("written under another login") << QByteArray(R"({"vaults":["/v1"]})") << QByteArray("mallory");
    QTest::newRow("decrypts to a JSON array") << QByteArray("[1]") << QByteArray("alice");
}

void ProfileTest::unreadableProfileIsSetAside()
{
    QFETCH(QByteArray, stored);
    QFETCH(QByteArray, readingLogin);
    const QString path = UserProfile::profilePath();
    {
        ScopedEnv user("USER", "alice");
        UserProfile writer;
        QVERIFY(writer.encrypt(stored, path));
    }
    const QByteArray original = readAll(path);

    ScopedEnv user("USER", readingLogin);
    UserProfile profile;
    QVERIFY(!profile.load());
    QCOMPARE(readAll(path), original);
    QVERIFY(profile.vaultPaths().isEmpty());
    QCOMPARE(profile.preference(QStringLiteral("name"), QStringLiteral("fallback")), QStringLiteral("fallback"));

    QVERIFY(profile.addVaultPath(QStringLiteral("/v2")));
    QVERIFY(profile.addVaultPath(QStringLiteral("/v3")));
    const QStringList asides = QDir(UserProfile::configDir()).entryList({"profile.enc.unreadable-*"}, QDir::Files);
    QCOMPARE(asides.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^profile\\.enc\\.unreadable-\\d{14}$")).match(asides.first()).hasMatch());
    const QString aside = UserProfile::configDir() + '/' + asides.first();
    QCOMPARE(readAll(aside), original);
    QCOMPARE(modeOf(aside), 0600);
    QCOMPARE(opensslDecrypt(aside, "alice"), stored);

    // The new file holds only what was set after the failed load.
    const QJsonObject written = QJsonDocument::fromJson(opensslDecrypt(path, readingLogin)).object();
    QCOMPARE(QJsonDocument(written).toJson(QJsonDocument::Compact), QByteArray(R"({"vaults":["/v2","/v3"]})"));
    QCOMPARE(modeOf(path), 0600);
}

void ProfileTest::opensslThatDidNotRunLeavesProfileAlone_data()
{
    QTest::addColumn<QString>("behaviour");   // empty, and no fault: no openssl at all
    QTest::addColumn<QByteArray>("fault");    // an openssl that starts but cannot work
    QTest::newRow("missing") << QString() << QByteArray();
    QTest::newRow("hanging") << QStringLiteral("exec sleep 30") << QByteArray();
    QTest::newRow("killed") << QStringLiteral("kill -KILL $$") << QByteArray();
    QTest::newRow("broken install, exit 127") << QString() << QByteArray("libraries");
    QTest::newRow("unknown option, exit 1") << QString() << QByteArray("no-pbkdf2");
    QTest::newRow("exit 0, no output") << QString() << QByteArray("silent");
}

void ProfileTest::opensslThatDidNotRunLeavesProfileAlone()
{
    QFETCH(QString, behaviour);
    QFETCH(QByteArray, fault);
    ScopedEnv user("USER", "alice");
    const QString path = UserProfile::profilePath();
    {
        UserProfile writer;
        QVERIFY(writer.load());
        QVERIFY(writer.addVaultPath(QStringLiteral("/vaults/kept.qvimgv")));
        QVERIFY(writer.addGithubAccount({"octo", "Octo Cat", "o@example.org", "ghp_secret", "pro"}));
    }
    const QByteArray original = readAll(path);

    {
        // Without a behaviour or a fault the search path holds nothing at all.
        FakeTools fakes(!behaviour.isEmpty() || !fault.isEmpty());
        ScopedEnv faultName("OPENSSL_FAULT", fault);
        if (!fault.isEmpty()) {
            fakes.install(QStringLiteral("openssl"), QStringLiteral("openssl-broken"));
        } else if (!behaviour.isEmpty()) {
            fakes.install(QStringLiteral("openssl"));
            fakes.setHook(QStringLiteral("openssl"), behaviour);
        }
        UserProfile profile;
        profile.finishTimeoutMs = 500;
        QVERIFY(!profile.load());
        QVERIFY(profile.vaultPaths().isEmpty());
        // Every save of this run fails, the setters' included, and none of
        // them sets the file aside or writes over it.
        QVERIFY(!profile.addVaultPath(QStringLiteral("/vaults/new.qvimgv")));
        QVERIFY(!profile.setPreference(QStringLiteral("name"), QStringLiteral("x")));
        QVERIFY(!profile.save());
        QVERIFY(!profile.saveError().isEmpty());
        QCOMPARE(profile.vaultPaths(), QStringList{"/vaults/new.qvimgv"});
        // An account holds a token: one that could not be stored is not kept
        // either, so the list never shows what the next start will not find.
        QVERIFY(!profile.addGithubAccount({"new", "New", "", "ghp_new", ""}));
        QVERIFY(!profile.setActiveGithubLogin(QStringLiteral("new")));
        QVERIFY(profile.githubAccounts().isEmpty());
        QVERIFY(profile.activeGithubLogin().isEmpty());
        QCOMPARE(readAll(path), original);
        QCOMPARE(configEntries(), QStringList{"profile.enc"});
    }

    // The next start, with a working openssl, reads it whole.
    UserProfile next;
    QVERIFY(next.load());
    QCOMPARE(next.vaultPaths(), QStringList{"/vaults/kept.qvimgv"});
    QCOMPARE(next.githubAccounts().size(), 1);
    QCOMPARE(next.githubAccounts().first().pat, QStringLiteral("ghp_secret"));
}

void ProfileTest::leftoverTemporaryIsRemovedAtLoad()
{
    ScopedEnv user("USER", "alice");
    {
        UserProfile writer;
        QVERIFY(writer.load());
    }
    const QString dir = UserProfile::configDir();
    // The temporary file of a run killed an hour ago.
    for (const char* name : {".profile.enc.tessaril-tmp-Ab12Cd", "profile.enc.unreadable-20240101000000"}) {
        QFile file(dir + '/' + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Salted__left by a killed run");
        QVERIFY(file.flush());
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    UserProfile profile;
    QVERIFY(profile.load());
    // A profile set aside earlier is the user's to keep.
    QCOMPARE(configEntries(), (QStringList{"profile.enc", "profile.enc.unreadable-20240101000000"}));
}

void ProfileTest::setters_data()
{
    QTest::addColumn<QByteArray>("initial");   // stored before the profile is loaded; empty: the default profile
    QTest::addColumn<ProfileOp>("ops");
    QTest::addColumn<int>("writes");
    QTest::addColumn<ProfileProbe>("probe");
    QTest::addColumn<QString>("seen");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("stored");    // that key's value in the file, compact JSON

    const ProfileProbe vaults = [](const UserProfile& p) { return p.vaultPaths().join(','); };
    const ProfileProbe accounts = [](const UserProfile& p) {
        QStringList shown;
        for (const auto& a : p.githubAccounts())
            shown << a.login + ':' + a.name + ':' + a.pat;
        return shown.join(',') + " active=" + p.activeGithubLogin();
    };
    const UserProfile::GhAccount alice{"alice", "Alice", "a@example.org", "ghp_a1", "free"};
    const UserProfile::GhAccount alice2{"alice", "Alice L.", "a@example.org", "ghp_a2", "pro"};
    const UserProfile::GhAccount bob{"bob", "Bob", "b@example.org", "ghp_b", "free"};

    QTest::newRow("duplicate vault path writes nothing")
        << QByteArray()
        << ProfileOp([](UserProfile& p) {
               QVERIFY(p.addVaultPath("/a"));
               QVERIFY(p.addVaultPath("/b"));
               QVERIFY(p.addVaultPath("/a"));
           })
        << 2 << vaults << "/a,/b" << "vaults" << QByteArray(R"(["/a","/b"])");
    QTest::newRow("removing a path drops every copy; an absent one still writes")
        << QByteArray(R"({"vaults":["/a","/b","/a"]})")
        << ProfileOp([](UserProfile& p) {
               QVERIFY(p.removeVaultPath("/absent"));
               QVERIFY(p.removeVaultPath("/a"));
           })
        << 2 << vaults << "/b" << "vaults" << QByteArray(R"(["/b"])");
    QTest::newRow("updated account moves to the end")
        << QByteArray()
        << ProfileOp([=](UserProfile& p) {
               QVERIFY(p.addGithubAccount(alice));
               QVERIFY(p.addGithubAccount(bob));
               QVERIFY(p.updateGithubAccount(alice2));
           })
        << 3 << accounts << "bob:Bob:ghp_b,alice:Alice L.:ghp_a2 active=" << "github"
        << QByteArray(R"({"accounts":[{"email":"b@example.org","login":"bob","name":"Bob","pat":"ghp_b","plan":"free"},)"
                      R"({"email":"a@example.org","login":"alice","name":"Alice L.","pat":"ghp_a2","plan":"pro"}]})");
    QTest::newRow("an add replaces every stored copy of the login")
        << QByteArray(R"({"github":{"accounts":[{"login":"alice","name":"1"},{"login":"bob"},{"login":"alice","name":"2"}]}})")
        << ProfileOp([=](UserProfile& p) { QVERIFY(p.addGithubAccount(alice)); })
        << 1 << accounts << "bob::,alice:Alice:ghp_a1 active=" << "github"
        << QByteArray(R"({"accounts":[{"login":"bob"},)"
                      R"({"email":"a@example.org","login":"alice","name":"Alice","pat":"ghp_a1","plan":"free"}]})");
    QTest::newRow("removing the active account keeps the active login")
        << QByteArray()
        << ProfileOp([=](UserProfile& p) {
               QVERIFY(p.addGithubAccount(alice));
               QVERIFY(p.setActiveGithubLogin("alice"));
               QVERIFY(p.removeGithubAccount("alice"));
           })
        << 3 << accounts << " active=alice" << "github" << QByteArray(R"({"accounts":[],"active":"alice"})");
    QTest::newRow("an empty preference reads as the default")
        << QByteArray()
        << ProfileOp([](UserProfile& p) {
               QVERIFY(p.setPreference("name", "Ada"));
               QVERIFY(p.setPreference("name", QString()));
           })
        << 2 << ProfileProbe([](const UserProfile& p) { return p.preference("name", "Anonymous"); })
        << "Anonymous" << "preferences" << QByteArray(R"({"name":""})");
    QTest::newRow("a device marked seen twice writes twice")
        << QByteArray()
        << ProfileOp([](UserProfile& p) {
               QVERIFY(p.markDeviceSeen("key-1"));
               QVERIFY(p.markDeviceSeen("key-1"));
               QVERIFY(p.setDevicePreference("key-2", "label", "spare"));
           })
        << 3
        << ProfileProbe([](const UserProfile& p) {
               return QStringLiteral("%1 %2 %3").arg(int(p.isDeviceSeen("key-1"))).arg(int(p.isDeviceSeen("key-3")))
                   .arg(p.devicePreference("key-2", "label"));
           })
        << "1 0 spare" << "devices" << QByteArray(R"({"key-1":{},"key-2":{"label":"spare"}})");
    QTest::newRow("prompt answers")
        << QByteArray()
        << ProfileOp([](UserProfile& p) { QVERIFY(p.setPromptAnswer("vault-intro", "later")); })
        << 1
        << ProfileProbe([](const UserProfile& p) {
               return QStringLiteral("%1 %2 %3").arg(int(p.hasAnsweredPrompt("vault-intro")))
                   .arg(int(p.hasAnsweredPrompt("other"))).arg(p.promptAnswer("vault-intro"));
           })
        << "1 0 later" << "prompts" << QByteArray(R"({"vault-intro":"later"})");
}

void ProfileTest::setters()
{
    QFETCH(QByteArray, initial);
    QFETCH(ProfileOp, ops);
    QFETCH(int, writes);
    QFETCH(ProfileProbe, probe);
    QFETCH(QString, seen);
    QFETCH(QString, key);
    QFETCH(QByteArray, stored);
    ScopedEnv user("USER", "alice");

    RecordedOpenssl openssl;
    UserProfile profile;
    if (!initial.isEmpty())
        QVERIFY(profile.encrypt(initial, UserProfile::profilePath()));
    QVERIFY(profile.load());
    const int runsBefore = openssl.runs();
    ops(profile);
    QCOMPARE(openssl.runs() - runsBefore, writes);
    QCOMPARE(probe(profile), seen);

    const QJsonObject onDisk = QJsonDocument::fromJson(opensslDecrypt(UserProfile::profilePath(), "alice")).object();
    QCOMPARE(QJsonDocument::fromVariant(onDisk.value(key).toVariant()).toJson(QJsonDocument::Compact), stored);
}

void ProfileTest::featureUnlockMessages_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("message");
    QTest::newRow("devops-secrets") << "devops-secrets"
                                    << "DevOps Cloud Secret Storage \u2014 Kubernetes, Docker, Ansible, Terraform";
    QTest::newRow("usb-encryption") << "usb-encryption" << "USB Drive Encryption \u2014 encrypt drives without reformatting";
    QTest::newRow("vault-created") << "vault-created" << "Encrypted vault created \u2014 additional features now available";
    QTest::newRow("other id") << "multi-vault" << "multi-vault";
}

void ProfileTest::featureUnlockMessages()
{
    QFETCH(QString, id);
    QFETCH(QString, message);
    RecordedOpenssl openssl;
    UserProfile profile;
    QVERIFY(profile.load());
    QSignalSpy spy(&profile, &UserProfile::featureUnlocked);
    QVERIFY(profile.unlockFeature(id));
    QVERIFY(profile.unlockFeature(id));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), id);
    QCOMPARE(spy.at(0).at(1).toString(), message);
    QCOMPARE(openssl.runs(), 2);
    QVERIFY(profile.isFeatureUnlocked(id));
    QCOMPARE(profile.unlockedFeatures(), QStringList{id});
}

OT_TEST_MAIN(ProfileTest)
#include "tst_profile.moc"
