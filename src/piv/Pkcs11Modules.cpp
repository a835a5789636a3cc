#include "piv/Pkcs11Modules.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace Pkcs11Modules {

namespace {

QString rooted(const QString& root, const QString& path)
{
    if (root.isEmpty() || root == QLatin1String("/"))
        return path;
    QString prefix = root;
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    return prefix + path;
}

} // namespace

Search openscModule()
{
    return Search{
        {QStringLiteral("/opt/homebrew/lib/opensc-pkcs11.so"),
         QStringLiteral("/opt/homebrew/Cellar/opensc/0.26.1/lib/opensc-pkcs11.so"),
         QStringLiteral("/usr/local/lib/opensc-pkcs11.so"),
         QStringLiteral("/usr/lib/opensc-pkcs11.so"),
         QStringLiteral("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"),
         QStringLiteral("/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so")},
        QStringLiteral("/opt/homebrew/Cellar/opensc"),
        QStringLiteral("/lib/opensc-pkcs11.so")};
}

Search opensslProvider()
{
    return Search{
        {QStringLiteral("/opt/homebrew/lib/ossl-modules/pkcs11prov.dylib"),
         QStringLiteral("/opt/homebrew/Cellar/libp11/0.4.12_1/lib/ossl-modules/pkcs11prov.dylib"),
         QStringLiteral("/usr/local/lib/ossl-modules/pkcs11prov.dylib"),
         QStringLiteral("/usr/lib/ossl-modules/pkcs11prov.dylib"),
         QStringLiteral("/usr/lib/x86_64-linux-gnu/ossl-modules/pkcs11prov.so")},
        QStringLiteral("/opt/homebrew/Cellar/libp11"),
        QStringLiteral("/lib/ossl-modules/pkcs11prov.dylib")};
}

QString findFile(const QStringList& candidates)
{
    for (const QString& candidate : candidates) {
        if (!candidate.contains(QLatin1Char('*'))) {
            if (QFile::exists(candidate))
                return candidate;
            continue;
        }
        const qsizetype slash = candidate.lastIndexOf(QLatin1Char('/'));
        const QString folder = slash < 0 ? QStringLiteral(".") : candidate.left(slash);
        const QString pattern = candidate.mid(slash + 1);
        const QDir dir(folder);
        if (!dir.exists())
            continue;
        const QStringList names = dir.entryList({pattern}, QDir::Files, QDir::Unsorted);
        if (!names.isEmpty())
            return dir.filePath(names.first());
    }
    return QString();
}

QStringList versionFolders(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    // Compared as text, not as versions: a "0.9.0" left behind by an old
    // install is tried before "0.26.1".
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseSensitive) > 0;
    });
    return names;
}

QString find(const Search& search, const QString& root)
{
    QStringList candidates;
    candidates.reserve(search.candidates.size());
    for (const QString& candidate : search.candidates)
        candidates << rooted(root, candidate);
    const QString fixed = findFile(candidates);
    if (!fixed.isEmpty() || search.scanFolder.isEmpty())
        return fixed;

    const QString folder = rooted(root, search.scanFolder);
    if (!QDir(folder).exists())
        return QString();
    for (const QString& version : versionFolders(folder)) {
        const QString candidate = folder + QLatin1Char('/') + version + search.scanSuffix;
        if (QFile::exists(candidate))
            return candidate;
    }
    return QString();
}

} // namespace Pkcs11Modules
