#include "app/MainWindow.h"

#include "core/LogView.h"
#include "core/SecureZero.h"
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTextEdit>
#include <QTreeWidget>

namespace {

QString askPin(QWidget* parent, const QString& title, const QString& label, bool* ok)
{
    return QInputDialog::getText(parent, title, label, QLineEdit::Password, QString(), ok);
}

// A Yes/No question whose default is No. Its text carries names the key
// reports about itself, so it is shown as plain text, never as markup.
bool confirmed(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

bool MainWindow::fidoActionKey(const QString& title, int& index, FidoKeyInfo& seen)
{
    index = selectedDeviceIndex();
    if (index < 0) {
        QMessageBox::warning(this, title, QStringLiteral("Select a device first."));
        return false;
    }
    // A copy: prompts run the poll, which rebuilds the list the key lives in.
    const FidoKeyInfo* key = fidoManager->deviceAt(index);
    if (key)
        seen = *key;
    return key != nullptr;
}

bool MainWindow::sameKeyAt(int index, const FidoKeyInfo& seen)
{
    if (fidoManager->isSameKey(index, seen))
        return true;
    // A key that stopped answering is named as such; anything else means
    // another key (or none) is where this one was.
    const QString why = fidoManager->lastError();
    LogView::appendLine(fidoLogView,
                        why.isEmpty() ? QStringLiteral("Device list changed \u2014 operation cancelled.") : why);
    return false;
}

void MainWindow::logFidoFailure(const QString& line)
{
    LogView::appendLine(fidoLogView, line);
    const QString why = fidoManager->lastError();
    if (!why.isEmpty())
        LogView::appendLine(fidoLogView, why);
}

void MainWindow::onSetPin()
{
    const QString title = QStringLiteral("Set PIN");
    int index = -1;
    FidoKeyInfo seen;
    if (!fidoActionKey(title, index, seen))
        return;
    const QString device = seen.product;
    if (seen.clientPin) {
        QMessageBox::information(this, title,
                                 QStringLiteral("This key already has a PIN set. Use Change PIN instead."));
        return;
    }

    bool ok = false;
    QString pin = askPin(this, QStringLiteral("Set FIDO2 PIN"),
                         QStringLiteral("Enter new PIN (minimum 4 characters):"), &ok);
    WipeOnExit wipePin(pin);
    if (!ok || pin.isEmpty())
        return;
    if (pin.size() < 4) {
        QMessageBox::warning(this, title, QStringLiteral("PIN must be at least 4 characters."));
        return;
    }
    if (!sameKeyAt(index, seen))
        return;

    LogView::appendLine(fidoLogView, QStringLiteral("Setting PIN on %1...").arg(device));
    if (fidoManager->setPin(index, pin)) {
        LogView::appendLine(fidoLogView, QStringLiteral("PIN set successfully."));
        logSession(QStringLiteral("Set FIDO2 PIN"), device, true, QStringLiteral("PIN set"));
        refreshDevices();
    } else {
        logFidoFailure(QStringLiteral("Failed to set PIN."));
        logSession(QStringLiteral("Set FIDO2 PIN"), device, false, QStringLiteral("PIN set failed"));
    }
}

void MainWindow::onChangePin()
{
    const QString title = QStringLiteral("Change PIN");
    int index = -1;
    FidoKeyInfo seen;
    if (!fidoActionKey(title, index, seen))
        return;

    bool ok = false;
    QString currentPin = askPin(this, title, QStringLiteral("Enter current PIN:"), &ok);
    WipeOnExit wipeCurrent(currentPin);
    if (!ok || currentPin.isEmpty())
        return;
    QString newPin = askPin(this, title, QStringLiteral("Enter new PIN (minimum 4 characters):"), &ok);
    WipeOnExit wipeNew(newPin);
    if (!ok || newPin.isEmpty())
        return;
    if (newPin.size() < 4) {
        QMessageBox::warning(this, title, QStringLiteral("PIN must be at least 4 characters."));
        return;
    }

    if (!sameKeyAt(index, seen))
        return;
    const QString device = seen.product;

    LogView::appendLine(fidoLogView, QStringLiteral("Changing PIN on %1...").arg(device));
    if (fidoManager->changePin(index, currentPin, newPin)) {
        LogView::appendLine(fidoLogView, QStringLiteral("PIN changed successfully."));
        logSession(QStringLiteral("Change FIDO2 PIN"), device, true, QStringLiteral("PIN changed"));
    } else {
        logFidoFailure(QStringLiteral("Failed to change PIN."));
        logSession(QStringLiteral("Change FIDO2 PIN"), device, false, QStringLiteral("PIN change failed"));
    }
}

// The common start of the credential actions: a selected key that supports
// credential management, its PIN, and a check that the list has not moved
// under the prompt. Returns the key's index, or -1 when the action stops.
int MainWindow::startCredentialAction(const QString& title, const QString& requirementVerb, FidoKeyInfo& seen,
                                      QString& pin)
{
    int index = -1;
    if (!fidoActionKey(title, index, seen))
        return -1;
    if (!seen.credMgmt) {
        LogView::appendLine(fidoLogView,
                            QStringLiteral("%1 does not support credential management (%2 FIDO 2.1).")
                                .arg(seen.product, requirementVerb));
        return -1;
    }

    bool ok = false;
    pin = askPin(this, title, QStringLiteral("Enter PIN:"), &ok);
    if (!ok || pin.isEmpty() || !sameKeyAt(index, seen))
        return -1;
    return index;
}

// An empty listing is either an empty key or one that could not be read (a
// wrong PIN above all): only the first is "nothing found".
void MainWindow::logEmptyListing(const QString& nothingFound)
{
    const QString why = fidoManager->lastError();
    LogView::appendLine(fidoLogView, why.isEmpty() ? nothingFound : why);
}

void MainWindow::onListCredentials()
{
    const QString title = QStringLiteral("List Credentials");
    FidoKeyInfo seen;
    QString pin;
    WipeOnExit wipePin(pin);
    const int index = startCredentialAction(title, QStringLiteral("requires"), seen, pin);
    if (index < 0)
        return;

    LogView::appendLine(fidoLogView, QStringLiteral("Listing credentials on %1...").arg(seen.product));
    const QStringList parties = fidoManager->listRelyingParties(index, pin);
    if (parties.isEmpty()) {
        logEmptyListing(QStringLiteral("No resident credentials found."));
        return;
    }
    for (const QString& party : parties)
        LogView::appendLine(fidoLogView, QStringLiteral("  RP: ") + party);
}

void MainWindow::onDeleteCredential()
{
    const QString title = QStringLiteral("Delete Credential");
    FidoKeyInfo seen;
    QString pin;
    WipeOnExit wipePin(pin);
    const int index = startCredentialAction(title, QStringLiteral("needs"), seen, pin);
    if (index < 0)
        return;
    const QString device = seen.product;

    LogView::appendLine(fidoLogView, QStringLiteral("Listing credentials to select for deletion..."));
    const QStringList parties = fidoManager->listRelyingParties(index, pin);
    if (parties.isEmpty()) {
        logEmptyListing(QStringLiteral("No resident credentials found."));
        return;
    }
    bool ok = false;
    const QString party = QInputDialog::getItem(this, title, QStringLiteral("Select relying party:"), parties,
                                                0, false, &ok);
    if (!ok)
        return;
    if (!confirmed(this, QMessageBox::Warning, title,
                   QStringLiteral("Delete credential for:\n\n  %1\n\nThis cannot be undone.").arg(party)))
        return;
    if (!sameKeyAt(index, seen))
        return;

    QStringList credentialIds;
    const QStringList credentials = fidoManager->listCredentials(index, party, pin, &credentialIds);
    if (credentials.isEmpty()) {
        logEmptyListing(QStringLiteral("No credentials found for ") + party);
        return;
    }
    const QString credential = QInputDialog::getItem(
        this, title, QStringLiteral("Select credential to delete:"), credentials, 0, false, &ok);
    if (!ok)
        return;

    // The line shows only the start of the id; the key needs all of it. Two
    // identical lines would leave the choice open, so neither is guessed at.
    const qsizetype chosen = credentials.indexOf(credential);
    const QString credentialId = chosen >= 0 && credentials.count(credential) == 1
            && chosen < credentialIds.size()
        ? credentialIds.at(chosen)
        : QString();
    if (credentialId.isEmpty()) {
        LogView::appendLine(fidoLogView, QStringLiteral("Could not extract credential ID."));
        return;
    }
    if (!sameKeyAt(index, seen))
        return;

    if (fidoManager->deleteCredential(index, credentialId, pin)) {
        LogView::appendLine(fidoLogView, QStringLiteral("Credential deleted: ") + credential);
        logSession(QStringLiteral("FIDO2 Delete Cred"), device, true, party);
        refreshDevices();
    } else {
        logFidoFailure(QStringLiteral("Credential deletion failed."));
        logSession(QStringLiteral("FIDO2 Delete Cred"), device, false, party);
    }
}

void MainWindow::onResetKey()
{
    const QString title = QStringLiteral("Factory Reset");
    int index = -1;
    FidoKeyInfo seen;
    if (!fidoActionKey(title, index, seen))
        return;
    const QString device = seen.product;
    const QString maker = seen.manufacturer;
    const QString profileName = DeviceProfileRegistry::instance().profileFor(seen).name;

    const QString warning =
        QStringLiteral(
            "WARNING: This is a last-resort operation.\n\n"
            "You are about to factory reset:\n"
            "  Device:  %1\n"
            "  Maker:   %2\n"
            "  Profile: %3\n\n"
            "THIS WILL PERMANENTLY DELETE:\n"
            "  - All FIDO2 credentials and passkeys\n"
            "  - All stored PINs\n"
            "  - All resident key data\n\n"
            "This action CANNOT be undone. Credentials cannot be recovered.\n\n"
            "Only proceed if:\n"
            "  - This is for development/testing purposes, OR\n"
            "  - You are certain no critical credentials exist on this key, OR\n"
            "  - You have backed up all account recovery codes\n\n"
            "The key must have been plugged in within the last 10 seconds.\n\n"
            "Do you understand the consequences and wish to proceed?")
            .arg(device, maker, profileName);
    if (!confirmed(this, QMessageBox::Critical,
                   QStringLiteral("FACTORY RESET \u2014 DESTRUCTIVE OPERATION"), warning))
        return;

    bool ok = false;
    const QString typed = QInputDialog::getText(
        this, QStringLiteral("Confirm Factory Reset"),
        QStringLiteral("Type RESET to confirm factory reset of %1:").arg(device), QLineEdit::Normal,
        QString(), &ok);
    if (!ok || typed != QLatin1String("RESET")) {
        LogView::appendLine(fidoLogView,
                            QStringLiteral("Factory reset cancelled \u2014 confirmation not matched."));
        return;
    }
    if (!sameKeyAt(index, seen))
        return;

    LogView::appendLine(fidoLogView, QStringLiteral("Factory resetting %1...").arg(device));
    logSession(QStringLiteral("Factory Reset FIDO2"), device, false, QStringLiteral("Executing..."));
    if (fidoManager->factoryReset(index)) {
        LogView::appendLine(fidoLogView, QStringLiteral("Factory reset complete. All credentials erased."));
        logSession(QStringLiteral("Factory Reset FIDO2"), device, true, QStringLiteral("Complete"));
        refreshDevices();
    } else {
        logFidoFailure(QStringLiteral("Factory reset FAILED.\n"
                                      "  The key must be unplugged and replugged within 10 seconds\n"
                                      "  before the reset command will be accepted."));
        logSession(QStringLiteral("Factory Reset FIDO2"), device, false,
                   QStringLiteral("Failed \u2014 key must be replugged within 10s"));
    }
}
