#include "signing/SigningManager.h"

#include <QFileInfo>
#include <QRegularExpression>

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
    ToolRunner::Options options;
    // The tools' complaints arrive on standard error; the callers want them in
    // reading order with the rest.
    options.mergeChannels = true;
    options.finishTimeoutMs = toolWaitMs;
    // The program goes by name: the search path decides which tool runs.
    return ToolRunner::run(program, arguments, options);
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
    return executeSummarised(program, arguments).stdOutText();
}

bool SigningManager::runCommandSuccess(const QString& program, const QStringList& arguments)
{
    return executeLogged(program, arguments).succeeded();
}

QList<CertificateInfo> SigningManager::listSigningIdentities()
{
    const QString output = runCommand(QStringLiteral("security"),
                                      {QStringLiteral("find-identity"), QStringLiteral("-v"),
                                       QStringLiteral("-p"), QStringLiteral("codesigning")});
    QList<CertificateInfo> identities;
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        // The usual form: '  1) <hash> "<name>"'. The closing count line has no
        // quotes and drops out here.
        const qsizetype q = line.indexOf(QLatin1Char('"'));
        if (q < 0)
            continue;
        const qsizetype end = line.indexOf(QLatin1Char('"'), q + 1);
        if (end < 0)
            continue;
        CertificateInfo info;
        info.name = line.mid(q + 1, end - q - 1);
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
        const qsizetype q = line.indexOf(QLatin1Char('"'));
        if (q < 0)
            continue;
        const qsizetype end = line.indexOf(QLatin1Char('"'), q + 1);
        if (end < 0)
            continue;
        CertificateInfo info;
        info.name = line.mid(q + 1, end - q - 1);
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
