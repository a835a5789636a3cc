#include "chain/ChainPki.h"

#include "core/ToolRunner.h"

#include <QDir>
#include <QFile>

namespace {

// openssl ca wants UTCTime, which covers the years these tests use.
QString caTime(const QDateTime& when)
{
    return when.toUTC().toString(QStringLiteral("yyMMddHHmmss")) + QLatin1Char('Z');
}

const char* caConfig = R"(
[ ca ]
default_ca = issuing
[ issuing ]
database = index.txt
new_certs_dir = issued
serial = serial
default_md = sha256
policy = anything
unique_subject = no
email_in_dn = no
[ anything ]
commonName = supplied
organizationName = optional
[ root_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ intermediate_ext ]
basicConstraints = critical, CA:true, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
)";

} // namespace

QDateTime ChainPki::leafNotBefore()
{
    return QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::UTC);
}

QByteArray ChainPki::readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool ChainPki::writeFile(const QString& name, const QByteArray& data)
{
    QFile file(path(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        lastError = QStringLiteral("cannot write ") + path(name);
        return false;
    }
    return true;
}

bool ChainPki::openssl(const QStringList& args)
{
    ToolRunner::Options options;
    options.workingDirectory = dir.path();
    const auto result = ToolRunner::run(QStringLiteral("openssl"), args, options);
    if (!result.succeeded()) {
        lastError = QStringLiteral("openssl %1: %2 %3")
                        .arg(args.join(QLatin1Char(' ')), result.failure, result.stdErrText());
        return false;
    }
    return true;
}

bool ChainPki::create(const QString& aiaUrl)
{
    if (!dir.isValid() || !QDir(dir.path()).mkdir(QStringLiteral("issued"))
        || !writeFile(QStringLiteral("ca.cnf"), caConfig)
        || !writeFile(QStringLiteral("index.txt"), {})
        || !writeFile(QStringLiteral("serial"), "1000\n"))
        return false;

    const QString start = caTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC));
    const QString end = caTime(QDateTime(QDate(2049, 1, 1), QTime(0, 0), Qt::UTC));
    const auto newKey = [this](const QString& name, const QString& subject) {
        return openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-keyout", name + ".key", "-subj", subject, "-out", name + ".csr"});
    };
    if (!newKey("root", "/CN=Test Root")
        || !openssl({"ca", "-config", "ca.cnf", "-batch", "-notext", "-preserveDN", "-selfsign",
                     "-keyfile", "root.key", "-in", "root.csr", "-out", "root.pem",
                     "-extensions", "root_ext", "-startdate", start, "-enddate", end})
        || !newKey("intermediate", "/CN=Test Intermediate")
        || !openssl({"ca", "-config", "ca.cnf", "-batch", "-notext", "-preserveDN",
                     "-cert", "root.pem", "-keyfile", "root.key", "-in", "intermediate.csr",
                     "-out", "intermediate.pem", "-extensions", "intermediate_ext",
                     "-startdate", start, "-enddate", end})
        || !openssl({"x509", "-in", "intermediate.pem", "-outform", "DER", "-out", "intermediate.der"})
        || !openssl({"ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "leaf.key"}))
        return false;

    if (!writeFile(QStringLiteral("serial"), leafSerial().toLatin1() + '\n'))
        return false;
    const QString leaf = issue(QStringLiteral("leaf"), leafSubject(), leafNotBefore(),
                               QDateTime(QDate(2048, 6, 15), QTime(12, 0), Qt::UTC),
                               QStringLiteral("extendedKeyUsage = codeSigning, emailProtection\n"
                                              "authorityInfoAccess = caIssuers;URI:%1\n")
                                   .arg(aiaUrl));
    return !leaf.isEmpty();
}

QString ChainPki::issue(const QString& name, const QString& subject, const QDateTime& notBefore,
                        const QDateTime& notAfter, const QString& extensions)
{
    const QString body = extensions.isEmpty() ? QStringLiteral("extendedKeyUsage = codeSigning\n")
                                              : extensions;
    const QByteArray section = "[ leaf_ext ]\nbasicConstraints = CA:false\n"
                               "keyUsage = critical, digitalSignature\n"
        + body.toUtf8();
    if (!writeFile(name + ".ext", section)
        || !openssl({"req", "-new", "-key", "leaf.key", "-subj", subject, "-out", name + ".csr"})
        || !openssl({"ca", "-config", "ca.cnf", "-batch", "-notext", "-preserveDN",
                     "-cert", "intermediate.pem", "-keyfile", "intermediate.key",
                     "-in", name + ".csr", "-out", name + ".pem",
                     "-extfile", name + ".ext", "-extensions", "leaf_ext",
                     "-startdate", caTime(notBefore), "-enddate", caTime(notAfter)}))
        return {};
    return path(name + ".pem");
}
