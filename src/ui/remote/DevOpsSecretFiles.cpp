#include "ui/remote/DevOpsSecretFiles.h"

#include "core/EncryptedFile.h"
#include "core/LogText.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>

namespace {

bool isUtf8Text(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    const bool valid = !decoder.hasError();
    secureZero(text);
    return valid;
}

// Why the file at path is no variables file to encrypt, or empty. What is
// encrypted here must decrypt here, and decrypting, anything but UTF-8 text
// is taken for the garbage of a wrong password.
QString tfvarsSourceRefusal(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("%1 does not exist").arg(path);
    // A pipe or a device would never end, or never answer.
    if (!info.isFile())
        return QStringLiteral("%1 is not a regular file").arg(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    QByteArray content = file.readAll();
    const QString readError = file.error() == QFileDevice::NoError ? QString() : file.errorString();
    const bool text = isUtf8Text(content);
    secureZero(content);
    if (!readError.isEmpty())
        return QStringLiteral("cannot read %1: %2").arg(path, readError);
    if (!text)
        return QStringLiteral("not a text file: Terraform variable files are UTF-8");
    return QString();
}

// A Python tool such as ansible-vault takes a while to come up on a busy
// machine.
constexpr int toolStartTimeoutMs = 10000;

} // namespace

DevOpsSecretFiles::DevOpsSecretFiles(QObject* parent)
    : QObject(parent)
{
}

// Tool output is untrusted: one line of plain text, whatever it held.
QString DevOpsSecretFiles::failureText(const QString& program, const ToolRunner::Result& result)
{
    const QString said = LogText::escaped(result.stdErrText().simplified());
    if (!result.failure.isEmpty())
        return program + QLatin1Char(' ') + result.failure + (said.isEmpty() ? QString() : QStringLiteral(": ") + said);
    if (said.isEmpty())
        return QStringLiteral("%1 exited with code %2").arg(program).arg(result.exitCode);
    return said;
}

QStringList DevOpsSecretFiles::ansibleVaultArguments(VaultAction action, const QString& path)
{
    const char* verb = action == VaultAction::Encrypt   ? "encrypt"
                       : action == VaultAction::Decrypt ? "decrypt"
                                                        : "view";
    // Without a terminal ansible-vault cannot prompt; reading the password
    // file from standard input keeps the password off the command line.
    return {QString::fromLatin1(verb), QStringLiteral("--vault-password-file"), QStringLiteral("/dev/stdin"), path};
}

QProcessEnvironment DevOpsSecretFiles::ansibleVaultEnvironment(const QProcessEnvironment& inherited,
                                                              const QString& configFile)
{
    // ansible-vault adds every password file and identity it is given,
    // however given, to the one typed here: encrypting then fails for want
    // of a choice, and decrypting succeeds with a wrong typed password.
    QProcessEnvironment environment = inherited;
    for (const QString& name : inherited.keys()) {
        if (name.startsWith(QLatin1String("ANSIBLE_VAULT")) || name == QLatin1String("ANSIBLE_ASK_VAULT_PASS"))
            environment.remove(name);
    }
    // An ansible.cfg (in the working folder, the home folder or named by
    // ANSIBLE_CONFIG) may name them too; this one, empty, is read instead.
    environment.insert(QStringLiteral("ANSIBLE_CONFIG"), configFile);
    return environment;
}

bool DevOpsSecretFiles::runAnsibleVault(VaultAction action, const QString& path, const QString& password)
{
    const QString program = QStringLiteral("ansible-vault");
    if (action == VaultAction::Encrypt)
        Q_EMIT logLine(QStringLiteral("ansible-vault: encrypting ") + path);
    else if (action == VaultAction::Decrypt)
        Q_EMIT logLine(QStringLiteral("ansible-vault: decrypting ") + path);

    // ansible-vault takes only a configuration file named ".cfg" or ".ini".
    QTemporaryFile emptyConfig(QDir::tempPath() + QStringLiteral("/ansible-vault-XXXXXX.cfg"));
    if (!emptyConfig.open()) {
        Q_EMIT logLine(QString::fromUtf8("ansible-vault: failed \u2014 cannot create an empty configuration in ")
                       + QDir::tempPath());
        return false;
    }
    emptyConfig.close();

    ToolRunner::Options options;
    options.standardInput = password.toUtf8();
    options.startTimeoutMs = toolStartTimeoutMs;
    options.finishTimeoutMs = ansibleTimeoutMs;
    options.environment =
        ansibleVaultEnvironment(QProcessEnvironment::systemEnvironment(), emptyConfig.fileName());
    ToolRunner::Result result = ToolRunner::run(program, ansibleVaultArguments(action, path), options);
    secureZero(options.standardInput);

    if (action == VaultAction::View) {
        if (result.succeeded()) {
            Q_EMIT logLine(QStringLiteral("Content:\n") + result.stdOutText());
        } else if (result.finished()) {
            Q_EMIT logLine(QString::fromUtf8("View failed \u2014 check vault password."));
        } else {
            // No password was checked: say what went wrong instead.
            Q_EMIT logLine(QString::fromUtf8("View failed \u2014 ") + failureText(program, result));
        }
        secureZero(result.stdOut);
        return result.succeeded();
    }

    if (!result.succeeded()) {
        Q_EMIT logLine(QString::fromUtf8("ansible-vault: failed \u2014 ") + failureText(program, result));
        return false;
    }
    Q_EMIT logLine((action == VaultAction::Encrypt ? QStringLiteral("ansible-vault: encrypted ")
                                                   : QStringLiteral("ansible-vault: decrypted "))
                   + path);
    return true;
}

QString DevOpsSecretFiles::encryptedTfvarsPath(const QString& source)
{
    return source + QStringLiteral(".enc");
}

QString DevOpsSecretFiles::decryptedTfvarsPath(const QString& source)
{
    if (source.endsWith(QStringLiteral(".enc"), Qt::CaseSensitive))
        return source.chopped(4);
    return source + QStringLiteral(".dec");
}

bool DevOpsSecretFiles::encryptTfvars(const QString& source, const QString& password)
{
    const QString target = encryptedTfvarsPath(source);
    EncryptedFile::Options options;
    options.finishTimeoutMs = opensslTimeoutMs;
    options.privateFolder = false;
    QByteArray passPhrase = password.toUtf8();
    // openssl reads the file itself: the pass phrase alone goes on its
    // standard input. A phrase it would not read whole is refused first.
    QString failure = EncryptedFile::passPhraseRefusal(passPhrase);
    if (failure.isEmpty())
        failure = tfvarsSourceRefusal(source);
    if (failure.isEmpty())
        failure = EncryptedFile::encryptFile(source, target, passPhrase, options);
    secureZero(passPhrase);
    if (!failure.isEmpty()) {
        Q_EMIT logLine(QStringLiteral("Encryption failed: ") + failure);
        return false;
    }
    Q_EMIT logLine(QStringLiteral("Encrypted: ") + target);
    return true;
}

bool DevOpsSecretFiles::decryptTfvars(const QString& source, const QString& password)
{
    const QString target = decryptedTfvarsPath(source);
    EncryptedFile::Options options;
    options.finishTimeoutMs = opensslTimeoutMs;
    QByteArray passPhrase = password.toUtf8();
    QByteArray plain;
    bool refused = false;
    // A phrase openssl would not read whole is refused there.
    QString failure = EncryptedFile::read(source, passPhrase, &plain, options, &refused);
    secureZero(passPhrase);
    // The format has no check of its own: about one wrong password in 256
    // passes openssl's padding check and yields a few bytes of garbage. A
    // variables file is text, so anything else is no decryption; a file
    // that was never text (encrypted elsewhere) looks just the same.
    if (failure.isEmpty() && !isUtf8Text(plain)) {
        failure = QStringLiteral("wrong password, or the file does not hold UTF-8 text "
                                 "(Terraform variable files are UTF-8)");
    } else if (refused) {
        failure = QString::fromUtf8("wrong password or damaged file \u2014 ") + failure;
    }
    // openssl has written nothing anywhere: the plain text goes to its file
    // only now, through a private temporary file that replaces it whole.
    QString writeError;
    if (failure.isEmpty() && !PrivateFiles::writeOwnerOnly(target, plain, &writeError))
        failure = QStringLiteral("cannot write %1: %2").arg(target, writeError);
    secureZero(plain);
    if (!failure.isEmpty()) {
        Q_EMIT logLine(QStringLiteral("Decryption failed: ") + failure);
        return false;
    }
    Q_EMIT logLine(QStringLiteral("Decrypted: ") + target);
    return true;
}

QStringList DevOpsSecretFiles::sopsArguments(SopsAction action, const QString& path)
{
    return {action == SopsAction::Encrypt ? QStringLiteral("--encrypt") : QStringLiteral("--decrypt"),
            QStringLiteral("--in-place"), path};
}

bool DevOpsSecretFiles::runSops(SopsAction action, const QString& path)
{
    const QString program = QStringLiteral("sops");
    const bool encrypt = action == SopsAction::Encrypt;
    Q_EMIT logLine((encrypt ? QStringLiteral("sops: encrypting ") : QStringLiteral("sops: decrypting ")) + path);

    ToolRunner::Options options;
    options.startTimeoutMs = toolStartTimeoutMs;
    options.finishTimeoutMs = sopsTimeoutMs;
    ToolRunner::Result result = ToolRunner::run(program, sopsArguments(action, path), options);
    // --in-place prints nothing worth keeping; whatever did come out stays
    // out of memory.
    secureZero(result.stdOut);
    if (!result.succeeded()) {
        Q_EMIT logLine(QString::fromUtf8("sops: failed \u2014 ") + failureText(program, result));
        return false;
    }
    Q_EMIT logLine((encrypt ? QStringLiteral("sops: encrypted ") : QStringLiteral("sops: decrypted ")) + path);
    return true;
}
