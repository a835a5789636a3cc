// Certificate parsing and chain building: a real chain made by openssl, the
// issuing certificate fetched over HTTP from a server on 127.0.0.1.
#include "signing/ChainBuilder.h"

#include "core/PrivateFiles.h"

#include "FakeTools.h"
#include "LoopbackHttpServer.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "TestPki.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <cerrno>
#include <cstring>

#include <time.h>

class ChainTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void aiaUrl_data();
    void aiaUrl();
    void fetchIntermediate_data();
    void fetchIntermediate();
    void fetchReportsAnUnwritableDestination();
    void buildChainWritesLeafNewlineIntermediate();
    void chainIsWrittenOnlyWhenItChains_data();
    void chainIsWrittenOnlyWhenItChains();
    void lineBreakInTheAddressStaysInItsLine();
    void failedBuildKeepsExistingChain_data();
    void failedBuildKeepsExistingChain();
    void verifyChainFollowsTrustStore_data();
    void verifyChainFollowsTrustStore();
    void parseLeaf();
    void parseNonCertificateGivesDefaultRecord();
    void expiry_data();
    void expiry();
    void validityIsDecidedOnTheInstant_data();
    void validityIsDecidedOnTheInstant();
    void loopbackServerRecordsAndAnswers();
    void extendedKeyUsageOnlyFromTheExtension_data();
    void extendedKeyUsageOnlyFromTheExtension();
    void commentPosingAsExtensionsIsNotRead();
    void chainFromABundleHoldsNoKey_data();
    void chainFromABundleHoldsNoKey();

private:
    LoopbackHttpServer server;
    std::unique_ptr<TestPki> pki;
    // A signer under the test intermediate whose Authority Information
    // Access names the server's copy of the intermediate.
    TestPki::Issued leaf;
    QByteArray intermediatePemBytes;
};

namespace {

struct LogLines {
    explicit LogLines(ChainBuilder& builder)
    {
        QObject::connect(&builder, &ChainBuilder::chainLog,
                         [this](const QString& line) { lines << line; });
    }
    QStringList lines;
};

// The signer's fixed fields.
const QString leafSerial = QStringLiteral("0A1B2C3D");
const QDateTime leafNotBefore(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC);
const QDateTime leafNotAfter(QDate(2048, 6, 15), QTime(12, 0), Qt::UTC);

} // namespace

void ChainTest::initTestCase()
{
    QVERIFY(server.listen());
    pki = std::make_unique<TestPki>();
    QVERIFY2(pki->isValid(), qPrintable(pki->errorString()));
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Leaf Signer/O=Acme, Inc.");
    spec.extensions = QStringLiteral("basicConstraints = critical, CA:FALSE\n"
                                     "keyUsage = critical, digitalSignature\n"
                                     "extendedKeyUsage = codeSigning, emailProtection\n"
                                     "authorityInfoAccess = caIssuers;URI:%1\n")
                          .arg(server.url(QStringLiteral("/intermediate.der")));
    spec.notBefore = leafNotBefore;
    spec.notAfter = leafNotAfter;
    spec.serial = leafSerial;
    leaf = pki->issue(QStringLiteral("signer"), spec, pki->intermediate());
    QVERIFY2(!leaf.isNull(), qPrintable(pki->errorString()));

    intermediatePemBytes = readFile(pki->intermediate().certPath);
    QVERIFY(intermediatePemBytes.startsWith("-----BEGIN CERTIFICATE-----"));
    const QString derPath = pki->path() + QStringLiteral("/intermediate.der");
    QVERIFY2(pki->toDer(pki->intermediate().certPath, derPath), qPrintable(pki->errorString()));
    const QByteArray der = readFile(derPath);
    QCOMPARE(der.at(0), char(0x30));

    server.route("GET", QStringLiteral("/intermediate.der"), 200, der,
                 {{"Content-Type", "application/pkix-cert"}});
    // Text ahead of the header is legal PEM; a converting implementation would drop it.
    server.route("GET", QStringLiteral("/intermediate.pem"), 200,
                 "Issuer: Test Intermediate\r\n" + intermediatePemBytes);
    server.route("GET", QStringLiteral("/error.html"), 200,
                 "<html><body>Internal error, try later</body></html>\n",
                 {{"Content-Type", "text/html"}});
    server.route("GET", QStringLiteral("/empty"), 200, {});
    // A private key served beside the certificate: only the certificate is kept.
    server.route("GET", QStringLiteral("/key-and-cert.pem"), 200,
                 readFile(leaf.keyPath) + "junk between\n" + intermediatePemBytes);
    // An error page that quotes a certificate header among its text.
    server.route("GET", QStringLiteral("/quoted.html"), 200,
                 "<html><pre>\n-----BEGIN CERTIFICATE-----\nnot base64 at all &amp; more\n"
                 "-----END CERTIFICATE-----\n</pre></html>\n");
    server.route("GET", QStringLiteral("/huge.pem"), 200,
                 intermediatePemBytes + QByteArray(1024 * 1024, '#'));
    server.route("GET", QStringLiteral("/zero.txt"), 200, "0 certificates matched\n");
    LoopbackHttpServer::Response stall;
    stall.body = der;
    stall.neverComplete = true;
    server.route("GET", QStringLiteral("/stall"), stall);
}

void ChainTest::aiaUrl_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("url");

    QTest::newRow("leaf with AIA") << leaf.certPath << server.url(QStringLiteral("/intermediate.der"));
    QTest::newRow("root without AIA") << pki->root().certPath << QString();
    QTest::newRow("missing file") << pki->path() + QStringLiteral("/absent.pem") << QString();
    // The first CA Issuers entry names no address; the search goes on to the URI.
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Mixed");
    spec.extensions = TestPki::codeSigningExtensions
        + QStringLiteral("authorityInfoAccess = caIssuers;email:ca@example.test, "
                         "OCSP;URI:http://127.0.0.1:9/ocsp, caIssuers;URI:http://127.0.0.1:9/ca.cer\n");
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued mixed = pki->issue(QStringLiteral("mixed-aia"), spec, pki->intermediate());
    QVERIFY2(!mixed.isNull(), qPrintable(pki->errorString()));
    QTest::newRow("address after a non-URI issuer") << mixed.certPath << QStringLiteral("http://127.0.0.1:9/ca.cer");

    // A subject that reads like the extension comes before the extensions;
    // only the real one counts.
    TestPki::Spec crafted;
    // Slashes inside a value are escaped in openssl's subject syntax.
    crafted.subject = QStringLiteral("/O=Extended Key Usage/CN=CA Issuers - URI:")
        + QStringLiteral("file://%1/k.pem").arg(pki->path()).replace(QLatin1Char('/'), QLatin1String("\\/"));
    crafted.extensions = TestPki::codeSigningExtensions
        + QStringLiteral("authorityInfoAccess = caIssuers;URI:%1\n").arg(server.url("/intermediate.der"));
    crafted.keyPath = leaf.keyPath;
    const TestPki::Issued craftedLeaf = pki->issue(QStringLiteral("crafted-subject"), crafted, pki->intermediate());
    QVERIFY2(!craftedLeaf.isNull(), qPrintable(pki->errorString()));
    QTest::newRow("subject imitating the extension") << craftedLeaf.certPath << server.url("/intermediate.der");
    TestPki::Spec subjectOnly = crafted;
    subjectOnly.extensions = TestPki::codeSigningExtensions;
    const TestPki::Issued noAia = pki->issue(QStringLiteral("crafted-no-aia"), subjectOnly, pki->intermediate());
    QVERIFY2(!noAia.isNull(), qPrintable(pki->errorString()));
    QTest::newRow("imitation without the extension") << noAia.certPath << QString();
}

void ChainTest::aiaUrl()
{
    QFETCH(QString, certificate);
    QFETCH(QString, url);
    ChainBuilder builder;
    LogLines log(builder);
    QCOMPARE(builder.extractAiaUrl(certificate), url);
    const QString expected = url.isEmpty()
        ? QStringLiteral("No AIA CA Issuers extension found in certificate.")
        : QStringLiteral("AIA CA Issuers URL: ") + url;
    QCOMPARE(log.lines, QStringList{expected});
}

void ChainTest::fetchIntermediate_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("stored");     // "converted", "verbatim" or "" for nothing
    QTest::addColumn<QString>("lastLine");   // the start of the last log line

    const QString failed = QStringLiteral("Download failed: ");
    const QString notCertificate = QStringLiteral("Download failed: not a certificate");
    QTest::newRow("DER converted") << server.url("/intermediate.der") << 30000 << "converted"
                                   << "Intermediate CA saved (DER→PEM): ";
    QTest::newRow("PEM reduced to its certificate") << server.url("/intermediate.pem") << 30000 << "converted"
                                                    << "Intermediate CA saved (PEM): ";
    QTest::newRow("key beside the certificate") << server.url("/key-and-cert.pem") << 30000 << "converted"
                                                << "Intermediate CA saved (PEM): ";
    QTest::newRow("certificate header among junk") << server.url("/quoted.html") << 30000 << "" << notCertificate;
    QTest::newRow("over 1 MiB") << server.url("/huge.pem") << 30000 << "" << failed + "too large";
    const QString keyFile = QUrl::fromLocalFile(leaf.keyPath).toString();
    QTest::newRow("file address") << keyFile << 30000 << "" << failed + "unsupported scheme file";
    QTest::newRow("data address") << QStringLiteral("data:text/plain;base64,")
                                         + QString::fromLatin1(intermediatePemBytes.toBase64())
                                  << 30000 << "" << failed + "unsupported scheme data";
    QTest::newRow("404") << server.url("/missing") << 30000 << "" << failed + "Error transferring";
    QTest::newRow("HTML page with 200") << server.url("/error.html") << 30000 << "" << notCertificate;
    QTest::newRow("empty body") << server.url("/empty") << 30000 << "" << notCertificate;
    QTest::newRow("text starting with 0") << server.url("/zero.txt") << 30000 << "" << notCertificate;
    QTest::newRow("never completes") << server.url("/stall") << 300 << ""
                                     << failed + "timed out after 300 ms";
    // A plain server behind an https address: fails, and warns about nothing.
    QString https = server.url("/intermediate.der");
    https.replace(QStringLiteral("http:"), QStringLiteral("https:"));
    QTest::newRow("https") << https << 30000 << "" << failed;
}

void ChainTest::fetchIntermediate()
{
    QFETCH(QString, url);
    QFETCH(int, timeoutMs);
    QFETCH(QString, stored);
    QFETCH(QString, lastLine);

    QTemporaryDir work;
    const QString savePath = work.filePath(QStringLiteral("leaf.pem.intermediate.pem"));
    ChainBuilder builder;
    builder.setTransferTimeoutMs(timeoutMs);
    LogLines log(builder);
    const int before = server.requestCount();

    const QString pem = builder.fetchIntermediate(url, savePath);

    // The unencrypted address is warned about first, and fetched all the same;
    // an address of any other kind is not fetched at all.
    const bool plain = url.startsWith(QLatin1String("http:"));
    QStringList opening;
    if (plain)
        opening << QStringLiteral("WARNING: Intermediate CA URL uses HTTP (not HTTPS). "
                                  "Verify downloaded certificate manually.");
    if (url.startsWith(QLatin1String("http")))
        opening << QStringLiteral("Downloading intermediate CA: ") + url;
    else
        QCOMPARE(server.requestCount(), before);
    QCOMPARE(log.lines.mid(0, opening.size()), opening);
    QCOMPARE(log.lines.size(), opening.size() + 1);
    QVERIFY2(log.lines.last().startsWith(lastLine), qPrintable(log.lines.last()));
    if (plain) {
        QCOMPARE(server.requestCount(), before + 1);
        QCOMPARE(server.requests().last().method, QByteArray("GET"));
        QCOMPARE(server.requests().last().path, QUrl(url).path());
    }
    QVERIFY(!QFile::exists(savePath + QStringLiteral(".der")));

    if (stored.isEmpty()) {
        QVERIFY(pem.isEmpty());
        QVERIFY(!QFile::exists(savePath));
        QCOMPARE(QDir(work.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
        return;
    }
    QCOMPARE(log.lines.last(), lastLine + savePath);
    const QByteArray file = readFile(savePath);
    QCOMPARE(pem.toUtf8(), file);
    QCOMPARE(file, intermediatePemBytes);
    QVERIFY(PrivateFiles::isOwnerOnly(savePath));
}

void ChainTest::fetchReportsAnUnwritableDestination()
{
    QTemporaryDir work;
    const QString savePath = work.filePath(QStringLiteral("no-such-folder/inter.pem"));
    ChainBuilder builder;
    LogLines log(builder);
    const QString line = QStringLiteral("Failed to write intermediate: ") + savePath + QStringLiteral(": ")
                         + QString::fromLocal8Bit(std::strerror(ENOENT));
    QVERIFY(builder.fetchIntermediate(server.url("/intermediate.pem"), savePath).isEmpty());
    QCOMPARE(log.lines.last(), line);
    QVERIFY(builder.fetchIntermediate(server.url("/intermediate.der"), savePath).isEmpty());
    QCOMPARE(log.lines.last(), line);
}

void ChainTest::buildChainWritesLeafNewlineIntermediate()
{
    QTemporaryDir work;
    const QString out = work.filePath(QStringLiteral("leaf-fullchain.pem"));
    QVERIFY(writeFile(out, "an older chain\n"));
    ChainBuilder builder;
    LogLines log(builder);
    QVERIFY(builder.buildChain(leaf.certPath, pki->intermediate().certPath, out));
    // The leaf already ends in a newline; one more is added regardless.
    QCOMPARE(readFile(out), readFile(leaf.certPath) + '\n' + intermediatePemBytes);
    QCOMPARE(log.lines, QStringList{QStringLiteral("Full chain written: ") + out});
}

void ChainTest::chainIsWrittenOnlyWhenItChains_data()
{
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("refusal");   // empty: the chain is written
    const QByteArray intermediate = readFile(pki->intermediate().certPath);
    const QByteArray root = readFile(pki->root().certPath);

    TestPki::Spec ca;
    ca.extensions = TestPki::intermediateExtensions;
    ca.subject = QStringLiteral("/CN=Unrelated CA/O=Elsewhere");
    const TestPki::Issued unrelated = pki->issue(QStringLiteral("unrelated-ca"), ca);
    QVERIFY2(!unrelated.isNull(), qPrintable(pki->errorString()));
    // The issuer's name on another key, without a key identifier that would
    // give it away: only the signature tells.
    ca.subject = QStringLiteral("/CN=Tessaril Test Intermediate CA/O=Ostrevan Test");
    ca.extensions = QStringLiteral("basicConstraints = critical, CA:TRUE, pathlen:0\n"
                                   "keyUsage = critical, keyCertSign, cRLSign\n"
                                   "subjectKeyIdentifier = none\n"
                                   "authorityKeyIdentifier = none\n");
    const TestPki::Issued impostor = pki->issue(QStringLiteral("impostor-ca"), ca);
    QVERIFY2(!impostor.isNull(), qPrintable(pki->errorString()));

    QTest::newRow("the real issuer") << intermediate << QString();
    QTest::newRow("the issuer and its root, in order") << intermediate + root << QString();
    QTest::newRow("the leaf itself") << readFile(leaf.certPath)
                                     << "the download is \"CN = Leaf Signer, O = \"Acme, Inc.\"\" itself, not its issuer";
    QTest::newRow("an unrelated CA") << readFile(unrelated.certPath)
                                     << "\"CN = Unrelated CA, O = Elsewhere\" did not issue \"CN = Leaf Signer";
    QTest::newRow("the issuer's name on another key")
        << readFile(impostor.certPath)
        << "the signature on \"CN = Leaf Signer, O = \"Acme, Inc.\"\" does not verify with the key of "
           "\"CN = Tessaril Test Intermediate CA, O = Ostrevan Test\"";
    QTest::newRow("the root, which issued the issuer only") << root << "\"CN = Tessaril Test Root CA";
    QTest::newRow("issuer and root the wrong way round") << root + intermediate << "\"CN = Tessaril Test Root CA";
}

void ChainTest::chainIsWrittenOnlyWhenItChains()
{
    QFETCH(QByteArray, served);
    QFETCH(QString, refusal);
    LoopbackHttpServer issuer;
    QVERIFY(issuer.listen());
    issuer.route("GET", QStringLiteral("/ca.pem"), 200, served);
    QTemporaryDir work;
    const QString downloaded = work.filePath(QStringLiteral("intermediate.pem"));
    const QString out = work.filePath(QStringLiteral("fullchain.pem"));
    ChainBuilder builder;
    LogLines log(builder);
    QVERIFY(!builder.fetchIntermediate(issuer.url(QStringLiteral("/ca.pem")), downloaded).isEmpty());

    const bool built = builder.buildChain(leaf.certPath, downloaded, out);
    if (!refusal.isEmpty()) {
        QVERIFY(!built);
        QVERIFY2(log.lines.last().startsWith(QStringLiteral("Chain refused: ") + refusal), qPrintable(log.lines.last()));
        QVERIFY2(log.lines.last().endsWith(QStringLiteral("; nothing written")), qPrintable(log.lines.last()));
        QVERIFY(!QFile::exists(out));
        return;
    }
    QVERIFY2(built, qPrintable(log.lines.join(QLatin1Char('\n'))));
    QCOMPARE(log.lines.last(), QStringLiteral("Full chain written: ") + out);
    // openssl accepts what the user will sign with.
    const ToolRunner::Result verified = pki->openssl(
        {QStringLiteral("verify"), QStringLiteral("-CAfile"), pki->root().certPath, QStringLiteral("-untrusted"), out, out});
    QVERIFY2(verified.succeeded(), verified.stdOut.constData());
    QCOMPARE(verified.stdOut.trimmed(), (out + QStringLiteral(": OK")).toUtf8());
}

void ChainTest::lineBreakInTheAddressStaysInItsLine()
{
    // A certificate's address is anyone's to write; DER lets it hold a line
    // break, which openssl's own syntax would not.
    const QByteArray url = server.url(QStringLiteral("/ca.crt")).toUtf8() + "\nChain verification: OK";
    const QByteArray method = QByteArray::fromHex("06082b06010505073002");
    const QByteArray location = "\x86" + QByteArray(1, char(url.size())) + url;
    const QByteArray description = "\x30" + QByteArray(1, char(method.size() + location.size())) + method + location;
    const QByteArray access = "\x30" + QByteArray(1, char(description.size())) + description;
    QVERIFY(access.size() < 128);
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Broken Address");
    spec.extensions = TestPki::codeSigningExtensions + QStringLiteral("authorityInfoAccess = DER:")
                      + QString::fromLatin1(access.toHex(':')) + QLatin1Char('\n');
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued cert = pki->issue(QStringLiteral("broken-address"), spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));

    QTemporaryDir work;
    ChainBuilder builder;
    LogLines log(builder);
    const QString address = builder.extractAiaUrl(cert.certPath);
    QCOMPARE(address, QString::fromUtf8(url));
    builder.fetchIntermediate(address, work.filePath(QStringLiteral("intermediate.pem")));
    QVERIFY(log.lines.size() >= 3);
    QCOMPARE(log.lines.first(), QStringLiteral("AIA CA Issuers URL: ") + server.url(QStringLiteral("/ca.crt"))
                                    + QStringLiteral("\\nChain verification: OK"));
    for (const QString& line : std::as_const(log.lines)) {
        QVERIFY2(!line.contains(QLatin1Char('\n')) && !line.contains(QLatin1Char('\r')), qPrintable(line));
        QVERIFY(!line.startsWith(QStringLiteral("Chain verification")));
    }
}

void ChainTest::failedBuildKeepsExistingChain_data()
{
    QTest::addColumn<bool>("leafExists");
    QTest::addColumn<bool>("intermediateExists");
    QTest::addColumn<bool>("outFolderExists");
    QTest::addColumn<QString>("line");

    QTest::newRow("leaf missing") << false << true << true << "Cannot read leaf cert: ";
    QTest::newRow("intermediate missing") << true << false << true << "Cannot read intermediate: ";
    QTest::newRow("output folder missing") << true << true << false << "Failed to write chain: ";
}

void ChainTest::failedBuildKeepsExistingChain()
{
    QFETCH(bool, leafExists);
    QFETCH(bool, intermediateExists);
    QFETCH(bool, outFolderExists);
    QFETCH(QString, line);

    QTemporaryDir work;
    const QString leafPath = leafExists ? leaf.certPath : work.filePath(QStringLiteral("absent-leaf.pem"));
    const QString intermediate = intermediateExists ? pki->intermediate().certPath
                                                    : work.filePath(QStringLiteral("absent-inter.pem"));
    const QString out = work.filePath(outFolderExists ? QStringLiteral("fullchain.pem")
                                                      : QStringLiteral("gone/fullchain.pem"));
    const QByteArray previous = "-----BEGIN CERTIFICATE-----\nprevious good chain\n";
    if (outFolderExists)
        QVERIFY(writeFile(out, previous));

    ChainBuilder builder;
    LogLines log(builder);
    QVERIFY(!builder.buildChain(leafPath, intermediate, out));
    const QString named = !leafExists ? leafPath : !intermediateExists ? intermediate : out;
    const QString reason = outFolderExists ? QString() : QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(ENOENT));
    QCOMPARE(log.lines, QStringList{line + named + reason});
    if (outFolderExists)
        QCOMPARE(readFile(out), previous);
    QCOMPARE(QDir(QFileInfo(out).path()).entryList(QDir::Files),
             outFolderExists ? QStringList{QStringLiteral("fullchain.pem")} : QStringList{});
}

void ChainTest::verifyChainFollowsTrustStore_data()
{
    QTest::addColumn<bool>("trustRoot");
    QTest::newRow("test root trusted") << true;
    QTest::newRow("nothing trusted") << false;
}

void ChainTest::verifyChainFollowsTrustStore()
{
    QFETCH(bool, trustRoot);
    QTemporaryDir work;
    const QString chain = work.filePath(QStringLiteral("fullchain.pem"));
    const QString noTrust = work.filePath(QStringLiteral("empty-store.pem"));
    QVERIFY(writeFile(noTrust, {}));
    ChainBuilder builder;
    QVERIFY(builder.buildChain(leaf.certPath, pki->intermediate().certPath, chain));

    ScopedEnv store("SSL_CERT_FILE", (trustRoot ? pki->root().certPath : noTrust).toLocal8Bit());
    ScopedEnv folder("SSL_CERT_DIR", work.path().toLocal8Bit());
    LogLines log(builder);
    QCOMPARE(builder.verifyChain(chain), trustRoot);
    QCOMPARE(log.lines, QStringList{trustRoot ? QStringLiteral("Chain verification: OK")
                                              : QStringLiteral("Chain verification: FAILED")});
}

void ChainTest::parseLeaf()
{
    ChainBuilder builder;
    LogLines log(builder);
    const ChainBuilder::CertInfo info = builder.parseCertificate(leaf.certPath);

    QCOMPARE(info.subject, QStringLiteral("CN = Leaf Signer, O = \"Acme, Inc.\""));
    QCOMPARE(info.issuer, QStringLiteral("CN = Tessaril Test Intermediate CA, O = Ostrevan Test"));
    QCOMPARE(info.notBefore, TestPki::printedTime(leafNotBefore));
    QCOMPARE(info.notAfter, QStringLiteral("Jun 15 12:00:00 2048 GMT"));
    QCOMPARE(info.daysLeft, int(QDate::currentDate().daysTo(QDate(2048, 6, 15))));
    QCOMPARE(info.serial, leafSerial);

    QByteArray der = QByteArray::fromBase64(readFile(leaf.certPath)
                                                .replace("-----BEGIN CERTIFICATE-----", "")
                                                .replace("-----END CERTIFICATE-----", ""));
    QCOMPARE(info.fingerprint,
             QString::fromLatin1(QCryptographicHash::hash(der, QCryptographicHash::Sha256)
                                     .toHex(':').toUpper()));
    QCOMPARE(info.extendedKeyUsage, (QStringList{"Code Signing", "E-mail Protection"}));
    QVERIFY(info.valid);
    QVERIFY(!info.expired);
    QVERIFY(log.lines.isEmpty());
}

void ChainTest::parseNonCertificateGivesDefaultRecord()
{
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("notes.pem"));
    QVERIFY(writeFile(path, "subject=CN = forged\nnotAfter=Jan  1 00:00:00 2099 GMT\n"));
    for (const QString& candidate : {path, work.filePath(QStringLiteral("absent.pem"))}) {
        const ChainBuilder::CertInfo info = ChainBuilder().parseCertificate(candidate);
        QVERIFY(info.subject.isEmpty() && info.issuer.isEmpty() && info.notBefore.isEmpty()
                && info.notAfter.isEmpty() && info.serial.isEmpty() && info.fingerprint.isEmpty());
        QVERIFY(info.extendedKeyUsage.isEmpty());
        QCOMPARE(info.daysLeft, -1);
        QVERIFY(!info.valid);
        QVERIFY(!info.expired);
    }
}

void ChainTest::expiry_data()
{
    QTest::addColumn<QDateTime>("notAfter");
    QTest::addColumn<bool>("expired");

    const QDate today = QDate::currentDate();
    QDate twoDigit = today.addMonths(2);
    twoDigit.setDate(twoDigit.year(), twoDigit.month(), 15);
    QDate oneDigit = today.addMonths(3);
    oneDigit.setDate(oneDigit.year(), oneDigit.month(), 5);
    // The printed UTC time is read as local time, so the printed date is the
    // one counted against today's local date.
    QTest::newRow("two-digit day") << QDateTime(twoDigit, QTime(8, 30), Qt::UTC) << false;
    QTest::newRow("space-padded day") << QDateTime(oneDigit, QTime(12, 0), Qt::UTC) << false;
    QTest::newRow("later today") << QDateTime(today, QTime(23, 59, 59), Qt::UTC) << false;
    QTest::newRow("yesterday") << QDateTime(today.addDays(-1), QTime(12, 0), Qt::UTC) << true;
    QTest::newRow("long ago, padded day") << QDateTime(QDate(2023, 3, 7), QTime(0, 0), Qt::UTC) << true;
}

void ChainTest::expiry()
{
    QFETCH(QDateTime, notAfter);
    QFETCH(bool, expired);

    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Dated");
    spec.extensions = TestPki::codeSigningExtensions;
    spec.notBefore = QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC);
    spec.notAfter = notAfter;
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued cert = pki->issue(
        QStringLiteral("expiry-%1").arg(QTest::currentDataTag()).replace(' ', '-'), spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));
    const ChainBuilder::CertInfo info = ChainBuilder().parseCertificate(cert.certPath);
    QCOMPARE(info.notAfter, TestPki::printedTime(notAfter));
    QCOMPARE(info.daysLeft, int(QDate::currentDate().daysTo(notAfter.date())));
    QCOMPARE(info.expired, expired);
    QCOMPARE(info.valid, !expired);
    QCOMPARE(info.subject, QStringLiteral("CN = Dated"));
}

void ChainTest::validityIsDecidedOnTheInstant_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<int>("startsInSeconds");   // notBefore, from now
    QTest::addColumn<int>("endsInSeconds");     // notAfter, from now
    QTest::addColumn<QString>("state");         // valid, expired, not yet valid
    const int day = 24 * 3600;
    // UTC, UTC+14 and UTC-8/-7: a reading of the UTC times as local time
    // shifts them by up to fourteen hours either way.
    for (const char* zone : {"UTC", "Pacific/Kiritimati", "America/Los_Angeles"}) {
        const QByteArray tz(zone);
        QTest::addRow("expired an hour ago, %s", zone) << tz << -30 * day << -3600 << "expired";
        QTest::addRow("expires in an hour, %s", zone) << tz << -30 * day << 3600 << "valid";
        QTest::addRow("valid from in thirty days, %s", zone) << tz << 30 * day << 365 * day << "not yet valid";
        QTest::addRow("valid from in an hour, %s", zone) << tz << 3600 << 365 * day << "not yet valid";
        QTest::addRow("valid since an hour, %s", zone) << tz << -3600 << 365 * day << "valid";
    }
}

void ChainTest::validityIsDecidedOnTheInstant()
{
    QFETCH(QByteArray, zone);
    QFETCH(int, startsInSeconds);
    QFETCH(int, endsInSeconds);
    QFETCH(QString, state);

    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime second(now.date(), QTime(now.time().hour(), now.time().minute(), now.time().second()), Qt::UTC);
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Instant");
    spec.extensions = TestPki::codeSigningExtensions;
    spec.notBefore = second.addSecs(startsInSeconds);
    spec.notAfter = second.addSecs(endsInSeconds);
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued cert = pki->issue(
        QStringLiteral("instant-%1").arg(QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("\\W"), "-")),
        spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));

    const QByteArray oldZone = qgetenv("TZ");
    qputenv("TZ", zone);
    tzset();
    const ChainBuilder::CertInfo info = ChainBuilder().parseCertificate(cert.certPath);
    const int daysLeft = int(QDateTime::currentDateTime().daysTo(
        QDateTime(spec.notAfter.date(), spec.notAfter.time(), Qt::LocalTime)));
    if (oldZone.isEmpty())
        qunsetenv("TZ");
    else
        qputenv("TZ", oldZone);
    tzset();

    QCOMPARE(info.expired, state == QLatin1String("expired"));
    QCOMPARE(info.notYetValid, state == QLatin1String("not yet valid"));
    QCOMPARE(info.valid, state == QLatin1String("valid"));
    // Days left are counted for display as before: the printed date against
    // today's local date.
    QCOMPARE(info.daysLeft, daysLeft);
}

void ChainTest::extendedKeyUsageOnlyFromTheExtension_data()
{
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("usage");   // the extension's value; empty: none
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("one purpose") << "/CN=One" << "codeSigning" << QStringList{"Code Signing"};
    QTest::newRow("two purposes") << "/CN=Two" << "codeSigning, timeStamping"
                                  << QStringList{"Code Signing", "Time Stamping"};
    QTest::newRow("none") << "/CN=None" << "" << QStringList();
    QTest::newRow("subject naming it, no extension")
        << "/O=Extended Key Usage/CN=Imitation" << "" << QStringList();
    QTest::newRow("subject naming it, with the extension")
        << "/O=Extended Key Usage/CN=Imitation" << "emailProtection" << QStringList{"E-mail Protection"};
}

void ChainTest::extendedKeyUsageOnlyFromTheExtension()
{
    QFETCH(QString, subject);
    QFETCH(QString, usage);
    QFETCH(QStringList, shown);
    TestPki::Spec spec;
    spec.subject = subject;
    spec.extensions = QStringLiteral("basicConstraints = critical, CA:FALSE\n");
    if (!usage.isEmpty())
        spec.extensions += QStringLiteral("extendedKeyUsage = ") + usage + QLatin1Char('\n');
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued cert = pki->issue(QStringLiteral("eku-%1").arg(QTest::currentDataTag())
                                                .replace(QLatin1Char(' '), QLatin1Char('-'))
                                                .remove(QLatin1Char(',')),
                                            spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));
    QCOMPARE(ChainBuilder().parseCertificate(cert.certPath).extendedKeyUsage, shown);
}

void ChainTest::commentPosingAsExtensionsIsNotRead()
{
    // openssl prints a Netscape Comment's line breaks as they are: in the
    // printed text, this one reads as an address and a purpose of its own.
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=Commented");
    spec.extensions = QStringLiteral(
        "basicConstraints = critical, CA:FALSE\n"
        "nsComment = note\\n\\n            Authority Information Access: \\n"
        "                CA Issuers - URI:http://127.0.0.1:9/injected.der\\n"
        "            X509v3 Extended Key Usage: \\n                Time Stamping\\n\n"
        "extendedKeyUsage = codeSigning\n"
        "authorityInfoAccess = caIssuers;URI:http://127.0.0.1:9/real.der\n");
    spec.keyPath = leaf.keyPath;
    const TestPki::Issued cert = pki->issue(QStringLiteral("commented"), spec, pki->intermediate());
    QVERIFY2(!cert.isNull(), qPrintable(pki->errorString()));
    // The real openssl shows the injected lines ahead of the real extensions.
    const QString text = ChainBuilder().runOpenssl({"x509", "-in", cert.certPath, "-noout", "-text"});
    QVERIFY2(text.indexOf("injected.der") >= 0 && text.indexOf("injected.der") < text.indexOf("real.der"),
             qPrintable(text));
    QVERIFY(text.indexOf("Time Stamping") < text.indexOf("Code Signing"));

    ChainBuilder builder;
    QCOMPARE(builder.extractAiaUrl(cert.certPath), QStringLiteral("http://127.0.0.1:9/real.der"));
    QCOMPARE(builder.parseCertificate(cert.certPath).extendedKeyUsage, QStringList{"Code Signing"});
}

void ChainTest::chainFromABundleHoldsNoKey_data()
{
    QTest::addColumn<bool>("keyFirst");
    QTest::newRow("certificate, then its key") << false;
    QTest::newRow("key, then its certificate") << true;
}

void ChainTest::chainFromABundleHoldsNoKey()
{
    QFETCH(bool, keyFirst);
    QTemporaryDir work;
    const QByteArray certificate = readFile(leaf.certPath);
    const QByteArray key = readFile(leaf.keyPath);
    QVERIFY(key.contains("PRIVATE KEY"));
    const QString bundle = work.filePath(QStringLiteral("leaf.pem"));
    QVERIFY(writeFile(bundle, keyFirst ? key + "comment line\n" + certificate : certificate + key));
    const QString intermediate = work.filePath(QStringLiteral("intermediate.pem"));
    QVERIFY(writeFile(intermediate, intermediatePemBytes + key));

    const QString out = work.filePath(QStringLiteral("leaf-fullchain.pem"));
    ChainBuilder builder;
    QVERIFY(builder.buildChain(bundle, intermediate, out));
    const QByteArray chain = readFile(out);
    QCOMPARE(chain, certificate + '\n' + intermediatePemBytes);
    QVERIFY(!chain.contains("PRIVATE"));
    // openssl takes it as the chain it is.
    ScopedEnv store("SSL_CERT_FILE", pki->root().certPath.toLocal8Bit());
    QVERIFY(builder.verifyChain(out));
}

void ChainTest::loopbackServerRecordsAndAnswers()
{
    LoopbackHttpServer api;
    QVERIFY(api.listen());
    api.route("POST", QStringLiteral("/repos/o/r/keys"), [](const LoopbackHttpServer::Request& request) {
        LoopbackHttpServer::Response response;
        response.status = 201;
        response.headers << LoopbackHttpServer::Header("Location", "/repos/o/r/keys/7");
        response.body = "{\"echo\":" + request.body + "}";
        return response;
    });
    api.route("GET", QStringLiteral("/items?page=2"), 200, "second page");
    api.route("GET", QStringLiteral("/items"), 200, "any page");

    QNetworkAccessManager manager;
    const auto finish = [](QNetworkReply* reply) {
        QSignalSpy finished(reply, &QNetworkReply::finished);
        // The checks that follow fail on a reply that did not finish in time.
        if (!reply->isFinished())
            finished.wait(60000);
        reply->deleteLater();
        return reply;
    };

    QNetworkRequest post(QUrl(api.url(QStringLiteral("/repos/o/r/keys"))));
    post.setRawHeader("Authorization", "Bearer not-a-real-token");
    post.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    QNetworkReply* created = finish(manager.post(post, "{\"title\":\"k\"}"));
    QCOMPARE(created->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 201);
    QCOMPARE(created->rawHeader("Location"), QByteArray("/repos/o/r/keys/7"));
    QCOMPARE(created->readAll(), QByteArray("{\"echo\":{\"title\":\"k\"}}"));

    QNetworkReply* second = finish(manager.get(QNetworkRequest(QUrl(api.url("/items?page=2")))));
    QCOMPARE(second->readAll(), QByteArray("second page"));
    QNetworkReply* other = finish(manager.get(QNetworkRequest(QUrl(api.url("/items?page=9")))));
    QCOMPARE(other->readAll(), QByteArray("any page"));
    QNetworkReply* missing = finish(manager.get(QNetworkRequest(QUrl(api.url("/nothing")))));
    QCOMPARE(missing->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);

    const QList<LoopbackHttpServer::Request> seen = api.requests();
    QCOMPARE(seen.size(), 4);
    QCOMPARE(seen.at(0).method, QByteArray("POST"));
    QCOMPARE(seen.at(0).path, QStringLiteral("/repos/o/r/keys"));
    QCOMPARE(seen.at(0).header("authorization"), QByteArray("Bearer not-a-real-token"));
    QCOMPARE(seen.at(0).header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(seen.at(0).body, QByteArray("{\"title\":\"k\"}"));
    QCOMPARE(seen.at(1).target, QByteArray("/items?page=2"));
    QCOMPARE(seen.at(1).path, QStringLiteral("/items"));
    QCOMPARE(seen.at(1).query, QStringLiteral("page=2"));
    QCOMPARE(seen.at(3).path, QStringLiteral("/nothing"));
}

OT_TEST_MAIN(ChainTest)
#include "tst_chain.moc"
