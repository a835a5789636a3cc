#include "github/GitHubJson.h"

#include <QJsonValue>

#include <cmath>
#include <limits>

namespace GitHubJson {

QString string(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

int integer(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number
        || number < double(std::numeric_limits<int>::min())
        || number > double(std::numeric_limits<int>::max()))
        return 0;
    return int(number);
}

qint64 integer64(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    constexpr double exactLimit = 9007199254740992.0; // 2^53
    if (!std::isfinite(number) || std::trunc(number) != number || number < -exactLimit || number > exactLimit)
        return 0;
    return qint64(number);
}

bool boolean(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    return value.isBool() ? value.toBool() : false;
}

QJsonObject object(const QJsonObject& object, const QString& key)
{
    return object.value(key).toObject();
}

QJsonArray array(const QJsonObject& object, const QString& key)
{
    return object.value(key).toArray();
}

} // namespace GitHubJson
