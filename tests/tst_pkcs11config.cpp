// The OpenSSL PKCS#11 provider configuration and the URIs that name token keys.
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "signing/Pkcs11Config.h"

#include "SoftHsmToken.h"
#include "TestFiles.h"
#include "TestHome.h"

#include <QApplication>
#include <QDate>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString homebrewProvider = QStringLiteral("/opt/homebrew/lib/ossl-modules/pkcs11prov.dylib");
const QString systemProvider = QStringLiteral("/usr/lib/ossl-modules/pkcs11prov.dylib");
const QString debianProvider = QStringLiteral("/usr/lib/x86_64-linux-gnu/ossl-modules/pkcs11prov.so");
const QString cellarProvider =
    QStringLiteral("/opt/homebrew/Cellar/libp11/%1/lib/ossl-modules/pkcs11prov.dylib");
const QString systemModule = QStringLiteral("/usr/lib/opensc-pkcs11.so");
const QString debianModule = QStringLiteral("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
const QString legacyProvider = QStringLiteral("/usr/lib/x86_64-linux-gnu/ossl-modules/legacy.so");

QStringList logLines(const QSignalSpy& spy)
{
    QStringList lines;
    for (const auto& arguments : spy)
        lines << arguments.at(0).toString();
    return lines;
}

bool place(const QString& path, const QString& linkTarget = QString())
{
    QDir().mkpath(QFileInfo(path).path());
    if (!linkTarget.isEmpty())
        return QFile::link(linkTarget, path);
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

} // namespace

class Pkcs11ConfigTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void detection_data();
    void detection();
    void secondDetectionForgetsARemovedModule();
    void findFileCandidates();
    void generatedFileIsExactAndOwnerOnly();
    void generateRefusesOrFailsCleanly();
    void verifyWithTheRealOpenssl();
    void uris_data();
    void uris();
    void uriNamesTheKeyOnARealToken();
    void typedUriIsNormalized_data();
    void typedUriIsNormalized();
    void uriSyntax_data();
    void uriSyntax();
    void pinTakenOutWherever_data();
    void pinTakenOutWherever();
};

void Pkcs11ConfigTest::detection_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("provider");
    QTest::addColumn<QString>("module");

    QTest::newRow("nothing installed") << QStringList{} << QString() << QString();
    QTest::newRow("Homebrew provider beats every version")
        << QStringList{cellarProvider.arg("0.4.13"), cellarProvider.arg("0.4.9"), homebrewProvider,
                       systemModule}
        << homebrewProvider << systemModule;
    QTest::newRow("versions in descending character order")
        << QStringList{cellarProvider.arg("0.4.13"), cellarProvider.arg("0.4.9"), debianModule}
        << cellarProvider.arg("0.4.9") << debianModule;
    QTest::newRow("Debian locations after the others")
        << QStringList{debianProvider, systemProvider, debianModule} << systemProvider
        << debianModule;
    QTest::newRow("Debian provider, module missing")
        << QStringList{debianProvider} << debianProvider << QString();
}

void Pkcs11ConfigTest::detection()
{
    QFETCH(QStringList, present);
    QFETCH(QString, provider);
    QFETCH(QString, module);
    QTemporaryDir root;
    for (const QString& path : present)
        QVERIFY(place(root.path() + path));

    Pkcs11Config config;
    config.searchRoot = root.path();
    QSignalSpy log(&config, &Pkcs11Config::configLog);
    const bool ready = !provider.isEmpty() && !module.isEmpty();
    QCOMPARE(config.detectPaths(), ready);
    QCOMPARE(config.ready, ready);
    const QString foundProvider = provider.isEmpty() ? QString() : root.path() + provider;
    const QString foundModule = module.isEmpty() ? QString() : root.path() + module;
    QCOMPARE(config.providerPath, foundProvider);
    QCOMPARE(config.modulePath, foundModule);
    QCOMPARE(logLines(log),
             (QStringList{
                 "PKCS11 provider: " + (provider.isEmpty() ? QStringLiteral("NOT FOUND") : foundProvider),
                 "PKCS11 module:   " + (module.isEmpty() ? QStringLiteral("NOT FOUND") : foundModule),
                 ready ? QStringLiteral("Status: Ready")
                       : QStringLiteral("Status: Incomplete \u2014 install libp11 and/or opensc")}));
}

void Pkcs11ConfigTest::secondDetectionForgetsARemovedModule()
{
    QTemporaryDir root;
    QVERIFY(place(root.path() + homebrewProvider));
    QVERIFY(place(root.path() + debianModule));
    Pkcs11Config config;
    config.searchRoot = root.path();
    QVERIFY(config.detectPaths());
    QVERIFY(QFile::remove(root.path() + debianModule));
    QVERIFY(!config.detectPaths());
    QVERIFY(config.modulePath.isEmpty());
    QVERIFY(!config.ready);
    QCOMPARE(config.providerPath, root.path() + homebrewProvider);
}

void Pkcs11ConfigTest::findFileCandidates()
{
    QTemporaryDir root;
    const QString lib = root.path() + QStringLiteral("/lib");
    QVERIFY(QDir().mkpath(lib + QStringLiteral("/folder.dylib")));
    QVERIFY(place(lib + QStringLiteral("/provider.dylib")));
    const Pkcs11Config config;
    // A pattern matches plain files only; an exact path may be a folder.
    QCOMPARE(config.findFile({root.path() + "/missing.so", root.path() + "/nothing/*.dylib",
                              lib + "/*.dylib"}),
             lib + QStringLiteral("/provider.dylib"));
    QCOMPARE(config.findFile({lib + "/*.so", lib + "/folder.dylib"}), lib + "/folder.dylib");
    QCOMPARE(config.findFile({lib + "/*.so"}), QString());
}

void Pkcs11ConfigTest::generatedFileIsExactAndOwnerOnly()
{
    TestHome home;
    QTemporaryDir root;
    QVERIFY(place(root.path() + homebrewProvider));
    QVERIFY(place(root.path() + systemModule));
    const QString path = home.path() + QStringLiteral("/openssl-pkcs11.cnf");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(4096, '#'));
        old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    }

    Pkcs11Config config;
    config.searchRoot = root.path();
    QVERIFY(config.detectPaths());
    QSignalSpy log(&config, &Pkcs11Config::configLog);
    QVERIFY(config.generateConfig(path));
    const QByteArray expected =
        "# OpenSSL 3.x PKCS11 Provider Configuration\n"
        "# Auto-generated by OstrevanTessaril\n"
        "# " + QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd")).toLatin1() + "\n"
        "\n"
        "openssl_conf = openssl_init\n"
        "\n"
        "[openssl_init]\n"
        "providers = provider_sect\n"
        "\n"
        "[provider_sect]\n"
        "default = default_sect\n"
        "pkcs11 = pkcs11_sect\n"
        "\n"
        "[default_sect]\n"
        "activate = 1\n"
        "\n"
        "[pkcs11_sect]\n"
        "module = " + QFile::encodeName(root.path() + homebrewProvider) + "\n"
        "pkcs11-module-path = " + QFile::encodeName(root.path() + systemModule) + "\n"
        "activate = 1\n";
    QCOMPARE(readFile(path), expected);
    QCOMPARE(QFile::permissions(path),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QVERIFY(PrivateFiles::isOwnerOnly(path));
    QCOMPARE(logLines(log), QStringList{"Config written: " + path});
}

void Pkcs11ConfigTest::generateRefusesOrFailsCleanly()
{
    TestHome home;
    const QString path = home.path() + QStringLiteral("/openssl-pkcs11.cnf");
    Pkcs11Config fresh;
    QSignalSpy log(&fresh, &Pkcs11Config::configLog);
    QVERIFY(!fresh.generateConfig(path));
    QCOMPARE(logLines(log),
             QStringList{"Cannot generate config \u2014 paths not detected. Run detectPaths() first."});
    QVERIFY(!QFile::exists(path));

    QTemporaryDir root;
    QVERIFY(place(root.path() + homebrewProvider));
    QVERIFY(place(root.path() + systemModule));
    Pkcs11Config config;
    config.searchRoot = root.path();
    QVERIFY(config.detectPaths());
    QSignalSpy failed(&config, &Pkcs11Config::configLog);
    const QString unwritable = home.path() + QStringLiteral("/no/such/folder/openssl-pkcs11.cnf");
    QVERIFY(!config.generateConfig(unwritable));
    QCOMPARE(logLines(failed), QStringList{"Failed to write: " + unwritable});
}

void Pkcs11ConfigTest::verifyWithTheRealOpenssl()
{
    // Debian packages no PKCS#11 provider; OpenSSL's own legacy provider,
    // loaded under the section name "pkcs11", stands in for it.
    QVERIFY(QFile::exists(legacyProvider));
    TestHome home;
    QTemporaryDir root;
    QVERIFY(place(root.path() + homebrewProvider, legacyProvider));
    QVERIFY(place(root.path() + debianModule));
    const QString path = home.path() + QStringLiteral("/openssl-pkcs11.cnf");

    Pkcs11Config config;
    config.searchRoot = root.path();
    QVERIFY(config.detectPaths());
    QVERIFY(config.generateConfig(path));
    QSignalSpy log(&config, &Pkcs11Config::configLog);
    QVERIFY(config.verifyConfig(path));
    QCOMPARE(logLines(log), QStringList{"Provider verification: PKCS11 provider loaded"});

    // The module gone after the file was written: OpenSSL starts without it.
    QVERIFY(QFile::remove(root.path() + homebrewProvider));
    log.clear();
    QVERIFY(!config.verifyConfig(path));
    const QStringList lines = logLines(log);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("Provider verification: PKCS11 NOT loaded"));
    QVERIFY2(lines.at(1).startsWith(QStringLiteral("Output: Providers:")), qPrintable(lines.at(1)));
    QVERIFY(!lines.at(1).endsWith(QLatin1Char('\n')));
}

void Pkcs11ConfigTest::uris_data()
{
    QTest::addColumn<QStringList>("values"); // model, manufacturer, serial, token, id, object
    QTest::addColumn<QString>("uri");

    QTest::newRow("all empty") << QStringList{"", "", "", "", "", ""}
                               << QStringLiteral("pkcs11:type=private");
    QTest::newRow("token and id")
        << QStringList{"", "", "", "My Token", "01", ""}
        << QStringLiteral("pkcs11:token=My%20Token;id=%01;type=private");
    QTest::newRow("all six in order")
        << QStringList{"YubiKey YK5", "Yubico", "0012a", "PIV", "0A0b", "Key 1"}
        << QStringLiteral("pkcs11:model=YubiKey%20YK5;manufacturer=Yubico;serial=0012a;token=PIV;"
                          "id=%0A%0B;object=Key%201;type=private");
    QTest::newRow("non-ASCII as UTF-8 bytes")
        << QStringList{"", "", "", "Cl\u00e9", "", ""}
        << QStringLiteral("pkcs11:token=Cl%C3%A9;type=private");
    QTest::newRow("reserved characters")
        << QStringList{"", "", "", "a;b=c/d e%f", "", "-._~"}
        << QStringLiteral("pkcs11:token=a%3Bb%3Dc%2Fd%20e%25f;object=-._~;type=private");
    QTest::newRow("id that is not hexadecimal stays text, every byte escaped")
        << QStringList{"", "", "", "", "key 1", ""}
        << QStringLiteral("pkcs11:id=%6B%65%79%20%31;type=private");
}

void Pkcs11ConfigTest::uris()
{
    QFETCH(QStringList, values);
    QFETCH(QString, uri);
    Pkcs11Config config;
    QSignalSpy log(&config, &Pkcs11Config::configLog);
    QCOMPARE(config.buildPkcs11Uri(values.at(0), values.at(1), values.at(2), values.at(3),
                                   values.at(4), values.at(5)),
             uri);
    QCOMPARE(logLines(log), QStringList{"PKCS11 URI: " + uri});
}

void Pkcs11ConfigTest::uriNamesTheKeyOnARealToken()
{
    SoftHsmToken token(QStringLiteral("Signing Token"));
    QVERIFY2(token.isValid(), qPrintable(token.errorString()));
    QVERIFY(token.generateKey(QStringLiteral("01"), QStringLiteral("code signing")));
    const QString data = token.dirPath() + QStringLiteral("/digest");
    {
        QFile file(data);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(32, 'x'));
    }
    Pkcs11Config config;
    const QString uri = config.buildPkcs11Uri(QStringLiteral("SoftHSM v2"),
                                              QStringLiteral("SoftHSM project"), token.serial(),
                                              token.label(), QStringLiteral("01"),
                                              QStringLiteral("code signing"));
    ToolRunner::Options options;
    options.environment = token.environment();
    options.environment.insert(QStringLiteral("PKCS11_MODULE_PATH"), SoftHsmToken::modulePath());
    const auto sign = [&](const QString& keyUri) {
        return ToolRunner::run(QStringLiteral("openssl"),
            {"pkeyutl", "-engine", "pkcs11", "-keyform", "engine", "-inkey",
             keyUri + QStringLiteral("?pin-value=") + token.userPin(), "-sign", "-in", data,
             "-out", token.dirPath() + QStringLiteral("/signature")},
            options);
    };
    const auto r = sign(uri);
    QVERIFY2(r.succeeded(), r.stdErr.constData());
    // The id as two text characters names no key at all.
    QVERIFY(!sign(QString(uri).replace(QStringLiteral("id=%01"), QStringLiteral("id=01"))).succeeded());
}

void Pkcs11ConfigTest::typedUriIsNormalized_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("normalized");
    QTest::newRow("already normal") << "pkcs11:token=My%20Token;id=%01;type=private"
                                    << "pkcs11:token=My%20Token;id=%01;type=private";
    QTest::newRow("blanks and a TAB around it") << " \tpkcs11:token=PIV;type=private \n"
                                                << "pkcs11:token=PIV;type=private";
    QTest::newRow("scheme and names in upper case, values kept")
        << "PKCS11:Token=My%20Token;ID=%0a;Type=private" << "pkcs11:token=My%20Token;id=%0A;type=private";
    QTest::newRow("percent-encoded name") << "pkcs11:%74oken=PIV;pin%2Dvalue=1234"
                                          << "pkcs11:token=PIV;pin-value=1234";
    QTest::newRow("query and empty attributes") << "pkcs11:;token=PIV;;?PIN-Value=12&&module-name=x"
                                                << "pkcs11:token=PIV?pin-value=12&module-name=x";
    QTest::newRow("a key file is only trimmed") << "  /home/me/Key File.pem " << "/home/me/Key File.pem";
}

void Pkcs11ConfigTest::typedUriIsNormalized()
{
    QFETCH(QString, typed);
    QFETCH(QString, normalized);
    QCOMPARE(Pkcs11Config::normalizedUri(typed), normalized);
    QCOMPARE(Pkcs11Config::normalizedUri(normalized), normalized);
}

void Pkcs11ConfigTest::uriSyntax_data()
{
    QTest::addColumn<QString>("uri");
    QTest::addColumn<QString>("problem");   // empty: well formed
    QTest::newRow("built by the page") << "pkcs11:token=My%20Token;id=%01;type=private" << "";
    QTest::newRow("characters the path leaves free") << "pkcs11:object=a:b[c]@!$&'()*+,=d;id=%0a%FF" << "";
    QTest::newRow("characters the query leaves free") << "pkcs11:token=T?module-path=/usr/lib/p11.so|x?y" << "";
    QTest::newRow("a key file") << "/home/me/key file.pem" << "";
    QTest::newRow("bad escape") << "pkcs11:token=T;id=%zz"
                                << "The PKCS11 URI's id holds \"%zz\", which is no percent-escape: an escape is "
                                   "'%' and two hexadecimal digits, and a '%' itself is written %25.";
    QTest::newRow("escape cut at the end") << "pkcs11:token=T%4" << "The PKCS11 URI's token holds \"%4\"";
    QTest::newRow("raw bytes beside escapes in the id") << "pkcs11:token=T;id=ab%01"
                                                        << "Key id must be percent-encoded bytes, e.g. id=%01";
    QTest::newRow("id as bare hex") << "pkcs11:id=01" << "Key id must be percent-encoded bytes, e.g. id=%01";
    QTest::newRow("TAB in a value") << "pkcs11:token=My\tToken"
                                    << "The PKCS11 URI's token holds a TAB: write it percent-encoded, as %09.";
    QTest::newRow("line break in a value") << "pkcs11:object=a\nb;id=%01"
                                           << "The PKCS11 URI's object holds a line break: write it "
                                              "percent-encoded, as %0A.";
    QTest::newRow("space") << "pkcs11:token=My Token"
                           << "The PKCS11 URI holds a space: write it as %20 (e.g. token=My%20Token).";
    QTest::newRow("non-ASCII letter") << "pkcs11:token=Cl\u00e9"
                                      << "The PKCS11 URI's token holds \"\u00e9\": write it percent-encoded, as %C3%A9.";
    QTest::newRow("slash in the path") << "pkcs11:object=a/b" << "The PKCS11 URI's object holds \"/\"";
    QTest::newRow("raw ; in a value") << "pkcs11:object=sign;key;id=%01"
                                      << "The PKCS11 URI part \"key\" is no attribute: a ';' inside a value must "
                                         "be written %3B.";
    QTest::newRow("name hidden by a bad escape") << "pkcs11:%zzpin-value=1234;id=%01"
                                                 << "The PKCS11 URI has an attribute named \"%zzpin-value\", "
                                                    "which is no attribute name.";
    // The reason never quotes a PIN back.
    QTest::newRow("raw ; in the PIN") << "pkcs11:pin-value=12;34;id=%01"
                                      << "The PKCS11 URI's pin-value holds a ';': write it as %3B.";
    QTest::newRow("non-ASCII character in the PIN") << "pkcs11:id=%01;pin-value=3\u00e94"
                                                    << "The PKCS11 URI's pin-value holds a character that must be "
                                                       "percent-encoded.";
    QTest::newRow("bad escape in the PIN") << "pkcs11:id=%01?pin-value=12%zz34"
                                           << "The PKCS11 URI's pin-value holds a '%' that starts no "
                                              "percent-escape: write a '%' itself as %25.";
}

void Pkcs11ConfigTest::uriSyntax()
{
    QFETCH(QString, uri);
    QFETCH(QString, problem);
    const QString found = Pkcs11Config::uriProblem(uri);
    if (problem.isEmpty())
        QCOMPARE(found, QString());
    else
        QVERIFY2(found.startsWith(problem), qPrintable(found));
    if (uri.contains(QLatin1String("pin-value")))
        QVERIFY2(!found.contains(QLatin1String("34")) && !found.contains(QChar(0xe9)), qPrintable(found));
}

void Pkcs11ConfigTest::pinTakenOutWherever_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");
    QTest::addColumn<QString>("pin");
    QTest::addColumn<bool>("source");
    QTest::newRow("first") << "pkcs11:pin-value=4242;token=T;id=%01" << "pkcs11:token=T;id=%01" << "4242" << false;
    QTest::newRow("alone") << "pkcs11:pin-value=4242" << "pkcs11:" << "4242" << false;
    QTest::newRow("middle") << "pkcs11:token=T;pin-value=4242;id=%01" << "pkcs11:token=T;id=%01" << "4242" << false;
    QTest::newRow("last") << "pkcs11:token=T;pin-value=4242" << "pkcs11:token=T" << "4242" << false;
    QTest::newRow("upper case") << "PKCS11:PIN-Value=4242;token=T" << "pkcs11:token=T" << "4242" << false;
    QTest::newRow("encoded name and value") << "pkcs11:%70in%2dvalue=%34%32%34%32;token=T" << "pkcs11:token=T"
                                            << "4242" << false;
    QTest::newRow("query, beside another") << "pkcs11:token=T?module-name=m&pin-value=4242"
                                           << "pkcs11:token=T?module-name=m" << "4242" << false;
    QTest::newRow("query alone") << "pkcs11:token=T?pin-value=4242" << "pkcs11:token=T" << "4242" << false;
    QTest::newRow("pin-source first") << "pkcs11:pin-source=file:/p;token=T" << "pkcs11:token=T" << "" << true;
    QTest::newRow("a key file") << " /keys/pin-value=1.pem " << "/keys/pin-value=1.pem" << "" << false;
}

void Pkcs11ConfigTest::pinTakenOutWherever()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);
    QFETCH(QString, pin);
    QFETCH(bool, source);
    QString found;
    bool hadSource = false;
    QCOMPARE(Pkcs11Config::withoutPin(typed, &found, &hadSource), kept);
    QCOMPARE(found, pin);
    QCOMPARE(hadSource, source);
}

OT_TEST_MAIN(Pkcs11ConfigTest)
#include "tst_pkcs11config.moc"
