// The GPG page: the keyring tree, its refresh from gpg's colon listings and
// its context menu.
#include "ui/GpgKeyManagementTab.h"

#include "core/ToolRunner.h"
#include "ui/SectionTitle.h"

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

namespace {

void setTextColour(QTreeWidgetItem* item, int column, const char* colour)
{
    item->setForeground(column, QBrush(QColor(QString::fromLatin1(colour))));
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

    addButtonRow(layout, {{"Refresh", nullptr, &GpgKeyManagementTab::refreshGpgKeys},
                          {"Generate Key Pair...", nullptr, nullptr},
                          {"Export Public Key", "secondaryButton", nullptr},
                          {"Export Secret Key", "dangerButton", nullptr},
                          {"Sign Key", "secondaryButton", nullptr},
                          {"Delete", "dangerButton", nullptr}});
    addButtonRow(layout, {{"Edit Trust", nullptr, nullptr},
                          {"Revoke Key", "dangerButton", nullptr},
                          {"Gen Revocation Cert", "secondaryButton", nullptr},
                          {"Import Key", nullptr, nullptr},
                          {"Add Subkey", "secondaryButton", nullptr},
                          {"Add UID", "secondaryButton", nullptr}});
    return page;
}

QString GpgKeyManagementTab::runGpg(const QList<QString>& arguments)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = 15000;
    return ToolRunner::run(ToolRunner::findTool(QStringLiteral("gpg")), arguments, options).stdOutText();
}

QList<GpgKeyInfo> GpgKeyManagementTab::parseGpgOutput(const QString& text)
{
    return GpgColonListing::parse(text);
}

void GpgKeyManagementTab::refreshGpgKeys()
{
    gpgKeyTree->clear();
    const QList<GpgKeyInfo> publicKeys =
        parseGpgOutput(runGpg({QStringLiteral("--list-keys"), QStringLiteral("--with-colons")}));
    const QList<GpgKeyInfo> secretKeys =
        parseGpgOutput(runGpg({QStringLiteral("--list-secret-keys"), QStringLiteral("--with-colons")}));

    QSet<QString> secretFingerprints;
    for (const GpgKeyInfo& key : secretKeys)
        secretFingerprints.insert(key.fingerprint);

    for (const GpgKeyInfo& key : publicKeys) {
        auto* row = new QTreeWidgetItem(gpgKeyTree);
        row->setText(0, key.userId);
        row->setText(1, GpgColonListing::shortId(key.keyId));
        row->setText(2, key.algorithm);
        row->setText(3, key.trust);
        row->setText(4, key.created);
        row->setText(5, key.expires.isEmpty() ? QStringLiteral("Never") : key.expires);
        row->setText(6, key.capabilities.join(QStringLiteral(", ")));
        row->setData(0, Qt::UserRole, key.fingerprint);
        if (secretFingerprints.contains(key.fingerprint))
            setTextColour(row, 0, "#22c55e");
        if (key.expired)
            setTextColour(row, 3, "#dc2626");
        else if (key.revoked)
            setTextColour(row, 3, "#f59e0b");
        for (const QString& subkey : key.subkeys) {
            auto* child = new QTreeWidgetItem(row);
            child->setText(0, QStringLiteral("Subkey"));
            child->setText(1, GpgColonListing::shortId(subkey));
            setTextColour(child, 0, "#6b7280");
        }
    }
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
        QAction* action = into->addAction(text);
        if (operation)
            connect(action, &QAction::triggered, this, operation);
    };
    QMenu* exportMenu = menu.addMenu(QStringLiteral("Export"));
    addOperation(exportMenu, QStringLiteral("Export Public Key..."), nullptr);
    addOperation(exportMenu, QStringLiteral("Export Secret Key..."), nullptr);
    QMenu* trustMenu = menu.addMenu(QStringLiteral("Trust"));
    addOperation(trustMenu, QStringLiteral("Edit Owner Trust..."), nullptr);
    addOperation(trustMenu, QStringLiteral("Sign Key..."), nullptr);
    QMenu* modifyMenu = menu.addMenu(QStringLiteral("Modify"));
    addOperation(modifyMenu, QStringLiteral("Add Subkey..."), nullptr);
    addOperation(modifyMenu, QStringLiteral("Add UID..."), nullptr);
    menu.addSeparator();
    addOperation(&menu, QStringLiteral("Generate Revocation Cert..."), nullptr);
    QMenu* dangerMenu = menu.addMenu(QStringLiteral("Danger Zone"));
    addOperation(dangerMenu, QStringLiteral("Revoke Key..."), nullptr);
    addOperation(dangerMenu, QStringLiteral("Delete Key..."), nullptr);
    menu.exec(gpgKeyTree->viewport()->mapToGlobal(position));
}
