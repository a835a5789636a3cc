#pragma once

#include <QString>

// A home folder as a user with many keys has it: SSH key pairs in ~/.ssh and
// a GnuPG keyring in ~/.gnupg, each key made by the real ssh-keygen and gpg.
// Making 1,000 of each takes a minute or more, so the home is made once and
// kept in the build folder (bench-cache/large-home-<pairs>-<keys>); a home
// left half made by an interrupted run is made again. Benchmarks point HOME
// at it and only read it (gpg may refresh its trust database there).
namespace LargeHome {

// The home's path, made first when it is missing; empty with the reason in
// *error when ssh-keygen or gpg failed.
QString ensure(int sshPairs = 1000, int gpgKeys = 1000, QString* error = nullptr);

// Stops the gpg-agent that listing the keyring started in the home.
void stopAgent(const QString& home);

} // namespace LargeHome
