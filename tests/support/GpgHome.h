#pragma once

#include "core/ToolRunner.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// A throwaway GnuPG home for one test, with the real gpg 2.2. Its
// gpg-agent.conf names the stub pinentry (tests/fakes/pinentry, which answers
// every question and gives "testpass"), so gpg started by the program never
// opens a real dialog. While an active home lives, GNUPGHOME points at it;
// a passive one (a second keyring to export from) is reached only through
// gpg() here. The destructor stops the agent that gpg started inside it.
//
//     TestHome home;
//     GpgHome gnupg;                                   // <HOME>/.gnupg
//     const QString fpr = gnupg.generateKey("Ann <ann@example.org>");
//     QVERIFY2(!fpr.isEmpty(), qPrintable(gnupg.errorString()));
class GpgHome
{
public:
    // dir empty: <HOME>/.gnupg of the current HOME (create the TestHome first).
    explicit GpgHome(const QString& dir = {}, bool activate = true);
    ~GpgHome();
    GpgHome(const GpgHome&) = delete;
    GpgHome& operator=(const GpgHome&) = delete;

    QString path() const { return home; }
    QString errorString() const { return error; }
    // The installed gpg, found even when a stand-in comes first on PATH.
    static QString realGpg();

    // The real gpg on this home ("--homedir" is added), up to 60 s.
    ToolRunner::Result gpg(const QStringList& arguments, const QByteArray& input = {});

    // A key without pass phrase, made at once (no pinentry): its fingerprint,
    // empty on failure. No expiry unless given ("1d", "2030-01-01", ...).
    QString generateKey(const QString& userId, const QString& algorithm = QStringLiteral("ed25519"),
                        const QString& expiry = QStringLiteral("never"));
    // Adds a subkey without pass phrase ("ed25519"/"sign", "cv25519"/"encr", ...).
    bool addSubkey(const QString& fingerprint, const QString& algorithm, const QString& usage);
    QByteArray exportPublicKey(const QString& fingerprint);
    bool importKey(const QByteArray& armoured);
    // Revokes the key by importing the revocation certificate gpg stored when
    // it generated the key.
    bool revokeKey(const QString& fingerprint);
    // The colon listing of the public (or secret) keyring.
    QString listing(bool secret = false);

private:
    bool fail(const QString& what, const ToolRunner::Result& result);

    QString home;
    QString error;
    QByteArray oldGnupgHome;
    bool hadGnupgHome = false;
    bool active = false;
};
