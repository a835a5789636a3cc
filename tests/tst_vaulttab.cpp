// The Secure Vault tab's frame: the vault list built from the profile and
// the fixed locations, each row's size and state, the create form's choices
// and the log pane fed by the engine.
#include "ui/vault/VaultTab.h"

#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"
#include "vault/TessarilVault.h"

#include "FakeTools.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "VaultFixture.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

namespace {

// The tab over its three services, as the main window builds it.
struct TabFixture {
    TessarilVault vault;
    FidoDeviceManager fido;
    UserProfile profile;
    std::unique_ptr<VaultTab> tab;

    explicit TabFixture(const QStringList& listed = {})
    {
        profile.load();
        for (const QString& path : listed)
            profile.addVaultPath(path);
        tab = std::make_unique<VaultTab>(&vault, &fido, &profile);
        // Building the tab reads no vault folder; its first show lists them.
        listedBeforeShow = tab->findChild<QTreeWidget*>(QStringLiteral("vaultList"))->topLevelItemCount();
        tab->show();
    }
    int listedBeforeShow = -1;
    // The vault list once the latest fill is in (its sizes are summed off
    // the window's thread).
    QTreeWidget* list() const
    {
        if (!QTest::qWaitFor([this] { return VaultFixture::vaultListFilled(tab.get()); }))
            qWarning("The vault list was not filled in time.");
        return tab->findChild<QTreeWidget*>(QStringLiteral("vaultList"));
    }
    QStringList log() const
    {
        const QString text = tab->findChild<QTextEdit*>()->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    // Each row as "name|location|size|status|colour|path".
    QStringList rows() const
    {
        QStringList out;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = list()->topLevelItem(i);
            out << QStringList{item->text(0), item->text(1), item->text(2), item->text(3),
                               item->foreground(3).color().name(), item->data(0, Qt::UserRole).toString()}
                       .join(QLatin1Char('|'));
        }
        return out;
    }
};

QString row(const QString& path, const QString& size, const QString& status, const QString& colour)
{
    const QFileInfo info(path);
    return QStringList{info.fileName(), info.absolutePath(), size, status, colour, path}.join(QLatin1Char('|'));
}

const QString kLocked = QStringLiteral("#94a3b8");
const QString kMissing = QStringLiteral("#f87171");
const QString kMounted = QStringLiteral("#22c55e");
const QString kNoSize = QString::fromUtf8("\u2014");

QStringList itemTexts(const QComboBox* combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out << combo->itemText(i) + " = " + combo->itemData(i).toString();
    return out;
}

} // namespace

class VaultTabTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void frameAndForm();
    void emptyProfileListsNothing();
    void fixedLocationsJoinTheProfileOnce();
    void sizesAndMissingVaults();
    void onlyTheEngineVaultShowsMounted();
    void foreignVolumeLeavesRowsLocked();
    void engineLinesReachTheLog();

private:
    std::unique_ptr<TestHome> home;
};

void VaultTabTest::frameAndForm()
{
    TabFixture f;
    auto* pages = f.tab->findChild<QTabWidget*>();
    QStringList titles;
    for (int i = 0; i < pages->count(); ++i)
        titles << pages->tabText(i);
    QCOMPARE(titles, QStringList({"Vault Management", "Key Backup", "Cloud Credentials", "Password Import",
                                  "Cloud Backup"}));
    auto* logView = f.tab->findChild<QTextEdit*>();
    QVERIFY(logView->isReadOnly());
    QCOMPARE(logView->maximumHeight(), 100);
    QCOMPARE(logView->font().family(), QStringLiteral("SF Mono"));
    QCOMPARE(logView->font().pointSize(), 11);
    QCOMPARE(logView->placeholderText(), QStringLiteral("Vault operations log..."));
    QStringList headers;
    for (int c = 0; c < f.list()->columnCount(); ++c)
        headers << f.list()->headerItem()->text(c);
    QCOMPARE(headers, QStringList({"Name", "Location", "Size", "Status"}));
    QCOMPARE(f.list()->contextMenuPolicy(), Qt::CustomContextMenu);

    const QList<QComboBox*> combos = f.tab->findChildren<QComboBox*>();
    QCOMPARE(combos.size(), 3);
    QComboBox* size = combos.at(0);
    QComboBox* filesystem = combos.at(1);
    QComboBox* auth = combos.at(2);
    QCOMPARE(itemTexts(size),
             QStringList({"64 MB \u2014 Minimal = 64", "128 MB \u2014 Small keyring = 128",
                          "256 MB \u2014 Standard (recommended) = 256", "512 MB \u2014 Moderate + certs = 512",
                          "1 GB \u2014 Large = 1024", "2 GB \u2014 Enterprise = 2048", "4 GB \u2014 Maximum = 4096"}));
    QCOMPARE(itemTexts(filesystem),
             QStringList({"APFS \u2014 macOS only = APFS", "HFS+ \u2014 macOS only = HFS+",
                          "ExFAT \u2014 macOS + Windows + Linux = ExFAT",
                          "FAT32 \u2014 Universal (max 4 GB per file) = FAT32"}));
    QCOMPARE(itemTexts(auth),
             QStringList({"Password Only = password", "FIDO2 hmac-secret (any CTAP2 key) = fido2-hmac",
                          "YubiKey HMAC-SHA1 Challenge-Response = yk-hmac", "PIV Touch-to-Decrypt = piv-touch",
                          "Password + Hardware Key (dual factor) = dual"}));
    QCOMPARE(size->currentIndex(), 2);
    QCOMPARE(filesystem->currentIndex(), 0);
    QCOMPARE(auth->currentIndex(), 0);
    QCOMPARE(f.tab->findChild<QLineEdit*>()->text(), TessarilVault::defaultPath());

    // The hint sits beside the file system choice and follows it.
    QLabel* hint = nullptr;
    for (QLabel* label : f.tab->findChildren<QLabel*>()) {
        if (label->text() == QStringLiteral("macOS 10.13+ only"))
            hint = label;
    }
    QVERIFY(hint);
    const QStringList expected{"macOS 10.13+ only", "macOS native, read-only on Linux",
                               "macOS + Windows + Linux (recommended for portability)",
                               "All platforms (4 GB file size limit)"};
    for (int i = 3; i >= 0; --i) {
        filesystem->setCurrentIndex(i);
        QCOMPARE(hint->text(), expected.at(i));
    }
}

void VaultTabTest::emptyProfileListsNothing()
{
    TabFixture f;
    QCOMPARE(f.list()->topLevelItemCount(), 0);
    QVERIFY(f.profile.vaultPaths().isEmpty());
    QVERIFY(f.log().isEmpty());
}

void VaultTabTest::fixedLocationsJoinTheProfileOnce()
{
    // On disk a vault is a sparse-bundle folder.
    const QString configVault = TessarilVault::defaultPath();
    QVERIFY(QDir().mkpath(configVault));
    {
        TabFixture f;
        QCOMPARE(f.rows(), QStringList{row(configVault, "0 MB", "Locked", kLocked)});
        f.tab->refreshVaultList();
        QCOMPARE(f.profile.vaultPaths(), QStringList{configVault});
        // The profile on disk says the same.
        UserProfile reader;
        QVERIFY(reader.load());
        QCOMPARE(reader.vaultPaths(), QStringList{configVault});
    }
    home.reset(); // the old home puts HOME back when it goes
    home = std::make_unique<TestHome>();
    const QString dotVault = home->path() + "/.ostrevan/vault.qvimgv";
    QVERIFY(QDir().mkpath(TessarilVault::defaultPath()));
    QVERIFY(QDir().mkpath(dotVault));
    TabFixture f;
    QTRY_VERIFY(VaultFixture::vaultListFilled(f.tab.get()));
    QCOMPARE(f.profile.vaultPaths(), (QStringList{dotVault, TessarilVault::defaultPath()}));
}

void VaultTabTest::sizesAndMissingVaults()
{
    const QString bundle = home->path() + "/vaults/work.qvimgv";
    const QString plain = home->path() + "/vaults/plain.img";
    const QString gone = home->path() + "/gone/old.qvimgv";
    // 3 MiB and a little, spread over nested bands and a hidden file.
    QVERIFY(writeFile(bundle + "/bands/0", QByteArray(2 * 1024 * 1024, 'a')));
    QVERIFY(writeFile(bundle + "/bands/sub/1", QByteArray(1024 * 1024, 'b')));
    QVERIFY(writeFile(bundle + "/.token", QByteArray(5000, 'c')));
    QVERIFY(writeFile(plain, QByteArray(5 * 1024 * 1024 - 1, 'd')));
    TabFixture f({bundle, gone, plain});
    QCOMPARE(f.listedBeforeShow, 0);
    QCOMPARE(f.rows(), QStringList({row(bundle, "3 MB", "Locked", kLocked), row(gone, kNoSize, "Missing", kMissing),
                                    row(plain, "4 MB", "Locked", kLocked)}));
    f.tab->refreshVaultList();
    QCOMPARE(f.profile.vaultPaths(), (QStringList{bundle, gone, plain}));
}

void VaultTabTest::onlyTheEngineVaultShowsMounted()
{
    FakeTools tools;
    VaultFixture::installHdiutil(tools);
    const QString first = home->path() + "/vaults/first.qvimgv";
    const QString second = home->path() + "/vaults/second.qvimgv";
    QVERIFY(VaultFixture::makeImage(second, "pass phrase two"));
    TabFixture f({first, second});
    QVERIFY(VaultFixture::makeAndMount(f.vault, first, "pass phrase one"));
    f.tab->refreshVaultList();
    const QStringList rows = f.rows();
    QCOMPARE(rows.size(), 2);
    QVERIFY2(rows.at(0).contains("|Mounted|" + kMounted + "|"), qPrintable(rows.at(0)));
    QVERIFY2(rows.at(1).contains("|Locked|" + kLocked + "|"), qPrintable(rows.at(1)));
    QVERIFY(!f.log().join('\n').contains("did not mount"));

    QVERIFY(f.vault.unmount());
    f.tab->refreshVaultList();
    QVERIFY(f.rows().at(0).contains("|Locked|"));
}

void VaultTabTest::foreignVolumeLeavesRowsLocked()
{
    const QString vaultA = home->path() + "/vaults/a.qvimgv";
    const QString vaultB = home->path() + "/vaults/b.qvimgv";
    QVERIFY(QDir().mkpath(vaultA));
    QVERIFY(QDir().mkpath(vaultB));
    QVERIFY(QDir().mkpath(TessarilVault::fixedMountPoint()));
    TabFixture f({vaultA, vaultB});
    QCOMPARE(f.rows(), QStringList({row(vaultA, "0 MB", "Locked", kLocked), row(vaultB, "0 MB", "Locked", kLocked)}));
    const QString note = QStringLiteral("A vault volume is mounted at %1 that this program did not mount.")
                             .arg(TessarilVault::fixedMountPoint());
    QCOMPARE(f.log(), QStringList{note});
    // Said once, not on every refresh.
    f.tab->refreshVaultList();
    QCOMPARE(f.log(), QStringList{note});
}

void VaultTabTest::engineLinesReachTheLog()
{
    TabFixture f;
    Q_EMIT f.vault.vaultLog("Mounting vault: <b>/x</b> & co");
    Q_EMIT f.vault.vaultError("Mount failed \u2014 <b>check</b> your password.");
    QCOMPARE(f.log(), QStringList({"Mounting vault: <b>/x</b> & co",
                                   "ERROR: Mount failed \u2014 <b>check</b> your password."}));
}

OT_TEST_MAIN(VaultTabTest)
#include "tst_vaulttab.moc"
