#pragma once

#include <QWidget>

class UserProfile;

// The "GitHub" page over the GitHub accounts stored in the user profile.
class GitHubTab : public QWidget
{
    Q_OBJECT
public:
    explicit GitHubTab(UserProfile* profile, QWidget* parent = nullptr);

Q_SIGNALS:
    void logRequest(const QString& op, const QString& device, bool success,
                    const QString& detail);

private:
    UserProfile* userProfile = nullptr;
};
