#pragma once

#include <QObject>

class QApplication;

class StyleManager : public QObject
{
    Q_OBJECT
public:
    enum Theme { Dark = 0, Light = 1 };
    Q_ENUM(Theme)

    static void apply(QApplication& app, Theme theme);
    static Theme current();

Q_SIGNALS:
    void themeChanged(StyleManager::Theme theme);
};
