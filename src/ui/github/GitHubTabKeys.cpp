// The SSH / GPG Keys page of the GitHub tab: the public keys in ~/.ssh, the
// SSH keys of the account, an OpenPGP key pushed from the local keyring, and
// a repository's deploy keys.
#include "ui/github/GitHubTab.h"
#include "app/StyleManager.h"

#include "core/SshDirectory.h"
#include "core/SshPublicKey.h"
#include "core/ToolRunner.h"
#include "github/GitHubClient.h"
#include "github/GitHubText.h"
#include "ui/widgets/PageFill.h"

#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString sshDir()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

// The public-key files of ~/.ssh, case-insensitively by name: regular files
// only, after following links (a named pipe would hold up its reader).
QFileInfoList publicKeyFiles()
{
    QFileInfoList files =
        QDir(sshDir()).entryInfoList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name | QDir::IgnoreCase);
    // QDir lists a link to a pipe or a device among the files.
    files.removeIf([](const QFileInfo& file) { return !file.isFile(); });
    return files;
}


// The standard output of a key tool, trimmed; empty when it printed nothing,
// could not start or did not finish in time.
QString keyToolOutput(const QString& program, const QStringList& arguments, int waitMs)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = waitMs;
    return ToolRunner::run(program, arguments, options).stdOutText().trimmed();
}

// A public key file is one short line; anything larger is not one.
constexpr qint64 kMaxPublicKeyFileBytes = 16 * 1024;

// The key line of a file that holds exactly one public key, else empty with
// the reason in *why. A private key saved under a ".pub" name must never go
// to the server, so the content decides, not the name.
QString publicKeyFromFile(const QString& path, QString* why)
{
    // Never a named pipe or a device: opening one for reading may wait for ever.
    QByteArray content;
    if (SshDirectory::readRegularFile(path, kMaxPublicKeyFileBytes + 1, &content) != SshDirectory::ReadOutcome::Read) {
        *why = QStringLiteral("Cannot read: ") + path;
        return QString();
    }
    if (content.size() > kMaxPublicKeyFileBytes || !SshPublicKey::isPublicKeyText(content)) {
        *why = QStringLiteral("Not sent: %1 does not hold one public key line (a private key or other "
                              "content stays on this machine).")
                   .arg(QFileInfo(path).fileName());
        return QString();
    }
    return QString::fromUtf8(content).trimmed();
}

QPushButton* addButton(QBoxLayout* row, QPushButton* button)
{
    row->addWidget(button);
    return button;
}

} // namespace

QWidget* GitHubTab::createKeysSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    auto* local = new QGroupBox(QStringLiteral("Local SSH Keys (~/.ssh/)"), page);
    local->setToolTip(QStringLiteral("SSH keys on this machine. Push a public key to GitHub so\n"
                                     "you can authenticate git operations over SSH (git@github.com).\n"
                                     "Private keys never leave your machine."));
    auto* localLayout = new QVBoxLayout(local);
    localLayout->setContentsMargins(8, 20, 8, 8);
    m_localKeyTree = makeRepoTree({QStringLiteral("Type"), QStringLiteral("Bits"), QStringLiteral("Fingerprint"),
                                   QStringLiteral("Comment"), QStringLiteral("File")},
                                  {{2, 280}});
    m_localKeyTree->setObjectName(QStringLiteral("localKeyTree"));
    m_localKeyTree->setToolTip(QStringLiteral("Select a key and click 'Push to GitHub' to register\n"
                                              "its public half on your GitHub account."));
    localLayout->addWidget(m_localKeyTree);
    auto* localStatus = new QLabel(local);
    localStatus->setObjectName(QStringLiteral("localKeyStatus"));
    localStatus->setTextFormat(Qt::PlainText);
    localStatus->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(localStatus, StyleManager::Warning);
    localStatus->hide();
    localLayout->addWidget(localStatus);
    auto* localRow = new QHBoxLayout;
    QPushButton* refreshLocal =
        addButton(localRow, makeButton(QStringLiteral("Refresh Local"), QStringLiteral("Re-scan ~/.ssh/ for key files"),
                                       QStringLiteral("secondaryButton")));
    QPushButton* push = addButton(
        localRow, makeButton(QStringLiteral("Push to GitHub"),
                             QStringLiteral("Upload the selected local public key to your GitHub account.\n"
                                            "The key title defaults to its comment field.")));
    localRow->addStretch();
    localLayout->addLayout(localRow);
    layout->addWidget(local);

    auto* remote = new QGroupBox(QStringLiteral("GitHub SSH Keys"), page);
    remote->setToolTip(QStringLiteral("SSH keys registered on your GitHub account. These appear\n"
                                      "at github.com > Settings > SSH and GPG keys. Delete stale\n"
                                      "keys here to maintain a clean security posture."));
    auto* remoteLayout = new QVBoxLayout(remote);
    remoteLayout->setContentsMargins(8, 20, 8, 8);
    m_githubKeyTree = makeRepoTree({QStringLiteral("Title"), QStringLiteral("Key (truncated)"),
                                    QStringLiteral("Created"), QStringLiteral("ID")},
                                   {{1, 300}});
    m_githubKeyTree->setObjectName(QStringLiteral("githubKeyTree"));
    m_githubKeyTree->setToolTip(QStringLiteral("Right-click or select + Delete to remove a key from GitHub."));
    remoteLayout->addWidget(m_githubKeyTree);
    auto* remoteRow = new QHBoxLayout;
    QPushButton* refreshRemote = addButton(
        remoteRow, makeButton(QStringLiteral("Refresh GitHub Keys"),
                              QStringLiteral("Fetch SSH keys registered on your GitHub account"),
                              QStringLiteral("secondaryButton")));
    QPushButton* remove = addButton(
        remoteRow, makeButton(QStringLiteral("Delete from GitHub"),
                              QStringLiteral("Permanently remove the selected SSH key from your GitHub\n"
                                             "account. This does NOT delete the local key file."),
                              QStringLiteral("dangerButton")));
    QPushButton* pushGpg = addButton(
        remoteRow, makeButton(QStringLiteral("Push GPG Key to GitHub..."),
                              QStringLiteral("Export a GPG public key from your local keyring and upload\n"
                                             "it to GitHub for commit signature verification."),
                              QStringLiteral("secondaryButton")));
    remoteRow->addStretch();
    remoteLayout->addLayout(remoteRow);
    layout->addWidget(remote);

    // A single "&" would be taken for a shortcut mark and vanish from the title.
    auto* more = new QGroupBox(QStringLiteral("Deploy Keys && GPG"), page);
    auto* moreRow = new QHBoxLayout(more);
    QPushButton* listDeploy = addButton(
        moreRow, makeButton(QStringLiteral("List Deploy Keys..."),
                            QStringLiteral("Show deploy keys for a specific repository")));
    QPushButton* addDeploy = addButton(
        moreRow, makeButton(QStringLiteral("Add Deploy Key..."),
                            QStringLiteral("Add a read-only or read-write deploy key to a repository")));
    QPushButton* listGpg = addButton(
        moreRow, makeButton(QStringLiteral("List GitHub GPG Keys"),
                            QStringLiteral("Show GPG signing keys registered on your GitHub account")));
    moreRow->addStretch();
    layout->addWidget(more);

    connect(refreshLocal, &QPushButton::clicked, this, &GitHubTab::onRefreshLocalKeys);
    connect(push, &QPushButton::clicked, this, &GitHubTab::onPushSshKey);
    connect(refreshRemote, &QPushButton::clicked, this, &GitHubTab::onRefreshGitHubKeys);
    connect(remove, &QPushButton::clicked, this, &GitHubTab::onDeleteGitHubKey);
    connect(pushGpg, &QPushButton::clicked, this, &GitHubTab::onPushGpgKey);
    connect(listDeploy, &QPushButton::clicked, this, &GitHubTab::onListDeployKeys);
    connect(addDeploy, &QPushButton::clicked, this, &GitHubTab::onAddDeployKey);
    connect(listGpg, &QPushButton::clicked, this, &GitHubTab::onListGpgKeys);
    connect(m_client, &GitHubClient::sshKeysFetched, this, &GitHubTab::showGitHubKeys);

    // The first scan of ~/.ssh runs when the page is first shown, its
    // ssh-keygen in the background: building the window reads no key folder.
    m_localKeysFill = new PageFill(page, m_localKeyTree, localStatus);
    connect(m_localKeysFill, &PageFill::logLine, this, &GitHubTab::appendLog);
    m_localKeysFill->setFill([this] { scanLocalKeys(); });
    return page;
}

void GitHubTab::onRefreshLocalKeys()
{
    m_localKeysFill->refresh();
}

void GitHubTab::scanLocalKeys()
{
    m_localKeysFill->tell(QString());
    m_localKeyTree->clear();
    const QFileInfoList files = publicKeyFiles();
    // The first key line of each file, its comment apart; all of them are
    // fingerprinted by one ssh-keygen run, however many key pairs there are.
    QList<QByteArray> lines;
    QStringList comments;
    lines.reserve(files.size());
    comments.reserve(files.size());
    for (const QFileInfo& file : files) {
        QByteArray content;
        QByteArray line;
        if (SshDirectory::readRegularFile(file.absoluteFilePath(), kMaxPublicKeyFileBytes, &content)
            == SshDirectory::ReadOutcome::Read) {
            for (const QByteArray& candidate : content.split('\n')) {
                const QByteArray simple = candidate.simplified();
                if (SshPublicKey::isPublicKeyType(QString::fromUtf8(simple.left(simple.indexOf(' '))))) {
                    line = simple;
                    break;
                }
            }
        }
        const QList<QByteArray> words = line.split(' ');
        // ssh-keygen names a key without a comment "no comment".
        comments.append(words.size() >= 3 ? QString::fromUtf8(words.at(2)) : QStringLiteral("no"));
        lines.append(line);
    }
    const QByteArray input = SshDirectory::fingerprintInput(lines);
    if (input.isEmpty()) {
        showLocalKeys(files, comments, QList<SshDirectory::KeyFingerprint>(files.size()));
        return;
    }
    ToolRunner::Options options;
    options.finishTimeoutMs = fingerprintTimeoutMs;
    options.standardInput = input;
    m_localKeysFill->run(QStringLiteral("ssh-keygen"), {QStringLiteral("-l"), QStringLiteral("-f"), QStringLiteral("-")},
                         options, [this, files, comments, count = lines.size()](const ToolRunner::Result& result) {
                             // A key ssh-keygen rejects makes it end with 1: only a run
                             // that did not end on its own leaves the rows unread.
                             if (!result.finished())
                                 m_localKeysFill->tell(QStringLiteral("Local SSH keys: ssh-keygen ") + result.failure);
                             showLocalKeys(files, comments, SshDirectory::readFingerprints(result.stdOut, count));
                         });
}

void GitHubTab::showLocalKeys(const QFileInfoList& files, const QStringList& comments,
                              const QList<SshDirectory::KeyFingerprint>& printed)
{
    m_localKeyTree->clear();
    for (qsizetype i = 0; i < files.size(); ++i) {
        // "256 SHA256:... comment (ED25519)" as ssh-keygen prints it; a
        // comment with blanks keeps only its first word, and a key it did
        // not fingerprint leaves the columns empty. A file of several keys
        // is shown by its first.
        const SshDirectory::KeyFingerprint& print = printed.at(i);
        const bool known = !print.fingerprint.isEmpty();
        auto* item = new QTreeWidgetItem(m_localKeyTree);
        item->setText(0, known && !print.type.isEmpty() ? print.type : QStringLiteral("?"));
        item->setText(1, known ? QString::number(print.bits) : QString());
        item->setText(2, print.fingerprint);
        item->setText(3, known ? comments.at(i) : QString());
        item->setText(4, files.at(i).fileName());
        item->setData(0, Qt::UserRole, files.at(i).absoluteFilePath());
    }
    appendLog(QStringLiteral("Local: found %1 SSH key(s)").arg(m_localKeyTree->topLevelItemCount()));
}

void GitHubTab::onPushSshKey()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return;
    }
    QTreeWidgetItem* item = m_localKeyTree->currentItem();
    if (!item) {
        appendLog(QStringLiteral("Select a local key first."));
        return;
    }
    const QString path = item->data(0, Qt::UserRole).toString();
    QString why;
    const QString key = publicKeyFromFile(path, &why);
    if (key.isEmpty()) {
        appendLog(why);
        return;
    }
    bool ok = false;
    const QString title = QInputDialog::getText(this, QStringLiteral("Push SSH Key to GitHub"),
                                                QStringLiteral("Key title on GitHub:"), QLineEdit::Normal,
                                                item->text(3), &ok);
    if (!ok || title.isEmpty())
        return;
    m_client->addSshKey(title, key);
    appendLog(QStringLiteral("Pushing SSH key to GitHub: ") + title);
}

void GitHubTab::onRefreshGitHubKeys()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return;
    }
    m_client->listSshKeys();
}

void GitHubTab::showGitHubKeys(const QList<GitHubSshKey>& keys)
{
    if (!m_githubKeyTree)
        return;
    m_githubKeyTree->clear();
    for (const GitHubSshKey& key : keys) {
        auto* item = new QTreeWidgetItem(m_githubKeyTree);
        item->setText(0, GitHubText::singleLine(key.title));
        item->setToolTip(0, GitHubText::toolTip(GitHubText::singleLine(key.title)));
        item->setText(1, GitHubText::singleLine(key.key.left(40)) + QStringLiteral("..."));
        item->setText(2, GitHubText::singleLine(key.createdAt.left(10)));
        item->setText(3, QString::number(key.id));
        item->setData(0, Qt::UserRole, key.id);
    }
}

void GitHubTab::onDeleteGitHubKey()
{
    QTreeWidgetItem* item = m_githubKeyTree->currentItem();
    if (!item) {
        appendLog(QStringLiteral("Select a GitHub key first."));
        return;
    }
    const qint64 id = item->data(0, Qt::UserRole).toLongLong();
    const QString title = item->text(0);
    if (!confirmDelete(QStringLiteral("Delete GitHub SSH Key"),
                       QStringLiteral("Remove '%1' (ID %2) from GitHub?\n\nThis revokes SSH access for this key.")
                           .arg(title, QString::number(id))))
        return;
    m_client->deleteSshKey(id);
    appendLog(QStringLiteral("Deleting GitHub key: ") + title);
}

void GitHubTab::onPushGpgKey()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return;
    }
    bool ok = false;
    const QString id = QInputDialog::getText(this, QStringLiteral("Push GPG Key to GitHub"),
                                             QStringLiteral("GPG Key ID or fingerprint to export:"),
                                             QLineEdit::Normal, QString(), &ok);
    if (!ok || id.isEmpty())
        return;
    // "--" first: an id that begins with "-" is a name to look up, not an option.
    const QString armored = keyToolOutput(
        QStringLiteral("gpg"), {QStringLiteral("--armor"), QStringLiteral("--export"), QStringLiteral("--"), id},
        10000);
    if (armored.isEmpty()) {
        appendLog(QStringLiteral("GPG export failed for: ") + id);
        return;
    }
    m_client->addGpgKey(armored);
    appendLog(QStringLiteral("Pushing GPG key to GitHub: ") + id);
}

void GitHubTab::onListGpgKeys()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return;
    }
    m_client->listGpgKeys();
    appendLog(QStringLiteral("Listing GPG keys on GitHub..."));
}

bool GitHubTab::canUseRepos()
{
    if (!m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Not authenticated. Connect first."));
        return false;
    }
    if (m_repos.isEmpty()) {
        appendLog(QStringLiteral("Fetch repositories first."));
        return false;
    }
    return true;
}

QString GitHubTab::chooseRepo(const QString& title, const QString& label)
{
    QStringList names;
    for (const GitHubRepo& repo : std::as_const(m_repos))
        names << repo.fullName;
    bool ok = false;
    const QString repo = QInputDialog::getItem(this, title, label, names, 0, false, &ok);
    return ok ? repo : QString();
}

void GitHubTab::onListDeployKeys()
{
    if (!canUseRepos())
        return;
    const QString repo = chooseRepo(QStringLiteral("Deploy Keys"), QStringLiteral("Select repository:"));
    if (repo.isEmpty())
        return;
    m_client->listDeployKeys(repo);
    appendLog(QStringLiteral("Listing deploy keys for ") + repo);
}

void GitHubTab::onAddDeployKey()
{
    if (!canUseRepos())
        return;
    const QString dialogTitle = QStringLiteral("Add Deploy Key");
    const QString repo = chooseRepo(dialogTitle, QStringLiteral("Repository:"));
    if (repo.isEmpty())
        return;
    bool ok = false;
    const QString title = QInputDialog::getText(this, dialogTitle, QStringLiteral("Key title:"), QLineEdit::Normal,
                                                QStringLiteral("Tessaril Deploy"), &ok);
    if (!ok)
        return;
    QStringList files;
    for (const QFileInfo& file : publicKeyFiles())
        files << file.fileName();
    const QString fileName =
        QInputDialog::getItem(this, dialogTitle, QStringLiteral("Public key file:"), files, 0, false, &ok);
    if (!ok || fileName.isEmpty())
        return;
    QString why;
    const QString key = publicKeyFromFile(sshDir() + QLatin1Char('/') + fileName, &why);
    if (key.isEmpty()) {
        appendLog(why);
        return;
    }
    const bool readOnly = QMessageBox::question(this, QStringLiteral("Deploy Key Access"),
                                                QStringLiteral("Read-only access? (No = read-write)"),
                                                QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton)
        == QMessageBox::Yes;
    m_client->addDeployKey(repo, title, key, readOnly);
    appendLog(QStringLiteral("Adding deploy key '%1' to %2 (%3)")
                  .arg(title, repo, readOnly ? QStringLiteral("read-only") : QStringLiteral("read-write")));
}
