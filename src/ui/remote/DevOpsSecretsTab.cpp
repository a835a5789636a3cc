#include "ui/remote/DevOpsSecretsTab.h"
#include "app/StyleManager.h"

#include "core/LogView.h"
#include "core/ToolRunner.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/SectionTitle.h"

#include <QComboBox>
#include <QFont>
#include <QLabel>
#include <QMutex>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <memory>

namespace {

const QStringList detectedTools{QStringLiteral("kubectl"), QStringLiteral("docker"), QStringLiteral("podman"),
                                QStringLiteral("ansible-vault"), QStringLiteral("terraform"), QStringLiteral("sops")};

// How far the search of the search path has come, shared with its thread.
struct ToolSearch
{
    QMutex mutex;
    QStringList found;   // in detection order
    int checked = 0;     // tools looked up so far
    bool told = false;   // the window's thread only
};

} // namespace

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
    description->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(description, StyleManager::Muted);
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

    m_fill = new PageFill(this, nullptr);
    connect(m_fill, &PageFill::logLine, this, &DevOpsSecretsTab::log);
    m_fill->setFill([this] { detectTools(); });
}

DevOpsSecretsTab::~DevOpsSecretsTab() = default;

void DevOpsSecretsTab::detectTools()
{
    // A look-up only reads folders, yet a folder on the search path can be a
    // network mount that does not answer: the search runs on a thread of its
    // own, and what it has not reached in time is named as not checked.
    auto search = std::make_shared<ToolSearch>();
    const int waitMs = probeTimeoutMs;
    auto tell = [this, search, waitMs] {
        if (search->told)
            return;
        search->told = true;
        QStringList found;
        int checked = 0;
        {
            QMutexLocker lock(&search->mutex);
            found = search->found;
            checked = search->checked;
        }
        QString line = QStringLiteral("DevOps tools detected: ")
                       + (found.isEmpty() ? QStringLiteral("none") : found.join(QStringLiteral(", ")));
        if (checked < detectedTools.size()) {
            line += QStringLiteral("; not checked: %1 (looking for %2 on the search path did not finish within %3 ms)")
                        .arg(detectedTools.mid(checked).join(QStringLiteral(", ")), detectedTools.at(checked))
                        .arg(waitMs);
        }
        log(line);
        if (found.contains(QStringLiteral("kubectl")))
            listKubernetesContexts();
        else
            m_kubeContexts->setPlaceholderText(checked > 0 ? QStringLiteral("No contexts in kubeconfig")
                                                           : QStringLiteral("(kubectl not checked)"));
    };
    m_fill->inWorker<bool>(
        [search, lookup = toolLookup] {
            for (const QString& tool : detectedTools) {
                const bool present = !lookup(tool).isEmpty();
                QMutexLocker lock(&search->mutex);
                if (present)
                    search->found << tool;
                ++search->checked;
            }
            return true;
        },
        [tell](bool) { tell(); });
    QTimer::singleShot(waitMs, this, tell);
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
