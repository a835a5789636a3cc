#include "app/AboutDialog.h"
#include "app/StyleManager.h"

#include "core/ToolRunner.h"
#include "ui/widgets/SectionTitle.h"

#include <QCoreApplication>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>

#ifndef OT_FIDO2_VERSION
#define OT_FIDO2_VERSION "unknown"
#endif

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Ostrevan Tessaril"));
    setMinimumSize(480, 440);
    resize(520, 480);
    auto* layout = new QVBoxLayout(this);

    QLabel* title = makeSectionTitle(QStringLiteral("Ostrevan Tessaril"), this);
    title->setAlignment(Qt::AlignCenter);
    layout->addWidget(title);

    auto* version = new QLabel(
        QStringLiteral("Version %1").arg(QCoreApplication::applicationVersion()), this);
    version->setAlignment(Qt::AlignCenter);
    version->setStyleSheet(QStringLiteral("font-size: 15px;"));
    StyleManager::setTone(version, StyleManager::Muted);
    layout->addWidget(version);

    auto* description = new QLabel(
        QStringLiteral("Hardware security key management and code signing toolkit.\n"
                       "Supports FIDO2/CTAP2, PIV, OTP, OpenPGP.\n"
                       "Hirsch uTrust, YubiKey, and compatible CTAP2 devices."),
        this);
    description->setAlignment(Qt::AlignCenter);
    description->setWordWrap(true);
    layout->addWidget(description);

    // Only an existence check: running the tools would make opening the box slow.
    const auto availability = [](const QString& name) {
        return QFile::exists(ToolRunner::findTool(name)) ? QStringLiteral("Available")
                                                         : QStringLiteral("Not Found");
    };
    const QString ykmanState = availability(QStringLiteral("ykman"));
    const QString openscState = availability(QStringLiteral("pkcs11-tool"));
    const QString osslState = availability(QStringLiteral("osslsigncode"));

    layout->addSpacing(8);
    auto* grid = new QGridLayout;
    int row = 0;
    const auto addRow = [&](const QString& label, const QString& value, StyleManager::Tone colour) {
        auto* caption = new QLabel(label, this);
        caption->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        caption->setStyleSheet(QStringLiteral("font-size: 12px;"));
        StyleManager::setTone(caption, StyleManager::Muted);
        auto* shown = new QLabel(value, this);
        shown->setStyleSheet(QStringLiteral("font-size: 12px;"));
        StyleManager::setTone(shown, colour);
        grid->addWidget(caption, row, 0);
        grid->addWidget(shown, row, 1);
        ++row;
    };
    const auto stateColour = [](const QString& state, StyleManager::Tone missingColour) {
        return state == QLatin1String("Available") ? StyleManager::Success : missingColour;
    };
    addRow(QStringLiteral("Platform:"), QSysInfo::prettyProductName(), StyleManager::Muted);
    addRow(QStringLiteral("Architecture:"), QSysInfo::currentCpuArchitecture(), StyleManager::Muted);
    addRow(QStringLiteral("Qt:"), QString::fromLatin1(qVersion()), StyleManager::Accent);
    addRow(QStringLiteral("ykman:"), ykmanState, stateColour(ykmanState, StyleManager::Danger));
    addRow(QStringLiteral("opensc:"), openscState, stateColour(openscState, StyleManager::Danger));
    addRow(QStringLiteral("osslsigncode:"), osslState, stateColour(osslState, StyleManager::Warning));
    // The library version the build was configured against.
    addRow(QStringLiteral("libfido2:"), QStringLiteral(OT_FIDO2_VERSION), StyleManager::Success);
    layout->addLayout(grid);
    layout->addSpacing(8);

    layout->addStretch();
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    layout->addWidget(close);
}

AboutDialog::~AboutDialog() = default;
