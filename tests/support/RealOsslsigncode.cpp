#include "RealOsslsigncode.h"

#include <QStandardPaths>

QString realOsslsigncode()
{
    return QStandardPaths::findExecutable(QStringLiteral("osslsigncode"),
                                          {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin")});
}

ToolRunner::Result verifyAgainst(const QString& caFile, const QString& signedPath)
{
    return ToolRunner::run(realOsslsigncode(), {QStringLiteral("verify"), QStringLiteral("-CAfile"), caFile,
                                                QStringLiteral("-in"), signedPath});
}
