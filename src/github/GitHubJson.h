#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

// Readers for members of GitHub's JSON replies. A reply is untrusted input:
// each reader takes a member only when it has exactly the expected JSON type
// and otherwise gives the empty value, so a null "name", a string "5" where a
// number belongs or a number too large for an int never leak into a record.
namespace GitHubJson {

// The member when it is a JSON string, else empty.
QString string(const QJsonObject& object, const QString& key);
// The member when it is a JSON number holding a whole number within the
// 32-bit signed range, else 0.
int integer(const QJsonObject& object, const QString& key);
// The member when it is a JSON number holding a whole number that a double
// carries exactly (within +-2^53), else 0: the service's ids outgrow 32 bits.
qint64 integer64(const QJsonObject& object, const QString& key);
// The member when it is a JSON boolean, else false.
bool boolean(const QJsonObject& object, const QString& key);
// The member when it is a JSON object, else an empty object.
QJsonObject object(const QJsonObject& object, const QString& key);
// The member when it is a JSON array, else an empty array.
QJsonArray array(const QJsonObject& object, const QString& key);

} // namespace GitHubJson
