// The "Kubernetes" sub-tab: the Secrets of one namespace through kubectl, on
// kubectl's own current context.
#include "ui/DevOpsSecretsTab.h"

#include "core/SecureZero.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

// A JSON string literal, escaped by hand so that the bytes holding a secret
// are ours to wipe (a QJsonDocument keeps copies out of reach).
void appendJsonString(QByteArray& out, const QString& text)
{
    out += '"';
    QByteArray utf8 = text.toUtf8();
    for (const char c : std::as_const(utf8)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
    secureZero(utf8);
}

// A generic Secret with one literal entry, for "kubectl create -f -": the
// value travels on standard input, never on an argument list others can read.
QByteArray secretManifest(const QString& name, const QString& key, const QString& value)
{
    // Room for the worst case up front: a reallocation would leave a copy
    // of the value behind in freed memory.
    QByteArray json;
    json.reserve(128 + 6 * (name.size() + key.size() + value.size()));
    json += "{\"apiVersion\":\"v1\",\"kind\":\"Secret\",\"metadata\":{\"name\":";
    appendJsonString(json, name);
    json += "},\"type\":\"Opaque\",\"stringData\":{";
    appendJsonString(json, key);
    json += ':';
    appendJsonString(json, value);
    json += "}}\n";
    return json;
}

} // namespace

QWidget* DevOpsSecretsTab::createKubernetesSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);

    auto* contextRow = new QHBoxLayout;
    contextRow->addWidget(new QLabel(QStringLiteral("Context:")));
    auto* contexts = new QComboBox;
    contexts->setObjectName(QStringLiteral("k8sContexts"));
    contexts->setPlaceholderText(QStringLiteral("(detecting kubeconfig...)"));
    contextRow->addWidget(contexts, 1);
    layout->addLayout(contextRow);

    auto* namespaceRow = new QHBoxLayout;
    namespaceRow->addWidget(new QLabel(QStringLiteral("Namespace:")));
    auto* nameSpace = new QLineEdit(QStringLiteral("default"));
    nameSpace->setObjectName(QStringLiteral("k8sNamespace"));
    namespaceRow->addWidget(nameSpace, 1);
    layout->addLayout(namespaceRow);

    auto* secrets = new QTreeWidget;
    secrets->setObjectName(QStringLiteral("k8sSecrets"));
    secrets->setHeaderLabels({QStringLiteral("Secret Name"), QStringLiteral("Type"), QStringLiteral("Data Keys"),
                              QStringLiteral("Age")});
    secrets->setAlternatingRowColors(true);
    layout->addWidget(secrets);

    auto* buttons = new QHBoxLayout;
    auto* list = new QPushButton(QStringLiteral("List Secrets"));
    auto* create = new QPushButton(QStringLiteral("Create Secret..."));
    auto* remove = new QPushButton(QStringLiteral("Delete"));
    remove->setObjectName(QStringLiteral("dangerButton"));
    buttons->addWidget(list);
    buttons->addWidget(create);
    buttons->addWidget(remove);
    buttons->addStretch();
    layout->addLayout(buttons);

    // Shown only: no command names a context.
    const QStringList contextLines =
        runCmd(QStringLiteral("kubectl"), {QStringLiteral("config"), QStringLiteral("get-contexts"),
                                           QStringLiteral("-o"), QStringLiteral("name")})
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& context : contextLines)
        contexts->addItem(context.trimmed());
    // With a placeholder set, the combo box leaves the first entry unchosen.
    if (contexts->count() > 0)
        contexts->setCurrentIndex(0);

    connect(list, &QPushButton::clicked, this, [this, secrets, nameSpace] {
        secrets->clear();
        const QString ns = nameSpace->text();
        const QString output = runCmd(
            QStringLiteral("kubectl"),
            {QStringLiteral("get"), QStringLiteral("secrets"), QStringLiteral("-n"), ns, QStringLiteral("-o"),
             QStringLiteral("custom-columns=NAME:.metadata.name,TYPE:.type,DATA:.data,"
                            "AGE:.metadata.creationTimestamp")});
        static const QRegularExpression blanks(QStringLiteral("\\s+"));
        for (const QString& line : output.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("NAME")) || line.trimmed().isEmpty())
                continue;
            const QStringList fields = line.split(blanks);
            if (fields.size() < 2)
                continue;
            new QTreeWidgetItem(secrets, {fields.at(0), fields.at(1), fields.value(2), fields.value(3)});
        }
        log(QStringLiteral("k8s: listed secrets in %1").arg(ns));
    });

    connect(create, &QPushButton::clicked, this, [this, nameSpace] {
        const QString title = QStringLiteral("Create K8s Secret");
        bool ok = false;
        const QString name = QInputDialog::getText(this, title, QStringLiteral("Secret name:"), QLineEdit::Normal,
                                                   QString(), &ok);
        if (!ok || name.isEmpty())
            return;
        const QString key = QInputDialog::getText(this, title, QStringLiteral("Key:"), QLineEdit::Normal, QString(), &ok);
        if (!ok)
            return;
        QString value = QInputDialog::getText(this, title, QStringLiteral("Value:"), QLineEdit::Password, QString(), &ok);
        WipeOnExit wipeValue(value);
        if (!ok)
            return;
        const QString ns = nameSpace->text();
        QByteArray manifest = secretManifest(name, key, value);
        const ToolRunner::Result result =
            runTool(QStringLiteral("kubectl"),
                    {QStringLiteral("create"), QStringLiteral("-f"), QStringLiteral("-"), QStringLiteral("-n"), ns},
                    manifest);
        secureZero(manifest);
        if (result.succeeded())
            log(QStringLiteral("k8s: created secret ") + name);
        else
            log(QStringLiteral("k8s: failed to create secret %1: %2").arg(name, result.stdErrText().trimmed()));
        Q_EMIT logRequest(QStringLiteral("k8s Create Secret"), name, result.succeeded(), ns);
    });

    connect(remove, &QPushButton::clicked, this, [this, secrets, nameSpace] {
        QTreeWidgetItem* item = secrets->currentItem();
        if (!item)
            return;
        const QString name = item->text(0);
        const QString ns = nameSpace->text();
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Delete K8s Secret"),
            QStringLiteral("Delete secret '") + name + QStringLiteral("' from namespace ") + ns + QLatin1Char('?'),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
        const ToolRunner::Result result = runTool(
            QStringLiteral("kubectl"), {QStringLiteral("delete"), QStringLiteral("secret"), name, QStringLiteral("-n"), ns});
        if (result.succeeded()) {
            delete item;
            log(QStringLiteral("k8s: deleted secret ") + name);
        } else {
            // The Secret is still there: so is its row.
            log(QStringLiteral("k8s: failed to delete secret %1: %2").arg(name, result.stdErrText().trimmed()));
        }
        Q_EMIT logRequest(QStringLiteral("k8s Delete Secret"), name, result.succeeded(), ns);
    });
    return page;
}
