// The "Kubernetes" sub-tab: the Secrets of one namespace through kubectl, in
// the context chosen in the Context box.
#include "ui/remote/DevOpsSecretsTab.h"

#include "core/SecureZero.h"
#include "core/ToolArgs.h"
#include "ui/widgets/PageFill.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const QString kubectl = QStringLiteral("kubectl");

// One line per Secret: name, type, the names of its data keys (each followed
// by a blank) and its creation time, separated by tabs. kubectl fills it in
// itself, so the values never leave it: its "map[key:value ...]" of the
// whole data held them, base64 and readable by anyone, and its blanks broke
// the columns.
const QString secretRowsTemplate = QStringLiteral(
    "{{range .items}}{{.metadata.name}}\t{{.type}}\t{{range $key, $value := .data}}{{$key}} {{end}}"
    "\t{{.metadata.creationTimestamp}}\n{{end}}");

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

// Every kubectl run of the page names the context chosen in the box: the
// box shows which cluster is acted on, and kubectl's own current context
// may be another. Without one chosen (no kubeconfig contexts were listed)
// kubectl's current context is all there is.
QStringList inContext(const QString& context, const QStringList& arguments)
{
    if (context.isEmpty())
        return arguments;
    return QStringList{QStringLiteral("--context"), context} + arguments;
}

QString contextName(const QString& context)
{
    return context.isEmpty() ? QStringLiteral("kubectl's current context") : QStringLiteral("context ") + context;
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

    m_kubeContexts = contexts;
    // The rows are the Secrets of the context they were listed in: with
    // another one chosen they are no longer what the page shows.
    connect(contexts, &QComboBox::currentIndexChanged, secrets, &QTreeWidget::clear);

    connect(list, &QPushButton::clicked, this, [this, secrets, nameSpace, contexts] {
        secrets->clear();
        const QString ns = nameSpace->text();
        const QString context = contexts->currentText();
        if (refuseNamespace(ns))
            return;
        const ToolRunner::Result result =
            runTool(kubectl, inContext(context, {QStringLiteral("get"), QStringLiteral("secrets"), QStringLiteral("-n"),
                                                 ns, QStringLiteral("-o"),
                                                 QStringLiteral("go-template=") + secretRowsTemplate}));
        if (!result.succeeded()) {
            log(QString::fromUtf8("k8s: could not list secrets in %1 \u2014 %2")
                    .arg(ns, DevOpsSecretFiles::failureText(kubectl, result)));
            return;
        }
        for (const QString& line : result.stdOutText().split(QLatin1Char('\n'))) {
            const QStringList fields = line.split(QLatin1Char('\t'));
            if (line.trimmed().isEmpty() || fields.size() < 2)
                continue;
            const QString keys =
                fields.value(2).split(QLatin1Char(' '), Qt::SkipEmptyParts).join(QStringLiteral(", "));
            new QTreeWidgetItem(secrets, {fields.at(0), fields.at(1), keys, fields.value(3).trimmed()});
        }
        log(QStringLiteral("k8s: listed secrets in %1").arg(ns));
    });

    connect(create, &QPushButton::clicked, this, [this, nameSpace, contexts] {
        // Refused before anything is asked: the typed value would be lost.
        const QString ns = nameSpace->text();
        const QString context = contexts->currentText();
        if (refuseNamespace(ns))
            return;
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
        QByteArray manifest = secretManifest(name, key, value);
        const ToolRunner::Result result =
            runTool(kubectl,
                    inContext(context, {QStringLiteral("create"), QStringLiteral("-f"), QStringLiteral("-"),
                                        QStringLiteral("-n"), ns}),
                    manifest);
        secureZero(manifest);
        if (result.succeeded())
            log(QStringLiteral("k8s: created secret ") + name);
        else
            log(QStringLiteral("k8s: failed to create secret %1: %2")
                    .arg(name, DevOpsSecretFiles::failureText(kubectl, result)));
        Q_EMIT logRequest(QStringLiteral("k8s Create Secret"), name, result.succeeded(), ns);
    });

    connect(remove, &QPushButton::clicked, this, [this, secrets, nameSpace, contexts] {
        QTreeWidgetItem* item = secrets->currentItem();
        if (!item)
            return;
        const QString name = item->text(0);
        const QString ns = nameSpace->text();
        const QString context = contexts->currentText();
        if (refuseNamespace(ns))
            return;
        const auto answer = QMessageBox::question(this, QStringLiteral("Delete K8s Secret"),
                                                  QStringLiteral("Delete secret '%1' from namespace %2 in %3?")
                                                      .arg(name, ns, contextName(context)),
                                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
        // The name came from kubectl's own listing, yet goes after "--":
        // it is a word for kubectl to take as a name, never as an option.
        const ToolRunner::Result result =
            runTool(kubectl, ToolArgs::withPositional(inContext(context, {QStringLiteral("delete"), QStringLiteral("secret"),
                                                                          QStringLiteral("-n"), ns}),
                                                      {name}));
        if (result.succeeded()) {
            delete item;
            log(QStringLiteral("k8s: deleted secret ") + name);
        } else {
            // The Secret is still there: so is its row.
            log(QStringLiteral("k8s: failed to delete secret %1: %2")
                    .arg(name, DevOpsSecretFiles::failureText(kubectl, result)));
        }
        Q_EMIT logRequest(QStringLiteral("k8s Delete Secret"), name, result.succeeded(), ns);
    });
    return page;
}

bool DevOpsSecretsTab::refuseNamespace(const QString& nameSpace)
{
    // A namespace is a DNS label: one that begins with "-" can only be a
    // mistake, and kubectl would take it for an option.
    const QString why = ToolArgs::refusal(QStringLiteral("namespace"), nameSpace, kubectl);
    if (why.isEmpty())
        return false;
    log(QStringLiteral("k8s: ") + why);
    return true;
}

void DevOpsSecretsTab::listKubernetesContexts()
{
    ToolRunner::Options options;
    options.finishTimeoutMs = toolTimeoutMs;
    // The tab stays usable while kubectl reads its configuration, however
    // long that takes.
    m_fill->run(
        kubectl, {QStringLiteral("config"), QStringLiteral("get-contexts"), QStringLiteral("-o"), QStringLiteral("name")},
        options, [this](const ToolRunner::Result& result) {
            // The detection is over either way: the box no longer says it is
            // under way; a failure's reason is in the log.
            if (!result.succeeded()) {
                m_fill->tell(QString::fromUtf8("k8s: could not list the kubeconfig contexts \u2014 ")
                             + DevOpsSecretFiles::failureText(kubectl, result));
                m_kubeContexts->setPlaceholderText(QStringLiteral("No contexts in kubeconfig"));
                return;
            }
            for (const QString& line : result.stdOutText().split(QLatin1Char('\n'))) {
                const QString context = line.trimmed();
                if (!context.isEmpty())
                    m_kubeContexts->addItem(context);
            }
            // With a placeholder set, the combo box leaves the first entry unchosen.
            if (m_kubeContexts->count() > 0)
                m_kubeContexts->setCurrentIndex(0);
            else
                m_kubeContexts->setPlaceholderText(QStringLiteral("No contexts in kubeconfig"));
        });
}
