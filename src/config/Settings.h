#pragma once

#include <QSettings>

// The INI settings file at UserProfile::configPath(). Every reader and writer
// opens its own object for the length of one operation; pending changes are
// written when it goes away. Usage: `AppSettings settings; settings->value(...)`.
class AppSettings
{
public:
    AppSettings();
    QSettings* operator->() { return &settings; }
    QSettings& operator*() { return settings; }

private:
    QSettings settings;
};
