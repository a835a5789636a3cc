#include "core/SshDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace SshDirectory {

QString path()
{
    return QDir::homePath() + QStringLiteral("/.ssh");
}

QStringList privateKeyNames()
{
    // QDir matches name filters ignoring letter case unless told otherwise.
    QStringList names = QDir(path()).entryList({QStringLiteral("id_*")}, QDir::Files, QDir::NoSort);
    names.removeIf([](const QString& name) { return name.endsWith(QLatin1String(".pub")); });
    names.sort(Qt::CaseInsensitive);
    return names;
}

QStringList restrictPermissions()
{
    const QString dir = path();
    const QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QStringList failed;
    // A change refused on an existing path leaves it open to others and must
    // not pass for success.
    const auto restrict = [&failed](const QString& target, QFileDevice::Permissions permissions) {
        if (QFileInfo::exists(target) && !QFile::setPermissions(target, permissions))
            failed << target;
    };
    restrict(dir, ownerOnly | QFileDevice::ExeOwner);
    restrict(dir + QStringLiteral("/config"), ownerOnly);
    for (const QString& name : privateKeyNames())
        restrict(dir + QLatin1Char('/') + name, ownerOnly);
    return failed;
}

} // namespace SshDirectory
