// The GPG page of the GPG / SSH tab: gpg's colon listing read into key
// records, the key tree built in the background from a real keyring when the
// page is first shown, its colours and count line, a listing that fails or
// stalls (the window answering all the while), and its context menu.
#include "ui/keys/GpgColonListing.h"
#include "ui/keys/GpgKeyManagementTab.h"

#include "FakeTools.h"
#include "GpgHome.h"
#include "Heartbeat.h"
#include "PageFillWait.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <memory>

class GpgKeysTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void parser_data();
    void parser();
    void shortAndLongIds();

    void layout();
    void firstListingWhenShown();
    void treeFromRealKeyring();
    void scriptedListings();
    void withoutGpg();
    void stalledListingKeepsTheWindowAnswering();
    void failedListingKeepsTree_data();
    void failedListingKeepsTree();
    void contextMenu();

private:
    std::unique_ptr<TestHome> home;
};

namespace {

// A key record line as gpg 2.2 prints it.
QString keyLine(const QString& type, const QString& validity, const QString& bits, const QString& algo,
                const QString& keyId, const QString& caps)
{
    return QStringLiteral("%1:%2:%3:%4:%5:1700000000:::u:::%6:::::ed25519:::0:")
        .arg(type, validity, bits, algo, keyId, caps);
}

QString fprLine(const QString& fpr)
{
    return QStringLiteral("fpr:::::::::%1:").arg(fpr);
}

QString uidLine(const QString& validity, const QString& text)
{
    return QStringLiteral("uid:%1::::1700000000::AB12::%2::::::::::0:").arg(validity, text);
}

QString subLine(const QString& keyId)
{
    return QStringLiteral("sub:u:255:18:%1:1700000001::::::e:::::cv25519::").arg(keyId);
}

// "userId|fingerprint|keyId|algorithm|trust|created|expires|flags|subkeys|capabilities";
// flags: S secret, E expired, R revoked.
QString describe(const GpgKeyInfo& key)
{
    QString flags;
    if (key.isSecret)
        flags += QLatin1Char('S');
    if (key.expired)
        flags += QLatin1Char('E');
    if (key.revoked)
        flags += QLatin1Char('R');
    return QStringList{key.userId, key.fingerprint, key.keyId, key.algorithm, key.trust, key.created,
                       key.expires, flags, key.subkeys.join(QLatin1Char(';')), key.capabilities.join(QLatin1Char(','))}
        .join(QLatin1Char('|'));
}

QStringList describeAll(const QList<GpgKeyInfo>& keys)
{
    QStringList out;
    for (const GpgKeyInfo& key : keys)
        out << describe(key);
    return out;
}

QTreeWidget* gpgTree(GpgKeyManagementTab& tab)
{
    return tab.findChild<QTreeWidget*>(QStringLiteral("gpgKeyTree"));
}

QStringList logLines(GpgKeyManagementTab& tab)
{
    const QString text = tab.findChild<QTextEdit*>(QStringLiteral("gpgSshLogView"))->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QString colourName(const QTreeWidgetItem* item, int column)
{
    const QVariant brush = item->data(column, Qt::ForegroundRole);
    return brush.isValid() ? brush.value<QBrush>().color().name() : QString();
}

QTreeWidgetItem* rowFor(QTreeWidget* tree, const QString& userId)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (tree->topLevelItem(i)->text(0) == userId)
            return tree->topLevelItem(i);
    }
    return nullptr;
}

QStringList rowTexts(const QTreeWidgetItem* item)
{
    QStringList texts;
    const int columns = item->treeWidget() ? item->treeWidget()->columnCount() : item->columnCount();
    for (int c = 0; c < columns; ++c)
        texts << item->text(c);
    return texts;
}

const QString fprA = QStringLiteral("5B63B6898C0589BA9393E12EFF13C3E95825B50E");
const QString fprB = QStringLiteral("42149511CA2BB7D27FB316EAC8011739FDAA76C1");

// gpg as a stand-in that prints the public listing first, then the secret one.
void scriptListings(FakeTools& fakes, const QStringList& publicLines, const QStringList& secretLines)
{
    fakes.install(QStringLiteral("gpg"));
    fakes.answer(QStringLiteral("gpg"), publicLines.join(QLatin1Char('\n')).toUtf8() + '\n', 0, {}, 1);
    fakes.answer(QStringLiteral("gpg"), secretLines.join(QLatin1Char('\n')).toUtf8() + '\n', 0, {}, 2);
}

QLabel* listingStatus(QWidget* page)
{
    return page->findChild<QLabel*>(QStringLiteral("warningStatus"));
}

QWidget* gpgPage(GpgKeyManagementTab& tab)
{
    return tab.findChild<QTabWidget*>(QStringLiteral("gpgSshPages"))->widget(0);
}

// The keyring page fills in the background: wait for its rows.
bool gpgFilled(GpgKeyManagementTab& tab)
{
    return pageFilled(gpgTree(tab));
}

QStringList fingerprints(QTreeWidget* tree)
{
    QStringList out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        out << tree->topLevelItem(i)->data(0, Qt::UserRole).toString();
    return out;
}

} // namespace

void GpgKeysTest::parser_data()
{
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("expected");

    const QString keyA = QStringLiteral("FF13C3E95825B50E");
    QTest::newRow("empty text") << QStringList{} << QStringList{};
    QTest::newRow("only short lines") << QStringList{"tru::1:1796921372:0:3:1:5", "pub:u:255:22", "", "fpr:::"}
                                      << QStringList{};
    QTest::newRow("pub fpr uid sub fpr: first fpr, the sub's id")
        << QStringList{keyLine("pub", "u", "255", "22", keyA, "scESC"), fprLine(fprA),
                       uidLine("u", "Ann Example <ann@example.org>"), subLine("BCC0F94EC5DA1E6A"),
                       fprLine("F4A253BCB6388CC303D91167BCC0F94EC5DA1E6A")}
        << QStringList{"Ann Example <ann@example.org>|" + fprA + "|" + keyA
                       + "|EdDSA|u|1700000000|||BCC0F94EC5DA1E6A|Sign,Encrypt,Certify"};
    QTest::newRow("two blocks in order")
        << QStringList{keyLine("pub", "u", "255", "22", "1111111111111111", "sc"), fprLine(fprA), uidLine("u", "A"),
                       keyLine("pub", "f", "255", "22", "2222222222222222", "sc"), fprLine(fprB), uidLine("f", "B")}
        << QStringList{"A|" + fprA + "|1111111111111111|EdDSA|u|1700000000||||Sign,Certify",
                       "B|" + fprB + "|2222222222222222|EdDSA|f|1700000000||||Sign,Certify"};
    QTest::newRow("a block without fpr, then a whole one")
        << QStringList{keyLine("pub", "u", "255", "22", "1111111111111111", "sc"), uidLine("u", "No fingerprint"),
                       keyLine("pub", "u", "255", "22", "2222222222222222", "sc"), fprLine(fprB), uidLine("u", "B")}
        << QStringList{"B|" + fprB + "|2222222222222222|EdDSA|u|1700000000||||Sign,Certify"};
    QTest::newRow("uid r then uid u: the last text, still revoked")
        << QStringList{keyLine("pub", "u", "255", "22", keyA, "sc"), fprLine(fprA), uidLine("r", "Old <o@x>"),
                       uidLine("u", "New <n@x>")}
        << QStringList{"New <n@x>|" + fprA + "|" + keyA + "|EdDSA|u|1700000000||R||Sign,Certify"};
    QTest::newRow("expired uid, expiry date kept")
        << QStringList{keyLine("pub", "e", "255", "22", keyA, "sc").replace(":1700000000::", ":1700000000:1710000000:"),
                       fprLine(fprA), uidLine("e", "E")}
        << QStringList{"E|" + fprA + "|" + keyA + "|EdDSA|e|1700000000|1710000000|E||Sign,Certify"};
    QTest::newRow("algorithms: RSA, EdDSA, a key length")
        << QStringList{keyLine("pub", "u", "3072", "1", "1111111111111111", "scESC"), fprLine("F1"),
                       keyLine("pub", "u", "255", "22", "2222222222222222", "a"), fprLine("F2"),
                       keyLine("pub", "u", "256", "19", "3333333333333333", ""), fprLine("F3"),
                       keyLine("pub", "u", "255", "22", "4444444444444444", "scSC"), fprLine("F4")}
        << QStringList{"|F1|1111111111111111|RSA|u|1700000000||||Sign,Encrypt,Certify",
                       "|F2|2222222222222222|EdDSA|u|1700000000||||Auth",
                       "|F3|3333333333333333|256-bit|u|1700000000||||",
                       "|F4|4444444444444444|EdDSA|u|1700000000||||Sign,Certify"};
    QTest::newRow("key IDs of 16 and 40 characters")
        << QStringList{keyLine("pub", "u", "255", "22", "0123456789ABCDEF", "s"), fprLine("F1"),
                       keyLine("pub", "u", "255", "22", fprA, "s"), fprLine("F2"), subLine(fprB)}
        << QStringList{"|F1|0123456789ABCDEF|EdDSA|u|1700000000||||Sign",
                       "|F2|FF13C3E95825B50E|EdDSA|u|1700000000|||C8011739FDAA76C1|Sign"};
    QTest::newRow("a secret listing: secret, its ssb records not collected")
        << QStringList{keyLine("sec", "u", "255", "22", keyA, "scESC"), fprLine(fprA), "grp:::::::::5429:",
                       uidLine("u", "Ann"), "ssb:u:255:18:BCC0F94EC5DA1E6A:1796921373::::::e:::+::cv25519::",
                       fprLine("F4A253BCB6388CC303D91167BCC0F94EC5DA1E6A")}
        << QStringList{"Ann|" + fprA + "|" + keyA + "|EdDSA|u|1700000000||S||Sign,Encrypt,Certify"};
    QTest::newRow("a 10-field pub: a record without capabilities")
        << QStringList{"pub:u:255:22:" + keyA + ":1700000000::::", fprLine(fprA), uidLine("u", "Short")}
        << QStringList{"Short|" + fprA + "|" + keyA + "|EdDSA|u|1700000000||||"};
    QTest::newRow("records before the first key are ignored")
        << QStringList{fprLine(fprB), uidLine("r", "Stray"), subLine("9999999999999999"),
                       keyLine("pub", "u", "255", "22", keyA, "c"), fprLine(fprA)}
        << QStringList{"|" + fprA + "|" + keyA + "|EdDSA|u|1700000000||||Certify"};
    QTest::newRow("user IDs stay C-escaped")
        << QStringList{keyLine("pub", "u", "255", "22", keyA, "c"), fprLine(fprA),
                       uidLine("u", "Team\\x3a Ops <ops@example.org>")}
        << QStringList{"Team\\x3a Ops <ops@example.org>|" + fprA + "|" + keyA + "|EdDSA|u|1700000000||||Certify"};
}

void GpgKeysTest::parser()
{
    QFETCH(QStringList, lines);
    QFETCH(QStringList, expected);
    QCOMPARE(describeAll(GpgColonListing::parse(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'))), expected);
}

void GpgKeysTest::shortAndLongIds()
{
    QCOMPARE(GpgColonListing::shortId(fprA), QStringLiteral("5825B50E"));
    QCOMPARE(GpgColonListing::longId(fprA), QStringLiteral("FF13C3E95825B50E"));
    QCOMPARE(GpgColonListing::shortId(QStringLiteral("ABC")), QStringLiteral("ABC"));
    QCOMPARE(GpgColonListing::longId(QStringLiteral("0123456789AB")), QStringLiteral("0123456789AB"));
}

void GpgKeysTest::layout()
{
    FakeTools fakes(false); // no gpg: an empty keyring
    GpgKeyManagementTab tab;
    auto* pages = tab.findChild<QTabWidget*>(QStringLiteral("gpgSshPages"));
    QVERIFY(pages);
    QStringList titles;
    for (int i = 0; i < pages->count(); ++i)
        titles << pages->tabText(i);
    QCOMPARE(titles, (QStringList{"GPG / OpenPGP Keyring", "SSH Keys", "SSH Config"}));

    QTreeWidget* tree = gpgTree(tab);
    QVERIFY(pages->widget(0)->isAncestorOf(tree));
    QCOMPARE(rowTexts(tree->headerItem()),
             (QStringList{"User ID", "Key ID", "Algorithm", "Trust", "Created", "Expires", "Capabilities"}));
    QCOMPARE(tree->columnWidth(0), 250);
    QCOMPARE(tree->contextMenuPolicy(), Qt::CustomContextMenu);
    QVERIFY(tree->alternatingRowColors());
    QVERIFY(tree->rootIsDecorated());

    // Both rows in order, each button with its style hook.
    QStringList buttons;
    for (QPushButton* button : pages->widget(0)->findChildren<QPushButton*>())
        buttons << button->text() + QLatin1Char('#') + button->objectName();
    QCOMPARE(buttons, (QStringList{"Refresh#", "Generate Key Pair...#", "Export Public Key#secondaryButton",
                                   "Export Secret Key#dangerButton", "Sign Key#secondaryButton", "Delete#dangerButton",
                                   "Edit Trust#", "Revoke Key#dangerButton", "Gen Revocation Cert#secondaryButton",
                                   "Import Key#", "Add Subkey#secondaryButton", "Add UID#secondaryButton"}));

    auto* sshTree = tab.findChild<QTreeWidget*>(QStringLiteral("sshKeyTree"));
    QVERIFY(pages->widget(1)->isAncestorOf(sshTree));
    QCOMPARE(rowTexts(sshTree->headerItem()), (QStringList{"Type", "Bits", "Fingerprint", "Comment", "File"}));
    QCOMPARE(sshTree->columnWidth(2), 300);
    QVERIFY(findButton(pages->widget(2), QStringLiteral("Open SSH Config Editor...")));

    auto* log = tab.findChild<QTextEdit*>(QStringLiteral("gpgSshLogView"));
    QVERIFY(log->isReadOnly());
    QCOMPARE(log->maximumHeight(), 100);
    QCOMPARE(log->placeholderText(), QStringLiteral("Key operations log..."));
    QVERIFY(!pages->isAncestorOf(log));
}

void GpgKeysTest::firstListingWhenShown()
{
    GpgHome gnupg;
    QVERIFY2(!gnupg.generateKey(QStringLiteral("Ann <ann@example.org>")).isEmpty(), qPrintable(gnupg.errorString()));
    const QString keygen = QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"));
    QVERIFY(QDir().mkpath(QDir::homePath() + QStringLiteral("/.ssh")));
    QVERIFY(ToolRunner::run(keygen, {"-q", "-t", "ed25519", "-N", "", "-f",
                                     QDir::homePath() + QStringLiteral("/.ssh/id_ed25519")})
                .succeeded());
    FakeTools fakes;
    fakes.install(QStringLiteral("gpg"), QStringLiteral("gpg"));
    fakes.recordReal(QStringLiteral("ssh-keygen"), keygen);

    // Building the tab (and so the main window) runs no tool at all.
    GpgKeyManagementTab tab;
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), 0);
    QCOMPARE(fakes.callCount(QStringLiteral("ssh-keygen")), 0);
    QCOMPARE(gpgTree(tab)->topLevelItemCount(), 0);
    QVERIFY(logLines(tab).isEmpty());

    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), 2);
    QCOMPARE(gpgTree(tab)->topLevelItemCount(), 1);
    QCOMPARE(logLines(tab), QStringList{"GPG: 1 public keys, 1 secret keys"});
    // The key pairs are listed when their page is first shown.
    QCOMPARE(fakes.callCount(QStringLiteral("ssh-keygen")), 0);
    auto* pages = tab.findChild<QTabWidget*>(QStringLiteral("gpgSshPages"));
    pages->setCurrentIndex(1);
    QTRY_VERIFY_WITH_TIMEOUT(pageFilled(tab.findChild<QTreeWidget*>(QStringLiteral("sshKeyTree"))), 30000);
    QCOMPARE(fakes.callCount(QStringLiteral("ssh-keygen")), 1);
    QCOMPARE(logLines(tab), (QStringList{"GPG: 1 public keys, 1 secret keys", "SSH: 1 key(s) found in ~/.ssh/"}));

    // Shown again, they list nothing more: the Refresh buttons do.
    pages->setCurrentIndex(0);
    tab.hide();
    tab.show();
    pages->setCurrentIndex(1);
    QCoreApplication::processEvents();   // where a first-show fill would start
    QVERIFY(gpgFilled(tab) && pageFilled(tab.findChild<QTreeWidget*>(QStringLiteral("sshKeyTree"))));
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), 2);
    QCOMPARE(fakes.callCount(QStringLiteral("ssh-keygen")), 1);
}

void GpgKeysTest::treeFromRealKeyring()
{
    GpgHome gnupg;
    const QString fprMain = gnupg.generateKey(QStringLiteral("Main Key <main@example.org>"));
    QVERIFY2(!fprMain.isEmpty(), qPrintable(gnupg.errorString()));
    QVERIFY2(gnupg.addSubkey(fprMain, QStringLiteral("ed25519"), QStringLiteral("sign")),
             qPrintable(gnupg.errorString()));
    QVERIFY2(gnupg.addSubkey(fprMain, QStringLiteral("cv25519"), QStringLiteral("encr")),
             qPrintable(gnupg.errorString()));
    const QString fprRevoked = gnupg.generateKey(QStringLiteral("Retired Key <old@example.org>"));
    QVERIFY2(gnupg.revokeKey(fprRevoked), qPrintable(gnupg.errorString()));
    QString fprPeer;
    {
        QTemporaryDir otherDir;
        GpgHome other(otherDir.path(), false);
        fprPeer = other.generateKey(QStringLiteral("Peer Key <peer@example.org>"));
        QVERIFY2(!fprPeer.isEmpty(), qPrintable(other.errorString()));
        QVERIFY2(gnupg.importKey(other.exportPublicKey(fprPeer)), qPrintable(gnupg.errorString()));
    }

    FakeTools fakes;
    fakes.install(QStringLiteral("gpg"), QStringLiteral("gpg")); // records, then runs the real gpg
    GpgKeyManagementTab tab;
    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), 2);
    QCOMPARE(fakes.arguments(QStringLiteral("gpg"), 1), (QStringList{"--list-keys", "--with-colons"}));
    QCOMPARE(fakes.arguments(QStringLiteral("gpg"), 2), (QStringList{"--list-secret-keys", "--with-colons"}));

    QTreeWidget* tree = gpgTree(tab);
    QCOMPARE(tree->topLevelItemCount(), 3);
    QTreeWidgetItem* mainRow = rowFor(tree, QStringLiteral("Main Key <main@example.org>"));
    QTreeWidgetItem* peerRow = rowFor(tree, QStringLiteral("Peer Key <peer@example.org>"));
    QTreeWidgetItem* revokedRow = rowFor(tree, QStringLiteral("Retired Key <old@example.org>"));
    QVERIFY(mainRow && peerRow && revokedRow);

    QCOMPARE(mainRow->data(0, Qt::UserRole).toString(), fprMain);
    QCOMPARE(mainRow->text(1), fprMain.right(8));
    QCOMPARE(mainRow->text(2), QStringLiteral("EdDSA"));
    QCOMPARE(mainRow->text(3), QStringLiteral("u"));
    QCOMPARE(mainRow->text(5), QStringLiteral("Never"));
    QCOMPARE(mainRow->text(6), QStringLiteral("Sign, Encrypt, Certify"));
    QCOMPARE(colourName(mainRow, 0), QStringLiteral("#22c55e"));
    QCOMPARE(colourName(mainRow, 3), QString());

    // The subkeys, in the order gpg lists them, as collapsed grey rows.
    QStringList subIds;
    for (const GpgKeyInfo& key : GpgColonListing::parse(gnupg.listing())) {
        if (key.fingerprint == fprMain)
            subIds = key.subkeys;
    }
    QCOMPARE(subIds.size(), 2);
    QCOMPARE(mainRow->childCount(), 2);
    QVERIFY(!mainRow->isExpanded());
    for (int i = 0; i < 2; ++i) {
        QTreeWidgetItem* child = mainRow->child(i);
        QCOMPARE(rowTexts(child), (QStringList{"Subkey", subIds.at(i).right(8), "", "", "", "", ""}));
        QCOMPARE(colourName(child, 0), QStringLiteral("#94a3b8"));
        QVERIFY(child->data(0, Qt::UserRole).toString().isEmpty());
    }

    // Only the keys with a secret part are green; the revoked one has an amber Trust cell.
    QCOMPARE(peerRow->data(0, Qt::UserRole).toString(), fprPeer);
    QCOMPARE(colourName(peerRow, 0), QString());
    QCOMPARE(peerRow->childCount(), 0);
    QCOMPARE(revokedRow->text(3), QStringLiteral("r"));
    QCOMPARE(colourName(revokedRow, 3), QStringLiteral("#f59e0b"));
    QCOMPARE(colourName(revokedRow, 0), QStringLiteral("#22c55e"));

    QCOMPARE(logLines(tab).first(), QStringLiteral("GPG: 3 public keys, 2 secret keys"));

    // Refresh rebuilds from scratch and logs again.
    tree->setCurrentItem(peerRow);
    clickButton(tab.findChild<QTabWidget*>(QStringLiteral("gpgSshPages"))->widget(0), QStringLiteral("Refresh"));
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QCOMPARE(tree->topLevelItemCount(), 3);
    QCOMPARE(tree->currentItem(), nullptr);
    QCOMPARE(logLines(tab).count(QStringLiteral("GPG: 3 public keys, 2 secret keys")), 2);
}

void GpgKeysTest::scriptedListings()
{
    FakeTools fakes;
    scriptListings(fakes,
                   {keyLine("pub", "e", "255", "22", "1111111111111111", "sc"), fprLine("F1"),
                    uidLine("r", "Both <both@example.org>"), uidLine("e", "Both <both@example.org>"),
                    keyLine("pub", "e", "255", "22", "ABCDEF", "sc"), fprLine("F2"), uidLine("e", "Expired only")},
                   {keyLine("sec", "u", "255", "22", "3333333333333333", "sc"), fprLine("F3"),
                    uidLine("u", "Secret without public"), keyLine("sec", "u", "255", "22", "ABCDEF", "sc"),
                    fprLine("F2")});
    GpgKeyManagementTab tab;
    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QTreeWidget* tree = gpgTree(tab);
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(colourName(tree->topLevelItem(0), 3), QStringLiteral("#f87171")); // expiry wins over revocation
    QCOMPARE(colourName(tree->topLevelItem(1), 3), QStringLiteral("#f87171"));
    QCOMPARE(tree->topLevelItem(1)->text(1), QStringLiteral("ABCDEF")); // 8 or fewer: whole
    QCOMPARE(colourName(tree->topLevelItem(1), 0), QStringLiteral("#22c55e"));
    QCOMPARE(logLines(tab), QStringList{"GPG: 2 public keys, 2 secret keys"});
}

void GpgKeysTest::withoutGpg()
{
    FakeTools fakes(false); // a search path that holds no gpg
    GpgKeyManagementTab tab;
    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QCOMPARE(gpgTree(tab)->topLevelItemCount(), 0);
    // Not an empty keyring: no keyring could be listed.
    const QString told = logLines(tab).first();
    QVERIFY2(told.startsWith(QStringLiteral("GPG: keyring listing failed (gpg failed to start"))
                 && told.endsWith(QStringLiteral("); no keys are shown.")),
             qPrintable(told));
    QVERIFY(listingStatus(gpgPage(tab))->isVisible());
    QCOMPARE(listingStatus(gpgPage(tab))->text(), told);
}

// A gpg that does not answer: the window keeps answering while the page says
// "Loading…", and the time-out is told under the page and in the log.
void GpgKeysTest::stalledListingKeepsTheWindowAnswering()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("gpg"));
    fakes.setSleep(QStringLiteral("gpg"), 60);
    GpgKeyManagementTab tab;
    tab.listingTimeoutMs = 1500;
    tab.show();
    Heartbeat heartbeat;
    auto* loading = gpgTree(tab)->viewport()->findChild<QLabel*>(QStringLiteral("pageFillLoading"));
    QTRY_VERIFY(loading->isVisible());
    QCOMPARE(loading->text(), QString::fromUtf8("Loading\u2026"));
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    const QString told =
        QStringLiteral("GPG: keyring listing failed (gpg timed out after 1500 ms); no keys are shown.");
    QCOMPARE(logLines(tab), QStringList{told});
    QVERIFY(listingStatus(gpgPage(tab))->isVisible());
    QCOMPARE(listingStatus(gpgPage(tab))->text(), told);
    QVERIFY(!loading->isVisible());
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), 1);
}

void GpgKeysTest::failedListingKeepsTree_data()
{
    QTest::addColumn<int>("call");          // the refresh's first (public) or second (secret) listing
    QTest::addColumn<bool>("stalls");       // prints half a real listing, then hangs; else fails at once
    QTest::addColumn<QString>("reason");
    QTest::newRow("public listing stalls") << 3 << true << "gpg timed out after 1500 ms";
    QTest::newRow("secret listing fails")
        << 4 << false << "gpg exited with code 2: gpg: can't connect to the agent: IPC connect call failed";
}

void GpgKeysTest::failedListingKeepsTree()
{
    QFETCH(int, call);
    QFETCH(bool, stalls);
    QFETCH(QString, reason);
    GpgHome gnupg;
    for (const char* userId : {"Ann <ann@example.org>", "Bob <bob@example.org>", "Cy <cy@example.org>"})
        QVERIFY2(!gnupg.generateKey(QString::fromLatin1(userId)).isEmpty(), qPrintable(gnupg.errorString()));
    const QByteArray publicListing = gnupg.listing().toUtf8();
    const QByteArray secretListing = gnupg.listing(true).toUtf8();
    QCOMPARE(publicListing.count("\npub:"), 3);

    FakeTools fakes;
    fakes.install(QStringLiteral("gpg"));
    fakes.answer(QStringLiteral("gpg"), publicListing, 0, {}, 1);
    fakes.answer(QStringLiteral("gpg"), secretListing, 0, {}, 2);
    fakes.answer(QStringLiteral("gpg"), publicListing, 0, {}, 3);
    if (stalls) {
        // Part of a real listing, one key and a half, then nothing more.
        const QString part = home->path() + QStringLiteral("/part");
        const qsizetype secondKey = publicListing.indexOf("\npub:", publicListing.indexOf("\npub:") + 1);
        QVERIFY(writeFile(part, publicListing.left(secondKey + 60)));
        fakes.setHook(QStringLiteral("gpg"), QStringLiteral("cat '%1'; exec sleep 60").arg(part), call);
    } else {
        fakes.answer(QStringLiteral("gpg"), {}, 2,
                     "gpg: can't connect to the agent: IPC connect call failed\n", call);
    }

    GpgKeyManagementTab tab;
    const int normalTimeoutMs = tab.listingTimeoutMs;
    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QTreeWidget* tree = gpgTree(tab);
    const QStringList before = fingerprints(tree);
    QCOMPARE(before.size(), 3);
    QVERIFY(listingStatus(gpgPage(tab))->isHidden());
    tree->setCurrentItem(tree->topLevelItem(1));

    // Only the listing meant to stall is given a short time.
    tab.listingTimeoutMs = 1500;
    clickButton(gpgPage(tab), QStringLiteral("Refresh"));
    tab.listingTimeoutMs = normalTimeoutMs;
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    const QString told = QStringLiteral("GPG: keyring listing failed (%1); the keys shown are from the previous "
                                        "listing.")
                             .arg(reason);
    QCOMPARE(logLines(tab).last(), told);
    QCOMPARE(fingerprints(tree), before);
    QCOMPARE(tree->currentItem(), tree->topLevelItem(1));
    QVERIFY(listingStatus(gpgPage(tab))->isVisible());
    QCOMPARE(listingStatus(gpgPage(tab))->text(), told);

    // The next listing that completes replaces the tree and clears the notice.
    QCOMPARE(fakes.callCount(QStringLiteral("gpg")), call);
    fakes.answer(QStringLiteral("gpg"), publicListing, 0, {}, call + 1);
    fakes.answer(QStringLiteral("gpg"), secretListing, 0, {}, call + 2);
    clickButton(gpgPage(tab), QStringLiteral("Refresh"));
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QCOMPARE(logLines(tab).last(), QStringLiteral("GPG: 3 public keys, 3 secret keys"));
    QCOMPARE(fingerprints(tree), before);
    QVERIFY(!listingStatus(gpgPage(tab))->isVisible());
}

void GpgKeysTest::contextMenu()
{
    FakeTools fakes;
    scriptListings(fakes,
                   {keyLine("pub", "u", "255", "22", "FF13C3E95825B50E", "scESC"), fprLine(fprA), uidLine("u", "Ann"),
                    subLine("BCC0F94EC5DA1E6A"), fprLine("F4A253BCB6388CC303D91167BCC0F94EC5DA1E6A")},
                   {});
    GpgKeyManagementTab tab;
    tab.resize(900, 600);
    tab.show();
    QTRY_VERIFY_WITH_TIMEOUT(gpgFilled(tab), 30000);
    QTreeWidget* tree = gpgTree(tab);
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* keyRow = tree->topLevelItem(0);

    QStringList script;
    QVERIFY(runTreeContextMenu(tree, 0, {}, [&](QMenu* menu) { script = menuScript(menu); }));
    QCOMPARE(script, (QStringList{"Copy Fingerprint", "Copy Key ID", "---",
                                  "SUBMENU:Export", "  Export Public Key...", "  Export Secret Key...", "END_SUBMENU",
                                  "SUBMENU:Trust", "  Edit Owner Trust...", "  Sign Key...", "END_SUBMENU",
                                  "SUBMENU:Modify", "  Add Subkey...", "  Add UID...", "END_SUBMENU", "---",
                                  "Generate Revocation Cert...",
                                  "SUBMENU:Danger Zone", "  Revoke Key...", "  Delete Key...", "END_SUBMENU"}));

    QApplication::clipboard()->clear();
    QVERIFY(runTreeContextMenu(tree, 0, {"Copy Key ID"}));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("5825B50E"));
    QVERIFY(runTreeContextMenu(tree, 0, {"Copy Fingerprint"}));
    QCOMPARE(QApplication::clipboard()->text(), fprA);

    // No menu on a subkey row or on empty space.
    tree->expandItem(keyRow);
    QVERIFY(!runTreeContextMenu(tree, keyRow->child(0), {}));
    QVERIFY(!runTreeContextMenu(tree, nullptr, {}));
}

OT_TEST_MAIN(GpgKeysTest)
#include "tst_gpgkeys.moc"
