#pragma once

#include <QDialog>
#include <QMetaType>
#include <QString>

// One remote site of the encrypted site store.
struct SiteProfile
{
    QString name;
    QString hostname;
    QString user;
    int port = 22;
    QString keyPath;
    QString color;
};
Q_DECLARE_METATYPE(SiteProfile)

// The Site Manager: the stored remote sites and the connections to them.
class SiteManagerDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SiteManagerDialog(QWidget* parent = nullptr);

Q_SIGNALS:
    // protocol is "ssh", "sftp", "scp" or "rsync".
    void connectRequested(const SiteProfile& profile, const QString& protocol);
};
