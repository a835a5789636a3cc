// The main window's menus, toolbar and the handlers that live only there.
#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "app/SshTarget.h"
#include "app/StyleManager.h"
#include "core/SshDirectory.h"
#include "ui/remote/NetworkDiagnosticsDialog.h"
#include "ui/profile/PreferencesDialog.h"
#include "ui/profile/ProfileEditorDialog.h"
#include "ui/profile/ShortcutsDialog.h"
#include "ui/remote/SiteManagerDialog.h"
#include "ui/keys/SshConfigEditor.h"
#include "ui/remote/SshTerminalWindow.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QTabWidget>
#include <QToolBar>
#include <QUrl>

namespace {

template <typename Context, typename Handler>
QAction* addEntry(QMenu* menu, const QString& text, const QKeySequence& shortcut, Context* context,
                  Handler handler)
{
    QAction* action = menu->addAction(text);
    if (!shortcut.isEmpty())
        action->setShortcut(shortcut);
    QObject::connect(action, &QAction::triggered, context, handler);
    return action;
}

// Terminal windows stand on their own and go away when closed.
SshTerminalWindow* newTerminalWindow()
{
    auto* window = new SshTerminalWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    return window;
}

} // namespace

void MainWindow::setupMenuBar()
{
    const QKeySequence none;
    // Page switches look the tab widget up when triggered: it does not exist yet.
    const auto selectPage = [this](int index) {
        return [this, index] {
            if (tabWidget)
                tabWidget->setCurrentIndex(index);
        };
    };

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    refreshAction = addEntry(file, QStringLiteral("&Refresh Devices"), QKeySequence(QStringLiteral("Ctrl+R")),
                             this, &MainWindow::refreshDevices);
    file->addSeparator();
    signFileAction = addEntry(file, QStringLiteral("&Sign File..."), QKeySequence(QStringLiteral("Ctrl+S")),
                              this, &MainWindow::onSignFile);
    addEntry(file, QStringLiteral("&Verify Signature..."), none, this, &MainWindow::onVerifySignature);
    file->addSeparator();
    addEntry(file, QStringLiteral("&Preferences..."), QKeySequence(QStringLiteral("Ctrl+,")), this,
             &MainWindow::showPreferences);
    file->addSeparator();
    addEntry(file, QStringLiteral("&Quit"), QKeySequence(QKeySequence::Quit), QCoreApplication::instance(),
             &QCoreApplication::quit);

    QMenu* key = menuBar()->addMenu(QStringLiteral("&Key"));
    addEntry(key, QStringLiteral("Set &PIN..."), none, this, &MainWindow::onSetPin);
    addEntry(key, QStringLiteral("&Change PIN..."), none, this, &MainWindow::onChangePin);
    key->addSeparator();
    addEntry(key, QStringLiteral("&List Credentials"), none, this, &MainWindow::onListCredentials);
    addEntry(key, QStringLiteral("&Delete Credential..."), none, this, &MainWindow::onDeleteCredential);
    key->addSeparator();
    addEntry(key, QStringLiteral("Factory &Reset..."), none, this, &MainWindow::onResetKey);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    toggleThemeAction = addEntry(view, QStringLiteral("Toggle &Theme"), QKeySequence(QStringLiteral("Ctrl+T")),
                                 this, &MainWindow::onToggleTheme);
    addEntry(view, QStringLiteral("&Device Inspector"), QKeySequence(QStringLiteral("Ctrl+1")), this,
             selectPage(DeviceInspectorPage));
    addEntry(view, QStringLiteral("Code &Signing"), QKeySequence(QStringLiteral("Ctrl+2")), this,
             selectPage(CodeSigningPage));
    addEntry(view, QStringLiteral("C&ertificates"), QKeySequence(QStringLiteral("Ctrl+3")), this,
             selectPage(CertificatesPage));
    addEntry(view, QStringLiteral("&GPG / SSH"), QKeySequence(QStringLiteral("Ctrl+4")), this,
             selectPage(GpgSshPage));
    // The last page is the Session Log, however many pages there are.
    addEntry(view, QStringLiteral("Session &Log"), QKeySequence(QStringLiteral("Ctrl+5")), this, [this] {
        if (tabWidget)
            tabWidget->setCurrentIndex(tabWidget->count() - 1);
    });

    QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
    addEntry(tools, QStringLiteral("New SSH &Terminal..."), QKeySequence(QStringLiteral("Ctrl+Shift+N")), this,
             &MainWindow::openSshTerminal);
    addEntry(tools, QStringLiteral("New &Local Shell"), QKeySequence(QStringLiteral("Ctrl+Shift+T")), this,
             &MainWindow::openLocalShell);
    tools->addSeparator();
    addEntry(tools, QStringLiteral("&Site Manager..."), QKeySequence(QStringLiteral("Ctrl+M")), this,
             &MainWindow::showSiteManager);
    addEntry(tools, QStringLiteral("Network &Diagnostics..."), QKeySequence(QStringLiteral("Ctrl+D")), this,
             [this] {
                 NetworkDiagnosticsDialog dialog(this);
                 dialog.exec();
             });
    addEntry(tools, QStringLiteral("SSH Config &Editor..."), none, this, [this] {
        SshConfigEditor editor(this);
        editor.exec();
    });
    tools->addSeparator();
    addEntry(tools, QStringLiteral("Fix SSH &Permissions"), none, this, &MainWindow::fixSshPermissions);

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    struct Document {
        const char* title; // null: a separator
        const char* file;
    };
    const auto addDocuments = [this, none](QMenu* menu, std::initializer_list<Document> documents) {
        for (const Document& document : documents) {
            if (!document.title) {
                menu->addSeparator();
                continue;
            }
            const QString file = QString::fromLatin1(document.file);
            addEntry(menu, QString::fromLatin1(document.title), none, this,
                     [this, file] { openHelpDocument(file); });
        }
    };
    addDocuments(help->addMenu(QStringLiteral("Knowledge &Base")),
                 {{"FIDO2 and Hardware Keys", "guide-fido2-basics.html"},
                  {"PIV Smart Card Management", "guide-piv-smartcard.html"},
                  {"Code Signing for Developers", "guide-code-signing.html"},
                  {"Certificate Lifecycle", "guide-certificates.html"},
                  {"Threat Model and Best Practices", "guide-threat-model.html"}});
    addDocuments(help->addMenu(QStringLiteral("&Compliance")),
                 {{"SAST Security Report", "sast-report.html"},
                  {"DAST Security Report", "dast-report.html"},
                  {"Patch Status Dashboard", "status-patch.html"},
                  {"SAST Report v2.1", "sast-report-v2.1.html"},
                  {"Compliance Report v2.1", "compliance-report-v2.1.html"},
                  {nullptr, nullptr},
                  {"Project Planning", "PLANNING.html"}});
    help->addSeparator();
    addEntry(help, QStringLiteral("&My Profile..."), QKeySequence(QStringLiteral("Ctrl+P")), this, [this] {
        loadProfile();
        ProfileEditorDialog dialog(userProfile, this);
        dialog.exec();
    });
    addEntry(help, QStringLiteral("Keyboard &Shortcuts"), QKeySequence(QStringLiteral("Ctrl+/")), this, [this] {
        ShortcutsDialog dialog(this);
        dialog.exec();
    });
    addEntry(help, QStringLiteral("&About Ostrevan Tessaril"), QKeySequence(QStringLiteral("F1")), this,
             &MainWindow::onAbout);
}

void MainWindow::setupToolBar()
{
    QToolBar* toolBar = addToolBar(QStringLiteral("Main"));
    // saveState() records toolbars by object name.
    toolBar->setObjectName(QStringLiteral("mainToolBar"));
    toolBar->setMovable(false);
    toolBar->setIconSize(QSize(20, 20));
    refreshAction->setIcon(QIcon(QStringLiteral(":/icons/toolbar")));
    refreshAction->setToolTip(QStringLiteral("Refresh Devices (Ctrl+R)"));
    toolBar->addAction(refreshAction);
    toolBar->addSeparator();
    signFileAction->setToolTip(QStringLiteral("Sign File (Ctrl+S)"));
    toolBar->addAction(signFileAction);
    toolBar->addSeparator();
    toggleThemeAction->setToolTip(QStringLiteral("Toggle Theme (Ctrl+T)"));
    toolBar->addAction(toggleThemeAction);
}

void MainWindow::onAbout()
{
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::showPreferences()
{
    loadProfile();
    PreferencesDialog dialog(userProfile, this);
    connect(&dialog, &PreferencesDialog::themeChanged, this, [](const QString& theme) {
        StyleManager::apply(qApp, theme == QLatin1String("light") ? StyleManager::Light : StyleManager::Dark);
    });
    dialog.exec();
}

void MainWindow::openSshTerminal()
{
    bool ok = false;
    const QString text = QInputDialog::getText(this, QStringLiteral("SSH Connect"),
                                               QStringLiteral("Host (or user@host:port):"),
                                               QLineEdit::Normal, QString(), &ok);
    if (!ok || text.isEmpty())
        return;
    const SshTarget target = SshTarget::parse(text);
    const QString refusal = target.refusal();
    if (!refusal.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("SSH Connect"), refusal);
        return;
    }
    SshTerminalWindow* window = newTerminalWindow();
    window->newSshTab(target.host, target.user, target.port, QString(), QString(), QString());
    window->show();
    logSession(QStringLiteral("SSH Terminal"), target.host, true, target.user + QLatin1Char('@') + target.host);
}

void MainWindow::openLocalShell()
{
    SshTerminalWindow* window = newTerminalWindow();
    window->newShellTab();
    window->show();
    logSession(QStringLiteral("Local Shell"), QStringLiteral("localhost"), true,
               qEnvironmentVariable("SHELL"));
}

void MainWindow::showSiteManager()
{
    auto* dialog = new SiteManagerDialog(this);
    connect(dialog, &SiteManagerDialog::connectRequested, this,
            [this](const SiteProfile& site, const QString& protocol) {
                // The other kinds of connection are the Site Manager's own business.
                if (protocol != QLatin1String("ssh"))
                    return;
                SshTarget target;
                target.user = site.user;
                target.host = site.hostname;
                target.port = site.port;
                const QString refusal = target.refusal();
                if (!refusal.isEmpty()) {
                    QMessageBox::warning(this, QStringLiteral("Site Manager"), refusal);
                    return;
                }
                SshTerminalWindow* window = newTerminalWindow();
                window->newSshTab(site.hostname, site.user, site.port, site.keyPath, site.name, site.color);
                window->show();
                logSession(QStringLiteral("SSH via Site"), site.hostname, true, site.name);
            });
    dialog->exec();
    dialog->deleteLater();
}

void MainWindow::fixSshPermissions()
{
    const QString dir = SshDirectory::path();
    const QStringList failed = SshDirectory::restrictPermissions();

    if (failed.isEmpty()) {
        logSession(QStringLiteral("Fix Permissions"), QStringLiteral("SSH"), true, dir);
        statusLabel->setText(QStringLiteral("SSH permissions fixed (700/600)"));
        return;
    }
    for (const QString& path : failed) {
        logSession(QStringLiteral("Fix Permissions"), QStringLiteral("SSH"), false,
                   QStringLiteral("Could not change permissions of ") + path);
    }
    statusLabel->setText(QStringLiteral("SSH permissions NOT fixed: %1 path(s) could not be changed "
                                        "(see Session Log)")
                             .arg(failed.size()));
}

void MainWindow::openHelpDocument(const QString& fileName)
{
    // Whatever the desktop makes of a missing file is what the user sees.
    QDesktopServices::openUrl(QUrl::fromLocalFile(docsDir() + QLatin1Char('/') + fileName));
}
