#include "app/DeviceConfigDialog.h"
#include "app/StyleManager.h"

#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "piv/OpenscBridge.h"
#include "piv/YkmanBridge.h"
#include "ui/widgets/ButtonFit.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <limits>

namespace {

const QString kSlot = QStringLiteral("9a");
const QString kPkcs11CertId = QStringLiteral("01");
constexpr int kPkcs11Slot = 0;

// The slot of the first token the PKCS#11 listing shows, by the id it
// prints, which is what "--slot" takes; that id is kPkcs11Slot only for a
// module that numbers its slots from 0 with the token in the first.
int firstTokenSlot(OpenscBridge* opensc)
{
    for (const Pkcs11SlotInfo& info : opensc->listSlots()) {
        if (!info.tokenPresent)
            continue;
        bool ok = false;
        const qulonglong id = OpenscBridge::printedSlotId(info).toULongLong(&ok, 0);
        return ok && id <= static_cast<qulonglong>(std::numeric_limits<int>::max()) ? static_cast<int>(id)
                                                                                   : kPkcs11Slot;
    }
    return kPkcs11Slot;
}
// The management key every token leaves the factory with; the hardening
// wizard replaces it.
const QString kFactoryMgmtKey = QStringLiteral("5e1a9c37d20b84f6a3c95e17b02d68f4c1a7e39b05d2f86c");

QPushButton* fixedButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    fitButtonToText(button, 260, 28);
    return button;
}

// A button with a line of explanation beside it.
QWidget* describedButton(QPushButton** button, const QString& text, const QString& description)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    *button = fixedButton(text, row);
    layout->addWidget(*button);
    auto* label = new QLabel(description, row);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(label, StyleManager::Muted);
    layout->addWidget(label, 1);
    return row;
}

// Replaces what is there only once the whole text reached the disk; the
// file is owner-only like everything else the program writes. why, when
// given, receives the reason of a failure.
bool writeText(const QString& path, const QString& text, QString* why = nullptr)
{
    return PrivateFiles::writeOwnerOnly(path, text.toUtf8(), why);
}

} // namespace

QString DeviceConfigDialog::escapeDnValue(const QString& value)
{
    QString escaped;
    escaped.reserve(value.size() + 4);
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == QChar(0)) {
            escaped += QStringLiteral("\\00");
            continue;
        }
        const bool special = QStringLiteral(",+\"\\<>;=").contains(c);
        const bool leading = i == 0 && (c == QLatin1Char('#') || c == QLatin1Char(' '));
        const bool trailing = i == value.size() - 1 && c == QLatin1Char(' ');
        if (special || leading || trailing)
            escaped += QLatin1Char('\\');
        escaped += c;
    }
    return escaped;
}

QString DeviceConfigDialog::csrSubject(const QString& commonName, const QString& organization, const QString& city,
                                       const QString& state, const QString& country)
{
    QString subject = QStringLiteral("CN=") + escapeDnValue(commonName);
    if (!organization.isEmpty())
        subject += QStringLiteral(",O=") + escapeDnValue(organization);
    if (!city.isEmpty())
        subject += QStringLiteral(",L=") + escapeDnValue(city);
    if (!state.isEmpty())
        subject += QStringLiteral(",ST=") + escapeDnValue(state);
    subject += QStringLiteral(",C=") + escapeDnValue(country.toUpper());
    return subject;
}

QString DeviceConfigDialog::csrFileName(const QString& commonName)
{
    QString name = commonName.simplified().toLower();
    // A slash would make the proposal a path into a folder of that name.
    name.replace(QLatin1Char(' '), QLatin1Char('-')).replace(QLatin1Char('/'), QLatin1Char('-'));
    return name + QStringLiteral(".csr");
}

QWidget* DeviceConfigDialog::createPivTab()
{
    auto* page = new QWidget;
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(page);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    pageLayout->addWidget(scroll);

    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(10);

    auto* toolchain = new QLabel(QStringLiteral("Toolchain: <b>%1</b>").arg(profile.toolchain.toUpper().toHtmlEscaped()),
                                 content);
    toolchain->setTextFormat(Qt::RichText);
    toolchain->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(toolchain, StyleManager::Muted);
    layout->addWidget(toolchain);

    QStringList algorithms;
    if (profile.eccP256)
        algorithms << QStringLiteral("ECC P-256");
    if (profile.eccP384)
        algorithms << QStringLiteral("ECC P-384");
    if (profile.rsa2048)
        algorithms << QStringLiteral("RSA 2048");
    if (profile.rsa3072)
        algorithms << QStringLiteral("RSA 3072");
    if (!algorithms.isEmpty()) {
        auto* summary = new QLabel(QStringLiteral("Algorithms: ") + algorithms.join(QStringLiteral(" | ")), content);
        summary->setStyleSheet(QStringLiteral("font-size: 12px; font-weight: 600;"));
        StyleManager::setTone(summary, StyleManager::Success);
        layout->addWidget(summary);
    }

    const bool ykmanToolchain = profile.toolchain == QLatin1String("ykman");
    QPushButton* button = nullptr;

    if (profile.pivHarden && ykmanToolchain && ykman) {
        layout->addWidget(describedButton(&button, QStringLiteral("Hardening Wizard..."),
                                          QStringLiteral("Change PIN, PUK, upgrade mgmt key to AES256")));
        connect(button, &QPushButton::clicked, this, [this] { runHardeningWizard(); });
    }

    if (profile.pivKeyGenCsr && ykman) {
        auto* group = new QGroupBox(QStringLiteral("Key Generation and CSR"), content);
        auto* groupLayout = new QVBoxLayout(group);
        groupLayout->setSpacing(6);
        auto* algorithmRow = new QHBoxLayout;
        algorithmRow->addWidget(new QLabel(QStringLiteral("Algorithm:"), group));
        algorithmCombo = new QComboBox(group);
        algorithmCombo->setFixedWidth(200);
        if (profile.eccP384)
            algorithmCombo->addItem(QStringLiteral("ECC P-384"), QStringLiteral("ECCP384"));
        if (profile.eccP256)
            algorithmCombo->addItem(QStringLiteral("ECC P-256"), QStringLiteral("ECCP256"));
        if (profile.rsa3072)
            algorithmCombo->addItem(QStringLiteral("RSA 3072"), QStringLiteral("RSA3072"));
        if (profile.rsa2048)
            algorithmCombo->addItem(QStringLiteral("RSA 2048"), QStringLiteral("RSA2048"));
        algorithmRow->addWidget(algorithmCombo);
        algorithmRow->addStretch();
        groupLayout->addLayout(algorithmRow);
        auto* generateRow = new QHBoxLayout;
        auto* generate = fixedButton(QStringLiteral("Generate Key + CSR..."), group);
        generateRow->addWidget(generate);
        generateRow->addStretch();
        groupLayout->addLayout(generateRow);
        connect(generate, &QPushButton::clicked, this, [this] { generateKeyAndCsr(); });
        layout->addWidget(group);
    }

    if (profile.pivAttestation && ykman) {
        layout->addWidget(describedButton(&button, QStringLiteral("Export Attestation Bundle..."),
                                          QStringLiteral("Attestation cert + intermediate CA for your CA portal")));
        connect(button, &QPushButton::clicked, this, [this] { exportAttestationBundle(); });
    }

    if (profile.pivImportCert && (ykman || opensc)) {
        layout->addWidget(describedButton(&button, QStringLiteral("Import Certificate to 9A..."),
                                          QStringLiteral("PEM or DER — verifies key match")));
        connect(button, &QPushButton::clicked, this, [this] { importCertificate(); });
    }

    if (profile.resetPivApplet && ykman) {
        layout->addSpacing(10);
        auto* row = new QHBoxLayout;
        auto* reset = fixedButton(QStringLiteral("Reset PIV Applet..."), content);
        reset->setObjectName(QStringLiteral("dangerButton"));
        row->addWidget(reset);
        auto* warning = new QLabel(QStringLiteral("Erases ALL keys, certs. Resets PIN/PUK to factory defaults."),
                                   content);
        warning->setWordWrap(true);
        warning->setStyleSheet(QStringLiteral("font-size: 11px;"));
        StyleManager::setTone(warning, StyleManager::Danger);
        row->addWidget(warning, 1);
        layout->addLayout(row);
        connect(reset, &QPushButton::clicked, this, [this] { resetPivApplet(); });
    }

    if (!ykman && !opensc) {
        auto* missing = new QLabel(QStringLiteral("PIV tools not available. Install ykman or opensc."), content);
        missing->setStyleSheet(QStringLiteral("font-size: 12px;"));
        StyleManager::setTone(missing, StyleManager::Warning);
        layout->addWidget(missing);
    }

    layout->addStretch();
    scroll->setWidget(content);
    return page;
}

void DeviceConfigDialog::runHardeningWizard()
{
    QString currentPin;
    QString newPin;
    WipeOnExit wipeCurrentPin(currentPin);
    // The new PIN is kept past its own step: a PIN-protected management key
    // can only be stored by a tool that is given the PIN.
    WipeOnExit wipeNewPin(newPin);

    if (!prompt(QStringLiteral("Hardening — Change PIN"), QStringLiteral("Current PIV PIN (factory: 583920):"), true,
                &currentPin))
        return;
    if (!prompt(QStringLiteral("Hardening — New PIN"), QStringLiteral("New PIV PIN (6-8 chars):"), true, &newPin)
        || newPin.size() < 6 || newPin.size() > 8) {
        askUser(QMessageBox::Warning, QStringLiteral("PIV"), QStringLiteral("PIN must be 6-8 characters."),
                QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    // ykman acts on whatever token is plugged in: make sure it is still this one.
    if (!keyStillAtIndex())
        return;
    const bool pinChanged = ykman->changePin(currentPin, newPin, QString());
    secureZero(currentPin);
    log(pinChanged ? QStringLiteral("PIN changed.") : QStringLiteral("PIN change failed."));
    if (!pinChanged)
        return;

    {
        QString currentPuk;
        QString newPuk;
        WipeOnExit wipeCurrentPuk(currentPuk);
        WipeOnExit wipeNewPuk(newPuk);
        if (!prompt(QStringLiteral("Hardening — Change PUK"), QStringLiteral("Current PUK (factory: 96130472):"),
                    true, &currentPuk))
            return;
        if (!prompt(QStringLiteral("Hardening — New PUK"), QStringLiteral("New PUK (8+ chars):"), true, &newPuk)
            || newPuk.size() < 8) {
            askUser(QMessageBox::Warning, QStringLiteral("PIV"), QStringLiteral("PUK must be 8+ characters."),
                    QMessageBox::Ok, QMessageBox::NoButton);
            return;
        }
        if (!keyStillAtIndex())
            return;
        log(ykman->changePuk(currentPuk, newPuk, QString()) ? QStringLiteral("PUK changed.")
                                                             : QStringLiteral("PUK change failed."));
    }

    if (profile.pivAes256MgmtKey
        && askUser(QMessageBox::Question, QStringLiteral("Hardening — Management Key"),
                   QStringLiteral("Upgrade management key to AES256 with PIN protection?"),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton)
               == QMessageBox::Yes) {
        if (!keyStillAtIndex())
            return;
        // An empty new key has the token generate one; the PIN that now
        // guards it answers the tool's PIN prompt.
        const bool upgraded = ykman->changeMgmtKey(kFactoryMgmtKey, QString(), QStringLiteral("AES256"), true,
                                                   QString(), newPin);
        log(upgraded ? QStringLiteral("Management key upgraded to AES256 + PIN protection.")
                     : QStringLiteral("Management key upgrade failed."));
    }
    log(QStringLiteral("Hardening complete."));
}

void DeviceConfigDialog::generateKeyAndCsr()
{
    if (!keyStillAtIndex())
        return;
    // A new key replaces the one in the slot for good; what cannot be read
    // cannot be known to be empty.
    bool slotsRead = false;
    const QList<PivSlotInfo> occupied = ykman->listSlots(QString(), &slotsRead);
    if (!slotsRead) {
        log(QStringLiteral("Could not read the PIV slots — nothing generated."));
        return;
    }
    for (const PivSlotInfo& slot : occupied) {
        if (slot.slot == kSlot
            && askUser(QMessageBox::Warning, QStringLiteral("Generate Key + CSR"),
                       QStringLiteral("Slot 9A already holds a key. Replace it? The old key cannot be recovered."),
                       QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
                != QMessageBox::Yes)
            return;
    }

    QString commonName;
    QString organization;
    QString city;
    QString state;
    QString country;
    if (!prompt(QStringLiteral("CSR — Common Name"), QStringLiteral("Legal name:"), false, &commonName)
        || commonName.isEmpty())
        return;
    if (!prompt(QStringLiteral("CSR — Organization"), QStringLiteral("Organization (empty for IV):"), false,
                &organization))
        return;
    if (!prompt(QStringLiteral("CSR — City"), QStringLiteral("City:"), false, &city))
        return;
    if (!prompt(QStringLiteral("CSR — State"), QStringLiteral("State:"), false, &state))
        return;
    if (!prompt(QStringLiteral("CSR — Country"), QStringLiteral("Country (2-letter):"), false, &country,
                QStringLiteral("US"))
        || country.size() != 2)
        return;
    const QString subject = csrSubject(commonName, organization, city, state, country);

    QString pin;
    WipeOnExit wipePin(pin);
    if (!prompt(QStringLiteral("CSR — PIN"), QStringLiteral("PIV PIN:"), true, &pin) || pin.isEmpty())
        return;

    if (!keyStillAtIndex())
        return;
    const QString algorithm = algorithmCombo ? algorithmCombo->currentData().toString() : QString();
    log(QStringLiteral("Generating %1 on slot 9A...").arg(algorithm));
    if (ykman->generateKey(kSlot, algorithm, pin, QString()).isEmpty()) {
        log(QStringLiteral("Key generation FAILED."));
        return;
    }
    log(QStringLiteral("Key generated."));
    const QString request = ykman->generateCsr(kSlot, subject, pin, QString());
    secureZero(pin);
    if (request.isEmpty()) {
        log(QStringLiteral("CSR FAILED."));
        return;
    }
    log(QStringLiteral("CSR generated — copied to clipboard."));
    QApplication::clipboard()->setText(request);

    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save CSR"), csrFileName(commonName),
                                                      QStringLiteral("CSR (*.csr *.pem)"));
    if (path.isEmpty())
        return;
    if (writeText(path, request))
        log(QStringLiteral("Saved: ") + path);
}

void DeviceConfigDialog::exportAttestationBundle()
{
    log(QStringLiteral("Exporting attestation from slot 9A..."));
    const QString attestation = ykman->attestSlot(kSlot, QString());
    if (attestation.isEmpty()) {
        log(QStringLiteral("FAILED — slot 9A empty?"));
        return;
    }
    const QString intermediate = ykman->exportIntermediateCa(QString());
    const QString dir = QFileDialog::getExistingDirectory(this, QStringLiteral("Save Attestation Bundle"), QString(),
                                                          QFileDialog::ShowDirsOnly);
    if (dir.isEmpty())
        return;
    QStringList files{QStringLiteral("attestation.txt")};
    if (!intermediate.isEmpty())
        files << QStringLiteral("intermediate.txt");
    const QStringList texts{attestation, intermediate};
    for (int i = 0; i < files.size(); ++i) {
        const QString path = dir + QLatin1Char('/') + files.at(i);
        QString why;
        if (!writeText(path, texts.at(i), &why)) {
            log(QStringLiteral("FAILED to write %1: %2").arg(path, why));
            return;
        }
    }
    log(QStringLiteral("Bundle saved to: ") + dir);
}

void DeviceConfigDialog::importCertificate()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Certificate"), QString(),
                                                      QStringLiteral("Certs (*.pem *.der *.crt *.cer)"));
    if (path.isEmpty())
        return;
    QString pin;
    WipeOnExit wipePin(pin);
    if (!prompt(QStringLiteral("Import"), QStringLiteral("PIV PIN:"), true, &pin))
        return;
    if (!keyStillAtIndex())
        return;
    if (profile.toolchain == QLatin1String("ykman") && ykman) {
        // The tool checks that the certificate belongs to the key in the slot
        // before it replaces anything.
        log(ykman->importCertificate(kSlot, path, pin, QString(), true)
                ? QStringLiteral("Certificate imported to slot 9A.")
                : QStringLiteral("Import FAILED — key mismatch?"));
    } else if (opensc) {
        log(opensc->writeCertificate(firstTokenSlot(opensc), path, kPkcs11CertId, pin)
                ? QStringLiteral("Certificate imported via pkcs11-tool.")
                : QStringLiteral("Import FAILED."));
    }
}

void DeviceConfigDialog::resetPivApplet()
{
    const QString question = QStringLiteral("PERMANENTLY ERASE all PIV keys, certs on %1?\n"
                                            "PIN/PUK reset to factory defaults.\nCANNOT be undone.")
                                 .arg(info.product);
    if (askUser(QMessageBox::Critical, QStringLiteral("RESET PIV APPLET"), question,
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes)
        return;
    QString word;
    if (!prompt(QStringLiteral("Confirm"), QStringLiteral("Type RESET-PIV:"), false, &word)
        || word != QLatin1String("RESET-PIV")) {
        log(QStringLiteral("Cancelled."));
        return;
    }
    if (!keyStillAtIndex())
        return;
    log(ykman->resetPiv(QString()) ? QStringLiteral("PIV reset complete. PIN=583920, PUK=96130472.")
                                   : QStringLiteral("PIV reset FAILED."));
}
