#include "GpgHome.h"

#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace {

// Loopback with an empty pass phrase: the fixture's own keys never reach a pinentry.
const QStringList noPassphrase{QStringLiteral("--batch"), QStringLiteral("--pinentry-mode"),
                               QStringLiteral("loopback"), QStringLiteral("--passphrase"), QString()};

} // namespace

GpgHome::GpgHome(const QString& dir, bool activate)
    : home(dir.isEmpty() ? QDir::homePath() + QStringLiteral("/.gnupg") : dir)
    , oldGnupgHome(qgetenv("GNUPGHOME"))
    , hadGnupgHome(qEnvironmentVariableIsSet("GNUPGHOME"))
    , active(activate)
{
    QDir().mkpath(home);
    QFile::setPermissions(home, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    writeFile(home + QStringLiteral("/gpg-agent.conf"),
              "pinentry-program " OT_FAKES_DIR "/pinentry\nallow-loopback-pinentry\n");
    if (active)
        qputenv("GNUPGHOME", QFile::encodeName(home));
}

GpgHome::~GpgHome()
{
    ToolRunner::Options options;
    options.finishTimeoutMs = 10000;
    ToolRunner::run(QStandardPaths::findExecutable(QStringLiteral("gpgconf"),
                                                   {QStringLiteral("/usr/bin"), QStringLiteral("/bin")}),
                    {QStringLiteral("--homedir"), home, QStringLiteral("--kill"), QStringLiteral("all")}, options);
    if (!active)
        return;
    if (hadGnupgHome)
        qputenv("GNUPGHOME", oldGnupgHome);
    else
        qunsetenv("GNUPGHOME");
}

QString GpgHome::realGpg()
{
    const QByteArray configured = qgetenv("OT_REAL_GPG");
    if (!configured.isEmpty())
        return QFile::decodeName(configured);
    return QStandardPaths::findExecutable(QStringLiteral("gpg"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

ToolRunner::Result GpgHome::gpg(const QStringList& arguments, const QByteArray& input)
{
    ToolRunner::Options options;
    options.standardInput = input;
    options.finishTimeoutMs = 60000;
    return ToolRunner::run(realGpg(), QStringList{QStringLiteral("--homedir"), home} + arguments, options);
}

bool GpgHome::fail(const QString& what, const ToolRunner::Result& result)
{
    error = what + QStringLiteral(": ") + result.failure + QLatin1Char(' ') + result.stdErrText();
    return false;
}

QString GpgHome::generateKey(const QString& userId, const QString& algorithm, const QString& expiry)
{
    const ToolRunner::Result result =
        gpg(noPassphrase + QStringList{QStringLiteral("--quick-generate-key"), userId, algorithm,
                                       QStringLiteral("default"), expiry});
    if (!result.succeeded()) {
        fail(QStringLiteral("generate ") + userId, result);
        return QString();
    }
    // The newest key with that user ID is the one just made.
    const ToolRunner::Result listed =
        gpg({QStringLiteral("--with-colons"), QStringLiteral("--list-keys"), QStringLiteral("=") + userId});
    QString fingerprint;
    bool afterKey = false;
    for (const QString& line : listed.stdOutText().split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char(':'));
        if (fields.value(0) == QLatin1String("pub"))
            afterKey = true;
        else if (afterKey && fields.value(0) == QLatin1String("fpr")) {
            fingerprint = fields.value(9);
            afterKey = false;
        }
    }
    if (fingerprint.isEmpty())
        fail(QStringLiteral("list ") + userId, listed);
    return fingerprint;
}

bool GpgHome::addSubkey(const QString& fingerprint, const QString& algorithm, const QString& usage)
{
    const ToolRunner::Result result =
        gpg(noPassphrase + QStringList{QStringLiteral("--quick-add-key"), fingerprint, algorithm, usage});
    return result.succeeded() || fail(QStringLiteral("add subkey"), result);
}

QByteArray GpgHome::exportPublicKey(const QString& fingerprint)
{
    const ToolRunner::Result result =
        gpg({QStringLiteral("--batch"), QStringLiteral("--armor"), QStringLiteral("--export"), fingerprint});
    if (!result.succeeded() || result.stdOut.isEmpty())
        fail(QStringLiteral("export"), result);
    return result.stdOut;
}

bool GpgHome::importKey(const QByteArray& armoured)
{
    const ToolRunner::Result result = gpg({QStringLiteral("--batch"), QStringLiteral("--import")}, armoured);
    return result.succeeded() || fail(QStringLiteral("import"), result);
}

bool GpgHome::revokeKey(const QString& fingerprint)
{
    // gpg keeps a certificate for every key it makes, its armour line
    // defused with a leading colon against an accidental import.
    QByteArray certificate = readFile(home + QStringLiteral("/openpgp-revocs.d/") + fingerprint + ".rev");
    if (certificate.isEmpty()) {
        error = QStringLiteral("no stored revocation certificate for ") + fingerprint;
        return false;
    }
    certificate.replace(":-----BEGIN PGP PUBLIC KEY BLOCK-----", "-----BEGIN PGP PUBLIC KEY BLOCK-----");
    return importKey(certificate);
}

QString GpgHome::listing(bool secret)
{
    return gpg({QStringLiteral("--with-colons"),
                secret ? QStringLiteral("--list-secret-keys") : QStringLiteral("--list-keys")})
        .stdOutText();
}
