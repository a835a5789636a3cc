#include "ui/remote/DevOpsSecretsTab.h"

#include "core/LogView.h"
#include "core/ToolRunner.h"
#include "ui/widgets/FirstShow.h"
#include "ui/widgets/SectionTitle.h"

#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

DevOpsSecretsTab::DevOpsSecretsTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(2);

    auto* title = makeSectionTitle(QStringLiteral("DevOps Tools"), this);
    title->setFixedHeight(22);
    layout->addWidget(title, 0);

    auto* description = new QLabel(QStringLiteral("Secrets management, remote access, file transfer, and IaC tools. "
                                                  "SSH/SFTP/SCP integrate with your SSH keys and config."),
                                   this);
    description->setWordWrap(true);
    description->setStyleSheet(QStringLiteral("color: #94a3b8; font-size: 12px;"));
    description->setMaximumHeight(36);
    layout->addWidget(description, 0);

    // The builders run before the log exists: they write nothing while
    // building, and their handlers read m_log only when they run.
    auto* pages = new QTabWidget(this);
    pages->setObjectName(QStringLiteral("devopsPages"));
    pages->addTab(createSshSubTab(), QStringLiteral("SSH Terminal"));
    pages->addTab(createSftpSubTab(), QStringLiteral("SFTP / SCP"));
    pages->addTab(createKubernetesSubTab(), QStringLiteral("Kubernetes"));
    pages->addTab(createDockerSubTab(), QStringLiteral("Docker / Podman"));
    pages->addTab(createAnsibleSubTab(), QStringLiteral("Ansible Vault"));
    pages->addTab(createTerraformSubTab(), QStringLiteral("Terraform"));
    pages->addTab(createSopsSubTab(), QStringLiteral("SOPS"));
    layout->addWidget(pages, 0);

    m_log = LogView::createLogView(this);
    m_log->setObjectName(QStringLiteral("devopsLog"));
    m_log->setMaximumHeight(80);
    QFont font = m_log->font();
    font.setPointSize(11);
    m_log->setFont(font);
    m_log->setPlaceholderText(QStringLiteral("DevOps operations log..."));
    layout->addWidget(m_log, 0);
}

DevOpsSecretsTab::~DevOpsSecretsTab() = default;

void DevOpsSecretsTab::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (m_shownOnce)
        return;
    m_shownOnce = true;
    FirstShow::fill(this, [this] {
        const QStringList found = detectTools();
        log(QStringLiteral("DevOps tools detected: ")
            + (found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", "))));
        // Without kubectl there are no contexts to list, and the line above
        // already says so; the box stops saying it is still looking.
        if (found.contains(QStringLiteral("kubectl")))
            listKubernetesContexts();
        else
            m_kubeContexts->setPlaceholderText(QStringLiteral("No contexts in kubeconfig"));
    });
}

QStringList DevOpsSecretsTab::detectTools()
{
    ToolRunner::Options options;
    options.finishTimeoutMs = probeTimeoutMs;
    QStringList found;
    for (const char* tool : {"kubectl", "docker", "podman", "ansible-vault", "terraform", "sops"}) {
        const QString name = QString::fromLatin1(tool);
        if (ToolRunner::run(QStringLiteral("which"), {name}, options).succeeded())
            found << name;
    }
    return found;
}

QString DevOpsSecretsTab::runCmd(const QString& program, const QStringList& args)
{
    return runTool(program, args).stdOutText();
}

ToolRunner::Result DevOpsSecretsTab::runTool(const QString& program, const QStringList& args,
                                             const QByteArray& standardInput)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = toolTimeoutMs;
    options.standardInput = standardInput;
    return ToolRunner::run(program, args, options);
}

void DevOpsSecretsTab::log(const QString& line)
{
    LogView::appendLine(m_log, line);
}
