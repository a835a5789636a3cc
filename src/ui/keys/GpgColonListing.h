#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// One primary OpenPGP key as gpg's colon listing describes it.
struct GpgKeyInfo
{
    QString userId;         // the last "uid" record's text, as gpg prints it (C-escaped)
    QString fingerprint;    // the first "fpr" record after the key record
    QString keyId;          // at most its last 16 characters
    QString algorithm;      // "RSA", "EdDSA" or the key length ("256-bit")
    QString created;
    QString expires;        // empty: the key does not expire
    QString trust;          // the validity letter
    bool isSecret = false;
    bool expired = false;   // some user ID has expired
    bool revoked = false;   // some user ID is revoked
    QStringList subkeys;    // key IDs of the "sub" records, at most 16 characters each
    QStringList capabilities;
};

// gpg's machine-readable listing ("--with-colons"), read defensively: it is
// another program's output, so short, unknown or out-of-order records are
// skipped rather than trusted.
namespace GpgColonListing {

// The primary keys in listing order; a key without a fingerprint record is left out.
QList<GpgKeyInfo> parse(const QString& text);

// The short and long forms of a fingerprint or key ID used in texts and file
// names: its last 8 and last 16 characters (the whole text when shorter).
QString shortId(const QString& fingerprint);
QString longId(const QString& fingerprint);

} // namespace GpgColonListing
