#pragma once

#include "app/StyleManager.h"

#include <QString>
#include <QStringList>

class QApplication;

namespace Startup {

// The application identity, set on the application object in this order.
void setIdentity(QApplication& app);

// --dark wins over --light; otherwise the stored key, where only the exact
// value "light" selects the light theme.
StyleManager::Theme chooseTheme(bool darkOption, bool lightOption, const QString& storedTheme);

// Everything main does after the application object exists, with the command
// line given explicitly. Returns the exit status.
int run(QApplication& app, const QStringList& arguments);

extern const char* const alreadyRunningText;

} // namespace Startup
