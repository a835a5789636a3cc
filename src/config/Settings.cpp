#include "config/Settings.h"

#include "config/UserProfile.h"

AppSettings::AppSettings()
    : settings(UserProfile::configPath(), QSettings::IniFormat)
{
}
