#pragma once
// The user's default locale id (a Windows LCID such as 0x0407), read from the
// POSIX locale, and the language code the satellite files are named after.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace varnolt::localisation {

// Answers the value of an environment variable, or nothing when it is unset.
// Passed in so that tests can set up any locale without touching the
// process environment.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

// The real process environment.
EnvironmentLookup SystemEnvironment();

// English (United States), the answer for "C", "POSIX", an unset locale and
// any language we have no id for.
inline constexpr std::uint32_t kEnglishUnitedStates = 0x0409;

// The locale that decides the language of messages: LC_ALL, then
// LC_MESSAGES, then LANG, the first one set and not empty.
std::string MessagesLocale(const EnvironmentLookup& environment);

// The Windows locale id of a POSIX locale name such as "de_DE.UTF-8",
// "en_GB" or "es_ES@euro". A known language in an unknown territory gets the
// id of its main territory ("de_XX" gives 0x0407).
std::uint32_t LocaleIdFromPosix(const std::string& locale);

// GetUserDefaultLCID for this platform.
std::uint32_t UserDefaultLCID(const EnvironmentLookup& environment);

// The id in upper-case hexadecimal without leading zeros (0x0C0A gives "C0A").
std::string LanguageCode(std::uint32_t lcid);

}  // namespace varnolt::localisation
