#include "vault/TessarilVault.h"

#include <QDir>

TessarilVault::TessarilVault(QObject* parent)
    : QObject(parent)
{
}

QString TessarilVault::defaultPath()
{
    return QDir::homePath() + QStringLiteral("/Ostrevan/OstrevanTessaril/vault.qvimgv");
}

QString TessarilVault::fixedMountPoint()
{
    return QStringLiteral("/Volumes/Tessaril Vault");
}
