#include "app/Startup.h"

#include "app/MainWindow.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "core/ToolRunner.h"
#include "ui/profile/WelcomeDialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLockFile>
#include <QMessageBox>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace Startup {

const char* const alreadyRunningText =
    "Ostrevan Tessaril is already running.\n\n"
    "Only one instance can run at a time to prevent\n"
    "hardware key access conflicts.";

void setIdentity(QApplication& app)
{
    app.setApplicationName(QStringLiteral("OstrevanTessaril"));
    app.setApplicationDisplayName(QStringLiteral("Ostrevan Tessaril"));
    app.setOrganizationName(QStringLiteral("Ostrevan"));
    app.setOrganizationDomain(QStringLiteral("ostrevan.example"));
    app.setApplicationVersion(QStringLiteral("2.1.0"));
}

StyleManager::Theme chooseTheme(bool darkOption, bool lightOption, const QString& storedTheme)
{
    if (darkOption)
        return StyleManager::Dark;
    if (lightOption)
        return StyleManager::Light;
    return storedTheme == QLatin1String("light") ? StyleManager::Light : StyleManager::Dark;
}

namespace {

// A signal handler may do next to nothing: it ends the tools and writes one
// byte here, and the event loop does the rest.
int quitSignalSockets[2] = {-1, -1};
std::atomic<bool> quitSignalArrived{false};

void onQuitSignal(int)
{
    const int savedErrno = errno;
    quitSignalArrived.store(true);
    // At once, not from the event loop: the loop may itself be waiting for
    // one of these tools to finish.
    ToolRunner::endAllTools();
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(quitSignalSockets[1], &byte, 1);
    errno = savedErrno;
}

// QLockFile tells only that it could not write; the folder says why.
QString folderWriteProblem(const QString& folder)
{
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("the file could not be written");
}

} // namespace

void quitOnSignals(QCoreApplication& app)
{
    if (quitSignalSockets[0] >= 0)
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, quitSignalSockets) != 0) {
        qWarning("Cannot watch for quit signals: %s", std::strerror(errno));
        return;
    }
    auto* notifier = new QSocketNotifier(quitSignalSockets[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char bytes[16];
        while (::read(quitSignalSockets[0], bytes, sizeof bytes) > 0) {
        }
        // exit, not quit: a window or a dialog must not be able to refuse.
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

bool quitSignalled()
{
    return quitSignalArrived.load();
}

int run(QApplication& app, const QStringList& arguments)
{
    setIdentity(app);
    quitOnSignals(app);
    const auto refuse = [](const QString& text) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Ostrevan Tessaril"), text,
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return 1;
    };
    // Without its folder the program has nowhere for its lock, settings and
    // profile; saying "already running" then would send the user after a
    // second instance that does not exist.
    QString folderError;
    if (!PrivateFiles::makePrivateDir(UserProfile::configDir(), &folderError)) {
        const QString text = QStringLiteral("The configuration folder could not be created.\n\n")
                             + folderError;
        qCritical("%s", qPrintable(text));
        return refuse(text);
    }

    // Two instances must never talk to the same tokens at once. The lock is
    // taken before the command line is read, so even --help is refused.
    const QString lockPath = UserProfile::configDir() + QStringLiteral("/ostrevantessaril.lock");
    QLockFile lock(lockPath);
    if (!lock.tryLock(100)) {
        if (lock.error() == QLockFile::LockFailedError)
            return refuse(QString::fromUtf8(alreadyRunningText));
        const QString text = QStringLiteral("The lock file could not be created.\n\n") + lockPath
                             + QStringLiteral(": ") + folderWriteProblem(UserProfile::configDir());
        qCritical("%s", qPrintable(text));
        return refuse(text);
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Hardware security key management & code signing toolkit"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption darkOption(QStringLiteral("dark"), QStringLiteral("Force dark theme"));
    const QCommandLineOption lightOption(QStringLiteral("light"), QStringLiteral("Force light theme"));
    parser.addOption(darkOption);
    parser.addOption(lightOption);
    parser.process(arguments);

    app.setWindowIcon(QIcon(QStringLiteral(":/icons/app")));
    PrivateFiles::makePrivateDir(UserProfile::configDir());

    AppSettings settings;
    const StyleManager::Theme theme = chooseTheme(
        parser.isSet(darkOption), parser.isSet(lightOption),
        settings->value(QStringLiteral("theme"), QStringLiteral("dark")).toString());
    StyleManager::apply(&app, theme);

    MainWindow window;
    window.show();

    // Over the visible window, before the event loop handles anything else.
    if (WelcomeDialog::shouldShow()) {
        WelcomeDialog welcome(&window);
        welcome.exec();
    }
    // A signal that ended the welcome dialog ends the program too: the main
    // loop would otherwise start afresh.
    if (quitSignalled()) {
        ToolRunner::endAllTools();
        return 0;
    }

    const int status = app.exec();
    // Whatever a closing window started on its way out ends with the program.
    ToolRunner::endAllTools();
    return status;
}

} // namespace Startup
