#include "ui/VaultTab.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

VaultTab::VaultTab(TessarilVault* vault, FidoDeviceManager* fido, UserProfile* profile,
                   QWidget* parent)
    : QWidget(parent)
    , vault(vault)
    , fidoManager(fido)
    , userProfile(profile)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("Tessaril Secure Vault (.qvimgv)"), this));
    layout->addStretch();
}
