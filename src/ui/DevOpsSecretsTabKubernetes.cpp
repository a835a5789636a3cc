// The "Kubernetes" sub-tab.
#include "ui/DevOpsSecretsTab.h"

#include "ui/SectionTitle.h"

QWidget* DevOpsSecretsTab::createKubernetesSubTab()
{
    return makeTitledPage(QStringLiteral("Kubernetes"));
}
