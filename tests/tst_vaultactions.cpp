// The vault list's actions: the context menu's entries by row state, the
// password change through hdiutil chpass, renaming with the side file,
// "Show in Finder", adding and removing, the double-click and the buttons.
// hdiutil and open are stand-ins.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "vault/TessarilVault.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "VaultFixture.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QSignalSpy>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

const QString kOld = QStringLiteral("old pass phrase 1");
const QString kNew = QStringLiteral("new pass phrase 22");

struct Actions {
    FakeTools tools;
    TessarilVault vault;
    FidoDeviceManager fido;
    UserProfile profile;
    std::unique_ptr<VaultTab> tab;
    ModalDriver driver;

    explicit Actions(const QStringList& listed)
    {
        VaultFixture::installHdiutil(tools);
        tools.install(QStringLiteral("open"));
        profile.load();
        for (const QString& path : listed)
            profile.addVaultPath(path);
        tab = std::make_unique<VaultTab>(&vault, &fido, &profile);
        // The vault list fills when its page is first shown.
        tab->show();
    }
    // The vault list once the latest fill is in (its sizes are summed off
    // the window's thread).
    QTreeWidget* list() const
    {
        if (!QTest::qWaitFor([this] { return VaultFixture::vaultListFilled(tab.get()); }))
            qWarning("The vault list was not filled in time.");
        return tab->findChild<QTreeWidget*>(QStringLiteral("vaultList"));
    }
    int rowOf(const QString& path) const
    {
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            if (list()->topLevelItem(i)->data(0, Qt::UserRole).toString() == path)
                return i;
        }
        return -1;
    }
    QStringList menuOf(const QString& path)
    {
        QStringList entries;
        runTreeContextMenu(list(), rowOf(path), {}, [&](QMenu* menu) { entries = menuScript(menu); });
        return entries;
    }
    bool choose(const QString& path, const QString& entry)
    {
        return runTreeContextMenu(list(), rowOf(path), {entry});
    }
    QStringList log() const
    {
        const QString text = tab->findChild<QTextEdit*>()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
};

} // namespace

class VaultActionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void menuFollowsTheRow();
    void rename_data();
    void rename();
    void renameRefusals();
    void browse_data();
    void browse();
    void rekeyPrompts_data();
    void rekeyPrompts();
    void rekeyThroughHdiutil();
    void rekeyRefusesHardwareVaults();
    void removeKeepsFiles();
    void doubleClickAndButtons();
    void addExistingAndShowInFinder_data();
    void addExistingAndShowInFinder();

private:
    QString at(const QString& name) const { return home->path() + "/x/" + name; }
    std::unique_ptr<TestHome> home;
};

void VaultActionsTest::menuFollowsTheRow()
{
    const QString locked = at("locked.qvimgv");
    const QString mounted = at("mounted.qvimgv");
    const QString missing = at("missing.qvimgv");
    QVERIFY(VaultFixture::makeImage(locked, kOld));
    Actions a({locked, mounted, missing});
    QVERIFY(VaultFixture::makeAndMount(a.vault, mounted, kOld));
    a.tab->refreshVaultList();
    const QStringList always{"---", "Change Password...", "Rename...", "Show in Finder", "---", "Remove from List"};
    QCOMPARE(a.menuOf(locked), QStringList{"Mount"} + always);
    QCOMPARE(a.menuOf(mounted), QStringList{"Unmount"} + always);
    QCOMPARE(a.menuOf(missing), always);

    QVERIFY(a.choose(mounted, "Unmount"));
    QVERIFY(!a.vault.isMounted());
    QCOMPARE(a.list()->topLevelItem(a.rowOf(mounted))->text(3), QStringLiteral("Locked"));
}

void VaultActionsTest::rename_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("to");
    QTest::newRow("bare name") << "vault.qvimgv" << "work" << "work.qvimgv";
    QTest::newRow("name with the suffix") << "vault.qvimgv" << "work.qvimgv" << "work.qvimgv";
    QTest::newRow("suffix compared case-sensitively") << "vault.qvimgv" << "work.QVIMGV" << "work.QVIMGV.qvimgv";
    QTest::newRow("no suffix") << "vault" << "work" << "work";
}

void VaultActionsTest::rename()
{
    QFETCH(QString, from);
    QFETCH(QString, typed);
    QFETCH(QString, to);
    const QByteArray side = R"({"challenge":"ab","type":"yk-hmac"})";
    QVERIFY(VaultFixture::makeImage(at(from), kOld));
    QVERIFY(writeFile(at(from) + ".qvauth", side));
    Actions a({at(from)});
    a.driver.typeText(typed);

    QVERIFY(a.choose(at(from), "Rename..."));

    QCOMPARE(a.driver.titles, QStringList{"Rename Vault"});
    QCOMPARE(a.driver.texts, QStringList{"Display name:"});
    QVERIFY(QFileInfo(at(to) + "/key.wrapped").isFile());
    QCOMPARE(readFile(at(to) + ".qvauth"), side);
    QVERIFY(!QFileInfo::exists(at(from)));
    QVERIFY(!QFileInfo::exists(at(from) + ".qvauth"));
    QCOMPARE(a.profile.vaultPaths(), QStringList{at(to)});
    QCOMPARE(a.log().last(), "Vault renamed: " + typed);
    QCOMPARE(a.list()->topLevelItem(0)->text(0), to);
}

void VaultActionsTest::renameRefusals()
{
    const QString path = at("vault.qvimgv");
    const QString failed = QString::fromUtf8("Rename failed \u2014 vault may be mounted.");
    Actions a({path});
    QVERIFY(VaultFixture::makeAndMount(a.vault, path, kOld));
    a.tab->refreshVaultList();
    // The mounted vault: refused before the prompt.
    a.driver.pressButton(QMessageBox::Ok);
    QVERIFY(a.choose(path, "Rename..."));
    QCOMPARE(a.driver.texts, QStringList{failed});
    QVERIFY(a.vault.unmount());
    a.tab->refreshVaultList();

    // The proposed name, unchanged, names the vault itself.
    a.driver.typeText("vault.qvimgv");
    a.driver.pressButton(QMessageBox::Ok);
    QVERIFY(a.choose(path, "Rename..."));
    QCOMPARE(a.driver.texts.last(), failed);
    QVERIFY(QFileInfo(path + "/key.wrapped").isFile());
    QCOMPARE(a.profile.vaultPaths(), QStringList{path});
}

void VaultActionsTest::browse_data()
{
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("field");
    QTest::newRow("no suffix") << "a" << "a.qvimgv";
    QTest::newRow("suffix in capitals") << "a.QVIMGV" << "a.QVIMGV.qvimgv";
    QTest::newRow("suffix given") << "a.qvimgv" << "a.qvimgv";
}

void VaultActionsTest::browse()
{
    QFETCH(QString, chosen);
    QFETCH(QString, field);
    QVERIFY(QDir().mkpath(at("")));
    Actions a({});
    a.driver.chooseFile(at(chosen));
    clickButton(a.tab.get(), "Browse...");
    QCOMPARE(a.driver.titles, QStringList{"Vault Location"});
    QCOMPARE(a.tab->findChild<QLineEdit*>()->text(), at(field));
    QVERIFY(!QFileInfo::exists(at(field)));
}

void VaultActionsTest::rekeyPrompts_data()
{
    QTest::addColumn<QStringList>("answers"); // "<cancel>" presses Cancel
    QTest::addColumn<bool>("mounted");
    QTest::addColumn<QString>("box");
    QTest::newRow("current cancelled") << QStringList{"<cancel>"} << false << "";
    QTest::newRow("new cancelled") << QStringList{"x", "<cancel>"} << false << "Min 12 characters.";
    QTest::newRow("new too short") << QStringList{"x", "12345678901"} << false << "Min 12 characters.";
    QTest::newRow("confirmation cancelled") << QStringList{"x", kNew, "<cancel>"} << false << "Passwords do not match.";
    QTest::newRow("confirmation differs") << QStringList{"x", kNew, kNew + "!"} << false << "Passwords do not match.";
    QTest::newRow("mounted row") << QStringList{kOld, kNew, kNew} << true
                                 << "Please unmount the vault before changing the password.";
}

void VaultActionsTest::rekeyPrompts()
{
    QFETCH(QStringList, answers);
    QFETCH(bool, mounted);
    QFETCH(QString, box);
    const QString path = at("vault.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kOld));
    Actions a({path});
    if (mounted) {
        QVERIFY(a.vault.mount(path, kOld));
        a.tab->refreshVaultList();
    }
    const int callsBefore = a.tools.callCount("hdiutil");
    for (const QString& answer : answers)
        answer == "<cancel>" ? a.driver.cancelInput() : a.driver.typeText(answer);
    if (!box.isEmpty())
        a.driver.pressButton(QMessageBox::Ok);

    QVERIFY(a.choose(path, "Change Password..."));

    QCOMPARE(a.driver.pending(), 0);
    const QStringList labels{"Current password:", "New password (min 12 chars):", "Confirm new password:"};
    QCOMPARE(a.driver.texts.mid(0, answers.size()), labels.mid(0, answers.size()));
    QCOMPARE(a.driver.texts.mid(answers.size()), box.isEmpty() ? QStringList() : QStringList{box});
    QCOMPARE(a.tools.callCount("hdiutil"), callsBefore);
}

void VaultActionsTest::rekeyThroughHdiutil()
{
    const QString path = at("vault.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kOld));
    Actions a({path});
    QSignalSpy audit(a.tab.get(), &VaultTab::logRequest);
    for (const QString& answer : {kOld, kNew, kNew})
        a.driver.typeText(answer);

    QVERIFY(a.choose(path, "Change Password..."));

    QCOMPARE(a.driver.titles, QStringList({"Re-Key Vault", "Re-Key Vault", "Re-Key Vault"}));
    QCOMPARE(a.tools.arguments("hdiutil"), QStringList({"chpass", path}));
    QCOMPARE(a.tools.standardInput("hdiutil"), (kOld + "\n" + kNew + "\n" + kNew + "\n").toUtf8());
    QCOMPARE(a.log().last(), QStringLiteral("Vault password changed: vault.qvimgv"));
    QCOMPARE(audit.size(), 1);
    QCOMPARE(audit.at(0), (QList<QVariant>{"Vault Re-Key", "Vault", true, path}));
    QVERIFY(!a.vault.mount(path, kOld));
    QVERIFY(a.vault.mount(path, kNew));
    QVERIFY(a.vault.unmount());

    // A failure quotes hdiutil's error output as it came.
    a.tools.answer("hdiutil", {}, 1, "hdiutil: chpass failed - Authentication error\n");
    for (const QString& answer : {kOld, kNew, kNew})
        a.driver.typeText(answer);
    QVERIFY(a.choose(path, "Change Password..."));
    QCOMPARE(a.tab->findChild<QTextEdit*>()->toPlainText().section('\n', -2),
             QStringLiteral("Re-key failed: hdiutil: chpass failed - Authentication error\n"));
    QCOMPARE(audit.size(), 1);
}

void VaultActionsTest::rekeyRefusesHardwareVaults()
{
    const QString path = at("vault.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kOld));
    QVERIFY(writeFile(path + ".qvauth", R"({"challenge":"ab","type":"yk-hmac"})"));
    Actions a({path});
    a.driver.pressButton(QMessageBox::Ok);

    QVERIFY(a.choose(path, "Change Password..."));

    QCOMPARE(a.driver.texts, QStringList{"Password change is available for password vaults only."});
    QCOMPARE(a.tools.callCount("hdiutil"), 0);
}

void VaultActionsTest::removeKeepsFiles()
{
    const QString first = at("first.qvimgv");
    const QString second = at("second.qvimgv");
    for (const QString& path : {first, second}) {
        QVERIFY(VaultFixture::makeImage(path, kOld));
        QVERIFY(writeFile(path + ".qvauth", R"({"type":"dual"})"));
    }
    Actions a({first, second});
    QVERIFY(a.choose(first, "Remove from List"));
    QCOMPARE(a.profile.vaultPaths(), QStringList{second});
    QCOMPARE(a.log(), QStringList{"Vault removed from list (file not deleted)."});

    a.list()->setCurrentItem(a.list()->topLevelItem(0));
    clickButton(a.tab.get(), "Remove");
    QVERIFY(a.profile.vaultPaths().isEmpty());
    QCOMPARE(a.list()->topLevelItemCount(), 0);
    QCOMPARE(a.log().size(), 1);
    for (const QString& path : {first, second}) {
        QVERIFY(QFileInfo(path + "/key.wrapped").isFile());
        QVERIFY(QFileInfo(path + ".qvauth").isFile());
    }
}

void VaultActionsTest::doubleClickAndButtons()
{
    const QString path = at("vault.qvimgv");
    const QString missing = at("missing.qvimgv");
    QVERIFY(VaultFixture::makeImage(path, kOld));
    Actions a({path, missing});

    // "Mount" with no current row does nothing.
    a.list()->setCurrentItem(nullptr);
    clickButton(a.tab.get(), "Mount");
    QCOMPARE(a.driver.titles, QStringList());

    Q_EMIT a.list()->itemDoubleClicked(a.list()->topLevelItem(a.rowOf(missing)), 2);
    QCOMPARE(a.log().last(), "Vault file not found: " + missing);

    a.driver.typeText(kOld);
    Q_EMIT a.list()->itemDoubleClicked(a.list()->topLevelItem(a.rowOf(path)), 1);
    QCOMPARE(a.driver.titles, QStringList{"Mount Vault"});
    QVERIFY(a.vault.info().mounted);
    QCOMPARE(a.list()->topLevelItem(a.rowOf(path))->text(3), QStringLiteral("Mounted"));

    Q_EMIT a.list()->itemDoubleClicked(a.list()->topLevelItem(a.rowOf(path)), 0);
    QVERIFY(!a.vault.isMounted());

    a.list()->setCurrentItem(a.list()->topLevelItem(a.rowOf(path)));
    a.driver.typeText(kOld);
    clickButton(a.tab.get(), "Mount");
    QVERIFY(a.vault.isMounted());
    // "Unmount" needs no row.
    a.list()->setCurrentItem(nullptr);
    clickButton(a.tab.get(), "Unmount");
    QVERIFY(!a.vault.isMounted());
}

void VaultActionsTest::addExistingAndShowInFinder_data()
{
    // What stands at the chosen path: a bundle the engine made ("bundle"),
    // a plain file or nothing; refusal: the warning's text after the path.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("made");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("bundle with the vault suffix") << "found.qvimgv" << "bundle" << "";
    // Create and Rename make such names.
    QTest::newRow("bundle named without a suffix") << "found" << "bundle" << "";
    QTest::newRow("bundle with another suffix") << "found.backup" << "bundle" << "";
    QTest::newRow("image file") << "found.qvimgv" << "file"
                                << " is a file; a vault is the disk-image bundle folder the vault was created as.";
    QTest::newRow("nothing there") << "gone.qvimgv" << "nothing" << "";
}

void VaultActionsTest::addExistingAndShowInFinder()
{
    QFETCH(QString, name);
    QFETCH(QString, made);
    QFETCH(QString, refusal);
    const QString path = at(name);
    Actions a({});
    if (made == "bundle") {
        QVERIFY(a.vault.create(path, 64, kOld, QStringLiteral("APFS")));
        QVERIFY(QFileInfo(path).isDir());
    } else if (made == "file") {
        QVERIFY(writeFile(path, "image"));
    }
    // Typed into the dialog's name field and accepted, as a person would:
    // a bundle is taken as the vault, not opened as a folder.
    a.driver.chooseFile(path);
    if (made != "bundle")
        a.driver.pressButton(QMessageBox::Ok);
    clickButton(a.tab.get(), "Add Existing...");
    QCOMPARE(a.driver.pending(), 0);
    if (made != "bundle") {
        const QString text = made == "nothing" ? "Not added: nothing is at " + path + "." : "Not added: " + path + refusal;
        QCOMPARE(a.driver.titles, QStringList({"Add Existing Vault", "Vault"}));
        QCOMPARE(a.driver.texts.last(), text);
        QCOMPARE(a.profile.vaultPaths(), QStringList());
        QCOMPARE(a.list()->topLevelItemCount(), 0);
        return;
    }
    QCOMPARE(a.driver.titles, QStringList{"Add Existing Vault"});
    QCOMPARE(a.profile.vaultPaths(), QStringList{path});
    QCOMPARE(a.log().last(), "Added vault: " + path);
    QCOMPARE(a.list()->topLevelItem(0)->text(3), QStringLiteral("Locked"));

    // Added under its own name, it opens like any other.
    a.driver.typeText(kOld);
    Q_EMIT a.list()->itemDoubleClicked(a.list()->topLevelItem(0), 0);
    QVERIFY(a.vault.info().mounted);
    QCOMPARE(a.vault.info().path, path);
    QVERIFY(a.vault.unmount());

    QVERIFY(a.choose(path, "Show in Finder"));
    QTRY_COMPARE(a.tools.callCount("open"), 1);
    QCOMPARE(a.tools.arguments("open"), QStringList({"-R", path}));
    // The detached stand-in writes its call log last: let it finish before
    // its folder goes.
    QTRY_VERIFY(QFileInfo::exists(a.tools.stateDir() + "/open.log"));
}

OT_TEST_MAIN(VaultActionsTest)
#include "tst_vaultactions.moc"
