#include "ui/remote/SiteStore.h"

#include "core/SecureZero.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>

namespace {

QString text(const QJsonObject& object, const char* key, const QString& missing = QString())
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : missing;
}

int whole(const QJsonObject& object, const char* key, int missing)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return missing;
    const qint64 number = value.toInteger(std::numeric_limits<qint64>::min());
    if (number == std::numeric_limits<qint64>::min() || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return missing;
    return int(number);
}

} // namespace

SiteStore::SiteStore(const QString& path, const QByteArray& key)
    : filePath(path)
    , passPhrase(key)
{
}

SiteStore::~SiteStore()
{
    secureZero(passPhrase);
}

EncryptedFile::Options SiteStore::options() const
{
    EncryptedFile::Options options;
    options.startTimeoutMs = startTimeoutMs;
    options.finishTimeoutMs = finishTimeoutMs;
    return options;
}

QList<SiteProfile> SiteStore::load()
{
    EncryptedFile::removeLeftovers(filePath);
    if (!QFileInfo::exists(filePath)) {
        onDisk = OnDisk::Absent;
        return {};
    }
    QByteArray plain;
    bool refused = false;
    reason.clear();
    const QString failure = EncryptedFile::read(filePath, passPhrase, &plain, options(), &refused);
    if (!failure.isEmpty()) {
        onDisk = refused ? OnDisk::Unreadable : OnDisk::NotRead;
        reason = refused ? QStringLiteral("it could not be decrypted with the key of this computer and login "
                                          "(the host name or the login name has changed since it was saved, "
                                          "or the file is damaged)")
                         : failure;
        return {};
    }
    bool isArray = false;
    const QList<SiteProfile> sites = fromJson(plain, &isArray);
    secureZero(plain);
    onDisk = isArray ? OnDisk::Read : OnDisk::Unreadable;
    if (!isArray)
        reason = QStringLiteral("it was decrypted, but holds no list of sites (the file is damaged)");
    return sites;
}

QString SiteStore::save(const QList<SiteProfile>& sites)
{
    if (onDisk == OnDisk::Unknown)
        load();
    if ((onDisk == OnDisk::NotRead || onDisk == OnDisk::Unreadable) && QFileInfo::exists(filePath))
        return QStringLiteral("the stored sites could not be read, so nothing was written over them");
    const QString failure = EncryptedFile::write(filePath, toJson(sites), passPhrase, options());
    if (failure.isEmpty())
        onDisk = OnDisk::Read;
    return failure;
}

QString SiteStore::setAside(QString* movedTo)
{
    const QString failure = EncryptedFile::setAside(filePath, movedTo);
    if (failure.isEmpty()) {
        onDisk = OnDisk::Absent;
        reason.clear();
    }
    return failure;
}

QByteArray SiteStore::toJson(const QList<SiteProfile>& sites)
{
    QJsonArray array;
    for (const SiteProfile& site : sites) {
        QJsonObject object;
        object.insert(QStringLiteral("name"), site.name);
        object.insert(QStringLiteral("group"), site.group);
        object.insert(QStringLiteral("hostname"), site.hostname);
        object.insert(QStringLiteral("user"), site.user);
        object.insert(QStringLiteral("port"), site.port);
        object.insert(QStringLiteral("auth"), site.auth);
        object.insert(QStringLiteral("keyPath"), site.keyPath);
        object.insert(QStringLiteral("remoteDir"), site.remoteDir);
        object.insert(QStringLiteral("localDir"), site.localDir);
        object.insert(QStringLiteral("protocol"), site.protocol);
        object.insert(QStringLiteral("color"), site.color);
        object.insert(QStringLiteral("notes"), site.notes);
        object.insert(QStringLiteral("compression"), site.compression);
        object.insert(QStringLiteral("keepAlive"), site.keepAlive);
        array.append(object);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

QList<SiteProfile> SiteStore::fromJson(const QByteArray& json, bool* isArray)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (isArray)
        *isArray = document.isArray();
    QList<SiteProfile> sites;
    const QJsonArray array = document.array();
    for (const QJsonValue& element : array) {
        // An element that is no object still counts, with every default.
        const QJsonObject object = element.toObject();
        SiteProfile site;
        site.name = text(object, "name");
        site.group = text(object, "group");
        site.hostname = text(object, "hostname");
        site.user = text(object, "user");
        site.port = whole(object, "port", 22);
        site.auth = text(object, "auth", QStringLiteral("key"));
        site.keyPath = text(object, "keyPath");
        site.remoteDir = text(object, "remoteDir");
        site.localDir = text(object, "localDir");
        site.protocol = text(object, "protocol", QStringLiteral("ssh"));
        site.color = text(object, "color");
        site.notes = text(object, "notes");
        const QJsonValue compression = object.value(QStringLiteral("compression"));
        site.compression = compression.isBool() && compression.toBool();
        site.keepAlive = whole(object, "keepAlive", 60);
        sites << site;
    }
    return sites;
}
