// The two themes: what the sheets paint, and the Toggle Theme slot.
#include "app/MainWindow.h"
#include "app/StyleManager.h"
#include "config/Settings.h"
#include "ui/profile/PreferencesDialog.h"

#include "TestHome.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
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
    void preferencesKeepTheThemeInUse_data();
    void preferencesKeepTheThemeInUse();
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
    QTest::newRow("light disabled is grey") << int(StyleManager::Light) << "" << false << "#e2e8f0";
    QTest::newRow("dark disabled danger is grey") << int(StyleManager::Dark) << "dangerButton" << false << "#374151";
    QTest::newRow("light disabled secondary is grey")
        << int(StyleManager::Light) << "secondaryButton" << false << "#e2e8f0";
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

// A session started with "--light" or "--dark" against the stored choice:
// the dialog shows the look in use, and saving it unchanged keeps that look.
void ThemeTest::preferencesKeepTheThemeInUse_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("inUse");
    QTest::addColumn<QString>("shown");
    QTest::newRow("stored dark, light in use") << "dark" << int(StyleManager::Light) << "light";
    QTest::newRow("stored light, dark in use") << "light" << int(StyleManager::Dark) << "dark";
}

void ThemeTest::preferencesKeepTheThemeInUse()
{
    QFETCH(QString, stored);
    QFETCH(int, inUse);
    QFETCH(QString, shown);
    TestHome home;
    AppSettings()->setValue("theme", stored);
    StyleManager::apply(qApp, StyleManager::Theme(inUse));

    PreferencesDialog dialog(nullptr);
    QSignalSpy themes(&dialog, &PreferencesDialog::themeChanged);
    QCOMPARE(dialog.findChild<QComboBox*>("themeCombo")->currentData().toString(), shown);
    dialog.saveSettings();
    QCOMPARE(themes.size(), 1);
    QCOMPARE(themes.at(0).at(0).toString(), shown);
    QCOMPARE(AppSettings()->value("theme").toString(), shown);
}

void ThemeTest::checkBoxes_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<QString>("surface");
    QTest::addColumn<QString>("enabledText");
    QTest::newRow("dark") << int(StyleManager::Dark) << "#0f172a" << "#e0f2fe";
    QTest::newRow("light") << int(StyleManager::Light) << "#f8fafc" << "#1f2937";
}

// A box must stand out from the page, show its tick mark on the accent colour,
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
    // A ticked box is filled with the accent and carries a white tick mark.
    const QSet<QString> tickedBox = colours(ticked, indicator(ticked));
    QVERIFY(tickedBox.contains("#0ea5e9"));
    QVERIFY2(tickedBox.contains("#ffffff"), qPrintable(QStringList(tickedBox.values()).join(',')));

    // Text colour: the disabled one is muted, not the enabled text colour.
    const QSet<QString> disabledText = colours(disabled, disabled->rect().adjusted(box.right() + 4, 0, 0, 0));
    const QSet<QString> normalText = colours(unticked, unticked->rect().adjusted(box.right() + 4, 0, 0, 0));
    QVERIFY(normalText.contains(enabledText));
    QVERIFY(!disabledText.contains(enabledText));
}

OT_TEST_MAIN(ThemeTest)
#include "tst_theme.moc"
