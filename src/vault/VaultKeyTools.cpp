#include "vault/VaultKeyTools.h"

#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QFile>
#include <QTemporaryDir>

namespace VaultKeyTools {

namespace {

ToolRunner::Result run(const QString& tool, const QStringList& args, int finishMs,
                       const QByteArray& input = {}, int startMs = 3000)
{
    ToolRunner::Options options;
    options.standardInput = input;
    options.startTimeoutMs = startMs;
    options.finishTimeoutMs = finishMs;
    return ToolRunner::run(ToolRunner::findTool(tool), args, options);
}

} // namespace

QString randomHex()
{
    return run(QStringLiteral("openssl"), {QStringLiteral("rand"), QStringLiteral("-hex"), QStringLiteral("32")},
               5000)
        .stdOutText()
        .trimmed();
}

QString sha256Hex(const QByteArray& input)
{
    QString digest =
        run(QStringLiteral("openssl"), {QStringLiteral("dgst"), QStringLiteral("-sha256"), QStringLiteral("-hex")},
            5000, input)
            .stdOutText()
            .trimmed();
    // Reading standard input, openssl prints a label and a space first.
    const qsizetype space = digest.lastIndexOf(QLatin1Char(' '));
    return space < 0 ? digest : digest.mid(space + 1);
}

QString challengeResponse(const QString& challenge)
{
    return run(QStringLiteral("ykchalresp"), {QStringLiteral("-2"), QStringLiteral("-x"), challenge}, 30000)
        .stdOutText()
        .trimmed();
}

QString exportPivCertificate()
{
    return run(QStringLiteral("ykman"),
               {QStringLiteral("piv"), QStringLiteral("certificates"), QStringLiteral("export"),
                QStringLiteral("9a"), QStringLiteral("-")},
               10000)
        .stdOutText();
}

QByteArray wrapWithCertificate(const QString& certificatePem, const QString& key)
{
    if (certificatePem.isEmpty() || key.isEmpty())
        return {};
    // A folder of our own (0700): fixed names in the shared temporary folder
    // could be links planted by someone else.
    QTemporaryDir dir;
    if (!dir.isValid())
        return {};
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    const QString publicKeyPath = dir.filePath(QStringLiteral("pub.pem"));
    const QString wrappedPath = dir.filePath(QStringLiteral("wrapped.bin"));
    {
        QFile cert(certPath);
        if (!cert.open(QIODevice::WriteOnly) || cert.write(certificatePem.toUtf8()) < 0)
            return {};
    }
    run(QStringLiteral("openssl"),
        {QStringLiteral("x509"), QStringLiteral("-in"), certPath, QStringLiteral("-pubkey"), QStringLiteral("-noout"),
         QStringLiteral("-out"), publicKeyPath},
        5000);
    QByteArray input = key.toUtf8();
    const ToolRunner::Result wrap =
        run(QStringLiteral("openssl"),
            {QStringLiteral("pkeyutl"), QStringLiteral("-encrypt"), QStringLiteral("-pubin"), QStringLiteral("-inkey"),
             publicKeyPath, QStringLiteral("-out"), wrappedPath},
            10000, input);
    secureZero(input);
    // An elliptic-curve key cannot encrypt: openssl fails and leaves an
    // empty or no file.
    if (!wrap.succeeded())
        return {};
    QFile wrapped(wrappedPath);
    if (!wrapped.open(QIODevice::ReadOnly))
        return {};
    return wrapped.readAll();
}

} // namespace VaultKeyTools
