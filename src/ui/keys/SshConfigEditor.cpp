#include "ui/keys/SshConfigEditor.h"
#include "app/StyleManager.h"

#include "core/LogText.h"
#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/ShellQuote.h"
#include "core/SshDirectory.h"
#include "core/ToolArgs.h"
#include "core/ToolRunner.h"

#include <QBrush>
#include <QColor>
#include <QCryptographicHash>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
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

QByteArray hashOf(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

const QString changedOnDisk = QStringLiteral("~/.ssh/config was changed by another program after it was read here, "
                                             "so nothing was written.");

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
    connect(buttons->button(QDialogButtonBox::Save), &QPushButton::clicked, this, &SshConfigEditor::saveAndClose);
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

    // The file as it stands, to read: nothing typed here could reach the
    // file, so nothing may be typed.
    auto* raw = new QWidget(pane);
    auto* rawLayout = new QVBoxLayout(raw);
    rawLayout->setContentsMargins(0, 0, 0, 0);
    rawLayout->setSpacing(2);
    rawConfigEdit = new QTextEdit(raw);
    rawConfigEdit->setObjectName(QStringLiteral("rawConfigEdit"));
    rawConfigEdit->setReadOnly(true);
    rawConfigEdit->setAcceptRichText(false);
    rawConfigEdit->setFont(QFont(QStringLiteral("SF Mono"), 12));
    rawConfigEdit->setPlaceholderText(QStringLiteral("# ~/.ssh/config\n# Raw SSH config will appear here..."));
    rawLayout->addWidget(rawConfigEdit);
    auto* rawNote = new QLabel(QStringLiteral("Read-only. Change hosts with the buttons of the host list, or edit "
                                              "~/.ssh/config in a text editor."),
                               raw);
    rawNote->setObjectName(QStringLiteral("rawConfigNote"));
    rawNote->setWordWrap(true);
    rawNote->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(rawNote, StyleManager::Muted);
    rawLayout->addWidget(rawNote);
    tabs->addTab(raw, QStringLiteral("Raw Config"));

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
    QByteArray bytes;
    if (SshDirectory::readRegularFile(path, -1, &bytes) != SshDirectory::ReadOutcome::Read)
        return {};
    return SshConfigDocument(bytes).hosts();
}

QString SshConfigEditor::valueRefusal(const QString& field, const QString& value)
{
    if (value.isEmpty())
        return QString();
    // An identity file is a path, and a path may hold a blank ("id_rsa
    // copy"): it is written in quotes, which ssh takes off again.
    const bool quotable = field == QLatin1String("Identity file");
    for (const QChar c : value) {
        // ssh splits a value at a blank and refuses the extra words; a line
        // break would start a line of its own.
        const bool lineBreak = c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(0x85)
                               || c == QChar(QChar::LineSeparator) || c == QChar(QChar::ParagraphSeparator);
        if (lineBreak)
            return QStringLiteral("%1 must not contain a line break.").arg(field);
        if (c.isSpace() && !(quotable && c == QLatin1Char(' ')))
            return QStringLiteral("%1 must not contain a blank.").arg(field);
        if (c.category() == QChar::Other_Control || LogText::hasControls(QString(c)))
            return QStringLiteral("%1 must not contain a control character.").arg(field);
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
    return write(error) == WriteOutcome::Written;
}

SshConfigEditor::WriteOutcome SshConfigEditor::write(QString* error)
{
    if (configUnreadable) {
        if (error)
            *error = QStringLiteral("~/.ssh/config could not be read, so it is not written over.");
        return WriteOutcome::Failed;
    }
    // The file on disk wins: a host another program added since it was
    // read must not go because this editor writes what it read then.
    QByteArray onDisk;
    SshDirectory::FileStamp stamp;
    const SshDirectory::ReadOutcome now = SshDirectory::readRegularFile(configPath(), -1, &onDisk, nullptr, &stamp);
    if (now == SshDirectory::ReadOutcome::Missing ? configExisted
                                                   : (stamp != readStamp || hashOf(onDisk) != readHash)) {
        if (error)
            *error = changedOnDisk;
        return WriteOutcome::ChangedOnDisk;
    }
    if (error)
        *error = QStringLiteral("Could not write ~/.ssh/config.");
    QByteArray bytes = document.toBytes();
    if (!configExisted)
        bytes.prepend(managedHeader().toUtf8());
    // Written beside the old file and renamed over it: a failed write leaves
    // the old configuration whole.
    if (!PrivateFiles::makePrivateDir(SshDirectory::path()))
        return WriteOutcome::Failed;
    if (!PrivateFiles::writeOwnerOnly(configPath(), bytes))
        return WriteOutcome::Failed;
    // What was written is what is now read: the next save checks against it.
    QByteArray written;
    SshDirectory::readRegularFile(configPath(), -1, &written, nullptr, &readStamp);
    readHash = hashOf(bytes);
    if (!configExisted) {
        configExisted = true;
        document = SshConfigDocument(bytes);
    }
    pending.clear();
    if (error)
        error->clear();
    Q_EMIT configSaved();
    return WriteOutcome::Written;
}

void SshConfigEditor::makeChange(Change change)
{
    change.apply(document, change.host);
    pending.append(std::move(change));
}

bool SshConfigEditor::saveAndReload()
{
    // Another program may change the file again while the user answers: a
    // few rounds, then the user is left to try again.
    for (int round = 0; round < 3; ++round) {
        QString error;
        switch (write(&error)) {
        case WriteOutcome::Written:
            loadConfig();
            return true;
        case WriteOutcome::Failed:
            QMessageBox::warning(this, QStringLiteral("SSH Config Editor"), error);
            hosts = document.hosts();
            showHosts();
            return false;
        case WriteOutcome::ChangedOnDisk:
            if (!takeChangesToNewFile())
                return false;
            break;
        }
    }
    QMessageBox::warning(this, QStringLiteral("SSH Config Editor"),
                         changedOnDisk + QStringLiteral(" It keeps changing: try again later."));
    loadConfig();
    return false;
}

bool SshConfigEditor::takeChangesToNewFile()
{
    const QList<Change> mine = pending;
    loadConfig();
    QStringList madeAgain, notMade;
    for (Change change : mine) {
        if (change.host >= 0) {
            const int found = document.findHost(change.hostText, change.host);
            if (found < 0) {
                // The host was changed or removed: its own lines are no more.
                // One host still listed under the same alias is offered.
                int same = -1;
                for (int h = 0; h < hosts.size(); ++h) {
                    if (hosts.at(h).alias == change.alias)
                        same = same == -1 ? h : -2;
                }
                const bool offered =
                    same >= 0
                    && QMessageBox::question(
                           this, QStringLiteral("SSH Config Editor"),
                           QStringLiteral("Another program changed the host '%1' in ~/.ssh/config since it was read "
                                          "here.\n\nMake your %2 on the host as it is now?")
                               .arg(change.alias, change.description),
                           QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                           == QMessageBox::Yes;
                if (!offered) {
                    notMade << change.description;
                    continue;
                }
                change.host = same;
            } else {
                change.host = found;
            }
            change.hostText = document.hostText(change.host);
        }
        madeAgain << change.description;
        makeChange(change);
    }
    hosts = document.hosts();
    showHosts();

    QString told = changedOnDisk + QStringLiteral(" It has been read again.");
    if (!madeAgain.isEmpty())
        told += QStringLiteral("\n\nMade again on the file as it is now, and saved:\n  ")
                + madeAgain.join(QStringLiteral("\n  "));
    if (!notMade.isEmpty())
        told += QStringLiteral("\n\nNot made, as the other program changed or removed its host:\n  ")
                + notMade.join(QStringLiteral("\n  "));
    QMessageBox::information(this, QStringLiteral("SSH Config Editor"), told);
    return !pending.isEmpty();
}

void SshConfigEditor::saveAndClose()
{
    // With changes to write they go through the same check as every action;
    // without, the file is written as read (its modes narrowed) unless it
    // changed meanwhile. Either way, a file that changed keeps the dialog
    // open on what it holds now.
    QString error;
    switch (write(&error)) {
    case WriteOutcome::Written:
        accept();
        return;
    case WriteOutcome::Failed:
        // A failed write keeps the dialog open with the edits, to retry or copy.
        QMessageBox::warning(this, QStringLiteral("SSH Config Editor"), error);
        return;
    case WriteOutcome::ChangedOnDisk:
        if (pending.isEmpty()) {
            loadConfig();
            QMessageBox::information(this, QStringLiteral("SSH Config Editor"),
                                     changedOnDisk + QStringLiteral(" It has been read again."));
        } else if (takeChangesToNewFile()) {
            saveAndReload();
        }
        return;
    }
}

void SshConfigEditor::loadConfig()
{
    QByteArray bytes;
    QString error;
    // Read only as a regular file: a named pipe in its place would hold the
    // dialog until something writes to it.
    const SshDirectory::ReadOutcome outcome =
        SshDirectory::readRegularFile(configPath(), -1, &bytes, &error, &readStamp);
    configExisted = outcome != SshDirectory::ReadOutcome::Missing;
    configUnreadable = outcome == SshDirectory::ReadOutcome::NotRegular || outcome == SshDirectory::ReadOutcome::Failed;
    if (outcome == SshDirectory::ReadOutcome::Read)
        rawConfigEdit->setPlainText(QString::fromUtf8(bytes));
    else
        bytes.clear();
    readHash = hashOf(bytes);
    document = SshConfigDocument(bytes);
    hosts = document.hosts();
    pending.clear();
    showHosts();
}

void SshConfigEditor::showHosts()
{
    ports = document.effectivePorts();
    hostTree->clear();
    for (int i = 0; i < hosts.size(); ++i) {
        const SshHostConfig& host = hosts.at(i);
        const QString key = host.identityFile.isEmpty()
                                ? QStringLiteral("(default)")
                                : host.identityFile.mid(host.identityFile.lastIndexOf(QLatin1Char('/')) + 1);
        auto* item = new QTreeWidgetItem(hostTree, {host.alias, host.hostName, host.user, portShown(i), key});
        const StyleManager::Tone tone = host.alias == QLatin1String("*")      ? StyleManager::Warning
                                        : host.alias.contains(QLatin1Char('*')) ? StyleManager::Accent
                                                                                : StyleManager::Success;
        StyleManager::setItemTone(item, 0, tone);
    }
}

QString SshConfigEditor::portShown(int index) const
{
    // The port ssh would use, which a "Host *" block may set for a host
    // without a Port line of its own.
    const QString port = ports.value(index);
    return port.isEmpty() ? QStringLiteral("22") : port;
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
    const QString typed = QInputDialog::getText(this, title, QStringLiteral("Host alias (shortcut name, e.g., 'myserver'):"),
                                                QLineEdit::Normal, QString(), &ok);
    if (!ok || typed.isEmpty())
        return;
    // Blanks part the patterns of a Host line; each pattern is held to the
    // rules of a value, so no "#", quote or line break reaches the file. A
    // Host line without a pattern makes ssh refuse the whole file.
    const QStringList patterns = typed.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (patterns.isEmpty()) {
        QMessageBox::warning(this, title, QStringLiteral("Host alias must name at least one host."));
        return;
    }
    for (const QString& pattern : patterns) {
        if (!acceptValue(title, QStringLiteral("Host alias"), pattern))
            return;
    }
    const QString alias = patterns.join(QLatin1Char(' '));
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
        // A file name is anything the folder holds ("id_rsa copy", even a
        // line break): it is held to the same rules as a typed value.
        host.identityFile = QStringLiteral("~/.ssh/") + identity;
        if (!acceptValue(title, QStringLiteral("Identity file"), host.identityFile))
            return;
        host.identitiesOnly = true;
    }
    makeChange({QStringLiteral("addition of the host '%1'").arg(alias), alias, -1, QByteArray(),
                [host](SshConfigDocument& file, int) { file.addHost(host); }});
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
    // unsaved: the next save writes it, Close drops it. A value left as it
    // stands leaves its line alone, whatever form it has there.
    const QString shownPort = portShown(index);
    const struct {
        const char* field;
        QString shown;
        QString own;    // the host's own line; a Port shown may come from another block
    } prompts[] = {{"HostName", host.hostName, host.hostName},
                   {"User", host.user, host.user},
                   {"Port", shownPort, host.port}};
    QList<std::pair<QByteArray, QByteArray>> values;
    const auto keep = [&] {
        if (values.isEmpty())
            return;
        makeChange({QStringLiteral("edit of the host '%1'").arg(host.alias), host.alias, index,
                    document.hostText(index), [values](SshConfigDocument& file, int at) {
                        for (const auto& [keyword, value] : values)
                            file.setValue(at, keyword, value);
                    }});
    };
    for (const auto& prompt : prompts) {
        const QString field = QLatin1String(prompt.field);
        bool ok = false;
        const QString value = QInputDialog::getText(this, title, field + QLatin1Char(':'), QLineEdit::Normal,
                                                    prompt.shown, &ok);
        if (!ok) {
            keep();
            return;
        }
        // A port typed as it is shown is written when the host has no such
        // line of its own: that pins it against the block it came from. Only
        // ssh's own default, which nothing in the file sets, needs no line.
        const bool unchanged = value == prompt.own
                               || (prompt.own.isEmpty() && value == prompt.shown
                                   && (field != QLatin1String("Port") || ports.value(index).isEmpty()));
        if (unchanged)
            continue;
        if (!acceptValue(title, field, value)) {
            keep();
            return;
        }
        values.append({field.toLatin1(), value.toUtf8()});
    }
    keep();
    saveAndReload();
}

void SshConfigEditor::removeHost()
{
    const int index = currentIndex();
    if (index < 0)
        return;
    const QString alias = hosts.at(index).alias;
    const auto answer = QMessageBox::question(
        this, QStringLiteral("Remove Host"), QStringLiteral("Remove SSH host '") + alias + QStringLiteral("'?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    makeChange({QStringLiteral("removal of the host '%1'").arg(alias), alias, index, document.hostText(index),
                [](SshConfigDocument& file, int at) { file.removeHost(at); }});
    saveAndReload();
}

void SshConfigEditor::duplicateHost()
{
    const int index = currentIndex();
    if (index < 0)
        return;
    const QString alias = hosts.at(index).alias;
    makeChange({QStringLiteral("copy of the host '%1'").arg(alias), alias, index, document.hostText(index),
                [](SshConfigDocument& file, int at) { file.duplicateHost(at, QByteArrayLiteral("-copy")); }});
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
    // ssh is given one name the Host line matches: the whole line ("db
    // db.internal") is no host name, and a pattern of wildcards names none.
    const QString name = document.connectName(index);
    if (name.isEmpty()) {
        QMessageBox::information(this, title,
                                 QStringLiteral("The host '%1' names no single host to connect to: each of its "
                                                "patterns holds a wildcard or a \"!\".")
                                     .arg(host.alias));
        return;
    }
    // ssh would read such a name as an option, whatever stands before it.
    if (name.startsWith(QLatin1Char('-'))) {
        QMessageBox::warning(this, title, QStringLiteral("Invalid host alias."));
        return;
    }
    const QString port = portShown(index);
    const auto answer = QMessageBox::question(
        this, title,
        QStringLiteral("Connect to: %1\nHost: %2\nUser: %3\nPort: %4\n\nTest connection first?")
            .arg(host.alias, host.hostName, host.user, port),
        QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    if (answer != QMessageBox::Yes && answer != QMessageBox::No)   // Cancel, or the box closed
        return;
    if (answer == QMessageBox::Yes) {
        ToolRunner::Options options;
        options.finishTimeoutMs = connectTestTimeoutMs;
        const ToolRunner::Result result =
            ToolRunner::run(QStringLiteral("ssh"),
                            {QStringLiteral("-o"), QStringLiteral("ConnectTimeout=5"), QStringLiteral("-o"),
                             QStringLiteral("BatchMode=yes"), QStringLiteral("--"), name, QStringLiteral("echo"),
                             QStringLiteral("OK")},
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

    Q_EMIT sshConnectRequested(name);
    // The Terminal runs this line through the user's shell: the name is one
    // quoted word after "--", never syntax or an option.
    const QString command = QStringLiteral("ssh -- ") + ShellQuote::word(name);
    if (!ToolRunner::startDetached(QStringLiteral("osascript"),
                                   {QStringLiteral("-e"), ShellQuote::terminalScript(command)}))
        QMessageBox::warning(this, title, QStringLiteral("Could not start osascript."));
}

void SshConfigEditor::testAll()
{
    rawConfigEdit->clear();
    LogView::appendLine(rawConfigEdit, QStringLiteral("Testing all SSH connections...\n"));
    for (int i = 0; i < hosts.size(); ++i) {
        const SshHostConfig& host = hosts.at(i);
        // A Host line of wildcards names no host to test.
        const QString name = document.connectName(i);
        if (name.isEmpty())
            continue;
        LogView::appendLine(rawConfigEdit, QStringLiteral("Testing %1 (%2:%3)...")
                                               .arg(host.alias, host.hostName, portShown(i)));
        if (name.startsWith(QLatin1Char('-'))) {
            LogView::appendLine(rawConfigEdit, QStringLiteral("  FAIL: Invalid host alias."));
            continue;
        }
        ToolRunner::Options options;
        options.finishTimeoutMs = testAllTimeoutMs;
        const ToolRunner::Result result =
            ToolRunner::run(QStringLiteral("ssh"),
                            {QStringLiteral("-o"), QStringLiteral("ConnectTimeout=3"), QStringLiteral("-o"),
                             QStringLiteral("BatchMode=yes"), QStringLiteral("--"), name, QStringLiteral("echo"),
                             QStringLiteral("OK")},
                            options);
        if (result.succeeded()) {
            LogView::appendLine(rawConfigEdit, QStringLiteral("  PASS"));
        } else {
            const QString error = result.started ? result.stdErrText().trimmed() : QString();
            LogView::appendLine(rawConfigEdit, QStringLiteral("  FAIL: ") + LogText::escaped(error.left(60)));
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
    const SshDirectory::PermissionReport report = SshDirectory::tightenPermissions();
    // Each file by name, as it was and as it is: what was not changed is
    // not said to be.
    const auto describe = [](const SshDirectory::PermissionChange& change) {
        QString line = QStringLiteral("  %1%2 \u2192 %3")
                           .arg(LogText::escaped(change.shown),
                                change.privateKey ? QStringLiteral(" (private key)") : QString())
                           .arg(change.newMode, 3, 8, QLatin1Char('0'));
        line += QStringLiteral(" (was %1)").arg(change.oldMode, 3, 8, QLatin1Char('0'));
        if (!change.error.isEmpty())
            line = QStringLiteral("  %1: %2").arg(LogText::escaped(change.path), change.error);
        return line;
    };
    QStringList changed;
    for (const SshDirectory::PermissionChange& change : report.changed)
        changed << describe(change);
    const QString changedText = changed.isEmpty()
                                    ? QStringLiteral("Nothing needed changing: ~/.ssh/ and config grant nothing to "
                                                     "others, nor does any of the %1 private key(s).")
                                          .arg(report.privateKeys)
                                    : QStringLiteral("Changed:\n") + changed.join(QLatin1Char('\n'));
    if (!report.failed.isEmpty()) {
        QStringList failed;
        for (const SshDirectory::PermissionChange& change : report.failed)
            failed << describe(change);
        QMessageBox::warning(this, title,
                             QStringLiteral("Could not change the permissions of:\n\n") + failed.join(QLatin1Char('\n'))
                                 + QStringLiteral("\n\n") + changedText);
        return;
    }
    QMessageBox::information(
        this, QStringLiteral("Permissions Fixed"),
        QStringLiteral("SSH directory and key permissions set to secure defaults: ~/.ssh/ 700, config and every "
                       "private key 600.\n\n")
            + changedText
            + QString::fromUtf8("\n\nThis is required by OpenSSH \u2014 it will refuse to use keys\n"
                                "with incorrect permissions."));
}
