#pragma once

#include "fido/DeviceProfile.h"
#include "fido/FidoKeyInfo.h"

#include <QDialog>
#include <QMessageBox>

class FidoDeviceManager;
class OpenscBridge;
class QComboBox;
class QTextEdit;
class YkmanBridge;

// Everything about one connected key, from the key record and the catalogue
// entry as they were when the dialog opened: an information page, the FIDO2
// and PIV pages the entry allows, its known constraints, and one log in which
// every page reports. The copies are never refreshed while the dialog is open;
// the device page reopens it to see the key as it is now.
class DeviceConfigDialog : public QDialog
{
    Q_OBJECT
public:
    DeviceConfigDialog(const FidoKeyInfo& info, const DeviceProfile& profile, FidoDeviceManager* fido,
                       int deviceIndex, YkmanBridge* ykman, OpenscBridge* opensc, QWidget* parent = nullptr);
    ~DeviceConfigDialog() override;

    // A value for one attribute of a distinguished name (RFC 4514), so that
    // "Doe, John" stays one common name instead of becoming two attributes.
    static QString escapeDnValue(const QString& value);
    // The certificate request's subject from the values the user typed.
    static QString csrSubject(const QString& commonName, const QString& organization, const QString& city,
                              const QString& state, const QString& country);
    // The file name proposed for saving a request made for this common name.
    static QString csrFileName(const QString& commonName);

private:
    QWidget* createInfoTab();
    QWidget* createFidoTab();
    QWidget* createPivTab();
    QWidget* createConstraintsTab();

    void log(const QString& line);

    // The main window's poll may have enumerated the keys again while a
    // prompt was open and put another key at this index, or another key may
    // sit at this key's path: true only when the key there is still the one
    // this dialog was opened for. Every action that changes the key asks just
    // before its call; the log says why otherwise.
    bool keyStillAtIndex();
    // A failed FIDO2 operation: its line, then the key manager's reason.
    void logFailure(const QString& line);

    // FIDO2 page actions.
    void setFidoPin();
    void changeFidoPin();
    void listCredentials();
    void deleteCredential();
    void factoryResetFido();
    // The whole id of the one credential on the key whose id the user's text
    // names (see FidoDeviceManager::credentialIdMatching); empty when none or
    // several do, or the key could not be read (the reason in lastError).
    QString credentialIdFor(const QString& shown, const QString& pin);

    // PIV page actions.
    void runHardeningWizard();
    void generateKeyAndCsr();
    void exportAttestationBundle();
    void importCertificate();
    void resetPivApplet();

    // A message box whose text is shown as typed: product names come from the
    // key and must not be read as markup.
    QMessageBox::StandardButton askUser(QMessageBox::Icon icon, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton);
    // A line of text from the user; false when the prompt was cancelled.
    bool prompt(const QString& title, const QString& label, bool hidden, QString* value,
                const QString& defaultText = QString());

    FidoKeyInfo info;
    DeviceProfile profile;
    FidoDeviceManager* fido = nullptr;
    YkmanBridge* ykman = nullptr;
    OpenscBridge* opensc = nullptr;
    int deviceIndex = -1;
    QTextEdit* logView = nullptr;
    QComboBox* algorithmCombo = nullptr;
};
