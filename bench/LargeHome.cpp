#include "LargeHome.h"

#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QThread>

#include <memory>
#include <vector>

namespace LargeHome {

namespace {

bool fail(QString* error, const QString& reason)
{
    if (error)
        *error = reason;
    return false;
}

// ssh-keygen makes one pair per run: as many runs at once as there are cores.
bool makeSshPairs(const QString& sshDir, int count, QString* error)
{
    if (!PrivateFiles::makePrivateDir(sshDir, error))
        return false;
    const QString keygen = QStandardPaths::findExecutable(QStringLiteral("ssh-keygen"));
    if (keygen.isEmpty())
        return fail(error, QStringLiteral("ssh-keygen not found"));
    const int parallel = std::max(1, QThread::idealThreadCount());
    for (int first = 0; first < count; first += parallel) {
        std::vector<std::unique_ptr<QProcess>> batch;
        for (int i = first; i < std::min(count, first + parallel); ++i) {
            const QString name = QStringLiteral("id_bench_%1").arg(i, 4, 10, QLatin1Char('0'));
            auto process = std::make_unique<QProcess>();
            process->setStandardInputFile(QProcess::nullDevice());
            process->start(keygen, {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                                    QStringLiteral("-N"), QString(), QStringLiteral("-C"),
                                    name + QStringLiteral("@bench.example"), QStringLiteral("-f"),
                                    sshDir + QLatin1Char('/') + name});
            batch.push_back(std::move(process));
        }
        for (const auto& process : batch) {
            if (!process->waitForFinished(60000) || process->exitStatus() != QProcess::NormalExit
                || process->exitCode() != 0)
                return fail(error, QStringLiteral("ssh-keygen failed: ")
                                       + QString::fromUtf8(process->readAllStandardError()).trimmed());
        }
    }
    return true;
}

// One batch run of gpg makes them all: EdDSA primary keys with a Curve25519
// encryption subkey each, as gpg makes by default, and no pass phrase, so no
// pinentry is asked.
bool makeKeyring(const QString& gnupgDir, int count, QString* error)
{
    if (!PrivateFiles::makePrivateDir(gnupgDir, error))
        return false;
    QByteArray parameters;
    for (int i = 0; i < count; ++i) {
        const QByteArray number = QByteArray::number(i).rightJustified(4, '0');
        parameters += "Key-Type: eddsa\nKey-Curve: ed25519\nKey-Usage: sign\n"
                      "Subkey-Type: ecdh\nSubkey-Curve: cv25519\nSubkey-Usage: encrypt\n"
                      "Name-Real: Bench Key " + number + "\nName-Email: bench" + number + "@example.org\n"
                      "Expire-Date: 0\n%no-protection\n%commit\n";
    }
    QTemporaryFile script;
    if (!script.open() || script.write(parameters) != parameters.size() || !script.flush())
        return fail(error, QStringLiteral("could not write the key parameters: ") + script.errorString());
    ToolRunner::Options options;
    options.finishTimeoutMs = 30 * 60 * 1000;
    const QString gpg = ToolRunner::findTool(QStringLiteral("gpg"));
    const ToolRunner::Result made =
        ToolRunner::run(gpg, {QStringLiteral("--homedir"), gnupgDir, QStringLiteral("--batch"),
                              QStringLiteral("--gen-key"), script.fileName()},
                        options);
    if (!made.succeeded())
        return fail(error, QStringLiteral("gpg --gen-key failed: ") + made.failure + QLatin1Char(' ')
                               + made.stdErrText().right(400));
    // Settle the trust database now rather than in the first timed listing.
    const ToolRunner::Result checked = ToolRunner::run(
        gpg, {QStringLiteral("--homedir"), gnupgDir, QStringLiteral("--batch"), QStringLiteral("--check-trustdb")},
        options);
    if (!checked.succeeded())
        return fail(error, QStringLiteral("gpg --check-trustdb failed: ") + checked.stdErrText().trimmed());
    return true;
}

} // namespace

QString ensure(int sshPairs, int gpgKeys, QString* error)
{
    const QString home = QStringLiteral(OT_BENCH_CACHE_DIR "/large-home-%1-%2").arg(sshPairs).arg(gpgKeys);
    const QString complete = home + QStringLiteral("/.complete");
    if (QFile::exists(complete))
        return home;
    QDir(home).removeRecursively();
    if (!QDir().mkpath(home)) {
        fail(error, QStringLiteral("could not create ") + home);
        return QString();
    }
    if (!makeSshPairs(home + QStringLiteral("/.ssh"), sshPairs, error)
        || !makeKeyring(home + QStringLiteral("/.gnupg"), gpgKeys, error)) {
        stopAgent(home);
        return QString();
    }
    stopAgent(home);
    QFile stamp(complete);
    if (!stamp.open(QIODevice::WriteOnly)) {
        fail(error, QStringLiteral("could not write ") + complete);
        return QString();
    }
    return home;
}

void stopAgent(const QString& home)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = 10000;
    ToolRunner::run(ToolRunner::findTool(QStringLiteral("gpgconf")),
                    {QStringLiteral("--homedir"), home + QStringLiteral("/.gnupg"), QStringLiteral("--kill"),
                     QStringLiteral("all")},
                    options);
}

} // namespace LargeHome
