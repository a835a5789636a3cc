#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QTemporaryDir>

// A throwaway certificate authority made with the real openssl tool: a root,
// an intermediate under it, and code-signing leaves issued by the intermediate
// with whatever validity dates a test needs (openssl ca takes explicit dates,
// so certificates that expired long ago or expire later today are real ones).
class ChainPki
{
public:
    ChainPki() = default;
    ChainPki(const ChainPki&) = delete;
    ChainPki& operator=(const ChainPki&) = delete;

    // Makes the root, the intermediate (PEM and DER) and the standard leaf,
    // whose Authority Information Access names aiaUrl as its CA Issuers.
    bool create(const QString& aiaUrl);
    QString error() const { return lastError; }

    QString path(const QString& name) const { return dir.filePath(name); }
    QString rootPem() const { return path(QStringLiteral("root.pem")); }
    QString intermediatePem() const { return path(QStringLiteral("intermediate.pem")); }
    QString intermediateDer() const { return path(QStringLiteral("intermediate.der")); }
    QString leafPem() const { return path(QStringLiteral("leaf.pem")); }

    // The standard leaf's fixed fields.
    static QString leafSubject() { return QStringLiteral("/CN=Leaf Signer/O=Acme, Inc."); }
    static QString leafSerial() { return QStringLiteral("0A1B2C3D"); }
    static QDateTime leafNotBefore();

    // Issues a leaf under the intermediate into <name>.pem and returns its
    // path, empty on failure. extensions: the lines of an openssl extension
    // section (code signing only when empty).
    QString issue(const QString& name, const QString& subject, const QDateTime& notBefore,
                  const QDateTime& notAfter, const QString& extensions = {});

    static QByteArray readFile(const QString& path);

private:
    bool openssl(const QStringList& args);
    bool writeFile(const QString& name, const QByteArray& data);

    QTemporaryDir dir;
    QString lastError;
};
