// The GPG page: the keyring tree, its fill from gpg's colon listings and its
// context menu.
#include "ui/keys/GpgKeyManagementTab.h"
#include "app/StyleManager.h"

#include "core/ToolRunner.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/SectionTitle.h"

#include <QApplication>
#include <QBrush>
#include <QClipboard>
#include <QColor>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSet>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <utility>

namespace {

void setTextColour(QTreeWidgetItem* item, int column, StyleManager::Tone tone)
{
    StyleManager::setItemTone(item, column, tone);
}

// Why a listing run is not the whole keyring: gpg could not run, was cut off
// at its time-out, or ended with an error after printing what it could.
QString listingFailure(const ToolRunner::Result& result)
{
    QString reason = result.failure.isEmpty() ? QStringLiteral("exited with code %1").arg(result.exitCode)
                                              : result.failure;
    const QStringList errors = result.stdErrText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!errors.isEmpty())
        reason += QStringLiteral(": ") + errors.last().trimmed();
    return QStringLiteral("gpg ") + reason;
}

} // namespace

QWidget* GpgKeyManagementTab::buildGpgPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(makeSectionTitle(QStringLiteral("GPG / OpenPGP Keyring"), page));

    gpgKeyTree = new QTreeWidget(page);
    gpgKeyTree->setObjectName(QStringLiteral("gpgKeyTree"));
    gpgKeyTree->setHeaderLabels({QStringLiteral("User ID"), QStringLiteral("Key ID"), QStringLiteral("Algorithm"),
                                 QStringLiteral("Trust"), QStringLiteral("Created"), QStringLiteral("Expires"),
                                 QStringLiteral("Capabilities")});
    gpgKeyTree->setAlternatingRowColors(true);
    gpgKeyTree->setRootIsDecorated(true);
    gpgKeyTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    gpgKeyTree->setColumnWidth(0, 250);
    gpgKeyTree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(gpgKeyTree, &QTreeWidget::customContextMenuRequested, this, &GpgKeyManagementTab::showGpgContextMenu);
    layout->addWidget(gpgKeyTree);
    gpgStatus = addStatusLabel(layout);
    gpgFill = addPageFill(page, gpgKeyTree, gpgStatus);
    gpgFill->setFill([this] { fillGpgKeys(); });

    addButtonRow(layout, {{"Refresh", nullptr, &GpgKeyManagementTab::refreshGpgKeys},
                          {"Generate Key Pair...", nullptr, &GpgKeyManagementTab::generateGpgKey},
                          {"Export Public Key", "secondaryButton", &GpgKeyManagementTab::exportPublicKey},
                          {"Export Secret Key", "dangerButton", &GpgKeyManagementTab::exportSecretKey},
                          {"Sign Key", "secondaryButton", &GpgKeyManagementTab::signKey},
                          {"Delete", "dangerButton", &GpgKeyManagementTab::deleteKey}});
    addButtonRow(layout, {{"Edit Trust", nullptr, &GpgKeyManagementTab::editTrust},
                          {"Revoke Key", "dangerButton", &GpgKeyManagementTab::revokeKey},
                          {"Gen Revocation Cert", "secondaryButton", &GpgKeyManagementTab::generateRevocationCert},
                          {"Import Key", nullptr, &GpgKeyManagementTab::importKey},
                          {"Add Subkey", "secondaryButton", &GpgKeyManagementTab::addSubkey},
                          {"Add UID", "secondaryButton", &GpgKeyManagementTab::addUid}});
    return page;
}

QString GpgKeyManagementTab::runGpg(const QList<QString>& arguments)
{
    return runGpgTool(arguments, 15000).stdOutText();
}

ToolRunner::Result GpgKeyManagementTab::runGpgTool(const QStringList& arguments, int finishTimeoutMs,
                                                   const QByteArray& script)
{
    ToolRunner::Options options;
    options.startTimeoutMs = 5000;
    options.finishTimeoutMs = finishTimeoutMs;
    options.standardInput = script;
    return ToolRunner::run(ToolRunner::findTool(QStringLiteral("gpg")), arguments, options);
}

QList<GpgKeyInfo> GpgKeyManagementTab::parseGpgOutput(const QString& text)
{
    return GpgColonListing::parse(text);
}

void GpgKeyManagementTab::refreshGpgKeys()
{
    gpgFill->refresh();
}

void GpgKeyManagementTab::fillGpgKeys()
{
    ToolRunner::Options options;
    options.startTimeoutMs = 5000;
    options.finishTimeoutMs = listingTimeoutMs;
    const QString gpg = ToolRunner::findTool(QStringLiteral("gpg"));
    // A listing cut off at its time-out reads as a smaller keyring: keep the
    // keys shown before rather than present a part as the whole.
    const auto tellFailure = [this](const ToolRunner::Result& failed) {
        gpgFill->tell(QStringLiteral("GPG: keyring listing failed (%1); %2")
                          .arg(listingFailure(failed),
                               gpgKeyTree->topLevelItemCount() > 0
                                   ? QStringLiteral("the keys shown are from the previous listing.")
                                   : QStringLiteral("no keys are shown.")));
    };
    gpgFill->run(gpg, {QStringLiteral("--list-keys"), QStringLiteral("--with-colons")}, options,
                 [this, gpg, options, tellFailure](const ToolRunner::Result& publicRun) {
                     if (!publicRun.succeeded()) {
                         tellFailure(publicRun);
                         return;
                     }
                     gpgFill->run(gpg, {QStringLiteral("--list-secret-keys"), QStringLiteral("--with-colons")},
                                  options, [this, publicRun, tellFailure](const ToolRunner::Result& secretRun) {
                                      if (!secretRun.succeeded()) {
                                          tellFailure(secretRun);
                                          return;
                                      }
                                      // A large keyring takes a while to read, too.
                                      using Keyrings = std::pair<QList<GpgKeyInfo>, QList<GpgKeyInfo>>;
                                      gpgFill->inWorker<Keyrings>(
                                          [publicOut = publicRun.stdOut, secretOut = secretRun.stdOut] {
                                              return Keyrings{GpgColonListing::parse(QString::fromUtf8(publicOut)),
                                                              GpgColonListing::parse(QString::fromUtf8(secretOut))};
                                          },
                                          [this](Keyrings keys) { showGpgKeys(keys.first, keys.second); });
                                  });
                 });
}

void GpgKeyManagementTab::showGpgKeys(const QList<GpgKeyInfo>& publicKeys, const QList<GpgKeyInfo>& secretKeys)
{
    gpgKeyTree->clear();
    gpgFill->tell(QString());

    QSet<QString> secretFingerprints;
    for (const GpgKeyInfo& key : secretKeys)
        secretFingerprints.insert(key.fingerprint);

    // Rows are filled before they join the tree: one insertion for all of
    // them, rather than a model update per cell.
    QList<QTreeWidgetItem*> rows;
    rows.reserve(publicKeys.size());
    for (const GpgKeyInfo& key : publicKeys) {
        auto* row = new QTreeWidgetItem;
        rows.append(row);
        row->setText(0, key.userId);
        row->setText(1, GpgColonListing::shortId(key.keyId));
        row->setText(2, key.algorithm);
        row->setText(3, key.trust);
        row->setText(4, key.created);
        row->setText(5, key.expires.isEmpty() ? QStringLiteral("Never") : key.expires);
        row->setText(6, key.capabilities.join(QStringLiteral(", ")));
        row->setData(0, Qt::UserRole, key.fingerprint);
        if (secretFingerprints.contains(key.fingerprint))
            setTextColour(row, 0, StyleManager::Success);
        if (key.expired)
            setTextColour(row, 3, StyleManager::Danger);
        else if (key.revoked)
            setTextColour(row, 3, StyleManager::Warning);
        for (const QString& subkey : key.subkeys) {
            auto* child = new QTreeWidgetItem(row);
            child->setText(0, QStringLiteral("Subkey"));
            child->setText(1, GpgColonListing::shortId(subkey));
            setTextColour(child, 0, StyleManager::Muted);
        }
    }
    gpgKeyTree->addTopLevelItems(rows);
    log(QStringLiteral("GPG: %1 public keys, %2 secret keys").arg(publicKeys.size()).arg(secretKeys.size()));
}

void GpgKeyManagementTab::showGpgContextMenu(const QPoint& position)
{
    QTreeWidgetItem* item = gpgKeyTree->itemAt(position);
    if (!item)
        return;
    const QString fingerprint = item->data(0, Qt::UserRole).toString();
    if (fingerprint.isEmpty())
        return;
    const QString shownKeyId = item->text(1);

    QMenu menu(this);
    // Only the copy entries act on the clicked row; the operations take the
    // tree's current row, as their buttons do.
    menu.addAction(QStringLiteral("Copy Fingerprint"), this,
                   [fingerprint] { QApplication::clipboard()->setText(fingerprint); });
    menu.addAction(QStringLiteral("Copy Key ID"), this,
                   [shownKeyId] { QApplication::clipboard()->setText(shownKeyId); });
    menu.addSeparator();
    const auto addOperation = [this](QMenu* into, const QString& text, Operation operation) {
        connect(into->addAction(text), &QAction::triggered, this, operation);
    };
    QMenu* exportMenu = menu.addMenu(QStringLiteral("Export"));
    addOperation(exportMenu, QStringLiteral("Export Public Key..."), &GpgKeyManagementTab::exportPublicKey);
    addOperation(exportMenu, QStringLiteral("Export Secret Key..."), &GpgKeyManagementTab::exportSecretKey);
    QMenu* trustMenu = menu.addMenu(QStringLiteral("Trust"));
    addOperation(trustMenu, QStringLiteral("Edit Owner Trust..."), &GpgKeyManagementTab::editTrust);
    addOperation(trustMenu, QStringLiteral("Sign Key..."), &GpgKeyManagementTab::signKey);
    QMenu* modifyMenu = menu.addMenu(QStringLiteral("Modify"));
    addOperation(modifyMenu, QStringLiteral("Add Subkey..."), &GpgKeyManagementTab::addSubkey);
    addOperation(modifyMenu, QStringLiteral("Add UID..."), &GpgKeyManagementTab::addUid);
    menu.addSeparator();
    addOperation(&menu, QStringLiteral("Generate Revocation Cert..."),
                 &GpgKeyManagementTab::generateRevocationCert);
    QMenu* dangerMenu = menu.addMenu(QStringLiteral("Danger Zone"));
    addOperation(dangerMenu, QStringLiteral("Revoke Key..."), &GpgKeyManagementTab::revokeKey);
    addOperation(dangerMenu, QStringLiteral("Delete Key..."), &GpgKeyManagementTab::deleteKey);
    menu.exec(gpgKeyTree->viewport()->mapToGlobal(position));
}
