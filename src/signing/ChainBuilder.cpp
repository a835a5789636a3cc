#include "signing/ChainBuilder.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

// openssl prints "name=value"; the value may itself hold '=' (a subject's
// "CN = x"), so everything after the first one counts.
QString valueAfterEquals(const QString& text)
{
    return text.section(QLatin1Char('='), 1).trimmed();
}

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

// The lines of `openssl x509 -text` that belong to one extension: those after
// its heading, up to the next line indented no deeper than the heading (the
// next extension, or the signature after the last one). Text before the
// extensions (the subject, the issuer) can hold the same words, so only
// headings after "X509v3 extensions:" count.
QStringList extensionBlock(const QString& text, const QString& heading)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    const auto indentOf = [](const QString& line) {
        qsizetype n = 0;
        while (n < line.size() && line.at(n).isSpace())
            ++n;
        return n;
    };
    bool inExtensions = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString trimmed = lines.at(i).trimmed();
        if (!inExtensions) {
            inExtensions = trimmed == QLatin1String("X509v3 extensions:");
            continue;
        }
        if (!trimmed.startsWith(heading + QLatin1Char(':')))
            continue;
        const qsizetype headingIndent = indentOf(lines.at(i));
        QStringList block;
        for (qsizetype j = i + 1; j < lines.size(); ++j) {
            if (lines.at(j).trimmed().isEmpty() || indentOf(lines.at(j)) <= headingIndent)
                break;
            block << lines.at(j).trimmed();
        }
        return block;
    }
    return {};
}

// Written files are owner-only and replace an older one whole or not at all.
bool writeWhole(const QString& path, const QByteArray& data)
{
    return PrivateFiles::writeOwnerOnly(path, data);
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
    const QString text = runOpenssl({QStringLiteral("x509"), QStringLiteral("-in"), certPath,
                                     QStringLiteral("-noout"), QStringLiteral("-text")});
    const QStringList block = extensionBlock(text, QStringLiteral("Authority Information Access"));
    for (const QString& line : block) {
        // The extension may also name an issuer by something other than an
        // address ("CA Issuers - email:..."); only a URI can be fetched.
        if (!line.startsWith(QLatin1String("CA Issuers")) || !line.contains(QLatin1String("URI:")))
            continue;
        const QString url = line.mid(line.indexOf(QLatin1String("URI:")) + 4).trimmed();
        emit chainLog(QStringLiteral("AIA CA Issuers URL: ") + url);
        return url;
    }
    emit chainLog(QStringLiteral("No AIA CA Issuers extension found in certificate."));
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
        emit chainLog(QStringLiteral("Download failed: unsupported scheme ") + address.scheme());
        return {};
    }
    if (scheme == QLatin1String("http"))
        emit chainLog(QStringLiteral("WARNING: Intermediate CA URL uses HTTP (not HTTPS). "
                                     "Verify downloaded certificate manually."));
    emit chainLog(QStringLiteral("Downloading intermediate CA: ") + url);

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
        emit chainLog(QStringLiteral("Download failed: too large"));
        return {};
    }
    if (timedOut || reply->error() != QNetworkReply::NoError) {
        const QString reason = timedOut
            ? QStringLiteral("timed out after %1 ms").arg(transferTimeout)
            : reply->errorString();
        emit chainLog(QStringLiteral("Download failed: ") + reason);
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
        emit chainLog(QStringLiteral("Download failed: not a certificate"));
        return {};
    }
    if (!writeWhole(savePath, pem.toUtf8())) {
        emit chainLog(QStringLiteral("Failed to write intermediate: ") + savePath);
        return {};
    }
    emit chainLog(der ? QStringLiteral("Intermediate CA saved (DER→PEM): ") + savePath
                      : QStringLiteral("Intermediate CA saved (PEM): ") + savePath);
    return pem;
}

bool ChainBuilder::buildChain(const QString& leafPath, const QString& intermediatePath,
                              const QString& outPath)
{
    // Both inputs are read before the output is touched: a missing input must
    // not cost the user a chain file that was good.
    QByteArray leaf;
    if (!readWhole(leafPath, &leaf)) {
        emit chainLog(QStringLiteral("Cannot read leaf cert: ") + leafPath);
        return false;
    }
    QByteArray intermediate;
    if (!readWhole(intermediatePath, &intermediate)) {
        emit chainLog(QStringLiteral("Cannot read intermediate: ") + intermediatePath);
        return false;
    }
    if (!writeWhole(outPath, leaf + '\n' + intermediate)) {
        emit chainLog(QStringLiteral("Failed to write chain: ") + outPath);
        return false;
    }
    emit chainLog(QStringLiteral("Full chain written: ") + outPath);
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
    emit chainLog(ok ? QStringLiteral("Chain verification: OK")
                     : QStringLiteral("Chain verification: FAILED"));
    return ok;
}

ChainBuilder::CertInfo ChainBuilder::parseCertificate(const QString& path)
{
    CertInfo info;
    // Six runs in a row: when openssl cannot start or hangs, the first says
    // so and the others would only wait as long again.
    bool stopped = false;
    const auto query = [&](const QStringList& options) {
        if (stopped)
            return QString();
        QStringList args{QStringLiteral("x509"), QStringLiteral("-in"), path, QStringLiteral("-noout")};
        args << options;
        const QString output = runOpenssl(args);
        if (!lastRunFailure.isEmpty()) {
            stopped = true;
            info.failure = lastRunFailure;
            emit chainLog(QStringLiteral("Cannot read certificate: ") + lastRunFailure);
        }
        return output;
    };

    info.subject = valueAfterEquals(query({QStringLiteral("-subject")}).trimmed());
    info.issuer = valueAfterEquals(query({QStringLiteral("-issuer")}).trimmed());

    const QStringList dateLines = query({QStringLiteral("-dates")}).split(QLatin1Char('\n'));
    for (const QString& line : dateLines) {
        if (line.startsWith(QLatin1String("notBefore")))
            info.notBefore = valueAfterEquals(line);
        if (line.startsWith(QLatin1String("notAfter")))
            info.notAfter = valueAfterEquals(line);
    }

    // openssl ends the date with a space and a three-letter zone; a value too
    // short to hold that suffix is no date at all.
    if (info.notAfter.size() > 4) {
        const QString stamp = info.notAfter.chopped(4);
        QDateTime when = QDateTime::fromString(stamp, QStringLiteral("MMM dd HH:mm:ss yyyy"));
        if (!when.isValid())  // a one-digit day is padded with a space
            when = QDateTime::fromString(stamp, QStringLiteral("MMM  d HH:mm:ss yyyy"));
        if (when.isValid()) {
            info.daysLeft = int(QDateTime::currentDateTime().daysTo(when));
            info.expired = info.daysLeft < 0;
        }
    }

    info.serial = valueAfterEquals(query({QStringLiteral("-serial")}).trimmed());
    info.fingerprint =
        valueAfterEquals(query({QStringLiteral("-fingerprint"), QStringLiteral("-sha256")}).trimmed());

    // Only the extension's own line: a subject may hold the same words.
    const QStringList usage =
        extensionBlock(query({QStringLiteral("-text")}), QStringLiteral("X509v3 Extended Key Usage"));
    if (!usage.isEmpty()) {
        for (const QString& purpose : usage.first().split(QLatin1Char(',')))
            info.extendedKeyUsage << purpose.trimmed();
    }

    info.valid = !info.subject.isEmpty() && !info.expired;
    return info;
}
