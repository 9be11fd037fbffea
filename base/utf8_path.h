#pragma once
// Paths and the UTF-8 text the program keeps them in. On Windows a path
// made from a narrow string reads it in the ANSI code page (mingw's C
// runtime takes each byte for one UTF-16 unit), so non-ASCII names come
// out wrong; these go through char8_t, which is UTF-8 on every system.

#include <filesystem>
#include <string>
#include <string_view>

namespace varnolt::base {

inline std::filesystem::path pathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string utf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// With "/" between the names, as the program joins them itself; Windows
// takes "/" as well as "\\".
inline std::string genericUtf8Of(const std::filesystem::path& path) {
  const std::u8string text = path.generic_u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace varnolt::base
