#pragma once

#include "signing/SigningProfile.h"

#include <QList>
#include <QString>

// The signing profiles, kept as the "signingProfiles" array of the settings
// file. Nothing is cached: every call opens the file afresh and reads or
// rewrites the whole array. Names are compared exactly, letter case included.
class SigningProfileManager
{
public:
    static QList<SigningProfile> loadAll();
    // The first profile with this name, else an all-empty profile.
    static SigningProfile load(const QString& name);
    // Replaces the first profile with the same name in place, else appends.
    // False when the settings file could not be written whole; it then keeps
    // its previous content.
    static bool save(const SigningProfile& profile);
    // Drops every profile with this name and rewrites the array; false as for save.
    static bool remove(const QString& name);
};
