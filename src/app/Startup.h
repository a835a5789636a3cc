#pragma once

#include "app/StyleManager.h"

#include <QString>
#include <QStringList>

class QApplication;
class QCoreApplication;

namespace Startup {

// The application identity, set on the application object in this order.
void setIdentity(QApplication& app);

// --dark wins over --light; otherwise the stored key, where only the exact
// value "light" selects the light theme.
StyleManager::Theme chooseTheme(bool darkOption, bool lightOption, const QString& storedTheme);

// Everything main does after the application object exists, with the command
// line given explicitly. Returns the exit status.
int run(QApplication& app, const QStringList& arguments);

// SIGINT, SIGTERM and SIGHUP end the program cleanly: each ends the tools it
// started at once (they run in process groups of their own, which a signal
// to the program's group does not reach) and then leaves every event loop.
// Called once, when the application object exists.
void quitOnSignals(QCoreApplication& app);
// True once one of those signals has arrived.
bool quitSignalled();

extern const char* const alreadyRunningText;

} // namespace Startup
