#include "app/MainWindow.h"

#include "config/UserProfile.h"
#include "core/LogText.h"
#include "core/LogView.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "piv/OpenscBridge.h"
#include "piv/Pkcs11Modules.h"
#include "signing/ChainBuilder.h"
#include "signing/OsslSigncodeBridge.h"
#include "signing/Pkcs11Config.h"
#include "signing/SigningDefaults.h"
#include "signing/SigningManager.h"
#include "signing/SigningProfileManager.h"
#include "ui/widgets/PageFill.h"
#include "ui/widgets/SectionTitle.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>


namespace {

QString noProfileEntry()
{
    return QStringLiteral("(none \u2014 manual config)");
}

QString pkcs11ConfigPath()
{
    return UserProfile::configDir() + QStringLiteral("/openssl-pkcs11.cnf");
}

// A field in the given row of a group's grid, its label to the left.
void addField(QGridLayout* grid, int row, const QString& label, QWidget* field)
{
    grid->addWidget(new QLabel(label, grid->parentWidget()), row, 0);
    grid->addWidget(field, row, 1);
}

void fillProfileCombo(QComboBox* combo)
{
    combo->clear();
    combo->addItem(noProfileEntry());
    for (const SigningProfile& profile : SigningProfileManager::loadAll())
        combo->addItem(profile.name);
}

QPushButton* makeButton(const QString& text, QWidget* parent, const char* objectName = nullptr)
{
    auto* button = new QPushButton(text, parent);
    if (objectName)
        button->setObjectName(QLatin1String(objectName));
    return button;
}

QLineEdit* makeLineEdit(const char* objectName, const QString& placeholder, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(objectName));
    edit->setPlaceholderText(placeholder);
    return edit;
}

// A key named by an RFC 7512 URI lives on a token; anything else is a key file.
bool isTokenKey(const QString& key)
{
    return key.trimmed().startsWith(QLatin1String("pkcs11:"), Qt::CaseInsensitive);
}

void addIdentities(QComboBox* combo, const QList<CertificateInfo>& identities)
{
    for (const CertificateInfo& identity : identities)
        combo->addItem(identity.name);
    if (combo->count() > 0)
        combo->setCurrentIndex(0);
}

bool confirmReplace(QWidget* parent, const QString& out)
{
    QMessageBox box(QMessageBox::Question, QStringLiteral("Sign PE"),
                    QStringLiteral("Replace existing signed file?"),
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setInformativeText(out);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

QWidget* MainWindow::createCodeSigningTab()
{
    auto* page = new QWidget;
    auto* pageLayout = new QVBoxLayout(page);
    pageLayout->setContentsMargins(4, 0, 4, 2);
    pageLayout->setSpacing(2);

    QLabel* title = makeSectionTitle(QStringLiteral("Code Signing & Notarization"), page);
    title->setFixedHeight(22);
    pageLayout->addWidget(title);

    auto* splitter = new QSplitter(Qt::Horizontal, page);
    pageLayout->addWidget(splitter);

    // Left pane: the controls.
    auto* scroll = new QScrollArea(splitter);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* controls = new QWidget(scroll);
    auto* controlsLayout = new QVBoxLayout(controls);
    controlsLayout->setContentsMargins(0, 0, 0, 0);
    controlsLayout->setSpacing(4);

    auto* profileRow = new QHBoxLayout;
    profileRow->addWidget(new QLabel(QStringLiteral("Profile:"), controls));
    auto* profileCombo = new QComboBox(controls);
    profileCombo->setObjectName(QStringLiteral("profileCombo"));
    profileRow->addWidget(profileCombo, 1);
    QPushButton* saveProfileButton = makeButton(QStringLiteral("Save Profile"), controls, "secondaryButton");
    profileRow->addWidget(saveProfileButton);
    QPushButton* deleteProfileButton = makeButton(QStringLiteral("Delete"), controls, "dangerButton");
    profileRow->addWidget(deleteProfileButton);
    controlsLayout->addLayout(profileRow);

    auto* macGroup = new QGroupBox(QStringLiteral("macOS Signing (codesign)"), controls);
    auto* macGrid = new QGridLayout(macGroup);
    identityCombo = new QComboBox(macGroup);
    identityCombo->setObjectName(QStringLiteral("identityCombo"));
    identityCombo->setPlaceholderText(QStringLiteral("Developer ID Application: ..."));
    auto* notarizeProfileEdit = makeLineEdit("notarizeProfileEdit", QStringLiteral("Ostrevan-Notarize"), macGroup);
    addField(macGrid, 0, QStringLiteral("App Identity:"), identityCombo);
    addField(macGrid, 1, QStringLiteral("Notarize Profile:"), notarizeProfileEdit);
    auto* macButtons = new QHBoxLayout;
    QPushButton* signButton = makeButton(QStringLiteral("Sign .app / Binary..."), macGroup);
    QPushButton* verifyButton = makeButton(QStringLiteral("Verify"), macGroup, "secondaryButton");
    QPushButton* notarizeButton = makeButton(QStringLiteral("Notarize..."), macGroup);
    macButtons->addWidget(signButton);
    macButtons->addWidget(verifyButton);
    macButtons->addWidget(notarizeButton);
    macGrid->addLayout(macButtons, 2, 0, 1, 2);
    // Tells why no identity could be listed; hidden while there is nothing to tell.
    auto* identityStatus = new QLabel(macGroup);
    identityStatus->setObjectName(QStringLiteral("identityStatus"));
    identityStatus->setTextFormat(Qt::PlainText);
    identityStatus->setWordWrap(true);
    identityStatus->hide();
    macGrid->addWidget(identityStatus, 3, 0, 1, 2);
    controlsLayout->addWidget(macGroup);

    auto* peGroup = new QGroupBox(QStringLiteral("Windows PE Signing (osslsigncode)"), controls);
    auto* peGrid = new QGridLayout(peGroup);
    auto* certChainEdit = makeLineEdit("certChainEdit", QStringLiteral("fullchain.pem"), peGroup);
    auto* pkcs11UriEdit = makeLineEdit("pkcs11UriEdit", QStringLiteral("pkcs11:model=...;type=private"), peGroup);
    auto* timestampEdit = makeLineEdit("timestampEdit", QString(), peGroup);
    timestampEdit->setText(SigningDefaults::timestampUrl());
    addField(peGrid, 0, QStringLiteral("Cert Chain (PEM):"), certChainEdit);
    addField(peGrid, 1, QStringLiteral("PKCS11 URI:"), pkcs11UriEdit);
    addField(peGrid, 2, QStringLiteral("Timestamp:"), timestampEdit);
    auto* peButtons = new QHBoxLayout;
    QPushButton* detectButton = makeButton(QStringLiteral("Auto-Detect PKCS11..."), peGroup);
    QPushButton* signPeButton = makeButton(QStringLiteral("Sign .exe / .dll / .msi..."), peGroup);
    peButtons->addWidget(detectButton);
    peButtons->addWidget(signPeButton);
    peGrid->addLayout(peButtons, 3, 0, 1, 2);
    controlsLayout->addWidget(peGroup);

    auto* chainGroup = new QGroupBox(QStringLiteral("Certificate Chain Builder"), controls);
    auto* chainLayout = new QHBoxLayout(chainGroup);
    QPushButton* chainButton = makeButton(QStringLiteral("Build Full Chain from Leaf..."), chainGroup);
    chainLayout->addWidget(chainButton);
    controlsLayout->addWidget(chainGroup);

    scroll->setWidget(controls);
    splitter->addWidget(scroll);

    // Right pane: the signing log.
    auto* logPane = new QWidget(splitter);
    auto* logLayout = new QVBoxLayout(logPane);
    logLayout->setContentsMargins(0, 0, 0, 0);
    logLayout->addWidget(makeSectionTitle(QStringLiteral("Signing Log"), logPane));
    signingLogView = LogView::createLogView(logPane);
    signingLogView->setObjectName(QStringLiteral("signingLogView"));
    signingLogView->setPlaceholderText(QStringLiteral("Signing operations will appear here..."));
    QFont logFont(QStringLiteral("SF Mono"), 11);
    logFont.setStyleHint(QFont::Monospace);
    signingLogView->setFont(logFont);
    logLayout->addWidget(signingLogView);
    splitter->addWidget(logPane);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);

    // Contents. The identities are listed once, from the keychain, in the
    // background when the page is first shown (or at once when Sign File
    // needs them first); a new keychain identity shows up at the next start.
    fillProfileCombo(profileCombo);
    // File names, profile names and tool words come from outside: none of
    // them may start a log line of its own.
    const auto log = [this](const QString& line) { LogView::appendLine(signingLogView, LogText::escaped(line)); };
    identityFill = new PageFill(page, nullptr, identityStatus);
    connect(identityFill, &PageFill::logLine, this, log);
    identityFill->setFill([this] {
        if (identitiesListed)
            return;
        identityFill->run(QStringLiteral("security"), SigningManager::signingIdentityArguments(),
                          signingManager->listingOptions(),
                          [this](const ToolRunner::Result& r) {
                              // Listed meanwhile by Sign File, which could not wait.
                              if (identitiesListed)
                                  return;
                              if (!r.finished()) {
                                  identityFill->tell(QStringLiteral("Keychain identities could not be listed: ")
                                                     + toolFailure(r));
                                  return;
                              }
                              showIdentities(SigningManager::parseSigningIdentities(r.stdOutText()));
                          });
    });

    connect(signButton, &QPushButton::clicked, this, &MainWindow::onSignFile);
    connect(verifyButton, &QPushButton::clicked, this, &MainWindow::onVerifySignature);

    connect(notarizeButton, &QPushButton::clicked, this, [this, log, notarizeProfileEdit] {
        const QString path = QFileDialog::getOpenFileName(
            this, QStringLiteral("Select File to Notarize"), QString(),
            QStringLiteral("Packages (*.pkg *.dmg *.zip);;All Files (*)"));
        if (path.isEmpty())
            return;
        QString profile = notarizeProfileEdit->text();
        if (profile.isEmpty())
            profile = QStringLiteral("Ostrevan-Notarize");
        log(QStringLiteral("Notarizing: ") + path);
        log(QStringLiteral("Profile: ") + profile);
        if (!signingManager->notarize(path, profile)) {
            log(QStringLiteral("Notarization FAILED."));
            logSession(QStringLiteral("Notarize"), QStringLiteral("Apple"), false, path);
            return;
        }
        log(QStringLiteral("Notarization submitted. Waiting for Apple..."));
        if (signingManager->staple(path))
            log(QStringLiteral("Stapled successfully."));
        logSession(QStringLiteral("Notarize"), QStringLiteral("Apple"), true, path);
    });

    connect(detectButton, &QPushButton::clicked, this, [this, log, pkcs11UriEdit] {
        Pkcs11Config config(this);
        config.searchRoot = pkcs11SearchRoot;
        config.detectPaths();
        // Signing needs the module that reaches the token; the OpenSSL
        // provider is only one way to it (Debian packages none), osslsigncode
        // loads the module itself.
        if (config.modulePath.isEmpty()) {
            log(QStringLiteral("PKCS11 detection incomplete. Install libp11 + opensc."));
            logSession(QStringLiteral("PKCS11 Detect"), QStringLiteral("System"), false,
                       QStringLiteral("Missing dependencies"));
            return;
        }
        if (config.ready)
            log(QStringLiteral("PKCS11 provider: ") + config.providerPath);
        log(QStringLiteral("PKCS11 module: ") + config.modulePath);

        const QList<Pkcs11SlotInfo> slotList = opensc->listSlots();
        if (!slotList.isEmpty()) {
            const Pkcs11SlotInfo& slot = slotList.first();
            const QString uri = config.buildPkcs11Uri(slot.model, slot.manufacturer, slot.serialNumber,
                                                      slot.tokenLabel, QStringLiteral("01"), QString());
            pkcs11UriEdit->setText(uri);
            log(QStringLiteral("PKCS11 URI: ") + uri);
        } else {
            log(QStringLiteral("No token found."));
        }

        if (!config.ready) {
            log(QStringLiteral("No OpenSSL PKCS11 provider: signing uses the PKCS11 module directly; "
                               "no provider configuration written."));
        } else {
            const QString conf = pkcs11ConfigPath();
            PrivateFiles::makePrivateDir(UserProfile::configDir());
            if (config.generateConfig(conf)) {
                log(QStringLiteral("Config: ") + conf);
                if (config.verifyConfig(conf))
                    log(QStringLiteral("Provider verified."));
            }
        }
        logSession(QStringLiteral("PKCS11 Detect"), QStringLiteral("System"), true,
                   QStringLiteral("Paths configured"));
    });

    connect(signPeButton, &QPushButton::clicked, this,
            [this, log, certChainEdit, pkcs11UriEdit, timestampEdit] {
        const QString input = QFileDialog::getOpenFileName(
            this, QStringLiteral("Select Windows Binary"), QString(),
            QStringLiteral("Windows PE (*.exe *.dll *.msi *.cab);;All Files (*)"));
        if (input.isEmpty())
            return;
        const QString out = input + QStringLiteral(".signed");
        const QFileInfo outInfo(out);
        if ((outInfo.exists() || outInfo.isSymLink()) && !confirmReplace(this, out))
            return;

        // A space typed before or after the URI makes the tool misread it.
        const QString key = Pkcs11Config::normalizedUri(pkcs11UriEdit->text());
        QString module;
        QString pin;
        if (isTokenKey(key)) {
            // Each wrong try costs one of the token's PIN retries: a URI the
            // tool cannot match is refused before the PIN is asked for.
            const QString problem = Pkcs11Config::uriProblem(key);
            if (!problem.isEmpty()) {
                QMessageBox box(QMessageBox::Warning, QStringLiteral("Sign PE"), problem, QMessageBox::Ok, this);
                box.setTextFormat(Qt::PlainText);
                box.exec();
                return;
            }
            // The URI names the key; the engine still has to be told which
            // module reaches the token.
            module = Pkcs11Modules::find(Pkcs11Modules::openscModule(), pkcs11SearchRoot);
            // A PIN written into the URI is used as it is; the bridge takes it
            // out of the URI and sends it on standard input.
            QString uriPin;
            OsslSigncodeBridge::withoutPinValue(key, &uriPin);
            const bool pinInUri = !uriPin.isEmpty();
            secureZero(uriPin);
            if (!pinInUri) {
                bool ok = false;
                pin = QInputDialog::getText(this, QStringLiteral("Sign PE"), QStringLiteral("Token PIN:"),
                                            QLineEdit::Password, QString(), &ok);
                if (!ok || pin.isEmpty()) {
                    secureZero(pin);
                    return;
                }
            }
        }

        OsslSigncodeBridge bridge(this);
        connect(&bridge, &OsslSigncodeBridge::signingLog, this, log);
        const bool signedOk = bridge.signPE(input, out, certChainEdit->text(), key, QString(), module,
                                            pkcs11ConfigPath(), timestampEdit->text(), QString(), pin);
        secureZero(pin);
        if (!signedOk) {
            log(QStringLiteral("Windows PE signing FAILED."));
            logSession(QStringLiteral("Sign PE"), QStringLiteral("osslsigncode"), false, input);
            return;
        }
        log(QStringLiteral("Windows PE signed: ") + out);
        logSession(QStringLiteral("Sign PE"), QStringLiteral("osslsigncode"), true, input);
    });

    connect(chainButton, &QPushButton::clicked, this, [this, log, certChainEdit] {
        const QString leaf = QFileDialog::getOpenFileName(this, QStringLiteral("Select Leaf Certificate"),
                                                          QString(),
                                                          QStringLiteral("Certificates (*.pem *.crt *.cer)"));
        if (leaf.isEmpty())
            return;
        ChainBuilder builder(this);
        connect(&builder, &ChainBuilder::chainLog, this, log);
        const QString url = builder.extractAiaUrl(leaf);
        if (url.isEmpty()) {
            log(QStringLiteral("No AIA URL found. Provide intermediate manually."));
            return;
        }
        const QString intermediate = leaf + QStringLiteral(".intermediate.pem");
        // Without a fresh download, an intermediate left from an earlier run
        // could belong to another certificate.
        if (builder.fetchIntermediate(url, intermediate).isEmpty())
            return;
        // Named after the leaf's own name in the leaf's own folder: a dot in a
        // folder name must not decide where the file goes.
        const QFileInfo leafInfo(leaf);
        const QString out = leafInfo.path() + QLatin1Char('/') + leafInfo.completeBaseName()
                            + QStringLiteral("-fullchain.pem");
        if (!builder.buildChain(leaf, intermediate, out)) {
            // A download that did not issue the leaf is of use to nobody, and
            // beside the leaf it would pass for its issuer.
            QFile::remove(intermediate);
            return;
        }
        certChainEdit->setText(out);
        log(QStringLiteral("Full chain ready: ") + out);
        logSession(QStringLiteral("Chain Build"), QStringLiteral("OpenSSL"), true, out);
    });

    connect(profileCombo, &QComboBox::currentIndexChanged, this,
            [this, log, profileCombo, notarizeProfileEdit, certChainEdit, pkcs11UriEdit, timestampEdit](int index) {
        if (index < 1)
            return;
        const SigningProfile profile = SigningProfileManager::load(profileCombo->currentText());
        if (profile.name.isEmpty() || profile.platform.isEmpty())
            return;
        if (!profile.macIdentity.isEmpty()) {
            const int found = identityCombo->findText(profile.macIdentity, Qt::MatchExactly | Qt::MatchCaseSensitive);
            if (found >= 0)
                identityCombo->setCurrentIndex(found);
        }
        const auto fill = [](QLineEdit* edit, const QString& value) {
            if (!value.isEmpty())
                edit->setText(value);
        };
        fill(notarizeProfileEdit, profile.notarizeProfile);
        fill(certChainEdit, profile.certChainPem);
        fill(pkcs11UriEdit, profile.pkcs11Uri);
        fill(timestampEdit, profile.timestampUrl);
        log(QStringLiteral("Profile loaded: ") + profile.name);
    });

    connect(saveProfileButton, &QPushButton::clicked, this,
            [this, log, profileCombo, notarizeProfileEdit, certChainEdit, pkcs11UriEdit, timestampEdit] {
        const QString proposed = profileCombo->currentIndex() >= 1 ? profileCombo->currentText() : QString();
        const QString name = QInputDialog::getText(this, QStringLiteral("Save Signing Profile"),
                                                   QStringLiteral("Profile name:"), QLineEdit::Normal,
                                                   proposed);
        if (name.isEmpty())
            return;
        SigningProfile profile;
        profile.name = name;
        profile.platform = QStringLiteral("macos");
        profile.macIdentity = identityCombo->currentText();
        profile.notarizeProfile = notarizeProfileEdit->text();
        profile.certChainPem = certChainEdit->text();
        // A PIN typed into the URI never reaches the settings file in clear.
        QString uriPin;
        const QString typedUri = Pkcs11Config::normalizedUri(pkcs11UriEdit->text());
        profile.pkcs11Uri = OsslSigncodeBridge::withoutPinValue(typedUri, &uriPin);
        const bool pinDropped = !uriPin.isEmpty() || profile.pkcs11Uri != typedUri;
        secureZero(uriPin);
        profile.timestampUrl = timestampEdit->text();
        profile.createdDate = QDateTime::currentDateTime().toString(Qt::ISODate);
        if (!SigningProfileManager::save(profile)) {
            log(QStringLiteral("Profile save FAILED: the settings file could not be written; ") + name
                + QStringLiteral(" was not stored"));
            logSession(QStringLiteral("Save Profile"), name, false, QStringLiteral("macos"));
            return;
        }

        if (pinDropped)
            log(QStringLiteral("PIN not stored in profile"));
        fillProfileCombo(profileCombo);
        profileCombo->setCurrentText(name);
        log(QStringLiteral("Profile saved: ") + name);
        logSession(QStringLiteral("Save Profile"), name, true, QStringLiteral("macos"));
    });

    connect(deleteProfileButton, &QPushButton::clicked, this, [this, log, profileCombo] {
        if (profileCombo->currentIndex() < 1)
            return;
        const QString name = profileCombo->currentText();
        if (QMessageBox::question(this, QStringLiteral("Delete Profile"),
                                  QStringLiteral("Delete signing profile '") + name + QStringLiteral("'?"),
                                  QMessageBox::Yes | QMessageBox::No)
            != QMessageBox::Yes)
            return;
        if (!SigningProfileManager::remove(name)) {
            log(QStringLiteral("Profile delete FAILED: the settings file could not be written; ") + name
                + QStringLiteral(" is still stored"));
            return;
        }
        profileCombo->removeItem(profileCombo->currentIndex());
        log(QStringLiteral("Profile deleted: ") + name);
    });

    return page;
}

void MainWindow::fillIdentityCombo()
{
    if (!identitiesListed)
        showIdentities(signingManager->listSigningIdentities());
}

void MainWindow::showIdentities(const QList<CertificateInfo>& identities)
{
    identitiesListed = true;
    addIdentities(identityCombo, identities);
}

QString MainWindow::toolFailure(const ToolRunner::Result& result)
{
    QString why = result.failure;
    // A tool that could not be started says nothing itself; the runner tells why.
    const QString detail = result.started ? QString() : result.stdErrText().trimmed();
    if (!detail.isEmpty())
        why += QStringLiteral(" (") + LogText::escaped(detail) + QLatin1Char(')');
    return why;
}

void MainWindow::onSignFile()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Select File to Sign"));
    if (path.isEmpty())
        return;
    // Sign File works from every page, also before the signing page was
    // shown or its listing came in: the user is waiting for this one.
    page(CodeSigningPage);
    fillIdentityCombo();
    const QString identity = identityCombo ? identityCombo->currentText() : QString();
    if (identity.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Sign File"),
                             QStringLiteral("No signing identity selected. Configure in Code Signing tab."),
                             QMessageBox::Ok);
        tabWidget->setCurrentIndex(CodeSigningPage);
        return;
    }
    LogView::appendLine(signingLogView, LogText::escaped(QStringLiteral("Signing: ") + path));
    LogView::appendLine(signingLogView, LogText::escaped(QStringLiteral("Identity: ") + identity));
    statusLabel->setText(QStringLiteral("Signing: ") + path);

    const bool ok = signingManager->codesign(path, identity, QString(), true, true);
    if (ok) {
        LogView::appendLine(signingLogView, QStringLiteral("Signed successfully."));
        statusLabel->setText(QStringLiteral("Signed: ") + path);
    } else {
        LogView::appendLine(signingLogView, QStringLiteral("Signing FAILED."));
        statusLabel->setText(QStringLiteral("Signing failed"));
    }
    logSession(QStringLiteral("Code Sign"), identity, ok, path);
}

void MainWindow::onVerifySignature()
{
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Select File to Verify"));
    if (path.isEmpty())
        return;
    page(CodeSigningPage);
    LogView::appendLine(signingLogView, LogText::escaped(QStringLiteral("Verifying: ") + path));
    // codesign's details come a line each, each line shown as text.
    const QString details = signingManager->signatureInfo(path);
    const QStringList detailLines = details.trimmed().split(QLatin1Char('\n'));
    for (const QString& line : detailLines)
        LogView::appendLine(signingLogView, LogText::escaped(line));
    const bool ok = signingManager->verifySignature(path);
    LogView::appendLine(signingLogView, ok ? QStringLiteral("Signature VALID.")
                                           : QStringLiteral("Signature INVALID or not signed."));
    logSession(QStringLiteral("Verify Signature"), QStringLiteral("N/A"), ok, path);
}
