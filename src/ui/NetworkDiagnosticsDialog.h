#pragma once

#include <QDialog>

// Network checks of one host.
class NetworkDiagnosticsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit NetworkDiagnosticsDialog(QWidget* parent = nullptr);
};
