#include "config/UserProfile.h"

#include <QDir>

UserProfile::UserProfile(QObject* parent)
    : QObject(parent)
{
}

QString UserProfile::configDir()
{
    return QDir::homePath() + QStringLiteral("/Ostrevan/OstrevanTessaril");
}

QString UserProfile::configPath()
{
    // INI content despite the extension; stored files depend on this name.
    return configDir() + QStringLiteral("/OstrevanTessaril.yaml");
}

QString UserProfile::profilePath()
{
    return configDir() + QStringLiteral("/profile.enc");
}
