// The two themes: what the sheets paint, and the Toggle Theme slot.
#include "app/MainWindow.h"
#include "app/StyleManager.h"
#include "config/Settings.h"

#include "TestHome.h"

#include <QApplication>
#include <QCheckBox>
#include <QStyle>
#include <QStyleOptionButton>
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
    void checkBoxes_data();
    void checkBoxes();
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

void ThemeTest::checkBoxes_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<QString>("surface");
    QTest::addColumn<QString>("enabledText");
    QTest::newRow("dark") << int(StyleManager::Dark) << "#0f172a" << "#e0f2fe";
    QTest::newRow("light") << int(StyleManager::Light) << "#f8fafc" << "#1f2937";
}

// A box must stand out from the page, show its tick in the accent colour,
// and look disabled when it is.
void ThemeTest::checkBoxes()
{
    QFETCH(int, theme);
    QFETCH(QString, surface);
    QFETCH(QString, enabledText);
    StyleManager::apply(qApp, StyleManager::Theme(theme));

    QWidget page;
    page.resize(200, 60);
    auto* unticked = new QCheckBox("Unticked", &page);
    auto* ticked = new QCheckBox("Ticked", &page);
    ticked->setChecked(true);
    auto* disabled = new QCheckBox("Disabled", &page);
    disabled->setEnabled(false);
    unticked->move(0, 0);
    ticked->move(0, 20);
    disabled->move(0, 40);
    page.ensurePolished();
    for (QCheckBox* box : {unticked, ticked, disabled})
        box->adjustSize();

    const auto indicator = [](QCheckBox* box) {
        QStyleOptionButton option;
        option.initFrom(box);
        return box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box);
    };
    const auto colours = [](QCheckBox* box, const QRect& area) {
        const QImage image = box->grab().toImage();
        QSet<QString> found;
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                found.insert(QColor(image.pixel(x, y)).name());
        return found;
    };

    const QRect box = indicator(unticked);
    QVERIFY(box.width() >= 12);
    // The border differs from the page behind it.
    const QSet<QString> border = colours(unticked, QRect(box.left(), box.center().y(), 1, 1));
    QVERIFY2(!border.contains(surface), qPrintable(QStringList(border.values()).join(',')));
    QVERIFY(colours(ticked, QRect(indicator(ticked).center(), QSize(1, 1))).contains("#0ea5e9"));

    // Text colour: the disabled one is muted, not the enabled text colour.
    const QSet<QString> disabledText = colours(disabled, disabled->rect().adjusted(box.right() + 4, 0, 0, 0));
    const QSet<QString> normalText = colours(unticked, unticked->rect().adjusted(box.right() + 4, 0, 0, 0));
    QVERIFY(normalText.contains(enabledText));
    QVERIFY(!disabledText.contains(enabledText));
}

OT_TEST_MAIN(ThemeTest)
#include "tst_theme.moc"
