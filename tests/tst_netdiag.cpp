// Network diagnostics: each check with the real tools against servers of the
// test's own on loopback (a DNS responder, a TCP listener, openssl s_server,
// sshd), what each says when nothing usable comes back, the window answering
// while a check runs, the host refusals, and stand-ins only where a failure
// must be forced.
#include "ui/remote/NetworkDiagnosticsDialog.h"

#include "AccountHome.h"
#include "FakeTools.h"
#include "LoopbackDns.h"
#include "LoopbackSshd.h"
#include "TestFiles.h"
#include "TestHome.h"
#include "TestPki.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <memory>

class NetDiagTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { accountHome = std::make_unique<AccountHome>(); }
    void cleanupTestCase();
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void layout();
    void blankHostDoesNothing();
    void hostValidation_data();
    void hostValidation();
    void portField();
    void resultsArePlainText();

    void ping();
    void dns();
    void portCheck();
    void portCheckWithoutNc();
    void tlsCertificate();
    void tlsNameIsVerified_data();
    void tlsNameIsVerified();
    void verdicts_data();
    void verdicts();
    void pingKeepsTheWindowAnsweringAndCancelEndsIt();
    void traceroute();
    void sshHostKeys();

private:
    std::unique_ptr<AccountHome> accountHome;
    std::unique_ptr<TestHome> home;
};

namespace {

const QStringList checks{"Ping", "DNS Lookup", "Port Check", "SSL Cert Check", "Traceroute", "SSH Fingerprint"};
const QStringList tools{"ping", "dig", "nc", "openssl", "traceroute", "ssh-keyscan", "ssh-keygen"};

void setFields(NetworkDiagnosticsDialog& dialog, const QString& host, const QString& port = QStringLiteral("22"))
{
    const QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
    edits.at(0)->setText(host);
    edits.at(1)->setText(port);
}

QString results(NetworkDiagnosticsDialog& dialog)
{
    return dialog.findChild<QTextEdit*>()->toPlainText();
}

// Presses the check's button and waits for the check to end, as a user
// sees it: its button takes clicks again.
QString run(NetworkDiagnosticsDialog& dialog, const QString& check)
{
    const int before = int(results(dialog).size());
    clickButton(&dialog, check);
    if (!QTest::qWaitFor([&] { return findButton(&dialog, check)->isEnabled(); }, 90000))
        QTest::qFail(qPrintable(check + QStringLiteral(" did not end")), __FILE__, __LINE__);
    QString added = results(dialog).mid(before);
    // Each line is a block of its own: drop the break before the first.
    if (before > 0 && added.startsWith(QLatin1Char('\n')))
        added.remove(0, 1);
    return added;
}

quint16 closedPort(const QHostAddress& address = QHostAddress::LocalHost)
{
    QTcpServer probe;
    probe.listen(address, 0);
    return probe.serverPort();   // released when probe goes
}

// openssl s_server with the certificate on a free port of address; the port,
// or 0 when it did not come up.
quint16 startTlsServer(QProcess& server, const TestPki::Issued& certificate,
                       const QHostAddress& address = QHostAddress::LocalHost)
{
    const QString form = address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2")
                                                                              : QStringLiteral("%1:%2");
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 candidate = closedPort(address);
        if (candidate == 0)
            return 0;
        server.start(QStringLiteral("openssl"),
                     {"s_server", "-accept", form.arg(address.toString()).arg(candidate), "-cert",
                      certificate.certPath, "-key", certificate.keyPath, "-quiet"});
        if (!server.waitForStarted(10000))
            return 0;
        QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && server.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(address, candidate);
            if (probe.waitForConnected(500))
                return candidate;
            server.waitForReadyRead(50);
        }
        server.kill();
        server.waitForFinished(5000);
    }
    return 0;
}

void stopTlsServer(QProcess& server)
{
    server.terminate();
    if (!server.waitForFinished(10000)) {
        server.kill();
        server.waitForFinished(5000);
    }
}

// The test's own child processes running the program name.
QList<qint64> childProcesses(const QByteArray& name)
{
    QList<qint64> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        // "pid (name) state parent ...": the name may hold blanks and brackets.
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(entry));
        const qsizetype open = stat.indexOf('(');
        const qsizetype close = stat.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
        if (stat.mid(open + 1, close - open - 1) == name
            && rest.value(1).toLongLong() == QCoreApplication::applicationPid())
            found << pid;
    }
    return found;
}

// A name the resolver refuses on its own (a label longer than 63
// characters): unresolvable without asking any server.
const QString unresolvable = QString(70, QLatin1Char('a')) + QStringLiteral(".test");

} // namespace

// The tools ran as the test's own account: its real home must be as it was.
void NetDiagTest::cleanupTestCase()
{
    const QString changes = accountHome->changes();
    QVERIFY2(changes.isEmpty(), qPrintable(changes));
}

void NetDiagTest::layout()
{
    NetworkDiagnosticsDialog dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Network Diagnostics \u2014 Ostrevan Tessaril"));
    const QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
    QCOMPARE(edits.at(0)->placeholderText(), QStringLiteral("hostname, IP, or domain (e.g., example.com)"));
    QCOMPARE(edits.at(1)->text(), QStringLiteral("22"));
    QCOMPARE(dialog.findChild<QTextEdit*>()->placeholderText(), QStringLiteral("Diagnostic results will appear here..."));
    QVERIFY(dialog.findChild<QTextEdit*>()->isReadOnly());
    const QStringList tips{
        QString::fromUtf8("ICMP echo request \u2014 tests basic connectivity and latency"),
        QString::fromUtf8("Query DNS records \u2014 A, AAAA, MX, TXT, CNAME"),
        QStringLiteral("Test if a specific TCP port is open and accepting connections"),
        QStringLiteral("Download and display the SSL/TLS certificate from a server"),
        QString::fromUtf8("Trace the network path to the host \u2014 shows each hop"),
        QString::fromUtf8("Fetch the SSH host key fingerprint \u2014 verify before first connect")};
    for (int i = 0; i < checks.size(); ++i) {
        QPushButton* button = findButton(&dialog, checks.at(i));
        QVERIFY2(button, qPrintable(checks.at(i)));
        QCOMPARE(button->toolTip(), tips.at(i));
    }
}

void NetDiagTest::blankHostDoesNothing()
{
    FakeTools fakes;
    for (const QString& tool : tools)
        fakes.install(tool);
    NetworkDiagnosticsDialog dialog;
    for (const QString& host : {QString(), QStringLiteral("   ")}) {
        setFields(dialog, host);
        for (const QString& check : checks)
            clickButton(&dialog, check);
    }
    QCOMPARE(results(dialog), QString());
    for (const QString& tool : tools)
        QCOMPARE(fakes.callCount(tool), 0);
}

void NetDiagTest::hostValidation_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("valid");
    QTest::newRow("one character") << "a" << true;
    QTest::newRow("IPv4") << "192.0.2.1" << true;
    QTest::newRow("IPv6 starting with a digit") << "2001:db8::1" << true;
    QTest::newRow("trimmed") << "  host.example  " << true;
    QTest::newRow("255 characters") << QString(255, QLatin1Char('a')) << true;
    QTest::newRow("256 characters") << QString(256, QLatin1Char('a')) << false;
    QTest::newRow("two dots") << "a..example" << false;
    QTest::newRow("leading hyphen") << "-oProxyCommand=x" << false;
    QTest::newRow("underscore") << "a_b.example" << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("IPv6 loopback") << "::1" << true;
    QTest::newRow("IPv6 with its interface") << "fe80::1%lo" << true;
    QTest::newRow("interface with dot, underscore, hyphen") << "fe80::1%br_0.1-a" << true;
    QTest::newRow("blank in the interface") << "::1%eth0 -x" << false;
    QTest::newRow("interface starting with a hyphen") << "fe80::1%-oProxyCommand=x" << false;
    QTest::newRow("no interface after %") << "fe80::1%" << false;
    QTest::newRow("no address before %") << "%lo" << false;
    QTest::newRow("IPv6 in brackets") << "[::1]" << false;
    QTest::newRow("leading colon, no address") << ":x" << false;
    QTest::newRow("blank inside") << "a b" << false;
}

void NetDiagTest::hostValidation()
{
    QFETCH(QString, host);
    QFETCH(bool, valid);
    FakeTools fakes;
    for (const QString& tool : tools)
        fakes.install(tool);
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, host);
    const QString trimmed = host.trimmed();
    const QStringList refusals{"Invalid hostname or IP address.", "Invalid hostname.", "Invalid hostname.",
                               "Invalid hostname.", "Invalid hostname.", "Invalid hostname."};
    const QStringList validating{"Ping", "DNS Lookup", "Port Check", "SSL Cert Check", "Traceroute", "SSH Fingerprint"};
    for (int i = 0; i < validating.size(); ++i) {
        const QString shown = run(dialog, validating.at(i));
        if (valid)
            QVERIFY2(shown.contains(trimmed) && !shown.contains(QLatin1String("Invalid")), qPrintable(shown));
        else
            QCOMPARE(shown, refusals.at(i));
    }
    QCOMPARE(fakes.callCount(QStringLiteral("ping")), valid ? 1 : 0);
    // An empty first answer asks once more, for the server's status.
    QCOMPARE(fakes.callCount(QStringLiteral("dig")), valid ? 5 : 0);
    QCOMPARE(fakes.callCount(QStringLiteral("traceroute")), valid ? 1 : 0);
    // One check for all six: a host refused by one reaches no tool.
    QCOMPARE(fakes.callCount(QStringLiteral("nc")), valid ? 1 : 0);
    if (valid) {
        QCOMPARE(fakes.arguments(QStringLiteral("ssh-keyscan")), (QStringList{"-p", "22", "-H", trimmed}));
        QCOMPARE(fakes.arguments(QStringLiteral("nc")), (QStringList{"-z", "-w", "5", "--", trimmed, "22"}));
    }
}

void NetDiagTest::portField()
{
    FakeTools fakes;
    for (const QString& tool : tools)
        fakes.install(tool);
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("host.example"), QStringLiteral("https"));
    QCOMPARE(run(dialog, QStringLiteral("Port Check")), QString());
    QCOMPARE(fakes.callCount(QStringLiteral("nc")), 0);
    QVERIFY(run(dialog, QStringLiteral("SSL Cert Check")).startsWith(QLatin1String("=== SSL CERT: host.example:443 ===")));
    QCOMPARE(fakes.arguments(QStringLiteral("openssl"), 1),
             (QStringList{"s_client", "-connect", "host.example:443", "-servername", "host.example", "-brief",
                          "-verify_hostname", "host.example"}));
    QCOMPARE(fakes.standardInput(QStringLiteral("openssl"), 2), QByteArray("\n"));
    QVERIFY(run(dialog, QStringLiteral("SSH Fingerprint")).startsWith(QLatin1String("=== SSH HOST KEY: host.example:22 ===")));
    setFields(dialog, QStringLiteral("host.example"), QStringLiteral("0"));
    QCOMPARE(run(dialog, QStringLiteral("Port Check")), QString());
    setFields(dialog, QStringLiteral("host.example"), QStringLiteral("99999999999"));
    QCOMPARE(run(dialog, QStringLiteral("Port Check")), QString());
}

// Tool output is shown as it is: nothing in it is read as markup.
void NetDiagTest::resultsArePlainText()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("traceroute"));
    fakes.answer(QStringLiteral("traceroute"), " 1  <b>gw</b> &amp; <img src=x>\n");
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("host.example"));
    QCOMPARE(run(dialog, QStringLiteral("Traceroute")),
             QStringLiteral("=== TRACEROUTE: host.example ===\nTracing route (max 15 hops)...\n\n"
                            " 1  <b>gw</b> &amp; <img src=x>\n"));
}

void NetDiagTest::ping()
{
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("127.0.0.1"));
    QString shown = run(dialog, QStringLiteral("Ping"));
    QVERIFY2(shown.startsWith(QLatin1String("=== PING 127.0.0.1 ===\nSending 4 ICMP echo requests...\n\n")),
             qPrintable(shown));
    QVERIFY2(shown.contains(QLatin1String("4 packets transmitted, 4 received")), qPrintable(shown));
    QVERIFY(!shown.contains(QLatin1String("Ping failed")));

    FakeTools fakes;
    fakes.install(QStringLiteral("ping"));
    fakes.answer(QStringLiteral("ping"), "1 packets transmitted, 0 received\n", 1);
    shown = run(dialog, QStringLiteral("Ping"));
    QVERIFY(shown.endsWith(QString::fromUtf8("1 packets transmitted, 0 received\n\nno answer\n"
                                             "Ping failed \u2014 host may be down or ICMP blocked.\n"
                                             "TIP: Many servers block ICMP. Try Port Check instead.")));
}

void NetDiagTest::dns()
{
    LoopbackDns server;
    QVERIFY(server.start());
    server.addRecord(QStringLiteral("host.test"), QStringLiteral("A"), QStringLiteral("192.0.2.7"));
    server.addRecord(QStringLiteral("host.test"), QStringLiteral("TXT"), QStringLiteral("v=spf1 -all"));
    // dig reads its defaults from $HOME/.digrc.
    QVERIFY(writeFile(home->path() + QStringLiteral("/.digrc"),
                      QStringLiteral("@127.0.0.1 -p %1 +time=1 +tries=1\n").arg(server.port()).toUtf8()));
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("host.test"));
    QCOMPARE(run(dialog, QStringLiteral("DNS Lookup")),
             QStringLiteral("=== DNS LOOKUP: host.test ===\nA records (IPv4): 192.0.2.7\nAAAA records (IPv6): none\n"
                            "MX records (mail): none\nTXT records: \"v=spf1 -all\"\n"));
    QCOMPARE(server.questionCount(), 4);

    // A name without A records is not a name that does not exist.
    server.addRecord(QStringLiteral("text.test"), QStringLiteral("TXT"), QStringLiteral("only"));
    setFields(dialog, QStringLiteral("text.test"));
    QCOMPARE(run(dialog, QStringLiteral("DNS Lookup")),
             QStringLiteral("=== DNS LOOKUP: text.test ===\nA records (IPv4): none\nAAAA records (IPv6): none\n"
                            "MX records (mail): none\nTXT records: \"only\"\n"));
    server.stop();
}

void NetDiagTest::portCheck()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("127.0.0.1"), QString::number(listener.serverPort()));
    QCOMPARE(run(dialog, QStringLiteral("Port Check")),
             QStringLiteral("=== PORT CHECK: 127.0.0.1:%1 ===\nPort %1: OPEN (accepting connections)\n")
                 .arg(listener.serverPort()));
    listener.close();

    const quint16 released = closedPort();
    setFields(dialog, QStringLiteral("127.0.0.1"), QString::number(released));
    QCOMPARE(run(dialog, QStringLiteral("Port Check")),
             QStringLiteral("=== PORT CHECK: 127.0.0.1:%1 ===\nPort %1: CLOSED or FILTERED\n"
                            "TIP: Check firewall rules, security groups, or server status.\n")
                 .arg(released));

    // The service line comes whether the port is open or not.
    for (const char* port : {"22", "80"}) {
        setFields(dialog, QStringLiteral("127.0.0.1"), QString::fromLatin1(port));
        const QString shown = run(dialog, QStringLiteral("Port Check"));
        QVERIFY2(shown.endsWith(QLatin1String(port[0] == '2' ? "\nService: SSH\n" : "\nService: HTTP\n")),
                 qPrintable(shown));
    }
}

void NetDiagTest::portCheckWithoutNc()
{
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    FakeTools fakes(false);   // nothing on PATH
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("127.0.0.1"), QString::number(listener.serverPort()));
    const QString shown = run(dialog, QStringLiteral("Port Check"));
    QVERIFY2(shown.contains(QLatin1String("CLOSED or FILTERED\ncould not start nc\nTIP: Check firewall rules")),
             qPrintable(shown));
    QVERIFY(!shown.contains(QLatin1String("OPEN")));
}

void NetDiagTest::tlsCertificate()
{
    TestPki pki;
    QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=localhost/O=Ostrevan Test");
    spec.extensions = QStringLiteral("subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n");
    const TestPki::Issued server = pki.issue(QStringLiteral("server"), spec, pki.intermediate());
    QVERIFY2(!server.isNull(), qPrintable(pki.errorString()));

    QProcess sServer;
    const quint16 port = startTlsServer(sServer, server);
    QVERIFY(port != 0);

    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("127.0.0.1"), QString::number(port));
    const QString shown = run(dialog, QStringLiteral("SSL Cert Check"));
    stopTlsServer(sServer);

    QStringList lines = shown.split(QLatin1Char('\n'));
    QCOMPARE(lines.takeFirst(), QStringLiteral("=== SSL CERT: 127.0.0.1:%1 ===").arg(port));
    QVERIFY2(lines.first().startsWith(QLatin1String("Protocol version:")), qPrintable(shown));
    QVERIFY2(std::any_of(lines.begin(), lines.end(),
                         [](const QString& line) { return line.startsWith(QLatin1String("Verification")); }),
             qPrintable(shown));
    const qsizetype block = lines.indexOf(QString());
    QVERIFY2(block > 0, qPrintable(shown));
    QVERIFY2(lines.at(block + 1).startsWith(QLatin1String("subject=")) && lines.at(block + 1).contains(QLatin1String("localhost")),
             qPrintable(shown));
    QVERIFY(lines.at(block + 2).startsWith(QLatin1String("issuer=")));
    QVERIFY(lines.at(block + 3).startsWith(QLatin1String("notBefore=")));
    QVERIFY(lines.at(block + 4).startsWith(QLatin1String("notAfter=")));
    QVERIFY2(lines.at(block + 5).contains(QLatin1String("Fingerprint=")), qPrintable(shown));
}

void NetDiagTest::tlsNameIsVerified_data()
{
    QTest::addColumn<QString>("names");      // the certificate's subjectAltName
    QTest::addColumn<QString>("address");    // where s_server listens, and the host typed
    QTest::addColumn<bool>("mismatch");
    QTest::newRow("certificate for the address") << "IP:127.0.0.1" << "127.0.0.1" << false;
    QTest::newRow("certificate for another name") << "DNS:other.test" << "127.0.0.1" << true;
    QTest::newRow("certificate for another address") << "IP:127.0.0.2" << "127.0.0.1" << true;
    QTest::newRow("IPv6 address") << "IP:::1" << "::1" << false;
}

// Trusting the test's own CA, the TLS check says whether the certificate is
// for the host the user typed.
void NetDiagTest::tlsNameIsVerified()
{
    QFETCH(QString, names);
    QFETCH(QString, address);
    QFETCH(bool, mismatch);
    TestPki pki;
    QVERIFY2(pki.isValid(), qPrintable(pki.errorString()));
    TestPki::Spec spec;
    spec.subject = QStringLiteral("/CN=%1").arg(names.section(QLatin1Char(':'), 1));
    spec.extensions = QStringLiteral("subjectAltName=%1\nextendedKeyUsage=serverAuth\n").arg(names);
    const TestPki::Issued certificate = pki.issue(QStringLiteral("server"), spec, pki.root());
    QVERIFY2(!certificate.isNull(), qPrintable(pki.errorString()));
    ScopedEnv trust("SSL_CERT_FILE", QFile::encodeName(pki.root().certPath));

    QProcess sServer;
    const quint16 port = startTlsServer(sServer, certificate, QHostAddress(address));
    if (port == 0 && address.contains(QLatin1Char(':')))
        QSKIP("no IPv6 loopback here");
    QVERIFY(port != 0);
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, address, QString::number(port));
    const QString shown = run(dialog, QStringLiteral("SSL Cert Check"));
    stopTlsServer(sServer);

    const QStringList lines = shown.split(QLatin1Char('\n'));
    const QString where = address.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2") : QStringLiteral("%1:%2");
    QCOMPARE(lines.first(), QStringLiteral("=== SSL CERT: %1 ===").arg(where.arg(address).arg(port)));
    QCOMPARE(lines.contains(QStringLiteral("name mismatch")), mismatch);
    QCOMPARE(lines.contains(QStringLiteral("Verification: OK")), !mismatch);
    // The certificate is shown either way.
    QVERIFY2(shown.contains(QLatin1String("\nsubject=CN = ")), qPrintable(shown));
}

void NetDiagTest::verdicts_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QString>("server");     // what answers at the host
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("expected");   // %1: the port
    const QString tip = QString::fromUtf8("Ping failed \u2014 host may be down or ICMP blocked.\n"
                                          "TIP: Many servers block ICMP. Try Port Check instead.");
    QTest::newRow("DNS: no such name") << "DNS Lookup" << "dns" << "nosuch.test"
                                       << "=== DNS LOOKUP: nosuch.test ===\nno such name (NXDOMAIN)\n";
    QTest::newRow("DNS: server silent") << "DNS Lookup" << "silent dns" << "host.test"
                                        << "=== DNS LOOKUP: host.test ===\ntimed out\n";
    QTest::newRow("TLS: closed port") << "SSL Cert Check" << "none" << "127.0.0.1"
                                      << "=== SSL CERT: 127.0.0.1:%1 ===\nconnection refused\n";
    QTest::newRow("TLS: silent listener") << "SSL Cert Check" << "silent tcp" << "127.0.0.1"
                                          << "=== SSL CERT: 127.0.0.1:%1 ===\ntimed out\n";
    QTest::newRow("traceroute: unresolvable name")
        << "Traceroute" << "none" << unresolvable
        << "=== TRACEROUTE: " + unresolvable + " ===\nTracing route (max 15 hops)...\n\n\nno such name (NXDOMAIN)";
    QTest::newRow("ping: unresolvable name")
        << "Ping" << "none" << unresolvable
        << "=== PING " + unresolvable + " ===\nSending 4 ICMP echo requests...\n\n\nno such name (NXDOMAIN)\n" + tip;
    QTest::newRow("port check: unresolvable name")
        << "Port Check" << "none" << unresolvable
        << "=== PORT CHECK: " + unresolvable + ":%1 ===\nPort %1: CLOSED or FILTERED\nno such name (NXDOMAIN)\n"
               "TIP: Check firewall rules, security groups, or server status.\n";
    QTest::newRow("SSH keys: unresolvable name")
        << "SSH Fingerprint" << "none" << unresolvable
        << QString::fromUtf8("=== SSH HOST KEY: %2:%1 ===\nFetching SSH host key fingerprints...\n\n"
                             "no such name (NXDOMAIN)\nNo SSH keys received \u2014 port may be closed or filtered.")
               .replace(QLatin1String("%2"), unresolvable);
}

// A check whose tool heard nothing, was refused or met an unknown name says
// so on a line of its own, never as an empty result.
void NetDiagTest::verdicts()
{
    QFETCH(QString, check);
    QFETCH(QString, server);
    QFETCH(QString, host);
    QFETCH(QString, expected);
    LoopbackDns dns;
    QTcpServer silent;
    quint16 port = closedPort();
    if (server.endsWith(QLatin1String("dns"))) {
        QVERIFY(dns.start());
        dns.addRecord(QStringLiteral("host.test"), QStringLiteral("A"), QStringLiteral("192.0.2.7"));
        dns.setSilent(server.startsWith(QLatin1String("silent")));
        QVERIFY(writeFile(home->path() + QStringLiteral("/.digrc"),
                          QStringLiteral("@127.0.0.1 -p %1 +time=1 +tries=1\n").arg(dns.port()).toUtf8()));
    } else if (server == QLatin1String("silent tcp")) {
        // Connections are taken by the system and never read.
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        port = silent.serverPort();
    }
    NetworkDiagnosticsDialog dialog;
    dialog.waits.tlsMs = 1500;
    setFields(dialog, host, QString::number(port));
    QCOMPARE(run(dialog, check), expected.arg(port));
}

void NetDiagTest::pingKeepsTheWindowAnsweringAndCancelEndsIt()
{
    NetworkDiagnosticsDialog dialog;
    dialog.show();
    setFields(dialog, QStringLiteral("127.0.0.1"));
    QPushButton* cancel = findButton(&dialog, QStringLiteral("Cancel"));
    QVERIFY(cancel && !cancel->isEnabled());

    clickButton(&dialog, QStringLiteral("Ping"));
    // The event loop turns while the ping is still going: a window that
    // waited for the tool would only get here once the check had ended.
    bool fired = false;
    bool checkStillRunning = false;
    QTimer::singleShot(0, &dialog, [&] {
        fired = true;
        checkStillRunning = cancel->isEnabled();
    });
    QTRY_VERIFY(fired);
    QVERIFY(checkStillRunning);
    for (const QString& name : checks)
        QVERIFY2(!findButton(&dialog, name)->isEnabled(), qPrintable(name));
    QVERIFY(cancel->isEnabled());
    QTRY_COMPARE(childProcesses("ping").size(), 1);

    clickButton(&dialog, QStringLiteral("Cancel"));
    QCOMPARE(childProcesses("ping"), QList<qint64>{});
    QVERIFY(findButton(&dialog, QStringLiteral("Ping"))->isEnabled());
    QVERIFY(!cancel->isEnabled());
    QCOMPARE(results(dialog), QStringLiteral("=== PING 127.0.0.1 ===\nSending 4 ICMP echo requests...\n\ncancelled\n"));

    // Closing the window ends a running check as well.
    clickButton(&dialog, QStringLiteral("Ping"));
    QTRY_COMPARE(childProcesses("ping").size(), 1);
    dialog.reject();
    QCOMPARE(childProcesses("ping"), QList<qint64>{});
}

void NetDiagTest::traceroute()
{
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, QStringLiteral("127.0.0.1"));
    const QString shown = run(dialog, QStringLiteral("Traceroute"));
    QVERIFY2(shown.startsWith(QLatin1String("=== TRACEROUTE: 127.0.0.1 ===\nTracing route (max 15 hops)...\n\n")),
             qPrintable(shown));
    const QStringList hops = shown.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^ ?\\d+ ")));
    QCOMPARE(hops.size(), 1);
    QVERIFY2(hops.first().startsWith(QLatin1String(" 1 ")) && hops.first().contains(QLatin1String("127.0.0.1")),
             qPrintable(shown));
}

void NetDiagTest::sshHostKeys()
{
    LoopbackSshd sshd;
    QString error;
    QVERIFY2(sshd.start(&error), qPrintable(error));
    NetworkDiagnosticsDialog dialog;
    setFields(dialog, sshd.host(), QString::number(sshd.port()));
    const QString shown = run(dialog, QStringLiteral("SSH Fingerprint"));
    sshd.stop();
    QStringList lines = shown.split(QLatin1Char('\n'));
    QCOMPARE(lines.mid(0, 3), (QStringList{QStringLiteral("=== SSH HOST KEY: 127.0.0.1:%1 ===").arg(sshd.port()),
                                           "Fetching SSH host key fingerprints...", ""}));
    QCOMPARE(lines.at(3).left(11), QStringLiteral("256 SHA256:"));
    QVERIFY2(lines.at(3).endsWith(QLatin1String("(ED25519)")), qPrintable(shown));
    QCOMPARE(lines.at(4), QString());
    QVERIFY(lines.at(5).startsWith(QLatin1String("TIP: Compare these fingerprints")));
    QCOMPARE(lines.size(), 6);

    const quint16 released = closedPort();
    setFields(dialog, sshd.host(), QString::number(released));
    QCOMPARE(run(dialog, QStringLiteral("SSH Fingerprint")),
             QString::fromUtf8("=== SSH HOST KEY: 127.0.0.1:%1 ===\nFetching SSH host key fingerprints...\n\n"
                               "No SSH keys received \u2014 port may be closed or filtered.")
                 .arg(released));
}

OT_TEST_MAIN(NetDiagTest)
#include "tst_netdiag.moc"
