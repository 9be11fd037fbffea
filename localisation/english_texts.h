#pragma once
// The program's built-in English texts: what a window shows, or a message
// says, when no satellite of the chosen language can be loaded.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace varnolt::localisation {

// The product's web address and copyright notice, shown in the status bar
// and the About window.
inline constexpr const char* kProductWebAddress = "www.kestrik.example/varnolt";
inline constexpr const char* kProductCopyright = "Copyright \u00A9 2026 Kestrik";

// Every id the program fetches, in ascending order (109, 128 and 136 are
// not used).
const std::vector<std::int32_t>& LocalizedTextIds();

// The built-in English text of an id, or nothing for an id the program does
// not use. For 134 and 135 it is the word the status line starts with
// ("removing", "Saving"); the caller adds a blank and the file name.
std::optional<std::string> EnglishText(std::int32_t id);

}  // namespace varnolt::localisation
