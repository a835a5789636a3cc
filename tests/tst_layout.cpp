// What a person sees of every page at the window's opening and minimum sizes,
// in both themes: whole button labels and header titles, trees that show
// rows, every tab of the row in view, and a corner clock that can be read.
#include "app/AboutDialog.h"
#include "app/DeviceConfigDialog.h"
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "app/StyleManager.h"
#include "config/UserProfile.h"
#include "fido/DeviceProfileRegistry.h"
#include "fido/FidoDeviceManager.h"
#include "ui/keys/SshConfigEditor.h"
#include "ui/profile/PreferencesDialog.h"
#include "ui/profile/ProfileEditorDialog.h"
#include "ui/profile/ShortcutsDialog.h"
#include "ui/profile/WelcomeDialog.h"
#include "ui/vault/ClockVaultWidget.h"
#include "ui/remote/NetworkDiagnosticsDialog.h"
#include "ui/remote/SiteManagerDialog.h"

#include "FakeTools.h"
#include "TestHome.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QHeaderView>
#include <QTextBlock>
#include <QTextDocument>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeView>
#include <QtMath>
#include <QtTest>

namespace {

// WCAG relative luminance and contrast ratio.
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

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// The page's path for messages: "GitHub / Security".
QString where(const QStringList& path, const QWidget* widget)
{
    return path.join(QStringLiteral(" / ")) + QStringLiteral(": ") + QString::fromLatin1(widget->metaObject()->className())
        + QLatin1Char(' ') + widget->objectName();
}

int rowHeight(const QTreeView* tree)
{
    if (tree->model() && tree->model()->rowCount() > 0)
        return tree->sizeHintForRow(0);
    return tree->fontMetrics().height() + 4;
}

bool wholeInView(const QWidget* widget)
{
    QRect rect = widget->rect();
    for (const QWidget* child = widget; !child->isWindow(); child = child->parentWidget()) {
        const QWidget* parent = child->parentWidget();
        rect.translate(child->pos());
        if (auto* area = qobject_cast<const QAbstractScrollArea*>(parent->parentWidget())) {
            if (area->viewport() == parent)
                return true;
        }
        if (!parent->rect().contains(rect))
            return false;
    }
    return true;
}

// Checks what is visible now; the failures are collected, so one run names
// every fault on every page.
void checkVisible(QWidget* root, const QStringList& path, QStringList* faults)
{
    for (QPushButton* button : root->findChildren<QPushButton*>()) {
        if (!button->isVisible())
            continue;
        if (button->width() < button->sizeHint().width())
            *faults << where(path, button) + QStringLiteral(" \"%1\" is %2 px wide, needs %3")
                                                  .arg(button->text())
                                                  .arg(button->width())
                                                  .arg(button->sizeHint().width());
        // A row squeezed into too short a page leaves a sliver of a button,
        // or none: a button lies wholly inside what holds it, unless that is
        // a scrolled view.
        const int tall = qMin(button->sizeHint().height(), button->maximumHeight());
        if (button->height() < tall || !wholeInView(button))
            *faults << where(path, button) + QStringLiteral(" \"%1\" is cut to %2 px of its %3")
                                                  .arg(button->text())
                                                  .arg(button->visibleRegion().boundingRect().height())
                                                  .arg(tall);
    }
    for (QTreeView* tree : root->findChildren<QTreeView*>()) {
        if (!tree->isVisible())
            continue;
        QHeaderView* header = tree->header();
        for (int section = 0; section < header->count(); ++section) {
            if (header->isSectionHidden(section) || header->isHidden())
                continue;
            if (header->sectionSize(section) < header->sectionSizeHint(section))
                *faults << where(path, tree) + QStringLiteral(" column \"%1\" is %2 px, needs %3")
                                                   .arg(tree->model()->headerData(section, Qt::Horizontal).toString())
                                                   .arg(header->sectionSize(section))
                                                   .arg(header->sectionSizeHint(section));
        }
        if (tree->viewport()->height() < 2 * rowHeight(tree))
            *faults << where(path, tree)
                    + QStringLiteral(" shows %1 px of rows, two need %2").arg(tree->viewport()->height()).arg(2 * rowHeight(tree));
    }
}

// Shows each page of tabs in turn, and each page of the tab widgets inside it.
void walk(QTabWidget* tabs, const QStringList& path, QStringList* faults)
{
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        settle();
        const QStringList here = path + QStringList{tabs->tabText(i)};
        QWidget* page = tabs->widget(i);
        checkVisible(page, here, faults);
        for (QTabWidget* inner : page->findChildren<QTabWidget*>()) {
            if (inner->isVisible())
                walk(inner, here, faults);
        }
    }
}

// One text as a person sees it: its colour against what is painted behind it.
struct Reading {
    QString where;
    QColor text;
    QColor behind;
    bool large = false;   // a title: bold and 16 px or more, or 18 px or more
    double ratio() const { return contrast(text, behind); }
    double needed() const { return large ? 3.0 : 4.5; }
};

bool isLarge(const QFont& font)
{
    const double pixels = font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * 96.0 / 72.0;
    return pixels >= 18 || (pixels >= 16 && font.weight() >= QFont::DemiBold);
}

// What a widget paints behind its text: the colour most of its own pixels
// have, so a background from any sheet counts as drawn; where the widget
// leaves it see-through (or paints it translucent), what its parent paints
// shows through.
QColor paintedBackground(QWidget* widget)
{
    QImage image(widget->size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    }
    QRgb most = 0;
    int best = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > best) {
            best = it.value();
            most = it.key();
        }
    }
    const int alpha = qAlpha(most);
    if (alpha == 255 || !widget->parentWidget())
        return QColor::fromRgb(most);
    const QColor under = paintedBackground(widget->parentWidget());
    const auto mix = [alpha](int top, int bottom) { return (top * alpha + bottom * (255 - alpha)) / 255; };
    return QColor(mix(qRed(most), under.red()), mix(qGreen(most), under.green()), mix(qBlue(most), under.blue()));
}

// Each visible, enabled label and button of root with its text colour; a
// label in rich text gives one reading per coloured run. A disabled
// control's text is meant to recede and is not read.
void readTexts(QWidget* root, const QString& where, QList<Reading>* readings)
{
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : std::as_const(widgets)) {
        if (!widget->isVisible() || !widget->isEnabled() || widget->width() <= 0 || widget->height() <= 0)
            continue;
        const QString name = where + QStringLiteral(": ") + QString::fromLatin1(widget->metaObject()->className())
                             + QLatin1Char(' ') + widget->objectName();
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            if (label->text().trimmed().isEmpty())
                continue;
            const QColor behind = paintedBackground(label);
            const QColor plain = label->palette().color(QPalette::Active, label->foregroundRole());
            const bool rich = label->textFormat() == Qt::RichText
                              || (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
            if (!rich) {
                readings->append({name + QStringLiteral(" \"%1\"").arg(label->text().left(40)), plain, behind,
                                  isLarge(label->font())});
                continue;
            }
            QTextDocument document;
            document.setDefaultFont(label->font());
            document.setHtml(label->text());
            for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
                for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
                    const QTextFragment piece = fragment.fragment();
                    if (piece.text().trimmed().isEmpty())
                        continue;
                    const QTextCharFormat format = piece.charFormat();
                    const QColor text = format.foreground().style() != Qt::NoBrush ? format.foreground().color() : plain;
                    const QColor under = format.background().style() != Qt::NoBrush ? format.background().color()
                                         : block.blockFormat().background().style() != Qt::NoBrush
                                             ? block.blockFormat().background().color()
                                             : behind;
                    readings->append({name + QStringLiteral(" \"%1\"").arg(piece.text().left(40)), text, under,
                                      isLarge(format.font())});
                }
            }
        } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
            auto* tool = qobject_cast<QToolButton*>(button);
            if (button->text().trimmed().isEmpty() || (tool && tool->toolButtonStyle() == Qt::ToolButtonIconOnly))
                continue;
            readings->append({name + QStringLiteral(" \"%1\"").arg(button->text()),
                              button->palette().color(QPalette::Active, button->foregroundRole()),
                              paintedBackground(button), isLarge(button->font())});
        } else if (auto* tree = qobject_cast<QTreeWidget*>(widget)) {
            // A coloured cell on either row colour.
            for (QTreeWidgetItemIterator it(tree); *it; ++it) {
                for (int column = 0; column < tree->columnCount(); ++column) {
                    const QVariant brush = (*it)->data(column, Qt::ForegroundRole);
                    if (!brush.isValid() || (*it)->text(column).isEmpty())
                        continue;
                    for (const QPalette::ColorRole role : {QPalette::Base, QPalette::AlternateBase})
                        readings->append({name + QStringLiteral(" cell \"%1\"").arg((*it)->text(column)),
                                          brush.value<QBrush>().color(), tree->palette().color(role), false});
                }
            }
        }
    }
}

// Reads every page of tabs, and every page of the tab widgets inside it.
void readPages(QTabWidget* tabs, const QString& where, QList<Reading>* readings)
{
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        settle();
        const QString here = where + (where.isEmpty() ? QString() : QStringLiteral(" / ")) + tabs->tabText(i);
        readTexts(tabs->widget(i), here, readings);
        for (QTabWidget* inner : tabs->widget(i)->findChildren<QTabWidget*>()) {
            if (inner->isVisible())
                readPages(inner, here, readings);
        }
    }
}

void checkDialog(QWidget* dialog, const QString& name, QStringList* faults)
{
    dialog->resize(dialog->minimumSize());
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    settle();
    checkVisible(dialog, {name}, faults);
}

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { Startup::setIdentity(*qApp); }
    void init() { home = std::make_unique<TestHome>(); }
    void cleanup() { home.reset(); }

    void everyPageFits_data();
    void everyPageFits();
    void dialogsFitAtTheirMinimum_data();
    void dialogsFitAtTheirMinimum();
    void clockIsReadable_data();
    void clockIsReadable();
    void everyTextReads_data();
    void everyTextReads();

private:
    std::unique_ptr<TestHome> home;
};

void LayoutTest::everyPageFits_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("theme");
    QTest::newRow("opening size, dark") << QSize(1280, 860) << int(StyleManager::Dark);
    QTest::newRow("opening size, light") << QSize(1280, 860) << int(StyleManager::Light);
    QTest::newRow("minimum size, dark") << QSize(1100, 750) << int(StyleManager::Dark);
    QTest::newRow("minimum size, light") << QSize(1100, 750) << int(StyleManager::Light);
}

void LayoutTest::everyPageFits()
{
    QFETCH(QSize, size);
    QFETCH(int, theme);
    // No tool is found: the pages show their empty states, and nothing the
    // machine happens to hold changes what is measured.
    FakeTools noTools(false);
    StyleManager::apply(qApp, StyleManager::Theme(theme));
    MainWindow window;
    window.resize(size);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    settle();
    // A page that asks for more than the window has would push the window
    // itself past the size.
    QCOMPARE(window.size(), size);

    auto* tabs = window.findChild<QTabWidget*>();
    QTabBar* bar = tabs->tabBar();
    if (size.width() >= 1280) {
        QWidget* corner = tabs->cornerWidget(Qt::TopRightCorner);
        for (int i = 0; i < bar->count(); ++i) {
            const QRect tab = bar->tabRect(i);
            QVERIFY2(tab.left() >= 0 && tab.right() < bar->width(),
                     qPrintable(QStringLiteral("tab \"%1\" at %2..%3, the bar is %4 wide")
                                    .arg(bar->tabText(i)).arg(tab.left()).arg(tab.right()).arg(bar->width())));
        }
        QVERIFY2(bar->geometry().right() < corner->geometry().left(),
                 qPrintable(QStringLiteral("bar ends at %1, corner starts at %2")
                                .arg(bar->geometry().right()).arg(corner->geometry().left())));
        for (QToolButton* arrow : bar->findChildren<QToolButton*>())
            QVERIFY2(!arrow->isVisible(), "the tab row scrolls at the opening size");
    } else {
        // Where the row does not fit, its arrows are big enough to see and hit.
        for (QToolButton* arrow : bar->findChildren<QToolButton*>()) {
            if (arrow->isVisible())
                QVERIFY2(arrow->width() >= 16 && arrow->height() >= 16,
                         qPrintable(QStringLiteral("arrow %1x%2").arg(arrow->width()).arg(arrow->height())));
        }
    }
    QVERIFY(tabs->cornerWidget(Qt::TopRightCorner)->geometry().right() < tabs->width());

    QStringList faults;
    walk(tabs, {}, &faults);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

void LayoutTest::dialogsFitAtTheirMinimum_data()
{
    QTest::addColumn<int>("theme");
    QTest::newRow("dark") << int(StyleManager::Dark);
    QTest::newRow("light") << int(StyleManager::Light);
}

void LayoutTest::dialogsFitAtTheirMinimum()
{
    QFETCH(int, theme);
    FakeTools noTools(false);
    StyleManager::apply(qApp, StyleManager::Theme(theme));
    QStringList faults;
    SiteManagerDialog sites;
    checkDialog(&sites, QStringLiteral("Site Manager"), &faults);
    // No site is chosen yet: there is nothing to connect to.
    for (const char* text : {"SSH", "SFTP", "SCP", "Rsync"}) {
        for (QPushButton* button : sites.findChildren<QPushButton*>()) {
            if (button->text() == QLatin1String(text))
                QVERIFY2(!button->isEnabled(), text);
        }
    }
    NetworkDiagnosticsDialog diagnostics;
    checkDialog(&diagnostics, QStringLiteral("Network Diagnostics"), &faults);
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
    // Text keeps clear of the dialogs' edges.
    for (QDialog* dialog : {static_cast<QDialog*>(&sites), static_cast<QDialog*>(&diagnostics)}) {
        const QMargins margins = dialog->layout()->contentsMargins();
        QVERIFY2(margins.left() >= 9 && margins.top() >= 9, qPrintable(dialog->windowTitle()));
    }
}

void LayoutTest::clockIsReadable_data()
{
    QTest::addColumn<int>("theme");
    QTest::newRow("dark") << int(StyleManager::Dark);
    QTest::newRow("light") << int(StyleManager::Light);
}

// Each label of the corner against the background it is drawn on, as the
// applied sheet sets both in the labels' palettes.
void LayoutTest::clockIsReadable()
{
    QFETCH(int, theme);
    StyleManager::apply(qApp, StyleManager::Theme(theme));
    QWidget page;
    auto* corner = new ClockVaultWidget(&page);
    corner->setVaults({});
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    const QColor surface = corner->palette().color(corner->backgroundRole());
    for (const char* name : {"clockLabel", "dateLabel", "zoneLabel", "noVaultsLabel"}) {
        auto* label = corner->findChild<QLabel*>(QLatin1String(name));
        QVERIFY2(label, name);
        const QColor text = label->palette().color(label->foregroundRole());
        const QColor behind = label->palette().color(label->backgroundRole());
        QCOMPARE(behind, surface);
        QVERIFY2(contrast(text, behind) >= 4.5,
                 qPrintable(QStringLiteral("%1: %2 on %3 is %4:1")
                                .arg(name, text.name(), behind.name())
                                .arg(contrast(text, behind), 0, 'f', 2)));
    }
}

void LayoutTest::everyTextReads_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<bool>("switched");   // the window was built under the other theme
    QTest::newRow("dark") << int(StyleManager::Dark) << false;
    QTest::newRow("light") << int(StyleManager::Light) << false;
    QTest::newRow("light after a switch from dark") << int(StyleManager::Light) << true;
    QTest::newRow("dark after a switch from light") << int(StyleManager::Dark) << true;
}

// Every label and button of every page and dialog, in both themes: each text
// colour at 4.5:1 or better against what is painted behind it, 3:1 for a
// title. The lowest ratio found is told either way.
void LayoutTest::everyTextReads()
{
    QFETCH(int, theme);
    QFETCH(bool, switched);
    FakeTools noTools(false);
    const auto other = theme == StyleManager::Light ? StyleManager::Dark : StyleManager::Light;
    StyleManager::apply(qApp, switched ? other : StyleManager::Theme(theme));
    QList<Reading> readings;

    MainWindow window;
    window.resize(1280, 860);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    settle();
    if (switched) {
        StyleManager::apply(qApp, StyleManager::Theme(theme));
        settle();
    }
    readTexts(&window, QStringLiteral("window"), &readings);
    readPages(window.findChild<QTabWidget*>(), QString(), &readings);

    UserProfile profile;
    FidoDeviceManager fido;
    FidoKeyInfo key;
    key.product = QStringLiteral("YubiKey 5Ci");
    key.manufacturer = QStringLiteral("Yubico");
    key.devicePath = QStringLiteral("/dev/hidraw9");
    key.clientPin = true;
    key.credMgmt = true;
    const auto read = [&readings](QDialog* dialog, const QString& name) {
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        settle();
        readTexts(dialog, name, &readings);
        if (auto* tabs = dialog->findChild<QTabWidget*>())
            readPages(tabs, name, &readings);
        dialog->hide();
    };
    {
        WelcomeDialog dialog;
        read(&dialog, QStringLiteral("Welcome"));
    }
    {
        ProfileEditorDialog dialog(&profile);
        read(&dialog, QStringLiteral("Profile editor"));
    }
    {
        PreferencesDialog dialog(&profile);
        read(&dialog, QStringLiteral("Preferences"));
    }
    {
        AboutDialog dialog;
        read(&dialog, QStringLiteral("About"));
    }
    {
        ShortcutsDialog dialog;
        read(&dialog, QStringLiteral("Keyboard Shortcuts"));
    }
    {
        SiteManagerDialog dialog;
        read(&dialog, QStringLiteral("Site Manager"));
    }
    {
        NetworkDiagnosticsDialog dialog;
        read(&dialog, QStringLiteral("Network Diagnostics"));
    }
    {
        SshConfigEditor dialog;
        read(&dialog, QStringLiteral("SSH Config Editor"));
    }
    {
        DeviceConfigDialog dialog(key, DeviceProfileRegistry::yubikey5Ci54(), &fido, 0, nullptr, nullptr);
        read(&dialog, QStringLiteral("Device details"));
    }

    QVERIFY(readings.size() > 100);
    QStringList faults;
    const Reading* lowest = nullptr;
    for (const Reading& reading : std::as_const(readings)) {
        if (!lowest || reading.ratio() / reading.needed() < lowest->ratio() / lowest->needed())
            lowest = &reading;
        if (reading.ratio() < reading.needed())
            faults << QStringLiteral("%1: %2 on %3 is %4:1")
                          .arg(reading.where, reading.text.name(), reading.behind.name())
                          .arg(reading.ratio(), 0, 'f', 2);
    }
    // The failure message is cut short; the list is not.
    for (const QString& fault : std::as_const(faults))
        qWarning("%s", qPrintable(fault));
    qInfo("%lld texts read; the lowest against its need: %s, %s on %s at %.2f:1", qlonglong(readings.size()),
          qPrintable(lowest->where), qPrintable(lowest->text.name()), qPrintable(lowest->behind.name()),
          lowest->ratio());
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1Char('\n'))));
}

OT_TEST_MAIN(LayoutTest)
#include "tst_layout.moc"
