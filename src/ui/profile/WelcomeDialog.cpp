#include "ui/profile/WelcomeDialog.h"
#include "app/StyleManager.h"

#include "config/Settings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const char* const welcomeShownKey = "welcomeShown";

QString contentHtml()
{
    const QString heading = QStringLiteral("<h4 style=\"color: ") + StyleManager::color(StyleManager::Success).name()
                            + QStringLiteral(";\">%1</h4>");
    struct Row {
        const char* area;
        const char* what;
    };
    const Row rows[] = {
        {"Hardware Keys", "Manage FIDO2, PIV, YubiKey, Hirsch security keys"},
        {"Code Signing", "Sign macOS apps + Windows PE binaries with hardware tokens"},
        {"GPG / SSH", "Full keyring management, SSH config editor, key generation"},
        {"Secure Vault", "AES-256 encrypted containers for keys, certs, passwords"},
        {"DevOps Tools", "K8s, Docker, Ansible, Terraform, SOPS + SSH/SFTP/SCP"},
        {"USB Encryption", "Detect and encrypt USB storage devices"},
        {"Site Manager", "Encrypted server profiles for SSH/SFTP/SCP/Rsync"},
        {"Compliance", "PCI DSS, SOC 2, ISO 27001, FIPS 140-3, HIPAA, GDPR"},
    };
    const char* const steps[] = {
        "Plug in a FIDO2 or YubiKey \u2014 the Device Inspector detects it automatically",
        "Set up your SSH keys in the GPG / SSH Keys tab",
        "Create an encrypted vault in the Secure Vault tab",
        "Store your cloud credentials and passwords securely",
        "Explore the Knowledge Base (Help > Knowledge Base) to learn more",
    };

    QString html = heading.arg(QStringLiteral("What You Can Do"));
    html += QStringLiteral("<table cellpadding=\"4\">");
    for (const Row& row : rows) {
        html += QStringLiteral("<tr><td><span style=\"color: ") + StyleManager::color(StyleManager::Accent).name()
                + QStringLiteral(";\">%1</span></td><td>%2</td></tr>")
                    .arg(QString::fromUtf8(row.area).toHtmlEscaped(),
                         QString::fromUtf8(row.what).toHtmlEscaped());
    }
    html += QStringLiteral("</table>");
    html += heading.arg(QStringLiteral("Getting Started"));
    html += QStringLiteral("<ol>");
    for (const char* step : steps)
        html += QStringLiteral("<li>%1</li>").arg(QString::fromUtf8(step).toHtmlEscaped());
    html += QStringLiteral("</ol>");
    html += QStringLiteral("<p style=\"color: ") + StyleManager::color(StyleManager::Warning).name()
            + QStringLiteral("; font-size: 12px;\">"
                           "All PII is encrypted. PINs are never stored. Session log never records secrets.</p>");
    return html;
}

} // namespace

WelcomeDialog::WelcomeDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Welcome to Ostrevan Tessaril"));
    setMinimumSize(580, 480);
    resize(640, 520);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(8);

    auto* title = new QLabel(QStringLiteral("Ostrevan Tessaril"), this);
    title->setObjectName(QStringLiteral("sectionTitle"));
    title->setAlignment(Qt::AlignCenter);
    title->setStyleSheet(QStringLiteral("font-size: 22px;"));
    layout->addWidget(title);

    auto* version = new QLabel(
        QStringLiteral("Version %1 \u2014 Cybersecurity Swiss Army Knife").arg(QCoreApplication::applicationVersion()),
        this);
    version->setAlignment(Qt::AlignCenter);
    version->setStyleSheet(QStringLiteral("font-size: 14px;"));
    StyleManager::setTone(version, StyleManager::Accent);
    layout->addWidget(version);

    auto* content = new QLabel(this);
    content->setTextFormat(Qt::RichText);
    content->setWordWrap(true);
    content->setText(contentHtml());
    layout->addWidget(content);

    layout->addStretch();

    auto* bottom = new QHBoxLayout;
    auto* dontShow = new QCheckBox(QStringLiteral("Don't show again"), this);
    bottom->addWidget(dontShow);
    bottom->addStretch();
    auto* start = new QPushButton(QStringLiteral("Get Started"), this);
    start->setStyleSheet(QStringLiteral("font-size: 15px; padding: 10px 24px; font-weight: 600;"));
    bottom->addWidget(start);
    layout->addLayout(bottom);

    // Written the moment the box is ticked, so closing the window any way
    // keeps the choice; unticking does not take it back.
    connect(dontShow, &QCheckBox::toggled, this, [](bool checked) {
        if (checked)
            markShown();
    });
    connect(start, &QPushButton::clicked, this, &QDialog::accept);
}

bool WelcomeDialog::shouldShow()
{
    AppSettings settings;
    return !settings->value(QLatin1String(welcomeShownKey), false).toBool();
}

void WelcomeDialog::markShown()
{
    AppSettings settings;
    settings->setValue(QLatin1String(welcomeShownKey), true);
}
