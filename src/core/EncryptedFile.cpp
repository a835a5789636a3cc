#include "core/EncryptedFile.h"

#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTemporaryFile>

#include <cstdio>

namespace EncryptedFile {

namespace {

ToolRunner::Options runOptions(const Options& options)
{
    ToolRunner::Options run;
    run.startTimeoutMs = options.startTimeoutMs;
    run.finishTimeoutMs = options.finishTimeoutMs;
    return run;
}

QString toolFailure(const ToolRunner::Result& result)
{
    if (!result.failure.isEmpty())
        return QStringLiteral("openssl ") + result.failure;
    const QString said = result.stdErrText().trimmed();
    return QStringLiteral("openssl exited with code %1%2")
        .arg(result.exitCode)
        .arg(said.isEmpty() ? QString() : QStringLiteral(": ") + said.section(QLatin1Char('\n'), 0, 0));
}

// Between the hidden file name and QTemporaryFile's six characters: a user
// naming a copy "vars.tfvars.enc.backup", or ".vars.tfvars.enc.notes1", has
// nothing to fear from the sweep of leftovers.
const QString temporaryMarker = QStringLiteral(".tessaril-tmp-");

// Clocks of other machines (a network folder) and coarse time stamps: a
// leftover must be this much older than the longest run before it goes.
constexpr qint64 leftoverMarginMs = 60 * 1000;

// openssl's salted format starts with this header; anything else is not a
// file it wrote.
bool hasSaltedHeader(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(8) == "Salted__";
}

} // namespace

QByteArray machineKey(const QString& label)
{
    const QString text = QSysInfo::machineHostName() + QLatin1Char('|') + qEnvironmentVariable("USER")
                         + QLatin1Char('|') + label;
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256);
}

QString write(const QString& path, const QByteArray& data, const QByteArray& passPhrase, const Options& options)
{
    const QString refused = passPhraseRefusal(passPhrase);
    if (!refused.isEmpty())
        return refused;
    const QFileInfo target(path);
    if (!options.privateFolder) {
        if (!QFileInfo(target.absolutePath()).isDir())
            return QStringLiteral("the folder %1 does not exist").arg(target.absolutePath());
    } else if (!PrivateFiles::makePrivateDir(target.absolutePath())) {
        return QStringLiteral("cannot create the folder %1").arg(target.absolutePath());
    }

    // openssl truncates its output file before writing and creates it with
    // the umask's mode: it writes a private temporary file instead.
    QTemporaryFile temporary(temporaryName(path));
    if (!temporary.open())
        return QStringLiteral("cannot create a temporary file beside %1").arg(path);
    if (!temporary.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return QStringLiteral("cannot make %1 private").arg(temporary.fileName());
    const QString temporaryPath = temporary.fileName();
    temporary.close();

    ToolRunner::Options run = runOptions(options);
    // The first line is the pass phrase, the rest the plain text.
    run.standardInput = passPhrase + '\n' + data;
    const ToolRunner::Result result = ToolRunner::run(
        ToolRunner::findTool(QStringLiteral("openssl")),
        {QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"), QStringLiteral("-pass"),
         QStringLiteral("stdin"), QStringLiteral("-out"), temporaryPath},
        run);
    secureZero(run.standardInput);
    if (!result.succeeded())
        return toolFailure(result);
    // An openssl that claims success but left nothing usable (a stand-in, a
    // full disk it did not notice) must not replace a good file.
    if (!hasSaltedHeader(temporaryPath))
        return QStringLiteral("openssl left no encrypted file behind");

    if (options.setAsideExisting && QFileInfo::exists(path)) {
        const QString failure = setAside(path);
        if (!failure.isEmpty())
            return failure;
    }
    if (std::rename(QFile::encodeName(temporaryPath).constData(),
                    QFile::encodeName(target.absoluteFilePath()).constData())
        != 0) {
        return QStringLiteral("cannot put the new file in place of %1").arg(path);
    }
    temporary.setAutoRemove(false);
    return QString();
}

namespace {

QStringList decryptArguments(const QString& path)
{
    return {QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"), QStringLiteral("-d"),
            QStringLiteral("-pass"), QStringLiteral("stdin"), QStringLiteral("-in"), path};
}

// openssl's "enc" pads to whole 16-byte blocks after a 16-byte header, so the
// plain text of a file it wrote is 1 to 16 bytes shorter than the rest. An
// output of any other length did not come from decrypting this file.
bool plausiblePlainSize(const QString& path, qsizetype plainSize)
{
    const qint64 body = QFileInfo(path).size() - 16;
    return body >= 16 && body % 16 == 0 && plainSize >= body - 16 && plainSize < body;
}

// Whether this openssl can decrypt at all: it encrypts a probe with the
// options the files are made with and must give it back. Only then does a
// failed decryption say something about the file rather than the tool (a
// broken install, a build without an option, a stand-in that says nothing).
bool opensslWorks(const Options& options)
{
    const QByteArray probe = QByteArrayLiteral("openssl self-test probe");
    const QByteArray probePass = QByteArrayLiteral("probe pass phrase");
    QTemporaryFile encrypted(QDir::tempPath() + QStringLiteral("/probe-XXXXXX"));
    if (!encrypted.open())
        return false;
    encrypted.close();
    const QString openssl = ToolRunner::findTool(QStringLiteral("openssl"));
    ToolRunner::Options run = runOptions(options);
    run.standardInput = probePass + '\n' + probe;
    const ToolRunner::Result made = ToolRunner::run(
        openssl,
        {QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"), QStringLiteral("-pass"),
         QStringLiteral("stdin"), QStringLiteral("-out"), encrypted.fileName()},
        run);
    if (!made.succeeded() || !hasSaltedHeader(encrypted.fileName()))
        return false;
    run.standardInput = probePass + '\n';
    const ToolRunner::Result back = ToolRunner::run(openssl, decryptArguments(encrypted.fileName()), run);
    return back.succeeded() && back.stdOut == probe;
}

} // namespace

QString read(const QString& path, const QByteArray& passPhrase, QByteArray* plain, const Options& options,
             bool* decryptFailed)
{
    if (decryptFailed)
        *decryptFailed = false;
    // openssl would decrypt with another phrase than the one given: its
    // verdict would say nothing about the file.
    const QString refused = passPhraseRefusal(passPhrase);
    if (!refused.isEmpty())
        return refused;
    if (!QFileInfo::exists(path))
        return QStringLiteral("%1 does not exist").arg(path);
    ToolRunner::Options run = runOptions(options);
    run.standardInput = passPhrase + '\n';
    ToolRunner::Result result =
        ToolRunner::run(ToolRunner::findTool(QStringLiteral("openssl")), decryptArguments(path), run);
    secureZero(run.standardInput);
    if (result.succeeded() && plausiblePlainSize(path, result.stdOut.size())) {
        if (plain)
            *plain = std::move(result.stdOut);
        else
            secureZero(result.stdOut);
        return QString();
    }
    secureZero(result.stdOut);
    if (!result.finished())
        return toolFailure(result);

    // Only openssl's own verdict on this very file lets a caller give up on
    // it: an openssl that merely ended (with an error of its own, or with
    // nothing to show) says nothing about the file.
    const bool badDecrypt = !result.succeeded() && hasSaltedHeader(path)
                            && result.stdErr.contains("bad decrypt");
    if (badDecrypt || (!result.succeeded() && opensslWorks(options))) {
        if (decryptFailed)
            *decryptFailed = true;
        return toolFailure(result);
    }
    const QString reason = result.succeeded() ? QStringLiteral("openssl reported success but gave no decrypted data")
                                              : toolFailure(result);
    return QStringLiteral("openssl cannot work (%1); the file was left as it is").arg(reason);
}

QString temporaryName(const QString& path)
{
    const QFileInfo target(path);
    return QDir(target.absolutePath()).filePath(QLatin1Char('.') + target.fileName() + temporaryMarker)
           + QStringLiteral("XXXXXX");
}

void removeLeftovers(const QString& path)
{
    removeLeftovers(path, Options());
}

void removeLeftovers(const QString& path, const Options& options)
{
    const QFileInfo target(path);
    const QRegularExpression ours(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(QLatin1Char('.') + target.fileName() + temporaryMarker)
        + QStringLiteral("[A-Za-z0-9]{6}")));
    // A run still writing its file has touched it within its time-outs.
    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(
        -(qint64(options.startTimeoutMs) + options.finishTimeoutMs + leftoverMarginMs));
    QDir folder(target.absolutePath());
    const QStringList candidates =
        folder.entryList({QLatin1Char('.') + target.fileName() + temporaryMarker + QLatin1Char('*')},
                         QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : candidates) {
        const QFileInfo leftover(folder.filePath(name));
        // Only a plain file of the program's own making: never a link, and
        // never one another program may be writing right now.
        if (!ours.match(name).hasMatch() || leftover.isSymLink() || !leftover.isFile()
            || leftover.lastModified().toUTC() >= before) {
            continue;
        }
        folder.remove(name);
    }
}

QString passPhraseRefusal(const QByteArray& passPhrase)
{
    // openssl's "-pass stdin" and "-pass file:" read one line into a buffer
    // of 1024 bytes: a longer phrase is cut to its first 1023 bytes, and a
    // line break or NUL ends it early, without a word.
    if (passPhrase.size() > maxPassPhraseBytes) {
        return QStringLiteral("the pass phrase is %1 bytes long, and openssl reads at most %2 bytes of one")
            .arg(passPhrase.size())
            .arg(maxPassPhraseBytes);
    }
    if (passPhrase.contains('\n') || passPhrase.contains('\r')) {
        return QStringLiteral("the pass phrase holds a line break, and openssl reads only its first line "
                              "(at most %1 bytes)")
            .arg(maxPassPhraseBytes);
    }
    if (passPhrase.contains('\0')) {
        return QStringLiteral("the pass phrase holds a NUL character, where openssl would end it "
                              "(it reads one line of at most %1 bytes)")
            .arg(maxPassPhraseBytes);
    }
    return QString();
}

QString encryptFile(const QString& sourcePath, const QString& path, const QByteArray& passPhrase,
                    const Options& options)
{
    const QString refused = passPhraseRefusal(passPhrase);
    if (!refused.isEmpty())
        return refused;
    const QFileInfo target(path);
    if (!options.privateFolder) {
        if (!QFileInfo(target.absolutePath()).isDir())
            return QStringLiteral("the folder %1 does not exist").arg(target.absolutePath());
    } else if (!PrivateFiles::makePrivateDir(target.absolutePath())) {
        return QStringLiteral("cannot create the folder %1").arg(target.absolutePath());
    }

    // A name only this program makes: clearing what a killed run left behind
    // can then never take a file of the user's.
    removeLeftovers(path, options);
    QTemporaryFile temporary(temporaryName(path));
    if (!temporary.open())
        return QStringLiteral("cannot create a temporary file beside %1").arg(path);
    if (!temporary.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return QStringLiteral("cannot make %1 private").arg(temporary.fileName());
    const QString temporaryPath = temporary.fileName();
    temporary.close();

    ToolRunner::Options run = runOptions(options);
    run.standardInput = passPhrase + '\n';
    const ToolRunner::Result result = ToolRunner::run(
        ToolRunner::findTool(QStringLiteral("openssl")),
        {QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"), QStringLiteral("-pass"),
         QStringLiteral("stdin"), QStringLiteral("-in"), sourcePath, QStringLiteral("-out"), temporaryPath},
        run);
    secureZero(run.standardInput);
    if (!result.succeeded())
        return toolFailure(result);
    if (!hasSaltedHeader(temporaryPath))
        return QStringLiteral("openssl left no encrypted file behind");

    if (options.setAsideExisting && QFileInfo::exists(path)) {
        const QString failure = setAside(path);
        if (!failure.isEmpty())
            return failure;
    }
    if (std::rename(QFile::encodeName(temporaryPath).constData(),
                    QFile::encodeName(target.absoluteFilePath()).constData())
        != 0) {
        return QStringLiteral("cannot put the new file in place of %1").arg(path);
    }
    temporary.setAutoRemove(false);
    return QString();
}

QString setAside(const QString& path, QString* movedTo)
{
    const QString base = path + QStringLiteral(".unreadable-")
                         + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddHHmmss"));
    QString target = base;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++n)
        target = base + QLatin1Char('-') + QString::number(n);
    // QFile::rename never replaces an existing file.
    if (!QFile::rename(path, target))
        return QStringLiteral("cannot set %1 aside").arg(path);
    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (movedTo)
        *movedTo = target;
    return QString();
}

} // namespace EncryptedFile
