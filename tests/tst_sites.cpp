// The site store and the Site Manager: the encrypted file as openssl writes
// and reads it from outside, what survives an unreadable store or a failed
// write, the dialog's tree and edits as a user drives them, and the connect
// actions with their quoting, run for real against a loopback sshd.
#include "ui/remote/SiteManagerDialog.h"
#include "ui/remote/SiteStore.h"

#include "config/UserProfile.h"
#include "core/ShellQuote.h"
#include "core/ToolRunner.h"

#include "FakeTools.h"
#include "FileSizeLimit.h"
#include "LoopbackSshd.h"
#include "ModalDriver.h"
#include "TerminalScript.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>

#include <memory>

class SitesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void storeReadsAndWritesWhatOpensslDoes();
    void defaults_data();
    void defaults();
    void unreadableStoreIsSetAsideAndTold_data();
    void unreadableStoreIsSetAsideAndTold();
    void noStoreRunsNoTool();
    void failedWritesLeaveTheStoreWhole_data();
    void failedWritesLeaveTheStoreWhole();
    void leftoverTemporaryIsRemovedAtLoad();

    void treeAndDetails();
    void addSite_data();
    void addSite();
    void keyChoice();
    void editRemoveDuplicate();
    void failedSaveIsTold_data();
    void failedSaveIsTold();
    void groupRowOrNoneDoesNothing();
    void connectActions_data();
    void connectActions();
    void launcherThatDoesNotStartIsReported();
    void optionLikeTargetsAreRefused_data();
    void optionLikeTargetsAreRefused();
    void quotingHoldsAgainstARealShell();
    void shellWords_data();
    void shellWords();
    void opensslThatCannotWorkLeavesTheStoreAlone_data();
    void opensslThatCannotWorkLeavesTheStoreAlone();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<ScopedEnv> login;
};

namespace {

const QString realOpenssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));

QString storePath()
{
    return UserProfile::configDir() + QStringLiteral("/sites.enc");
}

// The pass phrase as a user would rebuild it to open their own store.
QByteArray passPhraseFor(const QByteArray& user)
{
    const QByteArray text = QSysInfo::machineHostName().toUtf8() + '|' + user + "|Lanthorn-Quays-v4";
    return QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex();
}

QByteArray opensslRun(const QStringList& arguments, const QByteArray& input)
{
    ToolRunner::Options options;
    options.standardInput = input;
    const auto r = ToolRunner::run(realOpenssl, arguments, options);
    return r.succeeded() ? r.stdOut : QByteArray("<openssl failed: " + r.stdErr + ">");
}

QByteArray decryptStore(const QByteArray& user = "tess")
{
    return opensslRun({"enc", "-d", "-aes-256-cbc", "-pbkdf2", "-pass", "stdin", "-in", storePath()},
                      passPhraseFor(user) + '\n');
}

// Writes the store from outside, as the openssl command line does.
void encryptStore(const QByteArray& json, const QByteArray& user = "tess", const QStringList& extra = {})
{
    QDir().mkpath(UserProfile::configDir());
    QStringList arguments{"enc", "-aes-256-cbc", "-pbkdf2"};
    arguments << extra << QStringList{"-pass", "stdin", "-out", storePath()};
    opensslRun(arguments, passPhraseFor(user) + '\n' + json);
}

int modeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

SiteProfile site(const QString& name, const QString& group = {}, const QString& host = QStringLiteral("h.example"))
{
    SiteProfile s;
    s.name = name;
    s.group = group;
    s.hostname = host;
    s.user = QStringLiteral("alice");
    s.auth = QStringLiteral("key");
    s.protocol = QStringLiteral("ssh");
    return s;
}

void storeSites(const QList<SiteProfile>& sites)
{
    SiteStore store(storePath(), passPhraseFor("tess"));
    QCOMPARE(store.save(sites), QString());
}

QStringList names(const QList<SiteProfile>& sites)
{
    QStringList list;
    for (const SiteProfile& s : sites)
        list << s.name;
    return list;
}

QTreeWidget* treeOf(SiteManagerDialog& dialog)
{
    return dialog.findChild<QTreeWidget*>();
}

QTextEdit* detailsOf(SiteManagerDialog& dialog)
{
    return dialog.findChild<QTextEdit*>();
}

// The tree as lines: group rows by their label, site rows by their columns,
// children indented.
QStringList treeLines(QTreeWidget* tree)
{
    QStringList lines;
    const auto describe = [](QTreeWidgetItem* item) {
        QStringList columns;
        for (int c = 0; c < item->columnCount(); ++c)
            columns << item->text(c);
        return columns.join(QLatin1Char('|')) + QStringLiteral(" #") + item->data(0, Qt::UserRole).toString();
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        QTreeWidgetItem* top = tree->topLevelItem(i);
        lines << describe(top);
        for (int j = 0; j < top->childCount(); ++j)
            lines << QStringLiteral("  ") + describe(top->child(j));
    }
    return lines;
}

QTreeWidgetItem* rowNamed(QTreeWidget* tree, const QString& name)
{
    const QList<QTreeWidgetItem*> found = tree->findItems(name, Qt::MatchExactly | Qt::MatchRecursive, 0);
    return found.isEmpty() ? nullptr : found.first();
}


} // namespace

void SitesTest::init()
{
    home = std::make_unique<TestHome>();
    login = std::make_unique<ScopedEnv>("USER", "tess");
}

void SitesTest::cleanup()
{
    login.reset();
    home.reset();
}

void SitesTest::storeReadsAndWritesWhatOpensslDoes()
{
    // Written by the dialog, read by the openssl command line.
    {
        ModalDriver driver;
        for (const char* answer : {"Web", "Prod", "web.example", "deploy", "password", "Green (#22c55e)"})
            driver.typeText(QString::fromUtf8(answer));
        SiteManagerDialog dialog;
        clickButton(&dialog, QStringLiteral("Add Site..."));
        QCOMPARE(driver.pending(), 0);
    }
    const QByteArray plain = decryptStore();
    QVERIFY2(!plain.contains('\n') && !plain.contains("  "), plain.constData());
    const QJsonDocument document = QJsonDocument::fromJson(plain);
    QVERIFY(document.isArray());
    QCOMPARE(document.array().size(), 1);
    const QJsonObject object = document.array().first().toObject();
    QStringList keys = object.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"auth", "color", "compression", "group", "hostname", "keepAlive", "keyPath",
                                "localDir", "name", "notes", "port", "protocol", "remoteDir", "user"}));
    for (const QString& key : keys) {
        const QJsonValue value = object.value(key);
        if (key == QLatin1String("port") || key == QLatin1String("keepAlive"))
            QVERIFY2(value.isDouble() && value.toDouble() == double(value.toInt()), qPrintable(key));
        else if (key == QLatin1String("compression"))
            QVERIFY(value.isBool());
        else
            QVERIFY2(value.isString(), qPrintable(key));
    }
    QCOMPARE(object.value("name").toString(), QStringLiteral("Web"));
    QCOMPARE(object.value("group").toString(), QStringLiteral("Prod"));
    QCOMPARE(object.value("user").toString(), QStringLiteral("deploy"));
    QCOMPARE(object.value("auth").toString(), QStringLiteral("password"));
    QCOMPARE(object.value("color").toString(), QStringLiteral("#22c55e"));
    QCOMPARE(object.value("protocol").toString(), QStringLiteral("ssh"));
    QCOMPARE(object.value("port").toInt(), 22);
    QCOMPARE(object.value("keepAlive").toInt(), 60);
    QCOMPARE(modeOf(storePath()), 0600);
    QCOMPARE(QDir(UserProfile::configDir()).entryList(QDir::Files), QStringList{"sites.enc"});

    // Written by the openssl command line with its defaults spelt out.
    encryptStore(R"([{"name":"Outside","hostname":"o.example","port":2200}])", "tess",
                 {"-iter", "10000", "-md", "sha256"});
    const QList<SiteProfile> sites = SiteManagerDialog::loadProfiles();
    QCOMPARE(names(sites), QStringList{"Outside"});
    QCOMPARE(sites.first().port, 2200);
    QCOMPARE(sites.first().hostname, QStringLiteral("o.example"));
}

void SitesTest::defaults_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QStringList>("expected");   // name, port, auth, protocol, keepAlive, compression
    QTest::newRow("missing keys") << QByteArray(R"([{"name":"a"}])")
                                  << QStringList{"a", "22", "key", "ssh", "60", "false"};
    QTest::newRow("port as text") << QByteArray(R"([{"name":"a","port":"2222"}])")
                                  << QStringList{"a", "22", "key", "ssh", "60", "false"};
    QTest::newRow("port not whole") << QByteArray(R"([{"name":"a","port":2222.5,"keepAlive":1.5}])")
                                    << QStringList{"a", "22", "key", "ssh", "60", "false"};
    QTest::newRow("port beyond 32 bits") << QByteArray(R"([{"name":"a","port":4294967318}])")
                                         << QStringList{"a", "22", "key", "ssh", "60", "false"};
    QTest::newRow("stored values") << QByteArray(R"([{"name":"a","port":2222,"auth":"agent","protocol":"sftp",)"
                                                 R"("keepAlive":15,"compression":true}])")
                                   << QStringList{"a", "2222", "agent", "sftp", "15", "true"};
    QTest::newRow("wrong types") << QByteArray(R"([{"name":7,"auth":1,"protocol":null,"compression":"yes"}])")
                                 << QStringList{"", "22", "key", "ssh", "60", "false"};
    QTest::newRow("bare number") << QByteArray("[5]") << QStringList{"", "22", "key", "ssh", "60", "false"};
    QTest::newRow("not an array") << QByteArray(R"({"name":"a"})") << QStringList{};
    QTest::newRow("empty array") << QByteArray("[]") << QStringList{};
}

void SitesTest::defaults()
{
    QFETCH(QByteArray, json);
    QFETCH(QStringList, expected);
    encryptStore(json);
    const QList<SiteProfile> sites = SiteManagerDialog::loadProfiles();
    QStringList actual;
    if (!sites.isEmpty()) {
        QCOMPARE(sites.size(), 1);
        const SiteProfile& s = sites.first();
        actual << s.name << QString::number(s.port) << s.auth << s.protocol << QString::number(s.keepAlive)
               << (s.compression ? "true" : "false");
        QCOMPARE(s.hostname, QString());
    }
    QCOMPARE(actual, expected);
}

// A store that cannot be read is never written over: opening the Site
// Manager moves it aside unchanged and says, once, where it went and why.
void SitesTest::unreadableStoreIsSetAsideAndTold_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("reason");
    const QString undecryptable = QStringLiteral(
        "it could not be decrypted with the key of this computer and login (the host name or the login name has "
        "changed since it was saved, or the file is damaged)");
    QTest::newRow("written under another login") << "login" << undecryptable;
    QTest::newRow("a corrupted byte") << "byte" << undecryptable;
    QTest::newRow("no list inside") << "object"
                                    << "it was decrypted, but holds no list of sites (the file is damaged)";
}

void SitesTest::unreadableStoreIsSetAsideAndTold()
{
    QFETCH(QString, damage);
    QFETCH(QString, reason);
    if (damage == QLatin1String("login")) {
        encryptStore(R"([{"name":"Alice's"}])", "alice");
    } else if (damage == QLatin1String("object")) {
        encryptStore(R"({"name":"Mine"})");
    } else {
        storeSites({site(QStringLiteral("Mine"))});
        QByteArray bytes = readFile(storePath());
        // A bit flipped in the last byte of the next-to-last block flips the
        // same bit of the padding, which then never checks; flipping the last
        // block itself would leave valid padding about once in 256 runs.
        const qsizetype at = bytes.size() - 17;
        bytes[at] = char(bytes.at(at) ^ 0x01);
        QVERIFY(writeFile(storePath(), bytes));
    }
    const QByteArray before = readFile(storePath());
    // Reading alone moves nothing.
    QVERIFY(SiteManagerDialog::loadProfiles().isEmpty());
    QCOMPARE(readFile(storePath()), before);

    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    for (const char* answer : {"New", "", "m.example", "tess", "agent", "Default"})
        driver.typeText(QString::fromUtf8(answer));
    SiteManagerDialog dialog;
    QCOMPARE(driver.titles, QStringList{"Site Manager"});
    const QStringList aside = QDir(UserProfile::configDir()).entryList({"sites.enc.unreadable-*"}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QVERIFY(QRegularExpression(QStringLiteral("^sites\\.enc\\.unreadable-\\d{14}$")).match(aside.first()).hasMatch());
    const QString asidePath = UserProfile::configDir() + QLatin1Char('/') + aside.first();
    QCOMPARE(driver.texts.first(),
             QStringLiteral("Your stored sites could not be read: %1.\n\n"
                            "The file was moved aside unchanged, and nothing will write over it:\n%2\n\n"
                            "The site list starts empty; sites you add are saved in a new sites.enc.")
                 .arg(reason, asidePath));
    QCOMPARE(readFile(asidePath), before);
    QVERIFY(!QFile::exists(storePath()));
    QCOMPARE(treeOf(dialog)->topLevelItemCount(), 0);

    // The next change starts a new store, without a second word; the old file stays as it was.
    clickButton(&dialog, QStringLiteral("Add Site..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles.count(QStringLiteral("Site Manager")), 1);
    QCOMPARE(treeLines(treeOf(dialog)), QStringList{"New|m.example|tess|22|agent|ssh #0"});
    QVERIFY(decryptStore().startsWith("[{"));
    QCOMPARE(readFile(asidePath), before);
    QCOMPARE(QDir(UserProfile::configDir()).entryList({"sites.enc*"}, QDir::Files),
             (QStringList{"sites.enc", aside.first()}));

    if (damage == QLatin1String("login")) {
        // Under its own login the old store still reads.
        ScopedEnv alice("USER", "alice");
        SiteStore old(asidePath, passPhraseFor("alice"));
        QCOMPARE(names(old.load()), QStringList{"Alice's"});
    }
}

void SitesTest::noStoreRunsNoTool()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("openssl"));
    QVERIFY(SiteManagerDialog::loadProfiles().isEmpty());
    SiteManagerDialog dialog;
    QCOMPARE(treeOf(dialog)->topLevelItemCount(), 0);
    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 0);
}

void SitesTest::failedWritesLeaveTheStoreWhole_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("openssl fails") << "fails";
    QTest::newRow("openssl hangs") << "hangs";
    QTest::newRow("openssl missing") << "missing";
    QTest::newRow("store could not be read at all") << "unread";
}

void SitesTest::failedWritesLeaveTheStoreWhole()
{
    QFETCH(QString, how);
    storeSites({site(QStringLiteral("Kept"))});
    const QByteArray before = readFile(storePath());
    SiteStore store(storePath(), passPhraseFor("tess"));
    if (how != QLatin1String("unread"))
        QCOMPARE(names(store.load()), QStringList{"Kept"});
    // Short waits only for the stand-in: the real openssl above may be slow.
    store.startTimeoutMs = 2000;
    store.finishTimeoutMs = 500;

    FakeTools fakes(how != QLatin1String("missing"));
    fakes.install(QStringLiteral("openssl"));
    if (how == QLatin1String("fails") || how == QLatin1String("unread"))
        fakes.answer(QStringLiteral("openssl"), "Salted__garbage", 1, "bad encrypt\n");
    if (how == QLatin1String("hangs") || how == QLatin1String("unread"))
        fakes.setSleep(QStringLiteral("openssl"), 5);
    if (how == QLatin1String("missing"))
        QFile::remove(fakes.binDir() + QStringLiteral("/openssl"));
    if (how == QLatin1String("unread"))
        QVERIFY(store.load().isEmpty());

    QVERIFY(!store.save({site(QStringLiteral("Lost"))}).isEmpty());
    QCOMPARE(readFile(storePath()), before);
    QCOMPARE(QDir(UserProfile::configDir()).entryList(QDir::Files), QStringList{"sites.enc"});
}

void SitesTest::leftoverTemporaryIsRemovedAtLoad()
{
    storeSites({site(QStringLiteral("Kept"))});
    // The temporary file of a run killed an hour ago.
    for (const char* name : {".sites.enc.tessaril-tmp-Ab12Cd", "sites.enc.unreadable-20240101000000"}) {
        QFile file(UserProfile::configDir() + '/' + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("Salted__left by a killed run");
        QVERIFY(file.flush());
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    }
    SiteStore store(storePath(), passPhraseFor("tess"));
    QCOMPARE(names(store.load()), QStringList{"Kept"});
    // A store set aside earlier is the user's to keep.
    QCOMPARE(QDir(UserProfile::configDir()).entryList({QStringLiteral("*sites.enc*")}, QDir::Files | QDir::Hidden),
             (QStringList{"sites.enc", "sites.enc.unreadable-20240101000000"}));
}

void SitesTest::treeAndDetails()
{
    SiteProfile first = site(QStringLiteral("One"), QStringLiteral("X"));
    first.color = QStringLiteral("#dc2626");
    first.port = 2200;
    first.keyPath = QStringLiteral("~/.ssh/id_ed25519");
    first.remoteDir = QStringLiteral("/srv");
    first.localDir = QStringLiteral("/home/tess/site");
    first.notes = QStringLiteral("<b>not bold</b>");
    first.compression = true;
    first.keepAlive = 30;
    storeSites({first, site(QStringLiteral("Two")), site(QStringLiteral("Three"), QStringLiteral("Y")),
                site(QStringLiteral("Four"), QStringLiteral("X"))});
    SiteManagerDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Site Manager \u2014 Ostrevan Tessaril"));
    QTreeWidget* tree = treeOf(dialog);
    QCOMPARE(treeLines(tree), (QStringList{"X #-1",
                                           "  One|h.example|alice|2200|key|ssh #0",
                                           "  Four|h.example|alice|22|key|ssh #3",
                                           "Two|h.example|alice|22|key|ssh #1",
                                           "Y #-1",
                                           "  Three|h.example|alice|22|key|ssh #2"}));
    QVERIFY(tree->topLevelItem(0)->isExpanded());
    QCOMPARE(rowNamed(tree, "One")->foreground(0).color(), QColor(QStringLiteral("#dc2626")));

    QTextEdit* details = detailsOf(dialog);
    QCOMPARE(details->placeholderText(), QStringLiteral("Select a site to view details..."));
    QVERIFY(details->toPlainText().isEmpty());
    tree->setCurrentItem(rowNamed(tree, "One"));
    const QString expected = QStringLiteral(
        "Name:       One\nGroup:      X\nHost:       h.example\nUser:       alice\nPort:       2200\n"
        "Auth:       key\nKey:        ~/.ssh/id_ed25519\nRemote Dir: /srv\nLocal Dir:  /home/tess/site\n"
        "Protocol:   ssh\nKeep-Alive: 30s\nCompress:   yes\nNotes:      <b>not bold</b>");
    QCOMPARE(details->toPlainText(), expected);
    // A group row leaves the details as they were.
    tree->setCurrentItem(tree->topLevelItem(2));
    QCOMPARE(details->toPlainText(), expected);
}

void SitesTest::addSite_data()
{
    QTest::addColumn<QStringList>("answers");   // "<cancel>" cancels that dialog
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QStringList>("stored");    // name|group|host|user|auth|key|color; empty: nothing added
    const QStringList all{"Site name:", "Group (e.g., AWS, Office, Personal):", "Hostname / IP:", "Username:",
                          "Authentication:", "Tab color:"};
    QTest::newRow("touch, blue") << QStringList{"Lab", "", "lab.example", "root", "touch (YubiKey)", "Blue (#0ea5e9)"}
                                 << all << QStringList{"Lab||lab.example|root|touch||#0ea5e9"};
    QTest::newRow("colour cancelled still adds")
        << QStringList{"Lab", "G", "lab.example", "", "agent", "<cancel>"} << all
        << QStringList{"Lab|G|lab.example||agent||"};
    QTest::newRow("key without key files") << QStringList{"Lab", "", "h", "tess", "key", "Purple (#8b5cf6)"}
                                           << all << QStringList{"Lab||h|tess|key||#8b5cf6"};
    QTest::newRow("empty name") << QStringList{""} << all.mid(0, 1) << QStringList{};
    QTest::newRow("name cancelled") << QStringList{"<cancel>"} << all.mid(0, 1) << QStringList{};
    QTest::newRow("empty host") << QStringList{"Lab", "G", ""} << all.mid(0, 3) << QStringList{};
    QTest::newRow("user cancelled") << QStringList{"Lab", "G", "h", "<cancel>"} << all.mid(0, 4) << QStringList{};
    QTest::newRow("authentication cancelled")
        << QStringList{"Lab", "G", "h", "u", "<cancel>"} << all.mid(0, 5) << QStringList{};
}

void SitesTest::addSite()
{
    QFETCH(QStringList, answers);
    QFETCH(QStringList, labels);
    QFETCH(QStringList, stored);
    ModalDriver driver;
    QString offeredUser;
    for (const QString& answer : answers) {
        if (answer == QLatin1String("<cancel>")) {
            driver.cancelInput();
        } else if (answer == QLatin1String("root")) {
            // Also looks at the user name offered before typing over it.
            driver.enqueue([&](QWidget* w) {
                auto* input = qobject_cast<QInputDialog*>(w);
                offeredUser = input->textValue();
                input->setTextValue(QStringLiteral("root"));
                input->accept();
            });
        } else {
            driver.typeText(answer);
        }
    }
    SiteManagerDialog dialog;
    clickButton(&dialog, QStringLiteral("Add Site..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.texts, labels);
    QCOMPARE(driver.titles, QStringList(labels.size(), QStringLiteral("Add Site")));
    if (!offeredUser.isNull())
        QCOMPARE(offeredUser, QStringLiteral("tess"));

    QStringList actual;
    for (const SiteProfile& s : SiteManagerDialog::loadProfiles()) {
        actual << QStringList{s.name, s.group, s.hostname, s.user, s.auth, s.keyPath, s.color}.join(QLatin1Char('|'));
        QCOMPARE(s.protocol, QStringLiteral("ssh"));
        QCOMPARE(s.port, 22);
    }
    QCOMPARE(actual, stored);
    QCOMPARE(treeOf(dialog)->topLevelItemCount(), stored.size());
    if (stored.isEmpty())
        QVERIFY(!QFile::exists(storePath()));
}

void SitesTest::keyChoice()
{
    const QString ssh = home->path() + QStringLiteral("/.ssh/");
    for (const char* file : {"id_rsa", "id_rsa.pub", "id_Ed25519", "id_Ed25519.pub", "id_b", "known_hosts", "config"})
        QVERIFY(writeFile(ssh + QString::fromLatin1(file), "x"));
    QDir().mkpath(ssh + QStringLiteral("id_folder"));

    QStringList offered;
    ModalDriver driver;
    for (const char* answer : {"Lab", "", "h", "tess", "key"})
        driver.typeText(QString::fromUtf8(answer));
    driver.enqueue([&](QWidget* w) {
        auto* input = qobject_cast<QInputDialog*>(w);
        offered = input->comboBoxItems();
        input->setTextValue(QStringLiteral("id_Ed25519"));
        input->accept();
    });
    driver.typeText(QStringLiteral("Default"));
    // A cancelled key choice still adds the site, without a key.
    for (const char* answer : {"Lab 2", "", "h", "tess", "key"})
        driver.typeText(QString::fromUtf8(answer));
    driver.cancelInput();
    driver.typeText(QStringLiteral("Default"));

    SiteManagerDialog dialog;
    clickButton(&dialog, QStringLiteral("Add Site..."));
    clickButton(&dialog, QStringLiteral("Add Site..."));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(offered, (QStringList{"id_b", "id_Ed25519", "id_rsa"}));
    QCOMPARE(driver.texts.at(5), QStringLiteral("SSH Key:"));
    const QList<SiteProfile> sites = SiteManagerDialog::loadProfiles();
    QCOMPARE(names(sites), (QStringList{"Lab", "Lab 2"}));
    QCOMPARE(sites.at(0).keyPath, QStringLiteral("~/.ssh/id_Ed25519"));
    QCOMPARE(sites.at(1).keyPath, QString());
    QCOMPARE(sites.at(1).color, QString());
}

void SitesTest::editRemoveDuplicate()
{
    storeSites({site(QStringLiteral("A"), QStringLiteral("G")), site(QStringLiteral("B"))});
    SiteManagerDialog dialog;
    QTreeWidget* tree = treeOf(dialog);

    // Edit cancelled at either prompt: nothing changes, on disk either.
    const QByteArray before = readFile(storePath());
    {
        ModalDriver driver;
        driver.cancelInput();
        driver.typeText(QStringLiteral("new.example"));
        driver.cancelInput();
        tree->setCurrentItem(rowNamed(tree, "A"));
        clickButton(&dialog, QStringLiteral("Edit..."));
        clickButton(&dialog, QStringLiteral("Edit..."));
        QCOMPARE(driver.titles, QStringList(3, QStringLiteral("Edit: A")));
        QCOMPARE(driver.texts, (QStringList{"Hostname:", "Hostname:", "User:"}));
    }
    QCOMPARE(readFile(storePath()), before);

    // An accepted edit stores both answers, an empty host included.
    {
        ModalDriver driver;
        driver.typeText(QString());
        driver.typeText(QStringLiteral("bob"));
        tree->setCurrentItem(rowNamed(tree, "A"));
        clickButton(&dialog, QStringLiteral("Edit..."));
    }
    QList<SiteProfile> sites = SiteManagerDialog::loadProfiles();
    QCOMPARE(sites.at(0).hostname, QString());
    QCOMPARE(sites.at(0).user, QStringLiteral("bob"));
    QCOMPARE(sites.at(0).group, QStringLiteral("G"));

    // Duplicate, then duplicate the copy.
    tree->setCurrentItem(rowNamed(tree, "A"));
    clickButton(&dialog, QStringLiteral("Duplicate"));
    tree->setCurrentItem(rowNamed(tree, "A (copy)"));
    clickButton(&dialog, QStringLiteral("Duplicate"));
    sites = SiteManagerDialog::loadProfiles();
    QCOMPARE(names(sites), (QStringList{"A", "B", "A (copy)", "A (copy) (copy)"}));
    QCOMPARE(sites.at(3).group, QStringLiteral("G"));
    QCOMPARE(sites.at(3).user, QStringLiteral("bob"));
    QCOMPARE(treeLines(tree).first(), QStringLiteral("G #-1"));
    QCOMPARE(tree->topLevelItem(0)->childCount(), 3);

    // Remove asks; No keeps the site.
    {
        ModalDriver driver;
        driver.pressButton(QMessageBox::No);
        driver.pressButton(QMessageBox::Yes);
        tree->setCurrentItem(rowNamed(tree, "B"));
        clickButton(&dialog, QStringLiteral("Remove"));
        QCOMPARE(names(SiteManagerDialog::loadProfiles()).size(), 4);
        tree->setCurrentItem(rowNamed(tree, "B"));
        clickButton(&dialog, QStringLiteral("Remove"));
        QCOMPARE(driver.titles, QStringList(2, QStringLiteral("Remove Site")));
        QCOMPARE(driver.texts.first(), QStringLiteral("Remove 'B'?"));
    }
    QCOMPARE(names(SiteManagerDialog::loadProfiles()), (QStringList{"A", "A (copy)", "A (copy) (copy)"}));
    QCOMPARE(modeOf(storePath()), 0600);
}

void SitesTest::failedSaveIsTold_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("answers");   // prompts before the save
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("told");
    QTest::addColumn<QStringList>("treeAfter");
    // An openssl that cannot encrypt, and no store yet.
    QTest::newRow("add, openssl that fails")
        << "Add Site..." << QStringList{"Web", "", "web.example", "tess", "password", "Default"} << "Add Site"
        << "The new site \"Web\" was not saved: openssl exited with code 1: enc: Unrecognized flag pbkdf2."
        << QStringList{};
    // A disk that fills up while the store is written.
    QTest::newRow("edit, disk full")
        << "Edit..." << QStringList{"new.example", "bob"} << "Edit: A" << "The changes to \"A\" were not saved: "
        << QStringList{"A", "B"};
    QTest::newRow("duplicate, disk full")
        << "Duplicate" << QStringList{} << "Duplicate Site" << "The copy of \"A\" was not saved: "
        << QStringList{"A", "B"};
    QTest::newRow("remove, disk full")
        << "Remove" << QStringList{"<yes>"} << "Remove Site"
        << "The removal of \"A\" was not saved, so the site is still stored: " << QStringList{"A", "B"};
}

// A change whose save fails is told, with the reason; the tree shows the
// store as it still is.
void SitesTest::failedSaveIsTold()
{
    QFETCH(QString, button);
    QFETCH(QStringList, answers);
    QFETCH(QString, title);
    QFETCH(QString, told);
    QFETCH(QStringList, treeAfter);
    const bool adding = button == QLatin1String("Add Site...");
    if (!adding)
        storeSites({site(QStringLiteral("A")), site(QStringLiteral("B"))});
    const QByteArray before = QFile::exists(storePath()) ? readFile(storePath()) : QByteArray();

    FakeTools fakes;
    std::unique_ptr<ScopedEnv> fault;
    if (adding) {
        fakes.install(QStringLiteral("openssl"), QStringLiteral("openssl-broken"));
        fault = std::make_unique<ScopedEnv>("OPENSSL_FAULT", "no-pbkdf2");
    }
    SiteManagerDialog dialog;
    QTreeWidget* tree = treeOf(dialog);
    if (!adding)
        tree->setCurrentItem(rowNamed(tree, "A"));
    ModalDriver driver;
    driver.answerInOrder(answers);
    QString shown;
    driver.enqueueFor<QMessageBox>([&shown](QMessageBox* box) {
        QCOMPARE(box->textFormat(), Qt::PlainText);
        shown = box->text();
        box->accept();
    });
    {
        std::unique_ptr<FileSizeLimit> full;
        if (!adding)
            full = std::make_unique<FileSizeLimit>(16);
        clickButton(&dialog, button);
    }
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles.last(), title);
    // The reason of a full disk is the tool's own.
    if (told.endsWith(QLatin1Char('.')))
        QCOMPARE(shown, told);
    else
        QVERIFY2(shown.startsWith(told) && shown.endsWith(QLatin1Char('.')) && shown.size() > told.size() + 1,
                 qPrintable(shown));
    QStringList names;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        names << tree->topLevelItem(i)->text(0);
    QCOMPARE(names, treeAfter);
    QCOMPARE(QFile::exists(storePath()) ? readFile(storePath()) : QByteArray(), before);
}

void SitesTest::groupRowOrNoneDoesNothing()
{
    storeSites({site(QStringLiteral("A"), QStringLiteral("G"))});
    const QByteArray before = readFile(storePath());
    FakeTools fakes;
    fakes.install(QStringLiteral("osascript"));
    fakes.install(QStringLiteral("scp"));
    SiteManagerDialog dialog;
    QSignalSpy requests(&dialog, &SiteManagerDialog::connectRequested);
    ModalDriver guard;   // fails the test on any dialog that opens
    for (bool groupRow : {false, true}) {
        if (groupRow)
            treeOf(dialog)->setCurrentItem(treeOf(dialog)->topLevelItem(0));
        for (const char* text : {"Edit...", "Remove", "Duplicate", "SSH", "SFTP", "SCP", "Rsync"})
            clickButton(&dialog, QString::fromLatin1(text));
    }
    QTest::qWait(100);
    QCOMPARE(guard.titles, QStringList{});
    QCOMPARE(requests.size(), 0);
    QCOMPARE(readFile(storePath()), before);
    QCOMPARE(fakes.callCount(QStringLiteral("osascript")) + fakes.callCount(QStringLiteral("scp")), 0);
}

void SitesTest::connectActions_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("protocol");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");   // "FILE" and "DIR" stand for the chosen path
    const auto script = [](const QString& command) { return ShellQuote::terminalScript(command); };
    QTest::newRow("ssh, key, port 22") << "SSH" << 22 << "~/.ssh/id_ed25519" << "ssh" << "osascript"
        << QStringList{"-e", script("ssh -i ~/'.ssh/id_ed25519' 'alice@h.example'")};
    QTest::newRow("ssh, no key, port 2200") << "SSH" << 2200 << "" << "ssh" << "osascript"
        << QStringList{"-e", script("ssh -p 2200 'alice@h.example'")};
    QTest::newRow("sftp, port 22") << "SFTP" << 22 << "~/.ssh/id_ed25519" << "sftp" << "osascript"
        << QStringList{"-e", script("sftp 'alice@h.example'")};
    QTest::newRow("sftp, port 2200") << "SFTP" << 2200 << "" << "sftp" << "osascript"
        << QStringList{"-e", script("sftp -P 2200 'alice@h.example'")};
    QTest::newRow("scp, port 22") << "SCP" << 22 << "~/.ssh/id_ed25519" << "scp" << "scp"
        << QStringList{"-P", "22", "FILE", "alice@h.example:/srv/www"};
    QTest::newRow("rsync, port 2200") << "Rsync" << 2200 << "" << "rsync" << "osascript"
        << QStringList{"-e", script("rsync -avz --progress -e 'ssh -p 2200' 'DIR'/ 'alice@h.example:/srv/www'")};
}

void SitesTest::connectActions()
{
    QFETCH(QString, button);
    QFETCH(int, port);
    QFETCH(QString, key);
    QFETCH(QString, protocol);
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    SiteProfile s = site(QStringLiteral("Web"));
    s.port = port;
    s.keyPath = key;
    s.remoteDir = QStringLiteral("/srv/www");
    storeSites({s});
    const QString file = home->path() + QStringLiteral("/upload.txt");
    QVERIFY(writeFile(file, "data"));
    const QString dir = home->path() + QStringLiteral("/folder");
    QDir().mkpath(dir);
    for (QString& argument : arguments) {
        argument.replace(QLatin1String("FILE"), file);
        argument.replace(QLatin1String("'DIR'"), QLatin1Char('\'') + dir + QLatin1Char('\''));
    }

    FakeTools fakes;
    fakes.install(tool);
    SiteManagerDialog dialog;
    QSignalSpy requests(&dialog, &SiteManagerDialog::connectRequested);
    ModalDriver driver;
    if (button == QLatin1String("SCP") || button == QLatin1String("Rsync")) {
        driver.chooseFile(button == QLatin1String("SCP") ? file : dir);
        // Choosing nothing launches nothing.
        driver.reject();
    }
    treeOf(dialog)->setCurrentItem(rowNamed(treeOf(dialog), "Web"));
    clickButton(&dialog, button);
    // Started detached: its record is complete once its arguments are.
    QTRY_COMPARE_WITH_TIMEOUT(fakes.arguments(tool), arguments, 20000);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().at(0).value<SiteProfile>().name, QStringLiteral("Web"));
    QCOMPARE(requests.first().at(1).toString(), protocol);
    if (button == QLatin1String("SCP") || button == QLatin1String("Rsync")) {
        QCOMPARE(driver.titles.first(), button == QLatin1String("SCP") ? QStringLiteral("Select Local File to Copy")
                                                                       : QStringLiteral("Select Local Directory"));
        clickButton(&dialog, button);
        QCOMPARE(driver.pending(), 0);
        QTest::qWait(200);
        QCOMPARE(fakes.callCount(tool), 1);
        QCOMPARE(requests.size(), 1);
    }
}

// Debian has no osascript: the user is told, and the main window still gets
// its request (it opens its own terminal for "ssh").
void SitesTest::launcherThatDoesNotStartIsReported()
{
    storeSites({site(QStringLiteral("Web"))});
    FakeTools fakes(false);   // no osascript, no scp
    fakes.linkReal(QStringLiteral("openssl"));
    SiteManagerDialog dialog;
    QSignalSpy requests(&dialog, &SiteManagerDialog::connectRequested);
    int requestsWhenWarned = -1;
    ModalDriver driver;
    driver.enqueue([&](QWidget* w) {
        requestsWhenWarned = int(requests.size());
        qobject_cast<QMessageBox*>(w)->accept();
    });
    const QString file = home->path() + QStringLiteral("/upload.txt");
    QVERIFY(writeFile(file, "data"));
    driver.chooseFile(file);
    driver.pressButton(QMessageBox::Ok);
    treeOf(dialog)->setCurrentItem(rowNamed(treeOf(dialog), "Web"));
    clickButton(&dialog, QStringLiteral("SSH"));
    clickButton(&dialog, QStringLiteral("SCP"));
    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, (QStringList{"Site Manager", "Select Local File to Copy", "Site Manager"}));
    QCOMPARE(driver.texts, (QStringList{"Could not start osascript.", "", "Could not start scp."}));
    QCOMPARE(requestsWhenWarned, 0);
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).at(1).toString(), QStringLiteral("ssh"));
    QCOMPARE(requests.at(1).at(1).toString(), QStringLiteral("scp"));
}

void SitesTest::optionLikeTargetsAreRefused_data()
{
    QTest::addColumn<QString>("action");   // "Add Site...", "Edit..." or a connect button
    QTest::addColumn<QString>("field");    // "host" or "user"
    QTest::addColumn<QString>("value");
    const QString proxy = QStringLiteral("-oProxyCommand=touch pwned");
    for (const char* action : {"Add Site...", "Edit...", "SSH", "SFTP", "SCP", "Rsync"}) {
        for (const char* field : {"host", "user"}) {
            QTest::addRow("%s %s", action, field)
                << QString::fromLatin1(action) << QString::fromLatin1(field)
                << (QLatin1String(field) == QLatin1String("host") ? proxy : QStringLiteral("-l"));
        }
    }
}

// Saving and every connect action refuse a user or host that begins with
// "-" with the main window's message; nothing is stored or started.
void SitesTest::optionLikeTargetsAreRefused()
{
    QFETCH(QString, action);
    QFETCH(QString, field);
    QFETCH(QString, value);
    const bool saving = action == QLatin1String("Add Site...") || action == QLatin1String("Edit...");
    const bool isHost = field == QLatin1String("host");
    SiteProfile stored = site(QStringLiteral("Web"));
    stored.remoteDir = QStringLiteral("/srv");
    if (!saving) {
        // As a store written before this check, or edited outside, may hold it.
        (isHost ? stored.hostname : stored.user) = value;
    }
    storeSites({stored});
    const QByteArray before = readFile(storePath());

    FakeTools fakes;
    for (const char* tool : {"osascript", "scp", "ssh", "sftp", "rsync"})
        fakes.install(QString::fromLatin1(tool));
    SiteManagerDialog dialog;
    QSignalSpy requests(&dialog, &SiteManagerDialog::connectRequested);
    ModalDriver driver;
    const QString host = isHost ? value : QStringLiteral("h.example");
    const QString user = isHost ? QStringLiteral("alice") : value;
    if (action == QLatin1String("Add Site..."))
        driver.answerInOrder({"Other", "", host, user});
    else if (action == QLatin1String("Edit..."))
        driver.answerInOrder({host, user});
    driver.pressButton(QMessageBox::Ok);
    treeOf(dialog)->setCurrentItem(rowNamed(treeOf(dialog), "Web"));
    clickButton(&dialog, action);
    QCOMPARE(driver.pending(), 0);

    const QString title = action == QLatin1String("Add Site...") ? QStringLiteral("Add Site")
                          : action == QLatin1String("Edit...")   ? QStringLiteral("Edit: Web")
                                                                 : QStringLiteral("Site Manager");
    QCOMPARE(driver.titles.last(), title);
    QCOMPARE(driver.texts.last(),
             isHost ? QStringLiteral("The host \"%1\" starts with \"-\" and would be taken as an option by the SSH "
                                     "client. Enter a host name or address.").arg(value)
                    : QStringLiteral("The user name \"%1\" starts with \"-\" and would be taken as an option by the "
                                     "SSH client. Enter a user name.").arg(value));
    QCOMPARE(readFile(storePath()), before);
    QCOMPARE(requests.size(), 0);
    QTest::qWait(100);   // a detached start would have been recorded by now
    for (const char* tool : {"osascript", "scp", "ssh", "sftp", "rsync"})
        QCOMPARE(fakes.callCount(QString::fromLatin1(tool)), 0);
}

// The rsync line the Terminal would run, run by a real shell against a real
// sshd, with a folder name that would run a command if it were not quoted.
void SitesTest::quotingHoldsAgainstARealShell()
{
    LoopbackSshd sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    FakeTools fakes;
    fakes.install(QStringLiteral("osascript"));
    sshd.installClientWrappers(fakes);

    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("a b'\"$(touch pwned)"));
    QVERIFY(writeFile(source + QStringLiteral("/inside.txt"), "copied"));
    const QString target = work.filePath(QStringLiteral("target"));
    QDir().mkpath(target);
    SiteProfile s = site(QStringLiteral("Loopback"), QString(), sshd.host());
    s.user = LoopbackSshd::user();
    s.port = sshd.port();
    s.remoteDir = target;
    storeSites({s});

    SiteManagerDialog dialog;
    ModalDriver driver;
    // The file dialog's name field reads quotes as its own: the folder is
    // chosen by opening it, as a user would.
    driver.enqueue([&](QWidget* w) {
        auto* chooser = qobject_cast<QFileDialog*>(w);
        QVERIFY(chooser);
        chooser->setDirectory(source);
        chooser->selectFile(QString());
        static_cast<QDialog*>(chooser)->accept();
    });
    treeOf(dialog)->setCurrentItem(rowNamed(treeOf(dialog), "Loopback"));
    clickButton(&dialog, QStringLiteral("Rsync"));
    QTRY_COMPARE_WITH_TIMEOUT(fakes.arguments(QStringLiteral("osascript")).size(), 2, 20000);
    const QString command = commandFromScript(fakes.arguments(QStringLiteral("osascript")).value(1));
    QVERIFY2(command.startsWith(QLatin1String("rsync ")), qPrintable(command));

    ToolRunner::Options options;
    options.workingDirectory = work.path();
    options.finishTimeoutMs = 60000;
    options.mergeChannels = true;
    const ToolRunner::Result result = ToolRunner::run(QStringLiteral("sh"), {QStringLiteral("-c"), command}, options);
    QVERIFY2(result.succeeded(), qPrintable(command + QLatin1Char('\n') + result.stdOutText()));
    QCOMPARE(readFile(target + QStringLiteral("/inside.txt")), QByteArray("copied"));
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("pwned"))));
    QVERIFY(!QFile::exists(home->path() + QStringLiteral("/pwned")));
    QVERIFY(!QFile::exists(target + QStringLiteral("/pwned")));
    sshd.stop();
}

void SitesTest::shellWords_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("word");
    QTest::newRow("plain") << "alice@h.example" << "'alice@h.example'";
    QTest::newRow("home stays outside") << "~/.ssh/id_ed25519" << "~/'.ssh/id_ed25519'";
    QTest::newRow("tilde elsewhere") << "/a/~/b" << "'/a/~/b'";
    QTest::newRow("single quote") << "it's" << "'it'\\''s'";
    QTest::newRow("command substitution") << "$(touch x) `y`" << "'$(touch x) `y`'";
    QTest::newRow("empty") << "" << "''";
}

void SitesTest::shellWords()
{
    QFETCH(QString, text);
    QFETCH(QString, word);
    QCOMPARE(ShellQuote::word(text), word);
    // What the shell makes of it is the text itself.
    const ToolRunner::Result result = ToolRunner::run(
        QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("printf %s ") + word});
    const QString expanded = text.startsWith(QLatin1String("~/")) ? home->path() + text.mid(1) : text;
    QCOMPARE(result.stdOutText(), expanded);
    // The AppleScript literal escapes what would end or break it.
    QCOMPARE(ShellQuote::terminalScript(QStringLiteral("a\"b\\c")),
             QStringLiteral("tell application \"Terminal\"\n    activate\n    do script \"a\\\"b\\\\c\"\nend tell"));
}

void SitesTest::opensslThatCannotWorkLeavesTheStoreAlone_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::newRow("broken install, exit 127") << QByteArray("libraries");
    QTest::newRow("unknown option, exit 1") << QByteArray("no-pbkdf2");
    QTest::newRow("exit 0, no output") << QByteArray("silent");
}

void SitesTest::opensslThatCannotWorkLeavesTheStoreAlone()
{
    QFETCH(QByteArray, fault);
    storeSites({site(QStringLiteral("Kept"))});
    const QByteArray before = readFile(storePath());
    {
        FakeTools fakes;
        fakes.install(QStringLiteral("openssl"), QStringLiteral("openssl-broken"));
        ScopedEnv faultName("OPENSSL_FAULT", fault);
        SiteStore store(storePath(), passPhraseFor("tess"));
        QVERIFY(store.load().isEmpty());
        QVERIFY2(!store.isUnreadable(), qPrintable(store.unreadableReason()));
        QVERIFY(!store.save({site(QStringLiteral("Lost"))}).isEmpty());
        QVERIFY(SiteManagerDialog::loadProfiles().isEmpty());
    }
    QCOMPARE(readFile(storePath()), before);
    QCOMPARE(QDir(UserProfile::configDir()).entryList(QDir::Files), QStringList{"sites.enc"});
    QCOMPARE(names(SiteManagerDialog::loadProfiles()), QStringList{"Kept"});
}

OT_TEST_MAIN(SitesTest)
#include "tst_sites.moc"
