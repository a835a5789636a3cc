#include "ui/ClockVaultWidget.h"

#include <QHBoxLayout>
#include <QPushButton>

ClockVaultWidget::ClockVaultWidget(QWidget* parent)
    : QWidget(parent)
{
    // One row, so that it fits the height of the tab bar it sits beside.
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 8, 0);
    layout->setSpacing(8);

    badgeArea = new QWidget(this);
    layout->addWidget(badgeArea);
}

void ClockVaultWidget::setVaults(const QList<VaultBadgeInfo>& list)
{
    vaults = list;
    rebuildBadges();
}

void ClockVaultWidget::rebuildBadges()
{
    // Replacing a layout needs the old one gone first; a temporary owner
    // takes it and its widgets away.
    if (QLayout* old = badgeArea->layout())
        QWidget().setLayout(old);
    auto* row = new QHBoxLayout(badgeArea);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    if (vaults.isEmpty())
        return;

    const VaultBadgeInfo vault = vaults.first();
    const QString size = vault.sizeMB < 1024 ? QStringLiteral("%1MB").arg(vault.sizeMB)
                                             : QStringLiteral("%1GB").arg(vault.sizeMB / 1024);
    const QString lock = vault.mounted ? QStringLiteral("\U0001F513") : QStringLiteral("\U0001F512");
    auto* badge = new QPushButton(
        lock + QStringLiteral(" %1 - %2 - %3 - %4")
                   .arg(size, vault.name,
                        vault.encrypted ? QStringLiteral("ENCRYPTED") : QStringLiteral("UNENCRYPTED"),
                        vault.mounted ? QStringLiteral("MOUNTED") : QStringLiteral("UNMOUNTED")),
        badgeArea);
    connect(badge, &QPushButton::clicked, this, [this, vault] {
        if (!vault.mounted)
            Q_EMIT vaultClicked(vault.path);
    });
    row->addWidget(badge);
}
