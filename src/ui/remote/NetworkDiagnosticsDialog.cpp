#include "ui/remote/NetworkDiagnosticsDialog.h"
#include "app/StyleManager.h"

#include "core/LogView.h"
#include "core/ToolRunner.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

// The one host check of every check: a name or an address the tools take
// as one word, never as an option.
bool isValidHost(const QString& host)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-zA-Z0-9][a-zA-Z0-9.:\\-]{0,253}[a-zA-Z0-9]?$"));
    if (pattern.match(host).hasMatch() && !host.contains(QLatin1String("..")))
        return true;
    // An IPv6 address may begin with ":" ("::1") or name its interface
    // ("fe80::1%eth0"); the tools take it as it is written, without
    // brackets. The interface is a name: letters, digits, ".", "_" and "-",
    // not "-" first.
    static const QRegularExpression ipv6(QStringLiteral("^[0-9A-Fa-f:.]+$"));
    static const QRegularExpression scope(QStringLiteral("^[A-Za-z0-9._][A-Za-z0-9._\\-]*$"));
    if (host.size() > 255)
        return false;
    const qsizetype percent = host.indexOf(QLatin1Char('%'));
    const QString address = percent < 0 ? host : host.left(percent);
    if (percent >= 0 && !scope.match(host.mid(percent + 1)).hasMatch())
        return false;
    QHostAddress parsed;
    return ipv6.match(address).hasMatch() && parsed.setAddress(address)
           && parsed.protocol() == QAbstractSocket::IPv6Protocol;
}

bool isAddress(const QString& host)
{
    return !QHostAddress(host).isNull();
}

const QHash<int, QString>& services()
{
    static const QHash<int, QString> table{
        {22, QStringLiteral("SSH")},         {25, QStringLiteral("SMTP")},        {53, QStringLiteral("DNS")},
        {80, QStringLiteral("HTTP")},        {443, QStringLiteral("HTTPS")},      {587, QStringLiteral("SMTP TLS")},
        {993, QStringLiteral("IMAPS")},      {3306, QStringLiteral("MySQL")},     {3389, QStringLiteral("RDP")},
        {5432, QStringLiteral("PostgreSQL")}, {5900, QStringLiteral("VNC")},      {6379, QStringLiteral("Redis")},
        {6443, QStringLiteral("K8s API")},   {8080, QStringLiteral("HTTP Alt")},  {8443, QStringLiteral("HTTPS Alt")},
        {8888, QStringLiteral("HTTP Proxy")}, {27017, QStringLiteral("MongoDB")},
    };
    return table;
}

// What a check says, on a line of its own, when its tool could not tell
// about the host: never mistaken for an empty result ("none", no hops).
const QString timedOut = QStringLiteral("timed out");
const QString noSuchName = QStringLiteral("no such name (NXDOMAIN)");
const QString connectionRefused = QStringLiteral("connection refused");
const QString noAnswer = QStringLiteral("no answer");
const QString nameMismatch = QStringLiteral("name mismatch");
const QString cancelled = QStringLiteral("cancelled");

// The verdict on a run that did not succeed, read from its exit and what
// it said (dig reports on standard output, the others on standard error);
// empty when it succeeded or said nothing the checks recognise.
QString verdictOf(const ToolRunner::Result& result, const QString& tool)
{
    if (!result.started)
        return QStringLiteral("could not start %1").arg(tool);
    if (result.timedOut)
        return timedOut;
    if (result.succeeded())
        return {};
    const QString said = result.stdErrText() + QLatin1Char('\n') + result.stdOutText();
    const auto says = [&said](const char* words) { return said.contains(QLatin1String(words), Qt::CaseInsensitive); };
    if (says("connection refused"))
        return connectionRefused;
    if (says("timed out"))
        return timedOut;
    // The resolver's words on Linux and on macOS.
    if (says("name or service not known") || says("no address associated with hostname")
        || says("nodename nor servname provided") || says("unknown host"))
        return noSuchName;
    if (says("temporary failure in name resolution") || says("no servers could be reached")
        || says("unexpected eof"))
        return noAnswer;
    return {};
}

// The status a DNS server gave ("NOERROR", "NXDOMAIN", "SERVFAIL"...) as
// dig prints it in its header; empty when there was no answer.
QString dnsStatus(const ToolRunner::Result& result)
{
    static const QRegularExpression status(QStringLiteral("status: ([A-Z]+)"));
    return status.match(result.stdOutText()).captured(1);
}

} // namespace

NetworkDiagnosticsDialog::NetworkDiagnosticsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("Network Diagnostics \u2014 Ostrevan Tessaril"));
    setMinimumSize(750, 500);
    resize(800, 550);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);

    auto* intro = new QLabel(QStringLiteral("Network diagnostic tools for IT admins and DevSecOps engineers. "
                                            "Test connectivity, check SSL certificates, and verify SSH host keys."));
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(intro, StyleManager::Muted);
    intro->setMaximumHeight(36);
    layout->addWidget(intro);

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Host:")), 0, 0);
    hostEdit = new QLineEdit;
    hostEdit->setPlaceholderText(QStringLiteral("hostname, IP, or domain (e.g., example.com)"));
    grid->addWidget(hostEdit, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Port:")), 0, 2);
    portEdit = new QLineEdit(QStringLiteral("22"));
    portEdit->setFixedWidth(60);
    grid->addWidget(portEdit, 0, 3);
    layout->addLayout(grid);

    auto* row = new QHBoxLayout;
    const auto addCheck = [this, row](const QString& text, const QString& tip, void (NetworkDiagnosticsDialog::*run)()) {
        auto* button = new QPushButton(text);
        button->setToolTip(tip);
        connect(button, &QPushButton::clicked, this, run);
        row->addWidget(button);
        checkButtons << button;
    };
    addCheck(QStringLiteral("Ping"), QString::fromUtf8("ICMP echo request \u2014 tests basic connectivity and latency"),
             &NetworkDiagnosticsDialog::runPing);
    addCheck(QStringLiteral("DNS Lookup"), QString::fromUtf8("Query DNS records \u2014 A, AAAA, MX, TXT, CNAME"),
             &NetworkDiagnosticsDialog::runDnsLookup);
    addCheck(QStringLiteral("Port Check"), QStringLiteral("Test if a specific TCP port is open and accepting connections"),
             &NetworkDiagnosticsDialog::runPortCheck);
    addCheck(QStringLiteral("SSL Cert Check"), QStringLiteral("Download and display the SSL/TLS certificate from a server"),
             &NetworkDiagnosticsDialog::runSslCertCheck);
    addCheck(QStringLiteral("Traceroute"), QString::fromUtf8("Trace the network path to the host \u2014 shows each hop"),
             &NetworkDiagnosticsDialog::runTraceroute);
    addCheck(QStringLiteral("SSH Fingerprint"),
             QString::fromUtf8("Fetch the SSH host key fingerprint \u2014 verify before first connect"),
             &NetworkDiagnosticsDialog::runSshFingerprint);
    row->addStretch();
    cancelButton = new QPushButton(QStringLiteral("Cancel"));
    cancelButton->setObjectName(QStringLiteral("secondaryButton"));
    cancelButton->setToolTip(QStringLiteral("Stop the running check"));
    cancelButton->setEnabled(false);
    connect(cancelButton, &QPushButton::clicked, this, &NetworkDiagnosticsDialog::cancelCheck);
    row->addWidget(cancelButton);
    layout->addLayout(row);

    // Tool output is untrusted: the view only ever takes plain text.
    output = LogView::createLogView(this);
    QFont font = output->font();
    font.setPointSize(12);
    output->setFont(font);
    output->setPlaceholderText(QStringLiteral("Diagnostic results will appear here..."));
    layout->addWidget(output);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    // The row of checks is wider than the stated minimum under the program's
    // fonts: the window may not be narrowed past whole button labels.
    setMinimumWidth(qMax(minimumWidth(), layout->minimumSize().width()));
    // A closed window leaves no tool running behind it.
    connect(this, &QDialog::finished, this, &NetworkDiagnosticsDialog::cancelCheck);
}

NetworkDiagnosticsDialog::~NetworkDiagnosticsDialog()
{
    // The running tool goes before the widgets its results would reach.
    delete check;
    check = nullptr;
}

QString NetworkDiagnosticsDialog::host() const
{
    return hostEdit->text().trimmed();
}

int NetworkDiagnosticsDialog::port() const
{
    bool ok = false;
    const int value = portEdit->text().toInt(&ok, 10);
    return ok ? value : 0;
}

QString NetworkDiagnosticsDialog::checkedHost(const QString& refusal)
{
    const QString target = host();
    if (target.isEmpty())
        return {};
    if (!isValidHost(target)) {
        append(refusal);
        return {};
    }
    return target;
}

void NetworkDiagnosticsDialog::append(const QString& text)
{
    LogView::appendLine(output, text);
}

void NetworkDiagnosticsDialog::beginCheck()
{
    check = new QObject(this);
    for (QPushButton* button : std::as_const(checkButtons))
        button->setEnabled(false);
    cancelButton->setEnabled(true);
}

void NetworkDiagnosticsDialog::endCheck()
{
    if (check) {
        // The last tool's report is still on the stack.
        check->deleteLater();
        check = nullptr;
    }
    for (QPushButton* button : std::as_const(checkButtons))
        button->setEnabled(true);
    cancelButton->setEnabled(false);
}

void NetworkDiagnosticsDialog::cancelCheck()
{
    if (!check)
        return;
    // The tools go with their owner: the one running is killed, and what it
    // would have reported is never heard.
    delete check;
    check = nullptr;
    append(cancelled);
    append(QString());
    endCheck();
}

void NetworkDiagnosticsDialog::runTool(const QString& name, const QStringList& arguments, int startMs, int finishMs,
                                       const QByteArray& input, Done done)
{
    ToolRunner::Options options;
    options.startTimeoutMs = startMs;
    options.finishTimeoutMs = finishMs;
    options.standardInput = input;
    ToolRunner::runAsync(ToolRunner::findTool(name), arguments, options, check, std::move(done));
}

void NetworkDiagnosticsDialog::runPing()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname or IP address."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== PING ") + target + QStringLiteral(" ==="));
    append(QStringLiteral("Sending 4 ICMP echo requests...\n"));
    beginCheck();
    runTool(QStringLiteral("ping"),
            {QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("-W"), QStringLiteral("3"), target},
            waits.startMs, waits.pingMs, {}, [this](const ToolRunner::Result& result) {
                append(result.stdOutText());
                if (!result.succeeded()) {
                    QString verdict = verdictOf(result, QStringLiteral("ping"));
                    // ping ends with 1 when no reply came back at all.
                    if (verdict.isEmpty() && result.exitCode == 1)
                        verdict = noAnswer;
                    if (!verdict.isEmpty())
                        append(verdict);
                    append(QString::fromUtf8("Ping failed \u2014 host may be down or ICMP blocked.\n"
                                             "TIP: Many servers block ICMP. Try Port Check instead."));
                }
                endCheck();
            });
}

void NetworkDiagnosticsDialog::runDnsLookup()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== DNS LOOKUP: ") + target + QStringLiteral(" ==="));
    beginCheck();
    lookUpRecords(target, 0, false);
}

// One record type after the other. A server that cannot be reached, or a
// name that does not exist, is said once and ends the lookup: the other
// types would only say it again.
void NetworkDiagnosticsDialog::lookUpRecords(const QString& target, int index, bool nameExists)
{
    static const struct {
        const char* type;
        const char* label;
    } records[] = {{"A", "A records (IPv4): "}, {"AAAA", "AAAA records (IPv6): "},
                   {"MX", "MX records (mail): "}, {"TXT", "TXT records: "}};
    if (index == int(std::size(records))) {
        append(QString());
        endCheck();
        return;
    }
    const QString type = QString::fromLatin1(records[index].type);
    const QString label = QString::fromLatin1(records[index].label);
    const auto stop = [this](const QString& verdict) {
        append(verdict);
        append(QString());
        endCheck();
    };
    runTool(QStringLiteral("dig"), {QStringLiteral("+short"), target, type}, waits.startMs, waits.digMs, {},
            [=, this](const ToolRunner::Result& result) {
                const QString verdict = verdictOf(result, QStringLiteral("dig"));
                if (!verdict.isEmpty() || !result.succeeded())
                    return stop(verdict.isEmpty() ? noAnswer : verdict);
                const QString answer = result.stdOutText().trimmed();
                if (!answer.isEmpty() || nameExists) {
                    append(label + (answer.isEmpty() ? QStringLiteral("none") : answer));
                    return lookUpRecords(target, index + 1, true);
                }
                // "+short" prints nothing both for a name without such records
                // and for no name at all: the server's status tells them apart.
                runTool(QStringLiteral("dig"), {QStringLiteral("+noall"), QStringLiteral("+comments"), target, type},
                        waits.startMs, waits.digMs, {}, [=, this](const ToolRunner::Result& probe) {
                            const QString status = dnsStatus(probe);
                            if (status == QLatin1String("NXDOMAIN"))
                                return stop(noSuchName);
                            if (!status.isEmpty() && status != QLatin1String("NOERROR"))
                                return stop(QStringLiteral("%1 (%2)").arg(noAnswer, status));
                            const QString failed = verdictOf(probe, QStringLiteral("dig"));
                            if (status.isEmpty() && !failed.isEmpty())
                                return stop(failed);
                            append(label + QStringLiteral("none"));
                            lookUpRecords(target, index + 1, true);
                        });
            });
}

void NetworkDiagnosticsDialog::runPortCheck()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    const int number = port();
    if (target.isEmpty() || number < 1)
        return;
    append(QStringLiteral("=== PORT CHECK: %1:%2 ===").arg(target).arg(number));
    beginCheck();
    // "--" ends nc's options: a host that begins with "-" is still a host.
    runTool(QStringLiteral("nc"),
            {QStringLiteral("-z"), QStringLiteral("-w"), QStringLiteral("5"), QStringLiteral("--"), target,
             QString::number(number)},
            waits.startMs, waits.ncMs, {}, [this, number](const ToolRunner::Result& result) {
                if (result.succeeded()) {
                    append(QStringLiteral("Port %1: OPEN (accepting connections)").arg(number));
                } else {
                    append(QStringLiteral("Port %1: CLOSED or FILTERED").arg(number));
                    const QString verdict = verdictOf(result, QStringLiteral("nc"));
                    if (!verdict.isEmpty())
                        append(verdict);
                    append(QStringLiteral("TIP: Check firewall rules, security groups, or server status."));
                }
                const auto service = services().constFind(number);
                if (service != services().constEnd())
                    append(QStringLiteral("Service: ") + service.value());
                append(QString());
                endCheck();
            });
}

void NetworkDiagnosticsDialog::runSslCertCheck()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    const int number = port() < 1 ? 443 : port();
    // An IPv6 address is bracketed, or its last group would read as the port.
    const QString address = (target.contains(QLatin1Char(':')) ? QLatin1Char('[') + target + QLatin1Char(']') : target)
                            + QLatin1Char(':') + QString::number(number);
    append(QStringLiteral("=== SSL CERT: %1 ===").arg(address));
    beginCheck();

    // The brief summary goes to standard error. The certificate must be for
    // the name (or address) the user gave, not merely signed by someone trusted.
    runTool(QStringLiteral("openssl"),
            {QStringLiteral("s_client"), QStringLiteral("-connect"), address, QStringLiteral("-servername"), target,
             QStringLiteral("-brief"),
             isAddress(target) ? QStringLiteral("-verify_ip") : QStringLiteral("-verify_hostname"), target},
            waits.tlsStartMs, waits.tlsMs, {}, [=, this](const ToolRunner::Result& summary) {
                const QString said = summary.stdErrText();
                const QStringList lines = said.split(QLatin1Char('\n'));
                for (const QString& line : lines) {
                    for (const char* mark : {"subject=", "issuer=", "Protocol", "Cipher", "Verification"}) {
                        if (line.contains(QLatin1String(mark))) {
                            append(line.trimmed());
                            break;
                        }
                    }
                }
                const QString verdict = verdictOf(summary, QStringLiteral("openssl"));
                if (!verdict.isEmpty()) {
                    append(verdict);
                    append(QString());
                    endCheck();
                    return;
                }
                // openssl names every failed check, the last one only in its summary.
                if (said.contains(QLatin1String("hostname mismatch"))
                    || said.contains(QLatin1String("IP address mismatch")))
                    append(nameMismatch);
                decodeCertificate(address, target);
            });
}

void NetworkDiagnosticsDialog::decodeCertificate(const QString& address, const QString& target)
{
    runTool(QStringLiteral("openssl"),
            {QStringLiteral("s_client"), QStringLiteral("-connect"), address, QStringLiteral("-servername"), target},
            waits.tlsStartMs, waits.tlsMs, QByteArray("\n"), [this](const ToolRunner::Result& session) {
                const QString verdict = session.timedOut ? timedOut : QString();
                runTool(QStringLiteral("openssl"),
                        {QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-subject"),
                         QStringLiteral("-issuer"), QStringLiteral("-dates"), QStringLiteral("-fingerprint")},
                        waits.decodeStartMs, waits.decodeMs, session.stdOut,
                        [this, verdict](const ToolRunner::Result& decoded) {
                            if (!decoded.stdOut.isEmpty())
                                append(QLatin1Char('\n') + decoded.stdOutText().trimmed());
                            else if (!verdict.isEmpty())
                                append(verdict);
                            append(QString());
                            endCheck();
                        });
            });
}

void NetworkDiagnosticsDialog::runTraceroute()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== TRACEROUTE: ") + target + QStringLiteral(" ==="));
    append(QStringLiteral("Tracing route (max 15 hops)...\n"));
    beginCheck();
    runTool(QStringLiteral("traceroute"),
            {QStringLiteral("-m"), QStringLiteral("15"), QStringLiteral("-w"), QStringLiteral("3"), target},
            waits.startMs, waits.tracerouteMs, {}, [this](const ToolRunner::Result& result) {
                append(result.stdOutText());
                const QString verdict = verdictOf(result, QStringLiteral("traceroute"));
                if (!verdict.isEmpty())
                    append(verdict);
                endCheck();
            });
}

void NetworkDiagnosticsDialog::runSshFingerprint()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    const int number = port() < 1 ? 22 : port();
    append(QStringLiteral("=== SSH HOST KEY: %1:%2 ===").arg(target).arg(number));
    append(QStringLiteral("Fetching SSH host key fingerprints...\n"));
    beginCheck();
    runTool(QStringLiteral("ssh-keyscan"), {QStringLiteral("-p"), QString::number(number), QStringLiteral("-H"), target},
            waits.startMs, waits.keyscanMs, {}, [this](const ToolRunner::Result& scan) {
                const QString keys = scan.stdOutText();
                if (keys.isEmpty()) {
                    const QString verdict = verdictOf(scan, QStringLiteral("ssh-keyscan"));
                    if (!verdict.isEmpty())
                        append(verdict);
                    append(QString::fromUtf8("No SSH keys received \u2014 port may be closed or filtered."));
                    endCheck();
                    return;
                }
                fingerprintKeys(keys.split(QLatin1Char('\n')));
            });
}

// One ssh-keygen run per key line, one after the other.
void NetworkDiagnosticsDialog::fingerprintKeys(QStringList lines)
{
    while (!lines.isEmpty() && (lines.first().trimmed().isEmpty() || lines.first().startsWith(QLatin1Char('#'))))
        lines.removeFirst();
    if (lines.isEmpty()) {
        append(QStringLiteral("\nTIP: Compare these fingerprints with the server admin's published keys before "
                              "connecting for the first time. This prevents man-in-the-middle attacks."));
        endCheck();
        return;
    }
    const QByteArray line = lines.takeFirst().toUtf8();
    runTool(QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")},
            waits.keygenStartMs, waits.keygenMs, line, [this, lines](const ToolRunner::Result& fingerprint) {
                const QString shown = fingerprint.stdOutText().trimmed();
                if (!shown.isEmpty())
                    append(shown);
                fingerprintKeys(lines);
            });
}
