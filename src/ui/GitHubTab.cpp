#include "ui/GitHubTab.h"

#include "ui/SectionTitle.h"

#include <QLabel>
#include <QVBoxLayout>

GitHubTab::GitHubTab(UserProfile* profile, QWidget* parent)
    : QWidget(parent)
    , userProfile(profile)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeSectionTitle(QStringLiteral("GitHub Integration"), this));
    layout->addStretch();
}
