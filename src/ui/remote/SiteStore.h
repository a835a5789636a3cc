#pragma once

#include "core/EncryptedFile.h"

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>

// One remote site of the encrypted site store.
struct SiteProfile
{
    QString name;          // a record with an empty name stands for no selection
    QString group;         // empty: not in a group
    QString hostname;
    QString user;
    int port = 22;
    QString auth;          // "key", "password", "touch" or "agent"
    QString keyPath;       // "~/.ssh/<file>" as the Site Manager stores it
    QString remoteDir;
    QString localDir;
    QString protocol;      // "ssh" for every site the Site Manager adds
    QString color;         // "#rrggbb"; empty: the default colour
    QString notes;
    bool compression = false;
    int keepAlive = 60;    // seconds
};
Q_DECLARE_METATYPE(SiteProfile)

// The list of sites in one file encrypted with openssl (EncryptedFile): a
// compact JSON array of objects with the fourteen fields as keys. The store
// remembers what it found on disk, so that a file it could not read (the
// host or login name changed since it was written, a damaged byte) is never
// written over: it stays where it is until setAside() moves it, unchanged,
// out of the way.
class SiteStore
{
public:
    SiteStore(const QString& path, const QByteArray& passPhrase);
    ~SiteStore();
    SiteStore(const SiteStore&) = delete;
    SiteStore& operator=(const SiteStore&) = delete;

    // The sites in file order; empty when there is no file or it cannot be read.
    QList<SiteProfile> load();
    // Replaces the file with the list. The failure text, empty on success;
    // nothing is written while the file is there but could not be read, be
    // it refused (see isUnreadable) or never read at all (openssl missing or
    // hung).
    QString save(const QList<SiteProfile>& sites);

    // True when the last load found a file that openssl refused or that
    // holds no list of sites; unreadableReason() says which, for the user.
    bool isUnreadable() const { return onDisk == OnDisk::Unreadable; }
    QString unreadableReason() const { return reason; }
    // Moves such a file to <file>.unreadable-<time>, its bytes unchanged, so
    // that saving starts a new store beside it. The failure text, empty on
    // success; *movedTo names the file it became.
    QString setAside(QString* movedTo);

    QString path() const { return filePath; }

    static QByteArray toJson(const QList<SiteProfile>& sites);
    // A text that is no JSON array gives no sites and *isArray false.
    static QList<SiteProfile> fromJson(const QByteArray& json, bool* isArray = nullptr);

    // Each openssl run blocks the GUI thread for at most these.
    int startTimeoutMs = 5000;
    int finishTimeoutMs = 10000;

private:
    enum class OnDisk { Unknown, Absent, Read, Unreadable, NotRead };

    EncryptedFile::Options options() const;

    QString filePath;
    QByteArray passPhrase;
    OnDisk onDisk = OnDisk::Unknown;
    QString reason;
};
