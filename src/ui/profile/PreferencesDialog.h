#pragma once

#include <QDialog>
#include <QStringList>

#include "core/ToolRunner.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class UserProfile;

// The application preferences: theme, start-up, paths, security choices,
// signing defaults and tool paths, stored in the settings file and the
// encrypted profile. Every save announces the chosen theme.
class PreferencesDialog : public QDialog
{
    Q_OBJECT
public:
    PreferencesDialog(UserProfile* profile, QWidget* parent = nullptr);
    ~PreferencesDialog() override;

    // The whole first line of a tool's version output (standard output, else
    // standard error; control characters shown escaped); "not available" when
    // the tool cannot start or fails, "timed out" (and *timedOut set) when it
    // is still running after timeoutMs.
    static QString probeVersion(const QString& program, const QStringList& arguments,
                                int timeoutMs = 5000, bool* timedOut = nullptr);
    // The same line from a run's result.
    static QString versionLine(const ToolRunner::Result& result);
    // The wait of each About-tab probe; the probes run in the background once
    // the dialog is on screen, each line saying "checking…" until its answer.
    static int probeTimeoutMs;

    // How long each run of the keychain tool may take.
    int keychainTimeoutMs = 10000;

public Q_SLOTS:
    void loadSettings();
    void saveSettings();
    void detectFromKeychain();

Q_SIGNALS:
    void themeChanged(const QString& theme);

private:
    void reportKeychainFailure(const ToolRunner::Result& run);
    QWidget* createGeneralTab();
    QWidget* createSecurityTab();
    QWidget* createSigningTab();
    QWidget* createToolsTab();
    QWidget* createAboutTab();

    UserProfile* profile = nullptr;
    QComboBox* themeCombo = nullptr;
    QCheckBox* showWelcomeCheck = nullptr;
    QLineEdit* configDirEdit = nullptr;
    QLineEdit* defaultVaultEdit = nullptr;
    QComboBox* autoLockCombo = nullptr;
    QCheckBox* auditLogCheck = nullptr;
    QCheckBox* compliancePasswordsCheck = nullptr;
    QCheckBox* hotplugNotifyCheck = nullptr;
    QLineEdit* appIdentityEdit = nullptr;
    QLineEdit* installerIdentityEdit = nullptr;
    QLineEdit* notarizeProfileEdit = nullptr;
    QLineEdit* timestampUrlEdit = nullptr;
    QLineEdit* ykmanPathEdit = nullptr;
    QLineEdit* openscPathEdit = nullptr;
    QLineEdit* osslsigncodePathEdit = nullptr;
    QLineEdit* gpgPathEdit = nullptr;
};
