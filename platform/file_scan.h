#pragma once
// The file-system questions of the PST list: which files of one folder
// match a pattern, and whether two paths name the same file.

#include <optional>

#include <QString>
#include <QStringList>

namespace varnolt::platform {

// Names (not paths) of the regular files directly in folder whose names
// match the wildcard, letters compared without regard to case, hidden
// files included, subfolders not searched, sorted by name. Nothing when
// the folder cannot be read.
std::optional<QStringList> FilesInFolder(const QString& folder, const QString& wildcard);

// True when a and b name the same file: the same file on disk (through
// links, ".." and letter case where the file system ignores it), or, when
// one does not exist, the same absolute path after normalising.
bool SameFile(const QString& a, const QString& b);

}  // namespace varnolt::platform
