#include "signing/ChainBuilder.h"

#include "core/ToolRunner.h"

#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace {

constexpr int opensslTimeoutMs = 15000;
constexpr int verifyTimeoutMs = 10000;

// openssl prints "name=value"; the value may itself hold '=' (a subject's
// "CN = x"), so everything after the first one counts.
QString valueAfterEquals(const QString& text)
{
    return text.section(QLatin1Char('='), 1).trimmed();
}

// A body that is not DER must at least carry a PEM certificate at the start of
// one of its lines; otherwise a server's error page, sent with status 200,
// would be stored as the issuing certificate.
bool hasPemCertificate(const QByteArray& data)
{
    static const QByteArray header("-----BEGIN CERTIFICATE-----");
    qsizetype at = data.indexOf(header);
    while (at >= 0) {
        if (at == 0 || data.at(at - 1) == '\n')
            return true;
        at = data.indexOf(header, at + 1);
    }
    return false;
}

// Replaces path whole or not at all, so a failure never leaves half a file
// where a good one was.
bool writeWhole(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
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

QString ChainBuilder::runOpenssl(const QStringList& args)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = opensslTimeoutMs;
    const ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("openssl")), args, options);
    return result.stdOutText();
}

QString ChainBuilder::extractAiaUrl(const QString& certPath)
{
    const QString text = runOpenssl({QStringLiteral("x509"), QStringLiteral("-in"), certPath,
                                     QStringLiteral("-noout"), QStringLiteral("-text")});
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString& rawLine : lines) {
        const QString line = rawLine.trimmed();
        // The extension may also name an issuer by something other than an
        // address ("CA Issuers - email:..."); only a URI can be fetched.
        if (!line.contains(QLatin1String("CA Issuers")) || !line.contains(QLatin1String("URI:")))
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
    if (address.scheme() == QLatin1String("http"))
        emit chainLog(QStringLiteral("WARNING: Intermediate CA URL uses HTTP (not HTTPS). "
                                     "Verify downloaded certificate manually."));
    emit chainLog(QStringLiteral("Downloading intermediate CA: ") + url);

    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(address));

    // The wait runs the window's events; a server that never finishes its
    // answer must not keep the caller in here for good.
    bool timedOut = false;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        reply->abort();
        loop.quit();
    });
    deadline.start(transferTimeout);
    if (!reply->isFinished())
        loop.exec();
    deadline.stop();

    if (timedOut || reply->error() != QNetworkReply::NoError) {
        const QString reason = timedOut
            ? QStringLiteral("timed out after %1 ms").arg(transferTimeout)
            : reply->errorString();
        emit chainLog(QStringLiteral("Download failed: ") + reason);
        return {};
    }
    const QByteArray data = reply->readAll();
    // The reply belongs to the manager, which goes when this returns.

    if (!data.isEmpty() && data.at(0) == 0x30) {
        // An ASN.1 SEQUENCE: DER, which openssl turns into PEM through a
        // scratch file beside the destination.
        const QString der = savePath + QStringLiteral(".der");
        QFile scratch(der);
        if (!scratch.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || scratch.write(data) != data.size()) {
            scratch.close();
            QFile::remove(der);
            emit chainLog(QStringLiteral("Failed to write intermediate: ") + der);
            return {};
        }
        scratch.close();
        const QString pem = runOpenssl({QStringLiteral("x509"), QStringLiteral("-inform"),
                                        QStringLiteral("DER"), QStringLiteral("-in"), der,
                                        QStringLiteral("-outform"), QStringLiteral("PEM")});
        QFile::remove(der);
        if (pem.isEmpty()) {
            // A body that merely starts with an ASCII '0' lands here too.
            emit chainLog(QStringLiteral("Download failed: not a certificate"));
            return {};
        }
        if (!writeWhole(savePath, pem.toUtf8())) {
            emit chainLog(QStringLiteral("Failed to write intermediate: ") + savePath);
            return {};
        }
        emit chainLog(QStringLiteral("Intermediate CA saved (DER→PEM): ") + savePath);
        return pem;
    }

    if (!hasPemCertificate(data)) {
        emit chainLog(QStringLiteral("Download failed: not a certificate"));
        return {};
    }
    if (!writeWhole(savePath, data)) {
        emit chainLog(QStringLiteral("Failed to write intermediate: ") + savePath);
        return {};
    }
    emit chainLog(QStringLiteral("Intermediate CA saved (PEM): ") + savePath);
    return QString::fromUtf8(data);
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
    const auto query = [&](const QStringList& options) {
        QStringList args{QStringLiteral("x509"), QStringLiteral("-in"), path, QStringLiteral("-noout")};
        args << options;
        return runOpenssl(args);
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

    const QStringList textLines = query({QStringLiteral("-text")}).split(QLatin1Char('\n'));
    static const QLatin1String marker("Extended Key Usage");
    for (qsizetype i = 1; i < textLines.size(); ++i) {
        const QString line = textLines.at(i).trimmed();
        if (!textLines.at(i - 1).contains(marker) || line.contains(marker))
            continue;
        for (const QString& purpose : line.split(QLatin1Char(',')))
            info.extendedKeyUsage << purpose.trimmed();
        break;
    }

    info.valid = !info.subject.isEmpty() && !info.expired;
    return info;
}
