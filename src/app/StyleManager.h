#pragma once

#include <QObject>
#include <QString>

class QApplication;

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

Q_SIGNALS:
    void themeChanged(StyleManager::Theme theme);
};
