#pragma once

#include <QList>
#include <QString>
#include <QWidget>

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

Q_SIGNALS:
    // The user asked to see the vault at this path.
    void vaultClicked(const QString& path);

private:
    void rebuildBadges();

    QWidget* badgeArea = nullptr;
    QList<VaultBadgeInfo> vaults;
};
