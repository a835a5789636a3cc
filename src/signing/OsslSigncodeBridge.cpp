#include "signing/OsslSigncodeBridge.h"

#include "signing/Pkcs11Config.h"

#include "core/LogText.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>

OsslSigncodeBridge::OsslSigncodeBridge(QObject* parent)
    : QObject(parent)
    , path(ToolRunner::findTool(QStringLiteral("osslsigncode")))
{
}

void OsslSigncodeBridge::tell(const QString& line)
{
    // File names and the tool's own words come from outside: a line break in
    // one must not start a log line of its own.
    Q_EMIT signingLog(LogText::escaped(line));
}

bool OsslSigncodeBridge::isAvailable() const
{
    return QFileInfo::exists(path);
}

QString OsslSigncodeBridge::version() const
{
    ToolRunner::Options options;
    options.finishTimeoutMs = versionTimeoutMs;
    const ToolRunner::Result r = ToolRunner::run(path, {QStringLiteral("--version")}, options);
    if (!r.finished())
        return {};
    return r.stdOutText().trimmed();
}

OsslSigncodeBridge::CmdResult OsslSigncodeBridge::run(const QStringList& arguments,
                                                      const QProcessEnvironment& environment,
                                                      int timeoutMs,
                                                      const QByteArray& standardInput)
{
    ToolRunner::Options options;
    options.environment = environment;
    options.finishTimeoutMs = timeoutMs;
    options.standardInput = standardInput;
    const ToolRunner::Result r = ToolRunner::run(path, arguments, options);

    CmdResult result;
    result.exitCode = r.finished() ? r.exitCode : -1;
    // What a tool printed before it hung or was killed is no answer.
    if (r.finished())
        result.stdOut = r.stdOutText();
    if (r.started) {
        result.stdErr = r.stdErrText();
        // A tool killed at the end of its wait may have said nothing; the
        // reason must still reach the log.
        if (!r.finished()) {
            if (!result.stdErr.isEmpty() && !result.stdErr.endsWith(QLatin1Char('\n')))
                result.stdErr += QLatin1Char('\n');
            result.stdErr += r.failure;
        }
    }

    const QString subcommand = arguments.isEmpty() ? QString() : arguments.first();
    tell(QStringLiteral("[osslsigncode %1] exit=%2").arg(subcommand).arg(result.exitCode));
    if (result.exitCode != 0)
        Q_EMIT signingError(maskPinValues(result.stdErr.trimmed()));
    return result;
}

bool OsslSigncodeBridge::signPE(const QString& inputPath, const QString& outputPath,
                                const QString& certsPath, const QString& typedKey,
                                const QString& pkcs11Engine, const QString& pkcs11Module,
                                const QString& opensslConf, const QString& timestampUrl,
                                const QString& description, const QString& pin)
{
    tell(QStringLiteral("Signing: ") + inputPath);
    tell(QStringLiteral("Output:  ") + outputPath);
    tell(QStringLiteral("Cert:    ") + certsPath);
    const QString key = Pkcs11Config::normalizedUri(typedKey);
    tell(QStringLiteral("Key:     ") + maskPinValues(key));
    tell(QStringLiteral("TS:      ") + timestampUrl);

    // A PIN written into the URI would sit on the tool's command line, where
    // every local user can read it: it travels on standard input instead,
    // like a PIN typed in the dialog. A pin-source would have the tool read
    // a PIN by itself; it goes too.
    QString uriPin;
    const QString toolKey = withoutPinValue(key, &uriPin);
    // A URI the syntax does not allow may hide an attribute from the check
    // above ("%zzpin-value") that the tool reads differently.
    const QString problem = Pkcs11Config::uriProblem(toolKey);
    if (!problem.isEmpty()) {
        secureZero(uriPin);
        tell(QStringLiteral("Signing FAILED: ") + problem);
        return false;
    }
    QByteArray pinBytes = (pin.isEmpty() ? uriPin : pin).toUtf8();
    secureZero(uriPin);

    // osslsigncode refuses to overwrite its output, and a failed or cut run
    // leaves a partial file: it signs into a private folder beside the
    // output, and the result replaces the output only once it is whole.
    const QFileInfo outInfo(outputPath);
    QTemporaryDir staging(outInfo.absolutePath() + QStringLiteral("/.") + outInfo.fileName()
                          + QStringLiteral("-XXXXXX"));
    if (!staging.isValid()) {
        secureZero(pinBytes);
        tell(QStringLiteral("Signing FAILED: cannot write beside %1: %2")
                              .arg(outputPath, staging.errorString()));
        return false;
    }
    const QString staged = staging.filePath(outInfo.fileName());

    QStringList arguments{QStringLiteral("sign")};
    if (!pkcs11Engine.isEmpty())
        arguments << QStringLiteral("-pkcs11engine") << pkcs11Engine;
    if (!pkcs11Module.isEmpty())
        arguments << QStringLiteral("-pkcs11module") << pkcs11Module;
    arguments << QStringLiteral("-certs") << certsPath << QStringLiteral("-key") << toolKey;
    // "-" makes the tool read the PIN from standard input.
    if (!pinBytes.isEmpty())
        arguments << QStringLiteral("-readpass") << QStringLiteral("-");
    if (!timestampUrl.isEmpty())
        arguments << QStringLiteral("-ts") << timestampUrl;
    if (!description.isEmpty())
        arguments << QStringLiteral("-n") << description;
    arguments << QStringLiteral("-in") << inputPath << QStringLiteral("-out") << staged;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!opensslConf.isEmpty())
        environment.insert(QStringLiteral("OPENSSL_CONF"), opensslConf);

    const CmdResult result = run(arguments, environment, runTimeoutMs, pinBytes);
    secureZero(pinBytes);

    if (result.exitCode != 0) {
        // The tool repeats the key it failed to load, URI attributes and all.
        tell(QStringLiteral("Signing FAILED: ") + maskPinValues(result.stdErr.trimmed()));
        return false;
    }
    // osslsigncode exits 0 on a full disk: a signed file is the input plus a
    // signature, so anything not larger than the input is not one.
    const QFileInfo signedInfo(staged);
    if (!signedInfo.isFile() || signedInfo.size() <= QFileInfo(inputPath).size()) {
        tell(QStringLiteral("Signing FAILED: output missing or cut"));
        return false;
    }
    if (::rename(QFile::encodeName(staged).constData(), QFile::encodeName(outputPath).constData()) != 0) {
        tell(QStringLiteral("Signing FAILED: cannot write %1: %2")
                              .arg(outputPath, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    tell(QStringLiteral("Signed successfully."));
    return true;
}

bool OsslSigncodeBridge::verifyPE(const QString& filePath)
{
    const CmdResult result = run({QStringLiteral("verify"), filePath}, {}, runTimeoutMs);
    if (result.exitCode != 0) {
        tell(QStringLiteral("Verification FAILED: ") + filePath);
        return false;
    }
    tell(QStringLiteral("Verification PASSED: ") + filePath);
    tell(result.stdOut.trimmed());
    return true;
}

QString OsslSigncodeBridge::signatureInfo(const QString& filePath)
{
    // A fixed name in the shared temporary folder could be planted in advance
    // by another local user; a private folder of our own cannot. The tool also
    // refuses to overwrite an existing output, which a fresh folder rules out.
    QTemporaryDir scratch(QDir::tempPath() + QStringLiteral("/tessaril-siginfo-XXXXXX"));
    if (!scratch.isValid()) {
        Q_EMIT signingError(QStringLiteral("Cannot create a temporary folder: ")
                            + scratch.errorString());
        return {};
    }
    const QString pemPath = scratch.filePath(QStringLiteral("signature.pem"));
    const CmdResult result = run({QStringLiteral("extract-signature"), QStringLiteral("-in"), filePath,
                                  QStringLiteral("-pem"), QStringLiteral("-out"), pemPath},
                                 {}, runTimeoutMs);
    if (result.exitCode == 0) {
        QFile pem(pemPath);
        if (pem.open(QIODevice::ReadOnly))
            return QString::fromUtf8(pem.readAll());
    }
    return result.stdOut;
}

QString OsslSigncodeBridge::withoutPinValue(const QString& typedKey, QString* pin)
{
    return Pkcs11Config::withoutPin(typedKey, pin);
}

QString OsslSigncodeBridge::maskPinValues(const QString& text)
{
    static const QRegularExpression pinValue(QStringLiteral("(pin-value=)[^;&\\r\\n]*"),
                                             QRegularExpression::CaseInsensitiveOption);
    QString masked = text;
    masked.replace(pinValue, QStringLiteral("\\1****"));
    return masked;
}
