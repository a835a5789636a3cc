#pragma once

#include "core/ToolRunner.h"

#include <QString>

// The installed osslsigncode, found even when a test has put stand-ins first
// on PATH; empty when it is not installed.
QString realOsslsigncode();

// Checks a signature the way a Windows user's trust store would, with caFile
// as the only trusted CA.
ToolRunner::Result verifyAgainst(const QString& caFile, const QString& signedPath);
