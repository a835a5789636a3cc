#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QTimer;

// One vault as the corner badge shows it.
struct VaultBadgeInfo
{
    QString name;
    QString path;
    int sizeMB = 0;
    bool encrypted = false;
    bool mounted = false;
};

// The clock and the vault badge in the corner of the main window's tab bar.
// It owns no vault and runs no tool: a badge click is only a request.
class ClockVaultWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ClockVaultWidget(QWidget* parent = nullptr);

    void setVaults(const QList<VaultBadgeInfo>& vaults);
    void rebuildBadges();
    // The first vault with this path takes the mount state; the badge is
    // rebuilt either way.
    void updateVaultStatus(const QString& path, bool mounted);
    // "iCloud", "Google Drive", "OneDrive", "Dropbox": those whose local
    // folder exists under the home folder, in that order.
    QStringList detectCloudDrives() const;
    // The tab widget places its corner widget by the size hint alone: it
    // names the width the contents need, or the widget is laid out past the
    // window's edge.
    QSize sizeHint() const override;

public Q_SLOTS:
    void updateClock();

Q_SIGNALS:
    // The user asked to see the vault at this path.
    void vaultClicked(const QString& path);
    // cloudTarget is "icloud", "gdrive" or "onedrive".
    void vaultBackupRequested(const QString& path, const QString& cloudTarget);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onBadgeClicked(const VaultBadgeInfo& vault);

    QLabel* clockLabel = nullptr;
    QLabel* dateLabel = nullptr;
    QLabel* zoneLabel = nullptr;
    // The zone's name is looked up only when the zone or its offset changes:
    // the lookup costs far more than the tick that shows it.
    QByteArray zoneId;
    int zoneOffset = 0;
    QString zoneName;
    QWidget* badgeArea = nullptr;
    QTimer* clockTimer = nullptr;
    QList<VaultBadgeInfo> vaults;
    int currentIndex = 0;
    QLabel* counterLabel = nullptr;
};
