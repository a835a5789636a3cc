#include "vault/VaultAuthFile.h"

#include "core/PrivateFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>

QString VaultAuthFile::pathFor(const QString& vaultPath)
{
    return vaultPath + QStringLiteral(".qvauth");
}

VaultAuthInfo VaultAuthFile::read(const QString& vaultPath)
{
    VaultAuthInfo info;
    QFile file(pathFor(vaultPath));
    if (!file.open(QIODevice::ReadOnly))
        return info;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return info;
    const QJsonObject object = document.object();
    const QJsonValue type = object.value(QLatin1String("type"));
    if (!type.isString())
        return info;
    info.type = type.toString();
    info.salt = object.value(QLatin1String("salt")).toString();
    info.credentialId = object.value(QLatin1String("credential_id")).toString();
    info.challenge = object.value(QLatin1String("challenge")).toString();
    info.wrappedKey = object.value(QLatin1String("wrapped_key")).toString();
    info.wrapped = object.value(QLatin1String("wrapped")).toBool(false);
    const QJsonValue uv = object.value(QLatin1String("uv"));
    if (uv.isBool())
        info.uv = uv.toBool();
    return info;
}

bool VaultAuthFile::write(const QString& vaultPath, const QJsonObject& members, QString* error)
{
    // QJsonObject keeps its keys sorted, so Compact gives the stored form.
    return PrivateFiles::replaceOwnerOnly(pathFor(vaultPath), QJsonDocument(members).toJson(QJsonDocument::Compact),
                                          error);
}
