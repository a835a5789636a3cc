#include "core/SshDirectory.h"

#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace SshDirectory {

QString path()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

QStringList privateKeyNames()
{
    // QDir matches name filters ignoring letter case unless told otherwise.
    QStringList names = QDir(path()).entryList({QStringLiteral("id_*")}, QDir::Files, QDir::NoSort);
    names.removeIf([](const QString& name) { return name.endsWith(QLatin1String(".pub")); });
    names.sort(Qt::CaseInsensitive);
    return names;
}

QStringList restrictPermissions()
{
    const QString dir = path();
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QStringList failed;
    // A change refused on an existing path leaves it open to others and must
    // not pass for success.
    const auto restrict = [&failed](const QString& target, QFileDevice::Permissions permissions) {
        if (QFileInfo::exists(target) && !QFile::setPermissions(target, permissions))
            failed << target;
    };
    restrict(dir, ownerOnly | QFileDevice::ExeOwner);
    restrict(dir + QStringLiteral("/config"), ownerOnly);
    for (const QString& name : privateKeyNames())
        restrict(dir + QLatin1Char('/') + name, ownerOnly);
    return failed;
}

QByteArray fingerprintInput(const QList<QByteArray>& keyLines)
{
    // Each line's comment is replaced by its number: ssh-keygen passes over
    // a line it rejects without a word, and the number is what ties each
    // printed fingerprint to its line.
    QByteArray input;
    for (qsizetype i = 0; i < keyLines.size(); ++i) {
        const QList<QByteArray> words = keyLines.at(i).simplified().split(' ');
        if (words.size() >= 2)
            input += words.at(0) + ' ' + words.at(1) + ' ' + QByteArray::number(i) + '\n';
    }
    return input;
}

QList<KeyFingerprint> readFingerprints(const QByteArray& output, qsizetype count)
{
    QList<KeyFingerprint> result(count);
    // "<bits> <fingerprint> <line> (<TYPE>)", one line per accepted key.
    for (const QString& line : QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        bool isIndex = false;
        const qsizetype index = parts.size() >= 3 ? parts.at(2).toLongLong(&isIndex, 10) : -1;
        if (!isIndex || index < 0 || index >= result.size() || !result.at(index).fingerprint.isEmpty())
            continue;
        KeyFingerprint& entry = result[index];
        entry.bits = parts.at(0).toInt(nullptr, 10);
        entry.fingerprint = parts.at(1);
        if (parts.size() >= 4)
            entry.type = QString(parts.at(3)).remove(QLatin1Char('(')).remove(QLatin1Char(')'));
    }
    return result;
}

QList<KeyFingerprint> fingerprints(const QList<QByteArray>& keyLines, int timeoutMs, QString* failure)
{
    const QByteArray input = fingerprintInput(keyLines);
    if (input.isEmpty())
        return QList<KeyFingerprint>(keyLines.size());

    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    options.standardInput = input;
    const ToolRunner::Result listed = ToolRunner::run(
        QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")}, options);
    // A line ssh-keygen rejects makes it end with 1; only a run that did not
    // end on its own leaves the fingerprints unread.
    if (!listed.finished() && failure)
        *failure = QStringLiteral("ssh-keygen ") + listed.failure;
    return readFingerprints(listed.stdOut, keyLines.size());
}

} // namespace SshDirectory
