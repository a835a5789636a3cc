// The GPG page's keyring operations: generate, import, export, sign, delete,
// owner trust, revocation, subkeys and user IDs. Each asks its questions,
// runs gpg once (revocation twice) and reports in the log view.
//
// A program started from the desktop has no terminal: gpg must then neither
// try one (the quick commands open /dev/tty unless told "--no-tty") nor ask a
// question of its own there ("--batch" with the question asked here instead).
// Pass phrases are gpg's business: its pinentry asks for them while we wait.
//
// Typed user IDs, key files and the fingerprints read from gpg's listing go
// after "--": gpg would read a name such as "--comment=x" as an option and
// still make a key, from the words that are left.
#include "ui/keys/GpgKeyManagementTab.h"

#include "core/LogText.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolArgs.h"

#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTreeWidget>

#include <utility>

namespace {

const QString kAlgorithms[] = {QStringLiteral("ed25519"), QStringLiteral("rsa4096"), QStringLiteral("rsa2048")};

QStringList algorithms()
{
    return {std::begin(kAlgorithms), std::end(kAlgorithms)};
}

// A line of text from a prompt; false when cancelled or left empty.
bool askText(QWidget* parent, const QString& title, const QString& label, QString* text)
{
    bool ok = false;
    *text = QInputDialog::getText(parent, title, label, QLineEdit::Normal, QString(), &ok);
    return ok && !text->isEmpty();
}

// One entry of a fixed list, the first preselected; false when cancelled.
bool askItem(QWidget* parent, const QString& title, const QString& label, const QStringList& items, QString* item)
{
    bool ok = false;
    *item = QInputDialog::getItem(parent, title, label, items, 0, false, &ok);
    return ok;
}

// A user ID is one line of a key's listing: a line break or other control
// character in it would split that line and every log line that names it.
// True when the name and address may go to gpg; otherwise the user is told.
bool acceptUserId(QWidget* parent, const QString& title, const QString& name, const QString& address)
{
    for (const auto& [field, text] : {std::pair{QStringLiteral("full name"), name},
                                      std::pair{QStringLiteral("email address"), address}}) {
        if (LogText::hasControls(text)) {
            QMessageBox::warning(parent, title,
                                 QStringLiteral("The %1 must not contain a line break or other control character.")
                                     .arg(field));
            return false;
        }
    }
    return true;
}

bool confirm(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text)
{
    QMessageBox box(icon, title, text, QMessageBox::Yes | QMessageBox::No, parent);
    // The text quotes user IDs from the keyring: shown as written, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString trimmedError(const ToolRunner::Result& result)
{
    return result.stdErrText().trimmed();
}

QString userIdArgument(const QString& name, const QString& address)
{
    return QStringLiteral("%1 <%2>").arg(name, address);
}

using ToolArgs::withPositional;

} // namespace

GpgKeyManagementTab::SelectedGpgKey GpgKeyManagementTab::selectedGpgKey() const
{
    SelectedGpgKey key;
    const QTreeWidgetItem* item = gpgKeyTree->currentItem();
    if (!item)
        return key;
    key.present = true;
    key.fingerprint = item->data(0, Qt::UserRole).toString();
    key.userId = item->text(0);
    key.shortId = GpgColonListing::shortId(key.fingerprint);
    key.longId = GpgColonListing::longId(key.fingerprint);
    return key;
}

ToolRunner::Result GpgKeyManagementTab::runRevocation(const QString& fingerprint, const QByteArray& script)
{
    // The certificate comes on standard output: it never passes through a
    // file that gpg opened.
    return runGpgTool(withPositional({QStringLiteral("--command-fd"), QStringLiteral("0"), QStringLiteral("--no-tty"),
                                      QStringLiteral("--gen-revoke"), QStringLiteral("--yes"),
                                      QStringLiteral("--output"), QStringLiteral("-")},
                                     {fingerprint}),
                      15000, script);
}

void GpgKeyManagementTab::generateGpgKey()
{
    const QString title = QStringLiteral("Generate GPG Key");
    QString name, address, algorithm;
    if (!askText(this, title, QStringLiteral("Full name:"), &name)
        || !askText(this, title, QStringLiteral("Email address:"), &address)
        || !askItem(this, title, QStringLiteral("Algorithm:"), algorithms(), &algorithm)
        || !acceptUserId(this, title, name, address))
        return;

    log(QStringLiteral("Generating %1 key for %2 <%3>...").arg(algorithm, name, address));
    log(QStringLiteral("GPG will prompt for passphrase in a separate dialog."));
    const ToolRunner::Result result =
        runGpgTool(withPositional({QStringLiteral("--no-tty"), QStringLiteral("--quick-generate-key"),
                                   QStringLiteral("--yes")},
                                  {userIdArgument(name, address), algorithm}),
                   60000);
    if (result.succeeded()) {
        log(QStringLiteral("Key generated successfully."));
        Q_EMIT logRequest(QStringLiteral("GPG Generate"), address, true, algorithm);
        refreshGpgKeys();
    } else {
        const QString error = result.stdErrText();
        log(QStringLiteral("Key generation failed: ") + error.trimmed());
        Q_EMIT logRequest(QStringLiteral("GPG Generate"), address, false, error.left(80));
    }
}

void GpgKeyManagementTab::importKey()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Import GPG Key"), QString(),
                                                      QStringLiteral("Key Files (*.asc *.gpg *.pgp *.pub *.key);;"
                                                                     "All Files (*)"));
    if (path.isEmpty())
        return;
    const ToolRunner::Result result = runGpgTool(withPositional({QStringLiteral("--import")}, {path}), 15000);
    // gpg says what it imported on standard error.
    const QString report = trimmedError(result);
    if (result.succeeded()) {
        log(QStringLiteral("Key imported: ") + report);
        Q_EMIT logRequest(QStringLiteral("GPG Import"), QStringLiteral("file"), true, path);
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Import failed: ") + report);
    }
}

void GpgKeyManagementTab::exportPublicKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present) {
        QMessageBox::warning(this, QStringLiteral("Export"), QStringLiteral("Select a key first."), QMessageBox::Ok);
        return;
    }
    if (key.fingerprint.isEmpty())
        return;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export Public Key"),
                                                      key.shortId + QStringLiteral("-pub.asc"),
                                                      QStringLiteral("ASCII Armor (*.asc);;All (*)"));
    if (path.isEmpty())
        return;
    // gpg prints nothing when it is missing or does not know the key: the
    // chosen file must then keep what it held.
    const QString armoured =
        runGpg(withPositional({QStringLiteral("--armor"), QStringLiteral("--export")}, {key.fingerprint}));
    if (armoured.isEmpty()) {
        log(QStringLiteral("Public key export failed."));
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    const QByteArray bytes = armoured.toUtf8();
    const bool written = file.write(bytes) == bytes.size() && file.flush();
    file.close();
    if (!written) {
        log(QStringLiteral("Public key export failed."));
        return;
    }
    log(QStringLiteral("Public key exported: ") + path);
    Q_EMIT logRequest(QStringLiteral("GPG Export Pub"), key.shortId, true, path);
}

void GpgKeyManagementTab::exportSecretKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    if (!confirm(this, QMessageBox::Warning, QStringLiteral("Export SECRET Key"),
                 QStringLiteral("Exporting your secret key is dangerous.\nOnly do this for backup purposes.\n\n"
                                "The export file must be stored securely.\nContinue?")))
        return;
    const QString path =
        QFileDialog::getSaveFileName(this, QStringLiteral("Export Secret Key"),
                                     key.shortId + QStringLiteral("-secret.asc"), QStringLiteral("ASCII Armor (*.asc)"));
    if (path.isEmpty())
        return;

    log(QStringLiteral("GPG will prompt for passphrase..."));
    ToolRunner::Result result = runGpgTool(
        withPositional({QStringLiteral("--armor"), QStringLiteral("--export-secret-keys")}, {key.fingerprint}), 30000);
    // For a key whose secret part is not here gpg only warns "nothing
    // exported" and still ends with 0: that is no backup.
    if (!result.succeeded() || result.stdOut.isEmpty()) {
        log(QStringLiteral("Export failed or cancelled."));
        return;
    }
    QString error;
    const bool written = PrivateFiles::writeOwnerOnly(path, result.stdOut, &error);
    secureZero(result.stdOut);
    if (!written) {
        log(QStringLiteral("Secret key export failed: %1: %2").arg(path, error));
        return;
    }
    log(QStringLiteral("Secret key exported: ") + path);
    Q_EMIT logRequest(QStringLiteral("GPG Export Secret"), key.shortId, true, path);
}

void GpgKeyManagementTab::signKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    // gpg cannot ask its own "Really sign?" without a terminal, so the
    // question is asked here and gpg runs in batch mode.
    if (!confirm(this, QMessageBox::Question, QStringLiteral("Sign Key"),
                 QStringLiteral("Certify key:\n\n  %1\n  %2\n\nwith your default secret key?")
                     .arg(key.userId, key.longId)))
        return;

    log(QStringLiteral("Signing key ") + key.shortId + QStringLiteral("..."));
    log(QStringLiteral("GPG will prompt for confirmation and passphrase."));
    const ToolRunner::Result result = runGpgTool(
        withPositional({QStringLiteral("--batch"), QStringLiteral("--yes"), QStringLiteral("--sign-key")},
                       {key.fingerprint}),
        30000);
    if (result.succeeded()) {
        log(QStringLiteral("Key signed."));
        Q_EMIT logRequest(QStringLiteral("GPG Sign Key"), key.shortId, true, QStringLiteral("Signed"));
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Sign failed or cancelled."));
    }
}

void GpgKeyManagementTab::deleteKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    if (!confirm(this, QMessageBox::Critical, QStringLiteral("DELETE GPG Key"),
                 QStringLiteral("Permanently delete key:\n\n  %1\n  %2\n\nCANNOT be undone.")
                     .arg(key.userId, key.longId)))
        return;
    const ToolRunner::Result result =
        runGpgTool(withPositional({QStringLiteral("--batch"), QStringLiteral("--yes"),
                                   QStringLiteral("--delete-secret-and-public-key")},
                                  {key.fingerprint}),
                   15000);
    if (result.succeeded()) {
        log(QStringLiteral("Key deleted: ") + key.shortId);
        Q_EMIT logRequest(QStringLiteral("GPG Delete"), key.shortId, true, key.userId);
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Delete failed. Try deleting secret key first."));
    }
}

void GpgKeyManagementTab::editTrust()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present) {
        QMessageBox::warning(this, QStringLiteral("Trust"), QStringLiteral("Select a key first."), QMessageBox::Ok);
        return;
    }
    if (key.fingerprint.isEmpty())
        return;
    QString level;
    if (!askItem(this, QStringLiteral("Edit Owner Trust"), QStringLiteral("Set trust level for:\n%1").arg(key.userId),
                 {QStringLiteral("1 - Unknown"), QStringLiteral("2 - Never trust"), QStringLiteral("3 - Marginal"),
                  QStringLiteral("4 - Full"), QStringLiteral("5 - Ultimate")},
                 &level))
        return;

    // gpg's trust menu takes the level's number; only "ultimate" asks a
    // yes/no after it, and for the other levels the "y" meets the command
    // prompt as an unknown command, which gpg passes over.
    const QByteArray script = QStringLiteral("%1\ny\nquit\n").arg(level.left(1).toInt()).toUtf8();
    const ToolRunner::Result result =
        runGpgTool(withPositional({QStringLiteral("--command-fd"), QStringLiteral("0"), QStringLiteral("--no-tty"),
                                   QStringLiteral("--batch"), QStringLiteral("--yes"), QStringLiteral("--edit-key")},
                                  {key.fingerprint, QStringLiteral("trust")}),
                   15000, script);
    if (result.succeeded()) {
        log(QStringLiteral("Trust set to %1 for %2").arg(level, key.shortId));
        Q_EMIT logRequest(QStringLiteral("GPG Edit Trust"), key.shortId, true, level);
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Trust edit failed: ") + trimmedError(result));
    }
}

void GpgKeyManagementTab::revokeKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    if (!confirm(this, QMessageBox::Critical, QStringLiteral("REVOKE GPG Key"),
                 QStringLiteral("PERMANENTLY REVOKE key:\n\n  %1\n  %2\n\nRevocation is IRREVERSIBLE. The key will be "
                                "marked\nas revoked and can never be used for signing again.\n\nOnly do this if the "
                                "key is compromised or retired.\n\nContinue?")
                     .arg(key.userId, key.longId)))
        return;
    bool ok = false;
    const QString word = QInputDialog::getText(this, QStringLiteral("Confirm Revocation"),
                                               QStringLiteral("Type REVOKE to confirm:"), QLineEdit::Normal, QString(),
                                               &ok);
    if (!ok || word != QLatin1String("REVOKE")) {
        log(QStringLiteral("Revocation cancelled."));
        return;
    }
    QString reason;
    if (!askItem(this, QStringLiteral("Revocation Reason"), QStringLiteral("Select reason:"),
                 {QStringLiteral("0 - No reason"), QStringLiteral("1 - Key compromised"),
                  QStringLiteral("2 - Key superseded"), QStringLiteral("3 - Key no longer used")},
                 &reason))
        return;

    // The answers follow gpg's questions: create the certificate, the reason,
    // an empty line that ends the description, the reason is right.
    const QByteArray script = QStringLiteral("y\n%1\n\ny\n").arg(reason.left(1).toInt()).toUtf8();
    ToolRunner::Result generated = runRevocation(key.fingerprint, script);
    // The certificate lives only in memory, from one run to the next.
    if (generated.stdOut.isEmpty()) {
        log(QStringLiteral("Revocation cert generation failed."));
        return;
    }
    const ToolRunner::Result imported = runGpgTool({QStringLiteral("--import")}, 10000, generated.stdOut);
    secureZero(generated.stdOut);
    if (!imported.succeeded()) {
        log(QStringLiteral("Revocation import failed."));
        return;
    }
    log(QStringLiteral("Key REVOKED: ") + key.shortId);
    Q_EMIT logRequest(QStringLiteral("GPG Revoke"), key.shortId, true, reason);
    refreshGpgKeys();
}

void GpgKeyManagementTab::generateRevocationCert()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Revocation Certificate"),
                                                      key.shortId + QStringLiteral("-revoke.asc"),
                                                      QStringLiteral("ASCII Armor (*.asc)"));
    if (path.isEmpty())
        return;
    // gpg would open the chosen file itself, truncating it and keeping its
    // mode: over an existing file readable by others, the certificate would
    // be readable too until a later chmod. It prints the certificate instead,
    // and the certificate is stored owner-only from its first byte.
    ToolRunner::Result result = runRevocation(key.fingerprint, QByteArrayLiteral("y\n0\n\ny\n"));
    if (!result.succeeded() || result.stdOut.isEmpty()) {
        log(QStringLiteral("Revocation cert generation failed or cancelled."));
        return;
    }
    QString error;
    const bool written = PrivateFiles::writeOwnerOnly(path, result.stdOut, &error);
    secureZero(result.stdOut);
    if (!written) {
        log(QStringLiteral("Revocation cert could not be saved: %1: %2").arg(path, error));
        return;
    }
    log(QStringLiteral("Revocation cert saved: ") + path);
    log(QStringLiteral("STORE THIS SAFELY. If your key is compromised, import this cert."));
    Q_EMIT logRequest(QStringLiteral("GPG Gen Revoke"), key.shortId, true, path);
}

void GpgKeyManagementTab::addSubkey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    const QString title = QStringLiteral("Add Subkey");
    QString purposeEntry, algorithm;
    if (!askItem(this, title, QStringLiteral("Subkey purpose:"),
                 {QStringLiteral("sign (signing)"), QStringLiteral("encrypt (encryption)"),
                  QStringLiteral("auth (authentication)")},
                 &purposeEntry)
        || !askItem(this, title, QStringLiteral("Algorithm:"), algorithms(), &algorithm))
        return;
    const QString purpose = purposeEntry.section(QLatin1Char(' '), 0, 0);

    log(QStringLiteral("Adding %1 subkey (%2) to %3...").arg(purpose, algorithm, key.shortId));
    log(QStringLiteral("GPG will prompt for passphrase."));
    const ToolRunner::Result result = runGpgTool(
        withPositional({QStringLiteral("--no-tty"), QStringLiteral("--quick-add-key")},
                       {key.fingerprint, algorithm, purpose}),
        30000);
    if (result.succeeded()) {
        log(QStringLiteral("Subkey added."));
        Q_EMIT logRequest(QStringLiteral("GPG Add Subkey"), key.shortId, true, purpose + QLatin1Char(' ') + algorithm);
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Failed: ") + trimmedError(result));
    }
}

void GpgKeyManagementTab::addUid()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (!key.present)
        return;
    const QString title = QStringLiteral("Add UID");
    QString name, address;
    if (!askText(this, title, QStringLiteral("Full name:"), &name)
        || !askText(this, title, QStringLiteral("Email address:"), &address)
        || !acceptUserId(this, title, name, address))
        return;

    log(QStringLiteral("Adding UID %1 <%2> to %3...").arg(name, address, key.shortId));
    const ToolRunner::Result result =
        runGpgTool(withPositional({QStringLiteral("--quick-add-uid")}, {key.fingerprint, userIdArgument(name, address)}),
                   15000);
    if (result.succeeded()) {
        log(QStringLiteral("UID added."));
        Q_EMIT logRequest(QStringLiteral("GPG Add UID"), key.shortId, true, address);
        refreshGpgKeys();
    } else {
        log(QStringLiteral("Failed: ") + trimmedError(result));
    }
}
