// The "Docker / Podman" sub-tab.
#include "ui/DevOpsSecretsTab.h"

#include "ui/SectionTitle.h"

QWidget* DevOpsSecretsTab::createDockerSubTab()
{
    return makeTitledPage(QStringLiteral("Docker / Podman"));
}
