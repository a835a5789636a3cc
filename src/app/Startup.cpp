#include "app/Startup.h"

#include "app/MainWindow.h"
#include "config/Settings.h"
#include "config/UserProfile.h"
#include "core/PrivateFiles.h"
#include "ui/WelcomeDialog.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QIcon>
#include <QLockFile>
#include <QMessageBox>

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

int run(QApplication& app, const QStringList& arguments)
{
    setIdentity(app);
    PrivateFiles::makePrivateDir(UserProfile::configDir());

    // Two instances must never talk to the same tokens at once. The lock is
    // taken before the command line is read, so even --help is refused.
    QLockFile lock(UserProfile::configDir() + QStringLiteral("/ostrevantessaril.lock"));
    if (!lock.tryLock(100)) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Ostrevan Tessaril"),
                        QString::fromUtf8(alreadyRunningText), QMessageBox::Ok);
        box.exec();
        return 1;
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
