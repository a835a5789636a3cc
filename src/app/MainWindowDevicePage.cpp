#include "app/MainWindow.h"
#include "app/StyleManager.h"

#include "app/DeviceConfigDialog.h"
#include "core/LogView.h"
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"
#include "ui/widgets/HeaderFit.h"
#include "ui/widgets/SectionTitle.h"

#include <QBrush>
#include <QClipboard>
#include <QColor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

enum Column {
    DeviceColumn,
    ManufacturerColumn,
    ProfileColumn,
    FirmwareColumn,
    FidoVersionColumn,
    PinColumn,
    PivColumn,
    CredentialsColumn,
    TransportColumn,
    ColumnCount
};

const StyleManager::Tone successColour = StyleManager::Success;
const StyleManager::Tone warningColour = StyleManager::Warning;
const StyleManager::Tone accentColour = StyleManager::Accent;
const StyleManager::Tone mutedColour = StyleManager::Muted;
const StyleManager::Tone dimColour = StyleManager::Muted;

// colour: a StyleManager::Tone, or -1 for the view's own text colour.
void setCell(QTreeWidgetItem* item, int column, const QString& text, int colour = -1)
{
    item->setText(column, text);
    if (colour >= 0)
        StyleManager::setItemTone(item, column, StyleManager::Tone(colour));
}

void fillRow(QTreeWidgetItem* item, const FidoKeyInfo& key, const DeviceProfile& entry)
{
    setCell(item, DeviceColumn, key.product);
    setCell(item, ManufacturerColumn, key.manufacturer);
    setCell(item, ProfileColumn, entry.name, accentColour);

    const QString firmware = key.firmwareMajor != 0
        ? QStringLiteral("%1.%2.%3").arg(key.firmwareMajor).arg(key.firmwareMinor).arg(key.firmwarePatch)
        : QStringLiteral("N/A");
    setCell(item, FirmwareColumn, firmware, mutedColour);

    StyleManager::Tone versionColour = mutedColour;
    if (key.fidoVersion == QLatin1String("FIDO_2_1"))
        versionColour = successColour;
    else if (key.fidoVersion == QLatin1String("FIDO_2_1_PRE"))
        versionColour = accentColour;
    if (key.notAnswering) {
        // Its answer would have filled this column; the user has to learn
        // why the row says so little.
        setCell(item, FidoVersionColumn, QStringLiteral("Not answering"), warningColour);
        item->setToolTip(FidoVersionColumn, QStringLiteral("The key did not answer in time; it may be "
                                                           "busy, or need to be plugged in again."));
    } else {
        setCell(item, FidoVersionColumn, key.fidoVersion, versionColour);
    }

    setCell(item, PinColumn, key.clientPin ? QStringLiteral("Yes") : QStringLiteral("No"),
            key.clientPin ? successColour : warningColour);
    setCell(item, PivColumn, entry.piv ? entry.toolchain.toUpper() : QStringLiteral("No"),
            entry.piv ? successColour : dimColour);
    setCell(item, CredentialsColumn,
            key.remainingCredentials >= 0 ? QStringLiteral("%1 slots").arg(key.remainingCredentials)
                                          : QStringLiteral("N/A"));
    setCell(item, TransportColumn,
            key.transports.isEmpty() ? QStringLiteral("USB") : key.transports.join(QStringLiteral(", ")));
}

// Labels without an action of their own point the user at a page. The pages
// are matched by the first listed word that occurs in the label.
int pageForLabel(const QString& label)
{
    static const struct {
        const char* word;
        int page;
    } words[] = {
        {"Harden", MainWindow::CertificatesPage},   {"CSR", MainWindow::CertificatesPage},
        {"Attestation", MainWindow::CertificatesPage}, {"Import Cert", MainWindow::CertificatesPage},
        {"PIV", MainWindow::CertificatesPage},      {"OATH", MainWindow::DevOpsToolsPage},
        {"OpenPGP", MainWindow::DevOpsToolsPage},   {"OTP", MainWindow::DevOpsToolsPage},
        {"Reset", MainWindow::CodeSigningPage},
    };
    for (const auto& entry : words) {
        if (label.contains(QLatin1String(entry.word)))
            return entry.page;
    }
    return -1;
}

} // namespace

QWidget* MainWindow::createDeviceInspectorTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(makeSectionTitle(QStringLiteral("Connected Security Keys"), page));

    deviceTree = new QTreeWidget(page);
    deviceTree->setObjectName(QStringLiteral("deviceTree"));
    deviceTree->setColumnCount(ColumnCount);
    deviceTree->setHeaderLabels({QStringLiteral("Device"), QStringLiteral("Manufacturer"),
                                 QStringLiteral("Profile"), QStringLiteral("Firmware"),
                                 QStringLiteral("FIDO Version"), QStringLiteral("PIN"),
                                 QStringLiteral("PIV"), QStringLiteral("Credentials"),
                                 QStringLiteral("Transport")});
    deviceTree->setAlternatingRowColors(true);
    deviceTree->setRootIsDecorated(false);
    deviceTree->header()->setStretchLastSection(true);
    deviceTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    deviceTree->header()->setDefaultSectionSize(110);
    deviceTree->setColumnWidth(DeviceColumn, 180);
    deviceTree->setColumnWidth(ProfileColumn, 160);
    keepSectionsFitted(deviceTree->header());
    deviceTree->setContextMenuPolicy(Qt::CustomContextMenu);
    layout->addWidget(deviceTree, 3);

    connect(deviceTree, &QTreeWidget::itemClicked, this, &MainWindow::onDeviceSelected);
    connect(deviceTree, &QTreeWidget::customContextMenuRequested, this, &MainWindow::onDeviceContextMenu);
    connect(deviceTree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        if (!item)
            return;
        const int index = item->data(DeviceColumn, Qt::UserRole).toInt();
        const FidoKeyInfo* key = fidoManager->deviceAt(index);
        if (!key)
            return;
        showDeviceDetails(index, DeviceProfileRegistry::instance().profileFor(*key));
    });

    auto* row = new QHBoxLayout;
    auto* refreshButton = new QPushButton(QStringLiteral("Refresh"), page);
    connect(refreshButton, &QPushButton::clicked, this, &MainWindow::refreshDevices);
    row->addWidget(refreshButton);
    row->addStretch();
    auto* hint = new QLabel(QStringLiteral("Double-click device for details. Right-click for actions."), page);
    hint->setObjectName(QStringLiteral("warningStatus"));
    row->addWidget(hint);
    layout->addLayout(row);

    // The FIDO2 actions report their progress and outcome here, beside the
    // keys they act on.
    fidoLogView = LogView::createLogView(page);
    fidoLogView->setObjectName(QStringLiteral("fidoLogView"));
    fidoLogView->setPlaceholderText(QStringLiteral("FIDO2 operations will appear here..."));
    layout->addWidget(fidoLogView, 1);

    // The keys the last poll found, when the page is built after it.
    fillDeviceTree();
    return page;
}

int MainWindow::selectedDeviceIndex() const
{
    const QTreeWidgetItem* item = deviceTree ? deviceTree->currentItem() : nullptr;
    return item ? item->data(DeviceColumn, Qt::UserRole).toInt() : -1;
}

void MainWindow::refreshDevices()
{
    // The keys are listed on a thread of their own, so a key that does not
    // answer never holds the window. One listing at a time: a refresh asked
    // for meanwhile (the Refresh button, the end of an operation) runs once
    // it ends, as the running one may have read the keys before the change.
    if (fidoManager->isEnumerating()) {
        refreshAgain = true;
        return;
    }
    statusLabel->setText(QStringLiteral("Scanning for security keys..."));
    fidoManager->enumerateInBackground();
}

void MainWindow::pollDevices()
{
    // A listing that outlasts the interval (a key that does not answer) is
    // waited for, not stacked up behind.
    if (fidoManager->isEnumerating())
        return;
    fidoManager->enumerateInBackground();
}

void MainWindow::showDevices()
{
    fillDeviceTree();
    updateStatusBar();
    if (refreshAgain) {
        refreshAgain = false;
        refreshDevices();
    }
}

void MainWindow::fillDeviceTree()
{
    if (!deviceTree)
        return;
    const int previous = selectedDeviceIndex();
    deviceTree->clear();

    const QList<FidoKeyInfo>& keys = fidoManager->devices();
    for (int i = 0; i < keys.size(); ++i) {
        const FidoKeyInfo& key = keys.at(i);
        auto* item = new QTreeWidgetItem(deviceTree);
        fillRow(item, key, DeviceProfileRegistry::instance().profileFor(key));
        item->setData(DeviceColumn, Qt::UserRole, i);
        if (i == previous)
            deviceTree->setCurrentItem(item);
    }
}

void MainWindow::onDeviceSelected(QTreeWidgetItem* item, int /*column*/)
{
    if (!item)
        return;
    const FidoKeyInfo* key = fidoManager->deviceAt(item->data(DeviceColumn, Qt::UserRole).toInt());
    if (!key)
        return;
    statusLabel->setText(QStringLiteral("Selected: %1 (%2)").arg(key->product, key->manufacturer));
}

void MainWindow::showDeviceDetails(int index, const DeviceProfile& entry)
{
    const FidoKeyInfo* key = fidoManager->deviceAt(index);
    if (!key)
        return;
    // The dialog keeps its own copy of the record: the poll rebuilds the list
    // while it is open.
    DeviceConfigDialog dialog(*key, entry, fidoManager, index, ykman, opensc, this);
    dialog.exec();
    refreshDevices();
}

void MainWindow::onDeviceContextMenu(const QPoint& pos)
{
    QTreeWidgetItem* item = deviceTree->itemAt(pos);
    if (!item)
        return;
    const int index = item->data(DeviceColumn, Qt::UserRole).toInt();
    const FidoKeyInfo* key = fidoManager->deviceAt(index);
    if (!key)
        return;
    // The actions below work on the current row.
    deviceTree->setCurrentItem(item);
    const FidoKeyInfo seen = *key;
    const DeviceProfile entry = DeviceProfileRegistry::instance().profileFor(seen);

    QMenu menu(this);
    QMenu* submenu = nullptr;
    QHash<QAction*, QString> labels;
    for (const QString& line : entry.contextMenuActions()) {
        if (line == QLatin1String("---")) {
            menu.addSeparator();
        } else if (line.startsWith(QLatin1String("SUBMENU:"))) {
            submenu = menu.addMenu(line.mid(8));
        } else if (line == QLatin1String("END_SUBMENU")) {
            submenu = nullptr;
        } else {
            const QString label = line.trimmed();
            QAction* action = (submenu ? submenu : &menu)->addAction(label);
            labels.insert(action, label);
        }
    }

    QAction* chosen = menu.exec(deviceTree->viewport()->mapToGlobal(pos));
    if (!chosen || !labels.contains(chosen))
        return;
    // The poll may have rebuilt the list while the menu was open.
    if (!sameKeyAt(index, seen))
        return;
    runDeviceMenuAction(labels.value(chosen), index, entry);
}

void MainWindow::runDeviceMenuAction(const QString& label, int index, const DeviceProfile& entry)
{
    const FidoKeyInfo* key = fidoManager->deviceAt(index);
    if (!key)
        return;

    if (label == QLatin1String("Device Details...")) {
        showDeviceDetails(index, entry);
    } else if (label == QLatin1String("Copy Serial Number")) {
        // A FIDO2 key reports no serial number; its AAGUID is what identifies the model.
        QGuiApplication::clipboard()->setText(key->aaguid);
        statusLabel->setText(QStringLiteral("Serial copied to clipboard"));
    } else if (label == QLatin1String("Set FIDO2 PIN...")) {
        onSetPin();
    } else if (label == QLatin1String("Change FIDO2 PIN...")) {
        onChangePin();
    } else if (label == QLatin1String("List Credentials...")) {
        onListCredentials();
    } else if (label == QLatin1String("Delete Credential...")) {
        onDeleteCredential();
    } else if (label == QLatin1String("Factory Reset FIDO2...")
               || label == QLatin1String("Reset FIDO2 Applet...")) {
        onResetKey();
    } else if (label == QLatin1String("Sign File with This Key...")) {
        onSignFile();
    } else if (label == QLatin1String("Verify Signature...")) {
        onVerifySignature();
    } else if (label == QLatin1String("View Known Constraints...")) {
        QString text;
        for (const QString& constraint : entry.constraints)
            text += QStringLiteral("- %1\n").arg(constraint);
        QMessageBox::information(this, QStringLiteral("Known Constraints \u2014 ") + entry.name, text);
    } else {
        const QString product = key->product;
        statusLabel->setText(label + QStringLiteral(" \u2014 see relevant tab"));
        logSession(QStringLiteral("Context Action"), product, true, label);
        const int page = pageForLabel(label);
        if (page >= 0 && tabWidget)
            tabWidget->setCurrentIndex(page);
    }
}
