#pragma once

#include <QSettings>

// The INI settings file at UserProfile::configPath(). Every reader and writer
// opens its own object for the length of one operation; pending changes are
// written when it goes away. Usage: `AppSettings settings; settings->value(...)`.
//
// The file is the toolkit's INI format, written through a format of our own
// so that a write that cannot reach the disk whole (a full disk) leaves the
// old file as it was and shows as QSettings::AccessError in status(), where
// the plain INI writer would put a cut file in its place and report no error.
// The folder is 0700 and the file 0600 from the moment they exist.
class AppSettings
{
public:
    AppSettings();
    ~AppSettings();
    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;
    QSettings* operator->() { return &settings; }
    QSettings& operator*() { return settings; }

    // Writes pending changes now; false when they did not reach the file
    // whole: the file then keeps its previous content, and the changes are
    // dropped rather than shown as stored (here and in every later object).
    bool sync();

    // The registered format: INI content, checked writes.
    static QSettings::Format format();

private:
    void discardUnwritten();

    QSettings settings;
};
