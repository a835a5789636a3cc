#include "signing/SigningManager.h"

#include "core/PrivateFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// openssl's "/type=value/..." subject syntax: a slash ends a value, and the
// backslash escapes. Backslashes go first, or the ones added after would be
// doubled too.
QString escapeSubjectValue(QString value)
{
    value.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    value.replace(QLatin1String("/"), QLatin1String("\\/"));
    value.replace(QLatin1String("\""), QLatin1String("\\\""));
    value.replace(QLatin1String(","), QLatin1String("\\,"));
    value.replace(QLatin1String("+"), QLatin1String("\\+"));
    return value;
}

// An identity line of the keychain tool reads '  1) <hash> "<name>"'. Gives
// the name between the first two quotes and where the first one stands, or
// -1 for a line without a pair of quotes.
qsizetype quotedName(const QString& line, QString* name)
{
    const qsizetype q = line.indexOf(QLatin1Char('"'));
    if (q < 0)
        return -1;
    const qsizetype end = line.indexOf(QLatin1Char('"'), q + 1);
    if (end < 0)
        return -1;
    *name = line.mid(q + 1, end - q - 1);
    return q;
}

} // namespace

SigningManager::SigningManager(QObject* parent)
    : QObject(parent)
{
}

QStringList SigningManager::displayArguments(const QStringList& arguments)
{
    QStringList shown;
    shown.reserve(arguments.size());
    for (const QString& argument : arguments) {
        // Full paths make the log unreadable and tell nothing the file name
        // does not; options and URLs may hold slashes and stay whole.
        if (argument.contains(QLatin1Char('/')) && !argument.startsWith(QLatin1Char('-'))
            && !argument.startsWith(QLatin1String("http")))
            shown << argument.mid(argument.lastIndexOf(QLatin1Char('/')) + 1);
        else
            shown << argument;
    }
    return shown;
}

ToolRunner::Result SigningManager::execute(const QString& program, const QStringList& arguments)
{
    // The tools' complaints arrive on standard error; the callers want them in
    // reading order with the rest. The program goes by name: the search path
    // decides which tool runs.
    return ToolRunner::run(program, arguments, listingOptions());
}

void SigningManager::reportFailure(const QString& program, const QStringList& arguments,
                                   const ToolRunner::Result& result)
{
    QString reason;
    if (!result.started)
        reason = QStringLiteral("failed to start");
    else if (result.timedOut)
        reason = QStringLiteral("timed out after %1 s, killed").arg(QString::number(toolWaitMs / 1000.0));
    else if (result.crashed)
        reason = QStringLiteral("crashed");
    else
        return;
    emit operationLog(QStringLiteral("[%1 %2] %3")
                          .arg(program, displayArguments(arguments).join(QLatin1Char(' ')), reason));
}

ToolRunner::Result SigningManager::executeSummarised(const QString& program, const QStringList& arguments)
{
    const ToolRunner::Result result = execute(program, arguments);
    // A run that did not finish shows the runner's -1, never a 0 it did not earn.
    // One substitution: a file name holding "%1" must not take in the exit code.
    emit operationLog(QStringLiteral("[%1 %2] exit %3")
                          .arg(program, displayArguments(arguments).join(QLatin1Char(' ')),
                               QString::number(result.exitCode)));
    reportFailure(program, arguments, result);
    return result;
}

ToolRunner::Result SigningManager::executeLogged(const QString& program, const QStringList& arguments)
{
    const ToolRunner::Result result = execute(program, arguments);
    emit operationLog(result.stdOutText());
    reportFailure(program, arguments, result);
    return result;
}

QString SigningManager::runCommand(const QString& program, const QStringList& arguments)
{
    const ToolRunner::Result result = executeSummarised(program, arguments);
    // A tool that hung or was killed may have printed half an answer (an
    // identity, part of a signature display): none of it is used.
    return result.finished() ? result.stdOutText() : QString();
}

bool SigningManager::runCommandSuccess(const QString& program, const QStringList& arguments)
{
    return executeLogged(program, arguments).succeeded();
}

QStringList SigningManager::signingIdentityArguments()
{
    return {QStringLiteral("find-identity"), QStringLiteral("-v"), QStringLiteral("-p"),
            QStringLiteral("codesigning")};
}

QList<CertificateInfo> SigningManager::listSigningIdentities()
{
    return parseSigningIdentities(runCommand(QStringLiteral("security"), signingIdentityArguments()));
}

ToolRunner::Options SigningManager::listingOptions() const
{
    ToolRunner::Options options;
    options.mergeChannels = true;
    options.finishTimeoutMs = toolWaitMs;
    return options;
}

QList<CertificateInfo> SigningManager::parseSigningIdentities(const QString& output)
{
    QList<CertificateInfo> identities;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        // The closing count line has no quotes and drops out here.
        CertificateInfo info;
        const qsizetype q = quotedName(line, &info.name);
        if (q < 0)
            continue;
        const qsizetype p = line.indexOf(QLatin1Char(')'));
        if (p >= 1 && p + 2 < q)
            info.sha1Hash = line.mid(p + 2, q - p - 3).trimmed();
        info.valid = !line.contains(QLatin1String("CSSMERR"));
        identities << info;
    }
    return identities;
}

QList<CertificateInfo> SigningManager::listInstallerIdentities()
{
    const QString output = runCommand(QStringLiteral("security"),
                                      {QStringLiteral("find-identity"), QStringLiteral("-v"),
                                       QStringLiteral("-p"), QStringLiteral("macappstore")});
    QList<CertificateInfo> identities;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (!line.contains(QLatin1String("Developer ID Installer")))
            continue;
        CertificateInfo info;
        if (quotedName(line, &info.name) < 0)
            continue;
        info.valid = true;
        identities << info;
    }
    return identities;
}

bool SigningManager::codesign(const QString& path, const QString& identity,
                              const QString& entitlementsPath, bool hardenedRuntime, bool timestamp)
{
    // An .app bundle is a folder: anything at the path will do.
    if (!QFileInfo::exists(path)) {
        emit signingComplete(path, false, QStringLiteral("File not found"));
        return false;
    }
    static const QRegularExpression allowed(QStringLiteral("^[A-Za-z0-9 :()_.,@/-]+$"));
    if (!allowed.match(identity).hasMatch()) {
        emit signingComplete(path, false, QStringLiteral("Invalid signing identity characters"));
        return false;
    }
    emit signingStarted(path);

    QStringList arguments{QStringLiteral("--force"), QStringLiteral("--deep"), QStringLiteral("--sign"),
                          identity};
    if (hardenedRuntime)
        arguments << QStringLiteral("--options") << QStringLiteral("runtime");
    if (timestamp)
        arguments << QStringLiteral("--timestamp");
    if (!entitlementsPath.isEmpty())
        arguments << QStringLiteral("--entitlements") << entitlementsPath;
    arguments << path;

    const bool ok = runCommandSuccess(QStringLiteral("codesign"), arguments);
    emit signingComplete(path, ok, ok ? QStringLiteral("Signed successfully")
                                      : QStringLiteral("Signing failed"));
    return ok;
}

bool SigningManager::verifySignature(const QString& path)
{
    return runCommandSuccess(QStringLiteral("codesign"),
                             {QStringLiteral("--verify"), QStringLiteral("--deep"),
                              QStringLiteral("--strict"), QStringLiteral("--verbose=2"), path});
}

QString SigningManager::signatureInfo(const QString& path)
{
    return runCommand(QStringLiteral("codesign"), {QStringLiteral("-dvvv"), path});
}

bool SigningManager::signPackage(const QString& pkgPath, const QString& identity)
{
    // The signed copy is named by rewriting ".pkg"; without one the output
    // would be the input itself, and productsign would be told to overwrite
    // the package it reads.
    if (!pkgPath.contains(QLatin1String(".pkg"))) {
        emit operationLog(QStringLiteral("Not signing %1: a package name must contain \".pkg\"")
                              .arg(pkgPath));
        return false;
    }
    QString outputPath = pkgPath;
    outputPath.replace(QLatin1String(".pkg"), QLatin1String("-signed.pkg"));
    return runCommandSuccess(QStringLiteral("productsign"),
                             {QStringLiteral("--sign"), identity, QStringLiteral("--timestamp"),
                              pkgPath, outputPath});
}

bool SigningManager::notarize(const QString& path, const QString& keychainProfile)
{
    emit notarizationStarted(path);
    const ToolRunner::Result result = executeLogged(
        QStringLiteral("xcrun"), {QStringLiteral("notarytool"), QStringLiteral("submit"), path,
                                  QStringLiteral("--keychain-profile"), keychainProfile,
                                  QStringLiteral("--wait")});
    const bool ok = result.succeeded();
    if (result.timedOut) {
        // The upload may well have gone through: the service keeps working on it
        // after we stop waiting, so this is no verdict either way.
        emit operationLog(QStringLiteral("Notarization of %1 gave no verdict within %2 s; the "
                                         "submission may still be processing: check it with the "
                                         "status query (notarytool info)")
                              .arg(path, QString::number(toolWaitMs / 1000.0)));
        emit notarizationComplete(path, false,
                                  QStringLiteral("Notarization timed out; the submission may still "
                                                 "be processing"));
        return false;
    }
    emit notarizationComplete(path, ok, ok ? QStringLiteral("Notarization approved")
                                           : QStringLiteral("Notarization failed"));
    return ok;
}

bool SigningManager::staple(const QString& path)
{
    return runCommandSuccess(QStringLiteral("xcrun"),
                             {QStringLiteral("stapler"), QStringLiteral("staple"), path});
}

QString SigningManager::notarizationStatus(const QString& submissionId)
{
    return runCommand(QStringLiteral("xcrun"),
                      {QStringLiteral("notarytool"), QStringLiteral("info"), submissionId,
                       QStringLiteral("--keychain-profile"), QStringLiteral("Ostrevan-Notarize")});
}

bool SigningManager::generateCSR(const QString& commonName, const QString& organization,
                                 const QString& keyPath, const QString& csrPath)
{
    // One substitution: a "%2" in the common name stays text.
    const QString subject = QStringLiteral("/CN=%1/O=%2")
                                .arg(escapeSubjectValue(commonName), escapeSubjectValue(organization));

    // openssl writes the key into an existing file without changing its mode,
    // and before it knows whether the request will succeed: the file must be
    // owner-only before the key reaches it.
    QFile keyFile(keyPath);
    const bool keyExisted = keyFile.exists();
    const bool keyPrivate = keyExisted
        ? keyFile.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        : keyFile.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                       QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!keyPrivate) {
        emit operationLog(QStringLiteral("Cannot make the key file %1 owner-only: %2")
                              .arg(keyPath, keyFile.errorString()));
        return false;
    }
    keyFile.close();

    // -utf8: without it openssl reads the subject as Latin-1 and stores every
    // non-ASCII letter double-encoded.
    const bool ok = runCommandSuccess(
        QStringLiteral("openssl"),
        {QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
         QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), csrPath, QStringLiteral("-nodes"),
         QStringLiteral("-utf8"), QStringLiteral("-subj"), subject});
    if (!ok && !keyExisted && QFileInfo(keyPath).size() == 0)
        QFile::remove(keyPath);
    return ok;
}

bool SigningManager::importCertificate(const QString& path, const QString& keychain)
{
    QStringList arguments{QStringLiteral("import"), path};
    if (!keychain.isEmpty())
        arguments << QStringLiteral("-k") << keychain;
    return runCommandSuccess(QStringLiteral("security"), arguments);
}

bool SigningManager::exportCertificate(const QString& name, const QString& outPath)
{
    const ToolRunner::Result result = executeSummarised(
        QStringLiteral("security"),
        {QStringLiteral("find-certificate"), QStringLiteral("-c"), name, QStringLiteral("-p")});
    const QString output = result.stdOutText();
    // The error channel is merged in: a miss prints an error text, not nothing,
    // and that text must not become a ".pem" file. A run cut short may have
    // printed half a certificate.
    if (!result.succeeded() || !output.contains(QLatin1String("-----BEGIN CERTIFICATE-----"))) {
        emit operationLog(QStringLiteral("Certificate not found: ") + name);
        return false;
    }
    if (!PrivateFiles::writeOwnerOnly(outPath, result.stdOut))
        return false;
    emit operationLog(QStringLiteral("Certificate exported: ") + outPath);
    return true;
}
