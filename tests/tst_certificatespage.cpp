// The Certificates page: the keychain's signing identities with their expiry
// alert, import into the keychain, the details of a certificate file, and where
// Generate CSR leads. The keychain tool is played by the recording stand-in
// tests/fakes/macos-tool; certificates are real ones made by openssl.
#include "app/MainWindow.h"
#include "app/StyleManager.h"
#include "app/Startup.h"
#include "signing/SigningManager.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "ModalDriver.h"
#include "PageFillWait.h"
#include "TestHome.h"
#include "WindowPages.h"
#include "TestPki.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QByteArray kValidLine =
    "  1) 0123456789ABCDEF0123456789ABCDEF01234567 \"Developer ID Application: Holder (TEAM123)\"\n";
const QByteArray kExpiredLine =
    "  2) 89ABCDEF0123456789ABCDEF0123456789ABCDEF \"Apple Development: Old Holder (TEAM999)\" "
    "(CSSMERR_TP_CERT_EXPIRED)\n";
const QByteArray kThirdLine =
    "  3) FEDCBA9876543210FEDCBA9876543210FEDCBA98 \"Developer ID Application: New Holder (TEAM456)\"\n";

// The keychain tool as a stand-in whose identity listing is whatever the test
// last wrote with setIdentities(); every other call answers as scripted.
struct Keychain
{
    FakeTools fakes;
    QTemporaryDir dir;

    Keychain()
    {
        fakes.install(QStringLiteral("security"), QStringLiteral("macos-tool"));
        setIdentities({});
        fakes.setHook(QStringLiteral("security"),
                      QStringLiteral("if [ \"$1\" = find-identity ]; then cat '%1'; exit 0; fi")
                          .arg(listingPath()));
    }

    QString listingPath() const { return dir.filePath(QStringLiteral("identities")); }

    void setIdentities(const QByteArray& lines)
    {
        QFile file(listingPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        const int count = int(lines.count('\n'));
        file.write(lines + QByteArray("     ") + QByteArray::number(count) + " valid identities found\n");
    }

    int listings() const
    {
        int n = 0;
        for (int call = 1; call <= fakes.callCount(QStringLiteral("security")); ++call) {
            if (fakes.arguments(QStringLiteral("security"), call).value(0) == QLatin1String("find-identity"))
                ++n;
        }
        return n;
    }
};

void showCertificatesPage(MainWindow& window)
{
    window.findChild<QTabWidget*>()->setCurrentIndex(MainWindow::CertificatesPage);
    window.show();
}

QTreeWidget* identityTree(MainWindow& window)
{
    for (QTreeWidget* tree : window.findChildren<QTreeWidget*>()) {
        if (tree->headerItem()->text(0) == QLatin1String("Subject"))
            return tree;
    }
    return nullptr;
}

// The identity listing has run and its answer is in.
bool listed(MainWindow& window)
{
    return pageFilled(identityTree(window));
}

QLabel* alertLabel(MainWindow& window)
{
    QTreeWidget* tree = identityTree(window);
    for (QLabel* label : tree->parentWidget()->findChildren<QLabel*>()) {
        if (label->objectName() != QLatin1String("sectionTitle"))
            return label;
    }
    return nullptr;
}

// Session log lines of one operation, without their time stamps.
QStringList auditLines(MainWindow& window, const QString& op)
{
    static const QRegularExpression stamp(QStringLiteral(R"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] )"));
    QStringList lines;
    const QString text = sessionLogView(window)->toPlainText();
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (!line.contains(QStringLiteral("| ") + op))
            continue;
        lines << line.remove(stamp);
    }
    return lines;
}

// Waits until the list shows no "Loading…" over it: its listing is in.
bool filled(QTreeWidget* tree)
{
    auto* loading = tree->findChild<QLabel*>(QStringLiteral("pageFillLoading"));
    return loading && QTest::qWaitFor([loading] { return loading->isHidden(); }, 20000);
}

QString opensslValue(TestPki& pki, const QString& path, const QStringList& options)
{
    const QString out = QString::fromUtf8(
        pki.openssl(QStringList{QStringLiteral("x509"), QStringLiteral("-in"), path, QStringLiteral("-noout")}
                    + options).stdOut).trimmed();
    return out.mid(out.indexOf(QLatin1Char('=')) + 1);
}

} // namespace

class CertificatesPageTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void identityRows_data();
    void identityRows();
    void inspectDetails_data();
    void inspectDetails();
    void inspectWithoutWorkingOpenssl_data();
    void inspectWithoutWorkingOpenssl();
    void inspectFileWithoutCertificate();
    void import_data();
    void import();
    void alertAfterImportIsRestyled();
    void navigation();
    void keychainThatHangsIsToldNotWaitedFor();

private:
    std::unique_ptr<TestHome> home;
    std::unique_ptr<TestPki> pki;
};

void CertificatesPageTest::initTestCase()
{
    Startup::setIdentity(*qApp);
    pki = std::make_unique<TestPki>();
    QVERIFY2(pki->isValid(), qPrintable(pki->errorString()));
}

void CertificatesPageTest::identityRows_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("alert");

    // The status colours read on either theme's background.
    QTest::newRow("one valid, one expired, dark")
        << int(StyleManager::Dark) << kValidLine + kExpiredLine
        << QStringList{"Developer ID Application: Holder (TEAM123)|Code Signing|||Keychain|Valid|#22c55e",
                       "Apple Development: Old Holder (TEAM999)|Code Signing|||Keychain|Invalid|#f87171"}
        << QStringLiteral("ALERT: 1 certificate(s) have EXPIRED. Renew immediately.");
    QTest::newRow("one valid, one expired, light")
        << int(StyleManager::Light) << kValidLine + kExpiredLine
        << QStringList{"Developer ID Application: Holder (TEAM123)|Code Signing|||Keychain|Valid|#15803d",
                       "Apple Development: Old Holder (TEAM999)|Code Signing|||Keychain|Invalid|#b91c1c"}
        << QStringLiteral("ALERT: 1 certificate(s) have EXPIRED. Renew immediately.");
    QTest::newRow("all valid")
        << int(StyleManager::Dark) << kValidLine
        << QStringList{"Developer ID Application: Holder (TEAM123)|Code Signing|||Keychain|Valid|#22c55e"}
        << QString();
    QTest::newRow("empty keychain") << int(StyleManager::Dark) << QByteArray() << QStringList() << QString();
}

void CertificatesPageTest::identityRows()
{
    QFETCH(int, theme);
    QFETCH(QByteArray, listing);
    QFETCH(QStringList, rows);
    QFETCH(QString, alert);

    StyleManager::apply(qApp, StyleManager::Theme(theme));
    Keychain keychain;
    keychain.setIdentities(listing);
    MainWindow window;
    // The keychain is read when the page is first shown.
    QCOMPARE(keychain.listings(), 0);
    showCertificatesPage(window);
    QTRY_COMPARE(keychain.listings(), 1);
    QTRY_VERIFY(listed(window));

    QTreeWidget* tree = identityTree(window);
    QVERIFY(tree);
    QVERIFY(filled(tree));
    QCOMPARE(tree->columnCount(), 6);
    QStringList headers;
    for (int column = 0; column < 6; ++column)
        headers << tree->headerItem()->text(column);
    QCOMPARE(headers, (QStringList{"Subject", "Type", "Days Left", "Expires", "Key Location", "Status"}));

    QStringList shown;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = tree->topLevelItem(i);
        QStringList cells;
        for (int column = 0; column < 6; ++column)
            cells << item->text(column);
        QCOMPARE(item->foreground(5).style(), Qt::SolidPattern);
        cells << item->foreground(5).color().name();
        QCOMPARE(item->childCount(), 0);
        shown << cells.join(QLatin1Char('|'));
    }
    QCOMPARE(shown, rows);

    QLabel* label = alertLabel(window);
    QVERIFY(label);
    QCOMPARE(label->isHidden(), alert.isEmpty());
    if (!alert.isEmpty()) {
        QCOMPARE(label->text(), alert);
        QCOMPARE(label->objectName(), QStringLiteral("criticalStatus"));
    }
}

void CertificatesPageTest::inspectDetails_data()
{
    QTest::addColumn<QString>("subjectSpec");
    QTest::addColumn<QDateTime>("notBefore");
    QTest::addColumn<QDateTime>("notAfter");
    QTest::addColumn<QString>("subjectShown");
    QTest::addColumn<QString>("status");

    const QDateTime longAgo(QDate(2020, 1, 5), QTime(8, 9, 10), Qt::UTC);
    const auto noon = [](int daysFromNow) {
        return QDateTime(QDate::currentDate().addDays(daysFromNow), QTime(12, 0, 0), Qt::UTC);
    };
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime second(now.date(), QTime(now.time().hour(), now.time().minute(), now.time().second()), Qt::UTC);
    QTest::newRow("code-signing certificate")
        << "/CN=Page Leaf/O=Ostrevan Test" << longAgo << noon(100) << "CN = Page Leaf, O = Ostrevan Test" << "Valid";
    QTest::newRow("expired certificate")
        << "/CN=Page Expired" << longAgo << noon(-30) << "CN = Page Expired" << "EXPIRED";
    QTest::newRow("expired an hour ago")
        << "/CN=Page Hour" << longAgo << second.addSecs(-3600) << "CN = Page Hour" << "EXPIRED";
    QTest::newRow("valid only from next month")
        << "/CN=Page Early" << second.addDays(30) << noon(400) << "CN = Page Early" << "Not yet valid";
    // Certificate text is anyone's to write: placeholders and markup in it
    // must come out as written.
    QTest::newRow("placeholders and markup in the subject")
        << "/CN=%1 <b>bold %2/O=%9 & co" << longAgo << noon(10) << "CN = \"%1 <b>bold %2\", O = %9 & co" << "Valid";
}

void CertificatesPageTest::inspectDetails()
{
    QFETCH(QString, subjectSpec);
    QFETCH(QDateTime, notBefore);
    QFETCH(QDateTime, notAfter);
    QFETCH(QString, subjectShown);
    QFETCH(QString, status);

    TestPki::Spec spec;
    spec.subject = subjectSpec;
    spec.extensions = QStringLiteral("basicConstraints = critical, CA:FALSE\n"
                                     "extendedKeyUsage = codeSigning, timeStamping\n");
    spec.notBefore = notBefore;
    spec.notAfter = notAfter;
    const TestPki::Issued cert =
        pki->issue(QStringLiteral("inspect-%1").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')),
                   spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));

    const QString expected =
        QStringLiteral("Subject:     ") + subjectShown +
        QStringLiteral("\nIssuer:      CN = Tessaril Test Intermediate CA, O = Ostrevan Test"
                       "\nNot Before:  ") + TestPki::printedTime(notBefore) +
        QStringLiteral("\nNot After:   ") + TestPki::printedTime(notAfter) +
        QStringLiteral("\nDays Left:   ")
        + QString::number(QDateTime::currentDateTime().daysTo(QDateTime(notAfter.date(), notAfter.time(), Qt::LocalTime))) +
        QStringLiteral("\nSerial:      ") + opensslValue(*pki, cert.certPath, {QStringLiteral("-serial")}) +
        QStringLiteral("\nFingerprint: ") +
        opensslValue(*pki, cert.certPath, {QStringLiteral("-fingerprint"), QStringLiteral("-sha256")}) +
        QStringLiteral("\nEKU:         Code Signing, Time Stamping"
                       "\nStatus:      ") + status;

    Keychain keychain;
    MainWindow window;
    window.page(MainWindow::CertificatesPage);
    ModalDriver driver;
    driver.chooseFile(cert.certPath);
    Qt::TextFormat shownFormat = Qt::AutoText;
    driver.enqueue([&shownFormat](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
            shownFormat = label->textFormat();
        box->button(QMessageBox::Ok)->click();
    });
    clickButton(&window, QStringLiteral("Inspect File..."));

    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, (QStringList{"Inspect Certificate", "Certificate Details"}));
    QCOMPARE(driver.texts.value(1), expected);
    QCOMPARE(shownFormat, Qt::PlainText);
    QCOMPARE(auditLines(window, QStringLiteral("Inspect Cert")),
             QStringList{QStringLiteral("OK   | Inspect Cert         | OpenSSL | ") + cert.certPath});
}

void CertificatesPageTest::inspectWithoutWorkingOpenssl_data()
{
    QTest::addColumn<bool>("hangs");   // else missing
    QTest::newRow("openssl hangs") << true;
    QTest::newRow("openssl missing") << false;
}

void CertificatesPageTest::inspectWithoutWorkingOpenssl()
{
    // The certificate is parsed by the program itself: no tool is run, and a
    // hung or missing openssl changes nothing.
    QFETCH(bool, hangs);
    const QString certPath = pki->leaf().certPath;
    Keychain keychain;
    MainWindow window;
    window.page(MainWindow::CertificatesPage);
    window.certificateToolTimeoutMs = 3000;
    FakeTools fakes(hangs);
    if (hangs) {
        fakes.install(QStringLiteral("openssl"));
        fakes.setSleep(QStringLiteral("openssl"), 600);
    }
    ModalDriver driver;
    driver.chooseFile(certPath);
    driver.pressButton(QMessageBox::Ok);
    clickButton(&window, QStringLiteral("Inspect File..."));

    QCOMPARE(driver.titles, (QStringList{"Inspect Certificate", "Certificate Details"}));
    QVERIFY2(driver.texts.value(1).startsWith(QStringLiteral("Subject:     CN = ")), qPrintable(driver.texts.value(1)));
    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 0);
    QCOMPARE(auditLines(window, QStringLiteral("Inspect Cert")),
             QStringList{QStringLiteral("OK   | Inspect Cert         | OpenSSL | ") + certPath});
}

void CertificatesPageTest::inspectFileWithoutCertificate()
{
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("notes.pem"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("subject=CN = forged\n-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    file.close();
    Keychain keychain;
    MainWindow window;
    window.page(MainWindow::CertificatesPage);
    ModalDriver driver;
    driver.chooseFile(path);
    driver.pressButton(QMessageBox::Ok);
    clickButton(&window, QStringLiteral("Inspect File..."));

    QCOMPARE(driver.titles, (QStringList{"Inspect Certificate", "Certificate Details"}));
    QCOMPARE(driver.texts.value(1), QStringLiteral("The certificate could not be read: the file holds no certificate."));
    QCOMPARE(auditLines(window, QStringLiteral("Inspect Cert")),
             QStringList{QStringLiteral("FAIL | Inspect Cert         | OpenSSL | ") + path});
}

void CertificatesPageTest::import_data()
{
    QTest::addColumn<bool>("choose");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("status");
    QTest::addColumn<int>("rowsAfter");

    // A successful import lists the keychain again; a failed one leaves the list as it was.
    QTest::newRow("imported") << true << 0 << "OK  " << 2;
    QTest::newRow("keychain tool fails") << true << 1 << "FAIL" << 1;
    QTest::newRow("dialog cancelled") << false << 0 << QString() << 1;
}

void CertificatesPageTest::import()
{
    QFETCH(bool, choose);
    QFETCH(int, exitCode);
    QFETCH(QString, status);
    QFETCH(int, rowsAfter);

    Keychain keychain;
    keychain.setIdentities(kValidLine);
    keychain.fakes.answer(QStringLiteral("security"),
                          exitCode ? QByteArray("security: SecKeychainItemImport: Unknown format in import.\n")
                                   : QByteArray("1 certificate imported.\n"),
                          exitCode);
    MainWindow window;
    showCertificatesPage(window);
    QTRY_COMPARE(identityTree(window)->topLevelItemCount(), 1);
    const int listingsBefore = keychain.listings();
    const int callsBefore = keychain.fakes.callCount(QStringLiteral("security"));
    keychain.setIdentities(kValidLine + kThirdLine);

    ModalDriver driver;
    if (choose)
        driver.chooseFile(pki->leaf().certPath);
    else
        driver.reject();
    clickButton(&window, QStringLiteral("Import Certificate"));

    QCOMPARE(driver.pending(), 0);
    QCOMPARE(driver.titles, QStringList{"Import Certificate"});
    QTRY_COMPARE(keychain.listings() - listingsBefore, exitCode == 0 && choose ? 1 : 0);
    QVERIFY(filled(identityTree(window)));
    QCOMPARE(identityTree(window)->topLevelItemCount(), rowsAfter);
    if (!choose) {
        QCOMPARE(keychain.fakes.callCount(QStringLiteral("security")), callsBefore);
        QVERIFY(auditLines(window, QStringLiteral("Import Cert")).isEmpty());
        return;
    }
    QCOMPARE(keychain.fakes.arguments(QStringLiteral("security"), callsBefore + 1),
             (QStringList{"import", pki->leaf().certPath}));
    QCOMPARE(keychain.listings() - listingsBefore, exitCode == 0 ? 1 : 0);
    QCOMPARE(auditLines(window, QStringLiteral("Import Cert")),
             QStringList{status + QStringLiteral(" | Import Cert          | Keychain | ") + pki->leaf().certPath});
}

void CertificatesPageTest::alertAfterImportIsRestyled()
{
    // A label already on screen keeps its old look when only its object name
    // changes; the alert has to pick up the critical style when it first shows.
    const QString oldSheet = qApp->styleSheet();
    qApp->setStyleSheet(QStringLiteral("QLabel#criticalStatus { color: #dc2626; }"));
    Keychain keychain;
    keychain.setIdentities(kValidLine);
    MainWindow window;
    window.findChild<QTabWidget*>()->setCurrentIndex(MainWindow::CertificatesPage);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(listed(window));
    QLabel* label = alertLabel(window);
    QVERIFY(!label->isVisible());

    keychain.setIdentities(kValidLine + kExpiredLine);
    ModalDriver driver;
    driver.chooseFile(pki->leaf().certPath);
    clickButton(&window, QStringLiteral("Import Certificate"));

    QTRY_VERIFY(label->isVisible());
    QCOMPARE(label->text(), QStringLiteral("ALERT: 1 certificate(s) have EXPIRED. Renew immediately."));
    QCOMPARE(label->palette().color(label->foregroundRole()), QColor(QStringLiteral("#dc2626")));
    qApp->setStyleSheet(oldSheet);
}

// The listing waits in the background: the window keeps answering, and the
// page tells the time-out under the tree.
void CertificatesPageTest::navigation()
{
    Keychain keychain;
    MainWindow window;
    auto* tabs = window.findChild<QTabWidget*>();

    QVERIFY(QMetaObject::invokeMethod(&window, "onManageCertificates"));
    QVERIFY(window.page(MainWindow::CertificatesPage));
    QCOMPARE(tabs->currentIndex(), int(MainWindow::CertificatesPage));

    clickButton(&window, QStringLiteral("Generate CSR"));
    QCOMPARE(tabs->currentIndex(), int(MainWindow::DeviceInspectorPage));
    QCOMPARE(window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text(),
             QStringLiteral("Select a PIV-capable key and open Device Details \u2192 PIV to generate a key and CSR"));
}

// The keychain is listed in the background: a keychain tool that hangs holds
// neither the window nor the page, and its time-out is told under the list.
void CertificatesPageTest::keychainThatHangsIsToldNotWaitedFor()
{
    Keychain keychain;
    keychain.fakes.setHook(QStringLiteral("security"), QStringLiteral("exec sleep 600"));
    // Not a first start: nothing but the listing runs once the window is up.
    QVERIFY(profileStored());
    MainWindow window;
    window.findChild<SigningManager*>()->setWaitMs(1500);
    showCertificatesPage(window);
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    Heartbeat heartbeat;
    QTreeWidget* tree = identityTree(window);
    auto* loading = tree->findChild<QLabel*>(QStringLiteral("pageFillLoading"));
    QTRY_VERIFY(loading->isVisible());
    QCOMPARE(loading->text(), QString::fromUtf8("Loading\u2026"));
    QVERIFY(filled(tree));
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    auto* status = window.findChild<QLabel*>(QStringLiteral("certStatus"));
    QVERIFY(status->isVisible());
    QCOMPARE(status->text(), QStringLiteral("Keychain certificates could not be listed: timed out after 1500 ms"));
    QCOMPARE(tree->topLevelItemCount(), 0);
}

OT_TEST_MAIN(CertificatesPageTest)
#include "tst_certificatespage.moc"
