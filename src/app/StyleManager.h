#pragma once

#include <QColor>
#include <QObject>
#include <QString>

class QApplication;
class QTreeWidgetItem;
class QWidget;

// The program's two looks. Accent looks (section titles, status labels, danger
// and secondary buttons) are chosen by object name, which both sheets select
// on, so widgets never carry colours of their own for them.
class StyleManager : public QObject
{
    Q_OBJECT
public:
    enum Theme { Dark = 0, Light = 1 };
    Q_ENUM(Theme)

    // Fusion style, the application font and the theme's sheet, which replaces
    // any sheet set before.
    static void apply(QApplication* app, Theme theme);
    // The theme last passed to apply(); Dark before the first call.
    static Theme current();
    // Whether apply() has run in this process: before it, no look is in use.
    static bool applied();

    static QString darkStyleSheet();
    static QString lightStyleSheet();

    // Colours that carry a meaning in text (a hint, a state, an accent), each
    // with a value for either theme that reads at 4.5:1 or better on every
    // surface of that theme. Action is the background of the main push
    // buttons, under white text.
    enum Tone { Muted, Accent, Success, Warning, Danger, Violet, Action };
    Q_ENUM(Tone)

    // tone's colour in the theme in use (Dark before any apply), or in theme.
    static QColor color(Tone tone);
    static QColor color(Tone tone, Theme theme);
    // The text of widget (a label, a button, a check box) in tone's colour,
    // in whichever theme is in use: the sheets select on the widget's "tone"
    // property, so a theme switch recolours it. A colour the widget's own
    // sheet names still wins.
    static void setTone(QWidget* widget, Tone tone);
    // The widget's text in the sheet's own colour again.
    static void clearTone(QWidget* widget);
    // The text of one cell of a tree in tone's colour; apply() gives every
    // such cell the new theme's colour.
    static void setItemTone(QTreeWidgetItem* item, int column, Tone tone);

Q_SIGNALS:
    void themeChanged(StyleManager::Theme theme);
};
