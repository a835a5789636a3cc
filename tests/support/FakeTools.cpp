#include "FakeTools.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <QStandardPaths>

FakeTools::FakeTools(bool keepSystemPath)
    : dir(QDir::tempPath() + QStringLiteral("/ot-fakes-XXXXXX"))
    , oldPath(qgetenv("PATH"))
    , oldState(qgetenv("FAKE_STATE"))
    , oldLib(qgetenv("FAKE_LIB"))
{
    QDir().mkpath(binDir());
    QDir().mkpath(stateDir());
    QByteArray path = QFile::encodeName(binDir());
    if (keepSystemPath)
        path += ':' + oldPath;
    qputenv("PATH", path);
    qputenv("FAKE_STATE", QFile::encodeName(stateDir()));
    // Spares every stand-in call the look-up of its own folder.
    qputenv("FAKE_LIB", OT_FAKES_DIR "/lib");
}

FakeTools::~FakeTools()
{
    qputenv("PATH", oldPath);
    qputenv("FAKE_STATE", oldState);
    qputenv("FAKE_LIB", oldLib);
}

QString FakeTools::binDir() const
{
    return dir.path() + QStringLiteral("/bin");
}

QString FakeTools::stateDir() const
{
    return dir.path() + QStringLiteral("/state");
}

void FakeTools::install(const QString& name, const QString& fake)
{
    const QString target = QStringLiteral(OT_FAKES_DIR "/") + fake;
    const QString link = binDir() + QLatin1Char('/') + name;
    QFile::remove(link);
    QFile::link(target, link);
}

void FakeTools::linkReal(const QString& name)
{
    const QString real = QStandardPaths::findExecutable(
        name, {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin"), QStringLiteral("/bin"),
               QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (!real.isEmpty())
        QFile::link(real, binDir() + QLatin1Char('/') + name);
}

QString FakeTools::stateFile(const QString& name, int call, const QString& suffix) const
{
    if (call > 0)
        return QStringLiteral("%1/%2.%3.%4").arg(stateDir(), name).arg(call).arg(suffix);
    return QStringLiteral("%1/%2.%3").arg(stateDir(), name, suffix);
}

void FakeTools::write(const QString& path, const QByteArray& data) const
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(data);
}

void FakeTools::answer(const QString& name, const QByteArray& out, int exitCode,
                       const QByteArray& err, int call)
{
    write(stateFile(name, call, QStringLiteral("out")), out);
    write(stateFile(name, call, QStringLiteral("err")), err);
    write(stateFile(name, call, QStringLiteral("code")), QByteArray::number(exitCode));
}

void FakeTools::setSleep(const QString& name, double seconds, int call)
{
    write(stateFile(name, call, QStringLiteral("sleep")), QByteArray::number(seconds));
}

void FakeTools::setHook(const QString& name, const QString& bash, int call)
{
    write(stateFile(name, call, QStringLiteral("sh")), bash.toUtf8());
}

void FakeTools::recordReal(const QString& name, const QString& realProgram)
{
    install(name);
    setHook(name, QStringLiteral("exec '%1' \"$@\" < \"$FAKE_STDIN\"").arg(realProgram));
}

int FakeTools::callCount(const QString& name) const
{
    // A stand-in running now rewrites its count in place: a read between its
    // truncation and its write sees nothing, and is made again.
    QFile file(stateDir() + QLatin1Char('/') + name + QStringLiteral(".count"));
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray text = file.readAll().trimmed();
        file.close();
        if (!text.isEmpty())
            return text.toInt();
        QThread::msleep(1);
    }
    return 0;
}

QStringList FakeTools::arguments(const QString& name, int call) const
{
    if (call < 0)
        call = callCount(name);
    QFile file(stateFile(name, call, QStringLiteral("args")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList args;
    const QList<QByteArray> parts = file.readAll().split('\0');
    for (int i = 0; i + 1 < parts.size(); ++i)
        args << QString::fromUtf8(parts.at(i));
    return args;
}

QByteArray FakeTools::standardInput(const QString& name, int call) const
{
    if (call < 0)
        call = callCount(name);
    QFile file(stateFile(name, call, QStringLiteral("stdin")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void FakeTools::reset()
{
    QDir state(stateDir());
    state.removeRecursively();
    QDir().mkpath(stateDir());
}
