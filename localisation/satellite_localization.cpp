#include "localisation/satellite_localization.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <system_error>
#include <utility>

namespace varnolt::localisation {

namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
}

std::filesystem::path programFolder() {
#ifdef _WIN32
  // The module's own name, grown until it fits (long paths pass MAX_PATH).
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) return {};
    if (length < self.size()) {
      self.resize(length);
      return std::filesystem::path(self).parent_path();
    }
    if (self.size() >= 32768) return {};
    self.resize(self.size() * 2);
  }
#else
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path();
#endif
}

}  // namespace

std::string SatelliteProgID(const std::string& languageCode) {
  return "Varnolt_" + languageCode + ".clsResources";
}

std::vector<std::filesystem::path> DefaultSatelliteFolders() {
  std::vector<std::filesystem::path> folders;
  const std::filesystem::path program = programFolder();
  if (!program.empty()) {
    folders.push_back(program / "lang");
    // An installed program: <prefix>/bin/varnolt beside <prefix>/share/varnolt,
    // wherever the package put <prefix>.
    folders.push_back((program / ".." / "share" / "varnolt" / "lang").lexically_normal());
  }
#ifdef VARNOLT_LANG_INSTALL_DIR
  folders.emplace_back(VARNOLT_LANG_INSTALL_DIR);
#endif
  return folders;
}

std::string ApplyCharacterPairs(std::string text, bool germanChecked, bool spanishChecked) {
  if (germanChecked) {
    replaceAll(text, "a\"", "\u00E4");
    replaceAll(text, "o\"", "\u00F6");
  }
  if (spanishChecked) {
    replaceAll(text, "n~", "\u00F1");
    replaceAll(text, "o'", "\u00F3");
    replaceAll(text, "a'", "\u00E1");
  }
  return text;
}

LanguageItem LanguageItemOfLocale(std::uint32_t lcid) {
  switch (lcid & 0x3FFu) {
    case 0x07: return LanguageItem::mnuGerman;
    case 0x0C: return LanguageItem::mnuFrench;
    case 0x0A: return LanguageItem::mnuSpanish;
    default: return LanguageItem::mnuEng;
  }
}

SatelliteLocalization::SatelliteLocalization(const LanguageMenuState* menu,
                                             std::vector<std::filesystem::path> folders,
                                             EnvironmentLookup environment)
    : menu_(menu), folders_(std::move(folders)), environment_(std::move(environment)) {}

std::string SatelliteLocalization::LanguageCodeToLoad() const {
  if (checked(LanguageItem::mnuGerman)) return "407";
  if (checked(LanguageItem::mnuFrench)) return "40C";
  if (checked(LanguageItem::mnuSpanish)) return "C0A";
  if (checked(LanguageItem::mnuEng)) return "409";
  return LanguageCode(UserDefaultLCID(environment_));
}

LanguageItem SatelliteLocalization::LocaleLanguageItem() const {
  return LanguageItemOfLocale(UserDefaultLCID(environment_));
}

bool SatelliteLocalization::LoadLanguageResources() {
  const std::string progID = SatelliteProgID(LanguageCodeToLoad());
  std::string errors;
  for (const std::filesystem::path& folder : folders_) {
    const std::filesystem::path file = folder / progID;
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) continue;
    try {
      current_ = std::make_shared<const SatelliteTexts>(ReadSatelliteFile(file));
      currentProgID_ = progID;
      lastLoadError_.clear();
      return true;
    } catch (const SatelliteError& error) {
      // A broken copy in one folder must not hide a good one in the next.
      errors += (errors.empty() ? "" : "; ") + std::string(error.what());
    }
  }
  lastLoadError_ = errors.empty() ? progID + " not found" : errors;
  return false;
}

std::string SatelliteLocalization::LocalizedText(std::int32_t id) const {
  if (!current_) return kNoLocalData;
  const auto found = current_->find(id);
  if (found == current_->end())
    throw TextNotFound("text id " + std::to_string(id) + " is not in " + currentProgID_);
  return ApplyCharacterPairs(found->second, checked(LanguageItem::mnuGerman),
                             checked(LanguageItem::mnuSpanish));
}

SatelliteLocalization& ProgramLocalization() {
  static SatelliteLocalization localization;
  return localization;
}

bool LoadLanguageResources() { return ProgramLocalization().LoadLanguageResources(); }

std::string LocalizedText(std::int32_t id) { return ProgramLocalization().LocalizedText(id); }

}  // namespace varnolt::localisation
