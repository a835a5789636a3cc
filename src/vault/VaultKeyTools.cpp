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

// The tool's account of a run that gave nothing usable: its standard error,
// else why it did not finish, else its exit code. Long enough to carry the
// tool's sentence, short enough for a message box.
QString reasonOf(const QString& tool, const ToolRunner::Result& result)
{
    QString reason = result.stdErrText().trimmed();
    if (reason.isEmpty())
        reason = result.failure;
    if (reason.isEmpty() && result.exitCode != 0)
        reason = QStringLiteral("exit code %1").arg(result.exitCode);
    if (reason.isEmpty())
        reason = QStringLiteral("no output");
    return tool + QStringLiteral(": ") + reason.left(400);
}

void setReason(QString* why, const QString& reason)
{
    if (why)
        *why = reason;
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

QString challengeResponse(const QString& challenge, QString* why)
{
    const QString tool = QStringLiteral("ykchalresp");
    const ToolRunner::Result result = run(tool, {QStringLiteral("-2"), QStringLiteral("-x"), challenge}, 30000);
    const QString response = result.stdOutText().trimmed();
    if (response.isEmpty())
        setReason(why, reasonOf(tool, result));
    return response;
}

QString exportPivCertificate(QString* why)
{
    const QString tool = QStringLiteral("ykman");
    const ToolRunner::Result result =
        run(tool,
            {QStringLiteral("piv"), QStringLiteral("certificates"), QStringLiteral("export"), QStringLiteral("9a"),
             QStringLiteral("-")},
            10000);
    const QString pem = result.stdOutText();
    if (pem.trimmed().isEmpty())
        setReason(why, reasonOf(tool, result));
    return pem;
}

QByteArray wrapWithCertificate(const QString& certificatePem, const QString& key, QString* why)
{
    if (certificatePem.isEmpty() || key.isEmpty()) {
        setReason(why, QStringLiteral("no certificate or no key to wrap"));
        return {};
    }
    // A folder of our own (0700): fixed names in the shared temporary folder
    // could be links planted by someone else.
    QTemporaryDir dir;
    if (!dir.isValid()) {
        setReason(why, dir.errorString());
        return {};
    }
    const QString certPath = dir.filePath(QStringLiteral("cert.pem"));
    const QString publicKeyPath = dir.filePath(QStringLiteral("pub.pem"));
    const QString wrappedPath = dir.filePath(QStringLiteral("wrapped.bin"));
    {
        QFile cert(certPath);
        if (!cert.open(QIODevice::WriteOnly) || cert.write(certificatePem.toUtf8()) < 0) {
            setReason(why, certPath + QStringLiteral(": ") + cert.errorString());
            return {};
        }
    }
    const QString openssl = QStringLiteral("openssl");
    const ToolRunner::Result publicKey =
        run(openssl,
            {QStringLiteral("x509"), QStringLiteral("-in"), certPath, QStringLiteral("-pubkey"),
             QStringLiteral("-noout"), QStringLiteral("-out"), publicKeyPath},
            5000);
    if (!publicKey.succeeded()) {
        setReason(why, reasonOf(openssl, publicKey));
        return {};
    }
    QByteArray input = key.toUtf8();
    const ToolRunner::Result wrap =
        run(openssl,
            {QStringLiteral("pkeyutl"), QStringLiteral("-encrypt"), QStringLiteral("-pubin"), QStringLiteral("-inkey"),
             publicKeyPath, QStringLiteral("-out"), wrappedPath},
            10000, input);
    secureZero(input);
    // An elliptic-curve key cannot encrypt: openssl fails and leaves an
    // empty or no file.
    if (!wrap.succeeded()) {
        setReason(why, reasonOf(openssl, wrap));
        return {};
    }
    QFile wrapped(wrappedPath);
    if (!wrapped.open(QIODevice::ReadOnly)) {
        setReason(why, wrappedPath + QStringLiteral(": ") + wrapped.errorString());
        return {};
    }
    const QByteArray bytes = wrapped.readAll();
    if (bytes.isEmpty())
        setReason(why, reasonOf(openssl, wrap));
    return bytes;
}

} // namespace VaultKeyTools
