#pragma once

#include <QObject>
#include <QString>

// The vault engine: turns an encrypted disk image into a folder the rest of
// the program writes to. One instance per application, owned by the main window.
class TessarilVault : public QObject
{
    Q_OBJECT
public:
    explicit TessarilVault(QObject* parent = nullptr);

    // The file "vault.qvimgv" in the configuration folder, built from the
    // home folder on every call.
    static QString defaultPath();
    // Every vault is attached at this one place, whoever attached it.
    static QString fixedMountPoint();

Q_SIGNALS:
    void vaultMounted(const QString& mountPoint);
};
