#include "ui/vault/ClockVaultWidget.h"

#include "vault/CloudFolders.h"

#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimeZone>
#include <QTimer>
#include <QVBoxLayout>

ClockVaultWidget::ClockVaultWidget(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(2);
    layout->setAlignment(Qt::AlignRight | Qt::AlignTop);

    clockLabel = new QLabel(this);
    // The labels' colours and fonts come from the theme's sheet, by object
    // name: a colour fixed here would vanish on the other theme's background.
    clockLabel->setObjectName(QStringLiteral("clockLabel"));
    clockLabel->setAlignment(Qt::AlignRight);
    layout->addWidget(clockLabel);

    dateLabel = new QLabel(this);
    dateLabel->setObjectName(QStringLiteral("dateLabel"));
    dateLabel->setAlignment(Qt::AlignRight);
    layout->addWidget(dateLabel);

    zoneLabel = new QLabel(this);
    zoneLabel->setObjectName(QStringLiteral("zoneLabel"));
    zoneLabel->setAlignment(Qt::AlignRight);
    layout->addWidget(zoneLabel);

    badgeArea = new QWidget(this);
    badgeArea->setObjectName(QStringLiteral("badgeArea"));
    badgeArea->setFixedHeight(36);
    layout->addWidget(badgeArea);

    clockTimer = new QTimer(this);
    connect(clockTimer, &QTimer::timeout, this, &ClockVaultWidget::updateClock);
    clockTimer->start(1000);
    updateClock();

    setMaximumHeight(110);
}

void ClockVaultWidget::updateClock()
{
    // One reading for all three labels, so they never straddle midnight.
    const QDateTime now = QDateTime::currentDateTime();
    clockLabel->setText(now.toString(QStringLiteral("hh:mm:ss AP")));
    dateLabel->setText(now.toString(QStringLiteral("dddd, MMMM d, yyyy")));
    const QTimeZone zone = QTimeZone::systemTimeZone();
    const int offset = zone.offsetFromUtc(now);
    if (zoneName.isNull() || zone.id() != zoneId || offset != zoneOffset) {
        zoneId = zone.id();
        zoneOffset = offset;
        zoneName = zone.displayName(now, QTimeZone::ShortName, QLocale());
    }
    zoneLabel->setText(zoneName);
}

QSize ClockVaultWidget::sizeHint() const
{
    // As narrow as the corner's contents allow, so that the tabs beside it
    // keep the width, yet wide enough for the longest date of any day: the
    // tabs do not shift as the days pass.
    const QSize natural = QWidget::sizeHint();
    const QMargins margins = layout()->contentsMargins();
    const int longestDate = dateLabel->fontMetrics().horizontalAdvance(
                                QStringLiteral("Wednesday, September 30, 2026"))
        + margins.left() + margins.right();
    return {qMax(natural.width(), longestDate), natural.height()};
}

void ClockVaultWidget::setVaults(const QList<VaultBadgeInfo>& list)
{
    vaults = list;
    currentIndex = 0;
    rebuildBadges();
}

void ClockVaultWidget::updateVaultStatus(const QString& path, bool mounted)
{
    for (VaultBadgeInfo& vault : vaults) {
        if (vault.path == path) {
            vault.mounted = mounted;
            break;
        }
    }
    rebuildBadges();
}

void ClockVaultWidget::rebuildBadges()
{
    // The old badge may be the very button (or counter) whose click led here:
    // it leaves the row at once but is deleted only once its event is done.
    if (QLayout* old = badgeArea->layout()) {
        while (QLayoutItem* item = old->takeAt(0)) {
            if (QWidget* widget = item->widget()) {
                widget->hide();
                widget->setParent(nullptr);
                widget->deleteLater();
            }
            delete item;
        }
        delete old;
    }
    counterLabel = nullptr;

    auto* row = new QHBoxLayout(badgeArea);
    row->setContentsMargins(0, 2, 0, 0);
    row->setSpacing(4);
    row->addStretch();
    if (vaults.isEmpty()) {
        auto* none = new QLabel(QStringLiteral("No vaults"), badgeArea);
        none->setObjectName(QStringLiteral("noVaultsLabel"));
        none->setAlignment(Qt::AlignRight);
        row->addWidget(none);
        updateGeometry();
        return;
    }

    const int shown = currentIndex % vaults.size();
    const VaultBadgeInfo vault = vaults.at(shown);
    const QString size = vault.sizeMB < 1024 ? QStringLiteral("%1MB").arg(vault.sizeMB)
                                             : QStringLiteral("%1GB").arg(vault.sizeMB / 1024);
    const QString lock = vault.mounted ? QStringLiteral("\U0001F513") : QStringLiteral("\U0001F512");
    auto* badge = new QPushButton(
        lock + QStringLiteral(" %1 - %2 - %3 - %4")
                   .arg(size, vault.name,
                        vault.encrypted ? QStringLiteral("ENCRYPTED") : QStringLiteral("UNENCRYPTED"),
                        vault.mounted ? QStringLiteral("MOUNTED") : QStringLiteral("UNMOUNTED")),
        badgeArea);
    badge->setFixedHeight(28);
    QString background, text;
    if (vault.mounted) {
        background = QStringLiteral("#0f3d1f");
        text = QStringLiteral("#22c55e");
    } else if (vault.encrypted) {
        background = QStringLiteral("#1e293b");
        text = QStringLiteral("#0ea5e9");
    } else {
        background = QStringLiteral("#3b1f1f");
        text = QStringLiteral("#f59e0b");
    }
    badge->setStyleSheet(QStringLiteral("QPushButton {  background-color: %1;  color: %2;  "
                                        "border: 1px solid %3;  border-radius: 4px;  "
                                        "padding: 2px 8px;  font-size: 9px;  font-weight: 600;  "
                                        "font-family: 'SF Mono', monospace;  text-align: right;}"
                                        "QPushButton:hover {  background-color: %3;  color: #ffffff;}")
                             .arg(background, text, text));
    connect(badge, &QPushButton::clicked, this, [this, vault] { onBadgeClicked(vault); });
    row->addWidget(badge);

    if (vaults.size() >= 2) {
        counterLabel = new QLabel(QStringLiteral("%1/%2").arg(shown + 1).arg(vaults.size()), badgeArea);
        counterLabel->setObjectName(QStringLiteral("vaultCounter"));
        counterLabel->setCursor(Qt::PointingHandCursor);
        counterLabel->installEventFilter(this);
        row->addWidget(counterLabel);
    }
    // The badge's text sets the corner's width: the tab widget places its
    // corner by the size hint.
    updateGeometry();
}

bool ClockVaultWidget::eventFilter(QObject* watched, QEvent* event)
{
    // The counter looks clickable, so a click on it steps to the next vault.
    if (watched == counterLabel && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        currentIndex = (currentIndex % vaults.size() + 1) % vaults.size();
        rebuildBadges();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ClockVaultWidget::onBadgeClicked(const VaultBadgeInfo& vault)
{
    if (!vault.mounted) {
        Q_EMIT vaultClicked(vault.path);
        return;
    }
    QMenu menu;
    menu.addAction(QStringLiteral("Vault: ") + vault.name)->setEnabled(false);
    menu.addSeparator();
    // Looked for anew each time: a client may have been installed meanwhile.
    const QStringList clouds = detectCloudDrives();
    const struct {
        const char* label;
        const char* entry;
        const char* target;
    } targets[] = {
        {"iCloud", "Backup to iCloud Drive", "icloud"},
        {"Google Drive", "Backup to Google Drive", "gdrive"},
        {"OneDrive", "Backup to OneDrive", "onedrive"},
    };
    for (const auto& target : targets) {
        if (!clouds.contains(QLatin1String(target.label)))
            continue;
        const QString cloudTarget = QLatin1String(target.target);
        connect(menu.addAction(QLatin1String(target.entry)), &QAction::triggered, this,
                [this, path = vault.path, cloudTarget] { Q_EMIT vaultBackupRequested(path, cloudTarget); });
    }
    if (clouds.isEmpty())
        menu.addAction(QStringLiteral("No cloud drives detected"))->setEnabled(false);
    menu.addSeparator();
    connect(menu.addAction(QStringLiteral("Unmount")), &QAction::triggered, this,
            [this, path = vault.path] { Q_EMIT vaultClicked(path); });
    menu.exec(QCursor::pos());
}

QStringList ClockVaultWidget::detectCloudDrives() const
{
    const QString home = QDir::homePath();
    const auto isDir = [](const QString& path) { return QFileInfo(path).isDir(); };
    const QString storage = home + QLatin1String(CloudFolders::cloudStorage);
    QStringList found;
    if (isDir(home + QLatin1String(CloudFolders::iCloudDrive)))
        found << QStringLiteral("iCloud");
    if (isDir(home + QStringLiteral("/Google Drive"))
        || !CloudFolders::firstMatchingDir(storage, QStringLiteral("GoogleDrive-*")).isEmpty())
        found << QStringLiteral("Google Drive");
    if (isDir(home + QStringLiteral("/OneDrive"))
        || !CloudFolders::firstMatchingDir(storage, QStringLiteral("OneDrive-*")).isEmpty())
        found << QStringLiteral("OneDrive");
    if (isDir(home + QStringLiteral("/Dropbox")))
        found << QStringLiteral("Dropbox");
    return found;
}
