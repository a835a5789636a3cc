#include "ui/profile/ProfileEditorDialog.h"
#include "app/StyleManager.h"

#include "config/UserProfile.h"
#include "ui/widgets/SectionTitle.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

// The security choices are kept as the Preferences dialog keeps them, so the
// two dialogs always show the same state.
const QString kTrue = QStringLiteral("true");
const QString kFalse = QStringLiteral("false");
const QString kAutoLockKey = QStringLiteral("auto-lock-minutes");
const QString kDefaultAutoLock = QStringLiteral("15");

QString piiExplanation()
{
    const auto heading = [](const char* text) {
        return QString(QStringLiteral("<h4 style='color: ") + StyleManager::color(StyleManager::Accent).name()
                       + QStringLiteral(";'>%1</h4>"))
            .arg(QString::fromUtf8(text));
    };
    QString html;
    html += heading("Definition");
    html += QStringLiteral(
        "<p>PII is any information that can be used to identify, contact, or locate a specific "
        "individual. This includes direct identifiers (name, email, SSN) and indirect identifiers "
        "(IP address, device fingerprints).</p>");

    html += heading("Examples of PII in Tessaril");
    struct Example {
        bool pii;
        const char* text;
    };
    static const Example examples[] = {
        {true, "Full name, email, organization name"},
        {true, "AWS Account ID, access keys"},
        {true, "SSH key comments with email"},
        {true, "GPG key UIDs with name and email"},
        {true, "Certificate subject DN (CN, O, L, ST, C)"},
        {false, "Theme preference, window size, feature unlocks"},
        {false, "Device profile names, algorithm choices"},
    };
    html += QStringLiteral("<table width='100%' cellpadding='4' style='border-collapse: collapse;'>");
    for (const Example& example : examples) {
        html += QStringLiteral("<tr><td><b style='color: %1;'>%2</b></td><td>%3</td></tr>")
                    .arg(StyleManager::color(example.pii ? StyleManager::Warning : StyleManager::Success).name(),
                         example.pii ? QStringLiteral("PII") : QStringLiteral("Not PII"),
                         QString::fromUtf8(example.text));
    }
    html += QStringLiteral("</table>");

    html += heading("Compliance Standards");
    struct Standard {
        const char* name;
        const char* text;
    };
    static const Standard standards[] = {
        {"GDPR", " (EU) \u2014 Article 4(1): Any information relating to an identified or identifiable "
                 "natural person. Fines up to 4% of annual revenue."},
        {"CCPA", " (California) \u2014 Section 1798.140(v): Information that identifies, relates to, or "
                 "could be linked to a consumer or household."},
        {"HIPAA", " (US Health) \u2014 45 CFR 160.103: 18 identifiers including name, address, dates, "
                  "phone, email, SSN, device IDs."},
        {"PCI DSS", " \u2014 Requirement 3: Protect stored cardholder data. Encryption required for PII "
                    "at rest."},
        {"SOC 2", " \u2014 Trust Services Criteria: PII must be encrypted, access-controlled, and "
                  "audit-logged."},
    };
    for (const Standard& standard : standards) {
        html += QStringLiteral("<p><b>%1</b>%2</p>")
                    .arg(QString::fromUtf8(standard.name), QString::fromUtf8(standard.text));
    }

    html += heading("How Tessaril Protects PII");
    html += QStringLiteral("<ul>");
    for (const char* item : {"Profile encrypted with AES-256 at rest",
                             "Vault containers use AES-256-XTS encryption",
                             "PINs zeroed from memory immediately after use",
                             "Session log never records PINs or secrets",
                             "Cloud credentials stored only inside encrypted vault",
                             "All file operations use owner-only permissions (0600)"}) {
        html += QStringLiteral("<li>%1</li>").arg(QString::fromUtf8(item));
    }
    html += QStringLiteral("</ul>");
    return html;
}

} // namespace

ProfileEditorDialog::ProfileEditorDialog(UserProfile* profile, QWidget* parent)
    : QDialog(parent)
    , profile(profile)
{
    setWindowTitle(QString::fromUtf8("User Profile \u2014 Ostrevan Tessaril"));
    setMinimumSize(700, 500);
    resize(750, 550);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(4);

    QLabel* title = makeSectionTitle(QStringLiteral("Your Tessaril Profile"), this);
    title->setFixedHeight(22);
    layout->addWidget(title);
    auto* intro = new QLabel(QStringLiteral("Profile data is encrypted with AES-256 and stored locally. "
                                            "Fields marked PII are protected under GDPR, CCPA, HIPAA, "
                                            "and PCI DSS."),
                             this);
    intro->setWordWrap(true);
    intro->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(intro, StyleManager::Muted);
    intro->setMaximumHeight(36);
    layout->addWidget(intro);

    auto* tabs = new QTabWidget(this);
    tabs->addTab(createPersonalTab(), QStringLiteral("Personal Info"));
    tabs->addTab(createSecurityTab(), QStringLiteral("Security Preferences"));
    tabs->addTab(createFeaturesTab(), QStringLiteral("Feature Unlocks"));
    tabs->addTab(createPiiTab(), QStringLiteral("What is PII?"));
    layout->addWidget(tabs);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &ProfileEditorDialog::saveProfile);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

ProfileEditorDialog::~ProfileEditorDialog() = default;

QLabel* ProfileEditorDialog::piiLabel(const QString& text)
{
    auto* label = new QLabel(text + QStringLiteral(" [PII]"));
    label->setStyleSheet(QStringLiteral("font-weight: 600;"));
    StyleManager::setTone(label, StyleManager::Warning);
    label->setToolTip(QString::fromUtf8(
        "PII \u2014 Personally Identifiable Information\n\n"
        "This field contains data that can identify you personally.\n"
        "Protected under: GDPR Art. 4(1), CCPA 1798.140(v),\n"
        "HIPAA 45 CFR 160.103, PCI DSS Req. 3.\n\n"
        "This data is encrypted at rest in your profile."));
    return label;
}

QLabel* ProfileEditorDialog::nonPiiLabel(const QString& text)
{
    auto* label = new QLabel(text);
    StyleManager::setTone(label, StyleManager::Muted);
    label->setToolTip(QStringLiteral("This field does not contain personally identifiable information."));
    return label;
}

QWidget* ProfileEditorDialog::createPersonalTab()
{
    auto* page = new QWidget;
    auto* grid = new QGridLayout(page);
    grid->setSpacing(8);

    const auto stored = [this](const char* key, const QString& fallback = QString()) {
        return profile ? profile->preference(QString::fromLatin1(key), fallback) : fallback;
    };
    const auto addEdit = [&](int row, QLabel* caption, const char* key, const QString& placeholder) {
        auto* edit = new QLineEdit(stored(key), page);
        edit->setPlaceholderText(placeholder);
        grid->addWidget(caption, row, 0);
        grid->addWidget(edit, row, 1);
        return edit;
    };
    nameEdit = addEdit(0, piiLabel(QStringLiteral("Full Name:")), "name",
                       QStringLiteral("Your full legal name"));
    emailEdit = addEdit(1, piiLabel(QStringLiteral("Email:")), "email",
                        QStringLiteral("name@example.com"));
    organizationEdit = addEdit(2, piiLabel(QStringLiteral("Organization:")), "organization",
                               QStringLiteral("Company or team name"));
    roleEdit = addEdit(3, nonPiiLabel(QStringLiteral("Role:")), "role",
                       QStringLiteral("e.g., DevSecOps Engineer, IT Admin, Developer"));

    experienceCombo = new QComboBox(page);
    experienceCombo->addItems({QStringLiteral("Beginner"), QStringLiteral("Intermediate"),
                               QStringLiteral("Advanced"), QStringLiteral("Expert")});
    // A stored text that names no item leaves the first item selected.
    experienceCombo->setCurrentIndex(
        qMax(0, experienceCombo->findText(stored("experience", QStringLiteral("Intermediate")),
                                          Qt::MatchExactly | Qt::MatchCaseSensitive)));
    grid->addWidget(nonPiiLabel(QStringLiteral("Experience:")), 4, 0);
    grid->addWidget(experienceCombo, 4, 1);

    auto* note = new QLabel(QStringLiteral(
        "Fields marked [PII] contain Personally Identifiable Information.\n"
        "This data is encrypted in your profile and never transmitted.\n"
        "See the 'What is PII?' tab for full compliance details."), page);
    note->setWordWrap(true);
    note->setStyleSheet(QStringLiteral("font-size: 11px; padding-top: 8px;"));
    StyleManager::setTone(note, StyleManager::Warning);
    grid->addWidget(note, 5, 0, 1, 2);
    return page;
}

QWidget* ProfileEditorDialog::createSecurityTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    const auto isSet = [this](const char* key) {
        return !profile || profile->preference(QString::fromLatin1(key), kTrue) == kTrue;
    };

    autoLockCheck = new QCheckBox(QStringLiteral("Auto-lock vault after 15 minutes of inactivity"), page);
    autoLockCheck->setChecked(!profile || profile->preference(kAutoLockKey, kDefaultAutoLock)
                                              != QLatin1String("0"));
    layout->addWidget(autoLockCheck);

    auto* pinCache = new QCheckBox(QStringLiteral("Never cache PINs in memory (zero immediately)"), page);
    pinCache->setChecked(true);
    pinCache->setEnabled(false);
    pinCache->setToolTip(QStringLiteral("Always enabled for security. PINs are zeroed after every use."));
    layout->addWidget(pinCache);

    auditLogCheck = new QCheckBox(QStringLiteral("Enable session audit logging"), page);
    auditLogCheck->setChecked(isSet("audit-log"));
    layout->addWidget(auditLogCheck);
    hotplugNotifyCheck = new QCheckBox(QStringLiteral("Show notification on device hotplug"), page);
    hotplugNotifyCheck->setChecked(isSet("hotplug-notify"));
    layout->addWidget(hotplugNotifyCheck);
    compliancePasswordsCheck = new QCheckBox(
        QStringLiteral("Enforce compliance-grade passwords (12+ chars)"), page);
    compliancePasswordsCheck->setChecked(isSet("compliance-passwords"));
    layout->addWidget(compliancePasswordsCheck);

    layout->addStretch();
    return page;
}

QWidget* ProfileEditorDialog::createFeaturesTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* intro = new QLabel(QStringLiteral("Features unlock automatically when prerequisites are met. "
                                            "Green = unlocked, gray = locked."),
                             page);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    struct Feature {
        const char* name;
        const char* description;
        const char* prerequisite;
        const char* id; // null: always available
    };
    static const Feature features[] = {
        {"Encrypted Vault", "Create and manage .qvimgv encrypted containers",
         "None \u2014 always available", nullptr},
        {"DevOps Secrets", "Kubernetes, Docker, Ansible, Terraform, SOPS secret management",
         "Create an encrypted vault first", "devops-secrets"},
        {"USB Drive Encryption", "Detect and encrypt USB storage devices",
         "USB storage device connected", "usb-encryption"},
        {"Multi-Vault", "Manage multiple encrypted vaults simultaneously", "Create first vault",
         "multi-vault"},
    };
    for (const Feature& feature : features) {
        const bool unlocked = !feature.id
            || (profile && profile->isFeatureUnlocked(QString::fromLatin1(feature.id)));
        auto* row = new QHBoxLayout;
        auto* status = new QLabel(unlocked ? QStringLiteral("UNLOCKED") : QStringLiteral("LOCKED"), page);
        status->setFixedWidth(80);
        status->setAlignment(Qt::AlignCenter);
        status->setStyleSheet(unlocked ? QStringLiteral("font-weight: 700; font-size: 11px;")
                                       : QStringLiteral("font-weight: 600; font-size: 11px;"));
        StyleManager::setTone(status, unlocked ? StyleManager::Success : StyleManager::Muted);
        row->addWidget(status);
        auto* text = new QLabel(
            QString(QStringLiteral("<b>%1</b><br/>%2<br/><span style='color: ")
                    + StyleManager::color(StyleManager::Muted).name()
                    + QStringLiteral("; font-size: 10px;'>Prerequisite: %3</span>"))
                .arg(QString::fromUtf8(feature.name), QString::fromUtf8(feature.description),
                     QString::fromUtf8(feature.prerequisite)),
            page);
        text->setTextFormat(Qt::RichText);
        text->setWordWrap(true);
        row->addWidget(text, 1);
        layout->addLayout(row);
    }
    layout->addStretch();
    return page;
}

QWidget* ProfileEditorDialog::createPiiTab()
{
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->addWidget(makeSectionTitle(
        QString::fromUtf8("What is PII? \u2014 Personally Identifiable Information"), content));
    auto* text = new QLabel(piiExplanation(), content);
    text->setTextFormat(Qt::RichText);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addStretch();
    scroll->setWidget(content);
    return scroll;
}

void ProfileEditorDialog::saveProfile()
{
    if (!profile)
        return;
    // Stored exactly as typed: an empty field reads back as its default.
    QList<QPair<QString, QString>> values = {
        {QStringLiteral("name"), nameEdit->text()},
        {QStringLiteral("email"), emailEdit->text()},
        {QStringLiteral("organization"), organizationEdit->text()},
        {QStringLiteral("role"), roleEdit->text()},
        {QStringLiteral("experience"), experienceCombo->currentText()},
    };
    const QString minutes = profile->preference(kAutoLockKey, kDefaultAutoLock);
    if (!autoLockCheck->isChecked())
        values.append({kAutoLockKey, QStringLiteral("0")});
    else if (minutes == QLatin1String("0"))
        values.append({kAutoLockKey, kDefaultAutoLock});
    values.append({QStringLiteral("audit-log"), auditLogCheck->isChecked() ? kTrue : kFalse});
    values.append({QStringLiteral("hotplug-notify"), hotplugNotifyCheck->isChecked() ? kTrue : kFalse});
    values.append({QStringLiteral("compliance-passwords"),
                   compliancePasswordsCheck->isChecked() ? kTrue : kFalse});

    // One write for the whole form: every write is an openssl run, and the
    // window waits for each.
    if (profile->setPreferences(values)) {
        QMessageBox::information(this, QStringLiteral("Profile Saved"),
                                 QStringLiteral("Your profile has been encrypted and saved.\n\nLocation: ")
                                     + UserProfile::profilePath());
        accept();
    } else {
        QMessageBox::warning(this, QStringLiteral("Save Failed"),
                             QStringLiteral("Could not save encrypted profile."));
    }
}
