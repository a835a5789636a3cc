#include "github/GitHubRecords.h"

#include "github/GitHubJson.h"

using namespace GitHubJson;

GitHubUser GitHubUser::fromJson(const QJsonObject& object)
{
    GitHubUser user;
    user.login = string(object, QStringLiteral("login"));
    user.name = string(object, QStringLiteral("name"));
    user.email = string(object, QStringLiteral("email"));
    user.avatarUrl = string(object, QStringLiteral("avatar_url"));
    user.publicRepos = integer(object, QStringLiteral("public_repos"));
    user.privateRepos = integer(object, QStringLiteral("total_private_repos"));
    user.plan = string(GitHubJson::object(object, QStringLiteral("plan")), QStringLiteral("name"));
    return user;
}

GitHubRepo GitHubRepo::fromJson(const QJsonObject& object)
{
    GitHubRepo repo;
    repo.fullName = string(object, QStringLiteral("full_name"));
    repo.name = string(object, QStringLiteral("name"));
    repo.owner = string(GitHubJson::object(object, QStringLiteral("owner")), QStringLiteral("login"));
    repo.isPrivate = boolean(object, QStringLiteral("private"));
    repo.defaultBranch = string(object, QStringLiteral("default_branch"));
    repo.language = string(object, QStringLiteral("language"));
    repo.stars = integer(object, QStringLiteral("stargazers_count"));
    return repo;
}

GitHubSshKey GitHubSshKey::fromJson(const QJsonObject& object)
{
    GitHubSshKey key;
    key.id = integer64(object, QStringLiteral("id"));
    key.title = string(object, QStringLiteral("title"));
    key.key = string(object, QStringLiteral("key"));
    key.createdAt = string(object, QStringLiteral("created_at"));
    return key;
}

GitHubSecret GitHubSecret::fromJson(const QJsonObject& object)
{
    GitHubSecret secret;
    secret.name = string(object, QStringLiteral("name"));
    secret.createdAt = string(object, QStringLiteral("created_at"));
    secret.updatedAt = string(object, QStringLiteral("updated_at"));
    return secret;
}

GitHubVariable GitHubVariable::fromJson(const QJsonObject& object)
{
    GitHubVariable variable;
    variable.name = string(object, QStringLiteral("name"));
    variable.value = string(object, QStringLiteral("value"));
    variable.createdAt = string(object, QStringLiteral("created_at"));
    variable.updatedAt = string(object, QStringLiteral("updated_at"));
    return variable;
}
