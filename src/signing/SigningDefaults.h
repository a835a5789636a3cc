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

// The same service without TLS, which Preferences offers as its default:
// the service signs its RFC 3161 replies, so they need no secure channel.
inline QString plainTimestampUrl()
{
    return QStringLiteral("http://timestamp.digicert.com");
}

} // namespace SigningDefaults
