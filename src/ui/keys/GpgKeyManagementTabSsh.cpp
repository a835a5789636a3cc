// The SSH pages: the key pairs in ~/.ssh and the way to the configuration editor.
#include "ui/keys/GpgKeyManagementTab.h"
#include "app/StyleManager.h"

#include "app/SshTarget.h"
#include "core/LogText.h"
#include "core/PrivateFiles.h"
#include "core/SshDirectory.h"
#include "core/SshPublicKey.h"
#include "core/ToolArgs.h"
#include "core/ToolRunner.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/SectionTitle.h"
#include "ui/keys/SshConfigEditor.h"
#include "ui/remote/SshTerminalWindow.h"

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
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// The longest public key line is some kilobytes (RSA at 16384 bits); a
// bigger file holds something else, and is not read whole.
constexpr qint64 maxPublicKeyFileBytes = 64 * 1024;

// Where a row keeps what its file held when it was listed.
constexpr int contentRole = Qt::UserRole + 1;

QString privatePathOf(const QString& publicPath)
{
    return publicPath.left(publicPath.size() - 4);
}

QString fileNameOf(const QString& path)
{
    return QFileInfo(path).fileName();
}

// Up to maxPublicKeyFileBytes + 1 bytes of the file, so that a file too big
// for a public key shows as such; false with the reason when it cannot be
// read. Only a regular file is ever opened for reading: a named pipe would
// wait for a writer for ever.
bool readHead(const QString& path, QByteArray* head, QString* error, bool* notRegular = nullptr)
{
    QString why;
    switch (SshDirectory::readRegularFile(path, maxPublicKeyFileBytes + 1, head, &why)) {
    case SshDirectory::ReadOutcome::Read:
        return true;
    case SshDirectory::ReadOutcome::Missing:
        *error = QStringLiteral("No such file or directory");
        return false;
    case SshDirectory::ReadOutcome::NotRegular:
        *error = QStringLiteral("not a regular file");
        if (notRegular)
            *notRegular = true;
        return false;
    case SshDirectory::ReadOutcome::Failed:
        break;
    }
    *error = why;
    return false;
}

bool holdsPublicKey(const QByteArray& text)
{
    return text.size() <= maxPublicKeyFileBytes && SshPublicKey::isPublicKeyOrCertificateText(text);
}

QString notAPublicKey(const QString& fileName, bool privateKey)
{
    return privateKey ? QStringLiteral("%1 holds a private key, not a public key.").arg(fileName)
                      : QStringLiteral("%1 does not hold a public key.").arg(fileName);
}

QString notARegularFile(const QString& fileName)
{
    return QStringLiteral("%1 is not a regular file.").arg(fileName);
}

// The key files of ~/.ssh as read, before ssh-keygen has seen them: one
// record per listed name, and for each the key line to fingerprint (empty
// when the file holds none). Runs on a thread of its own: a folder on a slow
// disk must not stop the window.
struct SshKeyFiles
{
    QList<SshKeyInfo> keys;
    QList<QByteArray> lines;
    QString failure;
};

SshKeyFiles readSshKeyFiles()
{
    SshKeyFiles found;
    const QString folder = SshDirectory::path();
    const QDir dir(folder);
    if (!dir.exists())
        return found;
    if (!QFileInfo(folder).isReadable() || !QFileInfo(folder).isExecutable()) {
        found.failure = QStringLiteral("~/.ssh/ cannot be read");
        return found;
    }
    // Name filters ignore letter case; hidden files are left out unless asked
    // for. Named pipes, sockets and devices are "system" entries: listed, so
    // that the user sees them, and never opened.
    QFileInfoList files = dir.entryInfoList({QStringLiteral("*.pub")}, QDir::Files | QDir::System,
                                            QDir::Name | QDir::IgnoreCase);
    files.removeIf([](const QFileInfo& file) { return file.isSymLink() && !file.exists(); });
    found.keys.reserve(files.size());
    found.lines.reserve(files.size());
    for (const QFileInfo& file : files) {
        SshKeyInfo key;
        key.publicPath = file.absoluteFilePath();
        key.privatePath = privatePathOf(key.publicPath);
        QByteArray head;
        QString error;
        QByteArray line;
        bool notRegular = false;
        if (readHead(key.publicPath, &head, &error, &notRegular)) {
            if (SshDirectory::holdsPrivateKey(head)) {
                key.content = SshKeyInfo::PrivateKey;
            } else {
                const qsizetype lineEnd = head.indexOf('\n');
                const QStringList parts = QString::fromUtf8(lineEnd < 0 ? head : head.left(lineEnd))
                                              .trimmed()
                                              .split(QLatin1Char(' '), Qt::KeepEmptyParts);
                if (parts.size() >= 2)
                    key.type = parts.at(0);
                if (parts.size() >= 3)
                    key.comment = parts.at(2);
                if (holdsPublicKey(head))
                    line = head;
            }
        } else if (notRegular) {
            key.content = SshKeyInfo::NotRegular;
        }
        found.keys.append(key);
        found.lines.append(line);
    }
    return found;
}

// The fingerprints ssh-keygen printed, into the records they belong to.
void addFingerprints(QList<SshKeyInfo>& keys, const QList<SshDirectory::KeyFingerprint>& printed)
{
    for (qsizetype row = 0; row < keys.size() && row < printed.size(); ++row) {
        const SshDirectory::KeyFingerprint& print = printed.at(row);
        if (print.fingerprint.isEmpty())
            continue;
        SshKeyInfo& key = keys[row];
        key.bits = print.bits;
        key.fingerprint = print.fingerprint;
        key.content = SshKeyInfo::PublicKey;
    }
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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
    sshStatus = addStatusLabel(layout);
    sshFill = addPageFill(page, sshKeyTree, sshStatus);
    sshFill->setFill([this] { fillSshKeys(); });

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

QList<SshKeyInfo> GpgKeyManagementTab::listSshKeys(QString* failure)
{
    SshKeyFiles files = readSshKeyFiles();
    if (failure)
        *failure = files.failure;
    addFingerprints(files.keys, SshDirectory::fingerprints(files.lines, fingerprintTimeoutMs, failure));
    return files.keys;
}

void GpgKeyManagementTab::refreshSshKeys()
{
    sshFill->refresh();
}

void GpgKeyManagementTab::fillSshKeys()
{
    sshFill->inWorker<SshKeyFiles>(readSshKeyFiles, [this](SshKeyFiles files) {
        // Every public key line goes to one ssh-keygen run; a private key
        // saved under a ".pub" name never reaches it.
        const QByteArray input = SshDirectory::fingerprintInput(files.lines);
        if (input.isEmpty()) {
            showSshKeys(files.keys, files.failure);
            return;
        }
        ToolRunner::Options options;
        options.finishTimeoutMs = fingerprintTimeoutMs;
        options.standardInput = input;
        sshFill->run(QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")},
                     options, [this, files](const ToolRunner::Result& listed) {
                         QList<SshKeyInfo> keys = files.keys;
                         addFingerprints(keys, SshDirectory::readFingerprints(listed.stdOut, keys.size()));
                         // A line ssh-keygen rejects makes it end with 1; only a
                         // run that did not end on its own leaves them unread.
                         showSshKeys(keys, listed.finished() ? files.failure
                                                             : QStringLiteral("ssh-keygen ") + listed.failure);
                     });
    });
}

void GpgKeyManagementTab::showSshKeys(const QList<SshKeyInfo>& keys, const QString& failure)
{
    if (!failure.isEmpty() && keys.isEmpty()) {
        sshFill->tell(QStringLiteral("SSH: listing failed (%1); %2")
                          .arg(failure, sshKeyTree->topLevelItemCount() > 0
                                            ? QStringLiteral("the keys shown are from the previous listing.")
                                            : QStringLiteral("no keys are shown.")));
        return;
    }
    sshKeyTree->clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(keys.size());
    for (const SshKeyInfo& key : keys) {
        auto* row = new QTreeWidgetItem;
        rows.append(row);
        row->setText(0, key.type);
        row->setText(1, key.bits > 0 ? QString::number(key.bits) : QString());
        row->setText(2, key.fingerprint);
        row->setText(3, key.comment);
        row->setText(4, fileNameOf(key.publicPath));
        row->setData(0, Qt::UserRole, key.publicPath);
        row->setData(0, contentRole, int(key.content));
        if (key.content == SshKeyInfo::PrivateKey) {
            row->setText(0, QStringLiteral("private key"));
            StyleManager::setItemTone(row, 0, StyleManager::Danger);
            row->setToolTip(0, notAPublicKey(fileNameOf(key.publicPath), true));
            log(QStringLiteral("SSH: ") + notAPublicKey(fileNameOf(key.publicPath), true)
                + QStringLiteral(" It is not copied or shown."));
        } else if (key.content == SshKeyInfo::NotRegular) {
            row->setText(0, QStringLiteral("not a regular file"));
            StyleManager::setItemTone(row, 0, StyleManager::Warning);
            row->setToolTip(0, notARegularFile(fileNameOf(key.publicPath)));
            log(QStringLiteral("SSH: ") + notARegularFile(fileNameOf(key.publicPath))
                + QStringLiteral(" It is not read."));
        } else if (key.type.contains(QLatin1String("ed25519"))) {
            StyleManager::setItemTone(row, 0, StyleManager::Success);
        } else if (key.type.contains(QLatin1String("rsa"))) {
            StyleManager::setItemTone(row, 0, StyleManager::Accent);
        }
    }
    sshKeyTree->addTopLevelItems(rows);
    log(QStringLiteral("SSH: %1 key(s) found in ~/.ssh/").arg(keys.size()));
    sshFill->tell(failure.isEmpty() ? QString()
                                    : QStringLiteral("SSH: fingerprints could not be read (%1).").arg(failure));
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
    // The comment ends the public key's one line: a line break in it would
    // make a file that is no public key any more.
    if (LogText::hasControls(comment)) {
        QMessageBox::warning(this, title,
                             QStringLiteral("The comment must not contain a line break or other control character."));
        return;
    }
    const QString fileName = QInputDialog::getText(this, title, QStringLiteral("Filename (in ~/.ssh/):"),
                                                   QLineEdit::Normal, proposed, &ok);
    if (!ok || fileName.isEmpty())
        return;
    // The field promises a file in ~/.ssh/: a name that leads elsewhere, that
    // ssh-keygen could take for an option, or that would put the private key
    // under a public key's name is refused before anything runs.
    QString refusal = ToolArgs::plainNameRefusal(QStringLiteral("file name"), fileName, QStringLiteral("~/.ssh/"));
    if (refusal.isEmpty() && LogText::hasControls(fileName))
        refusal = QStringLiteral("The file name \"%1\" must not contain a line break or other control character.")
                      .arg(LogText::escaped(fileName));
    if (refusal.isEmpty() && fileName.endsWith(QLatin1String(".pub"), Qt::CaseInsensitive))
        refusal = QStringLiteral("The file name \"%1\" ends in \".pub\", the name of a public key file.")
                      .arg(fileName);
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, title, refusal);
        return;
    }
    const QString privatePath = SshDirectory::path() + QLatin1Char('/') + fileName;
    // ssh-keygen makes no folder for -f: a fresh account has no ~/.ssh yet.
    if (!QFileInfo::exists(SshDirectory::path()) && !PrivateFiles::makePrivateDir(SshDirectory::path())) {
        log(QStringLiteral("SSH key generation failed: could not create ~/.ssh/"));
        return;
    }

    if (QFileInfo::exists(privatePath)) {
        const auto overwrite = QMessageBox::warning(
            this, QStringLiteral("File Exists"), privatePath + QStringLiteral(" already exists. Overwrite?"),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (overwrite != QMessageBox::Yes)
            return;
    }

    log(QStringLiteral("Generating %1 SSH key: %2").arg(type, privatePath));
    // ssh-keygen writes over an existing key file in place, keeping its mode:
    // a new private key would sit in a file others may read. It makes the
    // pair in a fresh owner-only folder beside the keys instead (so it has no
    // overwrite question to ask either), and the new files replace the old
    // ones by rename.
    QTemporaryDir staging(SshDirectory::path() + QStringLiteral("/.keygen-XXXXXX"));
    if (!staging.isValid()) {
        log(QStringLiteral("SSH key generation failed: could not create a folder in ~/.ssh/: ")
            + staging.errorString());
        return;
    }
    const QString newPrivate = staging.filePath(QStringLiteral("key"));
    const ToolRunner::Result result =
        runSshKeygenFor(typeArguments + QStringList{QStringLiteral("-C"), comment, QStringLiteral("-f"), newPrivate,
                                                    QStringLiteral("-N"), QString()},
                        keyGenerationTimeoutMs);
    if (!result.succeeded()) {
        log(QStringLiteral("SSH key generation failed: ") + result.stdErrText().trimmed());
        return;
    }
    // The private key first: should the public one then fail to move, the
    // new key is still whole, and its public half can be derived from it.
    for (const auto& [from, to] : {std::pair{newPrivate, privatePath},
                                   std::pair{newPrivate + QStringLiteral(".pub"), privatePath + QStringLiteral(".pub")}}) {
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
            log(QStringLiteral("SSH key generation failed: could not move the new key to %1: %2")
                    .arg(to, systemError()));
            return;
        }
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
    copyPublicKey(row->data(0, Qt::UserRole).toString(), SshKeyInfo::Content(row->data(0, contentRole).toInt()),
                  QStringLiteral("Public key copied to clipboard: "));
}

bool GpgKeyManagementTab::readPublicKey(const QString& publicPath, SshKeyInfo::Content content, QString* line,
                                        QString* why)
{
    const QString name = fileNameOf(publicPath);
    QByteArray head;
    QString error;
    bool notRegular = false;
    if (!readHead(publicPath, &head, &error, &notRegular)) {
        *why = notRegular ? notARegularFile(name) : QStringLiteral("%1 cannot be read: %2.").arg(name, error);
        return false;
    }
    // Read again: the file may have changed since it was listed.
    if (content != SshKeyInfo::PublicKey || !holdsPublicKey(head)) {
        *why = notAPublicKey(name, content == SshKeyInfo::PrivateKey || SshDirectory::holdsPrivateKey(head));
        return false;
    }
    *line = QString::fromUtf8(head).trimmed();
    return true;
}

void GpgKeyManagementTab::copyPublicKey(const QString& publicPath, SshKeyInfo::Content content,
                                        const QString& logPrefix)
{
    QString text, why;
    if (!readPublicKey(publicPath, content, &text, &why)) {
        log(QStringLiteral("Not copied: ") + why);
        QMessageBox::warning(this, QStringLiteral("Copy"), why + QStringLiteral(" Nothing was copied."));
        return;
    }
    QApplication::clipboard()->setText(text);
    log(logPrefix + fileNameOf(publicPath));
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
    const auto content = SshKeyInfo::Content(row->data(0, contentRole).toInt());

    QMenu menu(this);
    menu.addAction(QStringLiteral("Copy Public Key"), this, [this, publicPath, content] {
        copyPublicKey(publicPath, content, QStringLiteral("Public key copied: "));
    });
    menu.addAction(QStringLiteral("SSH to Server..."), this, [this, privatePath] { sshWithKey(privatePath); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Show Fingerprint"), this, [this, publicPath] {
        // ssh-keygen would open a named pipe and wait on it.
        QByteArray head;
        QString error;
        bool notRegular = false;
        if (!readHead(publicPath, &head, &error, &notRegular) && notRegular) {
            log(QStringLiteral("Not shown: ") + notARegularFile(fileNameOf(publicPath)));
            return;
        }
        log(QStringLiteral("Fingerprint: ") + sshFingerprintLine(publicPath));
    });
    menu.addAction(QStringLiteral("Show Public Key"), this, [this, publicPath, content] {
        QString text, why;
        log(readPublicKey(publicPath, content, &text, &why) ? text : QStringLiteral("Not shown: ") + why);
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
    const SshTarget target = SshTarget::parseUserAtHost(text);
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
    // A private key that cannot be removed keeps its public half, so that
    // the pair stays listed rather than linger unseen.
    QString failure;
    for (const QString& path : {privatePath, publicPath}) {
        QFile file(path);
        if (!QFileInfo(path).exists() && !QFileInfo(path).isSymLink())
            continue;
        if (!file.remove()) {
            failure = QStringLiteral("Could not delete %1: %2").arg(path, file.errorString());
            break;
        }
    }
    if (failure.isEmpty()) {
        log(QStringLiteral("Deleted: ") + fileNameOf(publicPath));
    } else {
        log(failure);
        QMessageBox::warning(this, QStringLiteral("Delete SSH Key"), failure);
    }
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
