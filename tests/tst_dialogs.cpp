// The About box, the profile editor and the Preferences dialog, driven as a
// user would drive them, over a real encrypted profile and settings file.
#include "app/AboutDialog.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "signing/SigningDefaults.h"
#include "ui/profile/PreferencesDialog.h"
#include "ui/profile/ProfileEditorDialog.h"
#include "ui/widgets/ElidedLabel.h"

#include "FakeTools.h"
#include "Heartbeat.h"
#include "ModalDriver.h"
#include "TestHome.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

namespace {

// The value label beside a caption in a label/value grid.
QLabel* valueBeside(QWidget* dialog, const QString& caption, int column = 1)
{
    for (QGridLayout* grid : dialog->findChildren<QGridLayout*>()) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            QLayoutItem* left = grid->itemAtPosition(row, 0);
            QLayoutItem* right = grid->itemAtPosition(row, column);
            auto* label = left ? qobject_cast<QLabel*>(left->widget()) : nullptr;
            if (label && label->text() == caption && right)
                return qobject_cast<QLabel*>(right->widget());
        }
    }
    return nullptr;
}

QString checking()
{
    return QString::fromUtf8("checking\u2026");
}

// The About tab's tool line beside caption.
ElidedLabel* toolLabel(QWidget* dialog, const char* caption)
{
    for (QGridLayout* grid : dialog->findChildren<QGridLayout*>()) {
        for (int row = 0; row < grid->rowCount(); ++row) {
            QLayoutItem* left = grid->itemAtPosition(row, 0);
            QLayoutItem* right = grid->itemAtPosition(row, 1);
            auto* label = left ? qobject_cast<QLabel*>(left->widget()) : nullptr;
            auto* line = right ? qobject_cast<ElidedLabel*>(right->widget()) : nullptr;
            if (label && line && label->text() == QLatin1String(caption))
                return line;
        }
    }
    return nullptr;
}

// Its whole text, whatever part of it shows.
QString toolLine(QWidget* dialog, const char* caption)
{
    ElidedLabel* line = toolLabel(dialog, caption);
    return line ? line->fullText() : QStringLiteral("<no line>");
}

QPushButton* buttonNamed(QWidget* dialog, const QString& text)
{
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->text().remove(QLatin1Char('&')) == text)
            return button;
    }
    return nullptr;
}

QCheckBox* checkBoxNamed(QWidget* dialog, const QString& text)
{
    for (QCheckBox* box : dialog->findChildren<QCheckBox*>()) {
        if (box->text() == text)
            return box;
    }
    return nullptr;
}

QStringList featureStates(QWidget* dialog)
{
    QStringList states;
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        if (label->text() == QLatin1String("UNLOCKED") || label->text() == QLatin1String("LOCKED"))
            states << label->text();
    }
    return states;
}

// Only stand-ins on PATH, plus what their shared script needs to run.
void keepStandInsRunnable(FakeTools& fakes)
{
    for (const char* tool : {"cat", "dirname", "readlink", "basename", "sleep"})
        fakes.linkReal(QString::fromLatin1(tool));
}

const QString kAutoLockText = QStringLiteral("Auto-lock vault after 15 minutes of inactivity");
const QString kAuditText = QStringLiteral("Enable session audit logging");

} // namespace

class DialogsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void aboutToolRows_data();
    void aboutToolRows();
    void aboutShowsBuildLibfido2Version();

    void profileEditorEmptyProfile();
    void profileEditorExperience_data();
    void profileEditorExperience();
    void profileEditorRoundTrip();
    void profileEditorSaveFailureKeepsInput();

    void preferencesTable_data();
    void preferencesTable();
    void preferencesButtons();
    void detectFromKeychain();
    void versionProbe_data();
    void versionProbe();
    void aboutTabAndToolPaths();
    void aboutProbesRunInTheBackground();
    void aboutLinesElideInTheMiddle();
    void detectFromKeychainStopsAtAFailedRun_data();
    void detectFromKeychainStopsAtAFailedRun();

private:
    std::unique_ptr<TestHome> home;
};

void DialogsTest::aboutToolRows_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QStringList>("colours");   // the theme's tones
    QTest::newRow("none on PATH") << false << QStringList{"danger", "danger", "warning"};
    QTest::newRow("all on PATH") << true << QStringList{"success", "success", "success"};
}

void DialogsTest::aboutToolRows()
{
    QFETCH(bool, installed);
    QFETCH(QStringList, colours);
    // Only the stand-in folder on PATH: the real tools of this machine are out of sight.
    FakeTools fakes(false);
    const QStringList tools{"ykman", "pkcs11-tool", "osslsigncode"};
    if (installed) {
        for (const QString& tool : tools)
            fakes.install(tool);
    }
    AboutDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About Ostrevan Tessaril"));
    const QStringList captions{"ykman:", "opensc:", "osslsigncode:"};
    for (int i = 0; i < captions.size(); ++i) {
        QLabel* value = valueBeside(&dialog, captions.at(i));
        QVERIFY2(value, qPrintable(captions.at(i)));
        QCOMPARE(value->text(), installed ? QStringLiteral("Available") : QStringLiteral("Not Found"));
        QCOMPARE(value->property("tone").toString(), colours.at(i));
    }
    QLabel* qt = valueBeside(&dialog, QStringLiteral("Qt:"));
    QVERIFY(qt);
    QCOMPARE(qt->text(), QString::fromLatin1(qVersion()));
}

void DialogsTest::aboutShowsBuildLibfido2Version()
{
    QProcess pkgConfig;
    pkgConfig.start(QStringLiteral("pkg-config"), {"--modversion", "libfido2"});
    QVERIFY(pkgConfig.waitForFinished());
    const QString expected = QString::fromUtf8(pkgConfig.readAllStandardOutput()).trimmed();
    QVERIFY(!expected.isEmpty());

    AboutDialog dialog;
    QLabel* value = valueBeside(&dialog, QStringLiteral("libfido2:"));
    QVERIFY(value);
    QCOMPARE(value->text(), expected);

    // Close accepts; the caller ignores the result either way.
    dialog.show();
    QPushButton* close = buttonNamed(&dialog, QStringLiteral("Close"));
    QVERIFY(close);
    close->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void DialogsTest::profileEditorEmptyProfile()
{
    UserProfile profile;
    QVERIFY(profile.load());
    ProfileEditorDialog dialog(&profile);
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("User Profile \u2014 Ostrevan Tessaril"));
    const QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
    QCOMPARE(edits.size(), 4);
    for (QLineEdit* edit : edits)
        QVERIFY2(edit->text().isEmpty(), qPrintable(edit->placeholderText()));
    QCOMPARE(dialog.findChild<QComboBox*>()->currentText(), QStringLiteral("Intermediate"));
    QCOMPARE(featureStates(&dialog), (QStringList{"UNLOCKED", "LOCKED", "LOCKED", "LOCKED"}));

    QCheckBox* pinBox = checkBoxNamed(&dialog, QStringLiteral("Never cache PINs in memory (zero immediately)"));
    QVERIFY(pinBox);
    QVERIFY(pinBox->isChecked());
    QVERIFY(!pinBox->isEnabled());
    // Nothing stored yet: the security choices show their defaults, all on.
    for (QCheckBox* box : dialog.findChildren<QCheckBox*>())
        QVERIFY2(box->isChecked(), qPrintable(box->text()));

    // The PII captions carry their marker and tool tip; the others do not.
    QLabel* nameCaption = nullptr;
    QLabel* roleCaption = nullptr;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text() == QLatin1String("Full Name: [PII]"))
            nameCaption = label;
        if (label->text() == QLatin1String("Role:"))
            roleCaption = label;
    }
    QVERIFY(nameCaption && roleCaption);
    QVERIFY(nameCaption->toolTip().startsWith(QString::fromUtf8("PII \u2014 Personally Identifiable")));
    QCOMPARE(roleCaption->toolTip(),
             QStringLiteral("This field does not contain personally identifiable information."));
}

void DialogsTest::profileEditorExperience_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("shown");
    QTest::newRow("exact item") << "Advanced" << "Advanced";
    QTest::newRow("case differs") << "expert" << "Beginner";
    QTest::newRow("unknown") << "Guru" << "Beginner";
    QTest::newRow("empty reads as default") << "" << "Intermediate";
}

void DialogsTest::profileEditorExperience()
{
    QFETCH(QString, stored);
    QFETCH(QString, shown);
    UserProfile profile;
    QVERIFY(profile.load());
    profile.setPreference(QStringLiteral("experience"), stored);
    ProfileEditorDialog dialog(&profile);
    QCOMPARE(dialog.findChild<QComboBox*>()->currentText(), shown);
}

void DialogsTest::profileEditorRoundTrip()
{
    const QStringList keys{"name", "email", "organization", "role"};
    const QStringList typed{"Ada Lovelace", "ada@example.com", "Analytical", "Engineer"};
    {
        UserProfile profile;
        QVERIFY(profile.load());
        ProfileEditorDialog dialog(&profile);
        dialog.show();
        const QList<QLineEdit*> edits = dialog.findChildren<QLineEdit*>();
        for (int i = 0; i < edits.size(); ++i)
            edits.at(i)->setText(typed.at(i));
        dialog.findChild<QComboBox*>()->setCurrentText(QStringLiteral("Expert"));
        checkBoxNamed(&dialog, kAutoLockText)->setChecked(false);
        checkBoxNamed(&dialog, kAuditText)->setChecked(false);

        ModalDriver driver;
        driver.pressButton(QMessageBox::Ok);
        dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Save)->click();
        QCOMPARE(driver.titles, QStringList{"Profile Saved"});
        QCOMPARE(driver.texts.first(), QStringLiteral("Your profile has been encrypted and saved.\n\nLocation: ")
                                           + UserProfile::profilePath());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    {
        // A fresh object reads what reached the encrypted file.
        UserProfile profile;
        QVERIFY(profile.load());
        for (int i = 0; i < keys.size(); ++i)
            QCOMPARE(profile.preference(keys.at(i)), typed.at(i));
        QCOMPARE(profile.preference(QStringLiteral("experience")), QStringLiteral("Expert"));
        QCOMPARE(profile.preference(QStringLiteral("auto-lock-minutes")), QStringLiteral("0"));
        QCOMPARE(profile.preference(QStringLiteral("audit-log")), QStringLiteral("false"));
        QCOMPARE(profile.preference(QStringLiteral("hotplug-notify")), QStringLiteral("true"));

        // The Preferences dialog reads the same choices.
        PreferencesDialog preferences(&profile);
        QCOMPARE(preferences.findChild<QComboBox*>(QStringLiteral("autoLockCombo"))->currentText(),
                 QStringLiteral("Never"));
        QVERIFY(!checkBoxNamed(&preferences, QStringLiteral("Enable session audit logging (ISO 27001)"))->isChecked());

        // Cleared fields store empty texts; ticking auto-lock again while it is
        // off brings back the default period.
        ProfileEditorDialog dialog(&profile);
        dialog.show();
        QCOMPARE(dialog.findChildren<QLineEdit*>().first()->text(), typed.first());
        QVERIFY(!checkBoxNamed(&dialog, kAutoLockText)->isChecked());
        for (QLineEdit* edit : dialog.findChildren<QLineEdit*>())
            edit->clear();
        checkBoxNamed(&dialog, kAutoLockText)->setChecked(true);
        ModalDriver driver;
        driver.pressButton(QMessageBox::Ok);
        dialog.saveProfile();
        QCOMPARE(driver.titles, QStringList{"Profile Saved"});
    }
    UserProfile profile;
    QVERIFY(profile.load());
    for (const QString& key : keys)
        QCOMPARE(profile.preference(key, QStringLiteral("<default>")), QStringLiteral("<default>"));
    QCOMPARE(profile.preference(QStringLiteral("auto-lock-minutes")), QStringLiteral("15"));
    ProfileEditorDialog reopened(&profile);
    for (QLineEdit* edit : reopened.findChildren<QLineEdit*>())
        QVERIFY(edit->text().isEmpty());
}

void DialogsTest::profileEditorSaveFailureKeepsInput()
{
    UserProfile profile;
    QVERIFY(profile.load());
    ProfileEditorDialog dialog(&profile);
    dialog.show();
    dialog.findChildren<QLineEdit*>().first()->setText(QStringLiteral("Grace Hopper"));

    // From here on openssl fails, so no write of the profile can succeed.
    FakeTools fakes;
    fakes.install(QStringLiteral("openssl"));
    fakes.answer(QStringLiteral("openssl"), {}, 1, "cannot write");
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    dialog.saveProfile();
    QCOMPARE(driver.titles, QStringList{"Save Failed"});
    QCOMPARE(driver.texts, QStringList{"Could not save encrypted profile."});
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(dialog.findChildren<QLineEdit*>().first()->text(), QStringLiteral("Grace Hopper"));
}

// Store "ini" or "profile"; an invalid stored value means the key is absent,
// an invalid saved value that saving removes it.
void DialogsTest::preferencesTable_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QVariant>("saved");
    const QVariant absent;
    QTest::newRow("theme absent") << "ini" << "theme" << absent << "dark" << QVariant("dark");
    QTest::newRow("theme Light") << "ini" << "theme" << QVariant("Light") << "dark" << QVariant("dark");
    QTest::newRow("theme light") << "ini" << "theme" << QVariant("light") << "light" << QVariant("light");
    QTest::newRow("welcome absent") << "ini" << "welcomeShown" << absent << "ticked" << absent;
    QTest::newRow("welcome false") << "ini" << "welcomeShown" << QVariant(false) << "ticked" << absent;
    QTest::newRow("welcome true") << "ini" << "welcomeShown" << QVariant(true) << "unticked" << QVariant("true");
    QTest::newRow("vault dir absent") << "ini" << "defaultVaultDir" << absent << "<config>" << QVariant("<config>");
    QTest::newRow("vault dir kept as typed") << "ini" << "defaultVaultDir" << QVariant(" /v ") << " /v " << QVariant(" /v ");
    QTest::newRow("auto-lock absent") << "profile" << "auto-lock-minutes" << absent << "15 minutes" << QVariant("15");
    QTest::newRow("auto-lock 60") << "profile" << "auto-lock-minutes" << QVariant("60") << "1 hour" << QVariant("60");
    QTest::newRow("auto-lock 45") << "profile" << "auto-lock-minutes" << QVariant("45") << "Never" << QVariant("0");
    QTest::newRow("auto-lock text") << "profile" << "auto-lock-minutes" << QVariant("soon") << "Never" << QVariant("0");
    QTest::newRow("passwords absent") << "profile" << "compliance-passwords" << absent << "ticked" << QVariant("true");
    QTest::newRow("passwords yes") << "profile" << "compliance-passwords" << QVariant("yes") << "unticked" << QVariant("false");
    QTest::newRow("audit TRUE") << "profile" << "audit-log" << QVariant("TRUE") << "unticked" << QVariant("false");
    QTest::newRow("hotplug true") << "profile" << "hotplug-notify" << QVariant("true") << "ticked" << QVariant("true");
    // Without TLS here; the signing page keeps its TLS address.
    QTest::newRow("timestamp absent") << "ini" << "signing/timestampUrl" << absent
                                      << "http://timestamp.digicert.com" << QVariant("http://timestamp.digicert.com");
    QTest::newRow("app identity") << "ini" << "signing/appIdentity" << QVariant("Developer ID Application: A (T1)")
                                  << "Developer ID Application: A (T1)" << QVariant("Developer ID Application: A (T1)");
    QTest::newRow("notarize profile") << "ini" << "signing/notarizeProfile" << QVariant("np") << "np" << QVariant("np");
    QTest::newRow("opensc path") << "ini" << "tools/opensc" << QVariant("/x/pkcs11-tool") << "/x/pkcs11-tool"
                                 << QVariant("/x/pkcs11-tool");
    QTest::newRow("gpg path absent") << "ini" << "tools/gpg" << absent << "" << QVariant("");
}

void DialogsTest::preferencesTable()
{
    QFETCH(QString, store);
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QString, shown);
    QFETCH(QVariant, saved);
    shown.replace(QLatin1String("<config>"), UserProfile::configDir());
    if (saved.toString() == QLatin1String("<config>"))
        saved = UserProfile::configDir();

    UserProfile profile;
    QVERIFY(profile.load());
    if (stored.isValid()) {
        if (store == QLatin1String("ini")) {
            AppSettings settings;
            settings->setValue(key, stored);
        } else {
            profile.setPreference(key, stored.toString());
        }
    }

    PreferencesDialog dialog(&profile);
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("Preferences \u2014 Ostrevan Tessaril"));
    // Each stored key has its control; its visible state in the same words as the table.
    const QMap<QString, QString> controls{
        {"theme", "themeCombo"}, {"welcomeShown", "Show Welcome dialog on launch"},
        {"defaultVaultDir", "defaultVaultEdit"}, {"auto-lock-minutes", "autoLockCombo"},
        {"compliance-passwords", "Enforce 12+ character passwords (PCI DSS / NIST 800-171)"},
        {"audit-log", "Enable session audit logging (ISO 27001)"},
        {"hotplug-notify", "Show notification on device hotplug"},
        {"signing/timestampUrl", "Timestamp URL:"}, {"signing/appIdentity", "Application Identity:"},
        {"signing/notarizeProfile", "Notarize Profile:"}, {"tools/opensc", "pkcs11-tool:"},
        {"tools/gpg", "gpg:"}};
    const QString control = controls.value(key);
    QString state;
    if (auto* combo = dialog.findChild<QComboBox*>(control)) {
        state = key == QLatin1String("theme") ? combo->currentData().toString() : combo->currentText();
    } else if (QCheckBox* box = checkBoxNamed(&dialog, control)) {
        state = box->isChecked() ? QStringLiteral("ticked") : QStringLiteral("unticked");
    } else if (auto* edit = dialog.findChild<QLineEdit*>(control)) {
        state = edit->text();
    } else {
        // A line edit beside its caption.
        for (QGridLayout* grid : dialog.findChildren<QGridLayout*>()) {
            for (int row = 0; row < grid->rowCount(); ++row) {
                QLayoutItem* left = grid->itemAtPosition(row, 0);
                QLayoutItem* right = grid->itemAtPosition(row, 1);
                auto* label = left ? qobject_cast<QLabel*>(left->widget()) : nullptr;
                if (label && label->text() == control && right && qobject_cast<QLineEdit*>(right->widget()))
                    state = static_cast<QLineEdit*>(right->widget())->text();
            }
        }
    }
    QCOMPARE(state, shown);

    dialog.saveSettings();
    if (store == QLatin1String("ini")) {
        AppSettings settings;
        QCOMPARE(settings->contains(key), saved.isValid());
        if (saved.isValid())
            QCOMPARE(settings->value(key).toString(), saved.toString());
    } else {
        UserProfile reread;
        QVERIFY(reread.load());
        QCOMPARE(reread.preference(key, QStringLiteral("<absent>")), saved.toString());
    }
}

void DialogsTest::preferencesButtons()
{
    UserProfile profile;
    QVERIFY(profile.load());
    PreferencesDialog dialog(&profile);
    QSignalSpy themes(&dialog, &PreferencesDialog::themeChanged);
    dialog.show();
    auto* buttons = dialog.findChild<QDialogButtonBox*>();
    auto* theme = dialog.findChild<QComboBox*>(QStringLiteral("themeCombo"));

    // Every save announces the theme, changed or not.
    buttons->button(QDialogButtonBox::Apply)->click();
    buttons->button(QDialogButtonBox::Apply)->click();
    QCOMPARE(themes.size(), 2);
    QCOMPARE(themes.at(1).at(0).toString(), QStringLiteral("dark"));
    QVERIFY(dialog.isVisible());

    // Re-detect All throws away what was not saved.
    theme->setCurrentIndex(1);
    buttonNamed(&dialog, QStringLiteral("Re-detect All"))->click();
    QCOMPARE(theme->currentIndex(), 0);

    // Cancel stores nothing.
    theme->setCurrentIndex(1);
    buttons->button(QDialogButtonBox::Cancel)->click();
    QCOMPARE(themes.size(), 2);
    QCOMPARE(AppSettings()->value(QStringLiteral("theme")).toString(), QStringLiteral("dark"));

    PreferencesDialog again(&profile);
    QSignalSpy againThemes(&again, &PreferencesDialog::themeChanged);
    again.show();
    again.findChild<QComboBox*>(QStringLiteral("themeCombo"))->setCurrentIndex(1);
    again.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(againThemes.size(), 1);
    QCOMPARE(againThemes.at(0).at(0).toString(), QStringLiteral("light"));
    QCOMPARE(again.result(), int(QDialog::Accepted));
    QCOMPARE(AppSettings()->value(QStringLiteral("theme")).toString(), QStringLiteral("light"));
}

void DialogsTest::detectFromKeychain()
{
    FakeTools fakes;
    fakes.install(QStringLiteral("security"), QStringLiteral("macos-tool"));
    fakes.answer(QStringLiteral("security"),
                 "  1) AAAA \"Apple Development: Me (X1)\"\n"
                 "  2) BBBB \"Developer ID Application: First Co (T1)\"\n"
                 "  3) CCCC Developer ID Application: no quotes\n"
                 "  4) DDDD \"Developer ID Application: Second Co (T2)\"\n"
                 "  5) EEEE Developer ID Application \"\"\n"
                 "     4 valid identities found\n",
                 0, {}, 1);
    fakes.answer(QStringLiteral("security"),
                 "  1) FFFF \"Developer ID Installer: First Co (T1)\"\n", 1, "warning", 2);

    UserProfile profile;
    QVERIFY(profile.load());
    PreferencesDialog dialog(&profile);
    auto* application = valueBeside(&dialog, QStringLiteral("Application Identity:"));
    QVERIFY(!application); // a line edit, not a label
    buttonNamed(&dialog, QStringLiteral("Detect from Keychain"))->click();

    QCOMPARE(fakes.callCount(QStringLiteral("security")), 2);
    QCOMPARE(fakes.arguments(QStringLiteral("security"), 1),
             (QStringList{"find-identity", "-v", "-p", "codesigning"}));
    QCOMPARE(fakes.arguments(QStringLiteral("security"), 2), (QStringList{"find-identity", "-v"}));
    QStringList texts;
    for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
        if (edit->placeholderText() == QLatin1String("Auto-detected from keychain"))
            texts << edit->text();
    }
    // The later identity wins; the installer is read even though the tool failed.
    QCOMPARE(texts, (QStringList{"Developer ID Application: Second Co (T2)",
                                 "Developer ID Installer: First Co (T1)"}));
    // Nothing is stored until OK or Apply.
    QVERIFY(!AppSettings()->contains(QStringLiteral("signing/appIdentity")));

    // Output without a match keeps what the fields hold.
    fakes.reset();
    fakes.install(QStringLiteral("security"), QStringLiteral("macos-tool"));
    fakes.answer(QStringLiteral("security"), "0 valid identities found\n");
    buttonNamed(&dialog, QStringLiteral("Detect from Keychain"))->click();
    texts.clear();
    for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
        if (edit->placeholderText() == QLatin1String("Auto-detected from keychain"))
            texts << edit->text();
    }
    QCOMPARE(texts.first(), QStringLiteral("Developer ID Application: Second Co (T2)"));
}

void DialogsTest::versionProbe_data()
{
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<QByteArray>("err");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<double>("sleep");
    QTest::addColumn<QString>("shown");
    const QByteArray opensslLine("OpenSSL 3.0.19 27 Jan 2026 (Library: OpenSSL 3.0.19 27 Jan 2026)");
    QTest::newRow("a long line whole") << opensslLine + "\nmore" << QByteArray() << 0 << 0.0 << QString(opensslLine);
    QTest::newRow("control characters escaped") << QByteArray("tool\t1.0\x1b[31m") << QByteArray() << 0 << 0.0
                                                << "tool\\t1.0\\x1b[31m";
    QTest::newRow("first line only") << QByteArray("\n  tool 1.2.3\nsecond\n") << QByteArray() << 0 << 0.0
                                     << "tool 1.2.3";
    QTest::newRow("error text when no output") << QByteArray(" \n") << QByteArray("tool 9 (stderr)\nmore") << 0
                                               << 0.0 << "tool 9 (stderr)";
    QTest::newRow("nothing printed") << QByteArray() << QByteArray() << 0 << 0.0 << "";
    QTest::newRow("exit 1") << QByteArray("tool 1.0") << QByteArray() << 1 << 0.0 << "not available";
    QTest::newRow("time-out") << QByteArray("tool 1.0") << QByteArray() << 0 << 10.0 << "timed out";
    QTest::newRow("missing program") << QByteArray() << QByteArray() << -1 << 0.0 << "not available";
}

void DialogsTest::versionProbe()
{
    QFETCH(QByteArray, out);
    QFETCH(QByteArray, err);
    QFETCH(int, exitCode);
    QFETCH(double, sleep);
    QFETCH(QString, shown);
    FakeTools fakes;
    if (exitCode >= 0) {
        fakes.install(QStringLiteral("probed"));
        fakes.answer(QStringLiteral("probed"), out, exitCode, err);
        if (sleep > 0)
            fakes.setSleep(QStringLiteral("probed"), sleep);
    }
    // Room for a slow start of the stand-in on a busy machine; the hanging one
    // sleeps far beyond the wait.
    const int waitMs = sleep > 0 ? 1500 : 15000;
    QCOMPARE(PreferencesDialog::probeVersion(QStringLiteral("probed"), {QStringLiteral("--version")}, waitMs), shown);
}

void DialogsTest::aboutTabAndToolPaths()
{
    FakeTools fakes(false);
    keepStandInsRunnable(fakes);
    fakes.install(QStringLiteral("ykman"));
    fakes.answer(QStringLiteral("ykman"), "YubiKey Manager (ykman) version: 5.2.1\n");
    fakes.install(QStringLiteral("openssl"));
    fakes.answer(QStringLiteral("openssl"), "OpenSSL 3.0.11 19 Sep 2023 (Library: OpenSSL 3.0.11)\n");
    fakes.install(QStringLiteral("gpg"));
    fakes.answer(QStringLiteral("gpg"), "gpg (GnuPG) 2.2.40\n<b>libgcrypt</b>\n", 2);
    // The real OpenSC: its tools have no --version, the suite's version comes
    // from opensc-tool.
    fakes.linkReal(QStringLiteral("opensc-tool"));

    PreferencesDialog dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTRY_VERIFY_WITH_TIMEOUT(toolLine(&dialog, "osslsigncode:") != checking(), 20000);
    for (const char* label : {"ykman:", "opensc:", "gpg:", "openssl:"})
        QTRY_VERIFY_WITH_TIMEOUT(toolLine(&dialog, label) != checking(), 20000);
    QCOMPARE(toolLine(&dialog, "ykman:"), QStringLiteral("YubiKey Manager (ykman) version: 5.2.1"));
    QCOMPARE(fakes.arguments(QStringLiteral("ykman")), QStringList{"--version"});
    QCOMPARE(toolLine(&dialog, "openssl:"), QStringLiteral("OpenSSL 3.0.11 19 Sep 2023 (Library: OpenSSL 3.0.11)"));
    QCOMPARE(fakes.arguments(QStringLiteral("openssl")), QStringList{"version"});
    QCOMPARE(toolLine(&dialog, "gpg:"), QStringLiteral("not available"));
    QCOMPARE(toolLine(&dialog, "osslsigncode:"), QStringLiteral("not available"));
    QVERIFY2(toolLine(&dialog, "opensc:").startsWith(QLatin1String("OpenSC 0.")), qPrintable(toolLine(&dialog, "opensc:")));
    QCOMPARE(valueBeside(&dialog, QStringLiteral("Config:"))->text(), UserProfile::configDir());

    // The Tools tab shows where each tool was found on the search path.
    QLabel* ykmanPath = valueBeside(&dialog, QStringLiteral("ykman:"), 2);
    QVERIFY(ykmanPath);
    QCOMPARE(ykmanPath->text(), fakes.binDir() + QStringLiteral("/ykman"));
    QCOMPARE(ykmanPath->property("tone").toString(), QStringLiteral("success"));
    QLabel* osslPath = valueBeside(&dialog, QStringLiteral("osslsigncode:"), 2);
    QCOMPARE(osslPath->text(), QStringLiteral("Not found"));
    QCOMPARE(osslPath->property("tone").toString(), QStringLiteral("danger"));
}

// The dialog opens at once whatever the tools do; each line fills as its
// tool answers, and one that hangs holds up only its own line.
void DialogsTest::aboutProbesRunInTheBackground()
{
    FakeTools fakes(false);
    keepStandInsRunnable(fakes);
    for (const char* tool : {"ykman", "opensc-tool", "osslsigncode", "gpg", "openssl"})
        fakes.install(QLatin1String(tool));
    fakes.answer(QStringLiteral("gpg"), "gpg (GnuPG) 2.4.4\n");
    // ykman answers only when the test lets it.
    const QString release = home->path() + QStringLiteral("/release-ykman");
    fakes.setHook(QStringLiteral("ykman"), QStringLiteral("while [ ! -e '%1' ]; do sleep 0.05; done").arg(release));
    fakes.setSleep(QStringLiteral("opensc-tool"), 600);
    const int savedWait = PreferencesDialog::probeTimeoutMs;
    PreferencesDialog::probeTimeoutMs = 5000;

    // Built without asking any tool.
    PreferencesDialog dialog(nullptr);
    for (const char* tool : {"ykman", "opensc-tool", "osslsigncode", "gpg", "openssl"})
        QCOMPARE(fakes.callCount(QLatin1String(tool)), 0);
    for (const char* label : {"ykman:", "opensc:", "osslsigncode:", "gpg:", "openssl:"})
        QCOMPARE(toolLine(&dialog, label), checking());
    Heartbeat heartbeat;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));

    // Each line as its tool answers, not after the others.
    QTRY_COMPARE_WITH_TIMEOUT(toolLine(&dialog, "gpg:"), QStringLiteral("gpg (GnuPG) 2.4.4"), 20000);
    QCOMPARE(toolLine(&dialog, "ykman:"), checking());
    QVERIFY(QFile(release).open(QIODevice::WriteOnly));
    QTRY_COMPARE_WITH_TIMEOUT(toolLine(&dialog, "ykman:"), QString(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(toolLine(&dialog, "opensc:"), QStringLiteral("timed out"), 20000);
    PreferencesDialog::probeTimeoutMs = savedWait;
    QVERIFY2(heartbeat.longestGapMs() < 250, qPrintable(QString::number(heartbeat.longestGapMs())));
    for (const char* tool : {"ykman", "opensc-tool", "osslsigncode", "gpg", "openssl"})
        QCOMPARE(fakes.callCount(QLatin1String(tool)), 1);
}

// A line too long for its place is elided in the middle; the whole line is
// in its tool tip. One that fits is shown whole.
void DialogsTest::aboutLinesElideInTheMiddle()
{
    FakeTools fakes(false);
    keepStandInsRunnable(fakes);
    const QString longLine = QStringLiteral("OpenSSL 3.0.19 27 Jan 2026 (Library: OpenSSL 3.0.19 27 Jan 2026) ")
                             + QString(200, QLatin1Char('x')) + QStringLiteral(" the end");
    fakes.install(QStringLiteral("openssl"));
    fakes.answer(QStringLiteral("openssl"), longLine.toUtf8() + "\nsecond line\n");
    fakes.install(QStringLiteral("gpg"));
    fakes.answer(QStringLiteral("gpg"), "gpg (GnuPG) 2.4.4\n");

    PreferencesDialog dialog(nullptr);
    dialog.resize(dialog.minimumSize());
    dialog.findChild<QTabWidget*>()->setCurrentIndex(4);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTRY_COMPARE_WITH_TIMEOUT(toolLine(&dialog, "openssl:"), longLine, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(toolLine(&dialog, "gpg:"), QStringLiteral("gpg (GnuPG) 2.4.4"), 20000);

    ElidedLabel* shown = toolLabel(&dialog, "openssl:");
    QVERIFY(shown);
    QCOMPARE(shown->toolTip(), longLine);
    const QString text = shown->text();
    const qsizetype mark = text.indexOf(QChar(0x2026));
    QVERIFY2(mark > 0 && mark < text.size() - 1, qPrintable(text));
    QVERIFY(longLine.startsWith(text.left(mark)));
    QVERIFY(longLine.endsWith(text.mid(mark + 1)));
    QVERIFY(shown->fontMetrics().horizontalAdvance(text) <= shown->contentsRect().width());
    QVERIFY(shown->geometry().right() < shown->parentWidget()->width());

    ElidedLabel* whole = toolLabel(&dialog, "gpg:");
    QCOMPARE(whole->text(), QStringLiteral("gpg (GnuPG) 2.4.4"));
    QCOMPARE(whole->toolTip(), QStringLiteral("gpg (GnuPG) 2.4.4"));
}

void DialogsTest::detectFromKeychainStopsAtAFailedRun_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << false << "failed to start";
    QTest::newRow("hanging") << true << "timed out after";
}

void DialogsTest::detectFromKeychainStopsAtAFailedRun()
{
    QFETCH(bool, installed);
    QFETCH(QString, reason);
    FakeTools fakes(false);
    keepStandInsRunnable(fakes);
    if (installed) {
        fakes.install(QStringLiteral("security"), QStringLiteral("macos-tool"));
        // Prints an identity, then hangs: what a hung run printed is not used.
        fakes.setHook(QStringLiteral("security"),
                      QStringLiteral("echo '  1) AAAA \"Developer ID Application: Half (H1)\"'; exec sleep 600"));
    }
    PreferencesDialog dialog(nullptr);
    dialog.keychainTimeoutMs = 1000;
    ModalDriver driver;
    driver.pressButton(QMessageBox::Ok);
    buttonNamed(&dialog, QStringLiteral("Detect from Keychain"))->click();
    QCOMPARE(driver.titles, QStringList{"Detect from Keychain"});
    QVERIFY2(driver.texts.first().contains(reason), qPrintable(driver.texts.first()));
    // The second run is not made (a busy machine may kill the first before
    // it has noted its call).
    QVERIFY(fakes.callCount(QStringLiteral("security")) <= 1);
    for (QLineEdit* edit : dialog.findChildren<QLineEdit*>()) {
        if (edit->placeholderText() == QLatin1String("Auto-detected from keychain"))
            QCOMPARE(edit->text(), QString());
    }
}

OT_TEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
