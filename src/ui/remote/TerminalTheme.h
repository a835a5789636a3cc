#pragma once

#include <QColor>
#include <QString>

// A colour scheme of the terminal: view colours and the sixteen-colour palette
// (0-7 normal, 8-15 bright).
struct TerminalTheme
{
    QString name;
    QColor background;
    QColor foreground;
    QColor cursor;      // carried with the theme; the view does not draw it
    QColor selection;
    QColor ansi[16];
};
