#include "app/Startup.h"

#include "app/MainWindow.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "ui/WelcomeDialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QIcon>
#include <QLockFile>
#include <QMessageBox>

#include <cerrno>
#include <cstring>
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

// QLockFile tells only that it could not write; the folder says why.
QString folderWriteProblem(const QString& folder)
{
    if (::access(QFile::encodeName(folder).constData(), W_OK) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QStringLiteral("the file could not be written");
}

} // namespace

int run(QApplication& app, const QStringList& arguments)
{
    setIdentity(app);
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

    return app.exec();
}

} // namespace Startup
