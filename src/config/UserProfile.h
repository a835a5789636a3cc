#pragma once

#include <QObject>
#include <QString>

// The user's profile and the places where the program keeps its own files.
class UserProfile : public QObject
{
    Q_OBJECT
public:
    explicit UserProfile(QObject* parent = nullptr);

    // Recomputed from the home folder on every call; nothing is created.
    static QString configDir();
    static QString configPath();
    static QString profilePath();
};
