#include "app/StyleManager.h"

#include <QApplication>
#include <QStyleFactory>

namespace {
StyleManager::Theme currentTheme = StyleManager::Dark;
}

void StyleManager::apply(QApplication& app, Theme theme)
{
    currentTheme = theme;
    app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
}

StyleManager::Theme StyleManager::current()
{
    return currentTheme;
}
