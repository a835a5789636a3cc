#include "vault/CloudFolders.h"

#include <QDir>

namespace CloudFolders {

QString firstMatchingDir(const QString& parent, const QString& pattern)
{
    // An empty QDir path would mean the working folder.
    if (parent.isEmpty())
        return QString();
    // Without QDir::CaseSensitive the name filter ignores case; without
    // QDir::Hidden dot folders stay out.
    const QStringList names = QDir(parent).entryList({pattern}, QDir::Dirs | QDir::NoDotAndDotDot,
                                                     QDir::Unsorted);
    if (names.isEmpty())
        return QString();
    return parent + QLatin1Char('/') + names.first();
}

} // namespace CloudFolders
