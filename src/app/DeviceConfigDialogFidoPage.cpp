#include "app/DeviceConfigDialog.h"

#include "core/SecureZero.h"
#include "fido/FidoDeviceManager.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

constexpr int kMinimumPinLength = 4;

} // namespace

QWidget* DeviceConfigDialog::createFidoTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    // The states come from the record copied at opening and stay as they are
    // until the dialog is reopened.
    auto* pinGroup = new QGroupBox(QStringLiteral("PIN Management"), page);
    auto* pinLayout = new QHBoxLayout(pinGroup);
    auto* setPinButton = new QPushButton(QStringLiteral("Set PIN"), pinGroup);
    setPinButton->setEnabled(!info.clientPin);
    auto* changePinButton = new QPushButton(QStringLiteral("Change PIN"), pinGroup);
    changePinButton->setEnabled(info.clientPin);
    pinLayout->addWidget(setPinButton);
    pinLayout->addWidget(changePinButton);
    connect(setPinButton, &QPushButton::clicked, this, [this] { setFidoPin(); });
    connect(changePinButton, &QPushButton::clicked, this, [this] { changeFidoPin(); });
    layout->addWidget(pinGroup);

    if (profile.fido2CredMgmt) {
        auto* credGroup = new QGroupBox(QStringLiteral("Credential Management (FIDO 2.1)"), page);
        auto* credLayout = new QHBoxLayout(credGroup);
        auto* listButton = new QPushButton(QStringLiteral("List Credentials"), credGroup);
        auto* deleteButton = new QPushButton(QStringLiteral("Delete Credential"), credGroup);
        deleteButton->setObjectName(QStringLiteral("dangerButton"));
        credLayout->addWidget(listButton);
        credLayout->addWidget(deleteButton);
        connect(listButton, &QPushButton::clicked, this, [this] { listCredentials(); });
        connect(deleteButton, &QPushButton::clicked, this, [this] { deleteCredential(); });
        layout->addWidget(credGroup);
    }

    auto* resetGroup = new QGroupBox(QStringLiteral("Factory Reset"), page);
    auto* resetLayout = new QVBoxLayout(resetGroup);
    auto* warning = new QLabel(QStringLiteral("LAST RESORT: This permanently erases ALL FIDO2 credentials, passkeys, "
                                              "and PINs. Only use for development/testing or when you are certain "
                                              "no critical credentials exist. Cannot be undone."),
                               resetGroup);
    warning->setObjectName(QStringLiteral("criticalStatus"));
    warning->setWordWrap(true);
    resetLayout->addWidget(warning);
    auto* resetButton = new QPushButton(QStringLiteral("Factory Reset FIDO2..."), resetGroup);
    resetButton->setObjectName(QStringLiteral("dangerButton"));
    resetLayout->addWidget(resetButton);
    connect(resetButton, &QPushButton::clicked, this, [this] { factoryResetFido(); });
    layout->addWidget(resetGroup);

    layout->addStretch();
    return page;
}

void DeviceConfigDialog::setFidoPin()
{
    QString pin;
    WipeOnExit wipePin(pin);
    if (!prompt(QStringLiteral("Set FIDO2 PIN"), QStringLiteral("Enter new PIN (minimum 4 characters):"), true, &pin)
        || pin.size() < kMinimumPinLength || !keyStillAtIndex())
        return;
    log(QStringLiteral("Setting PIN on %1...").arg(info.product));
    if (fido->setPin(deviceIndex, pin))
        log(QStringLiteral("PIN set successfully."));
    else
        logFailure(QStringLiteral("Failed to set PIN."));
}

void DeviceConfigDialog::changeFidoPin()
{
    QString current;
    QString next;
    WipeOnExit wipeCurrent(current);
    WipeOnExit wipeNext(next);
    if (!prompt(QStringLiteral("Change PIN"), QStringLiteral("Current PIN:"), true, &current) || current.isEmpty())
        return;
    if (!prompt(QStringLiteral("Change PIN"), QStringLiteral("New PIN (min 4 chars):"), true, &next)
        || next.size() < kMinimumPinLength || !keyStillAtIndex())
        return;
    log(QStringLiteral("Changing PIN on %1...").arg(info.product));
    if (fido->changePin(deviceIndex, current, next))
        log(QStringLiteral("PIN changed successfully."));
    else
        logFailure(QStringLiteral("Failed to change PIN."));
}

void DeviceConfigDialog::listCredentials()
{
    QString pin;
    WipeOnExit wipePin(pin);
    if (!prompt(QStringLiteral("List Credentials"), QStringLiteral("Enter PIN:"), true, &pin) || pin.isEmpty()
        || !keyStillAtIndex())
        return;
    log(QStringLiteral("Listing credentials..."));
    const QStringList parties = fido->listRelyingParties(deviceIndex, pin);
    // Empty is a key that holds nothing, or one that could not be read: a
    // wrong PIN must not pass for the first.
    if (parties.isEmpty())
        log(fido->lastError().isEmpty() ? QStringLiteral("No resident credentials found.") : fido->lastError());
    for (const QString& party : parties)
        log(QStringLiteral("  RP: ") + party);
}

void DeviceConfigDialog::deleteCredential()
{
    QString id;
    if (!prompt(QStringLiteral("Delete Credential"), QStringLiteral("Credential ID:"), false, &id) || id.isEmpty())
        return;
    QString pin;
    WipeOnExit wipePin(pin);
    if (!prompt(QStringLiteral("Delete Credential"), QStringLiteral("PIN:"), true, &pin) || pin.isEmpty())
        return;
    if (askUser(QMessageBox::Warning, QStringLiteral("Delete Credential"),
                QStringLiteral("Permanently delete '") + id + QStringLiteral("'?"),
                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes
        || !keyStillAtIndex())
        return;
    const QString wholeId = credentialIdFor(id, pin);
    if (wholeId.isEmpty()) {
        // Nothing was deleted; a wrong PIN while looking is said as such.
        if (fido->lastError().isEmpty())
            log(QStringLiteral("Delete failed: no single credential matches ") + id);
        else
            log(fido->lastError());
    } else if (fido->deleteCredential(deviceIndex, wholeId, pin)) {
        log(QStringLiteral("Credential deleted: ") + id);
    } else {
        logFailure(QStringLiteral("Delete failed."));
    }
}

QString DeviceConfigDialog::credentialIdFor(const QString& shown, const QString& pin)
{
    // Screens show only the start of an id; the key wants all of it, so the
    // whole ids of every relying party are looked through.
    QStringList ids;
    const QStringList parties = fido->listRelyingParties(deviceIndex, pin);
    if (!fido->lastError().isEmpty())
        return QString();
    for (const QString& party : parties) {
        QStringList partyIds;
        fido->listCredentials(deviceIndex, party, pin, &partyIds);
        if (!fido->lastError().isEmpty())
            return QString();
        ids << partyIds;
    }
    return FidoDeviceManager::credentialIdMatching(ids, shown);
}

void DeviceConfigDialog::factoryResetFido()
{
    const QString question = QStringLiteral("You are about to PERMANENTLY ERASE all FIDO2 data on:\n\n  %1 (%2)\n\n"
                                            "This CANNOT be undone. Proceed?")
                                 .arg(info.product, info.manufacturer);
    if (askUser(QMessageBox::Critical, QStringLiteral("FACTORY RESET"), question, QMessageBox::Yes | QMessageBox::No,
                QMessageBox::No)
        != QMessageBox::Yes)
        return;
    QString word;
    if (!prompt(QStringLiteral("Confirm Reset"), QStringLiteral("Type RESET to confirm:"), false, &word)
        || word != QLatin1String("RESET")) {
        log(QStringLiteral("Reset cancelled."));
        return;
    }
    // Erasing the wrong key cannot be undone: the key is checked after the
    // last prompt, when the poll can no longer move it.
    if (!keyStillAtIndex())
        return;
    log(QStringLiteral("Factory resetting %1...").arg(info.product));
    if (fido->factoryReset(deviceIndex))
        log(QStringLiteral("Factory reset complete."));
    else
        logFailure(QStringLiteral("Reset failed. Replug key within 10 seconds and retry."));
}
