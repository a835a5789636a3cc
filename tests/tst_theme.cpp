// The two themes: what the sheets paint, and the Toggle Theme slot.
#include "app/MainWindow.h"
#include "app/StyleManager.h"
#include "config/Settings.h"

#include "TestHome.h"

#include <QApplication>
#include <QPushButton>
#include <QtTest>

class ThemeTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void darkBeforeAnyApply();
    void buttonColours_data();
    void buttonColours();
    void toggleTwiceReturnsAndStores();
};

void ThemeTest::darkBeforeAnyApply()
{
    QCOMPARE(StyleManager::current(), StyleManager::Dark);
    QVERIFY(qApp->styleSheet().isEmpty());
}

void ThemeTest::buttonColours_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("colour");
    QTest::newRow("dark plain") << int(StyleManager::Dark) << "" << true << "#0284c7";
    QTest::newRow("light plain") << int(StyleManager::Light) << "" << true << "#0284c7";
    QTest::newRow("dark danger") << int(StyleManager::Dark) << "dangerButton" << true << "#991b1b";
    QTest::newRow("light danger") << int(StyleManager::Light) << "dangerButton" << true << "#dc2626";
    QTest::newRow("light secondary") << int(StyleManager::Light) << "secondaryButton" << true << "#f1f5f9";
    QTest::newRow("dark disabled is grey") << int(StyleManager::Dark) << "" << false << "#374151";
    // The light sheet has no rule for disabled buttons.
    QTest::newRow("light disabled keeps the button rule") << int(StyleManager::Light) << "" << false << "#0284c7";
}

void ThemeTest::buttonColours()
{
    QFETCH(int, theme);
    QFETCH(QString, objectName);
    QFETCH(bool, enabled);
    QFETCH(QString, colour);
    StyleManager::apply(qApp, StyleManager::Theme(theme));
    QCOMPARE(int(StyleManager::current()), theme);

    QWidget page;
    auto* button = new QPushButton(&page);
    button->setObjectName(objectName);
    button->setEnabled(enabled);
    button->setGeometry(10, 10, 120, 28);
    const QImage image = page.grab(QRect(0, 0, 140, 48)).toImage();
    QCOMPARE(QColor(image.pixel(70, 24)).name(), colour);
}

void ThemeTest::toggleTwiceReturnsAndStores()
{
    TestHome home;
    StyleManager::apply(qApp, StyleManager::Dark);
    MainWindow window;

    window.onToggleTheme();
    QCOMPARE(StyleManager::current(), StyleManager::Light);
    QCOMPARE(qApp->styleSheet(), StyleManager::lightStyleSheet());
    QCOMPARE(AppSettings()->value("theme").toString(), QStringLiteral("light"));

    window.onToggleTheme();
    QCOMPARE(StyleManager::current(), StyleManager::Dark);
    QCOMPARE(qApp->styleSheet(), StyleManager::darkStyleSheet());
    QCOMPARE(AppSettings()->value("theme").toString(), QStringLiteral("dark"));
}

OT_TEST_MAIN(ThemeTest)
#include "tst_theme.moc"
