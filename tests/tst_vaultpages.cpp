// The cloud credentials store and its page, the password import page and the
// cloud backup page. A folder at the fixed mount point stands for a mounted
// vault; the hdiutil stand-in gives the mount signals; ModalDriver answers
// the prompts.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "vault/CloudFolders.h"
#include "vault/TessarilVault.h"

#include "FakeTools.h"
#include "FileSizeLimit.h"
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "VaultFixture.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

QString credentialsFile()
{
    return TessarilVault::fixedMountPoint() + "/cloud/credentials.json";
}

CloudCredential credential(const QString& provider, const QString& profile, const QString& secret = "s")
{
    CloudCredential c;
    c.provider = provider;
    c.profile = profile;
    c.accessKeyId = "AK-" + profile;
    c.secretKey = secret;
    return c;
}

// The file as "provider/profile/secretKey/endpoint/notes" per element, and
// every element's keys.
QStringList stored(QStringList* keys = nullptr)
{
    QStringList out;
    for (const QJsonValue& v : QJsonDocument::fromJson(readFile(credentialsFile())).array()) {
        const QJsonObject o = v.toObject();
        out << QStringList{o["provider"].toString(), o["profile"].toString(), o["secretKey"].toString(),
                           o["endpoint"].toString(), o["notes"].toString()}
                   .join('/');
        if (keys)
            *keys << QStringList(o.keys()).join(',');
    }
    return out;
}

QStringList listed(const QList<CloudCredential>& list)
{
    QStringList out;
    for (const CloudCredential& c : list)
        out << c.provider + "/" + c.profile;
    return out;
}

using Store = VaultFixture::MountedFolder;

// The tab as the main window builds it.
struct Tab {
    FakeTools tools;
    TessarilVault vault;
    FidoDeviceManager fido;
    UserProfile profile;
    std::unique_ptr<VaultTab> tab;
    ModalDriver driver;
    int shownAtStart = 0;

    Tab()
    {
        VaultFixture::installHdiutil(tools);
        profile.load();
        tab = std::make_unique<VaultTab>(&vault, &fido, &profile);
        // The tab's note of a volume it did not mount is not the pages'.
        shownAtStart = allLines().size();
    }
    QWidget* page(const QString& title) const
    {
        auto* pages = tab->findChild<QTabWidget*>();
        for (int i = 0; i < pages->count(); ++i) {
            if (pages->tabText(i) == title)
                return pages->widget(i);
        }
        return nullptr;
    }
    QGroupBox* group(const QString& pageTitle, const QString& title) const
    {
        for (QGroupBox* g : page(pageTitle)->findChildren<QGroupBox*>()) {
            if (g->title() == title)
                return g;
        }
        return nullptr;
    }
    QTreeWidget* tree() const { return page("Cloud Credentials")->findChild<QTreeWidget*>(); }
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < tree()->topLevelItemCount(); ++i) {
            QStringList cells;
            for (int c = 0; c < tree()->columnCount(); ++c)
                cells << tree()->topLevelItem(i)->text(c);
            out << cells.join('|');
        }
        return out;
    }
    void select(int row) { tree()->setCurrentItem(tree()->topLevelItem(row)); }
    QStringList allLines() const
    {
        const QString text = tab->findChild<QTextEdit*>()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split('\n');
    }
    QStringList log() const { return allLines().mid(shownAtStart); }
    // The create form's "Vault File:" field.
    QLineEdit* vaultFileEdit() const
    {
        for (QLineEdit* edit : tab->findChildren<QLineEdit*>()) {
            if (edit->text() == TessarilVault::defaultPath())
                return edit;
        }
        return nullptr;
    }
    // Answers the six prompts of "Add Credential..."; an empty region cancels.
    void addCredential(const QString& provider, const QString& profile, const QString& secret,
                       const QString& region)
    {
        driver.typeText(provider);
        driver.typeText(profile);
        driver.typeText("acct-" + profile);
        driver.typeText("AK-" + profile);
        driver.enqueueFor<QInputDialog>([secret](QInputDialog* d) {
            QCOMPARE(d->textEchoMode(), QLineEdit::Password);
            d->setTextValue(secret);
            d->accept();
        });
        if (region.isEmpty())
            driver.cancelInput();
        else
            driver.typeText(region);
        clickButton(page("Cloud Credentials"), "Add Credential...");
        QCOMPARE(driver.pending(), 0);
    }
};

} // namespace

class VaultPagesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void saveReplacesOnePair();
    void handWrittenFile();
    void unreadableFile_data();
    void unreadableFile();
    void storeNeedsAVault();

    void credentialsPage();
    void credentialsPageFollowsMount();
    void credentialPromptCancelled();

    void importRows_data();
    void importRows();
    void importRefusals();
    void importThatCannotBeWritten();

    void cloudDetection_data();
    void cloudDetection();
    void cloudBackup();
    void cloudBackupOfMountedVault();
    void failedCloudBackupKeepsTheEarlierPair_data();
    void failedCloudBackupKeepsTheEarlierPair();
    void cloudBackupNeedsRoomForTwo();

private:
    std::unique_ptr<TestHome> home;
};

void VaultPagesTest::saveReplacesOnePair()
{
    Store s;
    QVERIFY(s.vault.saveCloudCredential(credential("aws", "default", "old")));
    QVERIFY(s.vault.saveCloudCredential(credential("azure", "x")));
    QVERIFY(s.vault.saveCloudCredential(credential("aws", "default", "new")));
    QVERIFY(s.vault.saveCloudCredential(credential("aws", "Default")));
    QStringList keys;
    QCOMPARE(stored(&keys), QStringList({"azure/x/s//", "aws/default/new//", "aws/Default/s//"}));
    const QString allKeys = "accessKeyId,accountId,endpoint,notes,profile,provider,region,secretKey";
    QCOMPARE(keys, QStringList(3, allKeys));
    QCOMPARE(permissionBits(credentialsFile()), 0600);
    QVERIFY(readFile(credentialsFile()).contains("\n    {"));
    QCOMPARE(s.lines.last(), QStringLiteral("Cloud credential saved: aws / Default"));
    QCOMPARE(listed(s.vault.loadCloudCredentials()), QStringList({"azure/x", "aws/default", "aws/Default"}));
}

void VaultPagesTest::handWrittenFile()
{
    Store s;
    QVERIFY(writeFile(credentialsFile(), R"([
        {"provider": "aws", "profile": "default", "secretKey": "one"},
        {"provider": "gcp", "profile": "p", "endpoint": "https://gcp.example", "notes": "keep me"},
        5,
        {"provider": "aws", "profile": "default", "secretKey": "two"},
        {"provider": "AWS", "profile": "prod", "region": 7}
    ])"));
    QCOMPARE(listed(s.vault.loadCloudCredentials()),
             QStringList({"aws/default", "gcp/p", "/", "aws/default", "AWS/prod"}));

    // One save replaces both duplicates; the hand-written fields survive.
    QVERIFY(s.vault.saveCloudCredential(credential("aws", "default", "three")));
    QCOMPARE(stored(), QStringList({"gcp/p//https://gcp.example/keep me", "////", "AWS/prod///",
                                    "aws/default/three//"}));
    QVERIFY(s.vault.removeCloudCredential("AWS", "prod"));
    QVERIFY(!s.vault.removeCloudCredential("AWS", "prod"));
    QCOMPARE(stored(), QStringList({"gcp/p//https://gcp.example/keep me", "////", "aws/default/three//"}));
    QCOMPARE(permissionBits(credentialsFile()), 0600);
    QCOMPARE(s.lines, QStringList({"Cloud credential saved: aws / default", "Cloud credential removed: AWS / prod"}));

    // One delete removes every duplicate.
    QVERIFY(writeFile(credentialsFile(), R"([{"provider": "aws", "profile": "default"},
                                           {"provider": "aws", "profile": "default"}])"));
    QVERIFY(s.vault.removeCloudCredential("aws", "default"));
    QCOMPARE(stored(), QStringList());
}

void VaultPagesTest::unreadableFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("saves");
    QTest::newRow("empty file") << QByteArray("") << true;
    QTest::newRow("blank lines") << QByteArray("\n\n") << true;
    QTest::newRow("an object") << QByteArray("{}") << false;
    QTest::newRow("not JSON") << QByteArray("aws default AKIA secret\n") << false;
}

void VaultPagesTest::unreadableFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, saves);
    Store s;
    QVERIFY(writeFile(credentialsFile(), content));
    QCOMPARE(s.vault.loadCloudCredentials().size(), 0);
    QVERIFY(!s.vault.removeCloudCredential("aws", "default"));
    QCOMPARE(s.lines, QStringList());

    QCOMPARE(s.vault.saveCloudCredential(credential("aws", "default")), saves);
    if (saves) {
        QCOMPARE(stored(), QStringList{"aws/default/s//"});
    } else {
        QCOMPARE(readFile(credentialsFile()), content);
        QCOMPARE(s.lines, QStringList{QString::fromUtf8("ERROR: Credentials file is unreadable \u2014 not overwritten.")});
    }
}

void VaultPagesTest::storeNeedsAVault()
{
    Store s(false);
    QVERIFY(!s.vault.saveCloudCredential(credential("aws", "default")));
    QCOMPARE(s.vault.loadCloudCredentials().size(), 0);
    QVERIFY(!s.vault.removeCloudCredential("aws", "default"));
    QCOMPARE(s.lines, QStringList{"ERROR: Vault not mounted."});
    QVERIFY(!QFileInfo::exists(TessarilVault::volumesRoot()));
}

void VaultPagesTest::credentialsPage()
{
    QVERIFY(QDir().mkpath(TessarilVault::fixedMountPoint()));
    Tab t;
    QCOMPARE(t.rows(), QStringList());
    QStringList headers;
    for (int c = 0; c < t.tree()->columnCount(); ++c)
        headers << t.tree()->headerItem()->text(c);
    QCOMPARE(headers, QStringList({"Provider", "Profile", "Account ID", "Access Key", "Region"}));

    t.addCredential("aws", "default", "secret-1", "");
    t.addCredential("digitalocean", "ops", "secret-2", "nyc3");
    QCOMPARE(t.driver.titles, QStringList({"Cloud Credential", "Profile", "Account", "Key", "Secret", "Region",
                                           "Cloud Credential", "Profile", "Account", "Key", "Secret", "Region"}));
    QCOMPARE(t.rows(), QStringList({"AWS|default|acct-default|AK-default|", "DIGITALOCEAN|ops|acct-ops|AK-ops|nyc3"}));
    QCOMPARE(stored(), QStringList({"aws/default/secret-1//", "digitalocean/ops/secret-2//"}));
    QCOMPARE(permissionBits(credentialsFile()), 0600);
    QCOMPARE(t.log(), QStringList({"Cloud credential saved: aws / default", "Cloud credential saved: digitalocean / ops"}));

    // A key written by hand in upper case is listed and can be deleted.
    QVERIFY(writeFile(credentialsFile(), R"([{"provider": "AWS", "profile": "prod"},
                                           {"provider": "aws", "profile": "prod"}])"));
    clickButton(t.page("Cloud Credentials"), "Refresh");
    QCOMPARE(t.rows(), QStringList({"AWS|prod|||", "AWS|prod|||"}));
    t.select(0);
    t.driver.pressButton(QMessageBox::No);
    clickButton(t.page("Cloud Credentials"), "Delete");
    QCOMPARE(t.rows().size(), 2);
    t.driver.pressButton(QMessageBox::Yes);
    clickButton(t.page("Cloud Credentials"), "Delete");
    QCOMPARE(t.driver.texts.mid(12), QStringList({"Remove AWS / prod?", "Remove AWS / prod?"}));
    QCOMPARE(t.rows(), QStringList{"AWS|prod|||"});
    QCOMPARE(stored(), QStringList{"aws/prod///"});
    QCOMPARE(t.log().mid(2), QStringList({"Cloud credential removed: AWS / prod", "Deleted credential: AWS / prod"}));
}

void VaultPagesTest::credentialsPageFollowsMount()
{
    Tab t;
    QPushButton* add = findButton(t.page("Cloud Credentials"), "Add Credential...");
    QPushButton* refresh = findButton(t.page("Cloud Credentials"), "Refresh");
    QPushButton* del = findButton(t.page("Cloud Credentials"), "Delete");
    QCOMPARE(del->objectName(), QStringLiteral("dangerButton"));
    QCOMPARE(refresh->objectName(), QStringLiteral("secondaryButton"));
    QVERIFY(!add->isEnabled() && !del->isEnabled() && refresh->isEnabled());

    QVERIFY(VaultFixture::makeAndMount(t.vault, home->path() + "/v.qvimgv", "pass phrase 123"));
    QVERIFY(add->isEnabled() && del->isEnabled());
    t.addCredential("gcp", "default", "secret", "europe-west1");
    QCOMPARE(t.rows().size(), 1);

    QVERIFY(t.vault.unmount());
    QVERIFY(!add->isEnabled() && !del->isEnabled());
    QCOMPARE(t.rows().size(), 1);
    refresh->click();
    QCOMPARE(t.rows(), QStringList());
}

void VaultPagesTest::credentialPromptCancelled()
{
    QVERIFY(QDir().mkpath(TessarilVault::fixedMountPoint()));
    Tab t;
    t.driver.typeText("azure");
    t.driver.typeText("default");
    t.driver.typeText("");
    t.driver.typeText("");
    t.driver.cancelInput();
    clickButton(t.page("Cloud Credentials"), "Add Credential...");
    QCOMPARE(t.driver.pending(), 0);
    QVERIFY(!QFileInfo::exists(credentialsFile()));
    QCOMPARE(t.log(), QStringList());
    QCOMPARE(t.rows(), QStringList());
}

void VaultPagesTest::importRows_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("dialogTitle");
    QTest::addColumn<QStringList>("filter");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("line");
    const QStringList csv{"CSV (*.csv)"};
    QTest::newRow("LastPass") << "LastPass" << "CSV export from LastPass vault" << "LastPass CSV" << csv
                              << "passwords/lastpass" << "LastPass CSV imported to vault.";
    QTest::newRow("1Password") << "1Password" << "CSV or 1PIF export from 1Password" << "1Password Export"
                               << QStringList{"Exports (*.csv *.1pif *.json)"} << "passwords/1password"
                               << "1Password export imported to vault.";
    QTest::newRow("Chrome") << "Google Chrome" << "CSV from chrome://password-manager/passwords"
                            << "Chrome Passwords CSV" << csv << "passwords/chrome" << "Chrome passwords imported to vault.";
    QTest::newRow("Firefox") << "Firefox" << "CSV from about:logins or logins.json" << "Firefox Passwords"
                             << QStringList{"Exports (*.csv *.json)"} << "passwords/firefox"
                             << "Firefox passwords imported to vault.";
    QTest::newRow("Safari") << "Safari / macOS Passwords" << "CSV from System Settings > Passwords"
                            << "Safari Passwords CSV" << csv << "passwords/safari" << "Safari passwords imported to vault.";
    QTest::newRow("Edge") << "Microsoft Edge" << "CSV from edge://settings/passwords" << "Edge Passwords CSV" << csv
                          << "passwords/edge" << "Edge passwords imported to vault.";
    QTest::newRow("Brave") << "Brave Browser" << "CSV from brave://settings/passwords" << "Brave Passwords CSV" << csv
                           << "passwords/brave" << "Brave passwords imported to vault.";
    QTest::newRow("Vivaldi") << "Vivaldi" << "CSV from vivaldi://settings/passwords" << "Vivaldi Passwords CSV"
                             << csv << "passwords/vivaldi" << "Vivaldi passwords imported to vault.";
    QTest::newRow("Bitwarden") << "Bitwarden" << "JSON or CSV export from Bitwarden" << "Bitwarden Export"
                               << QStringList{"Exports (*.json *.csv)"} << "passwords/bitwarden"
                               << "Bitwarden export imported to vault.";
}

void VaultPagesTest::importRows()
{
    QFETCH(QString, title);
    QFETCH(QString, description);
    QFETCH(QString, dialogTitle);
    QFETCH(QStringList, filter);
    QFETCH(QString, folder);
    QFETCH(QString, line);
    QVERIFY(QDir().mkpath(TessarilVault::fixedMountPoint()));
    const QString source = home->path() + "/Downloads/export.csv";
    QVERIFY(writeFile(source, "url,username,password\n"));
    Tab t;
    QGroupBox* group = t.group("Password Import", title);
    QVERIFY(group);
    QCOMPARE(group->findChild<QLabel*>()->text(), description);
    QStringList seenFilters;
    t.driver.chooseFile(source, [&](QFileDialog* d) { seenFilters = d->nameFilters(); });
    clickButton(group, "Import...");
    QCOMPARE(t.driver.titles, QStringList{dialogTitle});
    QCOMPARE(seenFilters, filter);
    const QString stored = TessarilVault::fixedMountPoint() + "/" + folder + "/export.csv";
    QCOMPARE(readFile(stored), QByteArray("url,username,password\n"));
    QCOMPARE(permissionBits(stored), 0600);
    QVERIFY(QFileInfo::exists(source));
    QCOMPARE(t.log(), QStringList({"Stored: export.csv", line}));
}

void VaultPagesTest::importRefusals()
{
    const QString rejected = home->path() + "/x..csv";
    QVERIFY(writeFile(rejected, "data"));
    Tab t;
    QWidget* page = t.page("Password Import");
    auto* label = page->findChild<QLabel*>();
    const QList<QPushButton*> buttons = page->findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 9);
    const auto enabled = [&] {
        int n = 0;
        for (QPushButton* b : buttons)
            n += b->isEnabled();
        return n;
    };
    QCOMPARE(enabled(), 0);
    QCOMPARE(label->text(), QStringLiteral("Mount an encrypted vault before importing passwords."));

    QVERIFY(VaultFixture::makeAndMount(t.vault, home->path() + "/v.qvimgv", "pass phrase 123"));
    QCOMPARE(enabled(), 9);
    QCOMPARE(label->text(), QString::fromUtf8("Vault mounted \u2014 ready for password import."));
    QCOMPARE(label->styleSheet(), QStringLiteral("font-weight: 600;"));
    QCOMPARE(label->property("tone").toString(), QStringLiteral("success"));

    const int before = t.log().size();
    t.driver.chooseFile(rejected);
    clickButton(t.group("Password Import", "LastPass"), "Import...");
    QCOMPARE(t.log().mid(before), QStringList{"ERROR: Invalid filename."});

    // The volume went without the engine noticing: the button is still on.
    QVERIFY(QDir(TessarilVault::fixedMountPoint()).removeRecursively());
    t.driver.pressButton(QMessageBox::Ok);
    clickButton(t.group("Password Import", "Bitwarden"), "Import...");
    QCOMPARE(t.driver.titles.last(), QStringLiteral("Import"));
    QCOMPARE(t.driver.texts.last(), QStringLiteral("Mount encrypted vault first."));
}

void VaultPagesTest::importThatCannotBeWritten()
{
    QVERIFY(QDir().mkpath(TessarilVault::fixedMountPoint()));
    const QString source = home->path() + "/Downloads/export.csv";
    QVERIFY(writeFile(source, QByteArray(100000, 'p')));
    Tab t;
    t.driver.chooseFile(source);
    {
        FileSizeLimit diskFull(50000);
        clickButton(t.group("Password Import", "LastPass"), "Import...");
    }
    QCOMPARE(t.driver.pending(), 0);
    // The failure by name and reason, and no line that says it was stored.
    QCOMPARE(t.log(), QStringList{"ERROR: passwords/lastpass/export.csv not written: "
                                  + QString::fromLocal8Bit(std::strerror(EFBIG))});
    QVERIFY(!QFileInfo::exists(TessarilVault::fixedMountPoint() + "/passwords/lastpass/export.csv"));
    QCOMPARE(QDir(TessarilVault::fixedMountPoint() + "/passwords/lastpass")
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void VaultPagesTest::cloudDetection_data()
{
    QTest::addColumn<QStringList>("folders");   // made under the home folder
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("found");     // per drive: the folder under home, or "-"
    const QString storage = QString::fromLatin1(CloudFolders::cloudStorage).mid(1);
    QTest::newRow("nothing") << QStringList() << QStringList() << QStringList({"-", "-", "-", "-"});
    QTest::newRow("all four")
        << QStringList({QString::fromLatin1(CloudFolders::iCloudDrive).mid(1), storage + "/googledrive-ann@example.org",
                        storage + "/OneDrive-Personal", "Dropbox"})
        << QStringList()
        << QStringList({QString::fromLatin1(CloudFolders::iCloudDrive).mid(1), storage + "/googledrive-ann@example.org",
                        storage + "/OneDrive-Personal", "Dropbox"});
    QTest::newRow("a plain file and a hidden folder") << QStringList{storage + "/.GoogleDrive-old"}
                                                      << QStringList{storage + "/GoogleDrive-x"}
                                                      << QStringList({"-", "-", "-", "-"});
    QTest::newRow("drives in the home folder only") << QStringList({"Google Drive", "OneDrive"}) << QStringList()
                                                    << QStringList({"-", "-", "-", "-"});
}

void VaultPagesTest::cloudDetection()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, files);
    QFETCH(QStringList, found);
    for (const QString& f : folders)
        QVERIFY(QDir().mkpath(home->path() + "/" + f));
    for (const QString& f : files)
        QVERIFY(writeFile(home->path() + "/" + f, "x"));
    Tab t;
    const QStringList names{"iCloud Drive", "Google Drive", "OneDrive", "Dropbox"};
    for (int i = 0; i < names.size(); ++i) {
        QGroupBox* group = t.group("Cloud Backup", names[i]);
        QVERIFY(group);
        const bool detected = found[i] != "-";
        QCOMPARE(group->findChild<QLabel*>()->text(),
                 detected ? "Detected: " + home->path() + "/" + found[i] : QStringLiteral("Not detected"));
        QCOMPARE(group->findChild<QLabel*>()->property("tone").toString(),
                 detected ? QStringLiteral("success") : QStringLiteral("muted"));
        QCOMPARE(findButton(group, "Backup Vault")->isEnabled(), detected);
    }
}

namespace {

// Every file under a folder as "relative path=content", sorted.
QStringList treeOf(const QString& root)
{
    QStringList out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out << QDir(root).relativeFilePath(path) + "=" + QString::fromLatin1(readFile(path).toHex());
    }
    out.sort();
    return out;
}

} // namespace

void VaultPagesTest::cloudBackup()
{
    QVERIFY(QDir().mkpath(home->path() + "/Dropbox"));
    // Two accounts: one folder is offered.
    const QString storage = home->path() + CloudFolders::cloudStorage;
    QVERIFY(QDir().mkpath(storage + "/GoogleDrive-a"));
    QVERIFY(QDir().mkpath(storage + "/GoogleDrive-b"));
    Tab t;
    QSignalSpy requests(t.tab.get(), &VaultTab::logRequest);
    const QString vaultPath = TessarilVault::defaultPath();

    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.log(), QStringList{"No vault file to backup."});

    QVERIFY(VaultFixture::makeImage(vaultPath, "pass phrase 123"));
    QVERIFY(writeFile(vaultPath + ".qvauth", R"({"type":"fido2"})"));
    const QString dest = home->path() + "/Dropbox/TessarilVault-backup.qvimgv";
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(treeOf(dest), treeOf(vaultPath));
    QCOMPARE(readFile(dest + ".qvauth"), QByteArray(R"({"type":"fido2"})"));
    QCOMPARE(t.log().mid(1), QStringList{"Vault backed up to: " + dest});
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0), QVariantList({"Cloud Backup", "Dropbox", true, dest}));

    // A second backup replaces the first whole.
    QVERIFY(writeFile(vaultPath + "/bands/1", "more"));
    QVERIFY(QFile::remove(vaultPath + "/info"));
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(treeOf(dest), treeOf(vaultPath));

    // A copy that fails half-way keeps the older one, and leaves nothing beside it.
    const QStringList older = treeOf(dest);
    QVERIFY(QFile::link(home->path() + "/gone", vaultPath + "/dangling"));
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.log().mid(t.log().size() - 2),
             QStringList({"Backup failed.", "Vault image not backed up: not a readable file: " + vaultPath + "/dangling"}));
    QCOMPARE(treeOf(dest), older);
    QCOMPARE(QDir(home->path() + "/Dropbox").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"TessarilVault-backup.qvimgv", "TessarilVault-backup.qvimgv.qvauth"}));
    QCOMPARE(requests.size(), 2);

    // The form names the vault; an older side file does not outlive a vault without one.
    QVERIFY(QFile::remove(vaultPath + "/dangling"));
    QVERIFY(QFile::remove(vaultPath + ".qvauth"));
    const QString googleDrive = CloudFolders::firstMatchingDir(storage, "GoogleDrive-*");
    QCOMPARE(t.group("Cloud Backup", "Google Drive")->findChild<QLabel*>()->text(), "Detected: " + googleDrive);
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QVERIFY(!QFileInfo::exists(dest + ".qvauth"));
    t.vaultFileEdit()->setText(home->path() + "/nothing.qvimgv");
    clickButton(t.group("Cloud Backup", "Google Drive"), "Backup Vault");
    QCOMPARE(t.log().last(), QStringLiteral("No vault file to backup."));
    QCOMPARE(requests.size(), 3);
}

void VaultPagesTest::cloudBackupOfMountedVault()
{
    QVERIFY(QDir().mkpath(home->path() + "/Dropbox"));
    Tab t;
    const QString vaultPath = TessarilVault::defaultPath();
    QVERIFY(VaultFixture::makeAndMount(t.vault, vaultPath, "pass phrase 123"));
    const QString dest = home->path() + "/Dropbox/TessarilVault-backup.qvimgv";
    t.driver.pressButton(QMessageBox::No);
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.driver.titles, QStringList{"Cloud Backup"});
    QCOMPARE(t.driver.texts,
             QStringList{"The vault is mounted; a copy made now may be incomplete. Back up anyway?"});
    QVERIFY(!QFileInfo::exists(dest));
    t.driver.pressButton(QMessageBox::Yes);
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(treeOf(dest), treeOf(vaultPath));
}

void VaultPagesTest::failedCloudBackupKeepsTheEarlierPair_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason"); // the log's second line; <vault> for the vault path
    QTest::newRow("side file fills the disk") << "full" << "Side file not backed up: ";
    QTest::newRow("side file is a folder") << "folder"
                                           << "Side file not backed up: not a readable file: <vault>.qvauth";
    QTest::newRow("image holds a dangling link")
        << "dangling" << "Vault image not backed up: not a readable file: <vault>/dangling";
}

void VaultPagesTest::failedCloudBackupKeepsTheEarlierPair()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QVERIFY(QDir().mkpath(home->path() + "/Dropbox"));
    Tab t;
    QSignalSpy requests(t.tab.get(), &VaultTab::logRequest);
    const QString vaultPath = TessarilVault::defaultPath();
    const QString dest = home->path() + "/Dropbox/TessarilVault-backup.qvimgv";
    QVERIFY(VaultFixture::makeImage(vaultPath, "pass phrase 123"));
    const QByteArray olderSide = R"({"challenge":"aa","type":"yk-hmac"})";
    QVERIFY(writeFile(vaultPath + ".qvauth", olderSide));
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(requests.size(), 1);
    const QStringList olderImage = treeOf(dest);

    // Another vault at the same path, whose backup fails half-way.
    QVERIFY(QDir(vaultPath).removeRecursively());
    QVERIFY(QFile::remove(vaultPath + ".qvauth"));
    QVERIFY(VaultFixture::makeImage(vaultPath, "another pass phrase"));
    QVERIFY(treeOf(vaultPath) != olderImage);
    std::unique_ptr<FileSizeLimit> diskFull;
    if (fault == "full") {
        // Larger than any file of the image: only the side file meets the limit.
        qint64 largest = 0;
        for (QDirIterator it(vaultPath, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            largest = qMax(largest, QFileInfo(it.next()).size());
        QVERIFY(writeFile(vaultPath + ".qvauth", R"({"challenge":")" + QByteArray(largest + 8192, 'b')
                                                       + R"(","type":"yk-hmac"})"));
        diskFull = std::make_unique<FileSizeLimit>(largest + 4096);
    } else if (fault == "folder") {
        QVERIFY(QDir().mkpath(vaultPath + ".qvauth"));
    } else {
        QVERIFY(writeFile(vaultPath + ".qvauth", R"({"challenge":"bb","type":"yk-hmac"})"));
        QVERIFY(QFile::link(home->path() + "/gone", vaultPath + "/dangling"));
    }

    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    diskFull.reset();

    const QStringList lines = t.log();
    QCOMPARE(lines.value(lines.size() - 2), QStringLiteral("Backup failed."));
    QVERIFY2(lines.last().startsWith(QString(reason).replace("<vault>", vaultPath)), qPrintable(lines.last()));
    if (fault == "full") {
        QVERIFY2(lines.last().contains(".qvauth"), qPrintable(lines.last()));
        // The system's reason, not Qt's "Unknown error".
        QVERIFY2(lines.last().endsWith(": " + QString::fromLocal8Bit(std::strerror(EFBIG))), qPrintable(lines.last()));
    }
    QCOMPARE(requests.size(), 1);
    // Both files of the earlier backup, byte for byte, and nothing beside them.
    QCOMPARE(treeOf(dest), olderImage);
    QCOMPARE(readFile(dest + ".qvauth"), olderSide);
    QCOMPARE(QDir(home->path() + "/Dropbox").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"TessarilVault-backup.qvimgv", "TessarilVault-backup.qvimgv.qvauth"}));
}

void VaultPagesTest::cloudBackupNeedsRoomForTwo()
{
    QVERIFY(QDir().mkpath(home->path() + "/Dropbox"));
    Tab t;
    QSignalSpy requests(t.tab.get(), &VaultTab::logRequest);
    const QString vaultPath = TessarilVault::defaultPath();
    QVERIFY(VaultFixture::makeImage(vaultPath, "pass phrase 123"));
    QVERIFY(writeFile(vaultPath + ".qvauth", R"({"type":"dual"})"));
    qint64 pair = QFileInfo(vaultPath + ".qvauth").size();
    for (QDirIterator it(vaultPath, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        pair += QFileInfo(it.next()).size();
    const QString dest = home->path() + "/Dropbox/TessarilVault-backup.qvimgv";
    const auto size = [](qint64 bytes) {
        return QLocale::c().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
    };
    // The cloud folder has room for one pair, not for a second beside it.
    qint64 free = pair + 10;
    t.tab->cloudFreeBytes = [&free](const QString& folder) {
        return folder.endsWith("/Dropbox") ? free : -1;
    };
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.log(), QStringList{"Vault backed up to: " + dest});
    const QStringList first = treeOf(dest);

    free = pair - 10;
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.log().mid(1), QStringList({"Backup failed.",
                                          QStringLiteral("Not enough space in %1: the backup needs %2, %3 is free. "
                                                         "The earlier backup there (%4) stays until a new one is whole.")
                                              .arg(home->path() + "/Dropbox", size(pair), size(free), size(pair))}));
    QCOMPARE(requests.size(), 1);
    QCOMPARE(treeOf(dest), first);
    QCOMPARE(QDir(home->path() + "/Dropbox").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({"TessarilVault-backup.qvimgv", "TessarilVault-backup.qvimgv.qvauth"}));

    // Without an earlier backup there is nothing to say about one.
    QVERIFY(QDir(dest).removeRecursively());
    QVERIFY(QFile::remove(dest + ".qvauth"));
    clickButton(t.group("Cloud Backup", "Dropbox"), "Backup Vault");
    QCOMPARE(t.log().last(), QStringLiteral("Not enough space in %1: the backup needs %2, %3 is free.")
                                 .arg(home->path() + "/Dropbox", size(pair), size(free)));
    QVERIFY(!QFileInfo::exists(dest));
}

OT_TEST_MAIN(VaultPagesTest)
#include "tst_vaultpages.moc"
