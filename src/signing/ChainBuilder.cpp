#include "signing/ChainBuilder.h"

#include "core/LogText.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <vector>

namespace {

// The PEM "CERTIFICATE" blocks of a body, markers included; whatever else it
// holds (a private key, an error page's text) is left out.
QList<QByteArray> pemCertificateBlocks(const QByteArray& data)
{
    static const QByteArray begin("-----BEGIN CERTIFICATE-----");
    static const QByteArray end("-----END CERTIFICATE-----");
    QList<QByteArray> blocks;
    qsizetype at = data.indexOf(begin);
    while (at >= 0) {
        const qsizetype stop = data.indexOf(end, at + begin.size());
        if (stop < 0)
            break;
        blocks << data.mid(at, stop + end.size() - at) + '\n';
        at = data.indexOf(begin, stop + end.size());
    }
    return blocks;
}

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Certificate = std::unique_ptr<X509, X509Free>;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Every certificate of a file's bytes, parsed: a DER certificate, or the
// CERTIFICATE blocks of PEM text in their order. Other blocks (a private
// key beside the certificate, a request) and text between them are passed
// over; a CERTIFICATE block that does not parse ends the reading.
std::vector<Certificate> certificatesIn(const QByteArray& data)
{
    std::vector<Certificate> certificates;
    if (data.isEmpty())
        return certificates;
    if (data.at(0) == 0x30) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
        X509* certificate = d2i_X509(nullptr, &bytes, long(data.size()));
        if (certificate)
            certificates.emplace_back(certificate);
        return certificates;
    }
    Bio bio(BIO_new_mem_buf(data.constData(), int(data.size())));
    if (!bio)
        return certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certificates.emplace_back(certificate);
    ERR_clear_error();
    return certificates;
}

// The certificates written anew as PEM, each block exactly as openssl
// writes one.
QByteArray pemOf(const std::vector<Certificate>& certificates)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio)
        return {};
    for (const Certificate& certificate : certificates) {
        if (PEM_write_bio_X509(bio.get(), certificate.get()) != 1)
            return {};
    }
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &bytes);
    return QByteArray(bytes, qsizetype(size));
}

template <typename Print>
QString printed(Print print)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !print(bio.get()))
        return {};
    char* bytes = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &bytes);
    return QString::fromUtf8(bytes, qsizetype(size));
}

// A name as "openssl x509 -subject" shows it: "CN = x, O = \"a, b\"".
QString nameText(const X509_NAME* name)
{
    return printed([name](BIO* bio) {
        return X509_NAME_print_ex(bio, name, 0, (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT)
               >= 0;
    });
}

QString timeText(const ASN1_TIME* time)
{
    return printed([time](BIO* bio) { return ASN1_TIME_print(bio, time) == 1; });
}

// The instant an ASN.1 time names (UTCTime and GeneralizedTime are both UTC);
// invalid when it cannot be read.
QDateTime utcInstant(const ASN1_TIME* time)
{
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return {};
    const QDate date(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
    const QTime clock(parts.tm_hour, parts.tm_min, parts.tm_sec);
    return date.isValid() && clock.isValid() ? QDateTime(date, clock, Qt::UTC) : QDateTime();
}

// The first CA Issuers address of the Authority Information Access
// extension that is a URI, or empty.
QString caIssuersUri(X509* certificate)
{
    auto* access = static_cast<AUTHORITY_INFO_ACCESS*>(
        X509_get_ext_d2i(certificate, NID_info_access, nullptr, nullptr));
    if (!access)
        return {};
    QString uri;
    for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access) && uri.isEmpty(); ++i) {
        const ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access, i);
        if (OBJ_obj2nid(description->method) != NID_ad_ca_issuers || description->location->type != GEN_URI)
            continue;
        const ASN1_IA5STRING* text = description->location->d.uniformResourceIdentifier;
        uri = QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                                  ASN1_STRING_length(text));
    }
    AUTHORITY_INFO_ACCESS_free(access);
    return uri;
}

// The purposes of the Extended Key Usage extension in the certificate's
// order, by openssl's long names ("Code Signing"), an unknown one as its
// dotted number.
QStringList extendedKeyUsageOf(X509* certificate)
{
    auto* usage = static_cast<EXTENDED_KEY_USAGE*>(
        X509_get_ext_d2i(certificate, NID_ext_key_usage, nullptr, nullptr));
    if (!usage)
        return {};
    QStringList purposes;
    for (int i = 0; i < sk_ASN1_OBJECT_num(usage); ++i) {
        char name[128];
        if (OBJ_obj2txt(name, sizeof name, sk_ASN1_OBJECT_value(usage, i), 0) > 0)
            purposes << QString::fromUtf8(name);
    }
    EXTENDED_KEY_USAGE_free(usage);
    return purposes;
}

// Why issuer did not issue subject, or empty when it did: the names and key
// identifiers match and issuer's key may sign certificates
// (X509_check_issued), and subject's signature verifies with issuer's key.
QString issuingFault(X509* issuer, X509* subject)
{
    if (X509_cmp(issuer, subject) == 0)
        return QStringLiteral("the download is \"%1\" itself, not its issuer")
            .arg(nameText(X509_get_subject_name(subject)));
    const int checked = X509_check_issued(issuer, subject);
    if (checked != X509_V_OK) {
        return QStringLiteral("\"%1\" did not issue \"%2\" (%3)")
            .arg(nameText(X509_get_subject_name(issuer)), nameText(X509_get_subject_name(subject)),
                 QString::fromUtf8(X509_verify_cert_error_string(checked)));
    }
    EVP_PKEY* key = X509_get0_pubkey(issuer);
    const bool signedByIssuer = key && X509_verify(subject, key) == 1;
    ERR_clear_error();
    if (!signedByIssuer) {
        return QStringLiteral("the signature on \"%1\" does not verify with the key of \"%2\"")
            .arg(nameText(X509_get_subject_name(subject)), nameText(X509_get_subject_name(issuer)));
    }
    return {};
}

// Why the downloaded certificates do not chain up from leaf, each one the
// issuer of the one before it, or empty when they do.
QString chainFault(X509* leaf, const std::vector<Certificate>& downloaded)
{
    X509* below = leaf;
    for (const Certificate& certificate : downloaded) {
        const QString fault = issuingFault(certificate.get(), below);
        if (!fault.isEmpty())
            return fault;
        below = certificate.get();
    }
    return {};
}

// Written files are owner-only and replace an older one whole or not at all.
bool writeWhole(const QString& path, const QByteArray& data, QString* error)
{
    return PrivateFiles::writeOwnerOnly(path, data, error);
}

bool readWhole(const QString& path, QByteArray* data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *data = file.readAll();
    return file.error() == QFileDevice::NoError;
}

} // namespace

ChainBuilder::ChainBuilder(QObject* parent)
    : QObject(parent)
{
}

void ChainBuilder::tell(const QString& line)
{
    // Addresses, server answers, names and file names come from outside: a
    // line break in one must not start a log line of its own.
    emit chainLog(LogText::escaped(line));
}

QString ChainBuilder::runOpenssl(const QStringList& args, const QByteArray& input)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = opensslTimeoutMs;
    options.standardInput = input;
    const ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("openssl")), args, options);
    if (!result.finished()) {
        lastRunFailure = QStringLiteral("openssl ") + result.failure;
        const QString detail = result.started ? QString() : result.stdErrText().trimmed();
        if (!detail.isEmpty())
            lastRunFailure += QStringLiteral(": ") + detail;
        return {};
    }
    lastRunFailure.clear();
    return result.stdOutText();
}

QString ChainBuilder::extractAiaUrl(const QString& certPath)
{
    // Read from the parsed extension: the text openssl prints for a
    // certificate lets an earlier extension's value (a comment with line
    // breaks) pose as this one.
    QByteArray data;
    const std::vector<Certificate> certificates = readWhole(certPath, &data) ? certificatesIn(data)
                                                                             : std::vector<Certificate>();
    secureZero(data);   // a leaf kept with its private key
    const QString url = certificates.empty() ? QString() : caIssuersUri(certificates.front().get());
    if (!url.isEmpty()) {
        tell(QStringLiteral("AIA CA Issuers URL: ") + url);
        return url;
    }
    tell(QStringLiteral("No AIA CA Issuers extension found in certificate."));
    return {};
}

QString ChainBuilder::fetchIntermediate(const QString& url, const QString& savePath)
{
    const QUrl address(url, QUrl::TolerantMode);
    // The address comes from the certificate, which anyone can write: a
    // file: or data: address would have us copy a local file (a key, say)
    // into the chain.
    const QString scheme = address.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        tell(QStringLiteral("Download failed: unsupported scheme ") + address.scheme());
        return {};
    }
    if (scheme == QLatin1String("http"))
        tell(QStringLiteral("WARNING: Intermediate CA URL uses HTTP (not HTTPS). "
                                     "Verify downloaded certificate manually."));
    tell(QStringLiteral("Downloading intermediate CA: ") + url);

    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(address));

    // The wait runs the window's events; a server that never finishes its
    // answer, or sends without end, must not keep the caller in here.
    bool timedOut = false;
    bool tooLarge = false;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
        if (received > maxDownloadBytes || total > maxDownloadBytes) {
            tooLarge = true;
            reply->abort();
        }
    });
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
        loop.quit();
    });
    deadline.start(transferTimeout);
    if (!reply->isFinished())
        loop.exec();
    deadline.stop();

    const QByteArray data = reply->readAll();
    if (tooLarge || data.size() > maxDownloadBytes) {
        tell(QStringLiteral("Download failed: too large"));
        return {};
    }
    if (timedOut || reply->error() != QNetworkReply::NoError) {
        const QString reason = timedOut
            ? QStringLiteral("timed out after %1 ms").arg(transferTimeout)
            : reply->errorString();
        tell(QStringLiteral("Download failed: ") + reason);
        return {};
    }
    // The reply belongs to the manager, which goes when this returns.

    // Only certificates are kept, re-emitted by openssl: DER is read as one
    // certificate, PEM reduced to its CERTIFICATE blocks.
    const bool der = !data.isEmpty() && data.at(0) == 0x30;
    QString pem;
    if (der) {
        pem = runOpenssl({QStringLiteral("x509"), QStringLiteral("-inform"), QStringLiteral("DER"),
                          QStringLiteral("-outform"), QStringLiteral("PEM")},
                         data);
    } else {
        for (const QByteArray& block : pemCertificateBlocks(data)) {
            const QString one = runOpenssl({QStringLiteral("x509"), QStringLiteral("-outform"), QStringLiteral("PEM")},
                                           block);
            if (one.isEmpty()) {
                pem.clear();
                break;
            }
            pem += one;
        }
    }
    if (!pem.startsWith(QLatin1String("-----BEGIN CERTIFICATE-----"))) {
        tell(QStringLiteral("Download failed: not a certificate"));
        return {};
    }
    QString error;
    if (!writeWhole(savePath, pem.toUtf8(), &error)) {
        tell(QStringLiteral("Failed to write intermediate: ") + savePath + QStringLiteral(": ") + error);
        return {};
    }
    tell(der ? QStringLiteral("Intermediate CA saved (DER→PEM): ") + savePath
                      : QStringLiteral("Intermediate CA saved (PEM): ") + savePath);
    return pem;
}

bool ChainBuilder::buildChain(const QString& leafPath, const QString& intermediatePath,
                              const QString& outPath)
{
    // Both inputs are read before the output is touched: a missing input must
    // not cost the user a chain file that was good. Only their certificates
    // go into the chain, written anew: a leaf kept in one file with its
    // private key must not hand the key on with the chain.
    QByteArray leaf;
    if (!readWhole(leafPath, &leaf)) {
        tell(QStringLiteral("Cannot read leaf cert: ") + leafPath);
        return false;
    }
    const std::vector<Certificate> leafCertificates = certificatesIn(leaf);
    const QByteArray leafPem = pemOf(leafCertificates);
    secureZero(leaf);
    if (leafPem.isEmpty()) {
        tell(QStringLiteral("No certificate in leaf file: ") + leafPath);
        return false;
    }
    QByteArray intermediate;
    if (!readWhole(intermediatePath, &intermediate)) {
        tell(QStringLiteral("Cannot read intermediate: ") + intermediatePath);
        return false;
    }
    const std::vector<Certificate> intermediates = certificatesIn(intermediate);
    const QByteArray intermediatePem = pemOf(intermediates);
    if (intermediatePem.isEmpty()) {
        tell(QStringLiteral("No certificate in intermediate file: ") + intermediatePath);
        return false;
    }
    // The intermediate comes from an address anyone who wrote the leaf
    // chose: a chain is written only when each of its certificates issued
    // the one before it, so the user never signs with a chain that verifies
    // nowhere.
    const QString refusal = chainFault(leafCertificates.front().get(), intermediates);
    if (!refusal.isEmpty()) {
        tell(QStringLiteral("Chain refused: ") + refusal + QStringLiteral("; nothing written"));
        return false;
    }
    QString error;
    if (!writeWhole(outPath, leafPem + '\n' + intermediatePem, &error)) {
        tell(QStringLiteral("Failed to write chain: ") + outPath + QStringLiteral(": ") + error);
        return false;
    }
    tell(QStringLiteral("Full chain written: ") + outPath);
    return true;
}

bool ChainBuilder::verifyChain(const QString& chainPath)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = verifyTimeoutMs;
    const ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("openssl")),
                        {QStringLiteral("verify"), QStringLiteral("-untrusted"), chainPath, chainPath},
                        options);
    // The output echoes the file name, which may itself hold ": OK"; only a
    // clean exit backs the verdict.
    const bool ok = result.succeeded() && result.stdOutText().contains(QLatin1String(": OK"));
    tell(ok ? QStringLiteral("Chain verification: OK")
                     : QStringLiteral("Chain verification: FAILED"));
    return ok;
}

ChainBuilder::CertInfo ChainBuilder::parseCertificate(const QString& path)
{
    CertInfo info;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        info.failure = file.errorString();
        tell(QStringLiteral("Cannot read certificate: ") + info.failure);
        return info;
    }
    QByteArray data = file.readAll();
    const std::vector<Certificate> certificates = certificatesIn(data);
    secureZero(data);
    if (certificates.empty()) {
        info.failure = QStringLiteral("the file holds no certificate");
        tell(QStringLiteral("Cannot read certificate: ") + info.failure);
        return info;
    }
    // Every field from the parsed certificate: the text openssl prints for
    // it lets one extension's value (a comment with line breaks) pose as
    // another extension.
    X509* certificate = certificates.front().get();
    info.subject = nameText(X509_get_subject_name(certificate));
    info.issuer = nameText(X509_get_issuer_name(certificate));
    info.notBefore = timeText(X509_get0_notBefore(certificate));
    info.notAfter = timeText(X509_get0_notAfter(certificate));

    // Valid or not is a question of this instant against the two instants
    // the certificate names, both in UTC: a certificate that ran out an hour
    // ago is expired in every time zone, and one whose validity starts next
    // month is not valid yet.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime notBefore = utcInstant(X509_get0_notBefore(certificate));
    const QDateTime notAfter = utcInstant(X509_get0_notAfter(certificate));
    if (notAfter.isValid()) {
        info.expired = now > notAfter;
        // Days left stay a count of calendar days for display: the printed
        // date against today's date.
        info.daysLeft = int(QDateTime::currentDateTime().daysTo(
            QDateTime(notAfter.date(), notAfter.time(), Qt::LocalTime)));
    }
    if (notBefore.isValid())
        info.notYetValid = now < notBefore;

    info.serial = printed([certificate](BIO* bio) {
        return i2a_ASN1_INTEGER(bio, X509_get0_serialNumber(certificate)) > 0;
    });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &digestSize) == 1)
        info.fingerprint = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(digest), int(digestSize)).toHex(':').toUpper());
    info.extendedKeyUsage = extendedKeyUsageOf(certificate);

    info.valid = !info.subject.isEmpty() && !info.expired && !info.notYetValid && notAfter.isValid()
                 && notBefore.isValid();
    return info;
}
