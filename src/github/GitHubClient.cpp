#include "github/GitHubClient.h"

#include "github/GitHubJson.h"
#include "github/GitHubText.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSet>
#include <QTimer>
#include <QUrl>

namespace {

const char* const kTimedOutProperty = "ot_timedOut";
const char* const kTooLargeProperty = "ot_tooLarge";
const char* const kNotAList = "the server's answer was not a list";
using GitHubText::listDetail;
using GitHubText::seconds;

const QString kFetchUser = QStringLiteral("Fetch User");

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

int httpStatus(const QNetworkReply* reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool sameOrigin(const QUrl& a, const QUrl& b)
{
    const int defaultPort = a.scheme() == QLatin1String("http") ? 80 : 443;
    return a.scheme() == b.scheme() && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && a.port(defaultPort) == b.port(defaultPort);
}

// "host" or "host:port", as a user would recognise the server.
QString serverName(const QUrl& url)
{
    return url.port() < 0 ? url.host() : QStringLiteral("%1:%2").arg(url.host(), QString::number(url.port()));
}

// The target of the page link whose rel names "next", resolved against the
// page it came with; invalid without one.
QUrl nextPageLink(const QNetworkReply* reply)
{
    static const QRegularExpression link(QStringLiteral(R"(<([^>]*)>\s*((?:;[^,<]*)*))"));
    static const QRegularExpression nextRel(QStringLiteral(R"(;\s*rel\s*=\s*"?[^";]*\bnext\b)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QString header = QString::fromUtf8(reply->rawHeader("Link"));
    for (auto it = link.globalMatch(header); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        if (nextRel.match(match.captured(2)).hasMatch())
            return reply->url().resolved(QUrl(match.captured(1), QUrl::TolerantMode));
    }
    return {};
}

QString megabytes(qint64 bytes)
{
    return bytes % (1024 * 1024) == 0 ? QString::number(bytes / (1024 * 1024))
                                       : QString::number(double(bytes) / (1024 * 1024), 'f', 1);
}

// When a refused request may be tried again, from the Retry-After header:
// " (try again in N s)" or " (try again at HH:mm:ss local time)"; empty
// without a usable one.
QString retryAfter(const QNetworkReply* reply)
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    if (value.isEmpty())
        return QString();
    bool ok = false;
    const qint64 delay = value.toLongLong(&ok, 10);
    if (ok && delay >= 0)
        return QStringLiteral(" (try again in %1 s)").arg(delay);
    const QDateTime at = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
    if (!at.isValid())
        return QString();
    return QStringLiteral(" (try again at %1 local time)").arg(at.toLocalTime().toString(QStringLiteral("HH:mm:ss")));
}

// What went wrong, in words that say what to do next: the service's message,
// each of its validation errors, a server fault as such, the local time a
// rate limit ends.
QString failureText(const QNetworkReply* reply, const QByteArray& body, int timeoutMs, qint64 maxBytes)
{
    if (reply->property(kTimedOutProperty).toBool())
        return QStringLiteral("timed out after %1 s").arg(seconds(timeoutMs));
    if (reply->property(kTooLargeProperty).toBool())
        return QStringLiteral("reply too large (more than %1 MB); the request was stopped").arg(megabytes(maxBytes));
    if (reply->error() == QNetworkReply::InsecureRedirectError
        || reply->error() == QNetworkReply::TooManyRedirectsError) {
        const QUrl origin = reply->request().url();
        const QUrl target = reply->url().resolved(QUrl::fromEncoded(reply->rawHeader("Location")));
        if (target.isValid() && !target.host().isEmpty() && !sameOrigin(target, origin)) {
            if (target.host().compare(origin.host(), Qt::CaseInsensitive) == 0 && target.scheme() != origin.scheme())
                return QStringLiteral("refused a redirect from %1 to %2 on the same host (%3); the token was not "
                                      "sent there")
                    .arg(origin.scheme(), target.scheme(), serverName(target));
            return QStringLiteral("refused a redirect to another server (%1); the token was not sent there")
                .arg(serverName(target));
        }
    }
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QJsonValue messageValue = object.value(QStringLiteral("message"));
    const QString message = messageValue.isString() ? messageValue.toString() : QString();
    const int status = httpStatus(reply);

    if (status == 422) {
        QStringList details;
        for (const QJsonValue& error : GitHubJson::array(object, QStringLiteral("errors"))) {
            if (error.isString())
                details << error.toString();
            else if (!GitHubJson::string(error.toObject(), QStringLiteral("message")).isEmpty())
                details << GitHubJson::string(error.toObject(), QStringLiteral("message"));
            else if (!GitHubJson::string(error.toObject(), QStringLiteral("code")).isEmpty())
                details << QStringLiteral("%1 %2").arg(GitHubJson::string(error.toObject(), QStringLiteral("field")),
                                                       GitHubJson::string(error.toObject(), QStringLiteral("code")))
                               .trimmed();
        }
        const QString head = message.isEmpty() ? QStringLiteral("Validation Failed") : message;
        return details.isEmpty() ? head : head + QStringLiteral(": ") + details.join(QStringLiteral("; "));
    }
    // A secondary rate limit says when to come back in Retry-After.
    if ((status == 403 || status == 429) && !retryAfter(reply).isEmpty())
        return (message.isEmpty() ? QStringLiteral("rate limited") : message) + retryAfter(reply);
    if ((status == 403 || status == 429) && reply->hasRawHeader("X-RateLimit-Remaining")
        && headerNumber(reply, "X-RateLimit-Remaining") == 0) {
        bool ok = false;
        const qint64 reset = reply->rawHeader("X-RateLimit-Reset").toLongLong(&ok);
        const QString head = message.isEmpty() ? QStringLiteral("API rate limit exceeded") : message;
        if (!ok)
            return head;
        return QStringLiteral("%1 (the limit resets at %2 local time)")
            .arg(head, QDateTime::fromSecsSinceEpoch(reset).toLocalTime().toString(QStringLiteral("HH:mm:ss")));
    }
    if (status >= 500) {
        const QString reason =
            message.isEmpty() ? reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString() : message;
        return QStringLiteral("GitHub server error %1%2; try again later")
            .arg(QString::number(status), reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + ')');
    }
    return message.isEmpty() ? reply->errorString() : message;
}

// A user answer counts only as a JSON object naming its login.
bool userFromReply(const QJsonDocument& document, GitHubUser* user, QString* error)
{
    *user = GitHubUser::fromJson(document.object());
    if (document.isObject() && !user->login.isEmpty())
        return true;
    *error = QStringLiteral("the server's answer names no GitHub account (expected a JSON object with a login)");
    return false;
}

} // namespace

struct GitHubClient::PageRun {
    QString operation;
    QString arrayKey;
    PageCallback done;
    QJsonArray items;
    int pages = 0;
    qint64 total = -1;   // when the pages say so ("total_count")
    // Every page asked for: a next link back to one of them would go round
    // for ever, listing the same rows again.
    QSet<QUrl> asked;
};

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
    ++m_tokenGeneration;
}

bool GitHubClient::isAuthenticated() const
{
    return !m_token.isEmpty();
}

QNetworkReply* GitHubClient::sendTo(const QByteArray& verb, const QUrl& url, const QJsonObject* body,
                                    const QString& token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setRawHeader("Accept", "application/vnd.github+json");
    request.setRawHeader("X-GitHub-Api-Version", "2022-11-28");
    request.setRawHeader("User-Agent", "OstrevanTessaril/1.0");
    // The Authorization header would travel along with a redirect: only one
    // to the same server is followed, any other fails the request.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    if (body) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
        const QByteArray data = QJsonDocument(*body).toJson(QJsonDocument::Indented);
        return verb == "PUT" ? m_network->put(request, data) : m_network->post(request, data);
    }
    return verb == "DELETE" ? m_network->deleteResource(request) : m_network->get(request);
}

QNetworkReply* GitHubClient::send(const QByteArray& verb, const QString& path, const QJsonObject* body)
{
    return sendTo(verb, QUrl(m_baseUrl + path, QUrl::TolerantMode), body, m_token);
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
    // A read fills the views of the account it was made for; a change is the
    // user's, and its outcome is told whoever is connected by then.
    const bool read = reply->operation() == QNetworkAccessManager::GetOperation;
    watch(reply, operation, read, [callback](const QJsonDocument& document, QNetworkReply*) {
        if (callback)
            callback(document);
    });
}

void GitHubClient::watch(QNetworkReply* reply, const QString& operation, bool tiedToToken,
                         const ReplyHandler& onSuccess, const ErrorHandler& onError, bool tellErrors)
{
    // An inactivity limit alone would let a body trickled a byte at a time
    // hold the request for ever: the deadline counts from the start.
    const int timeoutMs = transferTimeoutMs;
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty(kTimedOutProperty, true);
        reply->abort();
    });
    deadline->start(timeoutMs);

    // The body is taken as it arrives, so that one larger than any answer of
    // the service is stopped at the limit instead of piling up in the reply.
    const qint64 maxBytes = maxReplyBytes;
    auto body = std::make_shared<QByteArray>();
    const auto tooLarge = [reply] {
        reply->setProperty(kTooLargeProperty, true);
        reply->abort();
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, maxBytes, tooLarge] {
        if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maxBytes)
            tooLarge();
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, body, maxBytes, tooLarge] {
        if (reply->property(kTooLargeProperty).toBool())
            return;
        *body += reply->read(maxBytes + 1 - body->size());
        if (body->size() > maxBytes)
            tooLarge();
    });

    const quint64 generation = m_tokenGeneration;
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, operation, tiedToToken, generation, timeoutMs, maxBytes, body, onSuccess, onError,
             tellErrors] {
        reply->deleteLater();
        if (tiedToToken && generation != m_tokenGeneration)
            return;   // meant for an account that is no longer connected
        const int remaining = headerNumber(reply, "X-RateLimit-Remaining");
        const int limit = headerNumber(reply, "X-RateLimit-Limit");
        if (limit >= 1)
            emit rateLimitInfo(remaining, limit,
                               QString::fromUtf8(reply->rawHeader("X-RateLimit-Reset")));

        const bool stopped =
            reply->property(kTimedOutProperty).toBool() || reply->property(kTooLargeProperty).toBool();
        // An aborted transfer has closed its device: nothing more to read.
        if (!stopped && reply->isOpen())
            *body += reply->read(maxBytes + 1 - body->size());
        if (!stopped && body->size() > maxBytes)
            reply->setProperty(kTooLargeProperty, true);
        if (reply->error() != QNetworkReply::NoError || reply->property(kTimedOutProperty).toBool()
            || reply->property(kTooLargeProperty).toBool()) {
            const QString error = failureText(reply, *body, timeoutMs, maxBytes);
            if (tellErrors)
                emit apiError(operation, error);
            if (onError)
                onError(error, httpStatus(reply));
            return;
        }
        if (onSuccess)
            onSuccess(QJsonDocument::fromJson(*body), reply);
    });
}

void GitHubClient::getAllPages(const QString& path, const QString& operation, const QString& arrayKey,
                               const PageCallback& done)
{
    auto run = std::make_shared<PageRun>();
    run->operation = operation;
    run->arrayKey = arrayKey;
    run->done = done;
    QString first = path;
    if (!path.contains(QLatin1String("per_page=")))
        first += (path.contains(QLatin1Char('?')) ? QLatin1Char('&') : QLatin1Char('?')) + QStringLiteral("per_page=100");
    getPage(QUrl(m_baseUrl + first, QUrl::TolerantMode), run);
}

void GitHubClient::getPage(const QUrl& url, const std::shared_ptr<PageRun>& run)
{
    run->asked.insert(url.adjusted(QUrl::NormalizePathSegments));
    watch(sendTo("GET", url, nullptr, m_token), run->operation, true,
          [this, run](const QJsonDocument& document, QNetworkReply* reply) {
              ++run->pages;
              // A page cut short or of another shape is no list, and never an
              // empty one: that would empty the views as if nothing were there.
              QJsonArray page;
              if (run->arrayKey.isEmpty()) {
                  if (!document.isArray()) {
                      emit apiError(run->operation, QString::fromLatin1(kNotAList));
                      return;
                  }
                  page = document.array();
              } else {
                  const QJsonObject object = document.object();
                  const QJsonValue member = object.value(run->arrayKey);
                  if (!document.isObject() || !(member.isUndefined() || member.isArray())) {
                      emit apiError(run->operation, QString::fromLatin1(kNotAList));
                      return;
                  }
                  page = member.toArray();
                  if (run->pages == 1 && object.value(QStringLiteral("total_count")).isDouble())
                      run->total = GitHubJson::integer64(object, QStringLiteral("total_count"));
              }
              for (const QJsonValue& element : std::as_const(page))
                  run->items.append(element);

              const QUrl next = nextPageLink(reply);
              if (!next.isValid() || page.isEmpty()) {
                  run->done(run->items, run->total, QString());
                  return;
              }
              if (run->pages >= maxListPages) {
                  const qint64 shown = run->items.size();
                  const QString total = run->total > shown ? QString::number(run->total)
                                                           : QStringLiteral("more than %1").arg(shown);
                  run->done(run->items, run->total, QStringLiteral("%1 of %2 shown").arg(QString::number(shown), total));
                  return;
              }
              if (run->asked.contains(next.adjusted(QUrl::NormalizePathSegments))) {
                  emit apiError(run->operation,
                                QStringLiteral("the server's next page is one already listed (%1 pages in); the "
                                               "list was stopped")
                                    .arg(run->pages));
                  return;
              }
              // The next page goes out with the token too: only to this server.
              if (!sameOrigin(next, QUrl(m_baseUrl))) {
                  emit apiError(run->operation,
                                QStringLiteral("refused a next page on another server (%1); the token was not "
                                               "sent there")
                                    .arg(serverName(next)));
                  return;
              }
              getPage(next, run);
          });
}

bool GitHubClient::valueTooLong(const QString& operation, const QString& what, const QString& value)
{
    const qsizetype bytes = value.toUtf8().size();
    if (bytes <= maxValueBytes)
        return false;
    emit apiError(operation, QStringLiteral("%1 is %2 bytes; GitHub takes at most %3 bytes (48 KB). Nothing was sent.")
                                 .arg(what, QString::number(bytes), QString::number(maxValueBytes)));
    return true;
}

void GitHubClient::checkToken(const QString& token, const TokenCheck& done)
{
    // Quiet on failure: the check's own answer is the one line the user needs.
    QNetworkReply* reply =
        sendTo("GET", QUrl(m_baseUrl + QStringLiteral("/user"), QUrl::TolerantMode), nullptr, token);
    watch(reply, kFetchUser, false,
          [this, done](const QJsonDocument& document, QNetworkReply* reply) {
              GitHubUser user;
              QString error;
              if (!userFromReply(document, &user, &error)) {
                  done(GitHubUser(), error, httpStatus(reply));
                  return;
              }
              done(user, QString(), httpStatus(reply));
              emit operationComplete(kFetchUser, true, user.login);
          },
          [done](const QString& error, int status) { done(GitHubUser(), error, status); }, false);
}

void GitHubClient::userAnswered(const QJsonDocument& document, int status, const TokenCheck& done)
{
    GitHubUser user;
    QString error;
    if (!userFromReply(document, &user, &error)) {
        emit apiError(kFetchUser, error);
        if (done)
            done(GitHubUser(), error, status);
        return;
    }
    if (done)
        done(user, QString(), status);
    emit userFetched(user);
    emit operationComplete(kFetchUser, true, user.login);
}

void GitHubClient::fetchUser()
{
    fetchUser(TokenCheck());
}

void GitHubClient::fetchUser(const TokenCheck& done)
{
    watch(apiGet(QStringLiteral("/user")), kFetchUser, true,
          [this, done](const QJsonDocument& document, QNetworkReply* reply) {
              userAnswered(document, httpStatus(reply), done);
          },
          [done](const QString& error, int status) {
              if (done)
                  done(GitHubUser(), error, status);
          });
}

void GitHubClient::fetchRepos()
{
    // Most recently updated first.
    getAllPages(QStringLiteral("/user/repos?per_page=100&sort=updated"), QStringLiteral("Fetch Repos"), QString(),
                [this](const QJsonArray& items, qint64, const QString& note) {
                    const QList<GitHubRepo> repos = recordsFromJson<GitHubRepo>(items);
                    emit reposFetched(repos);
                    emit operationComplete(QStringLiteral("Fetch Repos"), true,
                                           listDetail(QStringLiteral("%1 repos").arg(repos.size()), note));
                });
}

void GitHubClient::listSshKeys()
{
    getAllPages(QStringLiteral("/user/keys"), QStringLiteral("List SSH Keys"), QString(),
                [this](const QJsonArray& items, qint64, const QString& note) {
                    const QList<GitHubSshKey> keys = recordsFromJson<GitHubSshKey>(items);
                    emit sshKeysFetched(keys);
                    emit operationComplete(QStringLiteral("List SSH Keys"), true,
                                           listDetail(QStringLiteral("%1 keys").arg(keys.size()), note));
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

void GitHubClient::deleteSshKey(qint64 id)
{
    handleReply(apiDelete(QStringLiteral("/user/keys/%1").arg(id)), QStringLiteral("Delete SSH Key"),
                [this, id](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Delete SSH Key"), true, QString::number(id));
                });
}

void GitHubClient::listGpgKeys()
{
    getAllPages(QStringLiteral("/user/gpg_keys"), QStringLiteral("List GPG Keys"), QString(),
                [this](const QJsonArray& items, qint64, const QString& note) {
                    emit operationComplete(QStringLiteral("List GPG Keys"), true,
                                           listDetail(QStringLiteral("%1 keys").arg(items.size()), note));
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
