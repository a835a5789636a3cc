#include "ui/ClockVaultWidget.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

ClockVaultWidget::ClockVaultWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(2);
    layout->setAlignment(Qt::AlignRight | Qt::AlignTop);

    clockLabel = new QLabel(this);
    clockLabel->setAlignment(Qt::AlignRight);
    clockLabel->setText(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss AP")));
    layout->addWidget(clockLabel);

    badgeArea = new QWidget(this);
    badgeArea->setFixedHeight(36);
    layout->addWidget(badgeArea);

    setFixedWidth(260);
    setMaximumHeight(110);
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
    row->setContentsMargins(0, 2, 0, 0);
    row->setSpacing(4);
    row->addStretch();
    if (vaults.isEmpty())
        return;

    const VaultBadgeInfo vault = vaults.first();
    auto* badge = new QPushButton(QStringLiteral("%1MB - %2").arg(vault.sizeMB).arg(vault.name),
                                  badgeArea);
    badge->setFixedHeight(28);
    connect(badge, &QPushButton::clicked, this, [this, vault] {
        if (!vault.mounted)
            Q_EMIT vaultClicked(vault.path);
    });
    row->addWidget(badge);
}
