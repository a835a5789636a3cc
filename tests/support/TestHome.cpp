#include "TestHome.h"

#include <QDir>
#include <QFile>

TestHome::TestHome()
    : dir(QDir::tempPath() + QStringLiteral("/ot-home-XXXXXX"))
    , oldHome(qgetenv("HOME"))
    , oldRuntime(qgetenv("XDG_RUNTIME_DIR"))
    , oldConfig(qgetenv("XDG_CONFIG_HOME"))
    , oldVolumes(qgetenv("OT_VOLUMES_ROOT"))
    , hadVolumes(qEnvironmentVariableIsSet("OT_VOLUMES_ROOT"))
{
    const QString runtime = dir.path() + QStringLiteral("/.runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                       | QFileDevice::ExeOwner);
    QDir().mkpath(dir.path() + QStringLiteral("/.config"));
    qputenv("HOME", QFile::encodeName(dir.path()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QStringLiteral("/.config")));
    qputenv("OT_VOLUMES_ROOT", QFile::encodeName(volumesRoot()));
}

TestHome::~TestHome()
{
    qputenv("HOME", oldHome);
    qputenv("XDG_RUNTIME_DIR", oldRuntime);
    qputenv("XDG_CONFIG_HOME", oldConfig);
    if (hadVolumes)
        qputenv("OT_VOLUMES_ROOT", oldVolumes);
    else
        qunsetenv("OT_VOLUMES_ROOT");
}

QString TestHome::volumesRoot() const
{
    return dir.path() + QStringLiteral("/Volumes");
}

QString TestHome::configDir() const
{
    return dir.path() + QStringLiteral("/Ostrevan/OstrevanTessaril");
}

ScopedEnv::ScopedEnv(const char* variable, const QByteArray& value)
    : name(variable)
    , oldValue(qgetenv(variable))
    , hadValue(qEnvironmentVariableIsSet(variable))
{
    qputenv(variable, value);
}

ScopedEnv::~ScopedEnv()
{
    if (hadValue)
        qputenv(name.constData(), oldValue);
    else
        qunsetenv(name.constData());
}
