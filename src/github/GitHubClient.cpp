#include "github/GitHubClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

QString& baseUrlForTesting()
{
    static QString url;
    return url;
}

// A header that is absent or not a base-10 number reads as 0.
int headerNumber(const QNetworkReply* reply, const QByteArray& name)
{
    bool ok = false;
    const int value = reply->rawHeader(name).toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace

GitHubClient::GitHubClient(QObject* parent)
    : QObject(parent)
    , m_network(new QNetworkAccessManager(this))
    , m_baseUrl(baseUrlForTesting().isEmpty() ? QString::fromLatin1(defaultBaseUrl)
                                              : baseUrlForTesting())
{
}

// Pending replies die with the network manager when QObject's destructor
// deletes the children; by then the handlers' connections (whose context is
// this client) are already cut, so none of them runs.
GitHubClient::~GitHubClient() = default;

void GitHubClient::setBaseUrlForTesting(const QString& url)
{
    baseUrlForTesting() = url;
}

void GitHubClient::setToken(const QString& token)
{
    m_token = token;
}

bool GitHubClient::isAuthenticated() const
{
    return !m_token.isEmpty();
}

QNetworkReply* GitHubClient::send(const QByteArray& verb, const QString& path, const QJsonObject* body)
{
    QNetworkRequest request(QUrl(m_baseUrl + path, QUrl::TolerantMode));
    request.setRawHeader("Authorization", "Bearer " + m_token.toUtf8());
    request.setRawHeader("Accept", "application/vnd.github+json");
    request.setRawHeader("X-GitHub-Api-Version", "2022-11-28");
    request.setRawHeader("User-Agent", "OstrevanTessaril/1.0");
    // Without it a stalled transfer would keep its handler forever.
    request.setTransferTimeout(transferTimeoutMs);
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        const QByteArray data = QJsonDocument(*body).toJson(QJsonDocument::Indented);
        return verb == "PUT" ? m_network->put(request, data) : m_network->post(request, data);
    }
    return verb == "DELETE" ? m_network->deleteResource(request) : m_network->get(request);
}

QNetworkReply* GitHubClient::apiGet(const QString& path)
{
    return send("GET", path, nullptr);
}

QNetworkReply* GitHubClient::apiPost(const QString& path, const QJsonObject& body)
{
    return send("POST", path, &body);
}

QNetworkReply* GitHubClient::apiPut(const QString& path, const QJsonObject& body)
{
    return send("PUT", path, &body);
}

QNetworkReply* GitHubClient::apiDelete(const QString& path)
{
    return send("DELETE", path, nullptr);
}

void GitHubClient::handleReply(QNetworkReply* reply, const QString& operation, const Callback& callback)
{
    connect(reply, &QNetworkReply::finished, this, [this, reply, operation, callback] {
        const int remaining = headerNumber(reply, "X-RateLimit-Remaining");
        const int limit = headerNumber(reply, "X-RateLimit-Limit");
        if (limit >= 1)
            emit rateLimitInfo(remaining, limit,
                               QString::fromUtf8(reply->rawHeader("X-RateLimit-Reset")));

        // An aborted transfer (a time-out) has closed its device: nothing to read.
        const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
        if (reply->error() != QNetworkReply::NoError) {
            // HTTP statuses of 400 and above arrive here too, usually with
            // GitHub's own "message"; anything else gets the network layer's text.
            const QJsonValue message =
                QJsonDocument::fromJson(body).object().value(QStringLiteral("message"));
            emit apiError(operation, message.isString() ? message.toString() : reply->errorString());
            reply->deleteLater();
            return;
        }
        const QJsonDocument document = QJsonDocument::fromJson(body);
        if (callback)
            callback(document);
        reply->deleteLater();
    });
}

void GitHubClient::fetchUser()
{
    handleReply(apiGet(QStringLiteral("/user")), QStringLiteral("Fetch User"),
                [this](const QJsonDocument& document) {
                    const GitHubUser user = GitHubUser::fromJson(document.object());
                    emit userFetched(user);
                    emit operationComplete(QStringLiteral("Fetch User"), true, user.login);
                });
}

void GitHubClient::fetchRepos()
{
    // One page of at most 100, most recently updated first; no further pages.
    handleReply(apiGet(QStringLiteral("/user/repos?per_page=100&sort=updated")),
                QStringLiteral("Fetch Repos"), [this](const QJsonDocument& document) {
                    const QList<GitHubRepo> repos = recordsFromJson<GitHubRepo>(document.array());
                    emit reposFetched(repos);
                    emit operationComplete(QStringLiteral("Fetch Repos"), true,
                                           QStringLiteral("%1 repos").arg(repos.size()));
                });
}

void GitHubClient::listSshKeys()
{
    handleReply(apiGet(QStringLiteral("/user/keys")), QStringLiteral("List SSH Keys"),
                [this](const QJsonDocument& document) {
                    const QList<GitHubSshKey> keys = recordsFromJson<GitHubSshKey>(document.array());
                    emit sshKeysFetched(keys);
                    emit operationComplete(QStringLiteral("List SSH Keys"), true,
                                           QStringLiteral("%1 keys").arg(keys.size()));
                });
}

void GitHubClient::addSshKey(const QString& title, const QString& key)
{
    const QJsonObject body{{QStringLiteral("title"), title}, {QStringLiteral("key"), key}};
    handleReply(apiPost(QStringLiteral("/user/keys"), body), QStringLiteral("Add SSH Key"),
                [this, title](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Add SSH Key"), true, title);
                });
}

void GitHubClient::deleteSshKey(int id)
{
    handleReply(apiDelete(QStringLiteral("/user/keys/%1").arg(id)), QStringLiteral("Delete SSH Key"),
                [this, id](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Delete SSH Key"), true, QString::number(id));
                });
}

void GitHubClient::listGpgKeys()
{
    handleReply(apiGet(QStringLiteral("/user/gpg_keys")), QStringLiteral("List GPG Keys"),
                [this](const QJsonDocument& document) {
                    emit operationComplete(QStringLiteral("List GPG Keys"), true,
                                           QStringLiteral("%1 keys").arg(document.array().size()));
                });
}

void GitHubClient::addGpgKey(const QString& armoredKey)
{
    const QJsonObject body{{QStringLiteral("armored_public_key"), armoredKey}};
    handleReply(apiPost(QStringLiteral("/user/gpg_keys"), body), QStringLiteral("Add GPG Key"),
                [this](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Add GPG Key"), true,
                                           QStringLiteral("Key added"));
                });
}
