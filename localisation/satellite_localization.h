#pragma once
// SatelliteLocalization: chooses the language from the checked language menu
// item (or, with none checked, the user's locale), loads that language's
// satellite and answers texts by id.
//
// Every window follows the same pattern: call LoadLanguageResources(); when
// it answers true take each text from LocalizedText(id), otherwise keep the
// built-in English texts. The satellite is read anew on every load.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "localisation/locale_id.h"
#include "localisation/satellite_file.h"

namespace varnolt::localisation {

// The four language items of the main window's Languages menu.
enum class LanguageItem { mnuGerman, mnuFrench, mnuSpanish, mnuEng };

// Which language items are checked; the main window answers from its menu.
// Asked on every call, so a change of the check mark counts at once.
class LanguageMenuState {
 public:
  virtual ~LanguageMenuState() = default;
  virtual bool IsChecked(LanguageItem item) const = 0;
};

// A text id that the current satellite does not hold.
class TextNotFound : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The language item for a Windows locale id: German, French or Spanish for
// any territory of those languages (their ids share the low ten bits),
// English for every other language.
LanguageItem LanguageItemOfLocale(std::uint32_t lcid);

// The text LocalizedText answers while no satellite was ever loaded.
inline constexpr const char* kNoLocalData = "Error : No Local Data";

// "Varnolt_" + language code + ".clsResources", also the satellite's file name.
std::string SatelliteProgID(const std::string& languageCode);

// Where satellites are looked for, in order: "lang" beside the running
// program, then the installed data folder.
std::vector<std::filesystem::path> DefaultSatelliteFolders();

// The character pairs that satellites use for letters outside ASCII:
// with German checked a" and o" become ä and ö; with Spanish checked n~, o'
// and a' become ñ, ó and á. Exact case; nothing else changes.
std::string ApplyCharacterPairs(std::string text, bool germanChecked, bool spanishChecked);

class SatelliteLocalization {
 public:
  // menu may be null (no item checked) and can be set later; it must outlive
  // this object or be replaced first.
  explicit SatelliteLocalization(const LanguageMenuState* menu = nullptr,
                                 std::vector<std::filesystem::path> folders = DefaultSatelliteFolders(),
                                 EnvironmentLookup environment = SystemEnvironment());

  void SetMenuState(const LanguageMenuState* menu) { menu_ = menu; }

  // The language code the menu (or, with no item checked, the locale) gives
  // now: "407", "40C", "C0A", "409", or the locale's id such as "809".
  std::string LanguageCodeToLoad() const;

  // The language item the user's locale asks for (LanguageItemOfLocale).
  LanguageItem LocaleLanguageItem() const;

  // Loads the satellite of LanguageCodeToLoad() and makes it current: true.
  // When it is missing or unreadable in every folder: false, and the
  // satellite loaded before (if any) stays current.
  bool LoadLanguageResources();

  // The text of id from the current satellite after the character pairs of
  // the menu state at this moment; kNoLocalData when no satellite was ever
  // loaded. Throws TextNotFound for an id the satellite lacks.
  std::string LocalizedText(std::int32_t id) const;

  // ProgID of the current satellite, "" before the first successful load.
  const std::string& CurrentProgID() const { return currentProgID_; }

  // Why the last load failed ("" after a success), for diagnostics.
  const std::string& LastLoadError() const { return lastLoadError_; }

 private:
  bool checked(LanguageItem item) const { return menu_ != nullptr && menu_->IsChecked(item); }

  const LanguageMenuState* menu_;
  std::vector<std::filesystem::path> folders_;
  EnvironmentLookup environment_;
  std::shared_ptr<const SatelliteTexts> current_;
  std::string currentProgID_;
  std::string lastLoadError_;
};

// The program's one localisation, shared by its windows and the run. Its
// menu state is null until the main window sets it with SetMenuState.
SatelliteLocalization& ProgramLocalization();

// ProgramLocalization().LoadLanguageResources() and .LocalizedText(id).
bool LoadLanguageResources();
std::string LocalizedText(std::int32_t id);

}  // namespace varnolt::localisation
