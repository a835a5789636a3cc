// The "SSH Terminal" sub-tab: stored sites and ~/.ssh/config aliases, opened
// in an embedded terminal window.
#include "ui/remote/DevOpsSecretsTab.h"
#include "app/StyleManager.h"

#include "app/SshTarget.h"
#include "ui/widgets/ButtonFit.h"
#include "ui/widgets/PageFill.h"
#include "ui/remote/SiteManagerDialog.h"
#include "ui/remote/SshTerminalWindow.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextStream>
#include <QVBoxLayout>

namespace {

const QString kConfigAlias = QStringLiteral("ssh:");

// The aliases of the "Host " lines, in file order. Only "Host" followed by one
// blank counts; a line naming a wildcard ("*") is no host to connect to. A
// line of several patterns gives them all as one alias.
QStringList sshConfigAliases()
{
    QFile file(QDir::homePath() + QStringLiteral("/.ssh/config"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList aliases;
    QTextStream in(&file);
    QString line;
    while (in.readLineInto(&line)) {
        const QString trimmed = line.trimmed();
        if (!trimmed.startsWith(QLatin1String("Host ")) || trimmed.contains(QLatin1Char('*')))
            continue;
        aliases << trimmed.mid(5).trimmed();
    }
    return aliases;
}

} // namespace

QWidget* DevOpsSecretsTab::createSshSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(6);

    auto* first = new QHBoxLayout;
    first->addWidget(new QLabel(QStringLiteral("Site:")));
    auto* targets = new QComboBox;
    targets->setObjectName(QStringLiteral("sshTargets"));
    targets->setMinimumWidth(250);
    first->addWidget(targets, 1);
    first->addWidget(new QLabel(QStringLiteral("or Host:")));
    auto* typedHost = new QLineEdit;
    typedHost->setObjectName(QStringLiteral("sshHost"));
    typedHost->setPlaceholderText(QStringLiteral("user@hostname"));
    typedHost->setMinimumWidth(180);
    first->addWidget(typedHost);
    auto* connectButton = new QPushButton(QStringLiteral("Connect"));
    fitButtonToText(connectButton, 100, 28);
    connectButton->setStyleSheet(
        QStringLiteral("background-color: %1; font-weight: 600;").arg(StyleManager::color(StyleManager::Action).name()));
    first->addWidget(connectButton);
    layout->addLayout(first);

    targets->addItem(QStringLiteral("(type host manually)"), QString());
    auto* sitesFill = new PageFill(page, nullptr);
    connect(sitesFill, &PageFill::logLine, this, &DevOpsSecretsTab::log);
    sitesFill->setFill([this, sitesFill, targets] { fillSshTargets(sitesFill, targets); });

    auto* second = new QHBoxLayout;
    auto* siteManager = new QPushButton(QStringLiteral("Site Manager..."));
    fitButtonToText(siteManager, 130);
    second->addWidget(siteManager);
    auto* refresh = new QPushButton(QStringLiteral("Refresh"));
    refresh->setObjectName(QStringLiteral("secondaryButton"));
    fitButtonToText(refresh, 70);
    second->addWidget(refresh);
    second->addStretch();
    auto* hint = new QLabel(QStringLiteral("Sites from Site Manager + ~/.ssh/config. Select and Connect."));
    hint->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(hint, StyleManager::Muted);
    second->addWidget(hint);
    layout->addLayout(second);
    layout->addStretch();

    connect(connectButton, &QPushButton::clicked, this, [this, targets, typedHost] { connectSsh(targets, typedHost); });
    connect(siteManager, &QPushButton::clicked, this, [this, sitesFill] {
        SiteManagerDialog dialog(this);
        dialog.exec();
        sitesFill->refresh();
    });
    connect(refresh, &QPushButton::clicked, sitesFill, &PageFill::refresh);
    return page;
}

void DevOpsSecretsTab::fillSshTargets(PageFill* fill, QComboBox* targets)
{
    using Targets = std::pair<QList<SiteProfile>, QStringList>;
    fill->inWorker<Targets>([] { return Targets{SiteManagerDialog::loadProfiles(), sshConfigAliases()}; },
                            [targets](Targets found) {
                                targets->clear();
                                targets->addItem(QStringLiteral("(type host manually)"), QString());
                                for (const SiteProfile& site : found.first) {
                                    const QString group = site.group.isEmpty() ? QStringLiteral("Site") : site.group;
                                    targets->addItem(QStringLiteral("[%1] %2@%3").arg(group, site.user, site.hostname),
                                                     site.name);
                                }
                                for (const QString& alias : found.second)
                                    targets->addItem(QStringLiteral("[SSH Config] ") + alias, kConfigAlias + alias);
                            });
}

void DevOpsSecretsTab::connectSsh(QComboBox* targets, QLineEdit* typedHost)
{
    const QString data = targets->currentData().toString();
    QString host;
    QString user;
    QString keyPath;
    int port = 22;
    if (data.startsWith(kConfigAlias)) {
        // Only the alias: the SSH client applies the configuration's settings for it.
        host = data.mid(kConfigAlias.size());
    } else if (!data.isEmpty()) {
        for (const SiteProfile& site : SiteManagerDialog::loadProfiles()) {
            if (site.name == data) {
                host = site.hostname;
                user = site.user;
                port = site.port;
                keyPath = site.keyPath;
                break;
            }
        }
    } else {
        const QString typed = typedHost->text().trimmed();
        const qsizetype at = typed.indexOf(QLatin1Char('@'));
        if (at >= 0) {
            user = typed.left(at);
            host = typed.mid(at + 1);
        } else {
            host = typed;
        }
    }
    if (host.isEmpty())
        return;
    // However it was typed or stored, a word the SSH client would read as
    // an option never reaches it.
    SshTarget target;
    target.host = host;
    target.user = user;
    const QString refusal = target.refusal();
    if (!refusal.isEmpty()) {
        log(QStringLiteral("SSH: ") + refusal);
        return;
    }

    // The window is the tab's child so it goes with the tab at the latest;
    // closing it ends its sessions rather than hiding them out of reach.
    auto* window = new SshTerminalWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->newSshTab(host, user, port, keyPath, QString(), QString());
    window->show();
    window->raise();
    log(QStringLiteral("SSH: %1%2:%3")
            .arg(user.isEmpty() ? QString() : user + QLatin1Char('@'), host, QString::number(port)));
}
