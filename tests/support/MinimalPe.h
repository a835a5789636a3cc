#pragma once

#include <QByteArray>
#include <QString>

// The smallest Windows executable osslsigncode accepts: a 32-bit console
// program of one code section that returns 0. Headers and section are
// aligned to 512 bytes, so the file is 1 KiB, with no signature and a zero
// checksum.
namespace MinimalPe {

QByteArray image();
bool write(const QString& path);

} // namespace MinimalPe
