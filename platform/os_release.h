#pragma once
// The product name of the operating system. Windows keeps it in the
// registry, as the value "ProductName" of the key
// HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion; other systems describe themselves in
// os-release (/etc/os-release, else /usr/lib/os-release). OpenProductKey
// reads that key or file and ReadRegistryString answers one value of it,
// "ProductName" being the system's pretty name.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The files where the operating system names itself, in the order tried
// (none on Windows, where the registry names it).
std::vector<std::filesystem::path> DefaultOsReleaseFiles();

// Opens the first readable file of candidates; nothing when none can be
// read (the caller reports "Error opening key."). On Windows, with no files
// named, it opens the registry key instead.
std::optional<RegistryKey> OpenProductKey(
    const std::vector<std::filesystem::path>& candidates = DefaultOsReleaseFiles());

// Parses os-release text: KEY=value lines, values bare or quoted, with
// backslash escapes inside double quotes; comments and malformed lines are
// skipped.
std::map<std::string, std::string> ParseOsRelease(const std::string& text);

// The value named valueName of key: "ProductName" is the registry's value
// of that name, else PRETTY_NAME (or NAME and VERSION when the file has no
// pretty name); any other name is the value or variable of that name. kRegistryError when it is missing or
// longer than kRegistryValueMax bytes.
std::string ReadRegistryString(const RegistryKey& key, const std::string& valueName);

}  // namespace varnolt::platform
