#pragma once

#include "core/ToolRunner.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Secret files of the DevOps tab: Ansible vault files through ansible-vault,
// Terraform variables files encrypted by openssl (the program's one
// encrypted-file format) and SOPS files through sops. Every outcome is one
// or more plain lines through logLine; the caller asks the questions first.
class DevOpsSecretFiles : public QObject
{
    Q_OBJECT
public:
    enum class VaultAction { Encrypt, Decrypt, View };
    enum class SopsAction { Encrypt, Decrypt };

    explicit DevOpsSecretFiles(QObject* parent = nullptr);

    // ansible-vault reads the password from standard input, never from its
    // argument list or a terminal, and it is the only password the tool
    // sees: the user's vault password files and identities, in the
    // environment or an ansible.cfg, are left out of the run. True when the
    // tool exited with 0.
    bool runAnsibleVault(VaultAction action, const QString& path, const QString& password);
    static QStringList ansibleVaultArguments(VaultAction action, const QString& path);
    // The environment of that run; configFile is an empty configuration of
    // the run's own that stands in for every ansible.cfg.
    static QProcessEnvironment ansibleVaultEnvironment(const QProcessEnvironment& inherited,
                                                       const QString& configFile);

    // Where "Encrypt .tfvars..." and "Decrypt .tfvars..." write: the source
    // with ".enc" appended; the source without its ".enc" ending (case as
    // written), else with ".dec" appended.
    static QString encryptedTfvarsPath(const QString& source);
    static QString decryptedTfvarsPath(const QString& source);
    // Replace an existing output (the caller has asked) only when openssl
    // succeeded and, decrypting, gave text: a wrong password now and then
    // passes openssl's padding check and yields a few bytes of garbage. The
    // output is owner-only. A password openssl would not read whole is
    // refused, and so is a source that is not UTF-8 text, which the page
    // could not tell from a wrong password's garbage when decrypting it.
    bool encryptTfvars(const QString& source, const QString& password);
    bool decryptTfvars(const QString& source, const QString& password);

    // sops rewrites the file in place.
    bool runSops(SopsAction action, const QString& path);
    static QStringList sopsArguments(SopsAction action, const QString& path);

    // One line saying why a run failed: the runner's reason (missing, timed
    // out) or the tool's own words, else its exit code.
    static QString failureText(const QString& program, const ToolRunner::Result& result);

    // Waits a test can shorten.
    int ansibleTimeoutMs = 60000;
    int sopsTimeoutMs = 60000;
    int opensslTimeoutMs = 30000;

Q_SIGNALS:
    void logLine(const QString& line);
};
