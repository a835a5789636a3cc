#include "piv/OpenscBridge.h"

#include "core/SecureZero.h"
#include "core/ToolRunner.h"
#include "piv/Pkcs11Modules.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QProcessEnvironment>

namespace {

struct SecretOption {
    const char* option;
    const char* variable;
};

// pkcs11-tool reads each of these as "env:NAME" from its environment, which
// other users cannot read the way they can read a command line.
const SecretOption secretOptions[] = {
    {"--pin", "OT_PKCS11_PIN"},
    {"--so-pin", "OT_PKCS11_SO_PIN"},
    {"--new-pin", "OT_PKCS11_NEW_PIN"},
    {"--puk", "OT_PKCS11_PUK"},
};

QStringList secretOptionNames()
{
    QStringList names;
    for (const SecretOption& secret : secretOptions)
        names << QLatin1String(secret.option);
    return names;
}

OpenscBridge::CmdResult fromRun(const ToolRunner::Result& run, const QString& toolName)
{
    OpenscBridge::CmdResult result;
    result.exitCode = run.exitCode;
    result.output = run.stdOut;
    result.stdOut = run.stdOutText();
    result.stdErr = run.stdErrText();
    if (!run.failure.isEmpty()) {
        // Without this a hung or missing tool would leave only "exit=-1" behind.
        if (!result.stdErr.trimmed().isEmpty())
            result.stdErr = result.stdErr.trimmed() + QLatin1Char('\n');
        else
            result.stdErr.clear();
        result.stdErr += toolName + QLatin1Char(' ') + run.failure;
    }
    return result;
}

// Everything after the first ":", trimmed; empty when there is no ":".
QString valueAfterColon(const QString& line)
{
    const qsizetype colon = line.indexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : line.mid(colon + 1).trimmed();
}

QString slotArgument(int slot)
{
    return QString::number(slot);
}

} // namespace

OpenscBridge::OpenscBridge(QObject* parent)
    : QObject(parent)
    , pkcs11ToolPath(ToolRunner::findTool(QStringLiteral("pkcs11-tool")))
    , openscToolPath(ToolRunner::findTool(QStringLiteral("opensc-tool")))
    , modulePath(Pkcs11Modules::find(Pkcs11Modules::openscModule()))
{
}

bool OpenscBridge::isAvailable() const
{
    return QFile::exists(pkcs11ToolPath);
}

QString OpenscBridge::pkcs11ModulePath() const
{
    return modulePath;
}

OpenscBridge::CmdResult OpenscBridge::runPkcs11Tool(const QStringList& callerArgs, int timeoutMs)
{
    QStringList args = callerArgs;
    if (!toolModulePath.isEmpty())
        args = QStringList{QStringLiteral("--module"), toolModulePath} + args;
    QStringList toolArgs = args;
    QProcessEnvironment environment;
    for (qsizetype i = 0; i + 1 < toolArgs.size(); ++i) {
        for (const SecretOption& secret : secretOptions) {
            if (toolArgs.at(i) != QLatin1String(secret.option))
                continue;
            // An empty PIN is no secret, and "--pin" must still be followed
            // by its (empty) value.
            if (!toolArgs.at(i + 1).isEmpty()) {
                if (environment.isEmpty())
                    environment = QProcessEnvironment::systemEnvironment();
                const QString variable = QLatin1String(secret.variable);
                environment.insert(variable, toolArgs.at(i + 1));
                toolArgs[i + 1] = QStringLiteral("env:") + variable;
            }
            ++i;
            break;
        }
    }

    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    options.environment = environment;
    const CmdResult result = fromRun(ToolRunner::run(pkcs11ToolPath, toolArgs, options),
                                     QStringLiteral("pkcs11-tool"));

    // One substitution pass: an argument holding "%1" (a file path may) must
    // not take the exit code's place.
    const QString shown = ToolRunner::maskedArguments(args, secretOptionNames()).join(QLatin1Char(' '));
    Q_EMIT commandOutput(
        QStringLiteral("[pkcs11-tool %1] exit=%2").arg(shown, QString::number(result.exitCode)));
    if (result.exitCode != 0 && !result.stdErr.isEmpty())
        Q_EMIT commandError(result.stdErr.trimmed());
    return result;
}

OpenscBridge::CmdResult OpenscBridge::runOpenscTool(const QStringList& args, int timeoutMs)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    return fromRun(ToolRunner::run(openscToolPath, args, options), QStringLiteral("opensc-tool"));
}

QList<Pkcs11SlotInfo> OpenscBridge::listSlots()
{
    QList<Pkcs11SlotInfo> found;
    const CmdResult r = runPkcs11Tool({QStringLiteral("--list-token-slots")}, operationTimeoutMs);
    if (r.exitCode != 0)
        return found;

    Pkcs11SlotInfo current;
    bool open = false;
    for (const QString& line : r.stdOut.split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1String("Slot"))) {
            if (open)
                found << current;
            current = Pkcs11SlotInfo();
            // "Slot 0 (0x1): reader name": the index, not the hexadecimal id.
            const QStringList words = t.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            bool ok = false;
            const int id = words.size() > 1 ? words.at(1).toInt(&ok, 10) : 0;
            current.slotId = ok ? id : 0;
            const qsizetype colon = t.indexOf(QLatin1Char(':'));
            current.description = colon < 0 ? t : t.left(colon);
            open = true;
        } else if (t.startsWith(QLatin1String("token label"))) {
            current.tokenLabel = valueAfterColon(t);
            current.tokenPresent = true;
        } else if (t.startsWith(QLatin1String("token manufacturer"))) {
            current.manufacturer = valueAfterColon(t);
        } else if (t.startsWith(QLatin1String("token model"))) {
            current.model = valueAfterColon(t);
        } else if (t.startsWith(QLatin1String("serial num"))) {
            current.serialNumber = valueAfterColon(t);
        } else if (t.startsWith(QLatin1String("token flags"))) {
            current.flags = valueAfterColon(t);
        }
    }
    if (open)
        found << current;
    return found;
}

QString OpenscBridge::printedSlotId(const Pkcs11SlotInfo& slot)
{
    static const QRegularExpression printed(QStringLiteral("^Slot\\s+\\S+\\s+\\((0x[0-9a-fA-F]+)\\)"));
    return printed.match(slot.description).captured(1);
}

QList<Pkcs11ObjectInfo> OpenscBridge::listObjects(int slot, const QString& pin)
{
    QList<Pkcs11ObjectInfo> objects;
    QStringList args{QStringLiteral("--list-objects"), QStringLiteral("--slot"), slotArgument(slot)};
    if (!pin.isEmpty())
        args << QStringLiteral("--login") << QStringLiteral("--pin") << pin;
    const CmdResult r = runPkcs11Tool(args, operationTimeoutMs);
    if (r.exitCode != 0)
        return objects;

    Pkcs11ObjectInfo current;
    bool open = false;
    for (const QString& line : r.stdOut.split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        if (t.startsWith(QLatin1String("Certificate Object"))
            || t.startsWith(QLatin1String("Public Key Object"))
            || t.startsWith(QLatin1String("Private Key Object"))) {
            if (open)
                objects << current;
            current = Pkcs11ObjectInfo();
            if (t.contains(QLatin1String("Certificate")))
                current.type = QStringLiteral("certificate");
            else if (t.contains(QLatin1String("Public")))
                current.type = QStringLiteral("public-key");
            else
                current.type = QStringLiteral("private-key");
            open = true;
        } else if (t.startsWith(QLatin1String("label:"))) {
            current.label = valueAfterColon(t);
        } else if (t.startsWith(QLatin1String("ID:"))) {
            current.id = valueAfterColon(t);
        }
    }
    if (open)
        objects << current;
    return objects;
}

bool OpenscBridge::generateKeyPair(int slot, const QString& keyType, const QString& id,
                                   const QString& label, const QString& pin)
{
    return runPkcs11Tool({QStringLiteral("--keypairgen"), QStringLiteral("--key-type"), keyType,
                          QStringLiteral("--slot"), slotArgument(slot), QStringLiteral("--id"), id,
                          QStringLiteral("--label"), label, QStringLiteral("--login"),
                          QStringLiteral("--pin"), pin, QStringLiteral("--usage-sign")},
                         operationTimeoutMs)
               .exitCode
           == 0;
}

bool OpenscBridge::writeCertificate(int slot, const QString& certPath, const QString& id,
                                    const QString& pin)
{
    return runPkcs11Tool({QStringLiteral("--write-object"), certPath, QStringLiteral("--type"),
                          QStringLiteral("cert"), QStringLiteral("--slot"), slotArgument(slot),
                          QStringLiteral("--id"), id, QStringLiteral("--login"),
                          QStringLiteral("--pin"), pin},
                         operationTimeoutMs)
               .exitCode
           == 0;
}

bool OpenscBridge::readCertificate(int slot, const QString& id, const QString& outputPath)
{
    return runPkcs11Tool({QStringLiteral("--read-object"), QStringLiteral("--type"),
                          QStringLiteral("cert"), QStringLiteral("--slot"), slotArgument(slot),
                          QStringLiteral("--id"), id, QStringLiteral("--output-file"), outputPath},
                         operationTimeoutMs)
               .exitCode
           == 0;
}

bool OpenscBridge::deleteObject(int slot, const QString& type, const QString& id,
                                const QString& pin)
{
    return runPkcs11Tool({QStringLiteral("--delete-object"), QStringLiteral("--type"), type,
                          QStringLiteral("--slot"), slotArgument(slot), QStringLiteral("--id"), id,
                          QStringLiteral("--login"), QStringLiteral("--pin"), pin},
                         operationTimeoutMs)
               .exitCode
           == 0;
}

QByteArray OpenscBridge::decrypt(const QString& slotId, const QString& id, const QByteArray& ciphertext,
                                 const QString& pin)
{
    if (slotId.isEmpty())
        return {};
    // The ciphertext is no secret and goes in a file; the plain text is, and
    // comes back on the tool's standard output alone: no file ever holds it.
    QTemporaryDir dir;
    if (!dir.isValid())
        return {};
    const QString inputPath = dir.filePath(QStringLiteral("input.bin"));
    QFile input(inputPath);
    if (!input.open(QIODevice::WriteOnly) || input.write(ciphertext) != ciphertext.size())
        return {};
    input.close();
    CmdResult r = runPkcs11Tool(
        {QStringLiteral("--decrypt"), QStringLiteral("-m"), QStringLiteral("RSA-PKCS"), QStringLiteral("--slot"),
         slotId, QStringLiteral("--id"), id, QStringLiteral("--login"), QStringLiteral("--pin"), pin,
         QStringLiteral("--input-file"), inputPath},
        operationTimeoutMs);
    QByteArray plain;
    if (r.exitCode == 0)
        plain.swap(r.output);
    secureZero(r.output);
    secureZero(r.stdOut);
    return plain;
}
