#include "TestPki.h"

#include "TestFiles.h"

#include <QDir>
#include <QLocale>
#include <QStandardPaths>

const QString TestPki::rootExtensions = QStringLiteral(
    "basicConstraints = critical, CA:TRUE\n"
    "keyUsage = critical, keyCertSign, cRLSign\n"
    "subjectKeyIdentifier = hash\n");
const QString TestPki::intermediateExtensions = QStringLiteral(
    "basicConstraints = critical, CA:TRUE, pathlen:0\n"
    "keyUsage = critical, keyCertSign, cRLSign\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid:always\n");
const QString TestPki::codeSigningExtensions = QStringLiteral(
    "basicConstraints = critical, CA:FALSE\n"
    "keyUsage = critical, digitalSignature\n"
    "extendedKeyUsage = codeSigning\n"
    "subjectKeyIdentifier = hash\n"
    "authorityKeyIdentifier = keyid:always\n");

namespace {

QString asnTime(const QDateTime& when)
{
    return when.toUTC().toString(QStringLiteral("yyyyMMddHHmmss")) + QLatin1Char('Z');
}

} // namespace

TestPki::TestPki()
    : dir(QDir::tempPath() + QStringLiteral("/ot-pki-XXXXXX"))
    // The real tool, even when a test has put stand-ins first on PATH.
    , opensslPath(QStandardPaths::findExecutable(
          QStringLiteral("openssl"), {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin"),
                                      QStringLiteral("/bin")}))
{
    if (!dir.isValid()) {
        error = QStringLiteral("cannot create a temporary folder");
        return;
    }
    QDir(dir.path()).mkpath(QStringLiteral("issued"));
    configPath = dir.filePath(QStringLiteral("ca.cnf"));
    // One database for every issuer (the issuer comes on the command line).
    // Serials are random unless a spec names one: the serial file is read
    // only then.
    const QString config = QStringLiteral(
        "[ca]\n"
        "default_ca = ca_default\n"
        "[ca_default]\n"
        "database = %1/index.txt\n"
        "new_certs_dir = %1/issued\n"
        "serial = %1/serial\n"
        "unique_subject = no\n"
        "default_md = sha256\n"
        "policy = policy_any\n"
        "email_in_dn = no\n"
        "copy_extensions = none\n"
        "[policy_any]\n"
        "commonName = optional\n").arg(dir.path());
    if (!writeFile(configPath, config.toUtf8()) || !writeFile(dir.filePath(QStringLiteral("index.txt")), {})) {
        error = QStringLiteral("cannot write the CA configuration");
        return;
    }

    Spec spec;
    spec.subject = QStringLiteral("/CN=Tessaril Test Root CA/O=Ostrevan Test");
    spec.extensions = rootExtensions;
    rootCa = issue(QStringLiteral("root"), spec);
    if (rootCa.isNull())
        return;
    spec.subject = QStringLiteral("/CN=Tessaril Test Intermediate CA/O=Ostrevan Test");
    spec.extensions = intermediateExtensions;
    intermediateCa = issue(QStringLiteral("intermediate"), spec, rootCa);
    if (intermediateCa.isNull())
        return;
    spec.subject = QStringLiteral("/CN=Tessaril Test Code Signing/O=Ostrevan Test");
    spec.extensions = codeSigningExtensions;
    codeSigning = issue(QStringLiteral("leaf"), spec, intermediateCa);
    if (codeSigning.isNull())
        return;

    chain = dir.filePath(QStringLiteral("chain.pem"));
    valid = writeChain(codeSigning, chain);
}

bool TestPki::writeChain(const Issued& leaf, const QString& path)
{
    const QByteArray leafPem = readFile(leaf.certPath);
    const QByteArray intermediatePem = readFile(intermediateCa.certPath);
    if (leafPem.isEmpty() || intermediatePem.isEmpty()) {
        error = QStringLiteral("cannot read the issued certificates");
        return false;
    }
    if (!writeFile(path, leafPem + intermediatePem)) {
        error = QStringLiteral("cannot write ") + path;
        return false;
    }
    return true;
}

TestPki::Issued TestPki::issue(const QString& name, const Spec& spec, const Issued& issuer)
{
    const QString base = dir.filePath(name);
    QString keyPath = spec.keyPath;
    if (keyPath.isEmpty()) {
        keyPath = base + QStringLiteral(".key");
        if (!openssl({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("RSA"),
                      QStringLiteral("-pkeyopt"), QStringLiteral("rsa_keygen_bits:2048"),
                      QStringLiteral("-out"), keyPath}).succeeded())
            return {};
    }
    const QString requestPath = base + QStringLiteral(".csr");
    if (!openssl({QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"), keyPath,
                  QStringLiteral("-subj"), spec.subject, QStringLiteral("-out"), requestPath}).succeeded())
        return {};

    const QString extensionsPath = base + QStringLiteral(".ext");
    if (!writeFile(extensionsPath, QStringLiteral("[ext]\n").toUtf8() + spec.extensions.toUtf8())) {
        error = QStringLiteral("cannot write ") + extensionsPath;
        return {};
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QDateTime notBefore = spec.notBefore.isValid() ? spec.notBefore : now.addDays(-1);
    const QDateTime notAfter = spec.notAfter.isValid() ? spec.notAfter : now.addDays(365);
    const QString certPath = base + QStringLiteral(".crt");
    QStringList arguments{QStringLiteral("ca"), QStringLiteral("-batch"), QStringLiteral("-config"), configPath,
                          QStringLiteral("-in"), requestPath, QStringLiteral("-out"), certPath,
                          QStringLiteral("-notext"), QStringLiteral("-preserveDN"),
                          QStringLiteral("-startdate"), asnTime(notBefore),
                          QStringLiteral("-enddate"), asnTime(notAfter),
                          QStringLiteral("-extfile"), extensionsPath, QStringLiteral("-extensions"),
                          QStringLiteral("ext")};
    if (spec.serial.isEmpty()) {
        arguments << QStringLiteral("-rand_serial");
    } else if (!writeFile(dir.filePath(QStringLiteral("serial")), spec.serial.toLatin1() + '\n')) {
        error = QStringLiteral("cannot write the serial file");
        return {};
    }
    if (issuer.isNull())
        arguments << QStringLiteral("-selfsign") << QStringLiteral("-keyfile") << keyPath;
    else
        arguments << QStringLiteral("-cert") << issuer.certPath << QStringLiteral("-keyfile") << issuer.keyPath;
    if (!openssl(arguments).succeeded())
        return {};
    return {certPath, keyPath};
}

QString TestPki::printedTime(const QDateTime& when)
{
    const QDateTime utc = when.toUTC();
    return QStringLiteral("%1 %2 %3 %4 GMT")
        .arg(QLocale::c().monthName(utc.date().month(), QLocale::ShortFormat))
        .arg(utc.date().day(), 2, 10, QLatin1Char(' '))
        .arg(utc.time().toString(QStringLiteral("HH:mm:ss")))
        .arg(utc.date().year());
}

bool TestPki::toDer(const QString& pemPath, const QString& derPath)
{
    return openssl({QStringLiteral("x509"), QStringLiteral("-in"), pemPath, QStringLiteral("-outform"),
                    QStringLiteral("DER"), QStringLiteral("-out"), derPath}).succeeded();
}

ToolRunner::Result TestPki::openssl(const QStringList& arguments, const QByteArray& input)
{
    ToolRunner::Options options;
    options.standardInput = input;
    options.finishTimeoutMs = 60000;
    const ToolRunner::Result result = ToolRunner::run(opensslPath, arguments, options);
    if (!result.succeeded())
        fail(arguments.join(QLatin1Char(' ')), result);
    return result;
}

void TestPki::fail(const QString& what, const ToolRunner::Result& result)
{
    error = QStringLiteral("openssl %1: %2 %3").arg(what, result.failure, result.stdErrText().trimmed());
}
