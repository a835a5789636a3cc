// The repository-scoped endpoints of GitHubClient: Actions secrets and
// variables, deploy keys, security alerts, workflows and their runs.
#include "github/GitHubClient.h"

#include "core/SecureZero.h"
#include "core/ToolRunner.h"
#include "github/GitHubJson.h"
#include "github/GitHubText.h"
#include "github/SealedBox.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QUrl>

namespace {

const QString kCreateSecret = QStringLiteral("Create Secret");
const QString kNoPublicKey = QStringLiteral("Failed to fetch repo public key");

// GitHub's own rule for secret and variable names. Checking it here also keeps
// a name from being read as a gh option ("--env-file=...") or from reaching
// into another path of the API ("../keys").
bool isValidActionsName(const QString& name)
{
    if (name.isEmpty() || name.front().isDigit())
        return false;
    for (const QChar c : name) {
        const bool ok = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')
            || (c >= u'0' && c <= u'9') || c == u'_';
        if (!ok)
            return false;
    }
    return true;
}

// "repo: N what", filled in one pass so that a "%2" in the repository's name
// stays text.
QString repoCount(const QString& repo, qsizetype count, const QString& what)
{
    return QStringLiteral("%1: %2 %3").arg(repo, QString::number(count), what);
}

using GitHubText::listDetail;

} // namespace

void GitHubClient::listSecrets(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/actions/secrets").arg(repo), QStringLiteral("List Secrets"),
                QStringLiteral("secrets"), [this, repo](const QJsonArray& items, qint64, const QString& note) {
                    const QList<GitHubSecret> secrets = recordsFromJson<GitHubSecret>(items);
                    emit secretsFetched(repo, secrets);
                    emit operationComplete(QStringLiteral("List Secrets"), true,
                                           listDetail(repoCount(repo, secrets.size(), QStringLiteral("secrets")), note));
                });
}

void GitHubClient::createSecret(const QString& repo, const QString& name, const QString& value)
{
    if (!isValidActionsName(name)) {
        emit apiError(kCreateSecret, QStringLiteral("Invalid secret name"));
        return;
    }
    if (valueTooLong(kCreateSecret, QStringLiteral("The secret value"), value))
        return;
    // Every step stores the secret as the account it was asked for, whoever
    // is connected by the time the key arrives or gh ends; and its outcome
    // is told in any case.
    const QString token = m_token;
    // The key is fetched afresh for every secret: GitHub may rotate it.
    watch(sendTo("GET", QUrl(m_baseUrl + QStringLiteral("/repos/%1/actions/secrets/public-key").arg(repo),
                             QUrl::TolerantMode),
                 nullptr, token),
          QStringLiteral("Fetch Public Key"), false,
          [this, token, repo, name, value](const QJsonDocument& document, QNetworkReply*) {
              const QJsonObject object = document.object();
              const QString keyId = GitHubJson::string(object, QStringLiteral("key_id"));
              QByteArray publicKey;
              // A key of any other length would have the sealing read past
              // its end; without the library nothing could be sealed at all.
              if (keyId.isEmpty()
                  || !SealedBox::decodePublicKey(GitHubJson::string(object, QStringLiteral("key")), &publicKey)
                  || !SealedBox::available()) {
                  emit apiError(kCreateSecret, kNoPublicKey);
                  return;
              }
              storeSecretWithGh(token, repo, name, value, keyId, publicKey);
          });
}

void GitHubClient::storeSecretWithGh(const QString& token, const QString& repo, const QString& name,
                                     const QString& value, const QString& keyId, const QByteArray& publicKey)
{
    // Without a token gh would fall back to its own stored login, which need
    // not be the account the secret was asked for.
    if (token.isEmpty()) {
        putSealedSecret(token, repo, name, keyId, publicKey, value);
        return;
    }
    ToolRunner::Options options;
    options.finishTimeoutMs = ghTimeoutMs;
    // GH_TOKEN outranks whatever gh has stored, so the secret is written as
    // the connected account; it reaches gh only through its environment.
    options.environment = QProcessEnvironment::systemEnvironment();
    options.environment.insert(QStringLiteral("GH_TOKEN"), token);
    // Without --body gh reads the value from standard input, so the value
    // never shows in a process listing.
    options.standardInput = value.toUtf8();
    const int waitMs = ghTimeoutMs;
    ToolRunner::runAsync(
        QStringLiteral("gh"),
        {QStringLiteral("secret"), QStringLiteral("set"), QStringLiteral("--repo"), repo, QStringLiteral("--"), name},
        options, this, [this, token, repo, name, value, keyId, publicKey, waitMs](const ToolRunner::Result& result) {
            if (result.succeeded()) {
                emit operationComplete(kCreateSecret, true, name + QStringLiteral(" on ") + repo);
                return;
            }
            if (result.timedOut)
                emit notice(kCreateSecret, QStringLiteral("gh did not finish within %1 s; the secret goes through "
                                                          "the API instead")
                                               .arg(GitHubText::seconds(waitMs)));
            putSealedSecret(token, repo, name, keyId, publicKey, value);
        });
    secureZero(options.standardInput);
}

void GitHubClient::putSealedSecret(const QString& token, const QString& repo, const QString& name,
                                   const QString& keyId, const QByteArray& publicKey, const QString& value)
{
    QByteArray plain = value.toUtf8();
    QByteArray sealed;
    const bool ok = SealedBox::seal(publicKey, plain, &sealed);
    secureZero(plain);
    if (!ok) {
        emit apiError(kCreateSecret, QStringLiteral("Failed to seal the secret value"));
        return;
    }
    const QJsonObject body{{QStringLiteral("encrypted_value"), QString::fromLatin1(sealed.toBase64())},
                           {QStringLiteral("key_id"), keyId}};
    watch(sendTo("PUT", QUrl(m_baseUrl + QStringLiteral("/repos/%1/actions/secrets/%2").arg(repo, name),
                             QUrl::TolerantMode),
                 &body, token),
          kCreateSecret, false, [this, repo, name](const QJsonDocument&, QNetworkReply*) {
              emit operationComplete(kCreateSecret, true, name + QStringLiteral(" on ") + repo);
          });
}

void GitHubClient::deleteSecret(const QString& repo, const QString& name)
{
    handleReply(apiDelete(QStringLiteral("/repos/%1/actions/secrets/%2").arg(repo, name)),
                QStringLiteral("Delete Secret"), [this, name](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Delete Secret"), true, name);
                });
}

void GitHubClient::listVariables(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/actions/variables").arg(repo), QStringLiteral("List Variables"),
                QStringLiteral("variables"), [this, repo](const QJsonArray& items, qint64, const QString& note) {
                    const QList<GitHubVariable> vars = recordsFromJson<GitHubVariable>(items);
                    emit variablesFetched(repo, vars);
                    emit operationComplete(QStringLiteral("List Variables"), true,
                                           listDetail(repoCount(repo, vars.size(), QStringLiteral("vars")), note));
                });
}

void GitHubClient::createVariable(const QString& repo, const QString& name, const QString& value)
{
    if (!isValidActionsName(name)) {
        emit apiError(QStringLiteral("Create Variable"), QStringLiteral("Invalid variable name"));
        return;
    }
    if (valueTooLong(QStringLiteral("Create Variable"), QStringLiteral("The variable value"), value))
        return;
    const QJsonObject body{{QStringLiteral("name"), name}, {QStringLiteral("value"), value}};
    handleReply(apiPost(QStringLiteral("/repos/%1/actions/variables").arg(repo), body),
                QStringLiteral("Create Variable"), [this, name](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Create Variable"), true, name);
                });
}

void GitHubClient::deleteVariable(const QString& repo, const QString& name)
{
    handleReply(apiDelete(QStringLiteral("/repos/%1/actions/variables/%2").arg(repo, name)),
                QStringLiteral("Delete Variable"), [this, name](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Delete Variable"), true, name);
                });
}

void GitHubClient::listDeployKeys(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/keys").arg(repo), QStringLiteral("List Deploy Keys"), QString(),
                [this](const QJsonArray& items, qint64, const QString& note) {
                    emit operationComplete(QStringLiteral("List Deploy Keys"), true,
                                           listDetail(QStringLiteral("%1 keys").arg(items.size()), note));
                });
}

void GitHubClient::addDeployKey(const QString& repo, const QString& title, const QString& key, bool readOnly)
{
    const QJsonObject body{{QStringLiteral("title"), title},
                           {QStringLiteral("key"), key},
                           {QStringLiteral("read_only"), readOnly}};
    handleReply(apiPost(QStringLiteral("/repos/%1/keys").arg(repo), body), QStringLiteral("Add Deploy Key"),
                [this, title](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Add Deploy Key"), true, title);
                });
}

void GitHubClient::listDependabotAlerts(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/dependabot/alerts?state=open").arg(repo),
                QStringLiteral("Dependabot Alerts"), QString(),
                [this, repo](const QJsonArray& alerts, qint64, const QString& note) {
                    emit alertsFetched(QStringLiteral("dependabot"), repo, alerts);
                    emit operationComplete(QStringLiteral("Dependabot Alerts"), true,
                                           listDetail(repoCount(repo, alerts.size(), QStringLiteral("open alerts")), note));
                });
}

void GitHubClient::listCodeScanningAlerts(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/code-scanning/alerts?state=open").arg(repo),
                QStringLiteral("Code Scanning"), QString(),
                [this, repo](const QJsonArray& alerts, qint64, const QString& note) {
                    emit alertsFetched(QStringLiteral("code-scanning"), repo, alerts);
                    emit operationComplete(QStringLiteral("Code Scanning"), true,
                                           listDetail(repoCount(repo, alerts.size(), QStringLiteral("alerts")), note));
                });
}

void GitHubClient::listSecretScanningAlerts(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/secret-scanning/alerts?state=open").arg(repo),
                QStringLiteral("Secret Scanning"), QString(),
                [this, repo](const QJsonArray& alerts, qint64, const QString& note) {
                    emit alertsFetched(QStringLiteral("secret-scanning"), repo, alerts);
                    emit operationComplete(QStringLiteral("Secret Scanning"), true,
                                           listDetail(repoCount(repo, alerts.size(), QStringLiteral("alerts")), note));
                });
}

void GitHubClient::listWorkflows(const QString& repo)
{
    getAllPages(QStringLiteral("/repos/%1/actions/workflows").arg(repo), QStringLiteral("List Workflows"),
                QStringLiteral("workflows"), [this, repo](const QJsonArray& workflows, qint64 total, const QString& note) {
                    emit workflowsFetched(repo, workflows);
                    // The service's own count of the repository's workflows.
                    emit operationComplete(QStringLiteral("List Workflows"), true,
                                           listDetail(repoCount(repo, total < 0 ? 0 : total, QStringLiteral("workflows")),
                                                      note));
                });
}

void GitHubClient::listWorkflowRuns(const QString& repo)
{
    handleReply(apiGet(QStringLiteral("/repos/%1/actions/runs?per_page=10").arg(repo)),
                QStringLiteral("Workflow Runs"), [this, repo](const QJsonDocument& document) {
                    const QJsonObject object = document.object();
                    const QJsonValue runs = object.value(QStringLiteral("workflow_runs"));
                    if (!document.isObject() || !(runs.isUndefined() || runs.isArray())) {
                        emit apiError(QStringLiteral("Workflow Runs"), QStringLiteral("the server's answer was not a list"));
                        return;
                    }
                    emit runsFetched(repo, GitHubJson::array(object, QStringLiteral("workflow_runs")));
                    const int total = GitHubJson::integer(object, QStringLiteral("total_count"));
                    emit operationComplete(QStringLiteral("Workflow Runs"), true,
                                           repoCount(repo, total, QStringLiteral("recent runs")));
                });
}

void GitHubClient::triggerWorkflow(const QString& repo, qint64 workflowId, const QString& ref)
{
    const QJsonObject body{{QStringLiteral("ref"), ref}};
    handleReply(apiPost(QStringLiteral("/repos/%1/actions/workflows/%2/dispatches")
                            .arg(repo, QString::number(workflowId)),
                        body),
                QStringLiteral("Trigger Workflow"), [this](const QJsonDocument&) {
                    emit operationComplete(QStringLiteral("Trigger Workflow"), true, QStringLiteral("Dispatched"));
                });
}
