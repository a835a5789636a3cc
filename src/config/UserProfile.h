#pragma once

#include "core/EncryptedFile.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// The user's profile (personal details, preferences, known vaults, GitHub
// accounts with their tokens, progress records), kept in memory as one JSON
// object and stored encrypted by the openssl tool under a pass phrase derived
// from the host and login names, so that no password has to be asked for.
// Every setter writes the file at once and returns whether it was written
// (saveError() says why not). Also names the places where the program keeps
// its own files.
class UserProfile : public QObject
{
    Q_OBJECT
public:
    struct GhAccount {
        QString login;
        QString name;
        QString email;
        QString pat;
        QString plan;
    };

    explicit UserProfile(QObject* parent = nullptr);

    // Recomputed from the home folder on every call; nothing is created.
    static QString configDir();
    static QString configPath();
    static QString profilePath();

    // Reads the profile file, or creates and writes the default profile when
    // there is none. False when the file could not be decrypted or does not
    // hold a JSON object; that file is then kept, and set aside before the
    // next write. False too when openssl did not run to the end (missing,
    // hung, killed): the file is then left alone and every save of this run
    // fails, so a later start reads it as before.
    bool load();
    // True only when the new file is in place; a failed write keeps the old
    // one, and saveError() gives the reason.
    [[nodiscard]] bool save();
    // Why the last save failed; empty after a save that worked.
    QString saveError() const { return lastSaveError; }
    bool encrypt(const QByteArray& data, const QString& path);
    // The plain bytes; empty on any failure.
    QByteArray decrypt(const QString& path);
    // SHA-256 of host name, login name and a fixed label. Files already stored
    // depend on this exact text.
    QByteArray deriveKey() const;

    bool isFeatureUnlocked(const QString& id) const;
    bool unlockFeature(const QString& id);
    QStringList unlockedFeatures() const;

    bool isDeviceSeen(const QString& deviceId) const;
    bool markDeviceSeen(const QString& deviceId);
    QString devicePreference(const QString& deviceId, const QString& key) const;
    bool setDevicePreference(const QString& deviceId, const QString& key, const QString& value);

    QStringList vaultPaths() const;
    bool addVaultPath(const QString& path);
    bool removeVaultPath(const QString& path);

    // The default also stands in for an empty stored value.
    QString preference(const QString& key, const QString& defaultValue = QString()) const;
    bool setPreference(const QString& key, const QString& value);
    // Several preferences, in order, with one write of the file for all of
    // them (each write is a PBKDF2 run of openssl); the result is that write's.
    bool setPreferences(const QList<QPair<QString, QString>>& values);

    bool hasAnsweredPrompt(const QString& id) const;
    bool setPromptAnswer(const QString& id, const QString& answer);
    QString promptAnswer(const QString& id) const;

    // The GitHub accounts hold tokens: a change to them that could not be
    // written is undone, so the accounts listed are those the next start
    // finds. Other changes stay in memory for the rest of the run.
    QList<GhAccount> githubAccounts() const;
    // Upsert by login: the account ends up last in the list.
    bool addGithubAccount(const GhAccount& account);
    bool updateGithubAccount(const GhAccount& account);
    // The active login is left as it is, even when it names the removed account.
    bool removeGithubAccount(const QString& login);
    QString activeGithubLogin() const;
    bool setActiveGithubLogin(const QString& login);

    // Each openssl run blocks the GUI thread for at most these.
    int startTimeoutMs = 5000;
    int finishTimeoutMs = 10000;

Q_SIGNALS:
    void featureUnlocked(const QString& feature, const QString& message);

private:
    // Saves the GitHub accounts' change, or puts back what was there before.
    bool saveOrRestore(const QJsonObject& before);
    bool setAsideUnreadableFile();
    QByteArray decryptFile(const QString& path, bool* opensslWorked);
    // encrypt() with the failure text, empty on success.
    QString encryptFile(const QByteArray& data, const QString& path);
    EncryptedFile::Options fileOptions() const;

    QJsonObject data;
    bool loaded = false;
    // The file on disk could not be read: it must not be overwritten.
    bool unreadableOnDisk = false;
    // The file on disk was never read because openssl could not be run.
    bool opensslUnavailable = false;
    QString lastSaveError;
};
