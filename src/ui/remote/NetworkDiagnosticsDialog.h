#pragma once

#include "core/ToolRunner.h"

#include <QDialog>
#include <QList>

#include <functional>

class QLineEdit;
class QPushButton;
class QTextEdit;

// Network checks of one host: ping, DNS lookup, TCP port, TLS certificate,
// traceroute and SSH host keys. Each runs its tools in the background and
// appends what they report, as plain text, to the results view, with a line
// of its own when a tool ran out of time, was refused, met an unknown name or
// heard nothing back. While a check runs the window stays usable: the check
// buttons wait, and Cancel (or closing the window) ends the tool.
class NetworkDiagnosticsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit NetworkDiagnosticsDialog(QWidget* parent = nullptr);
    ~NetworkDiagnosticsDialog() override;

    // Return at once; the check goes on in the background.
    void runPing();
    void runDnsLookup();
    void runPortCheck();
    void runSslCertCheck();
    void runTraceroute();
    void runSshFingerprint();

    // Ends the running check and its tool; nothing when none runs.
    void cancelCheck();
    bool isChecking() const { return check != nullptr; }

    // How long each tool may take to start and to finish, in milliseconds.
    struct Waits {
        int startMs = 3000;          // ping, dig, nc, traceroute, ssh-keyscan
        int pingMs = 20000;
        int digMs = 10000;
        int ncMs = 10000;
        int tlsStartMs = 5000;       // both s_client runs
        int tlsMs = 15000;
        int decodeStartMs = 3000;    // openssl x509
        int decodeMs = 10000;
        int tracerouteMs = 60000;
        int keyscanMs = 10000;
        int keygenStartMs = 3000;
        int keygenMs = 5000;
    };
    Waits waits;

private:
    using Done = std::function<void(const ToolRunner::Result&)>;

    QString host() const;
    // The host when it is valid; empty when blank, or refused with the text.
    QString checkedHost(const QString& refusal);
    int port() const;
    void append(const QString& text);

    // A check owns the tools it runs: they end when it does.
    void beginCheck();
    void endCheck();
    void runTool(const QString& name, const QStringList& arguments, int startMs, int finishMs,
                 const QByteArray& input, Done done);

    void lookUpRecords(const QString& target, int index, bool nameExists);
    void decodeCertificate(const QString& address, const QString& target);
    void fingerprintKeys(QStringList lines);

    QLineEdit* hostEdit = nullptr;
    QLineEdit* portEdit = nullptr;
    QTextEdit* output = nullptr;
    QList<QPushButton*> checkButtons;
    QPushButton* cancelButton = nullptr;
    QObject* check = nullptr;
};
