#pragma once

#include <QWidget>

// The "GPG / SSH" page: the OpenPGP keyring, the SSH key pairs and the SSH
// client configuration.
class GpgKeyManagementTab : public QWidget
{
    Q_OBJECT
public:
    explicit GpgKeyManagementTab(QWidget* parent = nullptr);

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);
};
