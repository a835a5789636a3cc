#include "ui/SshConfigEditor.h"

#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/ShellQuote.h"
#include "core/SshDirectory.h"
#include "core/ToolRunner.h"

#include <QBrush>
#include <QColor>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const char* const headerLines[] = {"# ~/.ssh/config", "# Managed by Ostrevan Tessaril",
                                   "# https://ostrevan.example/tessaril"};

QString configPath()
{
    return SshDirectory::path() + QStringLiteral("/config");
}

int numberOf(const QString& value)
{
    bool ok = false;
    const int number = value.toInt(&ok, 10);
    return ok ? number : 0;
}

void appendExtra(SshHostConfig& host, const QString& line)
{
    if (!host.extra.isEmpty())
        host.extra += QLatin1Char('\n');
    host.extra += line;
}

// Sets the field the keyword names; false when the keyword is not one of ours.
bool setField(SshHostConfig& host, const QString& keyword, const QString& value)
{
    const QString lower = value.toLower();
    if (keyword == QLatin1String("hostname"))
        host.hostName = value;
    else if (keyword == QLatin1String("user"))
        host.user = value;
    else if (keyword == QLatin1String("port"))
        host.port = numberOf(value);
    else if (keyword == QLatin1String("identityfile"))
        host.identityFile = value;
    else if (keyword == QLatin1String("identitiesonly"))
        host.identitiesOnly = lower == QLatin1String("yes");
    else if (keyword == QLatin1String("proxyjump"))
        host.proxyJump = value;
    else if (keyword == QLatin1String("localforward"))
        host.localForward = value;
    else if (keyword == QLatin1String("remoteforward"))
        host.remoteForward = value;
    else if (keyword == QLatin1String("forwardagent"))
        host.forwardAgent = lower == QLatin1String("yes");
    else if (keyword == QLatin1String("compression"))
        host.compression = lower == QLatin1String("yes");
    else if (keyword == QLatin1String("loglevel"))
        host.logLevel = value;
    else if (keyword == QLatin1String("serveraliveinterval"))
        host.serverAliveInterval = numberOf(value);
    else if (keyword == QLatin1String("serveralivecountmax"))
        host.serverAliveCountMax = numberOf(value);
    else if (keyword == QLatin1String("stricthostkeychecking"))
        host.strictHostKeyChecking = lower != QLatin1String("no");
    else
        return false;
    return true;
}

const char* const guideHtml = R"(
<h2 style="color:#0ea5e9;">SSH Config Quick Reference</h2>
<p>The file <code>~/.ssh/config</code> defines named shortcuts for SSH connections, so you do not
have to type long commands.</p>
<h3 style="color:#22c55e;">Basic Example</h3>
<pre style="color:#e0f2fe; background-color:#111827; padding:8px; border-radius:4px;">Host myserver
    HostName 192.168.1.100
    User admin
    Port 22
    IdentityFile ~/.ssh/id_ed25519</pre>
<p>Now you can just type: <code>ssh myserver</code></p>
<h3 style="color:#22c55e;">Common Options</h3>
<table cellspacing="0" cellpadding="3">
<tr><td style="color:#0ea5e9;">Host</td><td>Alias name for this connection</td></tr>
<tr><td style="color:#0ea5e9;">HostName</td><td>IP address or domain name</td></tr>
<tr><td style="color:#0ea5e9;">User</td><td>Remote username</td></tr>
<tr><td style="color:#0ea5e9;">Port</td><td>SSH port (default 22)</td></tr>
<tr><td style="color:#0ea5e9;">IdentityFile</td><td>Path to private key file</td></tr>
<tr><td style="color:#0ea5e9;">IdentitiesOnly</td><td>Only use specified key, not ssh-agent keys</td></tr>
<tr><td style="color:#0ea5e9;">ProxyJump</td><td>Bastion/jump host (e.g., ProxyJump bastion)</td></tr>
<tr><td style="color:#0ea5e9;">ForwardAgent</td><td>Forward SSH agent to remote (use with caution)</td></tr>
<tr><td style="color:#0ea5e9;">LocalForward</td><td>Port forwarding: LocalForward 8080 localhost:80</td></tr>
<tr><td style="color:#0ea5e9;">ServerAliveInterval</td><td>Keep-alive interval in seconds</td></tr>
<tr><td style="color:#0ea5e9;">Compression</td><td>Enable compression (yes/no)</td></tr>
</table>
<h3 style="color:#22c55e;">Security Best Practices</h3>
<ul>
<li>Use Ed25519 keys: the strongest and fastest.</li>
<li>Set <code>IdentitiesOnly yes</code> to prevent key leakage.</li>
<li>Use <code>ProxyJump</code> for bastion hosts instead of agent forwarding.</li>
<li>Set <code>StrictHostKeyChecking yes</code> to prevent man-in-the-middle attacks.</li>
<li>File permissions: <code>~/.ssh/</code> = 700, <code>config</code> = 600, private keys = 600.</li>
</ul>
<h3 style="color:#22c55e;">Wildcard Hosts</h3>
<pre style="color:#e0f2fe; background-color:#111827; padding:8px; border-radius:4px;">Host *.example.com
    User deploy
    IdentityFile ~/.ssh/deploy_key

Host *
    ServerAliveInterval 60
    ServerAliveCountMax 3</pre>
)";

} // namespace

SshConfigEditor::SshConfigEditor(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QString::fromUtf8("SSH Config Editor \u2014 ~/.ssh/config"));
    setMinimumSize(900, 500);
    resize(1000, 580);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    auto* intro = new QLabel(QStringLiteral("Manage SSH connections. Each Host entry defines a server alias. "
                                            "Changes saved to ~/.ssh/config."),
                             this);
    intro->setWordWrap(true);
    intro->setFixedHeight(20);
    intro->setStyleSheet(QStringLiteral("color: #94a3b8; font-size: 12px;"));
    layout->addWidget(intro);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->addWidget(buildHostPane());
    splitter->addWidget(buildTextPane());
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Close, this);
    connect(buttons->button(QDialogButtonBox::Save), &QPushButton::clicked, this, [this] {
        // A failed write keeps the dialog open with the edits, to retry or copy.
        if (saveConfig())
            accept();
        else
            QMessageBox::warning(this, QStringLiteral("SSH Config Editor"),
                                 QStringLiteral("Could not write ~/.ssh/config."));
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    loadConfig();
}

QWidget* SshConfigEditor::buildHostPane()
{
    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);

    hostTree = new QTreeWidget(pane);
    hostTree->setObjectName(QStringLiteral("hostTree"));
    hostTree->setHeaderLabels({QStringLiteral("Host Alias"), QStringLiteral("HostName"), QStringLiteral("User"),
                               QStringLiteral("Port"), QStringLiteral("Key")});
    hostTree->setAlternatingRowColors(true);
    hostTree->setRootIsDecorated(false);
    hostTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    hostTree->setColumnWidth(0, 140);
    hostTree->setColumnWidth(1, 180);
    layout->addWidget(hostTree);

    const auto addButton = [](QHBoxLayout* row, const QString& text, const char* objectName) {
        auto* button = new QPushButton(text);
        if (objectName)
            button->setObjectName(QLatin1String(objectName));
        row->addWidget(button);
        return button;
    };
    auto* first = new QHBoxLayout;
    connect(addButton(first, QStringLiteral("Add Host..."), nullptr), &QPushButton::clicked, this,
            &SshConfigEditor::addHost);
    connect(addButton(first, QStringLiteral("Edit..."), "secondaryButton"), &QPushButton::clicked, this,
            &SshConfigEditor::editHost);
    connect(addButton(first, QStringLiteral("Remove"), "dangerButton"), &QPushButton::clicked, this,
            &SshConfigEditor::removeHost);
    connect(addButton(first, QStringLiteral("Duplicate"), "secondaryButton"), &QPushButton::clicked, this,
            &SshConfigEditor::duplicateHost);
    layout->addLayout(first);

    auto* second = new QHBoxLayout;
    QPushButton* connectButton = addButton(second, QStringLiteral("SSH Connect"), nullptr);
    connectButton->setStyleSheet(QStringLiteral("background-color: #0284c7; font-weight: 600;"));
    connect(connectButton, &QPushButton::clicked, this, &SshConfigEditor::connectToHost);
    connect(addButton(second, QStringLiteral("Test All"), "secondaryButton"), &QPushButton::clicked, this,
            &SshConfigEditor::testAll);
    connect(addButton(second, QStringLiteral("Fix Permissions"), "secondaryButton"), &QPushButton::clicked, this,
            &SshConfigEditor::fixPermissions);
    second->addStretch();
    layout->addLayout(second);
    return pane;
}

QWidget* SshConfigEditor::buildTextPane()
{
    auto* pane = new QWidget;
    auto* layout = new QVBoxLayout(pane);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    auto* tabs = new QTabWidget(pane);

    rawConfigEdit = new QTextEdit(pane);
    rawConfigEdit->setObjectName(QStringLiteral("rawConfigEdit"));
    rawConfigEdit->setAcceptRichText(false);
    rawConfigEdit->setFont(QFont(QStringLiteral("SF Mono"), 12));
    rawConfigEdit->setPlaceholderText(QStringLiteral("# ~/.ssh/config\n# Raw SSH config will appear here..."));
    tabs->addTab(rawConfigEdit, QStringLiteral("Raw Config"));

    guideView = new QTextEdit(pane);
    guideView->setObjectName(QStringLiteral("guideView"));
    guideView->setReadOnly(true);
    guideView->setHtml(QString::fromUtf8(guideHtml));
    tabs->addTab(guideView, QStringLiteral("SSH Config Guide"));

    layout->addWidget(tabs);
    return pane;
}

QString SshConfigEditor::managedHeader()
{
    QString text;
    for (const char* line : headerLines)
        text += QLatin1String(line) + QLatin1Char('\n');
    return text + QLatin1Char('\n');
}

QList<SshHostConfig> SshConfigEditor::parseConfigFile(const QString& path, QString* preamble)
{
    if (preamble)
        preamble->clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    QStringList lines;
    if (!text.isEmpty())
        lines = text.split(QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        lines.removeLast();   // the last line feed ends a line; it starts none

    QList<SshHostConfig> result;
    QStringList before;
    SshHostConfig current;
    bool inBlock = false;
    // ssh takes a Match block's lines as that block's own, up to the next
    // Host: none of it belongs to the Host above.
    bool inMatch = false;
    // ssh uses the first value of a keyword; the later ones stay as written.
    QSet<QString> seen;
    for (const QString& raw : lines) {
        const QString line = raw.trimmed();
        const bool comment = line.startsWith(QLatin1Char('#'));
        const QString keyword = line.section(QLatin1Char(' '), 0, 0).toLower();
        if (!comment && keyword == QLatin1String("host")) {
            if (inBlock)
                result.append(current);
            current = SshHostConfig();
            current.alias = line.mid(keyword.size()).trimmed();
            inBlock = true;
            inMatch = false;
            seen.clear();
            continue;
        }
        if (!inBlock) {
            before << raw;
            continue;
        }
        if (line.isEmpty())
            continue;
        if (inMatch || (!comment && keyword == QLatin1String("match"))) {
            inMatch = true;
            appendExtra(current, raw);
            continue;
        }
        if (comment)
            continue;
        const QString value = line.mid(keyword.size()).trimmed();
        if (!seen.contains(keyword) && setField(current, keyword, value)) {
            seen.insert(keyword);
            continue;
        }
        appendExtra(current, QStringLiteral("    ") + line);
    }
    if (inBlock)
        result.append(current);

    if (preamble) {
        // Our own header is written again in front of every save.
        qsizetype skip = 0;
        while (skip < qsizetype(std::size(headerLines)) && skip < before.size()
               && before.at(skip) == QLatin1String(headerLines[skip]))
            ++skip;
        if (skip == qsizetype(std::size(headerLines)) && skip < before.size() && before.at(skip).isEmpty())
            ++skip;
        else if (skip < qsizetype(std::size(headerLines)))
            skip = 0;
        for (qsizetype i = skip; i < before.size(); ++i)
            *preamble += before.at(i) + QLatin1Char('\n');
    }
    return result;
}

QString SshConfigEditor::generateConfigFile(const QList<SshHostConfig>& hosts, const QString& preamble)
{
    QString text = managedHeader() + preamble;
    if (!preamble.isEmpty() && !preamble.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    const auto add = [&text](const QString& line) { text += line + QLatin1Char('\n'); };
    const auto addValue = [&add](const char* keyword, const QString& value) {
        if (!value.isEmpty())
            add(QStringLiteral("    ") + QLatin1String(keyword) + QLatin1Char(' ') + value);
    };
    for (const SshHostConfig& host : hosts) {
        add(QStringLiteral("Host ") + host.alias);
        addValue("HostName", host.hostName);
        addValue("User", host.user);
        if (host.port != 22)
            add(QStringLiteral("    Port ") + QString::number(host.port));
        addValue("IdentityFile", host.identityFile);
        if (host.identitiesOnly)
            add(QStringLiteral("    IdentitiesOnly yes"));
        addValue("ProxyJump", host.proxyJump);
        addValue("LocalForward", host.localForward);
        addValue("RemoteForward", host.remoteForward);
        if (host.forwardAgent)
            add(QStringLiteral("    ForwardAgent yes"));
        if (host.compression)
            add(QStringLiteral("    Compression yes"));
        addValue("LogLevel", host.logLevel);
        if (host.serverAliveInterval >= 1)
            add(QStringLiteral("    ServerAliveInterval ") + QString::number(host.serverAliveInterval));
        if (host.serverAliveCountMax != 3)
            add(QStringLiteral("    ServerAliveCountMax ") + QString::number(host.serverAliveCountMax));
        if (!host.strictHostKeyChecking)
            add(QStringLiteral("    StrictHostKeyChecking no"));
        if (!host.extra.isEmpty())
            add(host.extra);
        add(QString());
    }
    return text;
}

bool SshConfigEditor::saveConfig()
{
    // Written beside the old file and renamed over it: a failed write leaves
    // the old configuration whole.
    if (!PrivateFiles::makePrivateDir(SshDirectory::path()))
        return false;
    if (!PrivateFiles::writeOwnerOnly(configPath(), generateConfigFile(hosts, preamble).toUtf8()))
        return false;
    Q_EMIT configSaved();
    return true;
}

bool SshConfigEditor::saveAndReload()
{
    if (!saveConfig()) {
        QMessageBox::warning(this, QStringLiteral("SSH Config Editor"),
                             QStringLiteral("Could not write ~/.ssh/config."));
        showHosts();
        return false;
    }
    loadConfig();
    return true;
}

void SshConfigEditor::loadConfig()
{
    hosts = parseConfigFile(configPath(), &preamble);
    showHosts();
    QFile file(configPath());
    if (file.open(QIODevice::ReadOnly))
        rawConfigEdit->setPlainText(QString::fromUtf8(file.readAll()));
}

void SshConfigEditor::showHosts()
{
    hostTree->clear();
    for (const SshHostConfig& host : std::as_const(hosts)) {
        const QString key = host.identityFile.isEmpty()
                                ? QStringLiteral("(default)")
                                : host.identityFile.mid(host.identityFile.lastIndexOf(QLatin1Char('/')) + 1);
        auto* item = new QTreeWidgetItem(
            hostTree, {host.alias, host.hostName, host.user, QString::number(host.port), key});
        const char* colour = host.alias == QLatin1String("*")      ? "#f59e0b"
                             : host.alias.contains(QLatin1Char('*')) ? "#0ea5e9"
                                                                     : "#22c55e";
        item->setForeground(0, QBrush(QColor(QLatin1String(colour))));
    }
}

int SshConfigEditor::currentIndex() const
{
    QTreeWidgetItem* item = hostTree->currentItem();
    if (!item)
        return -1;
    const int index = hostTree->indexOfTopLevelItem(item);
    return index < hosts.size() ? index : -1;
}

void SshConfigEditor::addHost()
{
    const QString title = QStringLiteral("Add SSH Host");
    bool ok = false;
    const QString alias = QInputDialog::getText(this, title, QStringLiteral("Host alias (shortcut name, e.g., 'myserver'):"),
                                                QLineEdit::Normal, QString(), &ok);
    if (!ok || alias.isEmpty())
        return;
    const QString hostName = QInputDialog::getText(
        this, title, QStringLiteral("HostName (IP or domain, e.g., '192.168.1.100'):"), QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return;
    const QString user = QInputDialog::getText(this, title, QStringLiteral("User (remote username):"),
                                               QLineEdit::Normal, qEnvironmentVariable("USER"), &ok);
    if (!ok)
        return;
    const QString defaultEntry = QString::fromUtf8("(default \u2014 use ssh-agent)");
    const QString identity = QInputDialog::getItem(this, title, QStringLiteral("Identity file (private key):"),
                                                   QStringList{defaultEntry} + SshDirectory::privateKeyNames(), 0,
                                                   false, &ok);
    if (!ok)
        return;

    SshHostConfig host;
    host.alias = alias;
    host.hostName = hostName;
    host.user = user;
    if (identity != defaultEntry) {
        host.identityFile = QStringLiteral("~/.ssh/") + identity;
        host.identitiesOnly = true;
    }
    hosts.append(host);
    saveAndReload();
}

void SshConfigEditor::editHost()
{
    const int index = currentIndex();
    if (index < 0) {
        QMessageBox::information(this, QStringLiteral("Edit"), QStringLiteral("Select a host first."));
        return;
    }
    const QString title = QStringLiteral("Edit Host: ") + hosts.at(index).alias;
    bool ok = false;
    // A value confirmed before a later Cancel stays in the list unsaved: the
    // next save writes it, Close drops it.
    const QString hostName = QInputDialog::getText(this, title, QStringLiteral("HostName:"), QLineEdit::Normal,
                                                   hosts.at(index).hostName, &ok);
    if (!ok)
        return;
    hosts[index].hostName = hostName;
    const QString user =
        QInputDialog::getText(this, title, QStringLiteral("User:"), QLineEdit::Normal, hosts.at(index).user, &ok);
    if (!ok)
        return;
    hosts[index].user = user;
    const QString port = QInputDialog::getText(this, title, QStringLiteral("Port:"), QLineEdit::Normal,
                                               QString::number(hosts.at(index).port), &ok);
    if (!ok)
        return;
    hosts[index].port = numberOf(port);
    saveAndReload();
}

void SshConfigEditor::removeHost()
{
    const int index = currentIndex();
    if (index < 0)
        return;
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Remove Host"),
        QStringLiteral("Remove SSH host '") + hosts.at(index).alias + QStringLiteral("'?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    hosts.removeAt(index);
    saveAndReload();
}

void SshConfigEditor::duplicateHost()
{
    const int index = currentIndex();
    if (index < 0)
        return;
    SshHostConfig copy = hosts.at(index);
    copy.alias += QStringLiteral("-copy");
    hosts.append(copy);
    saveAndReload();
}

void SshConfigEditor::connectToHost()
{
    const int index = currentIndex();
    if (index < 0) {
        QMessageBox::information(this, QStringLiteral("Connect"), QStringLiteral("Select a host first."));
        return;
    }
    const SshHostConfig host = hosts.at(index);
    const QString title = QStringLiteral("SSH Connect");
    // ssh would read such an alias as an option, whatever stands before it.
    if (host.alias.startsWith(QLatin1Char('-'))) {
        QMessageBox::warning(this, title, QStringLiteral("Invalid host alias."));
        return;
    }
    const auto answer = QMessageBox::question(
        this, title,
        QStringLiteral("Connect to: %1\nHost: %2\nUser: %3\nPort: %4\n\nTest connection first?")
            .arg(host.alias, host.hostName, host.user, QString::number(host.port)),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer != QMessageBox::Yes && answer != QMessageBox::No)   // Cancel, or the box closed
        return;
    if (answer == QMessageBox::Yes) {
        ToolRunner::Options options;
        options.finishTimeoutMs = connectTestTimeoutMs;
        const ToolRunner::Result result =
            ToolRunner::run(QStringLiteral("ssh"),
                            {QStringLiteral("-o"), QStringLiteral("ConnectTimeout=5"), QStringLiteral("-o"),
                             QStringLiteral("BatchMode=yes"), QStringLiteral("--"), host.alias,
                             QStringLiteral("echo"), QStringLiteral("OK")},
                            options);
        if (result.succeeded()) {
            QMessageBox::information(this, QStringLiteral("Connection Test"),
                                     QStringLiteral("Connection successful to ") + host.alias);
        } else {
            const QString error = result.started ? result.stdErrText().trimmed() : QString();
            const auto anyway = QMessageBox::warning(
                this, QStringLiteral("Connection Test"),
                QStringLiteral("Connection test failed:\n\n") + error + QStringLiteral("\n\nConnect anyway?"),
                QMessageBox::Yes | QMessageBox::No);
            if (anyway != QMessageBox::Yes)
                return;
        }
    }

    Q_EMIT sshConnectRequested(host.alias);
    // The Terminal runs this line through the user's shell: the alias is one
    // quoted word after "--", never syntax or an option.
    const QString command = QStringLiteral("ssh -- ") + ShellQuote::word(host.alias);
    if (!ToolRunner::startDetached(QStringLiteral("osascript"),
                                   {QStringLiteral("-e"), ShellQuote::terminalScript(command)}))
        QMessageBox::warning(this, title, QStringLiteral("Could not start osascript."));
}

void SshConfigEditor::testAll()
{
    rawConfigEdit->clear();
    LogView::appendLine(rawConfigEdit, QStringLiteral("Testing all SSH connections...\n"));
    for (const SshHostConfig& host : std::as_const(hosts)) {
        if (host.alias.contains(QLatin1Char('*')))
            continue;
        LogView::appendLine(rawConfigEdit, QStringLiteral("Testing %1 (%2:%3)...")
                                               .arg(host.alias, host.hostName, QString::number(host.port)));
        ToolRunner::Options options;
        options.finishTimeoutMs = testAllTimeoutMs;
        const ToolRunner::Result result =
            ToolRunner::run(QStringLiteral("ssh"),
                            {QStringLiteral("-o"), QStringLiteral("ConnectTimeout=3"), QStringLiteral("-o"),
                             QStringLiteral("BatchMode=yes"), QStringLiteral("--"), host.alias,
                             QStringLiteral("echo"), QStringLiteral("OK")},
                            options);
        if (result.succeeded()) {
            LogView::appendLine(rawConfigEdit, QStringLiteral("  PASS"));
        } else {
            const QString error = result.started ? result.stdErrText().trimmed() : QString();
            LogView::appendLine(rawConfigEdit, QStringLiteral("  FAIL: ") + error.left(60));
        }
    }
    LogView::appendLine(rawConfigEdit, QStringLiteral("\nDone."));
}

void SshConfigEditor::fixPermissions()
{
    const QString title = QStringLiteral("Fix Permissions");
    if (!QFileInfo(SshDirectory::path()).isDir()) {
        QMessageBox::information(this, title, QStringLiteral("No ~/.ssh folder to fix."));
        return;
    }
    const QStringList failed = SshDirectory::restrictPermissions();
    if (!failed.isEmpty()) {
        QMessageBox::warning(this, title,
                             QStringLiteral("Could not change the permissions of:\n\n  ") +
                                 failed.join(QStringLiteral("\n  ")));
        return;
    }
    QMessageBox::information(
        this, QStringLiteral("Permissions Fixed"),
        QString::fromUtf8("SSH directory and key permissions set to secure defaults:\n\n"
                          "  ~/.ssh/ \u2192 700 (owner only)\n"
                          "  config \u2192 600 (owner read/write)\n"
                          "  Private keys \u2192 600 (owner read/write)\n\n"
                          "This is required by OpenSSH \u2014 it will refuse to use keys\n"
                          "with incorrect permissions."));
}
