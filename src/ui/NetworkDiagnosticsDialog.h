#pragma once

#include <QDialog>

class QLineEdit;
class QTextEdit;

// Network checks of one host: ping, DNS lookup, TCP port, TLS certificate,
// traceroute and SSH host keys. Each runs its tools on the GUI thread and
// appends what they report, as plain text, to the results view.
class NetworkDiagnosticsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit NetworkDiagnosticsDialog(QWidget* parent = nullptr);
    ~NetworkDiagnosticsDialog() override;

    void runPing();
    void runDnsLookup();
    void runPortCheck();
    void runSslCertCheck();
    void runTraceroute();
    void runSshFingerprint();

private:
    QString host() const;
    // The host when it is valid; empty when blank, or refused with the text.
    QString checkedHost(const QString& refusal);
    int port() const;
    void append(const QString& text);

    QLineEdit* hostEdit = nullptr;
    QLineEdit* portEdit = nullptr;
    QTextEdit* output = nullptr;
};
