// The SSH / GPG Keys page of the GitHub tab.
#include "ui/GitHubTab.h"

#include "ui/SectionTitle.h"

QWidget* GitHubTab::createKeysSubTab()
{
    return makeTitledPage(QStringLiteral("SSH / GPG Keys"));
}
