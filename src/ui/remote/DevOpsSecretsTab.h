#pragma once

#include "core/ToolRunner.h"
#include "ui/remote/DevOpsSecretFiles.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

class PageFill;
class QComboBox;
class QLineEdit;
class QTextEdit;

// The "DevOps Tools" page: SSH, SFTP and SCP, Kubernetes, Docker and Podman,
// Ansible Vault, Terraform and SOPS, one sub-tab each over one shared log.
// Every tool is started by its bare name through the search path.
class DevOpsSecretsTab : public QWidget
{
    Q_OBJECT
public:
    explicit DevOpsSecretsTab(QWidget* parent = nullptr);
    ~DevOpsSecretsTab() override;

    // Runs the tool (up to toolTimeoutMs) and returns what it printed on
    // standard output; nothing when it could not start. Standard error and
    // the exit code are dropped: the operations judge success by runTool.
    QString runCmd(const QString& program, const QStringList& args);

    // Waits a test can shorten.
    int toolTimeoutMs = 30000;       // every engine and kubectl run, the Terraform runs
    int createTimeoutMs = 10000;     // the engine's secret create
    int registryTimeoutMs = 10000;   // curl's catalogue request
    int probeTimeoutMs = 3000;       // the tool detection's search of the search path, all six tools

    // How the tool detection looks a tool up: the runner's own search of
    // the search path. It runs off the window's thread.
    std::function<QString(const QString&)> toolLookup = ToolRunner::findOnPath;

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    // Frame (DevOpsSecretsTab.cpp)
    // Building the tab runs nothing: the tool detection and the kubectl
    // context list run when it is first shown, in the background.
    void detectTools();
    // runCmd's run whole, for the operations that judge success by it.
    ToolRunner::Result runTool(const QString& program, const QStringList& args,
                               const QByteArray& standardInput = {});
    void log(const QString& line);

    // SSH Terminal (DevOpsSecretsTabSsh.cpp)
    QWidget* createSshSubTab();
    void fillSshTargets(QComboBox* targets);
    void connectSsh(QComboBox* targets, QLineEdit* typedHost);

    // SFTP / SCP (DevOpsSecretsTabTransfer.cpp)
    QWidget* createSftpSubTab();
    void startScp(const QStringList& arguments);
    void openInTerminal(const QString& commandLine);

    // Kubernetes (DevOpsSecretsTabKubernetes.cpp)
    QWidget* createKubernetesSubTab();
    void listKubernetesContexts();
    // Logs why a namespace may not reach kubectl; true when it may not.
    bool refuseNamespace(const QString& nameSpace);

    // Docker / Podman (DevOpsSecretsTabDocker.cpp)
    QWidget* createDockerSubTab();

    // Ansible Vault, Terraform and SOPS (DevOpsSecretsTabFiles.cpp)
    QWidget* createAnsibleSubTab();
    QWidget* createTerraformSubTab();
    QWidget* createSopsSubTab();
    // Runs one action of the service with its lines going to the log.
    void runSecretFiles(const std::function<void(DevOpsSecretFiles&)>& run);
    void onAnsibleVault(DevOpsSecretFiles::VaultAction action);
    void onTerraformFile(bool encrypt);
    void onSopsInPlace(DevOpsSecretFiles::SopsAction action);
    void onSopsEdit();

    QTextEdit* m_log = nullptr;
    QComboBox* m_kubeContexts = nullptr;
    PageFill* m_fill = nullptr;
};
