#pragma once

#include <QWidget>

// The "DevOps Tools" page: SSH, SFTP and SCP, Kubernetes, Docker and Podman,
// Ansible Vault, Terraform and SOPS.
class DevOpsSecretsTab : public QWidget
{
    Q_OBJECT
public:
    explicit DevOpsSecretsTab(QWidget* parent = nullptr);

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);
};
