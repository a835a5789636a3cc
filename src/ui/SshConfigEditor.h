#pragma once

#include <QDialog>
#include <QList>
#include <QString>

// One Host block of the SSH client configuration file.
struct SshHostConfig
{
    QString alias;
};

// The modal editor of the user's SSH client configuration file.
class SshConfigEditor : public QDialog
{
    Q_OBJECT
public:
    explicit SshConfigEditor(QWidget* parent = nullptr);

Q_SIGNALS:
    void configSaved();
    void sshConnectRequested(const QString& hostAlias);

private:
    QList<SshHostConfig> hosts;
};
