// Secret files of the DevOps tab: Ansible vault files with the real
// ansible-vault, Terraform variables files with the real openssl, SOPS files
// with the sops stand-in.
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "ui/DevOpsSecretFiles.h"

#include "FakeTools.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString realOpenssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
const QString realAnsibleVault = QStandardPaths::findExecutable(QStringLiteral("ansible-vault"));

const QByteArray tfvars = "db_password = \"hunter2\"\nregion = \"eu-west-1\"\n";
const QByteArray playbookVars = "db_user: admin\ndb_pass: s3cret <&> \"quoted\"\n";

// The lines a service reported, in order.
struct LogLines {
    explicit LogLines(DevOpsSecretFiles& files)
    {
        QObject::connect(&files, &DevOpsSecretFiles::logLine, [this](const QString& line) { lines << line; });
    }
    QString all() const { return lines.join(QLatin1Char('\n')); }
    QStringList lines;
};

// What openssl makes of an encrypted file under a password typed on its
// command line, as a user would check it by hand.
ToolRunner::Result opensslDecrypt(const QString& path, const QString& password)
{
    return ToolRunner::run(realOpenssl, {QStringLiteral("enc"), QStringLiteral("-d"), QStringLiteral("-aes-256-cbc"),
                                         QStringLiteral("-pbkdf2"), QStringLiteral("-in"), path,
                                         QStringLiteral("-pass"), QStringLiteral("pass:") + password});
}

// Encrypts as the tab's earlier versions did, the password on the command
// line; a fixed salt (hexadecimal) makes the file the same on every run.
bool opensslEncrypt(const QString& in, const QString& out, const QString& password, const QByteArray& salt = {})
{
    QStringList args{QStringLiteral("enc"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"),
                     QStringLiteral("-in"), in, QStringLiteral("-out"), out,
                     QStringLiteral("-pass"), QStringLiteral("pass:") + password};
    if (salt.isEmpty())
        return ToolRunner::run(realOpenssl, args).succeeded();
    args << QStringLiteral("-S") << QString::fromLatin1(salt);
    if (!ToolRunner::run(realOpenssl, args).succeeded())
        return false;
    // Given its salt, openssl leaves out the header that carries it.
    return writeFile(out, "Salted__" + QByteArray::fromHex(salt) + readFile(out));
}

bool argumentsMention(const QStringList& arguments, const QString& secret)
{
    for (const QString& argument : arguments) {
        if (argument.contains(secret))
            return true;
    }
    return false;
}

// Everything in the folder, the hidden files included: a write that failed
// must leave no temporary file behind.
QStringList folderEntries(const QString& path)
{
    return QDir(path).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

class DevOpsFilesTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(!realOpenssl.isEmpty(), "openssl is needed");
        QVERIFY2(!realAnsibleVault.isEmpty(), "ansible-vault (Debian's ansible-core) is needed");
    }

    void tfvarsPaths_data();
    void tfvarsPaths();
    void terraformRoundTrip_data();
    void terraformRoundTrip();
    void terraformWrongPasswordKeepsFile();
    void terraformMissingSource();
    void ansibleVaultRealTool();
    void ansibleVaultMissingTool();
    void sopsRuns_data();
    void sopsRuns();
};

void DevOpsFilesTest::tfvarsPaths_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("decrypt");
    QTest::addColumn<QString>("expected");
    QTest::newRow(".enc ending") << "/p/vars.tfvars.enc" << true << "/p/vars.tfvars";
    QTest::newRow("upper-case ENC is not the ending") << "/p/vars.ENC" << true << "/p/vars.ENC.dec";
    QTest::newRow("no ending") << "/p/secrets" << true << "/p/secrets.dec";
    QTest::newRow("encrypt") << "/p/prod.auto.tfvars" << false << "/p/prod.auto.tfvars.enc";
}

void DevOpsFilesTest::tfvarsPaths()
{
    QFETCH(QString, source);
    QFETCH(bool, decrypt);
    QFETCH(QString, expected);
    QCOMPARE(decrypt ? DevOpsSecretFiles::decryptedTfvarsPath(source) : DevOpsSecretFiles::encryptedTfvarsPath(source),
             expected);
}

void DevOpsFilesTest::terraformRoundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("password") << QStringLiteral("correct horse");
    QTest::newRow("empty password") << QString();
    QTest::newRow("non-ASCII password") << QString::fromUtf8("p\u00e4ss w\u00f6rd");
}

// Encrypt writes the format a user can open with openssl by hand, and a file
// made that way decrypts; the password never reaches an argument list, and
// the user's folder keeps its mode.
void DevOpsFilesTest::terraformRoundTrip()
{
    QFETCH(QString, password);
    QTemporaryDir work;
    QVERIFY(QFile::setPermissions(work.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                   | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                   | QFile::ExeOther));
    const QString source = work.filePath(QStringLiteral("prod.auto.tfvars"));
    QVERIFY(writeFile(source, tfvars));

    FakeTools fakes;
    fakes.recordReal(QStringLiteral("openssl"), realOpenssl);
    DevOpsSecretFiles files;
    LogLines log(files);

    QVERIFY2(files.encryptTfvars(source, password), qPrintable(log.all()));
    const QString encrypted = source + QStringLiteral(".enc");
    QCOMPARE(log.lines, QStringList{QStringLiteral("Encrypted: ") + encrypted});
    QVERIFY(PrivateFiles::isOwnerOnly(encrypted));
    QVERIFY(!PrivateFiles::isOwnerOnly(work.path()));
    const ToolRunner::Result byHand = opensslDecrypt(encrypted, password);
    QVERIFY2(byHand.succeeded(), byHand.stdErr.constData());
    QCOMPARE(byHand.stdOut, tfvars);

    // The other way: a file made with the password on openssl's command line.
    const QString madeByHand = work.filePath(QStringLiteral("vars.tfvars.enc"));
    QVERIFY(opensslEncrypt(source, madeByHand, password));
    log.lines.clear();
    QVERIFY2(files.decryptTfvars(madeByHand, password), qPrintable(log.all()));
    const QString decrypted = work.filePath(QStringLiteral("vars.tfvars"));
    QCOMPARE(log.lines, QStringList{QStringLiteral("Decrypted: ") + decrypted});
    QCOMPARE(readFile(decrypted), tfvars);
    QVERIFY(PrivateFiles::isOwnerOnly(decrypted));

    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 2);
    for (int call = 1; call <= 2; ++call) {
        const QStringList arguments = fakes.arguments(QStringLiteral("openssl"), call);
        QVERIFY2(!argumentsMention(arguments, QStringLiteral("pass:")), qPrintable(arguments.join(QLatin1Char(' '))));
        if (!password.isEmpty())
            QVERIFY(!argumentsMention(arguments, password));
        QVERIFY(fakes.standardInput(QStringLiteral("openssl"), call).startsWith(password.toUtf8() + '\n'));
    }
}

// openssl writes garbage before it says "bad decrypt": the existing plain
// file must come through byte for byte, with nothing left beside it.
void DevOpsFilesTest::terraformWrongPasswordKeepsFile()
{
    QTemporaryDir work;
    const QString plain = work.filePath(QStringLiteral("vars.tfvars"));
    const QString encrypted = plain + QStringLiteral(".enc");
    QVERIFY(writeFile(plain, tfvars));
    // This salt and these passwords give a padding openssl rejects (a wrong
    // key passes the padding check about once in 256 salts).
    QVERIFY(opensslEncrypt(plain, encrypted, QStringLiteral("right"), "0102030405060708"));
    const QByteArray existing = "region = \"kept\"\n";
    QVERIFY(writeFile(plain, existing));
    const QStringList before = folderEntries(work.path());

    DevOpsSecretFiles files;
    LogLines log(files);
    QVERIFY(!files.decryptTfvars(encrypted, QStringLiteral("wrong")));
    QCOMPARE(log.lines.size(), 1);
    QVERIFY2(log.lines.first().startsWith(QStringLiteral("Decryption failed: ")), qPrintable(log.all()));
    QVERIFY2(log.lines.first().contains(QStringLiteral("bad decrypt")), qPrintable(log.all()));
    QCOMPARE(readFile(plain), existing);
    QCOMPARE(folderEntries(work.path()), before);
}

void DevOpsFilesTest::terraformMissingSource()
{
    QTemporaryDir work;
    DevOpsSecretFiles files;
    LogLines log(files);
    QVERIFY(!files.encryptTfvars(work.filePath(QStringLiteral("gone.tfvars")), QStringLiteral("pw")));
    QVERIFY(!files.decryptTfvars(work.filePath(QStringLiteral("gone.tfvars.enc")), QStringLiteral("pw")));
    QCOMPARE(log.lines.size(), 2);
    QVERIFY2(log.lines.at(0).startsWith(QStringLiteral("Encryption failed: ")), qPrintable(log.all()));
    QVERIFY2(log.lines.at(1).startsWith(QStringLiteral("Decryption failed: ")), qPrintable(log.all()));
    QVERIFY(folderEntries(work.path()).isEmpty());
}

// The real tool, detached from any terminal: the password goes in on
// standard input only.
void DevOpsFilesTest::ansibleVaultRealTool()
{
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("group_vars.yml"));
    QVERIFY(writeFile(path, playbookVars));
    const QString password = QStringLiteral("vault pass");

    FakeTools fakes;
    fakes.recordReal(QStringLiteral("ansible-vault"), realAnsibleVault);
    DevOpsSecretFiles files;
    LogLines log(files);
    using Action = DevOpsSecretFiles::VaultAction;

    QVERIFY2(files.runAnsibleVault(Action::Encrypt, path, password), qPrintable(log.all()));
    QCOMPARE(log.lines, (QStringList{QStringLiteral("ansible-vault: encrypting ") + path,
                                     QStringLiteral("ansible-vault: encrypted ") + path}));
    const QByteArray vaulted = readFile(path);
    QVERIFY2(vaulted.startsWith("$ANSIBLE_VAULT;1.1;AES256"), vaulted.left(60).constData());

    log.lines.clear();
    QVERIFY2(files.runAnsibleVault(Action::View, path, password), qPrintable(log.all()));
    QCOMPARE(log.lines, QStringList{QStringLiteral("Content:\n") + QString::fromUtf8(playbookVars)});

    // A wrong password: the failure with the tool's reason, the file as it was.
    log.lines.clear();
    QVERIFY(!files.runAnsibleVault(Action::Decrypt, path, QStringLiteral("not it")));
    QCOMPARE(log.lines.size(), 2);
    QCOMPARE(log.lines.at(0), QStringLiteral("ansible-vault: decrypting ") + path);
    QVERIFY2(log.lines.at(1).startsWith(QString::fromUtf8("ansible-vault: failed \u2014 ")), qPrintable(log.all()));
    QVERIFY2(log.lines.at(1).contains(QStringLiteral("Decryption failed")), qPrintable(log.all()));
    QCOMPARE(readFile(path), vaulted);

    log.lines.clear();
    QVERIFY(!files.runAnsibleVault(Action::View, path, QStringLiteral("not it")));
    QCOMPARE(log.lines, QStringList{QString::fromUtf8("View failed \u2014 check vault password.")});

    log.lines.clear();
    QVERIFY2(files.runAnsibleVault(Action::Decrypt, path, password), qPrintable(log.all()));
    QCOMPARE(log.lines.last(), QStringLiteral("ansible-vault: decrypted ") + path);
    QCOMPARE(readFile(path), playbookVars);

    const int calls = fakes.callCount(QStringLiteral("ansible-vault"));
    QCOMPARE(calls, 5);
    for (int call = 1; call <= calls; ++call) {
        const QStringList arguments = fakes.arguments(QStringLiteral("ansible-vault"), call);
        QCOMPARE(arguments.mid(1), (QStringList{QStringLiteral("--vault-password-file"), QStringLiteral("/dev/stdin"),
                                                path}));
        QVERIFY(!argumentsMention(arguments, QStringLiteral("pass ")) && !argumentsMention(arguments, QStringLiteral("not it")));
    }
    QCOMPARE(fakes.standardInput(QStringLiteral("ansible-vault"), 1), password.toUtf8());
}

// No ansible-vault: the reason, not a word about the password.
void DevOpsFilesTest::ansibleVaultMissingTool()
{
    FakeTools onlyFakes(false);
    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("site.yml"));
    QVERIFY(writeFile(path, playbookVars));
    DevOpsSecretFiles files;
    LogLines log(files);

    QVERIFY(!files.runAnsibleVault(DevOpsSecretFiles::VaultAction::Encrypt, path, QStringLiteral("pw")));
    QVERIFY(!files.runAnsibleVault(DevOpsSecretFiles::VaultAction::View, path, QStringLiteral("pw")));
    QCOMPARE(log.lines.size(), 3);
    QVERIFY2(log.lines.at(1).startsWith(QString::fromUtf8("ansible-vault: failed \u2014 ansible-vault failed to start")),
             qPrintable(log.all()));
    QVERIFY2(log.lines.at(2).startsWith(QString::fromUtf8("View failed \u2014 ansible-vault failed to start")),
             qPrintable(log.all()));
    QCOMPARE(readFile(path), playbookVars);
}

void DevOpsFilesTest::sopsRuns_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("scriptedExit");   // -1: the stand-in does what sops does
    QTest::addColumn<QByteArray>("scriptedError");
    QTest::addColumn<QString>("outcome");    // the last line; %1 the path
    QTest::addColumn<QByteArray>("after");   // empty: the file unchanged

    const QByteArray plain = "api_key: abc123\n";
    const QByteArray sealed =
        "data: ENC[AES256_GCM,data:YXBpX2tleTogYWJjMTIzCg==,type:str]\nsops:\n    version: stand-in\n";
    const QString failed = QString::fromUtf8("sops: failed \u2014 ");
    QTest::newRow("encrypt") << true << plain << -1 << QByteArray() << QStringLiteral("sops: encrypted %1") << sealed;
    QTest::newRow("decrypt") << false << sealed << -1 << QByteArray() << QStringLiteral("sops: decrypted %1") << plain;
    QTest::newRow("decrypt a plain file")
        << false << plain << -1 << QByteArray() << failed + QStringLiteral("Error: sops metadata not found")
        << QByteArray();
    QTest::newRow("no key: exit 1 with a reason")
        << true << plain << 1 << QByteArray("config file not found, or has no creation rules\n")
        << failed + QStringLiteral("config file not found, or has no creation rules") << QByteArray();
    QTest::newRow("exit 1 saying nothing")
        << true << plain << 1 << QByteArray() << failed + QStringLiteral("sops exited with code 1") << QByteArray();
}

void DevOpsFilesTest::sopsRuns()
{
    QFETCH(bool, encrypt);
    QFETCH(QByteArray, before);
    QFETCH(int, scriptedExit);
    QFETCH(QByteArray, scriptedError);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, after);

    QTemporaryDir work;
    const QString path = work.filePath(QStringLiteral("secrets.yaml"));
    QVERIFY(writeFile(path, before));
    FakeTools fakes;
    fakes.install(QStringLiteral("sops"), QStringLiteral("sops"));
    if (scriptedExit >= 0)
        fakes.answer(QStringLiteral("sops"), {}, scriptedExit, scriptedError);
    DevOpsSecretFiles files;
    LogLines log(files);

    const bool succeeded =
        files.runSops(encrypt ? DevOpsSecretFiles::SopsAction::Encrypt : DevOpsSecretFiles::SopsAction::Decrypt, path);
    const QString expected = outcome.contains(QStringLiteral("%1")) ? outcome.arg(path) : outcome;
    QCOMPARE(log.lines, (QStringList{(encrypt ? QStringLiteral("sops: encrypting ") : QStringLiteral("sops: decrypting "))
                                         + path,
                                     expected}));
    QCOMPARE(succeeded, !after.isEmpty());
    QCOMPARE(fakes.arguments(QStringLiteral("sops")),
             (QStringList{encrypt ? QStringLiteral("--encrypt") : QStringLiteral("--decrypt"),
                          QStringLiteral("--in-place"), path}));
    QCOMPARE(readFile(path), after.isEmpty() ? before : after);
}

OT_TEST_MAIN(DevOpsFilesTest)
#include "tst_devopsfiles.moc"
