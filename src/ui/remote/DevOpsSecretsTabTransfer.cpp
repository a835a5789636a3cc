// The "SFTP / SCP" sub-tab: one host and one local path; scp runs on its own
// in the background, rsync and sftp in the Terminal application.
#include "ui/remote/DevOpsSecretsTab.h"

#include "core/ShellQuote.h"
#include "core/ToolRunner.h"
#include "ui/widgets/ButtonFit.h"
#include "ui/widgets/PageFill.h"
#include "ui/remote/SiteManagerDialog.h"
#include "ui/remote/TransferForm.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

struct TransferFields
{
    QLineEdit* host = nullptr;
    QLineEdit* user = nullptr;
    QLineEdit* port = nullptr;
    QLineEdit* remotePath = nullptr;
    QLineEdit* key = nullptr;
    QLineEdit* localPath = nullptr;

    TransferForm form() const
    {
        return {host->text(), user->text(), port->text(), remotePath->text(), key->text(), localPath->text()};
    }
};

QLineEdit* field(const char* objectName, const QString& placeholder)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QLatin1String(objectName));
    edit->setPlaceholderText(placeholder);
    return edit;
}

// Stored sites are read through openssl: the list fills in the background.
void fillSites(PageFill* fill, QComboBox* sites)
{
    fill->inWorker<QList<SiteProfile>>([] { return SiteManagerDialog::loadProfiles(); },
                                       [sites](const QList<SiteProfile>& found) {
                                           sites->clear();
                                           sites->addItem(QStringLiteral("(manual entry)"), QString());
                                           for (const SiteProfile& site : found)
                                               sites->addItem(QString::fromUtf8("%1 \u2014 %2@%3")
                                                                  .arg(site.name, site.user, site.hostname),
                                                              site.name);
                                       });
}

// A stored site fills the form; the manual entry leaves it as it is.
void chooseSite(QComboBox* sites, const TransferFields& fields)
{
    const QString name = sites->currentData().toString();
    if (name.isEmpty())
        return;
    for (const SiteProfile& site : SiteManagerDialog::loadProfiles()) {
        if (site.name != name)
            continue;
        fields.host->setText(site.hostname);
        fields.user->setText(site.user);
        fields.port->setText(QString::number(site.port));
        fields.remotePath->setText(site.remoteDir);
        fields.localPath->setText(site.localDir);
        fields.key->setText(site.keyPath);
        return;
    }
}

} // namespace

QWidget* DevOpsSecretsTab::createSftpSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(6);

    auto* first = new QHBoxLayout;
    first->addWidget(new QLabel(QStringLiteral("Site Profile:")));
    auto* sites = new QComboBox;
    sites->setObjectName(QStringLiteral("sftpSites"));
    sites->setPlaceholderText(QStringLiteral("(manual entry or select a saved site)"));
    sites->setMinimumWidth(250);
    first->addWidget(sites, 1);
    auto* refresh = new QPushButton(QStringLiteral("Refresh"));
    refresh->setObjectName(QStringLiteral("secondaryButton"));
    fitButtonToText(refresh, 70);
    first->addWidget(refresh);
    auto* siteManager = new QPushButton(QStringLiteral("Site Manager..."));
    fitButtonToText(siteManager, 110);
    first->addWidget(siteManager);
    layout->addLayout(first);

    sites->addItem(QStringLiteral("(manual entry)"), QString());
    auto* sitesFill = new PageFill(page, nullptr);
    connect(sitesFill, &PageFill::logLine, this, &DevOpsSecretsTab::log);
    sitesFill->setFill([sitesFill, sites] { fillSites(sitesFill, sites); });

    TransferFields fields;
    fields.host = field("sftpHost", QStringLiteral("hostname or IP"));
    fields.user = field("sftpUser", QStringLiteral("username"));
    fields.user->setFixedWidth(120);
    fields.port = field("sftpPort", QString());
    fields.port->setText(QStringLiteral("22"));
    fields.port->setFixedWidth(50);
    fields.remotePath = field("sftpRemotePath", QStringLiteral("/home/user/ or /var/www/"));
    fields.key = field("sftpKey", QStringLiteral("(default)"));
    fields.key->setFixedWidth(120);
    fields.localPath = field("sftpLocalPath", QStringLiteral("/path/to/local/"));

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Host:")), 0, 0);
    grid->addWidget(fields.host, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("User:")), 0, 2);
    grid->addWidget(fields.user, 0, 3);
    grid->addWidget(new QLabel(QStringLiteral("Port:")), 0, 4);
    grid->addWidget(fields.port, 0, 5);
    grid->addWidget(new QLabel(QStringLiteral("Remote Path:")), 1, 0);
    grid->addWidget(fields.remotePath, 1, 1, 1, 3);
    grid->addWidget(new QLabel(QStringLiteral("Key:")), 1, 4);
    grid->addWidget(fields.key, 1, 5);
    grid->addWidget(new QLabel(QStringLiteral("Local Path:")), 2, 0);
    grid->addWidget(fields.localPath, 2, 1, 1, 3);
    auto* browse = new QPushButton(QStringLiteral("Browse..."));
    browse->setObjectName(QStringLiteral("secondaryButton"));
    fitButtonToText(browse, 80);
    grid->addWidget(browse, 2, 4, 1, 2);
    layout->addLayout(grid);

    connect(sites, &QComboBox::currentIndexChanged, this, [sites, fields] { chooseSite(sites, fields); });

    auto* actions = new QHBoxLayout;
    auto actionButton = [actions](const QString& text, bool secondary) {
        auto* button = new QPushButton(text);
        if (secondary)
            button->setObjectName(QStringLiteral("secondaryButton"));
        fitButtonToText(button, 120);
        actions->addWidget(button);
        return button;
    };
    auto* upload = actionButton(QStringLiteral("SCP Upload"), false);
    auto* download = actionButton(QStringLiteral("SCP Download"), false);
    auto* rsync = actionButton(QStringLiteral("Rsync Sync"), true);
    auto* sftp = actionButton(QStringLiteral("SFTP Session"), false);
    actions->addStretch();
    layout->addLayout(actions);
    layout->addStretch();

    connect(refresh, &QPushButton::clicked, sitesFill, &PageFill::refresh);
    connect(siteManager, &QPushButton::clicked, this, [this, sitesFill] {
        SiteManagerDialog dialog(this);
        dialog.exec();
        sitesFill->refresh();
    });
    connect(browse, &QPushButton::clicked, this, [fields] {
        const QString dir = QFileDialog::getExistingDirectory(nullptr, QStringLiteral("Select Local Directory"),
                                                              QString(), QFileDialog::ShowDirsOnly);
        if (!dir.isEmpty())
            fields.localPath->setText(dir);
    });
    // A host or user the SSH client would read as an option is refused with
    // its reason, before anything is logged as run.
    auto refused = [this](const TransferForm& form, const QString& tool) {
        const QString why = form.refusal(tool);
        if (!why.isEmpty())
            log(tool + QStringLiteral(": ") + why);
        return !why.isEmpty();
    };
    auto scp = [this, fields, refused](bool toRemote) {
        const TransferForm form = fields.form();
        if (form.localPath.isEmpty() || form.host.isEmpty() || refused(form, QStringLiteral("scp")))
            return;
        startScp(form.scpArguments(toRemote));
    };
    connect(upload, &QPushButton::clicked, this, [scp] { scp(true); });
    connect(download, &QPushButton::clicked, this, [scp] { scp(false); });
    connect(rsync, &QPushButton::clicked, this, [this, fields, refused] {
        const TransferForm form = fields.form();
        if (form.localPath.isEmpty() || form.host.isEmpty() || refused(form, QStringLiteral("rsync")))
            return;
        log(form.rsyncCommandLine(TransferForm::Words::AsTyped));
        openInTerminal(form.rsyncCommandLine(TransferForm::Words::Quoted));
    });
    connect(sftp, &QPushButton::clicked, this, [this, fields, refused] {
        const TransferForm form = fields.form();
        if (form.host.isEmpty() || refused(form, QStringLiteral("sftp")))
            return;
        log(form.sftpCommandLine(TransferForm::Words::AsTyped));
        openInTerminal(form.sftpCommandLine(TransferForm::Words::Quoted));
    });
    return page;
}

void DevOpsSecretsTab::startScp(const QStringList& arguments)
{
    // An argument list: no shell reads the paths, blanks and all.
    log(QStringLiteral("scp ") + arguments.join(QLatin1Char(' ')));
    if (!ToolRunner::startDetached(QStringLiteral("scp"), arguments))
        log(QStringLiteral("Could not start scp."));
}

void DevOpsSecretsTab::openInTerminal(const QString& commandLine)
{
    if (!ToolRunner::startDetached(QStringLiteral("osascript"),
                                   {QStringLiteral("-e"), ShellQuote::terminalScript(commandLine)}))
        log(QStringLiteral("Could not start osascript."));
}
