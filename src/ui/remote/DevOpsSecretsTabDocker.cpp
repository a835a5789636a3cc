// The "Docker / Podman" sub-tab: the engine's secrets, images and containers
// on the local daemon or a remote one over SSH or TCP, a terminal for setting
// up the remote host, and a private registry's catalogue.
#include "ui/remote/DevOpsSecretsTab.h"

#include "app/SshTarget.h"
#include "core/PrivateFiles.h"
#include "core/SecureZero.h"
#include "core/ToolArgs.h"
#include "ui/remote/SshTerminalWindow.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QGridLayout>
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

// An example private address for the placeholders and the registry hint:
// shown only, never contacted.
const QString kExampleAddress = QStringLiteral("192.168.1.50");

struct EngineFields
{
    QComboBox* runtime = nullptr;
    QComboBox* mode = nullptr;
    QLineEdit* host = nullptr;
    QLineEdit* registry = nullptr;
};

// What one click reads of the form.
struct Engine
{
    QString runtime;   // "docker" or "podman": also the program run
    QString mode;      // "local", "ssh" or "tcp"
    QString host;      // trimmed

    explicit Engine(const EngineFields& fields)
        : runtime(fields.runtime->currentText())
        , mode(fields.mode->currentData().toString())
        , host(fields.host->text().trimmed())
    {
    }

    // A row keeps the engine it was listed from: its Secret lives there,
    // whatever the form says by the time it is deleted.
    static constexpr int role = Qt::UserRole;
    void keepIn(QTreeWidgetItem* row) const { row->setData(0, role, QStringList{runtime, mode, host}); }
    static Engine of(const QTreeWidgetItem* row)
    {
        const QStringList kept = row->data(0, role).toStringList();
        return Engine(kept.value(0), kept.value(1), kept.value(2));
    }

    Engine(QString runtime, QString mode, QString host)
        : runtime(std::move(runtime))
        , mode(std::move(mode))
        , host(std::move(host))
    {
    }

    bool isLocal() const { return mode == QLatin1String("local"); }
    // Where the answers came from, as the list and the log name it.
    QString source() const { return isLocal() ? QStringLiteral("local") : host; }

    // Placed before the engine's subcommand; none for the local daemon.
    QStringList connection() const
    {
        if (host.isEmpty())
            return {};
        if (mode == QLatin1String("ssh")) {
            QString url = QStringLiteral("ssh://%1").arg(host);
            // podman refuses an ssh:// address without a port.
            if (runtime == QLatin1String("podman") && !hasPort(host))
                url += QStringLiteral(":22");
            return {QStringLiteral("-H"), url};
        }
        if (mode == QLatin1String("tcp"))
            return {QStringLiteral("-H"), host};
        return {};
    }

    QStringList command(const QStringList& subcommand) const { return connection() + subcommand; }

    // The daemon a command reaches, as the Delete question names it.
    QString daemon() const
    {
        const QStringList address = connection();
        return address.isEmpty() ? QStringLiteral("the local engine") : address.last();
    }

    static bool hasPort(const QString& address)
    {
        const QString hostPart = address.mid(address.lastIndexOf(QLatin1Char('@')) + 1);
        if (hostPart.startsWith(QLatin1Char('[')))
            return hostPart.contains(QLatin1String("]:"));
        return hostPart.contains(QLatin1Char(':'));
    }
};

struct SecretRow
{
    QString name;
    QString created;
    QString updated;
};

// docker and podman both print "ID NAME DRIVER CREATED UPDATED", padded so
// that every cell starts under its heading, but docker leaves DRIVER blank:
// split at runs of blanks, its update time would land under "Created". Each
// row is cut where its table's headings start instead.
QList<SecretRow> secretRows(const QString& output)
{
    QList<SecretRow> rows;
    QList<qsizetype> starts;   // of NAME, DRIVER, CREATED, UPDATED; -1 when missing
    const auto cell = [&starts](const QString& line, int column) {
        const qsizetype start = starts.at(column);
        if (start < 0)
            return QString();
        qsizetype end = -1;
        for (int next = column + 1; next < starts.size() && end < 0; ++next)
            end = starts.at(next);
        return line.mid(start, end < 0 ? -1 : end - start).trimmed();
    };
    for (const QString& line : output.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("ID"))) {
            static const QStringList headings{QStringLiteral("NAME"), QStringLiteral("DRIVER"),
                                              QStringLiteral("CREATED"), QStringLiteral("UPDATED")};
            static const QRegularExpression heading(QStringLiteral("\\b(NAME|DRIVER|CREATED|UPDATED)\\b"));
            starts = {-1, -1, -1, -1};
            for (const QRegularExpressionMatch& match : heading.globalMatch(line)) {
                const qsizetype column = headings.indexOf(match.captured(1));
                if (starts.at(column) < 0)
                    starts[column] = match.capturedStart(1);
            }
            continue;
        }
        // Only rows of a table whose headings were seen can be read.
        if (starts.isEmpty() || starts.at(0) < 0 || line.trimmed().isEmpty())
            continue;
        SecretRow row{cell(line, 0), cell(line, 2), cell(line, 3)};
        if (!row.name.isEmpty())
            rows << row;
    }
    return rows;
}

QPushButton* addButton(QHBoxLayout* row, const QString& text, const char* objectName = nullptr,
                       const QString& toolTip = {})
{
    auto* button = new QPushButton(text);
    if (objectName)
        button->setObjectName(QLatin1String(objectName));
    if (!toolTip.isEmpty())
        button->setToolTip(toolTip);
    row->addWidget(button);
    return button;
}

} // namespace

QWidget* DevOpsSecretsTab::createDockerSubTab()
{
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);

    EngineFields fields;
    fields.runtime = new QComboBox;
    fields.runtime->setObjectName(QStringLiteral("engineRuntime"));
    fields.runtime->addItems({QStringLiteral("docker"), QStringLiteral("podman")});
    fields.mode = new QComboBox;
    fields.mode->setObjectName(QStringLiteral("engineMode"));
    fields.mode->addItem(QStringLiteral("Local"), QStringLiteral("local"));
    fields.mode->addItem(QStringLiteral("Remote (SSH)"), QStringLiteral("ssh"));
    fields.mode->addItem(QStringLiteral("Remote (TCP)"), QStringLiteral("tcp"));
    fields.mode->setToolTip(QStringLiteral("Local: use local Docker/Podman daemon\n"
                                           "Remote (SSH): connect via SSH tunnel (most secure)\n"
                                           "Remote (TCP): connect to remote Docker API over TCP"));
    fields.host = new QLineEdit;
    fields.host->setObjectName(QStringLiteral("engineHost"));
    fields.host->setPlaceholderText(QStringLiteral("user@%1 or tcp://%1:2375").arg(kExampleAddress));
    fields.host->setToolTip(QStringLiteral("SSH mode: user@hostname (uses your SSH keys)\n"
                                           "TCP mode: tcp://hostname:2375 (unencrypted) or tcp://hostname:2376 (TLS)"));
    fields.registry = new QLineEdit;
    fields.registry->setObjectName(QStringLiteral("engineRegistry"));
    fields.registry->setPlaceholderText(kExampleAddress + QStringLiteral(":5000 (private registry)"));
    fields.registry->setToolTip(QStringLiteral("Private container registry URL.\n"
                                               "Common ports: 5000 (Docker Registry), 8443 (Harbor)"));

    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(QStringLiteral("Runtime:")), 0, 0);
    grid->addWidget(fields.runtime, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Mode:")), 1, 0);
    grid->addWidget(fields.mode, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Remote Host:")), 2, 0);
    grid->addWidget(fields.host, 2, 1);
    grid->addWidget(new QLabel(QStringLiteral("Registry:")), 3, 0);
    grid->addWidget(fields.registry, 3, 1);
    layout->addLayout(grid);

    auto* secrets = new QTreeWidget;
    secrets->setObjectName(QStringLiteral("engineSecrets"));
    secrets->setHeaderLabels(
        {QStringLiteral("Secret Name"), QStringLiteral("Created"), QStringLiteral("Updated"), QStringLiteral("Source")});
    secrets->setAlternatingRowColors(true);
    layout->addWidget(secrets);

    auto* secretRow = new QHBoxLayout;
    auto* list = addButton(secretRow, QStringLiteral("List Secrets"));
    auto* create = addButton(secretRow, QStringLiteral("Create Secret..."));
    auto* remove = addButton(secretRow, QStringLiteral("Delete Secret"), "dangerButton");
    auto* backup = addButton(secretRow, QStringLiteral("Backup All to Vault"), "secondaryButton",
                             QStringLiteral("Export all secret names to your encrypted vault for disaster recovery"));
    secretRow->addStretch();
    layout->addLayout(secretRow);

    auto* engineRow = new QHBoxLayout;
    auto* test = addButton(engineRow, QStringLiteral("Test Connection"));
    auto* images = addButton(engineRow, QStringLiteral("List Images"), "secondaryButton");
    auto* containers = addButton(engineRow, QStringLiteral("List Containers"), "secondaryButton");
    auto* setup = addButton(engineRow, QStringLiteral("SSH Setup Remote..."), nullptr,
                            QStringLiteral("Open SSH terminal to remote host to install/configure\n"
                                           "Docker or Podman if not already running"));
    auto* catalog = addButton(engineRow, QStringLiteral("Registry Catalog"), nullptr,
                              QStringLiteral("List all repositories in the private registry"));
    engineRow->addStretch();
    layout->addLayout(engineRow);

    connect(list, &QPushButton::clicked, this, [this, fields, secrets] {
        secrets->clear();
        const Engine engine(fields);
        if (!engine.connection().isEmpty()) {
            log(engine.mode == QLatin1String("ssh")
                    ? QStringLiteral("%1: connecting to %2 via SSH...").arg(engine.runtime, engine.host)
                    : QStringLiteral("%1: connecting to %2...").arg(engine.runtime, engine.host));
        }
        const ToolRunner::Result result =
            runTool(engine.runtime, engine.command({QStringLiteral("secret"), QStringLiteral("ls")}));
        if (!result.succeeded()) {
            log(QString::fromUtf8("%1: could not list secrets \u2014 %2")
                    .arg(engine.runtime, DevOpsSecretFiles::failureText(engine.runtime, result)));
            return;
        }
        for (const SecretRow& row : secretRows(result.stdOutText()))
            engine.keepIn(new QTreeWidgetItem(secrets, {row.name, row.created, row.updated, engine.source()}));
        log(QStringLiteral("%1: %2 secrets listed").arg(engine.runtime).arg(secrets->topLevelItemCount()));
    });

    connect(create, &QPushButton::clicked, this, [this, fields] {
        bool ok = false;
        const QString name = QInputDialog::getText(this, QStringLiteral("Create Secret"), QStringLiteral("Secret name:"),
                                                   QLineEdit::Normal, QString(), &ok);
        if (!ok || name.isEmpty())
            return;
        QString value = QInputDialog::getText(this, QStringLiteral("Create Secret"), QStringLiteral("Secret value:"),
                                              QLineEdit::Password, QString(), &ok);
        WipeOnExit wipeValue(value);
        if (!ok)
            return;
        const Engine engine(fields);
        ToolRunner::Options options;
        options.startTimeoutMs = 5000;
        options.finishTimeoutMs = createTimeoutMs;
        options.standardInput = value.toUtf8();
        // The typed name goes after "--": the engine reads it as a name
        // whatever it begins with, and the lone "-" names standard input.
        const ToolRunner::Result result = ToolRunner::run(
            engine.runtime,
            engine.command(ToolArgs::withPositional({QStringLiteral("secret"), QStringLiteral("create")},
                                                    {name, QStringLiteral("-")})),
            options);
        secureZero(options.standardInput);
        if (result.succeeded())
            log(engine.runtime + QStringLiteral(": created secret ") + name);
        else
            log(engine.runtime + QString::fromUtf8(": failed to create secret \u2014 ")
                + DevOpsSecretFiles::failureText(engine.runtime, result));
    });

    connect(remove, &QPushButton::clicked, this, [this, secrets] {
        QTreeWidgetItem* item = secrets->currentItem();
        if (!item)
            return;
        const QString name = item->text(0);
        const Engine engine = Engine::of(item);
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Delete Secret"),
            QStringLiteral("Delete secret '%1' from %2 on %3?").arg(name, engine.runtime, engine.daemon()),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes)
            return;
        const ToolRunner::Result result = runTool(
            engine.runtime,
            engine.command(ToolArgs::withPositional({QStringLiteral("secret"), QStringLiteral("rm")}, {name})));
        if (result.succeeded())
            log(engine.runtime + QStringLiteral(": deleted secret ") + name);
        else
            log(QString::fromUtf8("%1: failed to delete secret %2 \u2014 %3")
                    .arg(engine.runtime, name, DevOpsSecretFiles::failureText(engine.runtime, result)));
    });

    connect(backup, &QPushButton::clicked, this, [this, fields, secrets] {
        const int count = secrets->topLevelItemCount();
        if (count == 0) {
            log(QStringLiteral("No secrets to backup."));
            return;
        }
        const QString runtime = fields.runtime->currentText();
        QString text = QStringLiteral("# %1 secrets backup\n# %2\n\n")
                           .arg(runtime, QDateTime::currentDateTime().toString(Qt::ISODate));
        for (int i = 0; i < count; ++i) {
            const QTreeWidgetItem* row = secrets->topLevelItem(i);
            text += row->text(0) + QLatin1Char('\t') + row->text(1) + QLatin1Char('\n');
        }
        // The shared temporary folder: anyone may have planted a file or a
        // link at this name first.
        const QString path = QDir::tempPath() + QLatin1Char('/') + runtime + QStringLiteral("-secrets-backup.txt");
        QString error;
        if (!PrivateFiles::replaceOwnerOnly(path, text.toUtf8(), &error)) {
            log(QStringLiteral("Could not write %1: %2").arg(path, error));
            return;
        }
        // The names file is all this writes: no vault is opened or written.
        log(QStringLiteral("%1: wrote %2 secret names with their creation times (no values) to %3; "
                           "nothing was stored in a vault")
                .arg(runtime)
                .arg(count)
                .arg(path));
        Q_EMIT logRequest(runtime + QStringLiteral(" Backup"), path, true,
                          QStringLiteral("%1 secret names written").arg(count));
    });

    connect(test, &QPushButton::clicked, this, [this, fields] {
        const Engine engine(fields);
        // podman 4 has no ServerVersion field: asking for it is a template error.
        const QString format = engine.runtime == QLatin1String("podman") ? QStringLiteral("{{.Version.Version}}")
                                                                          : QStringLiteral("{{.ServerVersion}}");
        const ToolRunner::Result result =
            runTool(engine.runtime, engine.command({QStringLiteral("info"), QStringLiteral("--format"), format}));
        const QString version = result.succeeded() ? result.stdOutText().trimmed() : QString();
        if (!version.isEmpty()) {
            log(QStringLiteral("%1 %2: connected, server v%3").arg(engine.runtime, engine.source(), version));
            return;
        }
        const QString why = result.succeeded() ? QStringLiteral("%1 named no server version").arg(engine.runtime)
                                               : DevOpsSecretFiles::failureText(engine.runtime, result);
        log(QString::fromUtf8("%1: connection failed to %2 \u2014 %3").arg(engine.runtime, engine.host, why));
        if (engine.mode == QLatin1String("ssh"))
            log(QStringLiteral("  Check SSH key auth and that Docker/Podman is running on remote."));
    });

    auto listing = [this, fields](const QString& what, const QStringList& subcommand) {
        const Engine engine(fields);
        const ToolRunner::Result result = runTool(engine.runtime, engine.command(subcommand));
        log(QStringLiteral("=== %1 %2 (%3) ===").arg(engine.runtime, what, engine.source()));
        if (result.succeeded())
            log(result.stdOutText().trimmed());
        else
            log(QString::fromUtf8("%1: could not list %2 \u2014 %3")
                    .arg(engine.runtime, what.toLower(), DevOpsSecretFiles::failureText(engine.runtime, result)));
    };
    connect(images, &QPushButton::clicked, this, [listing] {
        listing(QStringLiteral("Images"),
                {QStringLiteral("images"), QStringLiteral("--format"), QStringLiteral("{{.Repository}}:{{.Tag}} ({{.Size}})")});
    });
    connect(containers, &QPushButton::clicked, this, [listing] {
        listing(QStringLiteral("Containers"), {QStringLiteral("ps"), QStringLiteral("-a"), QStringLiteral("--format"),
                                               QStringLiteral("{{.Names}}\t{{.Status}}\t{{.Image}}")});
    });

    connect(setup, &QPushButton::clicked, this, [this, fields] {
        const QString text = fields.host->text().trimmed();
        if (text.isEmpty()) {
            QMessageBox::warning(this, QStringLiteral("SSH Setup"), QStringLiteral("Enter remote host first."));
            return;
        }
        const qsizetype at = text.indexOf(QLatin1Char('@'));
        SshTarget target;
        target.host = at >= 0 ? text.mid(at + 1) : QString();
        if (target.host.isEmpty())
            target.host = text;
        else
            target.user = text.left(at);
        const QString refusal = target.refusal();
        if (!refusal.isEmpty()) {
            log(QStringLiteral("SSH setup: ") + refusal);
            return;
        }
        const QString& host = target.host;
        const QString& user = target.user;
        auto* window = new SshTerminalWindow;
        window->setAttribute(Qt::WA_DeleteOnClose);
        window->newSshTab(host, user, 22, QString(), QStringLiteral("Setup: ") + host, QString());
        window->show();
        log(QStringLiteral("SSH session opened for remote setup: ") + text);
    });

    connect(catalog, &QPushButton::clicked, this, [this, fields] {
        const QString address = fields.registry->text().trimmed();
        if (address.isEmpty()) {
            log(QStringLiteral("Enter registry address first (e.g., %1:5000)").arg(kExampleAddress));
            return;
        }
        const QString url = QStringLiteral("http://%1/v2/_catalog").arg(address);
        log(QStringLiteral("Querying registry: ") + url);
        ToolRunner::Options options;
        options.finishTimeoutMs = registryTimeoutMs;
        // --fail: an HTTP error is curl's failure, not a catalogue.
        const ToolRunner::Result result = ToolRunner::run(
            QStringLiteral("curl"), {QStringLiteral("-s"), QStringLiteral("-S"), QStringLiteral("--fail"), url}, options);
        if (result.succeeded())
            log(QStringLiteral("Registry catalog: ") + result.stdOutText().trimmed());
        else
            log(QString::fromUtf8("Registry catalog: failed \u2014 ")
                + DevOpsSecretFiles::failureText(QStringLiteral("curl"), result));
    });
    return page;
}
