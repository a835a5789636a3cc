#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMetaType>
#include <QString>

// The records GitHubClient hands to its listeners, each filled from one JSON
// object of a reply by the readers of GitHubJson: a member that is missing or
// of another type leaves the field at its default.

// The authenticated user.
struct GitHubUser {
    QString login;
    QString name;
    QString email;
    QString avatarUrl;
    int publicRepos = 0;
    int privateRepos = 0;
    QString plan;

    static GitHubUser fromJson(const QJsonObject& object);
};

// One of the user's repositories.
struct GitHubRepo {
    QString fullName;       // "owner/repo"
    QString name;
    QString owner;
    bool isPrivate = false;
    QString defaultBranch;
    QString language;
    int stars = 0;

    static GitHubRepo fromJson(const QJsonObject& object);
};

// One SSH authentication key of the account.
struct GitHubSshKey {
    qint64 id = 0;
    QString title;
    QString key;            // the public key line
    QString createdAt;      // the time stamp text as sent

    static GitHubSshKey fromJson(const QJsonObject& object);
};

// One Actions secret of a repository: the service never returns values.
struct GitHubSecret {
    QString name;
    QString createdAt;
    QString updatedAt;

    static GitHubSecret fromJson(const QJsonObject& object);
};

// One Actions variable of a repository.
struct GitHubVariable {
    QString name;
    QString value;
    QString createdAt;
    QString updatedAt;

    static GitHubVariable fromJson(const QJsonObject& object);
};

// Every element becomes one record, in the server's order; an element that is
// not an object gives a record of empty fields rather than being skipped.
template <typename Record>
QList<Record> recordsFromJson(const QJsonArray& array)
{
    QList<Record> records;
    records.reserve(array.size());
    for (const QJsonValue& element : array)
        records << Record::fromJson(element.toObject());
    return records;
}

Q_DECLARE_METATYPE(GitHubUser)
Q_DECLARE_METATYPE(GitHubRepo)
Q_DECLARE_METATYPE(GitHubSshKey)
Q_DECLARE_METATYPE(GitHubSecret)
Q_DECLARE_METATYPE(GitHubVariable)
