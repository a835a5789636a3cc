#include "ui/profile/PreferencesDialog.h"

#include "app/StyleManager.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/LogText.h"
#include "core/ToolRunner.h"
#include "signing/SigningDefaults.h"
#include "ui/widgets/ElidedLabel.h"
#include "ui/widgets/PageFill.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

const QString kNotAvailable = QStringLiteral("not available");

// The profile keeps its choices as text; only exactly "true" counts as set.
bool isTrue(const QString& value)
{
    return value == QLatin1String("true");
}

QString trueFalse(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// The text between the first and the last double quote of each line holding
// marker; the last such line wins. Lines whose quotes enclose nothing are skipped.
QString lastQuotedIdentity(const QString& output, const QString& marker, const QString& current)
{
    QString found = current;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        if (!line.contains(marker))
            continue;
        const qsizetype first = line.indexOf(QLatin1Char('"'));
        const qsizetype last = line.lastIndexOf(QLatin1Char('"'));
        if (first < 0 || last <= first + 1)
            continue;
        found = line.mid(first + 1, last - first - 1);
    }
    return found;
}

QLineEdit* addField(QGridLayout* grid, int row, const QString& label, QWidget* parent,
                    const QString& placeholder = QString())
{
    grid->addWidget(new QLabel(label, parent), row, 0);
    auto* edit = new QLineEdit(parent);
    edit->setPlaceholderText(placeholder);
    grid->addWidget(edit, row, 1);
    return edit;
}

} // namespace

PreferencesDialog::PreferencesDialog(UserProfile* profile, QWidget* parent)
    : QDialog(parent)
    , profile(profile)
{
    setWindowTitle(QString::fromUtf8("Preferences \u2014 Ostrevan Tessaril"));
    // The About tab's tool probes start once the dialog is on screen.
    PageFill::holdUntilOnScreen(this);
    setMinimumSize(640, 480);
    resize(720, 540);

    auto* layout = new QVBoxLayout(this);
    auto* tabs = new QTabWidget(this);
    tabs->addTab(createGeneralTab(), QStringLiteral("General"));
    tabs->addTab(createSecurityTab(), QStringLiteral("Security"));
    tabs->addTab(createSigningTab(), QStringLiteral("Signing"));
    tabs->addTab(createToolsTab(), QStringLiteral("Tools"));
    tabs->addTab(createAboutTab(), QStringLiteral("About"));
    layout->addWidget(tabs);

    auto* buttons = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        saveSettings();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &PreferencesDialog::saveSettings);
    layout->addWidget(buttons);

    loadSettings();
}

PreferencesDialog::~PreferencesDialog() = default;

QWidget* PreferencesDialog::createGeneralTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* appearance = new QGroupBox(QStringLiteral("Appearance"), page);
    auto* appearanceGrid = new QGridLayout(appearance);
    appearanceGrid->addWidget(new QLabel(QStringLiteral("Theme:"), appearance), 0, 0);
    themeCombo = new QComboBox(appearance);
    themeCombo->setObjectName(QStringLiteral("themeCombo"));
    themeCombo->addItem(QStringLiteral("Quorvane Dark (navy + cyan)"), QStringLiteral("dark"));
    themeCombo->addItem(QStringLiteral("Enterprise Lite (light professional)"), QStringLiteral("light"));
    appearanceGrid->addWidget(themeCombo, 0, 1);
    layout->addWidget(appearance);

    auto* startup = new QGroupBox(QStringLiteral("Startup"), page);
    auto* startupLayout = new QVBoxLayout(startup);
    showWelcomeCheck = new QCheckBox(QStringLiteral("Show Welcome dialog on launch"), startup);
    startupLayout->addWidget(showWelcomeCheck);
    layout->addWidget(startup);

    auto* paths = new QGroupBox(QStringLiteral("Paths"), page);
    auto* pathsGrid = new QGridLayout(paths);
    pathsGrid->addWidget(new QLabel(QStringLiteral("Config directory:"), paths), 0, 0);
    configDirEdit = new QLineEdit(UserProfile::configDir(), paths);
    configDirEdit->setReadOnly(true);
    StyleManager::setTone(configDirEdit, StyleManager::Muted);
    pathsGrid->addWidget(configDirEdit, 0, 1);
    pathsGrid->addWidget(new QLabel(QStringLiteral("Default vault:"), paths), 1, 0);
    defaultVaultEdit = new QLineEdit(paths);
    defaultVaultEdit->setObjectName(QStringLiteral("defaultVaultEdit"));
    pathsGrid->addWidget(defaultVaultEdit, 1, 1);
    auto* browse = new QPushButton(QStringLiteral("Browse..."), paths);
    pathsGrid->addWidget(browse, 1, 2);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(
            this, QStringLiteral("Default Vault Directory"), defaultVaultEdit->text(),
            QFileDialog::ShowDirsOnly);
        if (!chosen.isEmpty())
            defaultVaultEdit->setText(chosen);
    });
    layout->addWidget(paths);

    layout->addStretch();
    return page;
}

QWidget* PreferencesDialog::createSecurityTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* vault = new QGroupBox(QStringLiteral("Vault Security"), page);
    auto* vaultGrid = new QGridLayout(vault);
    vaultGrid->addWidget(new QLabel(QStringLiteral("Auto-lock vault after:"), vault), 0, 0);
    autoLockCombo = new QComboBox(vault);
    autoLockCombo->setObjectName(QStringLiteral("autoLockCombo"));
    autoLockCombo->addItem(QStringLiteral("Never"), 0);
    autoLockCombo->addItem(QStringLiteral("5 minutes"), 5);
    autoLockCombo->addItem(QStringLiteral("15 minutes"), 15);
    autoLockCombo->addItem(QStringLiteral("30 minutes"), 30);
    autoLockCombo->addItem(QStringLiteral("1 hour"), 60);
    vaultGrid->addWidget(autoLockCombo, 0, 1);
    layout->addWidget(vault);

    auto* compliance = new QGroupBox(QStringLiteral("Compliance"), page);
    auto* complianceLayout = new QVBoxLayout(compliance);
    compliancePasswordsCheck = new QCheckBox(
        QStringLiteral("Enforce 12+ character passwords (PCI DSS / NIST 800-171)"), compliance);
    auditLogCheck = new QCheckBox(QStringLiteral("Enable session audit logging (ISO 27001)"), compliance);
    hotplugNotifyCheck = new QCheckBox(QStringLiteral("Show notification on device hotplug"), compliance);
    complianceLayout->addWidget(compliancePasswordsCheck);
    complianceLayout->addWidget(auditLogCheck);
    complianceLayout->addWidget(hotplugNotifyCheck);
    auto* pinNote = new QLabel(
        QStringLiteral("PIN caching: Always disabled (PINs are zeroed immediately after use)"), compliance);
    pinNote->setStyleSheet(QStringLiteral("font-size: 11px; font-weight: 600;"));
    StyleManager::setTone(pinNote, StyleManager::Success);
    complianceLayout->addWidget(pinNote);
    layout->addWidget(compliance);

    layout->addStretch();
    return page;
}

QWidget* PreferencesDialog::createSigningTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* mac = new QGroupBox(QStringLiteral("macOS Code Signing"), page);
    auto* macGrid = new QGridLayout(mac);
    appIdentityEdit = addField(macGrid, 0, QStringLiteral("Application Identity:"), mac,
                               QStringLiteral("Auto-detected from keychain"));
    auto* detect = new QPushButton(QStringLiteral("Detect from Keychain"), mac);
    macGrid->addWidget(detect, 0, 2);
    connect(detect, &QPushButton::clicked, this, &PreferencesDialog::detectFromKeychain);
    installerIdentityEdit = addField(macGrid, 1, QStringLiteral("Installer Identity:"), mac,
                                     QStringLiteral("Auto-detected from keychain"));
    notarizeProfileEdit = addField(macGrid, 2, QStringLiteral("Notarize Profile:"), mac,
                                   QStringLiteral("Keychain profile name (e.g. Ostrevan-Notarize)"));
    layout->addWidget(mac);

    auto* timestamping = new QGroupBox(QStringLiteral("Timestamping"), page);
    auto* timestampGrid = new QGridLayout(timestamping);
    timestampUrlEdit = addField(timestampGrid, 0, QStringLiteral("Timestamp URL:"), timestamping,
                                SigningDefaults::plainTimestampUrl());
    layout->addWidget(timestamping);

    layout->addStretch();
    return page;
}

QWidget* PreferencesDialog::createToolsTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    struct ToolRow {
        QString label;
        QString tool;
        QLineEdit** field;
    };
    const ToolRow rows[] = {
        {QStringLiteral("ykman:"), QStringLiteral("ykman"), &ykmanPathEdit},
        {QStringLiteral("pkcs11-tool:"), QStringLiteral("pkcs11-tool"), &openscPathEdit},
        {QStringLiteral("osslsigncode:"), QStringLiteral("osslsigncode"), &osslsigncodePathEdit},
        {QStringLiteral("gpg:"), QStringLiteral("gpg"), &gpgPathEdit},
    };
    auto* group = new QGroupBox(QStringLiteral("Tool Paths (leave empty for auto-detect)"), page);
    auto* grid = new QGridLayout(group);
    int row = 0;
    for (const ToolRow& tool : rows) {
        *tool.field = addField(grid, row, tool.label, group,
                               QStringLiteral("(auto-detect from PATH)"));
        const QString found = QStandardPaths::findExecutable(tool.tool);
        auto* status = new QLabel(found.isEmpty() ? QStringLiteral("Not found") : found, group);
        status->setStyleSheet(QStringLiteral("font-size: 11px;"));
        StyleManager::setTone(status, found.isEmpty() ? StyleManager::Danger : StyleManager::Success);
        grid->addWidget(status, row, 2);
        ++row;
    }
    layout->addWidget(group);

    auto* buttonRow = new QHBoxLayout;
    auto* redetect = new QPushButton(QStringLiteral("Re-detect All"), page);
    redetect->setObjectName(QStringLiteral("secondaryButton"));
    connect(redetect, &QPushButton::clicked, this, &PreferencesDialog::loadSettings);
    buttonRow->addWidget(redetect);
    buttonRow->addStretch();
    layout->addLayout(buttonRow);

    layout->addStretch();
    return page;
}

QWidget* PreferencesDialog::createAboutTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);

    auto* title = new QLabel(QStringLiteral("<b>Ostrevan Tessaril</b> v")
                                 + QCoreApplication::applicationVersion().toHtmlEscaped(),
                             page);
    title->setTextFormat(Qt::RichText);
    title->setStyleSheet(QStringLiteral("font-size: 16px;"));
    StyleManager::setTone(title, StyleManager::Accent);
    layout->addWidget(title);
    auto* tagline = new QLabel(QStringLiteral("Hardware Security Key Management & Code Signing Toolkit"), page);
    tagline->setWordWrap(true);
    layout->addWidget(tagline);

    auto* info = new QGroupBox(QStringLiteral("System Info"), page);
    auto* grid = new QGridLayout(info);
    int row = 0;
    const auto addRow = [&](const QString& label, const QString& value) {
        grid->addWidget(new QLabel(label, info), row, 0);
        // Tool output is shown as it came, never interpreted as markup.
        auto* shown = new QLabel(value, info);
        shown->setTextFormat(Qt::PlainText);
        shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(shown, row, 1);
        ++row;
    };
    addRow(QStringLiteral("Platform:"), QSysInfo::prettyProductName());
    addRow(QStringLiteral("Architecture:"), QSysInfo::currentCpuArchitecture());
    addRow(QStringLiteral("Qt:"), QString::fromLatin1(qVersion()));
    addRow(QStringLiteral("Config:"), UserProfile::configDir());
    // The tools are asked once the dialog is on screen, all at once and in
    // the background: the dialog opens at once, and a tool that hangs (a
    // stuck smart-card service, say) holds up only its own line.
    struct Probe {
        const char* label;
        const char* program;
        QStringList arguments;
    };
    const QStringList versionFlag{QStringLiteral("--version")};
    const Probe probes[] = {
        {"ykman:", "ykman", versionFlag},
        // pkcs11-tool has no version option; opensc-tool prints the suite's.
        {"opensc:", "opensc-tool", {QStringLiteral("--info")}},
        {"osslsigncode:", "osslsigncode", versionFlag},
        {"gpg:", "gpg", versionFlag},
        {"openssl:", "openssl", {QStringLiteral("version")}},
    };
    for (const Probe& probe : probes) {
        grid->addWidget(new QLabel(QLatin1String(probe.label), info), row, 0);
        auto* shown = new ElidedLabel(QString::fromUtf8("checking\u2026"), info);
        shown->setTextInteractionFlags(Qt::TextSelectableByMouse);
        grid->addWidget(shown, row, 1);
        ++row;
        const QString program = QLatin1String(probe.program);
        const QStringList arguments = probe.arguments;
        PageFill::afterWindowShown(shown, [shown, program, arguments] {
            ToolRunner::Options options;
            options.finishTimeoutMs = probeTimeoutMs;
            ToolRunner::runAsync(program, arguments, options, shown, [shown](const ToolRunner::Result& result) {
                shown->setFullText(versionLine(result));
            });
        });
    }
    // The value column takes the room the tool lines need; what is left over
    // for a long line is elided in it.
    grid->setColumnStretch(1, 1);
    layout->addWidget(info);

    layout->addStretch();
    return page;
}

int PreferencesDialog::probeTimeoutMs = 5000;

QString PreferencesDialog::probeVersion(const QString& program, const QStringList& arguments,
                                        int timeoutMs, bool* timedOut)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = timeoutMs;
    const ToolRunner::Result result = ToolRunner::run(program, arguments, options);
    if (timedOut)
        *timedOut = result.timedOut;
    return versionLine(result);
}

QString PreferencesDialog::versionLine(const ToolRunner::Result& result)
{
    // A tool that hangs has told us nothing reliable about itself.
    if (result.timedOut)
        return QStringLiteral("timed out");
    if (!result.succeeded())
        return kNotAvailable;
    QString text = result.stdOutText().trimmed();
    if (text.isEmpty())
        text = result.stdErrText().trimmed();
    // The whole first line: the label elides it to its width.
    return LogText::escaped(text.section(QLatin1Char('\n'), 0, 0));
}

void PreferencesDialog::loadSettings()
{
    AppSettings settings;
    // The box shows the look in use, which "--light" or "--dark" may have
    // chosen over the stored one: OK with nothing changed must not switch it.
    const QString theme = settings->value(QStringLiteral("theme"), QStringLiteral("dark")).toString();
    const bool light = StyleManager::applied() ? StyleManager::current() == StyleManager::Light
                                               : theme == QLatin1String("light");
    themeCombo->setCurrentIndex(light ? 1 : 0);
    showWelcomeCheck->setChecked(!settings->value(QStringLiteral("welcomeShown"), false).toBool());
    defaultVaultEdit->setText(
        settings->value(QStringLiteral("defaultVaultDir"), UserProfile::configDir()).toString());

    if (profile) {
        // Anything that is not a number reads as 0 ("Never"); a number matching
        // no item leaves the current choice.
        const int minutes = profile->preference(QStringLiteral("auto-lock-minutes"),
                                                QStringLiteral("15")).toInt();
        const int index = autoLockCombo->findData(minutes);
        if (index >= 0)
            autoLockCombo->setCurrentIndex(index);
        compliancePasswordsCheck->setChecked(isTrue(
            profile->preference(QStringLiteral("compliance-passwords"), QStringLiteral("true"))));
        auditLogCheck->setChecked(
            isTrue(profile->preference(QStringLiteral("audit-log"), QStringLiteral("true"))));
        hotplugNotifyCheck->setChecked(
            isTrue(profile->preference(QStringLiteral("hotplug-notify"), QStringLiteral("true"))));
    }

    appIdentityEdit->setText(settings->value(QStringLiteral("signing/appIdentity")).toString());
    installerIdentityEdit->setText(settings->value(QStringLiteral("signing/installerIdentity")).toString());
    notarizeProfileEdit->setText(settings->value(QStringLiteral("signing/notarizeProfile")).toString());
    timestampUrlEdit->setText(settings->value(QStringLiteral("signing/timestampUrl"),
                                              SigningDefaults::plainTimestampUrl()).toString());
    ykmanPathEdit->setText(settings->value(QStringLiteral("tools/ykman")).toString());
    openscPathEdit->setText(settings->value(QStringLiteral("tools/opensc")).toString());
    osslsigncodePathEdit->setText(settings->value(QStringLiteral("tools/osslsigncode")).toString());
    gpgPathEdit->setText(settings->value(QStringLiteral("tools/gpg")).toString());
}

void PreferencesDialog::saveSettings()
{
    AppSettings settings;
    const QString theme = themeCombo->currentData().toString();
    settings->setValue(QStringLiteral("theme"), theme);
    if (showWelcomeCheck->isChecked())
        settings->remove(QStringLiteral("welcomeShown"));
    else
        settings->setValue(QStringLiteral("welcomeShown"), true);
    settings->setValue(QStringLiteral("defaultVaultDir"), defaultVaultEdit->text());
    Q_EMIT themeChanged(theme);

    if (profile
        && !profile->setPreferences(
            {{QStringLiteral("auto-lock-minutes"), QString::number(autoLockCombo->currentData().toInt())},
             {QStringLiteral("compliance-passwords"), trueFalse(compliancePasswordsCheck->isChecked())},
             {QStringLiteral("audit-log"), trueFalse(auditLogCheck->isChecked())},
             {QStringLiteral("hotplug-notify"), trueFalse(hotplugNotifyCheck->isChecked())}})) {
        QMessageBox::warning(this, QStringLiteral("Preferences"),
                             QStringLiteral("The security preferences were not saved: ") + profile->saveError());
    }

    settings->setValue(QStringLiteral("signing/appIdentity"), appIdentityEdit->text());
    settings->setValue(QStringLiteral("signing/installerIdentity"), installerIdentityEdit->text());
    settings->setValue(QStringLiteral("signing/notarizeProfile"), notarizeProfileEdit->text());
    settings->setValue(QStringLiteral("signing/timestampUrl"), timestampUrlEdit->text());
    settings->setValue(QStringLiteral("tools/ykman"), ykmanPathEdit->text());
    settings->setValue(QStringLiteral("tools/opensc"), openscPathEdit->text());
    settings->setValue(QStringLiteral("tools/osslsigncode"), osslsigncodePathEdit->text());
    settings->setValue(QStringLiteral("tools/gpg"), gpgPathEdit->text());
}

void PreferencesDialog::detectFromKeychain()
{
    ToolRunner::Options options;
    options.finishTimeoutMs = keychainTimeoutMs;
    // Only the identities the tool listed count; its exit code and errors do
    // not. A run that did not finish has listed nothing for certain, and the
    // second run would only fail or hang the same way.
    const QStringList codesigning{QStringLiteral("find-identity"), QStringLiteral("-v"),
                                  QStringLiteral("-p"), QStringLiteral("codesigning")};
    const ToolRunner::Result application = ToolRunner::run(QStringLiteral("security"), codesigning, options);
    if (!application.finished()) {
        reportKeychainFailure(application);
        return;
    }
    appIdentityEdit->setText(lastQuotedIdentity(application.stdOutText(),
                                                QStringLiteral("Developer ID Application"),
                                                appIdentityEdit->text()));
    const ToolRunner::Result installer = ToolRunner::run(
        QStringLiteral("security"), {QStringLiteral("find-identity"), QStringLiteral("-v")}, options);
    if (!installer.finished()) {
        reportKeychainFailure(installer);
        return;
    }
    installerIdentityEdit->setText(lastQuotedIdentity(installer.stdOutText(),
                                                      QStringLiteral("Developer ID Installer"),
                                                      installerIdentityEdit->text()));
}

void PreferencesDialog::reportKeychainFailure(const ToolRunner::Result& run)
{
    QString reason = QStringLiteral("The keychain tool (security) ") + run.failure;
    const QString detail = run.started ? QString() : run.stdErrText().trimmed();
    if (!detail.isEmpty())
        reason += QStringLiteral(": ") + detail;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Detect from Keychain"), reason + QLatin1Char('.'),
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}
