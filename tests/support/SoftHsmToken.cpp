#include "SoftHsmToken.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

const char* const confVariable = "SOFTHSM2_CONF";

QString softhsmUtil()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("softhsm2-util"));
    return found.isEmpty() ? QStringLiteral("/usr/bin/softhsm2-util") : found;
}

QString percentEncoded(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toPercentEncoding());
}

} // namespace

QString SoftHsmToken::modulePath()
{
    return QStringLiteral("/usr/lib/softhsm/libsofthsm2.so");
}

bool SoftHsmToken::available()
{
    return QFileInfo::exists(modulePath()) && QFileInfo(softhsmUtil()).isExecutable();
}

SoftHsmToken::SoftHsmToken(const QString& label, const QString& userPin, const QString& soPin)
    : dir(QDir::tempPath() + QStringLiteral("/ot-softhsm-XXXXXX"))
    , tokenLabel(label)
    , pin(userPin)
    , securityOfficerPin(soPin)
    , oldConf(qgetenv(confVariable))
    , hadConf(qEnvironmentVariableIsSet(confVariable))
{
    const QString tokens = dir.path() + QStringLiteral("/tokens");
    QDir().mkpath(tokens);
    QFile conf(confPath());
    if (!conf.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write ") + confPath();
        return;
    }
    conf.write("directories.tokendir = " + QFile::encodeName(tokens) + "\n"
               "objectstore.backend = file\n"
               "log.level = ERROR\n"
               "slots.removable = false\n");
    conf.close();
    qputenv(confVariable, QFile::encodeName(confPath()));

    const auto init = ToolRunner::run(softhsmUtil(),
        {QStringLiteral("--init-token"), QStringLiteral("--free"), QStringLiteral("--label"), label,
         QStringLiteral("--so-pin"), soPin, QStringLiteral("--pin"), userPin});
    if (!init.succeeded()) {
        fail(QStringLiteral("softhsm2-util --init-token"), init);
        return;
    }
    // "The token has been initialized and is reassigned to slot 123456789"
    const auto slotMatch = QRegularExpression(QStringLiteral("reassigned to slot (\\d+)"))
                               .match(init.stdOutText());
    if (!slotMatch.hasMatch()) {
        error = QStringLiteral("no slot in: ") + init.stdOutText();
        return;
    }
    slot = slotMatch.captured(1).toULongLong();

    const auto show = ToolRunner::run(softhsmUtil(), {QStringLiteral("--show-slots")});
    if (!show.succeeded()) {
        fail(QStringLiteral("softhsm2-util --show-slots"), show);
        return;
    }
    // "Slot <id>" opens each slot's block; "Slot info:" lines sit inside it.
    const QRegularExpression slotHeader(QStringLiteral("^Slot (\\d+)$"));
    bool inSlot = false;
    for (const QString& line : show.stdOutText().split(QLatin1Char('\n'))) {
        const QString t = line.trimmed();
        const auto header = slotHeader.match(t);
        if (header.hasMatch())
            inSlot = header.captured(1).toULongLong() == slot;
        else if (inSlot && t.startsWith(QStringLiteral("Serial number:")))
            serialNumber = t.mid(t.indexOf(QLatin1Char(':')) + 1).trimmed();
    }
    if (serialNumber.isEmpty()) {
        error = QStringLiteral("no serial number for slot ") + QString::number(slot);
        return;
    }
    valid = true;
}

SoftHsmToken::~SoftHsmToken()
{
    if (hadConf)
        qputenv(confVariable, oldConf);
    else
        qunsetenv(confVariable);
}

QString SoftHsmToken::confPath() const
{
    return dir.path() + QStringLiteral("/softhsm2.conf");
}

QProcessEnvironment SoftHsmToken::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(confVariable), confPath());
    return env;
}

QString SoftHsmToken::keyUri(const QString& hexId) const
{
    return QStringLiteral("pkcs11:token=") + percentEncoded(tokenLabel.toUtf8())
           + QStringLiteral(";id=") + percentEncoded(QByteArray::fromHex(hexId.toLatin1()))
           + QStringLiteral(";type=private");
}

bool SoftHsmToken::fail(const QString& what, const ToolRunner::Result& result)
{
    error = QStringLiteral("%1 failed (exit %2%3): %4 %5")
                .arg(what)
                .arg(result.exitCode)
                .arg(result.failure.isEmpty() ? QString() : QStringLiteral(", ") + result.failure,
                     result.stdOutText().trimmed(), result.stdErrText().trimmed());
    return false;
}

ToolRunner::Result SoftHsmToken::runPkcs11Tool(const QStringList& arguments, bool login) const
{
    QStringList args{QStringLiteral("--module"), modulePath(), QStringLiteral("--slot"),
                     QString::number(slot)};
    if (login)
        args << QStringLiteral("--login") << QStringLiteral("--pin") << pin;
    args << arguments;
    ToolRunner::Options options;
    options.environment = environment();
    return ToolRunner::run(QStringLiteral("/usr/bin/pkcs11-tool"), args, options);
}

bool SoftHsmToken::generateKey(const QString& hexId, const QString& objectLabel,
                               const QString& keyType)
{
    const auto r = runPkcs11Tool({QStringLiteral("--keypairgen"), QStringLiteral("--key-type"),
                                  keyType, QStringLiteral("--id"), hexId,
                                  QStringLiteral("--label"), objectLabel,
                                  QStringLiteral("--usage-sign")},
                                 true);
    return r.succeeded() || fail(QStringLiteral("pkcs11-tool --keypairgen"), r);
}

bool SoftHsmToken::importKey(const QString& pemPath, const QString& hexId,
                             const QString& objectLabel)
{
    ToolRunner::Options options;
    options.environment = environment();
    const auto r = ToolRunner::run(softhsmUtil(),
        {QStringLiteral("--import"), pemPath, QStringLiteral("--token"), tokenLabel,
         QStringLiteral("--label"), objectLabel, QStringLiteral("--id"), hexId,
         QStringLiteral("--pin"), pin},
        options);
    return r.succeeded() || fail(QStringLiteral("softhsm2-util --import"), r);
}

bool SoftHsmToken::importCertificate(const QString& certPath, const QString& hexId,
                                     const QString& objectLabel)
{
    const auto r = runPkcs11Tool({QStringLiteral("--write-object"), certPath,
                                  QStringLiteral("--type"), QStringLiteral("cert"),
                                  QStringLiteral("--id"), hexId,
                                  QStringLiteral("--label"), objectLabel},
                                 true);
    return r.succeeded() || fail(QStringLiteral("pkcs11-tool --write-object"), r);
}
