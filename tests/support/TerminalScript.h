#pragma once

#include <QString>

// The command line inside a recorded Terminal script (the AppleScript handed
// to osascript), its string-literal escapes undone; a marked text when the
// script is not the Terminal one.
QString commandFromScript(const QString& script);
