#pragma once
// Module1: the small helpers between the windows and the operating system.
//
// - The product-name key: the operating system describes itself in
//   os-release (/etc/os-release, else /usr/lib/os-release); OpenProductKey
//   reads it and ReadRegistryString answers one value of it, "ProductName"
//   being the system's pretty name.
// - BrowseForFolder: the folder picker, through the current Dialogs.
// - File-system helpers of the PST list: the files of one folder matching
//   a pattern, and whether two paths name the same file.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <QString>
#include <QStringList>

class QWidget;

namespace varnolt::platform {

// What ReadRegistryString answers when a value cannot be read.
inline constexpr const char* kRegistryError = "<Error>";
// Longest value ReadRegistryString hands back, in bytes.
inline constexpr std::size_t kRegistryValueMax = 255;

// An open key: the variables of one os-release file.
class RegistryKey {
 public:
  explicit RegistryKey(std::map<std::string, std::string> values) : values_(std::move(values)) {}
  const std::string* Find(const std::string& name) const;

 private:
  std::map<std::string, std::string> values_;
};

// The files where the operating system names itself, in the order tried.
std::vector<std::filesystem::path> DefaultOsReleaseFiles();

// Opens the first readable file of candidates; nothing when none can be
// read (the caller reports "Error opening key.").
std::optional<RegistryKey> OpenProductKey(
    const std::vector<std::filesystem::path>& candidates = DefaultOsReleaseFiles());

// Parses os-release text: KEY=value lines, values bare or quoted, with
// backslash escapes inside double quotes; comments and malformed lines are
// skipped.
std::map<std::string, std::string> ParseOsRelease(const std::string& text);

// The value named valueName of key: "ProductName" is PRETTY_NAME (or NAME
// and VERSION when the file has no pretty name); any other name is the
// os-release variable of that name. kRegistryError when it is missing or
// longer than kRegistryValueMax bytes.
std::string ReadRegistryString(const RegistryKey& key, const std::string& valueName);

// The folder picker with no owner: the chosen folder's path, "" when the
// user cancelled or chose something that is not a folder.
QString BrowseForFolder(QWidget* owner, const QString& title);
// The same for a folder of PST files: the picker shows them too.
QString BrowseForPstFolder(QWidget* owner, const QString& title);

// Names (not paths) of the regular files directly in folder whose names
// match the wildcard, letters compared without regard to case, hidden
// files included, subfolders not searched, sorted by name. Nothing when
// the folder cannot be read.
std::optional<QStringList> FilesInFolder(const QString& folder, const QString& wildcard);

// True when a and b name the same file: the same file on disk (through
// links, ".." and letter case where the file system ignores it), or, when
// one does not exist, the same absolute path after normalising.
bool SameFile(const QString& a, const QString& b);

// The title message boxes use when the design gives none: the application's
// name.
QString ApplicationTitle();

}  // namespace varnolt::platform
