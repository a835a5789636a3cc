#pragma once

#include <QString>
#include <QStringList>

// Where PKCS#11 modules (and the OpenSSL provider that loads them) live on
// disk. The token bridge and the provider configuration look for the same
// OpenSC module, so both go through this one search.
namespace Pkcs11Modules {

// One search: the fixed candidates in order, and only when none of them
// exists, the version folders of scanFolder (each one's name, then
// scanSuffix), newest-looking name first.
struct Search {
    QStringList candidates;
    QString scanFolder;
    QString scanSuffix;
};

// The OpenSC PKCS#11 module "opensc-pkcs11.so": the Homebrew and system
// locations, then Debian's multiarch locations; the Homebrew Cellar scanned
// last.
Search openscModule();
// libp11's OpenSSL 3 PKCS#11 provider module.
Search opensslProvider();

// The first candidate that exists as a file or folder, else empty. A
// candidate with "*" is a name pattern inside the folder before its last
// "/": the first plain file that matches, in directory order.
QString findFile(const QStringList& candidates);

// The subfolder names of folder (folders only) in descending plain character
// order, so "0.9.0" comes before "0.26.1": Homebrew keeps one folder per
// version, and this is the order the search has always tried them in.
QStringList versionFolders(const QString& folder);

// Runs the search. Every path, candidates and scan folder alike, is taken
// below root (empty or "/": the real file system); the path returned
// includes root. Empty when nothing was found.
QString find(const Search& search, const QString& root = QString());

} // namespace Pkcs11Modules
