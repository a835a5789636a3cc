#include "app/StyleManager.h"

#include "ui/widgets/HeaderFit.h"

#include <QApplication>
#include <QFont>
#include <QStyle>
#include <QStyleFactory>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

namespace {

StyleManager::Theme currentTheme = StyleManager::Dark;
bool themeApplied = false;

// The tones of text, dark value then light value; the "tone" rules at the
// end of each sheet name the same colours.
struct ToneColours {
    const char* name;
    const char* dark;
    const char* light;
};
const ToneColours tones[] = {
    {"muted", "#94a3b8", "#475569"},
    {"accent", "#0ea5e9", "#0369a1"},
    {"success", "#22c55e", "#15803d"},
    {"warning", "#f59e0b", "#b45309"},
    {"danger", "#f87171", "#b91c1c"},
    {"violet", "#a78bfa", "#6d28d9"},
    {"action", "#0369a1", "#0369a1"},
};

// Where a tree cell keeps its tone, so a theme switch can recolour it.
constexpr int toneRole = Qt::UserRole + 0x7e57;

void recolourTonedItems()
{
    for (QWidget* top : QApplication::allWidgets()) {
        auto* tree = qobject_cast<QTreeWidget*>(top);
        if (!tree)
            continue;
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            for (int column = 0; column < (*it)->columnCount(); ++column) {
                const QVariant tone = (*it)->data(column, toneRole);
                if (tone.isValid())
                    (*it)->setForeground(column, StyleManager::color(StyleManager::Tone(tone.toInt())));
            }
        }
    }
}

// Navy surfaces with a cyan accent.
const QString darkSheet = QStringLiteral(R"qss(
QWidget {
    background-color: #0f172a;
    color: #e0f2fe;
    font-family: "Helvetica Neue", "Segoe UI", Roboto, Arial, sans-serif;
    font-size: 14px;
    selection-background-color: #0369a1;
    selection-color: #ffffff;
}

QMainWindow {
    background-color: #0f172a;
}

QMainWindow::separator {
    background-color: #1e3a5f;
    width: 1px;
    height: 1px;
}

QMenuBar {
    background-color: #0c1a2e;
    color: #e0f2fe;
    border-bottom: 1px solid #1e3a5f;
    padding: 2px 0;
}

QMenuBar::item:selected {
    background-color: #1e3a5f;
    border-radius: 4px;
}

QMenu {
    background-color: #111827;
    color: #e0f2fe;
    border: 1px solid #1e3a5f;
    border-radius: 6px;
    padding: 4px;
}

QMenu::item:selected {
    background-color: #0369a1;
    color: #ffffff;
    border-radius: 4px;
}

QMenu::separator {
    height: 1px;
    background-color: #1e3a5f;
    margin: 4px 8px;
}

QTabWidget::pane {
    background-color: #0f172a;
    border: 1px solid #1e3a5f;
    border-radius: 4px;
    padding: 1px;
    top: -1px;
}

QTabBar::tab {
    background-color: #111827;
    color: #94a3b8;
    border: 1px solid #1e3a5f;
    border-bottom: none;
    border-top-left-radius: 6px;
    border-top-right-radius: 6px;
    padding: 8px 12px;
    margin-right: 2px;
}

QTabBar::tab:selected {
    background-color: #0f172a;
    color: #0ea5e9;
    border-bottom: 2px solid #0ea5e9;
}

QTabBar::tab:hover:!selected {
    background-color: #1e3a5f;
    color: #e0f2fe;
}

QPushButton {
    background-color: #0369a1;
    color: #ffffff;
    border: 1px solid #075985;
    border-radius: 6px;
    padding: 5px 14px;
    font-weight: 600;
    font-size: 12px;
    min-height: 18px;
    max-height: 28px;
}

QPushButton:hover {
    background-color: #075985;
    border-color: #0284c7;
}

QPushButton:pressed {
    background-color: #0c4a6e;
}

QPushButton:disabled {
    background-color: #374151;
    color: #6b7280;
    border-color: #374151;
}

QPushButton#dangerButton {
    background-color: #991b1b;
    border-color: #dc2626;
}

QPushButton#dangerButton:hover {
    background-color: #dc2626;
}

QPushButton#secondaryButton {
    background-color: rgba(255, 255, 255, 0.1);
    border-color: rgba(255, 255, 255, 0.2);
}

QPushButton#secondaryButton:hover {
    background-color: rgba(255, 255, 255, 0.18);
}

QTreeWidget, QListWidget, QTableWidget {
    background-color: #0c1a2e;
    alternate-background-color: #111827;
    color: #e0f2fe;
    border: 1px solid #1e3a5f;
    border-radius: 6px;
    outline: none;
}

QTreeWidget::item:selected, QListWidget::item:selected, QTableWidget::item:selected {
    background-color: #0369a1;
    color: #ffffff;
}

QTreeWidget::item:hover, QListWidget::item:hover {
    background-color: #1e3a5f;
}

QHeaderView::section {
    background-color: #111827;
    color: #94a3b8;
    border: none;
    border-bottom: 1px solid #1e3a5f;
    border-right: 1px solid #1e3a5f;
    padding: 6px 8px;
    font-weight: 600;
    font-size: 13px;
    text-transform: uppercase;
}

QLineEdit, QTextEdit, QPlainTextEdit, QSpinBox, QComboBox {
    background-color: #0a1628;
    color: #e0f2fe;
    border: 1px solid #1e3a5f;
    border-radius: 6px;
    padding: 6px 10px;
    selection-background-color: #0369a1;
}

QLineEdit:focus, QTextEdit:focus, QPlainTextEdit:focus {
    border-color: #0ea5e9;
}

QComboBox::drop-down {
    border: none;
    width: 24px;
}

QComboBox::down-arrow {
    image: url(:/icons/arrow-down);
}

QComboBox QAbstractItemView {
    background-color: #111827;
    color: #e0f2fe;
    border: 1px solid #1e3a5f;
    selection-background-color: #0369a1;
}

QCheckBox:disabled {
    color: #6b7280;
}

QCheckBox::indicator {
    width: 14px;
    height: 14px;
    background-color: #0a1628;
    border: 1px solid #64748b;
    border-radius: 3px;
}

QCheckBox::indicator:hover {
    border-color: #0ea5e9;
}

QCheckBox::indicator:checked {
    background-color: #0ea5e9;
    border-color: #38bdf8;
}

QCheckBox::indicator:disabled {
    background-color: #1f2937;
    border-color: #374151;
}

QCheckBox::indicator:checked:disabled {
    background-color: #475569;
    border-color: #475569;
}

QGroupBox {
    background-color: #111827;
    border: 1px solid #1e3a5f;
    border-radius: 6px;
    margin-top: 12px;
    padding-top: 16px;
    font-weight: 600;
}

QGroupBox::title {
    color: #0ea5e9;
    subcontrol-origin: margin;
    subcontrol-position: top left;
    padding: 0 8px;
    left: 12px;
}

QScrollBar:vertical {
    background-color: #0f172a;
    width: 10px;
    margin: 0;
    border-radius: 5px;
}

QScrollBar::handle:vertical {
    background-color: #374151;
    border-radius: 5px;
    min-height: 24px;
}

QScrollBar::handle:vertical:hover {
    background-color: #4b5563;
}

QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical, QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {
    height: 0;
    background: none;
}

QScrollBar:horizontal {
    background-color: #0f172a;
    height: 10px;
    border-radius: 5px;
}

QScrollBar::handle:horizontal {
    background-color: #374151;
    border-radius: 5px;
    min-width: 24px;
}

QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal, QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal {
    width: 0;
    background: none;
}

QProgressBar {
    background-color: #1e3a5f;
    border: none;
    border-radius: 4px;
    text-align: center;
    color: #e0f2fe;
    height: 8px;
}

QProgressBar::chunk {
    background-color: #0ea5e9;
    border-radius: 4px;
}

QStatusBar {
    background-color: #0c1a2e;
    color: #94a3b8;
    border-top: 1px solid #1e3a5f;
}

QToolBar {
    background-color: #0c1a2e;
    border-bottom: 1px solid #1e3a5f;
    spacing: 4px;
    padding: 4px;
}

QToolButton {
    background-color: transparent;
    color: #e0f2fe;
    border: 1px solid transparent;
    border-radius: 4px;
    padding: 6px;
}

QToolButton:hover {
    background-color: #1e3a5f;
    border-color: #1e3a5f;
}

QToolButton:pressed {
    background-color: #0ea5e9;
}

QToolTip {
    background-color: #111827;
    color: #e0f2fe;
    border: 1px solid #1e3a5f;
    border-radius: 4px;
    padding: 4px 8px;
}

QSplitter::handle {
    background-color: #1e3a5f;
}

QSplitter::handle:horizontal {
    width: 1px;
}

QSplitter::handle:vertical {
    height: 1px;
}

QLabel#sectionTitle {
    color: #0ea5e9;
    font-size: 16px;
    font-weight: 700;
}

QLabel#secureStatus {
    color: #22c55e;
    font-weight: 700;
}

QLabel#warningStatus {
    color: #f59e0b;
    font-weight: 700;
}

QLabel#criticalStatus {
    color: #f87171;
    font-weight: 700;
}

QLabel#lockedStatus {
    color: #a78bfa;
    font-weight: 700;
}
QTabBar::scroller {
    width: 56px;
}

QTabBar QToolButton {
    background-color: #111827;
    border: 1px solid #1e3a5f;
    border-radius: 4px;
    padding: 0;
    margin: 2px 1px;
}

QTabBar QToolButton:hover {
    background-color: #1e3a5f;
}

QTabBar QToolButton::left-arrow {
    image: url(:/icons/arrow-left);
}

QTabBar QToolButton::right-arrow {
    image: url(:/icons/arrow-right);
}

QTabBar QToolButton:disabled {
    background-color: #0c1a2e;
    border-color: #111827;
}

QPushButton#dangerButton:disabled, QPushButton#secondaryButton:disabled {
    background-color: #374151;
    color: #6b7280;
    border-color: #374151;
}

QCheckBox::indicator:checked {
    image: url(:/icons/check);
}

QLabel#clockLabel {
    color: #e0f2fe;
    font-size: 18px;
    font-weight: 700;
    font-family: "SF Mono", "Menlo", monospace;
}

QLabel#dateLabel {
    color: #94a3b8;
    font-size: 11px;
    font-weight: 400;
}

QLabel#zoneLabel {
    color: #94a3b8;
    font-size: 10px;
}

QLabel#noVaultsLabel, QLabel#vaultCounter {
    color: #94a3b8;
    font-size: 10px;
}

QWidget[tone="muted"] { color: #94a3b8; }
QWidget[tone="accent"] { color: #0ea5e9; }
QWidget[tone="success"] { color: #22c55e; }
QWidget[tone="warning"] { color: #f59e0b; }
QWidget[tone="danger"] { color: #f87171; }
QWidget[tone="violet"] { color: #a78bfa; }
)qss");

// "Enterprise Lite". It styles fewer states than the dark sheet on purpose:
// pressed buttons, hovered tabs and items, spin boxes, plain-text editors,
// menu separators and combo-box pop-ups keep Fusion's own look. Check boxes
// and disabled buttons are drawn by both sheets: the general rules' colours
// would otherwise hide that one is disabled. The corner clock's labels take
// their colours from the sheet in force, so that they stay readable on
// either background.
const QString lightSheet = QStringLiteral(R"qss(
QWidget {
    background-color: #f8fafc;
    color: #1f2937;
    font-family: "Helvetica Neue", "Segoe UI", Roboto, Arial, sans-serif;
    font-size: 14px;
    selection-background-color: #0369a1;
    selection-color: #ffffff;
}

QMainWindow {
    background-color: #f8fafc;
}

QMenuBar {
    background-color: #ffffff;
    color: #1f2937;
    border-bottom: 1px solid #e2e8f0;
}

QMenuBar::item:selected {
    background-color: #f1f5f9;
    border-radius: 4px;
}

QMenu {
    background-color: #ffffff;
    border: 1px solid #e2e8f0;
    border-radius: 6px;
}

QMenu::item:selected {
    background-color: #0369a1;
    color: #ffffff;
    border-radius: 4px;
}

QTabWidget::pane {
    background-color: #f8fafc;
    border: 1px solid #e2e8f0;
    border-radius: 6px;
}

QTabBar::tab {
    background-color: #f1f5f9;
    color: #4b5563;
    border: 1px solid #e2e8f0;
    border-bottom: none;
    border-top-left-radius: 6px;
    border-top-right-radius: 6px;
    padding: 8px 12px;
    margin-right: 2px;
}

QTabBar::tab:selected {
    background-color: #ffffff;
    color: #0369a1;
    border-bottom: 2px solid #0ea5e9;
}

QPushButton {
    background-color: #0369a1;
    color: #ffffff;
    border: 1px solid #075985;
    border-radius: 6px;
    padding: 5px 14px;
    font-weight: 600;
    font-size: 12px;
    min-height: 18px;
    max-height: 28px;
}

QPushButton:hover {
    background-color: #075985;
}

QPushButton#dangerButton {
    background-color: #dc2626;
    border-color: #b91c1c;
}

QPushButton#secondaryButton {
    background-color: #f1f5f9;
    color: #1f2937;
    border-color: #e2e8f0;
}

QPushButton#secondaryButton:hover {
    background-color: #e2e8f0;
}

QTreeWidget, QListWidget, QTableWidget {
    background-color: #ffffff;
    alternate-background-color: #f8fafc;
    border: 1px solid #e2e8f0;
    border-radius: 6px;
}

QHeaderView::section {
    background-color: #f1f5f9;
    color: #4b5563;
    border: none;
    border-bottom: 1px solid #e2e8f0;
    border-right: 1px solid #e2e8f0;
    padding: 6px 8px;
    font-weight: 600;
    font-size: 13px;
}

QCheckBox:disabled {
    color: #9ca3af;
}

QCheckBox::indicator {
    width: 14px;
    height: 14px;
    background-color: #ffffff;
    border: 1px solid #94a3b8;
    border-radius: 3px;
}

QCheckBox::indicator:hover {
    border-color: #0ea5e9;
}

QCheckBox::indicator:checked {
    background-color: #0ea5e9;
    border-color: #0284c7;
}

QCheckBox::indicator:disabled {
    background-color: #f1f5f9;
    border-color: #cbd5e1;
}

QCheckBox::indicator:checked:disabled {
    background-color: #94a3b8;
    border-color: #94a3b8;
}

QGroupBox {
    background-color: #ffffff;
    border: 1px solid #e2e8f0;
    border-radius: 6px;
    margin-top: 12px;
    padding-top: 16px;
}

QGroupBox::title {
    color: #0369a1;
}

QScrollBar:vertical {
    background-color: #f8fafc;
    width: 10px;
    border-radius: 5px;
}

QScrollBar::handle:vertical {
    background-color: #cbd5e1;
    border-radius: 5px;
    min-height: 24px;
}

QScrollBar:horizontal {
    background-color: #f8fafc;
    height: 10px;
    border-radius: 5px;
}

QScrollBar::handle:horizontal {
    background-color: #cbd5e1;
    border-radius: 5px;
    min-width: 24px;
}

QScrollBar::add-line:horizontal, QScrollBar::sub-line:horizontal, QScrollBar::add-page:horizontal, QScrollBar::sub-page:horizontal {
    width: 0;
    background: none;
}

QProgressBar {
    background-color: #e2e8f0;
    border: none;
    border-radius: 4px;
    text-align: center;
    height: 8px;
}

QProgressBar::chunk {
    background-color: #0ea5e9;
    border-radius: 4px;
}

QStatusBar {
    background-color: #ffffff;
    border-top: 1px solid #e2e8f0;
    color: #4b5563;
}

QToolBar {
    background-color: #ffffff;
    border-bottom: 1px solid #e2e8f0;
    spacing: 4px;
    padding: 4px;
}

QToolButton {
    background-color: transparent;
    color: #1f2937;
    border: 1px solid transparent;
    border-radius: 4px;
    padding: 6px;
}

QToolButton:hover {
    background-color: #f1f5f9;
    border-color: #e2e8f0;
}

QToolTip {
    background-color: #1f2937;
    color: #f8fafc;
    border: 1px solid #374151;
    border-radius: 4px;
    padding: 4px 8px;
}

QSplitter::handle {
    background-color: #e2e8f0;
}

QSplitter::handle:horizontal {
    width: 1px;
}

QSplitter::handle:vertical {
    height: 1px;
}

QLabel#sectionTitle {
    color: #0369a1;
    font-size: 16px;
    font-weight: 700;
}

QLabel#secureStatus {
    color: #15803d;
    font-weight: 700;
}

QLabel#warningStatus {
    color: #b45309;
    font-weight: 700;
}

QLabel#criticalStatus {
    color: #b91c1c;
    font-weight: 700;
}

QLabel#lockedStatus {
    color: #6d28d9;
    font-weight: 700;
}

QLineEdit, QTextEdit, QComboBox {
    background-color: #ffffff;
    border: 1px solid #e2e8f0;
    border-radius: 6px;
    padding: 6px 10px;
}

QLineEdit:focus, QTextEdit:focus {
    border-color: #0ea5e9;
}

QComboBox::drop-down {
    border: none;
    width: 24px;
}

QComboBox::down-arrow {
    image: url(:/icons/arrow-down);
}

QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical {
    height: 0;
}

QTabBar::scroller {
    width: 56px;
}

QTabBar QToolButton {
    background-color: #ffffff;
    border: 1px solid #cbd5e1;
    border-radius: 4px;
    padding: 0;
    margin: 2px 1px;
}

QTabBar QToolButton:hover {
    background-color: #f1f5f9;
}

QTabBar QToolButton::left-arrow {
    image: url(:/icons/arrow-left);
}

QTabBar QToolButton::right-arrow {
    image: url(:/icons/arrow-right);
}

QTabBar QToolButton:disabled {
    background-color: #f1f5f9;
    border-color: #e2e8f0;
}

QPushButton:disabled, QPushButton#dangerButton:disabled, QPushButton#secondaryButton:disabled {
    background-color: #e2e8f0;
    color: #64748b;
    border-color: #cbd5e1;
}

QCheckBox::indicator:checked {
    image: url(:/icons/check);
}

QLabel#clockLabel {
    color: #0f172a;
    font-size: 18px;
    font-weight: 700;
    font-family: "SF Mono", "Menlo", monospace;
}

QLabel#dateLabel {
    color: #475569;
    font-size: 11px;
    font-weight: 400;
}

QLabel#zoneLabel {
    color: #475569;
    font-size: 10px;
}

QLabel#noVaultsLabel, QLabel#vaultCounter {
    color: #475569;
    font-size: 10px;
}

QWidget[tone="muted"] { color: #475569; }
QWidget[tone="accent"] { color: #0369a1; }
QWidget[tone="success"] { color: #15803d; }
QWidget[tone="warning"] { color: #b45309; }
QWidget[tone="danger"] { color: #b91c1c; }
QWidget[tone="violet"] { color: #6d28d9; }
)qss");

} // namespace

void StyleManager::apply(QApplication* app, Theme theme)
{
    currentTheme = theme;
    themeApplied = true;
    app->setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QFont font(QStringLiteral("Helvetica Neue"), 14);
    font.setHintingPreference(QFont::PreferNoHinting);
    app->setFont(font);
    app->setStyleSheet(theme == Light ? lightSheet : darkSheet);
    fitViewsEverywhere(app);
    recolourTonedItems();
}

StyleManager::Theme StyleManager::current()
{
    return currentTheme;
}

bool StyleManager::applied()
{
    return themeApplied;
}

QString StyleManager::darkStyleSheet()
{
    return darkSheet;
}

QString StyleManager::lightStyleSheet()
{
    return lightSheet;
}

QColor StyleManager::color(Tone tone)
{
    return color(tone, currentTheme);
}

QColor StyleManager::color(Tone tone, Theme theme)
{
    const ToneColours& colours = tones[tone];
    return QColor(QLatin1String(theme == Light ? colours.light : colours.dark));
}

void StyleManager::setTone(QWidget* widget, Tone tone)
{
    widget->setProperty("tone", QLatin1String(tones[tone].name));
    // The sheets match on the property only when the widget is polished.
    if (widget->testAttribute(Qt::WA_WState_Polished)) {
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }
}

void StyleManager::clearTone(QWidget* widget)
{
    if (!widget->property("tone").isValid())
        return;
    widget->setProperty("tone", QVariant());
    if (widget->testAttribute(Qt::WA_WState_Polished)) {
        widget->style()->unpolish(widget);
        widget->style()->polish(widget);
    }
}

void StyleManager::setItemTone(QTreeWidgetItem* item, int column, Tone tone)
{
    item->setData(column, toneRole, int(tone));
    item->setForeground(column, color(tone));
}
