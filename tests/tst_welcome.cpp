// The first-run welcome dialog and when start-up shows it.
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "config/Settings.h"
#include "ui/profile/WelcomeDialog.h"

#include "ModalDriver.h"
#include "TestHome.h"
#include "WidgetLookup.h"

#include <QApplication>
#include <QCheckBox>
#include <QPushButton>
#include <QtTest>

#include <memory>

class WelcomeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void dontShowAgain_data();
    void dontShowAgain();
    void startupShowsItOverTheWindow_data();
    void startupShowsItOverTheWindow();

private:
    std::unique_ptr<TestHome> home;
};

void WelcomeTest::dontShowAgain_data()
{
    QTest::addColumn<int>("toggles");
    QTest::addColumn<bool>("showsAgain");
    QTest::newRow("closed without ticking") << 0 << true;
    QTest::newRow("ticked") << 1 << false;
    // Unticking writes nothing: the choice made by ticking stands.
    QTest::newRow("ticked then unticked") << 2 << false;
}

void WelcomeTest::dontShowAgain()
{
    QFETCH(int, toggles);
    QFETCH(bool, showsAgain);
    QVERIFY(WelcomeDialog::shouldShow());

    WelcomeDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Welcome to Ostrevan Tessaril"));
    auto* box = dialog.findChild<QCheckBox*>();
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Don't show again"));
    for (int i = 0; i < toggles; ++i)
        box->click();
    // Settled before the dialog closes, whichever way it closes.
    QCOMPARE(WelcomeDialog::shouldShow(), showsAgain);

    QPushButton* start = findButton(&dialog, QStringLiteral("Get Started"));
    QVERIFY(start);
    dialog.show();
    start->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(WelcomeDialog::shouldShow(), showsAgain);
    QCOMPARE(AppSettings()->contains("welcomeShown"), toggles > 0);
}

void WelcomeTest::startupShowsItOverTheWindow_data()
{
    QTest::addColumn<bool>("alreadyShown");
    QTest::newRow("first start") << false;
    QTest::newRow("welcomeShown set") << true;
}

void WelcomeTest::startupShowsItOverTheWindow()
{
    QFETCH(bool, alreadyShown);
    if (alreadyShown)
        WelcomeDialog::markShown();

    bool overVisibleWindow = false;
    ModalDriver driver;
    if (!alreadyShown) {
        driver.enqueue([&](QWidget* w) {
            QWidget* parent = w->parentWidget();
            overVisibleWindow = parent && parent->inherits("MainWindow") && parent->isVisible();
            static_cast<QDialog*>(w)->reject();
        });
    }
    // Ends the event loop once no dialog is up; quit() does nothing until the
    // application's own loop runs.
    QTimer quitter;
    connect(&quitter, &QTimer::timeout, qApp, [] {
        if (!QApplication::activeModalWidget())
            QCoreApplication::quit();
    });
    quitter.start(20);

    QCOMPARE(Startup::run(*qApp, {"ostrevantessaril"}), 0);
    quitter.stop();
    if (alreadyShown) {
        QVERIFY(driver.titles.isEmpty());
    } else {
        QCOMPARE(driver.titles, QStringList{"Welcome to Ostrevan Tessaril"});
        QVERIFY(overVisibleWindow);
        // Closed without ticking: it comes back at the next start.
        QVERIFY(WelcomeDialog::shouldShow());
    }
}

OT_TEST_MAIN(WelcomeTest)
#include "tst_welcome.moc"
