// The Security and Workflows pages of the GitHub tab: a repository's open
// Dependabot, code-scanning and secret-scanning alerts, its Actions workflows
// and recent runs, and the manual dispatch of a workflow.
#include "ui/github/GitHubTab.h"
#include "app/StyleManager.h"

#include "github/GitHubClient.h"
#include "github/GitHubText.h"

#include <QApplication>
#include <QBoxLayout>
#include <QClipboard>
#include <QColor>
#include <QComboBox>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QPushButton>
#include <QTreeWidget>

namespace {

// A member path such as "security_advisory.severity" read as text; numbers
// (ids) in decimal, anything else empty.
QString field(const QJsonObject& object, const QString& path)
{
    const QStringList keys = path.split(QLatin1Char('.'));
    QJsonValue value = object;
    for (const QString& key : keys)
        value = value.toObject().value(key);
    // Shown in one-line cells: the server's text must not break the row.
    if (value.isString())
        return GitHubText::singleLine(value.toString());
    if (value.isDouble())
        return QString::number(value.toInteger());
    return QString();
}

// One row per element, its columns read by the member paths.
void fillTree(QTreeWidget* tree, const QJsonArray& elements, const QStringList& paths)
{
    tree->clear();
    for (const QJsonValue& element : elements) {
        const QJsonObject object = element.toObject();
        QStringList texts;
        for (const QString& path : paths)
            texts << field(object, path);
        new QTreeWidgetItem(tree, texts);
    }
}

QWidget* newPage(QVBoxLayout** layout)
{
    auto* page = new QWidget;
    *layout = new QVBoxLayout(page);
    (*layout)->setContentsMargins(4, 4, 4, 4);
    (*layout)->setSpacing(4);
    return page;
}

QGroupBox* addGroup(QVBoxLayout* layout, const QString& title, const QString& toolTip, QWidget* content)
{
    auto* group = new QGroupBox(title);
    group->setToolTip(toolTip);
    auto* inner = new QVBoxLayout(group);
    inner->setContentsMargins(8, 20, 8, 8);
    inner->addWidget(content);
    layout->addWidget(group);
    return group;
}

} // namespace

QWidget* GitHubTab::createSecuritySubTab()
{
    QVBoxLayout* layout = nullptr;
    QWidget* page = newPage(&layout);

    auto* scanButton = makeButton(QStringLiteral("Scan All"),
                                  QStringLiteral("Fetch Dependabot, code scanning, and secret scanning\n"
                                                 "alerts for the selected repository in one click."));
    m_securityRepoCombo = addRepoChooser(layout,
                                         QStringLiteral("Select a repository to view its security alerts.\n"
                                                        "Requires the 'security_events' scope on your PAT."),
                                         scanButton);
    m_securityRepoCombo->setObjectName(QStringLiteral("securityRepoCombo"));

    m_dependabotTree = makeRepoTree({QStringLiteral("Package"), QStringLiteral("Severity"), QStringLiteral("Summary"),
                                     QStringLiteral("CVE"), QStringLiteral("State")},
                                    {{0, 160}, {2, 300}});
    m_dependabotTree->setObjectName(QStringLiteral("dependabotTree"));
    addGroup(layout, QStringLiteral("Dependabot Alerts"),
             QStringLiteral("Dependabot monitors your dependency manifest files\n"
                            "(package.json, Gemfile, requirements.txt, etc.) and\n"
                            "alerts you to known vulnerabilities in upstream packages.\n"
                            "Requires Dependabot to be enabled on the repository."),
             m_dependabotTree);

    m_codeScanningTree = makeRepoTree({QStringLiteral("Rule"), QStringLiteral("Severity"),
                                       QStringLiteral("Description"), QStringLiteral("Tool"), QStringLiteral("State")},
                                      {{2, 300}});
    m_codeScanningTree->setObjectName(QStringLiteral("codeScanningTree"));
    addGroup(layout, QStringLiteral("Code Scanning Alerts"),
             QStringLiteral("Code scanning uses CodeQL or third-party SARIF tools to\n"
                            "find potential security vulnerabilities and coding errors\n"
                            "in your source code. Requires code scanning to be enabled."),
             m_codeScanningTree);

    m_secretScanningTree = makeRepoTree({QStringLiteral("Secret Type"), QStringLiteral("State"),
                                         QStringLiteral("Created"), QStringLiteral("Resolution")},
                                        {{0, 220}});
    m_secretScanningTree->setObjectName(QStringLiteral("secretScanningTree"));
    addGroup(layout, QStringLiteral("Secret Scanning Alerts"),
             QStringLiteral("Secret scanning detects committed secrets (API keys, tokens,\n"
                            "passwords) in your repository history. Alerts indicate where\n"
                            "a secret was found and its type. Rotate exposed credentials\n"
                            "immediately."),
             m_secretScanningTree);

    connect(scanButton, &QPushButton::clicked, this, &GitHubTab::onScanAll);
    // Alerts of another repository than the one chosen by now are not shown.
    connect(m_client, &GitHubClient::alertsFetched, this,
            [this](const QString& kind, const QString& repo, const QJsonArray& alerts) {
                if (repo == m_securityRepoCombo->currentText())
                    showAlerts(kind, alerts);
            });
    return page;
}

QWidget* GitHubTab::createWorkflowsSubTab()
{
    QVBoxLayout* layout = nullptr;
    QWidget* page = newPage(&layout);

    auto* loadButton = makeButton(QStringLiteral("Load"),
                                  QStringLiteral("Fetch workflows and recent runs for the selected repository"));
    m_workflowsRepoCombo = addRepoChooser(
        layout, QStringLiteral("Select a repository to view and trigger its GitHub Actions workflows."), loadButton);
    m_workflowsRepoCombo->setObjectName(QStringLiteral("workflowsRepoCombo"));

    auto* workflows = new QWidget;
    auto* workflowsLayout = new QVBoxLayout(workflows);
    workflowsLayout->setContentsMargins(0, 0, 0, 0);
    m_workflowsTree = makeRepoTree({QStringLiteral("Workflow Name"), QStringLiteral("File"), QStringLiteral("State"),
                                    QStringLiteral("ID")},
                                   {{0, 240}, {1, 200}});
    m_workflowsTree->setObjectName(QStringLiteral("workflowsTree"));
    m_workflowsTree->setToolTip(QStringLiteral("Select a workflow and click 'Trigger' to dispatch it via\n"
                                               "the workflow_dispatch event. The workflow must have\n"
                                               "'on: workflow_dispatch' in its YAML definition."));
    workflowsLayout->addWidget(m_workflowsTree);
    auto* buttons = new QHBoxLayout;
    auto* triggerButton = makeButton(QStringLiteral("Trigger Workflow..."),
                                     QStringLiteral("Manually dispatch the selected workflow on a given branch.\n"
                                                    "Requires 'on: workflow_dispatch' in the workflow YAML.\n"
                                                    "Equivalent to: gh workflow run <id> --ref <branch>"));
    auto* refreshButton = makeButton(QStringLiteral("Refresh"), QStringLiteral("Re-fetch workflows and run history"),
                                     QStringLiteral("secondaryButton"));
    buttons->addWidget(triggerButton);
    buttons->addWidget(refreshButton);
    buttons->addStretch();
    workflowsLayout->addLayout(buttons);
    addGroup(layout, QStringLiteral("Workflows"),
             QStringLiteral("GitHub Actions workflows defined in .github/workflows/.\n"
                            "Each workflow file (YAML) defines one or more jobs that\n"
                            "run on push, pull request, schedule, or manual dispatch."),
             workflows);

    m_runsTree = makeRepoTree({QStringLiteral("Workflow"), QStringLiteral("Status"), QStringLiteral("Branch"),
                               QStringLiteral("Event"), QStringLiteral("Created"), QStringLiteral("Run ID")},
                              {{0, 200}});
    m_runsTree->setObjectName(QStringLiteral("runsTree"));
    m_runsTree->setToolTip(QStringLiteral("Green = success, Red = failure, Yellow = in progress.\n"
                                          "Double-click to copy the run URL to clipboard."));
    addGroup(layout, QStringLiteral("Recent Workflow Runs"),
             QStringLiteral("The 10 most recent workflow runs across all workflows.\n"
                            "Shows status (success/failure/in_progress), branch,\n"
                            "triggering event, and timing information."),
             m_runsTree);

    connect(loadButton, &QPushButton::clicked, this, &GitHubTab::onLoadWorkflows);
    connect(refreshButton, &QPushButton::clicked, this, &GitHubTab::onRefreshWorkflows);
    connect(triggerButton, &QPushButton::clicked, this, &GitHubTab::onTriggerWorkflow);
    connect(m_runsTree, &QTreeWidget::itemDoubleClicked, this, &GitHubTab::onRunDoubleClicked);
    // A list is shown only while its repository is the one chosen, and a
    // workflow is dispatched in the repository of the list it was picked from.
    connect(m_client, &GitHubClient::workflowsFetched, this, [this](const QString& repo, const QJsonArray& workflows) {
        if (repo != m_workflowsRepoCombo->currentText())
            return;
        m_workflowsListRepo = repo;
        showWorkflows(workflows);
    });
    connect(m_client, &GitHubClient::runsFetched, this, [this](const QString& repo, const QJsonArray& runs) {
        if (repo == m_workflowsRepoCombo->currentText())
            showRuns(runs);
    });
    return page;
}

void GitHubTab::onScanAll()
{
    const QString repo = m_securityRepoCombo->currentText();
    if (repo.isEmpty() || !m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Select a repo and authenticate first."));
        return;
    }
    appendLog(QStringLiteral("Scanning security alerts for ") + repo + QStringLiteral("..."));
    m_client->listDependabotAlerts(repo);
    m_client->listCodeScanningAlerts(repo);
    m_client->listSecretScanningAlerts(repo);
}

void GitHubTab::onLoadWorkflows()
{
    const QString repo = m_workflowsRepoCombo->currentText();
    if (repo.isEmpty() || !m_client->isAuthenticated()) {
        appendLog(QStringLiteral("Select a repo and authenticate first."));
        return;
    }
    m_client->listWorkflows(repo);
    m_client->listWorkflowRuns(repo);
}

void GitHubTab::onRefreshWorkflows()
{
    const QString repo = m_workflowsRepoCombo->currentText();
    if (repo.isEmpty())
        return;
    m_client->listWorkflows(repo);
    m_client->listWorkflowRuns(repo);
}

void GitHubTab::onTriggerWorkflow()
{
    QTreeWidgetItem* item = m_workflowsTree->currentItem();
    if (!item) {
        appendLog(QStringLiteral("Select a workflow first."));
        return;
    }
    // Workflow ids outgrow 32 bits.
    bool isNumber = false;
    qint64 id = item->text(3).toLongLong(&isNumber);
    if (!isNumber)
        id = 0;
    const QString name = item->text(0);
    const QString repo = m_workflowsListRepo;
    bool ok = false;
    const QString ref = askText(QStringLiteral("Trigger Workflow"),
                                QStringLiteral("Branch/ref to dispatch '%1' of %2 on:").arg(name, repo), false,
                                QStringLiteral("master"), &ok);
    if (!ok || ref.isEmpty())
        return;
    m_client->triggerWorkflow(repo, id, ref);
    appendLog(QStringLiteral("Triggered '%1' on %2 (ref: %3)").arg(name, repo, ref));
}

void GitHubTab::onRunDoubleClicked(QTreeWidgetItem* item)
{
    const QString url = item->data(0, Qt::UserRole).toString();
    if (url.isEmpty())
        return;
    QApplication::clipboard()->setText(url);
    appendLog(QStringLiteral("Copied to clipboard: ") + url);
}

void GitHubTab::showAlerts(const QString& kind, const QJsonArray& alerts)
{
    if (kind == QLatin1String("dependabot")) {
        fillTree(m_dependabotTree, alerts,
                 {QStringLiteral("dependency.package.name"), QStringLiteral("security_advisory.severity"),
                  QStringLiteral("security_advisory.summary"), QStringLiteral("security_advisory.cve_id"),
                  QStringLiteral("state")});
    } else if (kind == QLatin1String("code-scanning")) {
        fillTree(m_codeScanningTree, alerts,
                 {QStringLiteral("rule.id"), QStringLiteral("rule.severity"), QStringLiteral("rule.description"),
                  QStringLiteral("tool.name"), QStringLiteral("state")});
    } else if (kind == QLatin1String("secret-scanning")) {
        fillTree(m_secretScanningTree, alerts,
                 {QStringLiteral("secret_type_display_name"), QStringLiteral("state"), QStringLiteral("created_at"),
                  QStringLiteral("resolution")});
        for (int i = 0; i < m_secretScanningTree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = m_secretScanningTree->topLevelItem(i);
            row->setText(2, row->text(2).left(10));
        }
    }
}

void GitHubTab::showWorkflows(const QJsonArray& workflows)
{
    fillTree(m_workflowsTree, workflows,
             {QStringLiteral("name"), QStringLiteral("path"), QStringLiteral("state"), QStringLiteral("id")});
}

void GitHubTab::showRuns(const QJsonArray& runs)
{
    m_runsTree->clear();
    for (const QJsonValue& element : runs) {
        const QJsonObject run = element.toObject();
        // A finished run has its conclusion; one still going only its status.
        QString status = field(run, QStringLiteral("conclusion"));
        if (status.isEmpty())
            status = field(run, QStringLiteral("status"));
        auto* item = new QTreeWidgetItem(m_runsTree, {field(run, QStringLiteral("name")), status,
                                                      field(run, QStringLiteral("head_branch")),
                                                      field(run, QStringLiteral("event")),
                                                      field(run, QStringLiteral("created_at")).left(10),
                                                      field(run, QStringLiteral("id"))});
        item->setData(0, Qt::UserRole, field(run, QStringLiteral("html_url")));
        if (status == QLatin1String("success"))
            StyleManager::setItemTone(item, 1, StyleManager::Success);
        else if (status == QLatin1String("failure"))
            StyleManager::setItemTone(item, 1, StyleManager::Danger);
        else if (status == QLatin1String("queued") || status == QLatin1String("in_progress"))
            StyleManager::setItemTone(item, 1, StyleManager::Warning);
    }
}
