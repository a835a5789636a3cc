#include "app/MainWindow.h"
#include "app/StyleManager.h"

#include "core/ToolRunner.h"
#include "signing/ChainBuilder.h"
#include "signing/SigningManager.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/HeaderFit.h"
#include "ui/widgets/SectionTitle.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

QWidget* MainWindow::createCertificatesTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(makeSectionTitle(QStringLiteral("Certificate Lifecycle Management"), page));

    certAlertLabel = new QLabel(page);
    certAlertLabel->setWordWrap(true);
    certAlertLabel->hide();
    layout->addWidget(certAlertLabel);

    certTree = new QTreeWidget(page);
    certTree->setObjectName(QStringLiteral("certTree"));
    certTree->setColumnCount(6);
    certTree->setHeaderLabels({QStringLiteral("Subject"), QStringLiteral("Type"),
                               QStringLiteral("Days Left"), QStringLiteral("Expires"),
                               QStringLiteral("Key Location"), QStringLiteral("Status")});
    certTree->setAlternatingRowColors(true);
    certTree->setRootIsDecorated(true);
    certTree->header()->setSectionResizeMode(QHeaderView::Interactive);
    certTree->header()->setDefaultSectionSize(130);
    certTree->setColumnWidth(0, 250);
    keepSectionsFitted(certTree->header());
    layout->addWidget(certTree);
    // Tells why the keychain could not be listed; hidden while there is nothing to tell.
    auto* certStatus = new QLabel(page);
    certStatus->setObjectName(QStringLiteral("certStatus"));
    certStatus->setTextFormat(Qt::PlainText);
    certStatus->setWordWrap(true);
    certStatus->hide();
    layout->addWidget(certStatus);

    // The keychain is read in the background when the page is first shown,
    // not while the window is built, and again after an import. The page has
    // no log of its own: a failure is told under the list.
    certificateFill = new PageFill(page, certTree, certStatus);
    certificateFill->setFill([this] {
        certificateFill->run(QStringLiteral("security"), SigningManager::signingIdentityArguments(),
                             signingManager->listingOptions(),
                             [this](const ToolRunner::Result& r) {
                                 if (!r.finished()) {
                                     certTree->clear();
                                     certAlertLabel->hide();
                                     certificateFill->tell(QStringLiteral("Keychain certificates could not be listed: ")
                                                           + toolFailure(r));
                                     return;
                                 }
                                 certificateFill->tell(QString());
                                 showCertificates(SigningManager::parseSigningIdentities(r.stdOutText()));
                             });
    });

    auto* buttons = new QHBoxLayout;
    auto* importButton = new QPushButton(QStringLiteral("Import Certificate"), page);
    auto* inspectButton = new QPushButton(QStringLiteral("Inspect File..."), page);
    inspectButton->setObjectName(QStringLiteral("secondaryButton"));
    auto* csrButton = new QPushButton(QStringLiteral("Generate CSR"), page);
    connect(importButton, &QPushButton::clicked, this, &MainWindow::onImportCertificate);
    connect(inspectButton, &QPushButton::clicked, this, &MainWindow::onInspectCertificate);
    connect(csrButton, &QPushButton::clicked, this, &MainWindow::onGenerateCsr);
    buttons->addWidget(importButton);
    buttons->addWidget(inspectButton);
    buttons->addWidget(csrButton);
    buttons->addStretch();
    layout->addLayout(buttons);
    return page;
}

void MainWindow::showCertificates(const QList<CertificateInfo>& identities)
{
    certTree->clear();
    int invalidCount = 0;
    for (const CertificateInfo& identity : identities) {
        auto* item = new QTreeWidgetItem(certTree);
        item->setText(0, identity.name);
        item->setText(1, QStringLiteral("Code Signing"));
        item->setText(4, QStringLiteral("Keychain"));
        item->setText(5, identity.valid ? QStringLiteral("Valid") : QStringLiteral("Invalid"));
        StyleManager::setItemTone(item, 5, identity.valid ? StyleManager::Success : StyleManager::Danger);
        if (!identity.valid)
            ++invalidCount;
    }

    if (invalidCount == 0) {
        certAlertLabel->hide();
        return;
    }
    certAlertLabel->setText(
        QStringLiteral("ALERT: %1 certificate(s) have EXPIRED. Renew immediately.").arg(invalidCount));
    certAlertLabel->setObjectName(QStringLiteral("criticalStatus"));
    // Style sheets match on the object name only when the widget is polished,
    // so a label that is already on screen has to be polished again.
    certAlertLabel->style()->unpolish(certAlertLabel);
    certAlertLabel->style()->polish(certAlertLabel);
    certAlertLabel->show();
}

void MainWindow::onImportCertificate()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Import Certificate"), QString(),
        QStringLiteral("Certificates (*.pem *.der *.crt *.cer *.p12)"));
    if (path.isEmpty())
        return;
    // An empty keychain name lets the keychain tool use its default keychain.
    const bool ok = signingManager->importCertificate(path, QString());
    logSession(QStringLiteral("Import Cert"), QStringLiteral("Keychain"), ok, path);
    if (ok)
        certificateFill->refresh();
}

void MainWindow::onInspectCertificate()
{
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Inspect Certificate"), QString(),
        QStringLiteral("Certificates (*.pem *.der *.crt *.cer)"));
    if (path.isEmpty())
        return;

    ChainBuilder builder;
    builder.opensslTimeoutMs = certificateToolTimeoutMs;
    const ChainBuilder::CertInfo info = builder.parseCertificate(path);
    if (!info.failure.isEmpty()) {
        QMessageBox box(QMessageBox::Warning, QStringLiteral("Certificate Details"),
                        QStringLiteral("The certificate could not be read: ") + info.failure + QLatin1Char('.'),
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        logSession(QStringLiteral("Inspect Cert"), QStringLiteral("OpenSSL"), false, path);
        return;
    }
    const QString status = info.expired       ? QStringLiteral("EXPIRED")
                           : info.notYetValid ? QStringLiteral("Not yet valid")
                           : info.valid       ? QStringLiteral("Valid")
                                              : QStringLiteral("Invalid");
    // Every value comes from the certificate, which anyone can write: fill all
    // nine in one pass, so that a "%1" inside a subject stays as it is, and
    // show the result as plain text, so that markup in it stays visible.
    const QString details =
        QStringLiteral("Subject:     %1\n"
                       "Issuer:      %2\n"
                       "Not Before:  %3\n"
                       "Not After:   %4\n"
                       "Days Left:   %5\n"
                       "Serial:      %6\n"
                       "Fingerprint: %7\n"
                       "EKU:         %8\n"
                       "Status:      %9")
            .arg(info.subject, info.issuer, info.notBefore, info.notAfter,
                 QString::number(info.daysLeft), info.serial, info.fingerprint,
                 info.extendedKeyUsage.join(QStringLiteral(", ")), status);

    QMessageBox box(QMessageBox::Information, QStringLiteral("Certificate Details"), details,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    // The labels are padded to one width: only a fixed-pitch font lines the
    // values up. The application sheet names a font family for every widget,
    // which outranks setFont, so the label's own sheet has to name this one.
    if (auto* text = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
        const QString fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
        text->setStyleSheet(QStringLiteral("font-family: \"%1\", monospace;").arg(fixed));
    }
    box.exec();
    logSession(QStringLiteral("Inspect Cert"), QStringLiteral("OpenSSL"), true, path);
}

void MainWindow::onGenerateCsr()
{
    // Key pairs and requests are made on the token itself, from the device's
    // PIV page, so the button leads there.
    tabWidget->setCurrentIndex(DeviceInspectorPage);
    statusLabel->setText(QStringLiteral("Select a PIV-capable key and open Device Details \u2192 PIV "
                                        "to generate a key and CSR"));
}

void MainWindow::onManageCertificates()
{
    tabWidget->setCurrentIndex(CertificatesPage);
}
