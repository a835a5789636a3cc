// Secret files of the DevOps tab: Ansible vault files with the real
// ansible-vault, Terraform variables files with the real openssl, SOPS files
// with the sops stand-in.
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "ui/remote/DevOpsSecretFiles.h"
#include "ui/remote/DevOpsSecretsTab.h"
#include "ui/remote/SshTerminalWindow.h"

#include "FakeTools.h"
#include "ModalDriver.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <memory>
#include <vector>

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

// Every file of the folder with its bytes: what a failed run must leave as it was.
QMap<QString, QByteArray> folderContents(const QString& path)
{
    QMap<QString, QByteArray> contents;
    for (const QString& name : folderEntries(path))
        contents.insert(name, readFile(QDir(path).filePath(name)));
    return contents;
}

// One of the DevOps tab's secret-file pages in front, a folder of files to
// choose and a driver that answers the dialogs.
class FilesPage
{
public:
    FilesPage(DevOpsSecretsTab& tab, int index)
        : tab(tab)
    {
        pages = tab.findChild<QTabWidget*>(QStringLiteral("devopsPages"));
        log = tab.findChild<QTextEdit*>(QStringLiteral("devopsLog"));
        if (pages && log) {
            pages->setCurrentIndex(index);
            page = pages->widget(index);
            before = log->toPlainText();
        }
    }
    bool ready() const { return page && log; }
    QString path(const QString& name) const { return work.filePath(name); }
    void click(const QString& text) { clickButton(page, text); }
    // What the page's handlers added to the shared log since it was opened.
    QString added() const
    {
        const QString text = log->toPlainText().mid(before.size());
        return before.isEmpty() ? text : text.section(QLatin1Char('\n'), 1, -1);
    }
    QStringList addedLines() const
    {
        const QString text = added();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }

    QTemporaryDir work;
    ModalDriver driver;
    DevOpsSecretsTab& tab;
    QTabWidget* pages = nullptr;
    QTextEdit* log = nullptr;
    QWidget* page = nullptr;

private:
    QString before;
};

// Answers a Yes/No question with No, noting whether No was its default.
ModalDriver::Action answerNo(bool* noIsDefault)
{
    return [noIsDefault](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        QVERIFY2(box, "a question was expected");
        *noIsDefault = box->defaultButton() == box->button(QMessageBox::No);
        box->button(QMessageBox::No)->click();
    };
}

// Types the password into a masked prompt, noting its title and label.
ModalDriver::Action typePassword(const QString& password, QString* seen)
{
    return [password, seen](QWidget* w) {
        auto* input = qobject_cast<QInputDialog*>(w);
        QVERIFY2(input, "a password prompt was expected");
        *seen = input->windowTitle() + QLatin1Char('|') + input->labelText();
        QCOMPARE(input->textEchoMode(), QLineEdit::Password);
        input->setTextValue(password);
        input->accept();
    };
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
        // The pages keep nothing between clicks: one tab serves every test.
        tab = std::make_unique<DevOpsSecretsTab>();
    }
    void cleanupTestCase() { tab.reset(); }

    void tfvarsPaths_data();
    void tfvarsPaths();
    void terraformRoundTrip_data();
    void terraformRoundTrip();
    void terraformWrongPasswordKeepsFile();
    void terraformMissingSource();
    void terraformPassPhraseLimit_data();
    void terraformPassPhraseLimit();
    void terraformNotUtf8Text();
    void terraformWrongPasswordPassingPadding();
    void terraformLookAlikesKept();
    void terraformToolFailures_data();
    void terraformToolFailures();
    void ansibleVaultRealTool();
    void ansibleVaultMissingTool();
    void ansibleVaultTypedPasswordDecides_data();
    void ansibleVaultTypedPasswordDecides();
    void sopsRuns_data();
    void sopsRuns();

    void pages_data();
    void pages();
    void cancelRunsNothing_data();
    void cancelRunsNothing();
    void terraformThroughTab();
    void ansibleThroughTab();
    void sopsThroughTab();
    void sopsEditOpensTerminal();

private:
    std::unique_ptr<DevOpsSecretsTab> tab;
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

void DevOpsFilesTest::terraformPassPhraseLimit_data()
{
    QTest::addColumn<QByteArray>("phrase");   // UTF-8
    QTest::addColumn<QString>("refusal");     // empty: taken whole
    QByteArray digits;
    for (int i = 0; digits.size() < 2000; ++i)
        digits += char('0' + i % 10);
    QByteArray accented;
    for (int i = 0; i < 550; ++i)
        accented += "\xc3\xa9";   // é, two bytes
    const QString tooLong = QStringLiteral("the pass phrase is %1 bytes long, and openssl reads at most 1023 bytes of one");
    const QString lineBreak =
        QStringLiteral("the pass phrase holds a line break, and openssl reads only its first line (at most 1023 bytes)");
    QTest::newRow("1023 bytes") << digits.left(1023) << QString();
    QTest::newRow("1024 bytes") << digits.left(1024) << tooLong.arg(1024);
    QTest::newRow("2000 bytes") << digits << tooLong.arg(2000);
    QTest::newRow("550 x e-acute (1100 bytes)") << accented << tooLong.arg(1100);
    QTest::newRow("line feed") << QByteArray("first\nsecond") << lineBreak;
    QTest::newRow("carriage return") << QByteArray("first\rsecond") << lineBreak;
    QTest::newRow("carriage return and line feed") << QByteArray("first\r\nsecond") << lineBreak;
    QTest::newRow("NUL") << QByteArray("first\0second", 12)
                         << QStringLiteral("the pass phrase holds a NUL character, where openssl would end it (it "
                                           "reads one line of at most 1023 bytes)");
}

// openssl reads a pass phrase on standard input as one line of at most 1023
// bytes: a phrase it would take whole makes a file the openssl CLI opens
// with that exact phrase ("-pass env:", which reads it whole); any other is
// refused with the limit, in both directions, before anything is written.
void DevOpsFilesTest::terraformPassPhraseLimit()
{
    QFETCH(QByteArray, phrase);
    QFETCH(QString, refusal);
    const QString password = QString::fromUtf8(phrase);
    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("prod.tfvars"));
    const QString encrypted = source + QStringLiteral(".enc");
    QVERIFY(writeFile(source, tfvars));

    FakeTools fakes;
    fakes.recordReal(QStringLiteral("openssl"), realOpenssl);
    DevOpsSecretFiles files;
    LogLines log(files);

    if (refusal.isEmpty()) {
        QVERIFY2(files.encryptTfvars(source, password), qPrintable(log.all()));
        QCOMPARE(fakes.standardInput(QStringLiteral("openssl")), phrase + '\n');
        ToolRunner::Options byEnvironment;
        byEnvironment.environment = QProcessEnvironment::systemEnvironment();
        byEnvironment.environment.insert(QStringLiteral("TF_PASS"), password);
        const ToolRunner::Result byHand = ToolRunner::run(
            realOpenssl,
            {QStringLiteral("enc"), QStringLiteral("-d"), QStringLiteral("-aes-256-cbc"), QStringLiteral("-pbkdf2"),
             QStringLiteral("-in"), encrypted, QStringLiteral("-pass"), QStringLiteral("env:TF_PASS")},
            byEnvironment);
        QVERIFY2(byHand.succeeded(), byHand.stdErr.constData());
        QCOMPARE(byHand.stdOut, tfvars);
        // And back, over the plain file.
        QVERIFY(writeFile(source, "replaced\n"));
        QVERIFY2(files.decryptTfvars(encrypted, password), qPrintable(log.all()));
        QCOMPARE(readFile(source), tfvars);
        return;
    }

    // A file the CLI made under another phrase, to be decrypted with this one.
    QVERIFY(opensslEncrypt(source, encrypted, QStringLiteral("other")));
    const QMap<QString, QByteArray> before = folderContents(work.path());
    QVERIFY(!files.encryptTfvars(source, password));
    QVERIFY(!files.decryptTfvars(encrypted, password));
    QCOMPARE(log.lines, (QStringList{QStringLiteral("Encryption failed: ") + refusal,
                                     QStringLiteral("Decryption failed: ") + refusal}));
    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 0);
    QCOMPARE(folderContents(work.path()), before);
}

// This salt, plain text and wrong password give a last block whose padding
// openssl accepts: it reports success with 47 bytes of garbage, which must
// not take the place of the plain file.
void DevOpsFilesTest::terraformWrongPasswordPassingPadding()
{
    QTemporaryDir work;
    const QString plain = work.filePath(QStringLiteral("vars.tfvars"));
    const QString encrypted = plain + QStringLiteral(".enc");
    QVERIFY(writeFile(plain, tfvars));
    QVERIFY(opensslEncrypt(plain, encrypted, QStringLiteral("right"), "0102030405060708"));
    const ToolRunner::Result garbage = opensslDecrypt(encrypted, QStringLiteral("wrong-180"));
    QVERIFY2(garbage.succeeded() && garbage.stdOut.size() == 47, "openssl no longer passes this wrong password");
    const QByteArray existing = "region = \"kept\"\n";
    QVERIFY(writeFile(plain, existing));
    const QStringList before = folderEntries(work.path());

    DevOpsSecretFiles files;
    LogLines log(files);
    QVERIFY(!files.decryptTfvars(encrypted, QStringLiteral("wrong-180")));
    QCOMPARE(log.lines, QStringList{"Decryption failed: wrong password, or the file does not hold UTF-8 text "
                                    "(Terraform variable files are UTF-8)"});
    QCOMPARE(readFile(plain), existing);
    QCOMPARE(folderEntries(work.path()), before);

    QVERIFY(files.decryptTfvars(encrypted, QStringLiteral("right")));
    QCOMPARE(readFile(plain), tfvars);
}

// Only the program's own temporary files, named as only it names them and
// older than any run could be, go with the next encryption: every file that
// merely looks like one stays byte for byte, after an encryption and after
// a failed one.
void DevOpsFilesTest::terraformLookAlikesKept()
{
    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("prod.tfvars"));
    QVERIFY(writeFile(source, tfvars));
    const QString leftover = QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Ab12Cd");
    const QStringList lookAlikes{
        ".prod.tfvars.enc.backup",                  // six characters, as earlier versions swept
        ".prod.tfvars.enc.notes1",
        ".prod.tfvars.enc.Ab12Cd",                  // the form earlier versions made
        "prod.tfvars.enc.sha256",
        "prod.tfvars.enc.tessaril-tmp-Ab12Cd",       // not hidden
        ".prod.tfvars.enc.tessaril-tmp-Ab12C",       // five characters
        ".prod.tfvars.enc.tessaril-tmp-Ab12Cde",     // seven
        ".prod.tfvars.enc.tessaril-tmp-Ab12C!",
        ".prod.tfvars.enc.tessaril-tmp-Ab-2Cd",
        ".prod.tfvars.enc.tessaril-tmp-Ab12Cd.bak",
        ".prod.tfvars.enc.Tessaril-tmp-Ab12Cd",
        ".prod.tfvars.enc.tessaril-tmpAb12Cd",
        ".prod.tfvars.enc.tessaril-tmp-",
        "..prod.tfvars.enc.tessaril-tmp-Ab12Cd",
        ".prod.tfvars.tessaril-tmp-Ab12Cd",          // another file's
        ".staging.tfvars.enc.tessaril-tmp-Ab12Cd",
    };
    const auto age = [](const QString& path, qint64 seconds) {
        QFile file(path);
        return file.open(QIODevice::ReadWrite)
               && file.setFileTime(QDateTime::currentDateTime().addSecs(-seconds), QFileDevice::FileModificationTime);
    };
    for (const QString& name : lookAlikes) {
        QVERIFY(writeFile(work.filePath(name), "Salted__the user's " + name.toUtf8()));
        QVERIFY(age(work.filePath(name), 3600));
    }
    // Of the exact form, yet not a plain file, or written to just now by a
    // run that may still be going: not this sweep's to take.
    QVERIFY(writeFile(work.filePath(QStringLiteral("kept.txt")), "the user's own\n"));
    QVERIFY(QFile::link(work.filePath(QStringLiteral("kept.txt")),
                        work.filePath(QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Link00"))));
    QVERIFY(QDir(work.path()).mkdir(QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Fold00")));
    QVERIFY(writeFile(work.filePath(QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Fresh0")), "Salted__a run going on"));
    // What a killed run left an hour ago.
    QVERIFY(writeFile(work.filePath(leftover), "Salted__half written"));
    QVERIFY(age(work.filePath(leftover), 3600));
    QMap<QString, QByteArray> expected = folderContents(work.path());

    DevOpsSecretFiles files;
    LogLines log(files);
    QVERIFY2(files.encryptTfvars(source, QStringLiteral("pw")), qPrintable(log.all()));
    QMap<QString, QByteArray> after = folderContents(work.path());
    expected.remove(leftover);
    QVERIFY(after.contains(QStringLiteral("prod.tfvars.enc")));
    expected.insert(QStringLiteral("prod.tfvars.enc"), after.value(QStringLiteral("prod.tfvars.enc")));
    QCOMPARE(after, expected);
    QVERIFY(QFileInfo(work.filePath(QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Fold00"))).isDir());

    // A failed encryption: the same sweep, and nothing of its own left.
    FakeTools failing(false);
    for (const char* tool : {"cat", "dirname", "readlink"})
        failing.linkReal(QString::fromLatin1(tool));
    failing.install(QStringLiteral("openssl"));
    failing.answer(QStringLiteral("openssl"), {}, 3, "no space\n");
    QVERIFY(!files.encryptTfvars(source, QStringLiteral("pw")));
    QCOMPARE(failing.callCount(QStringLiteral("openssl")), 1);
    QCOMPARE(folderContents(work.path()), expected);
    QVERIFY(QFileInfo(work.filePath(QStringLiteral(".prod.tfvars.enc.tessaril-tmp-Fold00"))).isDir());
}

// Text that is not UTF-8 (a Latin-1 comment) is refused before anything is
// written, so every file the page makes, it opens; such a file made by hand
// is refused with both possible causes.
void DevOpsFilesTest::terraformNotUtf8Text()
{
    QTemporaryDir work;
    const QString source = work.filePath(QStringLiteral("legacy.tfvars"));
    const QByteArray latin1 = "# caf\xe9 settings\nregion = \"eu-west-1\"\n";
    QVERIFY(writeFile(source, latin1));
    const QMap<QString, QByteArray> before = folderContents(work.path());
    FakeTools fakes;
    fakes.recordReal(QStringLiteral("openssl"), realOpenssl);
    DevOpsSecretFiles files;
    LogLines log(files);
    QVERIFY(!files.encryptTfvars(source, QStringLiteral("pw")));
    QCOMPARE(log.lines, QStringList{"Encryption failed: not a text file: Terraform variable files are UTF-8"});
    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), 0);
    QCOMPARE(folderContents(work.path()), before);

    const QString encrypted = work.filePath(QStringLiteral("byhand.tfvars.enc"));
    QVERIFY(opensslEncrypt(source, encrypted, QStringLiteral("pw")));
    log.lines.clear();
    QVERIFY(!files.decryptTfvars(encrypted, QStringLiteral("pw")));
    QCOMPARE(log.lines, QStringList{"Decryption failed: wrong password, or the file does not hold UTF-8 text "
                                    "(Terraform variable files are UTF-8)"});
    QVERIFY(!QFile::exists(work.filePath(QStringLiteral("byhand.tfvars"))));
}

void DevOpsFilesTest::terraformToolFailures_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("line");
    for (const bool encrypt : {true, false}) {
        const QString prefix = encrypt ? QStringLiteral("Encryption failed: ") : QStringLiteral("Decryption failed: ");
        const char* action = encrypt ? "encrypt" : "decrypt";
        QTest::addRow("%s, missing", action) << encrypt << "missing" << prefix + "openssl failed to start";
        QTest::addRow("%s, hung", action) << encrypt << "hung" << prefix + "openssl timed out after 1500 ms";
    }
    QTest::newRow("encrypt, failing") << true << "failing" << "Encryption failed: openssl exited with code 3: no space";
}

// openssl missing, failing or hung: the reason, and the files as they were.
void DevOpsFilesTest::terraformToolFailures()
{
    QFETCH(bool, encrypt);
    QFETCH(QString, how);
    QFETCH(QString, line);
    QTemporaryDir work;
    const QString plain = work.filePath(QStringLiteral("vars.tfvars"));
    QVERIFY(writeFile(plain, tfvars));
    QVERIFY(opensslEncrypt(plain, plain + QStringLiteral(".enc"), QStringLiteral("pw")));
    const QMap<QString, QByteArray> before = folderContents(work.path());

    FakeTools fakes(false);
    for (const char* tool : {"cat", "dirname", "readlink", "sleep"})
        fakes.linkReal(QString::fromLatin1(tool));
    if (how != QLatin1String("missing"))
        fakes.install(QStringLiteral("openssl"));
    if (how == QLatin1String("failing"))
        fakes.answer(QStringLiteral("openssl"), {}, 3, "no space\n");
    if (how == QLatin1String("hung"))
        fakes.setSleep(QStringLiteral("openssl"), 60);
    DevOpsSecretFiles files;
    files.opensslTimeoutMs = 1500;
    LogLines log(files);
    QVERIFY(encrypt ? !files.encryptTfvars(plain, QStringLiteral("pw"))
                    : !files.decryptTfvars(plain + QStringLiteral(".enc"), QStringLiteral("pw")));
    QCOMPARE(log.lines.size(), 1);
    QVERIFY2(log.lines.first().startsWith(line), qPrintable(log.all()));
    QCOMPARE(folderContents(work.path()), before);
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

void DevOpsFilesTest::ansibleVaultTypedPasswordDecides_data()
{
    // ansible reads one configuration file: the first of ANSIBLE_CONFIG's,
    // the working folder's and the home folder's.
    QTest::addColumn<QString>("where");
    QTest::newRow("environment and the ANSIBLE_CONFIG file") << "environment";
    QTest::newRow("ansible.cfg in the working folder") << "working folder";
    QTest::newRow("~/.ansible.cfg") << "home";
}

// The user has vault password files of their own set up: the real
// ansible-vault still encrypts with the typed password and opens nothing
// with a wrong one.
void DevOpsFilesTest::ansibleVaultTypedPasswordDecides()
{
    QFETCH(QString, where);
    TestHome home;
    QTemporaryDir work;
    const QString otherFile = work.filePath(QStringLiteral("other-password"));
    QVERIFY(writeFile(otherFile, "the other password\n"));
    const QByteArray config = "[defaults]\nvault_password_file = " + otherFile.toUtf8() + "\n";
    std::vector<std::unique_ptr<ScopedEnv>> env;
    const QString before = QDir::currentPath();
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });
    if (where == QLatin1String("environment")) {
        QVERIFY(writeFile(work.filePath(QStringLiteral("mine.cfg")), config));
        env.push_back(std::make_unique<ScopedEnv>("ANSIBLE_CONFIG", QFile::encodeName(work.filePath(QStringLiteral("mine.cfg")))));
        env.push_back(std::make_unique<ScopedEnv>("ANSIBLE_VAULT_PASSWORD_FILE", QFile::encodeName(otherFile)));
        env.push_back(std::make_unique<ScopedEnv>("ANSIBLE_VAULT_IDENTITY_LIST", "other@" + QFile::encodeName(otherFile)));
    } else if (where == QLatin1String("working folder")) {
        QVERIFY(writeFile(work.filePath(QStringLiteral("ansible.cfg")), config));
        QVERIFY(QDir::setCurrent(work.path()));
    } else {
        QVERIFY(writeFile(home.path() + QStringLiteral("/.ansible.cfg"), config));
    }
    const QString path = work.filePath(QStringLiteral("group_vars.yml"));
    QVERIFY(writeFile(path, playbookVars));

    DevOpsSecretFiles files;
    LogLines log(files);
    using Action = DevOpsSecretFiles::VaultAction;
    QVERIFY2(files.runAnsibleVault(Action::Encrypt, path, QStringLiteral("typed")), qPrintable(log.all()));
    log.lines.clear();
    QVERIFY(!files.runAnsibleVault(Action::View, path, QStringLiteral("not it")));
    QCOMPARE(log.lines, QStringList{QString::fromUtf8("View failed \u2014 check vault password.")});
    log.lines.clear();
    QVERIFY2(files.runAnsibleVault(Action::Decrypt, path, QStringLiteral("typed")), qPrintable(log.all()));
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

void DevOpsFilesTest::pages_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QStringList>("buttons");
    QTest::newRow("Ansible Vault")
        << 4 << "Ansible Vault"
        << "Encrypt/decrypt Ansible vault files (YAML). Uses ansible-vault CLI with AES-256 encryption."
        << QStringList{"Encrypt File...", "Decrypt File...", "View Encrypted..."};
    QTest::newRow("Terraform") << 5 << "Terraform"
                               << "Manage Terraform backend credentials and encrypted tfvars files. Store sensitive "
                                  "variables in the encrypted vault."
                               << QStringList{"Encrypt .tfvars...", "Decrypt .tfvars..."};
    QTest::newRow("SOPS") << 6 << "SOPS"
                          << QString::fromUtf8("Mozilla SOPS \u2014 Secrets OPerationS. Encrypt individual values in "
                                               "YAML/JSON files while keeping keys readable. Supports GPG, age, AWS "
                                               "KMS, GCP KMS, and Azure Key Vault as key sources.")
                          << QStringList{"Encrypt File...", "Decrypt File...", "Edit Encrypted..."};
}

void DevOpsFilesTest::pages()
{
    QFETCH(int, index);
    QFETCH(QString, title);
    QFETCH(QString, description);
    QFETCH(QStringList, buttons);
    FilesPage p(*tab, index);
    QVERIFY(p.ready());
    QCOMPARE(p.pages->tabText(index), title);
    QCOMPARE(p.page->findChild<QLabel*>()->text(), description);
    QStringList texts;
    const QList<QPushButton*> found = p.page->findChildren<QPushButton*>();
    for (QPushButton* button : found)
        texts << button->text();
    QCOMPARE(texts, buttons);
    QCOMPARE(found.last()->objectName(), QStringLiteral("secondaryButton"));
}

void DevOpsFilesTest::cancelRunsNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("file");   // empty: the file dialog is cancelled
    QTest::addColumn<bool>("question");  // No at a question, else Cancel at the password
    QTest::newRow("Ansible encrypt, no file") << 4 << "Encrypt File..." << QString() << false;
    QTest::newRow("Ansible decrypt, no password") << 4 << "Decrypt File..." << "site.yml" << false;
    QTest::newRow("Ansible view, no password") << 4 << "View Encrypted..." << "site.yml" << false;
    QTest::newRow("Terraform encrypt, no password") << 5 << "Encrypt .tfvars..." << "dev.tfvars" << false;
    QTest::newRow("Terraform encrypt, No to replacing") << 5 << "Encrypt .tfvars..." << "prod.tfvars" << true;
    QTest::newRow("Terraform decrypt, no file") << 5 << "Decrypt .tfvars..." << QString() << false;
    QTest::newRow("Terraform decrypt, no password") << 5 << "Decrypt .tfvars..." << "vars.tfvars.enc" << false;
    QTest::newRow("Terraform decrypt, No to replacing") << 5 << "Decrypt .tfvars..." << "prod.tfvars.enc" << true;
    QTest::newRow("SOPS encrypt, No to rewriting") << 6 << "Encrypt File..." << "secrets.yaml" << true;
    QTest::newRow("SOPS decrypt, No to rewriting") << 6 << "Decrypt File..." << "secrets.yaml" << true;
    QTest::newRow("SOPS edit, no file") << 6 << "Edit Encrypted..." << QString() << false;
}

// A dialog cancelled or a question answered No: no tool runs, no line is
// logged, no file changes or appears.
void DevOpsFilesTest::cancelRunsNothing()
{
    QFETCH(int, index);
    QFETCH(QString, button);
    QFETCH(QString, file);
    QFETCH(bool, question);
    FakeTools fakes;
    const QStringList tools{QStringLiteral("ansible-vault"), QStringLiteral("openssl"), QStringLiteral("sops")};
    for (const QString& tool : tools)
        fakes.install(tool);
    FilesPage p(*tab, index);
    QVERIFY(p.ready());
    for (const char* name : {"site.yml", "dev.tfvars", "prod.tfvars", "prod.tfvars.enc", "vars.tfvars.enc",
                             "secrets.yaml"})
        QVERIFY(writeFile(p.path(QString::fromLatin1(name)), "content of " + QByteArray(name)));
    const QStringList entries = folderEntries(p.work.path());

    bool noIsDefault = false;
    if (file.isEmpty()) {
        p.driver.cancelInput();
    } else {
        p.driver.chooseFile(p.path(file));
        if (question)
            p.driver.enqueue(answerNo(&noIsDefault));
        else
            p.driver.cancelInput();
    }
    p.click(button);
    QCOMPARE(p.driver.pending(), 0);
    if (question)
        QVERIFY(noIsDefault);
    for (const QString& tool : tools)
        QCOMPARE(fakes.callCount(tool), 0);
    QCOMPARE(p.added(), QString());
    QCOMPARE(folderEntries(p.work.path()), entries);
    for (const QString& name : entries)
        QCOMPARE(readFile(p.path(name)), "content of " + name.toUtf8());
    QVERIFY(p.tab.findChildren<SshTerminalWindow*>().isEmpty());
}

// The tab asks before it replaces a file, and a wrong password or No leaves
// the file there as it was.
void DevOpsFilesTest::terraformThroughTab()
{
    FakeTools fakes;
    fakes.recordReal(QStringLiteral("openssl"), realOpenssl);
    FilesPage p(*tab, 5);
    QVERIFY(p.ready());
    const QString plain = p.path(QStringLiteral("vars.tfvars"));
    const QString encrypted = plain + QStringLiteral(".enc");
    QVERIFY(writeFile(plain, tfvars));
    QVERIFY(opensslEncrypt(plain, encrypted, QStringLiteral("right"), "0102030405060708"));
    const QByteArray kept = "region = \"kept\"\n";
    QVERIFY(writeFile(plain, kept));

    // Decrypting over an existing file: Yes, then a wrong password.
    QString prompt;
    p.driver.chooseFile(encrypted);
    p.driver.pressButton(QMessageBox::Yes);
    p.driver.enqueue(typePassword(QStringLiteral("wrong"), &prompt));
    p.click(QStringLiteral("Decrypt .tfvars..."));
    QCOMPARE(p.driver.titles, (QStringList{"Decrypt tfvars", "Decrypt", "Decrypt"}));
    QCOMPARE(p.driver.texts.at(1), plain + QStringLiteral(" already exists. Replace it?"));
    QCOMPARE(prompt, QStringLiteral("Decrypt|Decryption password:"));
    QCOMPARE(p.addedLines().size(), 1);
    QVERIFY2(p.added().startsWith(QStringLiteral("Decryption failed: ")), qPrintable(p.added()));
    QCOMPARE(readFile(plain), kept);

    // The right one replaces it.
    p.driver.chooseFile(encrypted);
    p.driver.pressButton(QMessageBox::Yes);
    p.driver.typeText(QStringLiteral("right"));
    p.click(QStringLiteral("Decrypt .tfvars..."));
    QCOMPARE(p.addedLines().last(), QStringLiteral("Decrypted: ") + plain);
    QCOMPARE(readFile(plain), tfvars);

    // Encrypting over the existing .enc: No keeps it, Yes replaces it.
    const QByteArray oldEncrypted = readFile(encrypted);
    const int runs = fakes.callCount(QStringLiteral("openssl"));
    bool noIsDefault = false;
    p.driver.chooseFile(plain);
    p.driver.enqueue(answerNo(&noIsDefault));
    p.click(QStringLiteral("Encrypt .tfvars..."));
    QVERIFY(noIsDefault);
    QCOMPARE(p.driver.texts.last(), encrypted + QStringLiteral(" already exists. Replace it?"));
    QCOMPARE(fakes.callCount(QStringLiteral("openssl")), runs);
    QCOMPARE(readFile(encrypted), oldEncrypted);

    p.driver.chooseFile(plain);
    p.driver.pressButton(QMessageBox::Yes);
    p.driver.enqueue(typePassword(QStringLiteral("new pass"), &prompt));
    p.click(QStringLiteral("Encrypt .tfvars..."));
    QCOMPARE(prompt, QStringLiteral("Encrypt|Encryption password:"));
    QCOMPARE(p.addedLines().last(), QStringLiteral("Encrypted: ") + encrypted);
    QCOMPARE(opensslDecrypt(encrypted, QStringLiteral("new pass")).stdOut, tfvars);
    for (int call = 1; call <= fakes.callCount(QStringLiteral("openssl")); ++call)
        QVERIFY(!argumentsMention(fakes.arguments(QStringLiteral("openssl"), call), QStringLiteral("pass:")));
}

void DevOpsFilesTest::ansibleThroughTab()
{
    FakeTools fakes;
    fakes.recordReal(QStringLiteral("ansible-vault"), realAnsibleVault);
    FilesPage p(*tab, 4);
    QVERIFY(p.ready());
    const QString path = p.path(QStringLiteral("group_vars.yml"));
    QVERIFY(writeFile(path, playbookVars));

    QString prompt;
    p.driver.chooseFile(path);
    p.driver.enqueue(typePassword(QStringLiteral("tab pass"), &prompt));
    p.click(QStringLiteral("Encrypt File..."));
    QCOMPARE(prompt, QStringLiteral("Encrypt with Ansible Vault|Vault password:"));
    QCOMPARE(p.addedLines(), (QStringList{QStringLiteral("ansible-vault: encrypting ") + path,
                                          QStringLiteral("ansible-vault: encrypted ") + path}));
    QVERIFY(readFile(path).startsWith("$ANSIBLE_VAULT;1.1;AES256"));

    p.driver.chooseFile(path);
    p.driver.enqueue(typePassword(QStringLiteral("tab pass"), &prompt));
    p.click(QStringLiteral("View Encrypted..."));
    QCOMPARE(prompt, QStringLiteral("View Ansible Vault|Vault password:"));
    // The plain text shows as it is: "<&>" is not taken for markup.
    QVERIFY2(p.added().contains(QStringLiteral("Content:\n") + QString::fromUtf8(playbookVars)), qPrintable(p.added()));
    QCOMPARE(p.driver.titles, (QStringList{"Encrypt with Ansible Vault", "Encrypt with Ansible Vault",
                                           "View Ansible Vault", "View Ansible Vault"}));
    QCOMPARE(fakes.standardInput(QStringLiteral("ansible-vault")), QByteArray("tab pass"));
    QVERIFY(!argumentsMention(fakes.arguments(QStringLiteral("ansible-vault")), QStringLiteral("tab pass")));
}

void DevOpsFilesTest::sopsThroughTab()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("sops"), QStringLiteral("sops"));
    FilesPage p(*tab, 6);
    QVERIFY(p.ready());
    const QString path = p.path(QStringLiteral("app.env"));
    QVERIFY(writeFile(path, "TOKEN=abc\n"));

    p.driver.chooseFile(path);
    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Encrypt File..."));
    QCOMPARE(p.driver.titles, (QStringList{"Encrypt with SOPS", "Encrypt with SOPS"}));
    QCOMPARE(p.driver.texts.last(), QStringLiteral("sops will rewrite %1 in place. Continue?").arg(path));
    QCOMPARE(p.addedLines(),
             (QStringList{QStringLiteral("sops: encrypting ") + path, QStringLiteral("sops: encrypted ") + path}));
    QVERIFY(readFile(path).contains("sops:"));

    fakes.answer(QStringLiteral("sops"), {}, 128, "Failed to get the data key required to decrypt the SOPS file.\n");
    p.driver.chooseFile(path);
    p.driver.pressButton(QMessageBox::Yes);
    p.click(QStringLiteral("Decrypt File..."));
    QCOMPARE(p.addedLines().last(),
             QString::fromUtf8("sops: failed \u2014 Failed to get the data key required to decrypt the SOPS file."));
    QCOMPARE(fakes.arguments(QStringLiteral("sops")),
             (QStringList{QStringLiteral("--decrypt"), QStringLiteral("--in-place"), path}));
    QVERIFY(readFile(path).contains("sops:"));
}

// sops's editor needs a terminal: a window of its own, which goes when closed.
void DevOpsFilesTest::sopsEditOpensTerminal()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("sops"), QStringLiteral("sops"));
    FilesPage p(*tab, 6);
    QVERIFY(p.ready());
    const QString path = p.path(QStringLiteral("secrets.yaml"));
    QVERIFY(writeFile(path, "api_key: abc\n"));

    p.driver.chooseFile(path, [](QFileDialog* dialog) {
        QCOMPARE(dialog->nameFilters(), (QStringList{"Config (*.yaml *.yml *.json)", "All (*)"}));
    });
    p.click(QStringLiteral("Edit Encrypted..."));
    const QList<SshTerminalWindow*> windows = p.tab.findChildren<SshTerminalWindow*>();
    QCOMPARE(windows.size(), 1);
    QPointer<SshTerminalWindow> window = windows.first();
    QVERIFY(window->isVisible());
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    auto* tabs = window->findChild<QTabWidget*>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(tabs->tabText(0), QStringLiteral("secrets.yaml [closed]"), 20000);
    QCOMPARE(fakes.callCount(QStringLiteral("sops")), 1);
    QCOMPARE(fakes.arguments(QStringLiteral("sops")), QStringList{path});
    QVERIFY2(QFileInfo::exists(fakes.stateDir() + QStringLiteral("/sops.1.tty")), "sops ran without a terminal");
    auto* screen = window->findChild<QPlainTextEdit*>();
    QVERIFY(screen);
    QTRY_VERIFY2(screen->toPlainText().contains(QStringLiteral("editing ") + path), qPrintable(screen->toPlainText()));
    QCOMPARE(p.added(), QString());

    window->close();
    QTRY_VERIFY(window.isNull());
}

OT_TEST_MAIN(DevOpsFilesTest)
#include "tst_devopsfiles.moc"
