#pragma once

#include <QString>

// Where the desktop clients of the cloud drives keep their local folders.
namespace CloudFolders {

// Under the home folder.
inline constexpr char iCloudDrive[] = "/Library/Mobile Documents/com~apple~CloudDocs";
inline constexpr char cloudStorage[] = "/Library/CloudStorage";

// The first directory directly under parent (hidden ones left out) whose name
// matches the wildcard pattern without regard to case, as parent + "/" + name,
// in the order the directory listing gives; empty when none matches or parent
// is missing. Clients name their folder after the account ("GoogleDrive-*"),
// so it can only be found by pattern.
QString firstMatchingDir(const QString& parent, const QString& pattern);

} // namespace CloudFolders
