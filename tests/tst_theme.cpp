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
#include <QLabel>
#include <QMetaEnum>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QtMath>
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
    void everySheetColourReads_data();
    void everySheetColourReads();
    void tonesReadOnEverySurface();
    void tonesFollowAThemeSwitch();
};

namespace {

double luminance(const QColor& colour)
{
    const auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : qPow((c + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
}

double contrast(const QColor& a, const QColor& b)
{
    const double la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

struct Rule {
    QString selector;
    QHash<QString, QString> properties;
};

// The rules of a sheet, one per selector of a comma-separated list.
QList<Rule> rulesOf(const QString& sheet)
{
    QList<Rule> rules;
    static const QRegularExpression block(QStringLiteral("([^{}]+)\\{([^}]*)\\}"));
    for (QRegularExpressionMatchIterator it = block.globalMatch(sheet); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        QHash<QString, QString> properties;
        for (const QString& declaration : match.captured(2).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const qsizetype colon = declaration.indexOf(QLatin1Char(':'));
            if (colon > 0)
                properties.insert(declaration.left(colon).trimmed(), declaration.mid(colon + 1).trimmed());
        }
        for (const QString& selector : match.captured(1).split(QLatin1Char(',')))
            rules << Rule{selector.trimmed(), properties};
    }
    return rules;
}

// The last background a rule for exactly this selector sets.
QString backgroundOf(const QList<Rule>& rules, const QString& selector)
{
    QString found;
    for (const Rule& rule : rules) {
        if (rule.selector == selector && rule.properties.contains(QStringLiteral("background-color")))
            found = rule.properties.value(QStringLiteral("background-color"));
    }
    return found;
}

const QStringList darkSurfaces{"#0f172a", "#111827", "#0c1a2e", "#0a1628"};
const QStringList lightSurfaces{"#f8fafc", "#ffffff", "#f1f5f9"};

} // namespace

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
    // Dark enough under white text to read at 4.5:1.
    QTest::newRow("dark plain") << int(StyleManager::Dark) << "" << true << "#0369a1";
    QTest::newRow("light plain") << int(StyleManager::Light) << "" << true << "#0369a1";
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

void ThemeTest::everySheetColourReads_data()
{
    QTest::addColumn<int>("theme");
    QTest::newRow("dark") << int(StyleManager::Dark);
    QTest::newRow("light") << int(StyleManager::Light);
}

// Every text colour a sheet names against the background it is drawn on:
// the rule's own, else that of the widget or subcontrol it refines, else
// the page's. A disabled control's text is exempt: it is meant to recede.
void ThemeTest::everySheetColourReads()
{
    QFETCH(int, theme);
    const QList<Rule> rules = rulesOf(theme == StyleManager::Light ? StyleManager::lightStyleSheet()
                                                                   : StyleManager::darkStyleSheet());
    const QString page = backgroundOf(rules, QStringLiteral("QWidget"));
    QVERIFY(QColor::isValidColorName(page));
    QStringList faults;
    int checked = 0;
    for (const Rule& rule : rules) {
        const QList<QPair<QString, QString>> pairs{{QStringLiteral("color"), QStringLiteral("background-color")},
                                                   {QStringLiteral("selection-color"),
                                                    QStringLiteral("selection-background-color")}};
        for (const auto& [foreground, backgroundKey] : pairs) {
            const QString text = rule.properties.value(foreground);
            if (text.isEmpty() || rule.selector.contains(QLatin1String(":disabled")))
                continue;
            QString background = rule.properties.value(backgroundKey);
            for (QString base = rule.selector; background.isEmpty();) {
                const qsizetype cut = qMax(base.lastIndexOf(QLatin1Char(':')), base.lastIndexOf(QLatin1Char('#')));
                if (cut <= 0) {
                    background = page;
                    break;
                }
                base = base.left(base.at(cut - 1) == QLatin1Char(':') ? cut - 1 : cut);
                background = backgroundOf(rules, base);
            }
            if (background == QLatin1String("transparent"))
                background = page;
            ++checked;
            const double ratio = contrast(QColor(text), QColor(background));
            if (ratio < 4.5)
                faults << QStringLiteral("%1 { %2: %3 } on %4: %5:1")
                              .arg(rule.selector, foreground, text, background)
                              .arg(ratio, 0, 'f', 2);
        }
    }
    QVERIFY(checked > 20);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void ThemeTest::tonesReadOnEverySurface()
{
    QStringList faults;
    const QMetaEnum tones = QMetaEnum::fromType<StyleManager::Tone>();
    for (int i = 0; i < tones.keyCount(); ++i) {
        const auto tone = StyleManager::Tone(tones.value(i));
        for (const auto theme : {StyleManager::Dark, StyleManager::Light}) {
            const QColor colour = StyleManager::color(tone, theme);
            // Action is the main buttons' background, under white text.
            const QStringList behind = tone == StyleManager::Action ? QStringList{"#ffffff"}
                                       : theme == StyleManager::Dark ? darkSurfaces
                                                                     : lightSurfaces;
            for (const QString& surface : behind) {
                if (contrast(colour, QColor(surface)) < 4.5)
                    faults << QStringLiteral("%1 %2 on %3: %4:1")
                                  .arg(QLatin1String(tones.key(i)), colour.name(), surface)
                                  .arg(contrast(colour, QColor(surface)), 0, 'f', 2);
            }
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

// A toned label and a toned tree cell take the new theme's colour at a
// switch, without being built again.
void ThemeTest::tonesFollowAThemeSwitch()
{
    StyleManager::apply(qApp, StyleManager::Dark);
    QWidget page;
    auto* label = new QLabel(QStringLiteral("careful"), &page);
    label->setStyleSheet(QStringLiteral("font-size: 11px;"));
    StyleManager::setTone(label, StyleManager::Warning);
    auto* tree = new QTreeWidget(&page);
    auto* item = new QTreeWidgetItem(tree, {QStringLiteral("expired")});
    StyleManager::setItemTone(item, 0, StyleManager::Danger);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    QCOMPARE(label->palette().color(label->foregroundRole()), StyleManager::color(StyleManager::Warning, StyleManager::Dark));
    QCOMPARE(item->foreground(0).color(), StyleManager::color(StyleManager::Danger, StyleManager::Dark));

    StyleManager::apply(qApp, StyleManager::Light);
    QCOMPARE(label->palette().color(label->foregroundRole()), StyleManager::color(StyleManager::Warning, StyleManager::Light));
    QCOMPARE(item->foreground(0).color(), StyleManager::color(StyleManager::Danger, StyleManager::Light));
    QCOMPARE(label->font().pixelSize(), 11);
}

OT_TEST_MAIN(ThemeTest)
#include "tst_theme.moc"
