#pragma once

#include <QByteArray>
#include <QStringList>

// What a reference terminal emulator (libvterm) shows for the same bytes, row
// by row: the judge of the terminal's own text. Its screen is tall enough
// that nothing scrolls away; each row loses its trailing blanks, and the
// empty rows at the end are left out.
QStringList referenceScreen(const QByteArray& bytes, int columns, int rows = 200);

// The same form for text with rows joined by line breaks: trailing blanks
// and the empty rows at the end go.
QStringList screenRows(const QString& text);
