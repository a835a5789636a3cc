#pragma once

#include "ui/remote/SiteStore.h"

#include <QDialog>
#include <QList>
#include <QString>

class QTreeWidget;

// The Site Manager: the stored remote sites as a tree grouped by their group
// label, with their details; sites are added, edited, removed and duplicated
// (each change saved at once and the tree read back from the file), and the
// selected one is opened over SSH, SFTP, scp or rsync.
class SiteManagerDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SiteManagerDialog(QWidget* parent = nullptr);
    ~SiteManagerDialog() override;

    // The stored sites, read without any window; empty when there are none.
    static QList<SiteProfile> loadProfiles();

Q_SIGNALS:
    // protocol is "ssh", "sftp", "scp" or "rsync".
    void connectRequested(const SiteProfile& profile, const QString& protocol);

private Q_SLOTS:
    void addSite();
    void editSite();
    void removeSite();
    void duplicateSite();
    void connectSsh();
    void connectSftp();
    void connectScp();
    void connectRsync();

private:
    void loadSites();
    // Writes the list to the store; the failure text, empty on success.
    QString saveSites();
    // Saves the changed list and rebuilds the tree from the store; a save
    // that fails is told under the action's title: what was not saved, and
    // why. The tree then shows the store as it still is.
    void saveAndReload(const QString& title, const QString& notSaved);
    SiteProfile selectedProfile() const;
    // The list index of the current site row; -1 for a group row or none.
    int selectedIndex() const;
    // Runs the command line in the Terminal application.
    void openInTerminal(const QString& commandLine);
    void reportNotStarted(const QString& program);
    // A store that could not be read is moved out of the way, unchanged,
    // and the user told once where it went and why.
    void setAsideUnreadable();
    // True, after telling the user, when the site's user or host would
    // reach ssh, sftp, scp or rsync as an option.
    bool refusedTarget(const QString& user, const QString& host, const QString& title);

    QTreeWidget* m_tree = nullptr;
    QList<SiteProfile> m_sites;
    SiteStore store;
    bool toldUnreadable = false;
};
