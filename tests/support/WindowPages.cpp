#include "WindowPages.h"

#include "app/MainWindow.h"
#include "config/UserProfile.h"
#include "fido/FidoDeviceManager.h"

#include <QCoreApplication>
#include <QTest>
#include <QTextEdit>

bool keysListed(MainWindow& window)
{
    // The window's first listing starts from the event loop.
    QCoreApplication::sendPostedEvents(&window);
    auto* manager = window.findChild<FidoDeviceManager*>();
    return manager && QTest::qWaitFor([manager] { return !manager->isEnumerating(); }, 20000);
}

QTextEdit* sessionLogView(MainWindow& window)
{
    window.page(MainWindow::SessionLogPage);
    return window.findChild<QTextEdit*>(QStringLiteral("sessionLogView"));
}

bool profileStored()
{
    UserProfile profile;
    return profile.load();
}
