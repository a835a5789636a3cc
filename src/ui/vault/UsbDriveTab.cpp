#include "ui/vault/UsbDriveTab.h"
#include "app/StyleManager.h"

#include "core/LogView.h"
#include "core/ToolRunner.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/SectionTitle.h"

#include <QBrush>
#include <QColor>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString diskutil = QStringLiteral("diskutil");

// Stops a timer for as long as it lives; one that was running starts again
// afterwards, from a full period.
class PollPause
{
public:
    explicit PollPause(QTimer* timer)
        : timer(timer)
        , wasActive(timer->isActive())
    {
        timer->stop();
    }
    ~PollPause()
    {
        if (wasActive && timer)
            timer->start();
    }
    PollPause(const PollPause&) = delete;
    PollPause& operator=(const PollPause&) = delete;

private:
    QPointer<QTimer> timer;
    bool wasActive;
};

} // namespace

UsbDriveTab::UsbDriveTab(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(4);

    QLabel* title = makeSectionTitle(QStringLiteral("USB Storage Drive Management"), this);
    title->setFixedHeight(22);
    layout->addWidget(title);

    auto* description = new QLabel(
        QStringLiteral("Detect and manage USB storage devices. Encrypt drives without reformatting "
                       "existing data. Analyze filesystem and encryption status."),
        this);
    description->setWordWrap(true);
    description->setStyleSheet(QStringLiteral("font-size: 12px;"));
    StyleManager::setTone(description, StyleManager::Muted);
    description->setMaximumHeight(36);
    layout->addWidget(description);

    driveTree = new QTreeWidget(this);
    driveTree->setObjectName(QStringLiteral("driveTree"));
    driveTree->setHeaderLabels({QStringLiteral("Volume"), QStringLiteral("Device"),
                                QStringLiteral("Filesystem"), QStringLiteral("Size"),
                                QStringLiteral("Encrypted"), QStringLiteral("Mount Point")});
    driveTree->setAlternatingRowColors(true);
    driveTree->setRootIsDecorated(false);
    driveTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    driveTree->setColumnWidth(0, 150);
    driveTree->setColumnWidth(5, 200);
    layout->addWidget(driveTree);

    auto* buttons = new QHBoxLayout;
    auto* refreshButton = new QPushButton(QStringLiteral("Refresh"), this);
    connect(refreshButton, &QPushButton::clicked, this, &UsbDriveTab::refreshDrives);
    auto* infoButton = new QPushButton(QStringLiteral("Drive Info"), this);
    infoButton->setObjectName(QStringLiteral("secondaryButton"));
    connect(infoButton, &QPushButton::clicked, this, &UsbDriveTab::showDriveInfo);
    auto* analyzeButton = new QPushButton(QStringLiteral("Analyze Encryption"), this);
    connect(analyzeButton, &QPushButton::clicked, this, &UsbDriveTab::analyzeSelected);
    auto* encryptButton = new QPushButton(QStringLiteral("Encrypt Drive..."), this);
    encryptButton->setStyleSheet(QStringLiteral("background-color: %1; color: white; font-weight: 600;")
                                     .arg(StyleManager::color(StyleManager::Action).name()));
    connect(encryptButton, &QPushButton::clicked, this, &UsbDriveTab::encryptSelected);
    for (QPushButton* button : {refreshButton, infoButton, analyzeButton, encryptButton})
        buttons->addWidget(button);
    buttons->addStretch();
    layout->addLayout(buttons);

    usbLog = LogView::createLogView(this);
    usbLog->setObjectName(QStringLiteral("usbLog"));
    usbLog->setMaximumHeight(120);
    QFont font = usbLog->font();
    font.setPointSize(11);
    usbLog->setFont(font);
    usbLog->setPlaceholderText(QStringLiteral("USB drive operations..."));
    layout->addWidget(usbLog);

    pollTimer = new QTimer(this);
    pollTimer->setObjectName(QStringLiteral("pollTimer"));
    connect(pollTimer, &QTimer::timeout, this, &UsbDriveTab::pollDrives);
    pollTimer->start(5000);

    // Not during construction: a drive attached at start is announced, and
    // the owner can only have connected to the announcement once we return.
    // In the main window, not before the window is on screen either.
    PageFill::afterWindowShown(this, [this] { refreshDrives(); });
}

void UsbDriveTab::log(const QString& line)
{
    LogView::appendLine(usbLog, line);
}

QMessageBox::StandardButton UsbDriveTab::showBox(QMessageBox::Icon icon, const QString& title,
                                                 const QString& text, QMessageBox::StandardButtons buttons,
                                                 QMessageBox::StandardButton defaultButton)
{
    const PollPause pause(pollTimer);
    ++questionsOpen;
    const auto answered = qScopeGuard([this] { --questionsOpen; });
    QMessageBox box(icon, title, text, buttons, this);
    box.setTextFormat(Qt::PlainText);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

QString UsbDriveTab::describe(const QString& disk)
{
    ToolRunner::Options options;
    options.finishTimeoutMs = describeTimeoutMs;
    return ToolRunner::run(diskutil, {QStringLiteral("info"), disk}, options).stdOutText();
}

QList<UsbDriveInfo> UsbDriveTab::detectUsbDrives()
{
    ToolRunner::Options options;
    options.finishTimeoutMs = listTimeoutMs;
    const ToolRunner::Result listed =
        ToolRunner::run(diskutil, {QStringLiteral("list"), QStringLiteral("external")}, options);
    QList<UsbDriveInfo> found;
    for (const QString& disk : UsbDriveInfo::diskIdentifiers(listed.stdOutText())) {
        const UsbDriveInfo info =
            UsbDriveInfo::fromDescription(QStringLiteral("/dev/") + disk, describe(disk));
        if (info.protocol.contains(QLatin1String("USB"), Qt::CaseInsensitive)
            && !info.volumeName.isEmpty())
            found << info;
    }
    return found;
}

QString UsbDriveTab::diskutilPath()
{
    // Looked up, not run: a poll of a tool that is not there starts nothing,
    // and finds it once it is installed.
    const QString path = ToolRunner::findTool(diskutil);
    const QFileInfo file(path);
    if (file.isFile() && file.isExecutable())
        return path;
    // An empty list alone would read as "no drives attached".
    tellListingFailure(QStringLiteral("Could not start diskutil: no drives can be listed."));
    return QString();
}

void UsbDriveTab::tellListingFailure(const QString& line)
{
    // Told once, not at every poll, and again only after a listing worked.
    if (line == toldFailure)
        return;
    toldFailure = line;
    log(line);
}

void UsbDriveTab::pollDrives()
{
    // A listing that outlasts the interval is waited for, not stacked up behind.
    if (!listingRuns)
        refreshDrives();
}

void UsbDriveTab::refreshDrives()
{
    const int asked = ++listingGeneration;
    const QString program = diskutilPath();
    if (program.isEmpty()) {
        listingRuns = false;
        showDrives({});
        return;
    }
    listingRuns = true;
    ToolRunner::Options options;
    options.finishTimeoutMs = listTimeoutMs;
    ToolRunner::runAsync(program, {QStringLiteral("list"), QStringLiteral("external")}, options, this,
                         [this, asked, program](const ToolRunner::Result& listed) {
                             if (asked != listingGeneration)
                                 return;
                             if (!listed.finished()) {
                                 // Says nothing about the drives: the rows stay as they were.
                                 listingRuns = false;
                                 const QString why = listed.timedOut
                                     ? QStringLiteral("diskutil did not answer within %1 s")
                                           .arg(QString::number(listTimeoutMs / 1000.0))
                                     : QStringLiteral("diskutil ") + listed.failure;
                                 tellListingFailure(why + QStringLiteral(": no drives can be listed."));
                                 Q_EMIT drivesListed();
                                 return;
                             }
                             toldFailure.clear();
                             describeNext(asked, program, UsbDriveInfo::diskIdentifiers(listed.stdOutText()), {});
                         });
}

void UsbDriveTab::describeNext(int asked, const QString& program, QStringList disks, QList<UsbDriveInfo> found)
{
    if (disks.isEmpty()) {
        listingRuns = false;
        showDrives(found);
        return;
    }
    const QString disk = disks.takeFirst();
    ToolRunner::Options options;
    options.finishTimeoutMs = describeTimeoutMs;
    ToolRunner::runAsync(program, {QStringLiteral("info"), disk}, options, this,
                         [this, asked, program, disk, disks, found](const ToolRunner::Result& described) mutable {
                             if (asked != listingGeneration)
                                 return;
                             const UsbDriveInfo info = UsbDriveInfo::fromDescription(
                                 QStringLiteral("/dev/") + disk, described.stdOutText());
                             if (info.protocol.contains(QLatin1String("USB"), Qt::CaseInsensitive)
                                 && !info.volumeName.isEmpty())
                                 found << info;
                             describeNext(asked, program, disks, found);
                         });
}

void UsbDriveTab::showDrives(const QList<UsbDriveInfo>& found)
{
    // The user is answering a question about the list as it is; the next
    // poll shows what changed.
    if (questionsOpen > 0) {
        Q_EMIT drivesListed();
        return;
    }
    // A poll must not take the user's choice away: the row of the same
    // volume at the same device is current again afterwards.
    const UsbDriveInfo* current = selectedDrive();
    const bool keepSelection = current != nullptr;
    const UsbDriveInfo selected = current ? *current : UsbDriveInfo();

    const qsizetype before = drives.size();
    drives = found;
    if (before == 0 && !drives.isEmpty())
        Q_EMIT usbDriveDetected(drives.first().volumeName);

    driveTree->clear();
    for (int i = 0; i < drives.size(); ++i) {
        const UsbDriveInfo& drive = drives.at(i);
        auto* item = new QTreeWidgetItem(driveTree);
        item->setText(0, drive.volumeName);
        item->setData(0, Qt::UserRole, i);
        if (!drive.mounted)
            StyleManager::setItemTone(item, 0, StyleManager::Muted);
        item->setText(1, drive.device);
        item->setText(2, drive.filesystem);
        item->setText(3, UsbDriveInfo::sizeText(drive.sizeBytes));
        item->setText(4, drive.encrypted ? QStringLiteral("Yes") : QStringLiteral("No"));
        StyleManager::setItemTone(item, 4, drive.encrypted ? StyleManager::Success : StyleManager::Warning);
        item->setText(5, drive.mountPoint);
        if (keepSelection && drive.sameVolume(selected))
            driveTree->setCurrentItem(item);
    }
    Q_EMIT drivesListed();
}

const UsbDriveInfo* UsbDriveTab::selectedDrive() const
{
    const QTreeWidgetItem* item = driveTree->currentItem();
    if (!item)
        return nullptr;
    const int index = item->data(0, Qt::UserRole).toInt();
    if (index < 0 || index >= drives.size())
        return nullptr;
    return &drives.at(index);
}

void UsbDriveTab::showDriveInfo()
{
    if (!driveTree->currentItem()) {
        showBox(QMessageBox::Information, QStringLiteral("Info"), QStringLiteral("Select a drive."));
        return;
    }
    const UsbDriveInfo* drive = selectedDrive();
    if (!drive)
        return;
    // Copied: the run blocks, but nothing may refill the list under a reference.
    const UsbDriveInfo selected = *drive;
    const QString description = describe(selected.device);
    log(QStringLiteral("=== ") + selected.volumeName + QStringLiteral(" ==="));
    log(description.left(500));
}

void UsbDriveTab::analyzeSelected()
{
    const UsbDriveInfo* selected = selectedDrive();
    if (!selected)
        return;
    const UsbDriveInfo drive = *selected;
    const auto yesNo = [](bool flag) { return flag ? QStringLiteral("YES") : QStringLiteral("NO"); };
    log(QStringLiteral("Analyzing: %1 (%2)").arg(drive.volumeName, drive.device));
    log(QStringLiteral("  Filesystem: %1").arg(drive.filesystem));
    log(QStringLiteral("  Encrypted:  %1").arg(yesNo(drive.encrypted)));
    log(QStringLiteral("  Mounted:    %1").arg(yesNo(drive.mounted)));

    const QString& fs = drive.filesystem;
    QStringList verdict;
    if (drive.encrypted) {
        verdict << QStringLiteral("  Status: Drive is already encrypted.");
    } else if (fs == QLatin1String("APFS")) {
        verdict << QStringLiteral("  APFS volume can be encrypted in-place with FileVault.")
                << QStringLiteral("  Command: diskutil apfs encryptVolume ") + drive.device;
    } else if (fs.contains(QLatin1String("FAT")) || fs.contains(QLatin1String("exFAT"))) {
        verdict << QStringLiteral("  FAT/exFAT drives cannot be encrypted in-place on macOS.")
                << QStringLiteral("  Options: 1) Create encrypted disk image on the drive")
                << QStringLiteral("           2) Reformat as APFS (WARNING: erases data)");
    } else if (fs.contains(QLatin1String("HFS")) || fs.contains(QLatin1String("Mac OS"))) {
        verdict << QStringLiteral("  HFS+ can be encrypted with FileVault.")
                << QStringLiteral("  Consider converting to APFS first for better performance.");
    } else {
        verdict << QStringLiteral("  Unknown filesystem \u2014 check compatibility.");
    }
    for (const QString& line : verdict)
        log(line);
    Q_EMIT logRequest(QStringLiteral("USB Analyze"), drive.volumeName, true, drive.filesystem);
}

void UsbDriveTab::encryptSelected()
{
    const UsbDriveInfo* selected = selectedDrive();
    if (!selected)
        return;
    const UsbDriveInfo drive = *selected;
    if (drive.encrypted) {
        showBox(QMessageBox::Information, QStringLiteral("Encrypt"),
                drive.volumeName + QStringLiteral(" is already encrypted."));
        return;
    }
    if (!drive.filesystem.contains(QLatin1String("APFS"))) {
        showBox(
            QMessageBox::Warning, QStringLiteral("Encrypt"),
            QStringLiteral("In-place encryption requires APFS filesystem.\n\nCurrent filesystem: %1\n\n"
                           "Options:\n1. Create an encrypted .qvimgv vault on this drive\n"
                           "2. Reformat as APFS (erases data)\n\nUse the Secure Vault tab to create "
                           "an encrypted container on this drive instead.")
                .arg(drive.filesystem));
        return;
    }
    const auto answer = showBox(
        QMessageBox::Warning, QStringLiteral("Encrypt USB Drive"),
        QStringLiteral("Encrypt volume: %1\nDevice: %2\nFilesystem: %3\n\n"
                       "This will enable FileVault encryption on this APFS volume.\n"
                       "Data is preserved \u2014 encryption happens in the background.\n\n"
                       "You will be prompted for an encryption password.\n\nContinue?")
            .arg(drive.volumeName, drive.device, drive.filesystem),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    // Identifiers are handed out again as drives come and go: /dev/disk5 may
    // be another drive by now. Only the volume the user said Yes to is
    // encrypted.
    const UsbDriveInfo now = UsbDriveInfo::fromDescription(drive.device, describe(drive.device));
    if (!now.sameVolume(drive)) {
        log(QStringLiteral("Device list changed \u2014 operation cancelled."));
        refreshDrives();
        return;
    }

    log(QStringLiteral("Encrypting %1...").arg(drive.volumeName));
    log(QStringLiteral("diskutil will prompt for password in a system dialog."));
    ToolRunner::Options options;
    options.finishTimeoutMs = encryptTimeoutMs;
    // Killing an encryption half-way through would leave the volume in an
    // unknown state: one that outlives the wait is reported as failed but left
    // to finish, and its end is logged when it comes.
    options.keepRunningUnder = this;
    options.lateFinish = [this](const ToolRunner::Result& late) {
        log(late.crashed ? QStringLiteral("Encryption process ended: crashed")
                         : QStringLiteral("Encryption process ended: exit %1").arg(late.exitCode));
    };
    const ToolRunner::Result result = ToolRunner::run(
        diskutil, {QStringLiteral("apfs"), QStringLiteral("encryptVolume"), drive.device}, options);
    if (!result.succeeded()) {
        // A tool that timed out or was killed may have said nothing: then the
        // runner's reason is the only account of what went wrong.
        QString error = result.stdErrText();
        if (error.trimmed().isEmpty())
            error = result.failure;
        log(QStringLiteral("Encryption failed: ") + error.trimmed());
        log(QStringLiteral("May require: sudo diskutil apfs encryptVolume ") + drive.device);
        Q_EMIT logRequest(QStringLiteral("USB Encrypt"), drive.volumeName, false, error.left(80));
        return;
    }
    log(QStringLiteral("Encryption started. Background process will complete."));
    Q_EMIT logRequest(QStringLiteral("USB Encrypt"), drive.volumeName, true,
                      QStringLiteral("APFS FileVault"));
    refreshDrives();
}
