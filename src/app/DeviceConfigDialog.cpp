#include "app/DeviceConfigDialog.h"
#include "app/StyleManager.h"

#include "core/LogView.h"
#include "fido/FidoDeviceManager.h"
#include "ui/widgets/SectionTitle.h"

#include <QBrush>
#include <QColor>
#include <QDialogButtonBox>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QTabWidget>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const int kAccent = StyleManager::Accent;
const int kSuccess = StyleManager::Success;
const int kWarning = StyleManager::Warning;
const int kMuted = StyleManager::Muted;

QString yesNo(bool value)
{
    return value ? QStringLiteral("Yes") : QStringLiteral("No");
}

// colour: a StyleManager::Tone, or -1 for the view's own text colour.
QTreeWidgetItem* addRow(QTreeWidget* tree, QTreeWidgetItem* parent, const QString& label, const QString& value,
                        int colour = -1)
{
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
    item->setText(0, label);
    item->setText(1, value);
    if (colour >= 0)
        StyleManager::setItemTone(item, 1, StyleManager::Tone(colour));
    return item;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

DeviceConfigDialog::DeviceConfigDialog(const FidoKeyInfo& info, const DeviceProfile& profile,
                                       FidoDeviceManager* fido, int deviceIndex, YkmanBridge* ykman,
                                       OpenscBridge* opensc, QWidget* parent)
    : QDialog(parent)
    , info(info)
    , profile(profile)
    , fido(fido)
    , ykman(ykman)
    , opensc(opensc)
    , deviceIndex(deviceIndex)
{
    setWindowTitle(QStringLiteral("Configure — %1").arg(this->info.product));
    setMinimumSize(750, 580);
    resize(860, 680);

    auto* layout = new QVBoxLayout(this);

    auto* header = new QHBoxLayout;
    QLabel* productLabel = makeSectionTitle(this->info.product, this);
    productLabel->setTextFormat(Qt::PlainText);
    header->addWidget(productLabel);
    header->addStretch();
    auto* profileLabel = new QLabel(this->profile.name, this);
    profileLabel->setTextFormat(Qt::PlainText);
    profileLabel->setStyleSheet(QStringLiteral("font-weight: 600;"));
    StyleManager::setTone(profileLabel, StyleManager::Accent);
    header->addWidget(profileLabel);
    layout->addLayout(header);

    // The pages are built before the log exists: nothing may be logged yet.
    auto* tabs = new QTabWidget(this);
    tabs->addTab(createInfoTab(), QStringLiteral("Device Info"));
    if (this->profile.fido2)
        tabs->addTab(createFidoTab(), QStringLiteral("FIDO2"));
    if (this->profile.piv)
        tabs->addTab(createPivTab(), QStringLiteral("PIV"));
    if (!this->profile.constraints.isEmpty())
        tabs->addTab(createConstraintsTab(), QStringLiteral("Constraints"));
    layout->addWidget(tabs);

    QTextEdit* view = LogView::createLogView(this);
    view->setMaximumHeight(120);
    QFont font(QStringLiteral("SF Mono"), 11);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    view->setFont(font);
    view->setPlaceholderText(QStringLiteral("Operation log..."));
    layout->addWidget(view);
    logView = view;

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

DeviceConfigDialog::~DeviceConfigDialog() = default;

void DeviceConfigDialog::log(const QString& line)
{
    if (logView)
        LogView::appendLine(logView, line);
}

bool DeviceConfigDialog::keyStillAtIndex()
{
    if (fido && fido->isSameKey(deviceIndex, info))
        return true;
    // A key that stopped answering is named as such; anything else means
    // another key (or none) is where this one was.
    const QString why = fido ? fido->lastError() : QString();
    log(why.isEmpty() ? QStringLiteral("Device list changed — operation cancelled.") : why);
    return false;
}

void DeviceConfigDialog::logFailure(const QString& line)
{
    log(line);
    const QString why = fido ? fido->lastError() : QString();
    if (!why.isEmpty())
        log(why);
}

QMessageBox::StandardButton DeviceConfigDialog::askUser(QMessageBox::Icon icon, const QString& title,
                                                        const QString& text, QMessageBox::StandardButtons buttons,
                                                        QMessageBox::StandardButton defaultButton)
{
    QMessageBox box(icon, title, text, buttons, this);
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

bool DeviceConfigDialog::prompt(const QString& title, const QString& label, bool hidden, QString* value,
                                const QString& defaultText)
{
    bool ok = false;
    *value = QInputDialog::getText(this, title, label, hidden ? QLineEdit::Password : QLineEdit::Normal,
                                   defaultText, &ok);
    return ok;
}

QWidget* DeviceConfigDialog::createInfoTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* tree = new QTreeWidget(page);
    tree->setHeaderLabels({QStringLiteral("Property"), QStringLiteral("Value")});
    tree->setAlternatingRowColors(true);
    tree->setRootIsDecorated(true);
    tree->header()->setStretchLastSection(true);
    tree->setColumnWidth(0, 200);
    layout->addWidget(tree);

    QTreeWidgetItem* identity = addRow(tree, nullptr, QStringLiteral("Identity"), QString());
    addRow(tree, identity, QStringLiteral("Product"), info.product);
    addRow(tree, identity, QStringLiteral("Manufacturer"), info.manufacturer);
    addRow(tree, identity, QStringLiteral("Profile"), profile.name, kAccent);
    addRow(tree, identity, QStringLiteral("VID:PID"),
           QStringLiteral("%1:%2").arg(hex4(info.vendorId), hex4(info.productId)).toUpper());
    addRow(tree, identity, QStringLiteral("Firmware"),
           info.firmwareMajor == 0 ? QStringLiteral("N/A")
                                   : QStringLiteral("%1.%2.%3")
                                         .arg(info.firmwareMajor)
                                         .arg(info.firmwareMinor)
                                         .arg(info.firmwarePatch));
    addRow(tree, identity, QStringLiteral("AAGUID"), info.aaguid);
    identity->setExpanded(true);

    if (profile.fido2) {
        QTreeWidgetItem* section = addRow(tree, nullptr, QStringLiteral("FIDO2 / CTAP"), QString());
        addRow(tree, section, QStringLiteral("CTAP Version"), info.fidoVersion,
               info.fidoVersion == QLatin1String("FIDO_2_1") ? kSuccess : kAccent);
        const QString comma = QStringLiteral(", ");
        addRow(tree, section, QStringLiteral("Protocols"), info.versions.join(comma));
        addRow(tree, section, QStringLiteral("Extensions"), info.extensions.join(comma));
        addRow(tree, section, QStringLiteral("Algorithms"), info.algorithms.join(comma));
        addRow(tree, section, QStringLiteral("PIN Set"), yesNo(info.clientPin), info.clientPin ? kSuccess : kWarning);
        addRow(tree, section, QStringLiteral("Credential Mgmt"), yesNo(info.credMgmt));
        addRow(tree, section, QStringLiteral("Large Blobs"), yesNo(info.largeBlobs));
        addRow(tree, section, QStringLiteral("Remaining Slots"),
               info.remainingCredentials < 0 ? QStringLiteral("N/A") : QString::number(info.remainingCredentials));
        addRow(tree, section, QStringLiteral("Max Message"), QStringLiteral("%1 bytes").arg(info.maxMsgSize));
        addRow(tree, section, QStringLiteral("Transports"),
               info.transports.isEmpty() ? QStringLiteral("USB") : info.transports.join(comma));
        section->setExpanded(true);
    }

    if (profile.piv) {
        QTreeWidgetItem* section = addRow(tree, nullptr, QStringLiteral("PIV Smart Card"), QString());
        addRow(tree, section, QStringLiteral("Toolchain"), profile.toolchain.toUpper(), kAccent);
        addRow(tree, section, QStringLiteral("ECC P-256"), yesNo(profile.eccP256), profile.eccP256 ? kSuccess : kMuted);
        addRow(tree, section, QStringLiteral("ECC P-384"), yesNo(profile.eccP384),
               profile.eccP384 ? kSuccess : kWarning);
        addRow(tree, section, QStringLiteral("RSA Max"),
               profile.rsaMaxBits < 1 ? QStringLiteral("N/A") : QStringLiteral("%1 bits").arg(profile.rsaMaxBits));
        addRow(tree, section, QStringLiteral("Attestation"), yesNo(profile.pivAttestation));
        addRow(tree, section, QStringLiteral("Slot Delete"), yesNo(profile.pivSlotDelete));
        addRow(tree, section, QStringLiteral("AES256 Mgmt Key"), yesNo(profile.pivAes256MgmtKey));
        section->setExpanded(true);
    }

    // Static passwords and challenge-response live in the OTP applet, so they
    // alone do not make an applet worth a section.
    if (profile.otp || profile.oath || profile.openpgp) {
        QTreeWidgetItem* section = addRow(tree, nullptr, QStringLiteral("Applets"), QString());
        addRow(tree, section, QStringLiteral("OTP"), yesNo(profile.otp));
        addRow(tree, section, QStringLiteral("OATH (TOTP/HOTP)"), yesNo(profile.oath));
        addRow(tree, section, QStringLiteral("OpenPGP"), yesNo(profile.openpgp));
        addRow(tree, section, QStringLiteral("Static Password"), yesNo(profile.staticPassword));
        addRow(tree, section, QStringLiteral("Challenge-Response"), yesNo(profile.challengeResponse));
        section->setExpanded(true);
    }
    return page;
}

QWidget* DeviceConfigDialog::createConstraintsTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(makeSectionTitle(QStringLiteral("Known Hardware Constraints"), page));
    auto* intro = new QLabel(QStringLiteral("These constraints are specific to this device model and firmware "
                                            "version. Operations that would violate these constraints are "
                                            "disabled in the UI."),
                             page);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    for (const QString& constraint : std::as_const(profile.constraints)) {
        auto* label = new QLabel(QStringLiteral("  *  %1").arg(constraint), page);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setStyleSheet(QStringLiteral("padding: 4px 0;"));
        StyleManager::setTone(label, StyleManager::Warning);
        layout->addWidget(label);
    }
    layout->addStretch();
    return page;
}
