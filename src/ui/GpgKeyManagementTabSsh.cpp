// The SSH pages: the key pairs in ~/.ssh and the way to the configuration editor.
#include "ui/GpgKeyManagementTab.h"

#include "app/SshTarget.h"
#include "core/PrivateFiles.h"
#include "core/SshDirectory.h"
#include "core/ToolRunner.h"
#include "ui/SectionTitle.h"
#include "ui/SshConfigEditor.h"
#include "ui/SshTerminalWindow.h"

#include <QApplication>
#include <QBrush>
#include <QClipboard>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// The whole file, trimmed; nothing when it cannot be read.
bool readTrimmed(const QString& path, QString* text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *text = QString::fromUtf8(file.readAll()).trimmed();
    return true;
}

QString privatePathOf(const QString& publicPath)
{
    return publicPath.left(publicPath.size() - 4);
}

} // namespace

QWidget* GpgKeyManagementTab::buildSshPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(makeSectionTitle(QStringLiteral("SSH Keys (~/.ssh/)"), page));

    sshKeyTree = new QTreeWidget(page);
    sshKeyTree->setObjectName(QStringLiteral("sshKeyTree"));
    sshKeyTree->setHeaderLabels({QStringLiteral("Type"), QStringLiteral("Bits"), QStringLiteral("Fingerprint"),
                                 QStringLiteral("Comment"), QStringLiteral("File")});
    sshKeyTree->setAlternatingRowColors(true);
    sshKeyTree->setRootIsDecorated(false);
    sshKeyTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    sshKeyTree->setColumnWidth(2, 300);
    sshKeyTree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(sshKeyTree, &QTreeWidget::customContextMenuRequested, this, &GpgKeyManagementTab::showSshContextMenu);
    layout->addWidget(sshKeyTree);

    addButtonRow(layout, {{"Refresh", nullptr, &GpgKeyManagementTab::refreshSshKeys},
                          {"Generate SSH Key...", nullptr, &GpgKeyManagementTab::generateSshKey},
                          {"Copy Public Key", "secondaryButton", &GpgKeyManagementTab::copySshPubKey},
                          {"Backup to Hardware Key", "secondaryButton", &GpgKeyManagementTab::backupToHardwareKey}});
    return page;
}

QWidget* GpgKeyManagementTab::buildSshConfigPage()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(makeSectionTitle(QStringLiteral("SSH Config (~/.ssh/config)"), page));
    auto* about = new QLabel(QStringLiteral("Manage SSH server connections. Define host aliases with connection "
                                            "parameters so you can type 'ssh myserver' instead of full commands."),
                             page);
    about->setWordWrap(true);
    layout->addWidget(about);
    auto* open = new QPushButton(QStringLiteral("Open SSH Config Editor..."), page);
    open->setStyleSheet(QStringLiteral("font-size: 15px; padding: 12px; font-weight: 600;"));
    connect(open, &QPushButton::clicked, this, &GpgKeyManagementTab::openSshConfigEditor);
    layout->addWidget(open);
    layout->addStretch();
    return page;
}

ToolRunner::Result GpgKeyManagementTab::runSshKeygenFor(const QStringList& arguments, int finishTimeoutMs,
                                                       const QByteArray& standardInput)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = finishTimeoutMs;
    options.standardInput = standardInput;
    return ToolRunner::run(QStringLiteral("ssh-keygen"), arguments, options);
}

QString GpgKeyManagementTab::runSshKeygen(const QList<QString>& arguments)
{
    return runSshKeygenFor(arguments, 15000).stdOutText();
}

QString GpgKeyManagementTab::sshFingerprintLine(const QString& publicPath)
{
    return runSshKeygenFor({QStringLiteral("-l"), QStringLiteral("-f"), publicPath}, 5000).stdOutText().trimmed();
}

QList<SshKeyInfo> GpgKeyManagementTab::listSshKeys()
{
    const QDir dir(SshDirectory::path());
    if (!dir.exists())
        return {};
    // Name filters ignore letter case; hidden files are left out unless asked for.
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    QList<SshKeyInfo> keys;
    for (const QFileInfo& file : files) {
        SshKeyInfo key;
        key.publicPath = file.absoluteFilePath();
        key.privatePath = privatePathOf(key.publicPath);
        QFile publicKey(key.publicPath);
        if (publicKey.open(QIODevice::ReadOnly)) {
            const QStringList parts =
                QString::fromUtf8(publicKey.readLine()).trimmed().split(QLatin1Char(' '), Qt::KeepEmptyParts);
            if (parts.size() >= 2)
                key.type = parts.at(0);
            if (parts.size() >= 3)
                key.comment = parts.at(2);
        }
        const QString fingerprint = sshFingerprintLine(key.publicPath);
        if (!fingerprint.isEmpty()) {
            const QStringList parts = fingerprint.split(QLatin1Char(' '), Qt::KeepEmptyParts);
            if (parts.size() >= 2) {
                key.bits = parts.at(0).toInt(nullptr, 10);
                key.fingerprint = parts.at(1);
            }
        }
        keys.append(key);
    }
    return keys;
}

void GpgKeyManagementTab::refreshSshKeys()
{
    sshKeyTree->clear();
    const QList<SshKeyInfo> keys = listSshKeys();
    for (const SshKeyInfo& key : keys) {
        auto* row = new QTreeWidgetItem(sshKeyTree);
        row->setText(0, key.type);
        row->setText(1, key.bits > 0 ? QString::number(key.bits) : QString());
        row->setText(2, key.fingerprint);
        row->setText(3, key.comment);
        row->setText(4, QFileInfo(key.publicPath).fileName());
        row->setData(0, Qt::UserRole, key.publicPath);
        if (key.type.contains(QLatin1String("ed25519")))
            row->setForeground(0, QBrush(QColor(QStringLiteral("#22c55e"))));
        else if (key.type.contains(QLatin1String("rsa")))
            row->setForeground(0, QBrush(QColor(QStringLiteral("#0ea5e9"))));
    }
    log(QStringLiteral("SSH: %1 key(s) found in ~/.ssh/").arg(keys.size()));
}

void GpgKeyManagementTab::generateSshKey()
{
    const QString title = QStringLiteral("Generate SSH Key");
    bool ok = false;
    const QString entry = QInputDialog::getItem(
        this, title, QStringLiteral("Key type:"),
        {QStringLiteral("ed25519 (recommended)"), QStringLiteral("rsa (4096 bits)"), QStringLiteral("ecdsa (256 bits)")},
        0, false, &ok);
    if (!ok)
        return;
    QString type;
    QStringList typeArguments;
    if (entry.contains(QLatin1String("ed25519"))) {
        type = QStringLiteral("ed25519");
        typeArguments = {QStringLiteral("-t"), type};
    } else if (entry.contains(QLatin1String("rsa"))) {
        type = QStringLiteral("rsa");
        typeArguments = {QStringLiteral("-t"), type, QStringLiteral("-b"), QStringLiteral("4096")};
    } else {
        type = QStringLiteral("ecdsa");
        typeArguments = {QStringLiteral("-t"), type, QStringLiteral("-b"), QStringLiteral("256")};
    }
    const QString proposed = type == QLatin1String("ed25519") ? QStringLiteral("id_ed25519") : QStringLiteral("id_rsa");

    const QString comment = QInputDialog::getText(this, title, QStringLiteral("Comment (e.g. email):"),
                                                  QLineEdit::Normal, QString(), &ok);
    if (!ok)
        return;
    const QString fileName = QInputDialog::getText(this, title, QStringLiteral("Filename (in ~/.ssh/):"),
                                                   QLineEdit::Normal, proposed, &ok);
    if (!ok || fileName.isEmpty())
        return;
    const QString privatePath = SshDirectory::path() + QLatin1Char('/') + fileName;
    // ssh-keygen makes no folder for -f: a fresh account has no ~/.ssh yet.
    if (!QFileInfo::exists(SshDirectory::path()) && !PrivateFiles::makePrivateDir(SshDirectory::path())) {
        log(QStringLiteral("SSH key generation failed: could not create ~/.ssh/"));
        return;
    }

    // ssh-keygen asks its own overwrite question on standard input: after the
    // user's Yes it reads "y"; with nothing to answer it meets end-of-file at
    // once instead of waiting out its time-out.
    QByteArray answer;
    if (QFileInfo::exists(privatePath)) {
        const auto overwrite = QMessageBox::warning(
            this, QStringLiteral("File Exists"), privatePath + QStringLiteral(" already exists. Overwrite?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (overwrite != QMessageBox::Yes)
            return;
        answer = "y\n";
    }

    log(QStringLiteral("Generating %1 SSH key: %2").arg(type, privatePath));
    const ToolRunner::Result result =
        runSshKeygenFor(typeArguments + QStringList{QStringLiteral("-C"), comment, QStringLiteral("-f"), privatePath,
                                                    QStringLiteral("-N"), QString()},
                        keyGenerationTimeoutMs, answer);
    if (!result.succeeded()) {
        log(QStringLiteral("SSH key generation failed: ") + result.stdErrText().trimmed());
        return;
    }
    QFile::setPermissions(privatePath, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    log(QStringLiteral("SSH key generated: ") + privatePath);
    log(QStringLiteral("Public key: ") + privatePath + QStringLiteral(".pub"));
    Q_EMIT logRequest(QStringLiteral("SSH KeyGen"), comment, true, type + QLatin1Char(' ') + privatePath);
    refreshSshKeys();
}

void GpgKeyManagementTab::copySshPubKey()
{
    QTreeWidgetItem* row = sshKeyTree->currentItem();
    if (!row) {
        QMessageBox::warning(this, QStringLiteral("Copy"), QStringLiteral("Select an SSH key first."));
        return;
    }
    copyPublicKey(row->data(0, Qt::UserRole).toString(), QStringLiteral("Public key copied to clipboard: "));
}

void GpgKeyManagementTab::copyPublicKey(const QString& publicPath, const QString& logPrefix)
{
    QString text;
    if (!readTrimmed(publicPath, &text))
        return;
    QApplication::clipboard()->setText(text);
    log(logPrefix + QFileInfo(publicPath).fileName());
}

void GpgKeyManagementTab::backupToHardwareKey()
{
    const SelectedGpgKey key = selectedGpgKey();
    if (key.fingerprint.isEmpty())   // no row, or a subkey row, which carries none
        return;
    const QString fingerprint = key.fingerprint;
    const QString shortId = key.shortId;
    log(QStringLiteral("Backup %1 to hardware key:").arg(shortId));
    log(QStringLiteral("  To push GPG subkeys to YubiKey OpenPGP applet, run:"));
    log(QStringLiteral("    gpg --edit-key ") + fingerprint);
    log(QStringLiteral("    > keytocard"));
    log(QStringLiteral("  Select slot: 1=Signature, 2=Encryption, 3=Authentication"));
    log(QStringLiteral("  GPG will prompt for card PIN and key passphrase."));
    log(QString::fromUtf8("  WARNING: keytocard MOVES the key \u2014 it will be removed from disk."));
    log(QStringLiteral("  Backup your secret keys to vault FIRST."));
    Q_EMIT logRequest(QStringLiteral("GPG Backup HW"), shortId, true, QStringLiteral("Instructions shown"));
}

void GpgKeyManagementTab::showSshContextMenu(const QPoint& position)
{
    QTreeWidgetItem* row = sshKeyTree->itemAt(position);
    if (!row)
        return;
    const QString publicPath = row->data(0, Qt::UserRole).toString();
    const QString privatePath = privatePathOf(publicPath);

    QMenu menu(this);
    menu.addAction(QStringLiteral("Copy Public Key"), this,
                   [this, publicPath] { copyPublicKey(publicPath, QStringLiteral("Public key copied: ")); });
    menu.addAction(QStringLiteral("SSH to Server..."), this, [this, privatePath] { sshWithKey(privatePath); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Show Fingerprint"), this, [this, publicPath] {
        log(QStringLiteral("Fingerprint: ") + sshFingerprintLine(publicPath));
    });
    menu.addAction(QStringLiteral("Show Public Key"), this, [this, publicPath] {
        QString text;
        if (readTrimmed(publicPath, &text))
            log(text);
    });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Delete Key..."), this,
                   [this, publicPath, privatePath] { deleteSshKey(publicPath, privatePath); });
    menu.exec(sshKeyTree->viewport()->mapToGlobal(position));
}

void GpgKeyManagementTab::sshWithKey(const QString& privatePath)
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("SSH Connect"),
                                               QStringLiteral("Host (or user@host):"), QLineEdit::Normal, QString(),
                                               &ok);
    if (!ok || text.isEmpty())
        return;
    SshTarget target;
    target.host = text;
    const qsizetype at = text.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        target.user = text.left(at);
        target.host = text.mid(at + 1);
    }
    const QString refusal = target.refusal();
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("SSH Connect"), refusal);
        return;
    }
    // The window stands on its own and lives until the user closes it.
    auto* window = new SshTerminalWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->newSshTab(target.host, target.user, 22, privatePath, QString(), QString());
    window->show();
}

void GpgKeyManagementTab::deleteSshKey(const QString& publicPath, const QString& privatePath)
{
    const auto answer = QMessageBox::critical(
        this, QStringLiteral("Delete SSH Key"),
        QStringLiteral("Permanently delete:\n  %1\n  %2\n\nCANNOT be undone.")
            .arg(QFileInfo(privatePath).fileName(), QFileInfo(publicPath).fileName()),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    QFile::remove(privatePath);
    QFile::remove(publicPath);
    log(QStringLiteral("Deleted: ") + QFileInfo(publicPath).fileName());
    refreshSshKeys();
}

void GpgKeyManagementTab::openSshConfigEditor()
{
    {
        SshConfigEditor editor(this);
        editor.exec();
    }
    refreshSshKeys();
}
