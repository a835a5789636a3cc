#pragma once

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

// What a benchmark sets before it creates its QApplication: the offscreen
// platform unless another is chosen, and a private runtime folder, which
// Qt wants owner-only. The folder lives as long as runtime.
inline void prepareBenchEnvironment(const QTemporaryDir& runtime)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                              | QFileDevice::ExeOwner);
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
}
