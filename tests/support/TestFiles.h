#pragma once

#include <QByteArray>
#include <QString>

// Plain file access for tests that check what a program wrote or hand it a
// prepared file.

// The whole file; empty when it cannot be read.
QByteArray readFile(const QString& path);

// The permission bits of a file or folder (0600, 0700...); -1 when it is missing.
int permissionBits(const QString& path);

// Writes data as the whole file, making its folder first; false on failure.
bool writeFile(const QString& path, const QByteArray& data);
