// The Ansible Vault, Terraform and SOPS sub-tabs: secret files chosen by the
// user, encrypted and decrypted through DevOpsSecretFiles.
#include "ui/remote/DevOpsSecretsTab.h"

#include "core/SecureZero.h"
#include "ui/remote/SshTerminalWindow.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

namespace {

const char* const yamlFilter = "YAML (*.yml *.yaml);;All (*)";
const char* const sopsFilter = "Config (*.yaml *.yml *.json *.env);;All (*)";

struct ButtonSpec {
    QString text;
    std::function<void()> handler;
};

// A description over one row of buttons, both kept at the top; the last
// button is the row's secondary one.
QWidget* makeFilesPage(QObject* context, const QString& description, const QList<ButtonSpec>& buttons)
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    auto* label = new QLabel(description, page);
    label->setWordWrap(true);
    layout->addWidget(label);
    auto* row = new QHBoxLayout;
    for (qsizetype i = 0; i < buttons.size(); ++i) {
        auto* button = new QPushButton(buttons.at(i).text, page);
        if (i == buttons.size() - 1)
            button->setObjectName(QStringLiteral("secondaryButton"));
        QObject::connect(button, &QPushButton::clicked, context, buttons.at(i).handler);
        row->addWidget(button);
    }
    row->addStretch();
    layout->addLayout(row);
    layout->addStretch();
    return page;
}

} // namespace

QWidget* DevOpsSecretsTab::createAnsibleSubTab()
{
    using Action = DevOpsSecretFiles::VaultAction;
    return makeFilesPage(
        this,
        QStringLiteral("Encrypt/decrypt Ansible vault files (YAML). Uses ansible-vault CLI with AES-256 encryption."),
        {{QStringLiteral("Encrypt File..."), [this] { onAnsibleVault(Action::Encrypt); }},
         {QStringLiteral("Decrypt File..."), [this] { onAnsibleVault(Action::Decrypt); }},
         {QStringLiteral("View Encrypted..."), [this] { onAnsibleVault(Action::View); }}});
}

QWidget* DevOpsSecretsTab::createTerraformSubTab()
{
    return makeFilesPage(this,
                         QStringLiteral("Manage Terraform backend credentials and encrypted tfvars files. Store "
                                        "sensitive variables in the encrypted vault."),
                         {{QStringLiteral("Encrypt .tfvars..."), [this] { onTerraformFile(true); }},
                          {QStringLiteral("Decrypt .tfvars..."), [this] { onTerraformFile(false); }}});
}

QWidget* DevOpsSecretsTab::createSopsSubTab()
{
    using Action = DevOpsSecretFiles::SopsAction;
    return makeFilesPage(
        this,
        QString::fromUtf8("Mozilla SOPS \u2014 Secrets OPerationS. Encrypt individual values in YAML/JSON files "
                          "while keeping keys readable. Supports GPG, age, AWS KMS, GCP KMS, and Azure Key Vault "
                          "as key sources."),
        {{QStringLiteral("Encrypt File..."), [this] { onSopsInPlace(Action::Encrypt); }},
         {QStringLiteral("Decrypt File..."), [this] { onSopsInPlace(Action::Decrypt); }},
         {QStringLiteral("Edit Encrypted..."), [this] { onSopsEdit(); }}});
}

void DevOpsSecretsTab::runSecretFiles(const std::function<void(DevOpsSecretFiles&)>& run)
{
    DevOpsSecretFiles files;
    connect(&files, &DevOpsSecretFiles::logLine, this, &DevOpsSecretsTab::log);
    run(files);
}

void DevOpsSecretsTab::onAnsibleVault(DevOpsSecretFiles::VaultAction action)
{
    using Action = DevOpsSecretFiles::VaultAction;
    const QString title = action == Action::Encrypt   ? QStringLiteral("Encrypt with Ansible Vault")
                          : action == Action::Decrypt ? QStringLiteral("Decrypt Ansible Vault")
                                                      : QStringLiteral("View Ansible Vault");
    const QString path = QFileDialog::getOpenFileName(this, title, QString(), QString::fromLatin1(yamlFilter));
    if (path.isEmpty())
        return;
    bool ok = false;
    QString password = QInputDialog::getText(this, title, QStringLiteral("Vault password:"), QLineEdit::Password,
                                             QString(), &ok);
    WipeOnExit wipe(password);
    if (!ok)
        return;
    runSecretFiles([&](DevOpsSecretFiles& files) { files.runAnsibleVault(action, path, password); });
}

void DevOpsSecretsTab::onTerraformFile(bool encrypt)
{
    const QString path = encrypt ? QFileDialog::getOpenFileName(this, QStringLiteral("Encrypt tfvars"), QString(),
                                                                QStringLiteral("Terraform (*.tfvars *.auto.tfvars);;All (*)"))
                                 : QFileDialog::getOpenFileName(this, QStringLiteral("Decrypt tfvars"), QString(),
                                                                QStringLiteral("Encrypted (*.tfvars.enc *.enc);;All (*)"));
    if (path.isEmpty())
        return;
    const QString title = encrypt ? QStringLiteral("Encrypt") : QStringLiteral("Decrypt");
    const QString target =
        encrypt ? DevOpsSecretFiles::encryptedTfvarsPath(path) : DevOpsSecretFiles::decryptedTfvarsPath(path);
    if (QFileInfo::exists(target)
        && QMessageBox::question(this, title, QStringLiteral("%1 already exists. Replace it?").arg(target),
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
               != QMessageBox::Yes) {
        return;
    }
    bool ok = false;
    QString password = QInputDialog::getText(
        this, title, encrypt ? QStringLiteral("Encryption password:") : QStringLiteral("Decryption password:"),
        QLineEdit::Password, QString(), &ok);
    WipeOnExit wipe(password);
    if (!ok)
        return;
    runSecretFiles([&](DevOpsSecretFiles& files) {
        if (encrypt)
            files.encryptTfvars(path, password);
        else
            files.decryptTfvars(path, password);
    });
}

void DevOpsSecretsTab::onSopsInPlace(DevOpsSecretFiles::SopsAction action)
{
    const QString title = action == DevOpsSecretFiles::SopsAction::Encrypt ? QStringLiteral("Encrypt with SOPS")
                                                                           : QStringLiteral("Decrypt with SOPS");
    const QString path = QFileDialog::getOpenFileName(this, title, QString(), QString::fromLatin1(sopsFilter));
    if (path.isEmpty())
        return;
    if (QMessageBox::question(this, title, QStringLiteral("sops will rewrite %1 in place. Continue?").arg(path),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        != QMessageBox::Yes) {
        return;
    }
    runSecretFiles([&](DevOpsSecretFiles& files) { files.runSops(action, path); });
}

void DevOpsSecretsTab::onSopsEdit()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Edit with SOPS"), QString(),
                                                      QStringLiteral("Config (*.yaml *.yml *.json);;All (*)"));
    if (path.isEmpty())
        return;
    // sops opens the user's editor, which needs a terminal of its own.
    auto* window = new SshTerminalWindow(this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->newProgramTab(QStringLiteral("sops"), {path}, QFileInfo(path).fileName());
    window->show();
    window->raise();
}
