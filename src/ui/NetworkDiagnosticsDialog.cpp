#include "ui/NetworkDiagnosticsDialog.h"

#include "core/LogView.h"
#include "core/ToolRunner.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

bool isValidHost(const QString& host)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-zA-Z0-9][a-zA-Z0-9.:\\-]{0,253}[a-zA-Z0-9]?$"));
    return pattern.match(host).hasMatch() && !host.contains(QLatin1String(".."));
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

ToolRunner::Result runTool(const QString& name, const QStringList& arguments, int startMs, int finishMs,
                           const QByteArray& input = {})
{
    ToolRunner::Options options;
    options.startTimeoutMs = startMs;
    options.finishTimeoutMs = finishMs;
    options.standardInput = input;
    return ToolRunner::run(ToolRunner::findTool(name), arguments, options);
}

constexpr int defaultStartMs = 3000;

} // namespace

NetworkDiagnosticsDialog::NetworkDiagnosticsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("Network Diagnostics \u2014 Ostrevan Tessaril"));
    setMinimumSize(750, 500);
    resize(800, 550);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    auto* intro = new QLabel(QStringLiteral("Network diagnostic tools for IT admins and DevSecOps engineers. "
                                            "Test connectivity, check SSL certificates, and verify SSH host keys."));
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("color: #94a3b8; font-size: 12px;"));
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
    const auto addCheck = [this, row](const QString& text, const QString& tip, void (NetworkDiagnosticsDialog::*check)()) {
        auto* button = new QPushButton(text);
        button->setToolTip(tip);
        connect(button, &QPushButton::clicked, this, check);
        row->addWidget(button);
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
}

NetworkDiagnosticsDialog::~NetworkDiagnosticsDialog() = default;

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

void NetworkDiagnosticsDialog::runPing()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname or IP address."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== PING ") + target + QStringLiteral(" ==="));
    append(QStringLiteral("Sending 4 ICMP echo requests...\n"));
    const ToolRunner::Result result = runTool(
        QStringLiteral("ping"), {QStringLiteral("-c"), QStringLiteral("4"), QStringLiteral("-W"), QStringLiteral("3"), target},
        defaultStartMs, 20000);
    append(result.stdOutText());
    if (!result.succeeded())
        append(QString::fromUtf8("Ping failed \u2014 host may be down or ICMP blocked.\n"
                                 "TIP: Many servers block ICMP. Try Port Check instead."));
}

void NetworkDiagnosticsDialog::runDnsLookup()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== DNS LOOKUP: ") + target + QStringLiteral(" ==="));
    const struct {
        const char* type;
        const char* label;
    } records[] = {{"A", "A records (IPv4): "}, {"AAAA", "AAAA records (IPv6): "},
                   {"MX", "MX records (mail): "}, {"TXT", "TXT records: "}};
    for (const auto& record : records) {
        const ToolRunner::Result result = runTool(
            QStringLiteral("dig"), {QStringLiteral("+short"), target, QString::fromLatin1(record.type)},
            defaultStartMs, 10000);
        const QString answer = result.stdOutText().trimmed();
        append(QString::fromLatin1(record.label) + (answer.isEmpty() ? QStringLiteral("none") : answer));
    }
    append(QString());
}

void NetworkDiagnosticsDialog::runPortCheck()
{
    const QString target = host();
    const int number = port();
    if (target.isEmpty() || number < 1)
        return;
    append(QStringLiteral("=== PORT CHECK: %1:%2 ===").arg(target).arg(number));
    // "--" ends nc's options: a host that begins with "-" is still a host.
    const ToolRunner::Result result = runTool(
        QStringLiteral("nc"),
        {QStringLiteral("-z"), QStringLiteral("-w"), QStringLiteral("5"), QStringLiteral("--"), target,
         QString::number(number)},
        defaultStartMs, 10000);
    if (result.succeeded()) {
        append(QStringLiteral("Port %1: OPEN (accepting connections)").arg(number));
    } else {
        append(QStringLiteral("Port %1: CLOSED or FILTERED").arg(number));
        append(QStringLiteral("TIP: Check firewall rules, security groups, or server status."));
    }
    const auto service = services().constFind(number);
    if (service != services().constEnd())
        append(QStringLiteral("Service: ") + service.value());
    append(QString());
}

void NetworkDiagnosticsDialog::runSslCertCheck()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    const int number = port() < 1 ? 443 : port();
    const QString address = target + QLatin1Char(':') + QString::number(number);
    append(QStringLiteral("=== SSL CERT: %1 ===").arg(address));

    // The brief summary goes to standard error.
    const ToolRunner::Result summary = runTool(
        QStringLiteral("openssl"),
        {QStringLiteral("s_client"), QStringLiteral("-connect"), address, QStringLiteral("-servername"), target,
         QStringLiteral("-brief")},
        5000, 15000);
    const QStringList lines = summary.stdErrText().split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        for (const char* mark : {"subject=", "issuer=", "Protocol", "Cipher", "Verification"}) {
            if (line.contains(QLatin1String(mark))) {
                append(line.trimmed());
                break;
            }
        }
    }

    const ToolRunner::Result session = runTool(
        QStringLiteral("openssl"),
        {QStringLiteral("s_client"), QStringLiteral("-connect"), address, QStringLiteral("-servername"), target},
        5000, 15000, QByteArray("\n"));
    const ToolRunner::Result decoded = runTool(
        QStringLiteral("openssl"),
        {QStringLiteral("x509"), QStringLiteral("-noout"), QStringLiteral("-subject"), QStringLiteral("-issuer"),
         QStringLiteral("-dates"), QStringLiteral("-fingerprint")},
        3000, 10000, session.stdOut);
    if (!decoded.stdOut.isEmpty())
        append(QLatin1Char('\n') + decoded.stdOutText().trimmed());
    append(QString());
}

void NetworkDiagnosticsDialog::runTraceroute()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    append(QStringLiteral("=== TRACEROUTE: ") + target + QStringLiteral(" ==="));
    append(QStringLiteral("Tracing route (max 15 hops)...\n"));
    const ToolRunner::Result result = runTool(
        QStringLiteral("traceroute"),
        {QStringLiteral("-m"), QStringLiteral("15"), QStringLiteral("-w"), QStringLiteral("3"), target},
        defaultStartMs, 60000);
    append(result.stdOutText());
}

void NetworkDiagnosticsDialog::runSshFingerprint()
{
    const QString target = checkedHost(QStringLiteral("Invalid hostname."));
    if (target.isEmpty())
        return;
    const int number = port() < 1 ? 22 : port();
    append(QStringLiteral("=== SSH HOST KEY: %1:%2 ===").arg(target).arg(number));
    append(QStringLiteral("Fetching SSH host key fingerprints...\n"));
    const ToolRunner::Result scan = runTool(
        QStringLiteral("ssh-keyscan"), {QStringLiteral("-p"), QString::number(number), QStringLiteral("-H"), target},
        defaultStartMs, 10000);
    const QString keys = scan.stdOutText();
    if (keys.isEmpty()) {
        append(QString::fromUtf8("No SSH keys received \u2014 port may be closed or filtered."));
        return;
    }
    const QStringList lines = keys.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const ToolRunner::Result fingerprint = runTool(
            QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")}, 3000, 5000,
            line.toUtf8());
        const QString shown = fingerprint.stdOutText().trimmed();
        if (!shown.isEmpty())
            append(shown);
    }
    append(QStringLiteral("\nTIP: Compare these fingerprints with the server admin's published keys before "
                          "connecting for the first time. This prevents man-in-the-middle attacks."));
}
