#include "ui/remote/SiteManagerDialog.h"
#include "app/StyleManager.h"

#include "app/SshTarget.h"
#include "config/UserProfile.h"
#include "core/LogText.h"
#include "core/ShellQuote.h"
#include "core/ToolRunner.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString sitesPath()
{
    return UserProfile::configDir() + QStringLiteral("/sites.enc");
}

// Bound to this machine and login; stored files depend on the exact tag.
QByteArray siteKey()
{
    return EncryptedFile::machineKey(QStringLiteral("Lanthorn-Quays-v4")).toHex();
}

QString address(const SiteProfile& site)
{
    return site.user + QLatin1Char('@') + site.hostname;
}

QString details(const SiteProfile& site)
{
    return QStringLiteral("Name:       %1\nGroup:      %2\nHost:       %3\nUser:       %4\nPort:       %5\n"
                          "Auth:       %6\nKey:        %7\nRemote Dir: %8\nLocal Dir:  %9\nProtocol:   %10\n"
                          "Keep-Alive: %11s\nCompress:   %12\nNotes:      %13")
        .arg(site.name, site.group, site.hostname, site.user, QString::number(site.port), site.auth, site.keyPath,
             site.remoteDir, site.localDir)
        .arg(site.protocol, QString::number(site.keepAlive),
             site.compression ? QStringLiteral("yes") : QStringLiteral("no"), site.notes);
}

QPushButton* button(const QString& text, const char* objectName, QHBoxLayout* row)
{
    auto* b = new QPushButton(text);
    if (objectName)
        b->setObjectName(QLatin1String(objectName));
    row->addWidget(b);
    return b;
}

} // namespace

SiteManagerDialog::SiteManagerDialog(QWidget* parent)
    : QDialog(parent)
    , store(sitesPath(), siteKey())
{
    setWindowTitle(QString::fromUtf8("Site Manager \u2014 Ostrevan Tessaril"));
    setMinimumSize(800, 500);
    resize(900, 560);
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);

    auto* intro = new QLabel(QStringLiteral("Manage remote server profiles for SSH, SFTP, SCP, and Rsync. "
                                            "Sites stored encrypted at ~/Ostrevan/OstrevanTessaril/sites.enc"));
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(intro, StyleManager::Muted);
    intro->setMaximumHeight(36);
    layout->addWidget(intro);

    auto* splitter = new QSplitter(Qt::Horizontal);
    auto* left = new QWidget;
    auto* leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->setSpacing(4);
    m_tree = new QTreeWidget;
    m_tree->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Host"), QStringLiteral("User"),
                             QStringLiteral("Port"), QStringLiteral("Auth"), QStringLiteral("Protocol")});
    m_tree->setAlternatingRowColors(true);
    m_tree->setRootIsDecorated(true);
    m_tree->header()->setSectionResizeMode(QHeaderView::Interactive);
    m_tree->setColumnWidth(0, 160);
    leftLayout->addWidget(m_tree);

    auto* editRow = new QHBoxLayout;
    connect(button(QStringLiteral("Add Site..."), nullptr, editRow), &QPushButton::clicked, this,
            &SiteManagerDialog::addSite);
    connect(button(QStringLiteral("Edit..."), "secondaryButton", editRow), &QPushButton::clicked, this,
            &SiteManagerDialog::editSite);
    connect(button(QStringLiteral("Remove"), "dangerButton", editRow), &QPushButton::clicked, this,
            &SiteManagerDialog::removeSite);
    connect(button(QStringLiteral("Duplicate"), "secondaryButton", editRow), &QPushButton::clicked, this,
            &SiteManagerDialog::duplicateSite);
    leftLayout->addLayout(editRow);

    auto* connectRow = new QHBoxLayout;
    QPushButton* ssh = button(QStringLiteral("SSH"), nullptr, connectRow);
    // Only while enabled: a disabled SSH button must look like its neighbours.
    ssh->setStyleSheet(QStringLiteral("QPushButton:enabled { background-color: %1; font-weight: 600; }")
                           .arg(StyleManager::color(StyleManager::Action).name()));
    connect(ssh, &QPushButton::clicked, this, &SiteManagerDialog::connectSsh);
    QPushButton* sftp = button(QStringLiteral("SFTP"), nullptr, connectRow);
    connect(sftp, &QPushButton::clicked, this, &SiteManagerDialog::connectSftp);
    QPushButton* scp = button(QStringLiteral("SCP"), "secondaryButton", connectRow);
    connect(scp, &QPushButton::clicked, this, &SiteManagerDialog::connectScp);
    QPushButton* rsync = button(QStringLiteral("Rsync"), "secondaryButton", connectRow);
    connect(rsync, &QPushButton::clicked, this, &SiteManagerDialog::connectRsync);
    // Connecting needs a site: a group row or no row leaves them disabled.
    const auto enableConnect = [this, ssh, sftp, scp, rsync] {
        for (QPushButton* connectButton : {ssh, sftp, scp, rsync})
            connectButton->setEnabled(selectedIndex() >= 0);
    };
    connect(m_tree, &QTreeWidget::currentItemChanged, this, enableConnect);
    connectRow->addStretch();
    leftLayout->addLayout(connectRow);

    auto* right = new QWidget;
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel(QStringLiteral("Site Details"));
    title->setObjectName(QStringLiteral("sectionTitle"));
    rightLayout->addWidget(title);
    auto* detailsView = new QTextEdit;
    detailsView->setReadOnly(true);
    detailsView->setPlaceholderText(QStringLiteral("Select a site to view details..."));
    rightLayout->addWidget(detailsView);

    connect(m_tree, &QTreeWidget::currentItemChanged, this, [this, detailsView](QTreeWidgetItem* current) {
        if (!current)
            return;
        const int index = current->data(0, Qt::UserRole).toInt();
        if (index < 0 || index >= m_sites.size())
            return;
        detailsView->setPlainText(details(m_sites.at(index)));
    });

    splitter->addWidget(left);
    splitter->addWidget(right);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    layout->addWidget(splitter);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    loadSites();
    enableConnect();
}

SiteManagerDialog::~SiteManagerDialog() = default;

QList<SiteProfile> SiteManagerDialog::loadProfiles()
{
    SiteStore reader(sitesPath(), siteKey());
    return reader.load();
}

void SiteManagerDialog::loadSites()
{
    m_sites.clear();
    m_tree->clear();
    m_sites = store.load();
    if (store.isUnreadable() && !toldUnreadable)
        setAsideUnreadable();
    QHash<QString, QTreeWidgetItem*> groups;
    for (int index = 0; index < m_sites.size(); ++index) {
        const SiteProfile& site = m_sites.at(index);
        QTreeWidgetItem* parent = nullptr;
        if (!site.group.isEmpty()) {
            parent = groups.value(site.group);
            if (!parent) {
                parent = new QTreeWidgetItem(m_tree, {site.group});
                parent->setData(0, Qt::UserRole, -1);
                parent->setExpanded(true);
                groups.insert(site.group, parent);
            }
        }
        const QStringList columns{site.name, site.hostname, site.user, QString::number(site.port), site.auth,
                                  site.protocol};
        auto* row = parent ? new QTreeWidgetItem(parent, columns) : new QTreeWidgetItem(m_tree, columns);
        row->setData(0, Qt::UserRole, index);
        if (!site.color.isEmpty())
            row->setForeground(0, QColor::fromString(site.color));
    }
}

void SiteManagerDialog::setAsideUnreadable()
{
    toldUnreadable = true;
    const QString why = store.unreadableReason();
    QString movedTo;
    const QString failure = store.setAside(&movedTo);
    // Only OK is offered: nothing here may write over the stored file.
    if (failure.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Site Manager"),
                             QStringLiteral("Your stored sites could not be read: %1.\n\n"
                                            "The file was moved aside unchanged, and nothing will write over it:\n"
                                            "%2\n\n"
                                            "The site list starts empty; sites you add are saved in a new "
                                            "sites.enc.")
                                 .arg(why, movedTo));
    } else {
        QMessageBox::warning(this, QStringLiteral("Site Manager"),
                             QStringLiteral("Your stored sites could not be read: %1.\n\n"
                                            "The file could not be moved aside (%2), so it stays as it is at:\n"
                                            "%3\n\n"
                                            "Nothing will write over it: changes to the site list are not saved "
                                            "while it is there.")
                                 .arg(why, failure, store.path()));
    }
}

bool SiteManagerDialog::refusedTarget(const QString& user, const QString& host, const QString& title)
{
    SshTarget target;
    target.user = user;
    target.host = host;
    const QString refusal = target.refusal();
    if (refusal.isEmpty())
        return false;
    QMessageBox::warning(this, title, refusal);
    return true;
}

QString SiteManagerDialog::saveSites()
{
    return store.save(m_sites);
}

void SiteManagerDialog::saveAndReload(const QString& title, const QString& notSaved)
{
    const QString failure = saveSites();
    loadSites();
    if (failure.isEmpty())
        return;
    // Names and the tool's words are shown as they are, never as markup.
    QMessageBox box(QMessageBox::Warning, title, QStringLiteral("%1: %2.").arg(notSaved, LogText::escaped(failure)),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

int SiteManagerDialog::selectedIndex() const
{
    const QTreeWidgetItem* current = m_tree->currentItem();
    if (!current)
        return -1;
    const int index = current->data(0, Qt::UserRole).toInt();
    return index >= 0 && index < m_sites.size() ? index : -1;
}

SiteProfile SiteManagerDialog::selectedProfile() const
{
    const int index = selectedIndex();
    return index >= 0 ? m_sites.at(index) : SiteProfile();
}

void SiteManagerDialog::addSite()
{
    const QString title = QStringLiteral("Add Site");
    bool ok = false;
    const QString name = QInputDialog::getText(this, title, QStringLiteral("Site name:"), QLineEdit::Normal,
                                               QString(), &ok);
    if (!ok || name.isEmpty())
        return;
    const QString group = QInputDialog::getText(this, title, QStringLiteral("Group (e.g., AWS, Office, Personal):"),
                                                QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return;
    const QString host = QInputDialog::getText(this, title, QStringLiteral("Hostname / IP:"), QLineEdit::Normal,
                                               QString(), &ok);
    if (!ok || host.isEmpty())
        return;
    const QString user = QInputDialog::getText(this, title, QStringLiteral("Username:"), QLineEdit::Normal,
                                               qEnvironmentVariable("USER"), &ok);
    if (!ok || refusedTarget(user, host, title))
        return;
    const QString method = QInputDialog::getItem(
        this, title, QStringLiteral("Authentication:"),
        {QStringLiteral("key"), QStringLiteral("password"), QStringLiteral("touch (YubiKey)"), QStringLiteral("agent")},
        0, false, &ok);
    if (!ok)
        return;

    SiteProfile site;
    site.name = name;
    site.group = group;
    site.hostname = host;
    site.user = user;
    site.auth = method.section(QLatin1Char(' '), 0, 0);
    site.protocol = QStringLiteral("ssh");
    if (site.auth == QLatin1String("key")) {
        QStringList keys = QDir(QDir::homePath() + QStringLiteral("/.ssh"))
                               .entryList({QStringLiteral("id_*")}, QDir::Files, QDir::Name | QDir::IgnoreCase);
        keys.removeIf([](const QString& file) { return file.endsWith(QLatin1String(".pub")); });
        if (!keys.isEmpty()) {
            const QString key = QInputDialog::getItem(this, title, QStringLiteral("SSH Key:"), keys, 0, false, &ok);
            if (ok)
                site.keyPath = QStringLiteral("~/.ssh/") + key;
        }
    }
    const QString colour = QInputDialog::getItem(
        this, title, QStringLiteral("Tab color:"),
        {QStringLiteral("Default"), QStringLiteral("Green (#22c55e)"), QStringLiteral("Blue (#0ea5e9)"),
         QStringLiteral("Amber (#f59e0b)"), QStringLiteral("Red (#dc2626)"), QStringLiteral("Purple (#8b5cf6)")},
        0, false, &ok);
    if (ok && colour.contains(QLatin1Char('#'))) {
        const qsizetype open = colour.indexOf(QLatin1Char('('));
        site.color = colour.mid(open + 1, colour.indexOf(QLatin1Char(')')) - open - 1);
    }

    m_sites.append(site);
    saveAndReload(title, QStringLiteral("The new site \"%1\" was not saved").arg(LogText::escaped(name)));
}

void SiteManagerDialog::editSite()
{
    const int index = selectedIndex();
    if (index < 0)
        return;
    const SiteProfile& site = m_sites.at(index);
    const QString title = QStringLiteral("Edit: ") + site.name;
    bool ok = false;
    const QString host = QInputDialog::getText(this, title, QStringLiteral("Hostname:"), QLineEdit::Normal,
                                               site.hostname, &ok);
    if (!ok)
        return;
    const QString user = QInputDialog::getText(this, title, QStringLiteral("User:"), QLineEdit::Normal, site.user,
                                               &ok);
    if (!ok || refusedTarget(user, host, title))
        return;
    m_sites[index].hostname = host;
    m_sites[index].user = user;
    saveAndReload(title,
                  QStringLiteral("The changes to \"%1\" were not saved").arg(LogText::escaped(m_sites.at(index).name)));
}

void SiteManagerDialog::removeSite()
{
    const int index = selectedIndex();
    if (index < 0)
        return;
    const auto answer = QMessageBox::question(this, QStringLiteral("Remove Site"),
                                              QStringLiteral("Remove '") + m_sites.at(index).name
                                                  + QStringLiteral("'?"),
                                              QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    const QString name = m_sites.at(index).name;
    m_sites.removeAt(index);
    saveAndReload(QStringLiteral("Remove Site"),
                  QStringLiteral("The removal of \"%1\" was not saved, so the site is still stored")
                      .arg(LogText::escaped(name)));
}

void SiteManagerDialog::duplicateSite()
{
    const int index = selectedIndex();
    if (index < 0)
        return;
    SiteProfile copy = m_sites.at(index);
    copy.name += QStringLiteral(" (copy)");
    m_sites.append(copy);
    saveAndReload(QStringLiteral("Duplicate Site"),
                  QStringLiteral("The copy of \"%1\" was not saved").arg(LogText::escaped(m_sites.at(index).name)));
}

void SiteManagerDialog::reportNotStarted(const QString& program)
{
    QMessageBox::warning(this, QStringLiteral("Site Manager"), QStringLiteral("Could not start %1.").arg(program));
}

void SiteManagerDialog::openInTerminal(const QString& commandLine)
{
    if (!ToolRunner::startDetached(QStringLiteral("osascript"),
                                   {QStringLiteral("-e"), ShellQuote::terminalScript(commandLine)}))
        reportNotStarted(QStringLiteral("osascript"));
}

void SiteManagerDialog::connectSsh()
{
    const SiteProfile site = selectedProfile();
    if (site.name.isEmpty() || refusedTarget(site.user, site.hostname, QStringLiteral("Site Manager")))
        return;
    QString command = QStringLiteral("ssh");
    if (!site.keyPath.isEmpty())
        command += QStringLiteral(" -i ") + ShellQuote::word(site.keyPath);
    if (site.port != 22)
        command += QStringLiteral(" -p ") + QString::number(site.port);
    command += QLatin1Char(' ') + ShellQuote::word(address(site));
    openInTerminal(command);
    Q_EMIT connectRequested(site, QStringLiteral("ssh"));
}

void SiteManagerDialog::connectSftp()
{
    const SiteProfile site = selectedProfile();
    if (site.name.isEmpty() || refusedTarget(site.user, site.hostname, QStringLiteral("Site Manager")))
        return;
    QString command = QStringLiteral("sftp");
    if (site.port != 22)
        command += QStringLiteral(" -P ") + QString::number(site.port);
    command += QLatin1Char(' ') + ShellQuote::word(address(site));
    openInTerminal(command);
    Q_EMIT connectRequested(site, QStringLiteral("sftp"));
}

void SiteManagerDialog::connectScp()
{
    const SiteProfile site = selectedProfile();
    if (site.name.isEmpty() || refusedTarget(site.user, site.hostname, QStringLiteral("Site Manager")))
        return;
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Select Local File to Copy"));
    if (file.isEmpty())
        return;
    // An argument list: no shell reads these words.
    if (!ToolRunner::startDetached(QStringLiteral("scp"),
                                   {QStringLiteral("-P"), QString::number(site.port), file,
                                    address(site) + QLatin1Char(':') + site.remoteDir}))
        reportNotStarted(QStringLiteral("scp"));
    Q_EMIT connectRequested(site, QStringLiteral("scp"));
}

void SiteManagerDialog::connectRsync()
{
    const SiteProfile site = selectedProfile();
    if (site.name.isEmpty() || refusedTarget(site.user, site.hostname, QStringLiteral("Site Manager")))
        return;
    const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Select Local Directory"));
    if (dir.isEmpty())
        return;
    // The "/" after the directory copies its contents, not the folder itself.
    openInTerminal(QStringLiteral("rsync -avz --progress -e 'ssh -p %1' %2/ %3")
                       .arg(QString::number(site.port), ShellQuote::word(dir),
                            ShellQuote::word(address(site) + QLatin1Char(':') + site.remoteDir)));
    Q_EMIT connectRequested(site, QStringLiteral("rsync"));
}
