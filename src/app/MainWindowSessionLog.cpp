#include "app/MainWindow.h"

#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "fido/FidoDeviceManager.h"
#include "ui/widgets/SectionTitle.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QTextEdit>
#include <QVBoxLayout>

QWidget* MainWindow::createSessionLogTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(makeSectionTitle(QStringLiteral("Session Audit Log"), page));

    auto* note = new QLabel(QStringLiteral("All operations are logged with timestamps. PINs and "
                                           "private key material are never recorded."),
                            page);
    note->setWordWrap(true);
    layout->addWidget(note);

    sessionLogView = LogView::createLogView(page);
    sessionLogView->setObjectName(QStringLiteral("sessionLogView"));
    sessionLogView->setPlaceholderText(QStringLiteral("Session log will appear here..."));
    QFont font = sessionLogView->font();
    font.setPointSize(12);
    sessionLogView->setFont(font);
    layout->addWidget(sessionLogView, 1);

    auto* buttons = new QHBoxLayout;
    auto* saveButton = new QPushButton(QStringLiteral("Save Log to File..."), page);
    auto* copyButton = new QPushButton(QStringLiteral("Copy to Clipboard"), page);
    copyButton->setObjectName(QStringLiteral("secondaryButton"));
    auto* clearButton = new QPushButton(QStringLiteral("Clear Log"), page);
    clearButton->setObjectName(QStringLiteral("secondaryButton"));
    buttons->addWidget(saveButton);
    buttons->addWidget(copyButton);
    buttons->addWidget(clearButton);
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(saveButton, &QPushButton::clicked, this, &MainWindow::saveSessionLog);
    connect(copyButton, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(sessionLogView->toPlainText(), QClipboard::Clipboard);
        statusLabel->setText(QStringLiteral("Session log copied to clipboard"));
    });
    connect(clearButton, &QPushButton::clicked, sessionLogView, &QTextEdit::clear);

    for (const QString& line : std::as_const(sessionLines))
        LogView::appendLine(sessionLogView, line);
    sessionLines.clear();
    return page;
}

void MainWindow::startSessionLog()
{
    sessionStarted = true;
    logSession(QStringLiteral("Application Start"), QStringLiteral("N/A"), true,
               QStringLiteral("OstrevanTessaril ") + QCoreApplication::applicationVersion());
}

void MainWindow::logSession(const QString& op, const QString& device, bool success,
                            const QString& detail)
{
    if (!sessionStarted)
        return;
    const QString time = QDateTime::currentDateTime().toString(Qt::ISODate);
    const QString status = QString::fromLatin1(success ? "OK" : "FAIL").leftJustified(4);
    // One pass, so a "%1" inside the device or the detail stays as it is.
    const QString line = QStringLiteral("[%1] %2 | %3 | %4 | %5")
                             .arg(time, status, op.leftJustified(20), device, detail);
    // The page is built when first shown; until then its lines wait here.
    if (!sessionLogView) {
        sessionLines << line;
        return;
    }
    LogView::appendLine(sessionLogView, line);
}

void MainWindow::saveSessionLog()
{
    const QString suggested = QStringLiteral("tessaril-session-%1.log")
                                  .arg(QDateTime::currentDateTime().toString(
                                      QStringLiteral("yyyy-MM-dd-HHmmss")));
    const QString chosen = QFileDialog::getSaveFileName(this, QStringLiteral("Save Session Log"),
                                                        suggested,
                                                        QStringLiteral("Log Files (*.log *.txt)"));
    if (chosen.isEmpty())
        return;
    const QString path = QFileInfo(chosen).absoluteFilePath();

    const QString header =
        QStringLiteral("# OstrevanTessaril Session Log\n"
                       "# Exported: %1\n"
                       "# Version: %2\n"
                       "# Platform: %3 (%4)\n"
                       "# Devices: %5\n"
                       "# NOTE: PINs and private key material are NEVER recorded.\n"
                       "#\n\n")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODate),
                 QCoreApplication::applicationVersion(), QSysInfo::prettyProductName(),
                 QSysInfo::currentCpuArchitecture(), QString::number(fidoManager->deviceCount()));
    const QByteArray data = header.toUtf8() + sessionLogView->toPlainText().toUtf8();
    // An export that did not reach the disk whole is not reported as saved,
    // and the previous file, if any, stays as it was. The log names files and
    // devices: it is kept owner-only like everything else the program writes.
    if (!PrivateFiles::writeOwnerOnly(path, data)) {
        statusLabel->setText(QStringLiteral("Session log export failed: ") + path);
        logSession(QStringLiteral("Export Log"), QStringLiteral("N/A"), false, path);
        return;
    }
    statusLabel->setText(QStringLiteral("Session log saved: ") + path);
    logSession(QStringLiteral("Export Log"), QStringLiteral("N/A"), true, path);
}
