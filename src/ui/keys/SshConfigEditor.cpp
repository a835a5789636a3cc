#include "ui/keys/SshConfigEditor.h"
#include "app/StyleManager.h"

#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/ShellQuote.h"
#include "core/SshDirectory.h"
#include "core/ToolArgs.h"
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
#include <QRegularExpression>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <netdb.h>

namespace {

const char* const headerLines[] = {"# ~/.ssh/config", "# Managed by Ostrevan Tessaril",
                                   "# https://ostrevan.example/tessaril"};

QString configPath()
{
    return SshDirectory::path() + QStringLiteral("/config");
}

// What the tree and the connection prompt show for a host without a Port.
QString portShown(const SshHostConfig& host)
{
    return host.port.isEmpty() ? QStringLiteral("22") : host.port;
}

// ssh takes a port as a number from 1 to 65535 or as a TCP service name.
bool portAccepted(const QString& value)
{
    bool number = false;
    const int port = value.toInt(&number, 10);
    if (number)
        return port >= 1 && port <= 65535 && value.at(0).isDigit();
    return ::getservbyname(value.toLocal8Bit().constData(), "tcp") != nullptr;
}

const char* const guideHtml = R"(
<h2 style="color:%1;">SSH Config Quick Reference</h2>
<p>The file <code>~/.ssh/config</code> defines named shortcuts for SSH connections, so you do not
have to type long commands.</p>
<h3 style="color:%2;">Basic Example</h3>
<pre style="color:#e0f2fe; background-color:#111827; padding:8px; border-radius:4px;">Host myserver
    HostName 192.168.1.100
    User admin
    Port 22
    IdentityFile ~/.ssh/id_ed25519</pre>
<p>Now you can just type: <code>ssh myserver</code></p>
<h3 style="color:%2;">Common Options</h3>
<table cellspacing="0" cellpadding="3">
<tr><td style="color:%1;">Host</td><td>Alias name for this connection</td></tr>
<tr><td style="color:%1;">HostName</td><td>IP address or domain name</td></tr>
<tr><td style="color:%1;">User</td><td>Remote username</td></tr>
<tr><td style="color:%1;">Port</td><td>SSH port (default 22)</td></tr>
<tr><td style="color:%1;">IdentityFile</td><td>Path to private key file</td></tr>
<tr><td style="color:%1;">IdentitiesOnly</td><td>Only use specified key, not ssh-agent keys</td></tr>
<tr><td style="color:%1;">ProxyJump</td><td>Bastion/jump host (e.g., ProxyJump bastion)</td></tr>
<tr><td style="color:%1;">ForwardAgent</td><td>Forward SSH agent to remote (use with caution)</td></tr>
<tr><td style="color:%1;">LocalForward</td><td>Port forwarding: LocalForward 8080 localhost:80</td></tr>
<tr><td style="color:%1;">ServerAliveInterval</td><td>Keep-alive interval in seconds</td></tr>
<tr><td style="color:%1;">Compression</td><td>Enable compression (yes/no)</td></tr>
</table>
<h3 style="color:%2;">Security Best Practices</h3>
<ul>
<li>Use Ed25519 keys: the strongest and fastest.</li>
<li>Set <code>IdentitiesOnly yes</code> to prevent key leakage.</li>
<li>Use <code>ProxyJump</code> for bastion hosts instead of agent forwarding.</li>
<li>Set <code>StrictHostKeyChecking yes</code> to prevent man-in-the-middle attacks.</li>
<li>File permissions: <code>~/.ssh/</code> = 700, <code>config</code> = 600, private keys = 600.</li>
</ul>
<h3 style="color:%2;">Wildcard Hosts</h3>
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
    intro->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(intro, StyleManager::Muted);
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
        QString error;
        if (saveConfig(&error))
            accept();
        else
            QMessageBox::warning(this, QStringLiteral("SSH Config Editor"), error);
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
    connectButton->setStyleSheet(
        QStringLiteral("background-color: %1; font-weight: 600;").arg(StyleManager::color(StyleManager::Action).name()));
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
    guideView->setHtml(QString::fromUtf8(guideHtml).arg(StyleManager::color(StyleManager::Accent).name(),
                                                        StyleManager::color(StyleManager::Success).name()));
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

QList<SshHostConfig> SshConfigEditor::parseConfigFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return SshConfigDocument(file.readAll()).hosts();
}

QString SshConfigEditor::valueRefusal(const QString& field, const QString& value)
{
    if (value.isEmpty())
        return QString();
    for (const QChar c : value) {
        // ssh splits a value at a blank and refuses the extra words; a line
        // break would start a line of its own.
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return QStringLiteral("%1 must not contain a blank.").arg(field);
        if (c == QLatin1Char('#'))
            return QStringLiteral("%1 must not contain \"#\": ssh would read the rest as a comment.").arg(field);
        if (c == QLatin1Char('"') || c == QLatin1Char('\'') || c == QLatin1Char('\\'))
            return QStringLiteral("%1 must not contain quotes or \"\\\".").arg(field);
    }
    const QString option = ToolArgs::refusal(field, value, QStringLiteral("the SSH client"));
    if (!option.isEmpty())
        return option;
    if (field == QLatin1String("Port") && !portAccepted(value))
        return QStringLiteral("Port must be a number from 1 to 65535 or a service name.");
    return QString();
}

bool SshConfigEditor::saveConfig(QString* error)
{
    if (configUnreadable) {
        if (error)
            *error = QStringLiteral("~/.ssh/config could not be read, so it is not written over.");
        return false;
    }
    if (error)
        *error = QStringLiteral("Could not write ~/.ssh/config.");
    QByteArray bytes = document.toBytes();
    if (!configExisted)
        bytes.prepend(managedHeader().toUtf8());
    // Written beside the old file and renamed over it: a failed write leaves
    // the old configuration whole.
    if (!PrivateFiles::makePrivateDir(SshDirectory::path()))
        return false;
    if (!PrivateFiles::writeOwnerOnly(configPath(), bytes))
        return false;
    if (!configExisted) {
        configExisted = true;
        document = SshConfigDocument(bytes);
    }
    if (error)
        error->clear();
    Q_EMIT configSaved();
    return true;
}

bool SshConfigEditor::saveAndReload()
{
    QString error;
    if (!saveConfig(&error)) {
        QMessageBox::warning(this, QStringLiteral("SSH Config Editor"), error);
        hosts = document.hosts();
        showHosts();
        return false;
    }
    loadConfig();
    return true;
}

void SshConfigEditor::loadConfig()
{
    QFile file(configPath());
    configExisted = QFileInfo::exists(configPath());
    configUnreadable = false;
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        configUnreadable = file.error() != QFileDevice::NoError;
        rawConfigEdit->setPlainText(QString::fromUtf8(bytes));
    } else {
        configUnreadable = configExisted;
    }
    document = SshConfigDocument(bytes);
    hosts = document.hosts();
    showHosts();
}

void SshConfigEditor::showHosts()
{
    hostTree->clear();
    for (const SshHostConfig& host : std::as_const(hosts)) {
        const QString key = host.identityFile.isEmpty()
                                ? QStringLiteral("(default)")
                                : host.identityFile.mid(host.identityFile.lastIndexOf(QLatin1Char('/')) + 1);
        auto* item = new QTreeWidgetItem(hostTree, {host.alias, host.hostName, host.user, portShown(host), key});
        const StyleManager::Tone tone = host.alias == QLatin1String("*")      ? StyleManager::Warning
                                        : host.alias.contains(QLatin1Char('*')) ? StyleManager::Accent
                                                                                : StyleManager::Success;
        StyleManager::setItemTone(item, 0, tone);
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
    // Blanks part the patterns of a Host line; each pattern is held to the
    // rules of a value, so no "#", quote or line break reaches the file.
    for (const QString& pattern : alias.split(QRegularExpression(QStringLiteral("[ \t]+")), Qt::SkipEmptyParts)) {
        const QString why = valueRefusal(QStringLiteral("Host alias"), pattern);
        if (!why.isEmpty()) {
            QMessageBox::warning(this, title, why);
            return;
        }
    }
    const QString hostName = QInputDialog::getText(
        this, title, QStringLiteral("HostName (IP or domain, e.g., '192.168.1.100'):"), QLineEdit::Normal, QString(), &ok);
    if (!ok || !acceptValue(title, QStringLiteral("HostName"), hostName))
        return;
    const QString user = QInputDialog::getText(this, title, QStringLiteral("User (remote username):"),
                                               QLineEdit::Normal, qEnvironmentVariable("USER"), &ok);
    if (!ok || !acceptValue(title, QStringLiteral("User"), user))
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
    document.appendHost(host);
    saveAndReload();
}

void SshConfigEditor::editHost()
{
    const int index = currentIndex();
    if (index < 0) {
        QMessageBox::information(this, QStringLiteral("Edit"), QStringLiteral("Select a host first."));
        return;
    }
    const SshHostConfig host = hosts.at(index);
    const QString title = QStringLiteral("Edit Host: ") + host.alias;
    // A value confirmed before a later Cancel stays in the file as edited,
    // unsaved: the next save writes it, Close drops it. A value left as shown
    // leaves its line alone, whatever form it has there.
    const struct {
        const char* field;
        QString shown;
    } prompts[] = {{"HostName", host.hostName}, {"User", host.user}, {"Port", portShown(host)}};
    for (const auto& prompt : prompts) {
        const QString field = QLatin1String(prompt.field);
        bool ok = false;
        const QString value = QInputDialog::getText(this, title, field + QLatin1Char(':'), QLineEdit::Normal,
                                                    prompt.shown, &ok);
        if (!ok)
            return;
        if (value == prompt.shown)
            continue;
        if (!acceptValue(title, field, value))
            return;
        document.setValue(index, field.toLatin1(), value.toUtf8());
    }
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
    document.removeHost(index);
    saveAndReload();
}

void SshConfigEditor::duplicateHost()
{
    const int index = currentIndex();
    if (index < 0)
        return;
    document.duplicateHost(index, QByteArrayLiteral("-copy"));
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
            .arg(host.alias, host.hostName, host.user, portShown(host)),
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
                                               .arg(host.alias, host.hostName, portShown(host)));
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

bool SshConfigEditor::acceptValue(const QString& title, const QString& field, const QString& value)
{
    const QString why = valueRefusal(field, value);
    if (why.isEmpty())
        return true;
    QMessageBox::warning(this, title, why);
    return false;
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
