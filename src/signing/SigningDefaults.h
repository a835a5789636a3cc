#pragma once

#include <QString>

// Defaults that the code signing page and the Preferences dialog share, so
// both offer the same value.
namespace SigningDefaults {

// A public RFC 3161 time-stamping service. A time stamp keeps a signature
// valid after the signing certificate expires.
inline QString timestampUrl()
{
    return QStringLiteral("https://timestamp.digicert.com");
}

} // namespace SigningDefaults
