// Language choice and texts: which satellite is loaded for each menu state
// and locale, what the character pairs turn into, what LocalizedText answers
// before, after and between loads, how satellite files are read and refused,
// and that the four shipped satellites are complete and consistent.

#include <map>
#include <set>
#include <string>

#include "localisation/english_texts.h"
#include "localisation/locale_id.h"
#include "localisation/satellite_file.h"
#include "localisation/satellite_localization.h"
#include "tests/support/test_support.h"

namespace l = varnolt::localisation;
namespace t = varnolt::test;
using l::LanguageItem;

namespace {

class FakeMenu : public l::LanguageMenuState {
 public:
  std::set<LanguageItem> checked;
  bool IsChecked(LanguageItem item) const override { return checked.count(item) != 0; }
  void only(LanguageItem item) { checked = {item}; }
};

l::EnvironmentLookup environment(std::map<std::string, std::string> values) {
  return [values](const std::string& name) -> std::optional<std::string> {
    auto found = values.find(name);
    if (found == values.end()) return std::nullopt;
    return found->second;
  };
}

void writeSatellite(const t::fs::path& folder, const std::string& code, const std::string& content) {
  t::fs::create_directories(folder);
  t::writeFile(folder / l::SatelliteProgID(code), content);
}

t::fs::path shippedSatellite(const std::string& code) {
  return t::sourceDir() / "lang" / l::SatelliteProgID(code);
}

const char* const kShippedCodes[] = {"409", "407", "40C", "C0A"};

}  // namespace

TEST(CharacterPairs, GermanTurnsOnlyLowerAAndOWithQuote) {
  EXPECT_EQ(l::ApplyCharacterPairs("Anha\"nge a\"o\"a\" Franzo\"sisch", true, false),
            "Anh\u00E4nge \u00E4\u00F6\u00E4 Franz\u00F6sisch");
  // The quote must follow the letter.
  EXPECT_EQ(l::ApplyCharacterPairs("Anh\"ange \"o", true, false), "Anh\"ange \"o");
  EXPECT_EQ(l::ApplyCharacterPairs("u\" A\" O\" e\" \"a", true, false), "u\" A\" O\" e\" \"a");
  EXPECT_EQ(l::ApplyCharacterPairs("a\"\"", true, false), "\u00E4\"");
  // The Spanish pairs are not German ones.
  EXPECT_EQ(l::ApplyCharacterPairs("An~o' a'", true, false), "An~o' a'");
}

TEST(CharacterPairs, SpanishTurnsNTildeAndOAWithApostrophe) {
  EXPECT_EQ(l::ApplyCharacterPairs("Espan~ol compresio'n esta' n~n~", false, true),
            "Espa\u00F1ol compresi\u00F3n est\u00E1 \u00F1\u00F1");
  EXPECT_EQ(l::ApplyCharacterPairs("e' i' u' N~ O' A' don't ~n 'a", false, true),
            "e' i' u' N~ O' A' don't ~n 'a");
  EXPECT_EQ(l::ApplyCharacterPairs("a\" o\"", false, true), "a\" o\"");
}

TEST(CharacterPairs, NothingChangesWithoutGermanOrSpanish) {
  const std::string text = "a\" o\" n~ o' a' déjà";
  EXPECT_EQ(l::ApplyCharacterPairs(text, false, false), text);
}

TEST(LocaleId, PosixLocalesMapToWindowsIds) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {"de_DE.UTF-8", 0x0407}, {"de_DE", 0x0407},       {"de_AT.UTF-8", 0x0C07}, {"de_XX", 0x0407},
      {"de", 0x0407},          {"en_GB.UTF-8", 0x0809}, {"en_US.UTF-8", 0x0409}, {"es_ES.UTF-8", 0x0C0A},
      {"es_ES@euro", 0x0C0A},  {"es_MX", 0x080A},       {"fr_FR.UTF-8", 0x040C}, {"fr_CA", 0x0C0C},
      {"pt_BR.utf8", 0x0416},  {"ja_JP.eucJP", 0x0411}, {"C", 0x0409},           {"POSIX", 0x0409},
      {"C.UTF-8", 0x0409},     {"", 0x0409},            {"xx_YY.UTF-8", 0x0409}, {"DE_de", 0x0407},
  };
  for (const auto& [locale, lcid] : cases) EXPECT_EQ(l::LocaleIdFromPosix(locale), lcid) << locale;
}

TEST(LocaleId, LcAllThenLcMessagesThenLang) {
  EXPECT_EQ(l::UserDefaultLCID(environment({{"LC_ALL", "fr_FR.UTF-8"}, {"LC_MESSAGES", "de_DE"}, {"LANG", "es_ES"}})),
            0x040Cu);
  EXPECT_EQ(l::UserDefaultLCID(environment({{"LC_ALL", ""}, {"LC_MESSAGES", "de_DE"}, {"LANG", "es_ES"}})), 0x0407u);
  EXPECT_EQ(l::UserDefaultLCID(environment({{"LANG", "es_ES.UTF-8"}})), 0x0C0Au);
  EXPECT_EQ(l::UserDefaultLCID(environment({})), 0x0409u);
}

TEST(LocaleId, LanguageCodeIsUpperHexWithoutLeadingZeros) {
  EXPECT_EQ(l::LanguageCode(0x0C0A), "C0A");
  EXPECT_EQ(l::LanguageCode(0x0809), "809");
  EXPECT_EQ(l::LanguageCode(0x0407), "407");
  EXPECT_EQ(l::SatelliteProgID("C0A"), "Varnolt_C0A.clsResources");
}

TEST(LanguageChoice, MenuItemsInTheirOrderThenLocale) {
  FakeMenu menu;
  l::SatelliteLocalization loc(&menu, {}, environment({{"LANG", "en_GB.UTF-8"}}));
  EXPECT_EQ(loc.LanguageCodeToLoad(), "809");
  menu.only(LanguageItem::mnuEng);
  EXPECT_EQ(loc.LanguageCodeToLoad(), "409");
  menu.only(LanguageItem::mnuSpanish);
  EXPECT_EQ(loc.LanguageCodeToLoad(), "C0A");
  menu.only(LanguageItem::mnuFrench);
  EXPECT_EQ(loc.LanguageCodeToLoad(), "40C");
  menu.only(LanguageItem::mnuGerman);
  EXPECT_EQ(loc.LanguageCodeToLoad(), "407");
  // Should several be checked, German, French, Spanish, English is the order.
  menu.checked = {LanguageItem::mnuEng, LanguageItem::mnuSpanish, LanguageItem::mnuFrench};
  EXPECT_EQ(loc.LanguageCodeToLoad(), "40C");
  // No menu at all counts as nothing checked.
  l::SatelliteLocalization noMenu(nullptr, {}, environment({{"LC_ALL", "es_ES.UTF-8"}}));
  EXPECT_EQ(noMenu.LanguageCodeToLoad(), "C0A");
}

class SatelliteLoad : public ::testing::Test {
 protected:
  t::TempDir dir;
  FakeMenu menu;
  std::map<std::string, std::string> env;
  l::SatelliteLocalization make() { return l::SatelliteLocalization(&menu, {dir.path()}, environment(env)); }
};

TEST_F(SatelliteLoad, NoLocalDataBeforeAnySuccess) {
  menu.only(LanguageItem::mnuFrench);
  l::SatelliteLocalization loc = make();
  EXPECT_EQ(loc.LocalizedText(102), "Error : No Local Data");
  EXPECT_FALSE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(102), "Error : No Local Data");
  EXPECT_EQ(loc.CurrentProgID(), "");
  EXPECT_NE(loc.LastLoadError().find("Varnolt_40C.clsResources"), std::string::npos);
}

TEST_F(SatelliteLoad, CheckedGermanLoadsAndPostProcesses) {
  writeSatellite(dir.path(), "407", "116\tAnha\"nge entfernen\n");
  menu.only(LanguageItem::mnuGerman);
  l::SatelliteLocalization loc = make();
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.CurrentProgID(), "Varnolt_407.clsResources");
  EXPECT_EQ(loc.LocalizedText(116), "Anh\u00E4nge entfernen");
  // The pairs follow the menu at the moment of the call, not of the load.
  menu.only(LanguageItem::mnuEng);
  EXPECT_EQ(loc.LocalizedText(116), "Anha\"nge entfernen");
}

TEST_F(SatelliteLoad, GermanLocaleWithoutMenuLoadsGermanUnprocessed) {
  writeSatellite(dir.path(), "407", "116\tAnha\"nge entfernen\n");
  env = {{"LANG", "de_DE.UTF-8"}};
  l::SatelliteLocalization loc = make();
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.CurrentProgID(), "Varnolt_407.clsResources");
  EXPECT_EQ(loc.LocalizedText(116), "Anha\"nge entfernen");
}

TEST_F(SatelliteLoad, BritishLocaleLooksForItsOwnSatellite) {
  writeSatellite(dir.path(), "409", "102\tAdd File\n");
  env = {{"LC_MESSAGES", "en_GB.UTF-8"}};
  l::SatelliteLocalization loc = make();
  EXPECT_FALSE(loc.LoadLanguageResources());
  EXPECT_NE(loc.LastLoadError().find("Varnolt_809.clsResources"), std::string::npos);
  writeSatellite(dir.path(), "809", "102\tAdd a file\n");
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(102), "Add a file");
}

TEST_F(SatelliteLoad, MissingSatelliteAfterSuccessKeepsTheEarlierOne) {
  writeSatellite(dir.path(), "409", "102\tAdd File\n");
  menu.only(LanguageItem::mnuEng);
  l::SatelliteLocalization loc = make();
  ASSERT_TRUE(loc.LoadLanguageResources());
  menu.only(LanguageItem::mnuFrench);
  EXPECT_FALSE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.CurrentProgID(), "Varnolt_409.clsResources");
  EXPECT_EQ(loc.LocalizedText(102), "Add File");
}

TEST_F(SatelliteLoad, EveryLoadReadsTheFileAnew) {
  writeSatellite(dir.path(), "40C", "119\tCompresser\n");
  menu.only(LanguageItem::mnuFrench);
  l::SatelliteLocalization loc = make();
  ASSERT_TRUE(loc.LoadLanguageResources());
  writeSatellite(dir.path(), "40C", "119\tCompression\n");
  EXPECT_EQ(loc.LocalizedText(119), "Compresser");
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(119), "Compression");
}

TEST_F(SatelliteLoad, UnknownIdReachesTheCaller) {
  writeSatellite(dir.path(), "409", "102\tAdd File\n");
  menu.only(LanguageItem::mnuEng);
  l::SatelliteLocalization loc = make();
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_THROW(loc.LocalizedText(109), l::TextNotFound);
}

TEST_F(SatelliteLoad, FoldersAreSearchedInOrderAndBrokenCopiesSkipped) {
  const t::fs::path first = dir / "first";
  const t::fs::path second = dir / "second";
  writeSatellite(second, "C0A", "149\tEspan~ol\n");
  menu.only(LanguageItem::mnuSpanish);
  l::SatelliteLocalization loc(&menu, {first, second}, environment({}));
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(149), "Espa\u00F1ol");

  writeSatellite(first, "C0A", "149\tCastellano\n");
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(149), "Castellano");

  writeSatellite(first, "C0A", "149 Castellano\n");  // no TAB: refused, the next folder answers
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(149), "Espa\u00F1ol");

  t::fs::remove(second / l::SatelliteProgID("C0A"));
  t::fs::create_directory(second / l::SatelliteProgID("C0A"));  // a folder is no satellite
  EXPECT_FALSE(loc.LoadLanguageResources());
  EXPECT_NE(loc.LastLoadError().find(":1:"), std::string::npos) << loc.LastLoadError();
  EXPECT_EQ(loc.LocalizedText(149), "Espa\u00F1ol");  // the earlier success stays
}

TEST(SatelliteFormat, TextsAreKeptExactly) {
  const l::SatelliteTexts texts = l::ParseSatelliteText(
      "\xEF\xBB\xBF# comment\r\n"
      "\n"
      "139\t File is already selected \r\n"
      "138\t\n"
      "200\ttwo\\nlines\\tand a \\\\ and\ta TAB\n"
      "201\t# not a comment, \"quoted\"",
      "test");
  EXPECT_EQ(texts.size(), 4u);
  EXPECT_EQ(texts.at(139), " File is already selected ");
  EXPECT_EQ(texts.at(138), "");
  EXPECT_EQ(texts.at(200), "two\nlines\tand a \\ and\ta TAB");
  EXPECT_EQ(texts.at(201), "# not a comment, \"quoted\"");
}

TEST(SatelliteFormat, BrokenFilesAreRefusedWithTheLine) {
  const std::pair<const char*, const char*> broken[] = {
      {"101\tok\n102 no tab\n", "test:2:"},
      {"x1\ttext\n", "test:1:"},
      {"-5\ttext\n", "test:1:"},
      {"99999999999\ttext\n", "test:1:"},
      {"101\ta\n101\tb\n", "test:2:"},
      {"101\tC:\\Mail\n", "test:1:"},
  };
  for (const auto& [content, where] : broken) {
    try {
      l::ParseSatelliteText(content, "test");
      ADD_FAILURE() << "accepted: " << content;
    } catch (const l::SatelliteError& error) {
      EXPECT_NE(std::string(error.what()).find(where), std::string::npos) << error.what();
    }
  }
}

TEST(SatelliteFormat, OnlyWellFormedUtf8) {
  EXPECT_TRUE(l::IsValidUtf8("Espa\u00F1ol \u20AC \U0001F4CE"));
  for (const char* bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC3", "\x80", "\xFF"}) {
    EXPECT_FALSE(l::IsValidUtf8(bad));
    EXPECT_THROW(l::ParseSatelliteText(std::string("101\t") + bad + "\n", "test"), l::SatelliteError);
  }
}

TEST(ShippedSatellites, EveryOneHoldsExactlyTheProgramsIds) {
  for (const char* code : kShippedCodes) {
    SCOPED_TRACE(code);
    const l::SatelliteTexts texts = l::ReadSatelliteFile(shippedSatellite(code));
    std::vector<std::int32_t> ids;
    for (const auto& [id, text] : texts) ids.push_back(id);
    EXPECT_EQ(ids, l::LocalizedTextIds());
  }
  EXPECT_EQ(l::LocalizedTextIds().size(), 66u);
}

TEST(ShippedSatellites, EnglishIsTheBuiltInEnglish) {
  for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite("409")))
    EXPECT_EQ(text, l::EnglishText(id).value_or("<none>")) << id;
  EXPECT_EQ(l::EnglishText(109), std::nullopt);
}

TEST(ShippedSatellites, TranslationsDifferFromEnglishButForNames) {
  // Product name, web address, copyright, "OK" and the empty end-of-run text
  // read the same in every language.
  const std::set<std::int32_t> same = {126, 129, 130, 131, 132, 138};
  for (const char* code : {"407", "40C", "C0A"}) {
    for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite(code))) {
      if (same.count(id) != 0 || (std::string(code) == "40C" && id == 144)) continue;  // "&Options"
      EXPECT_NE(text, l::EnglishText(id).value()) << code << " id " << id << " is not translated";
    }
  }
}

TEST(ShippedSatellites, AccentsUseThePairsWhereThePairsExist) {
  // German: ä and ö only as pairs, so that no pair is left over after the
  // post-processing (the texts hold no other double quotes); likewise for
  // Spanish with ñ, ó, á and the tilde and apostrophe.
  for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite("407"))) {
    EXPECT_EQ(text.find("\u00E4"), std::string::npos) << id;
    EXPECT_EQ(text.find("\u00F6"), std::string::npos) << id;
    EXPECT_EQ(l::ApplyCharacterPairs(text, true, false).find('"'), std::string::npos) << id;
  }
  for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite("C0A"))) {
    for (const char* letter : {"\u00F1", "\u00F3", "\u00E1"}) EXPECT_EQ(text.find(letter), std::string::npos) << id;
    const std::string shown = l::ApplyCharacterPairs(text, false, true);
    EXPECT_EQ(shown.find_first_of("~'"), std::string::npos) << id << ": " << shown;
  }
  // French and English are shown as written, so they must not rely on pairs.
  for (const char* code : {"409", "40C"})
    for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite(code)))
      for (const char* pair : {"a\"", "o\"", "n~", "o'", "a'"})
        EXPECT_EQ(text.find(pair), std::string::npos) << code << " id " << id;
  // The English satellite also stays intact when the Spanish item is checked
  // but the Spanish satellite failed to load.
  for (const auto& [id, text] : l::ReadSatelliteFile(shippedSatellite("409")))
    EXPECT_EQ(l::ApplyCharacterPairs(text, true, true), text) << id;
}

TEST(ShippedSatellites, BuildCopiesThemBesideThePrograms) {
  FakeMenu menu;
  menu.only(LanguageItem::mnuGerman);
  l::SatelliteLocalization loc(&menu);  // default folders: bin/lang first
  ASSERT_FALSE(l::DefaultSatelliteFolders().empty());
  EXPECT_EQ(t::fs::canonical(l::DefaultSatelliteFolders().front()), t::fs::canonical(t::binDir() / "lang"));
  ASSERT_TRUE(loc.LoadLanguageResources()) << loc.LastLoadError();
  EXPECT_EQ(loc.LocalizedText(147), "Franz\u00F6sisch");
  EXPECT_EQ(loc.LocalizedText(116), "Anh\u00E4nge entfernen");
  menu.only(LanguageItem::mnuSpanish);
  ASSERT_TRUE(loc.LoadLanguageResources());
  EXPECT_EQ(loc.LocalizedText(102), "A\u00F1adir archivo");
  EXPECT_EQ(loc.LocalizedText(148), "Alem\u00E1n");
}

TEST(ProgramLocalization, FreeFunctionsShareOneState) {
  // Nothing loaded yet in this process's program-wide object.
  EXPECT_EQ(l::LocalizedText(101), "Error : No Local Data");
  FakeMenu menu;
  menu.only(LanguageItem::mnuFrench);
  l::ProgramLocalization().SetMenuState(&menu);
  ASSERT_TRUE(l::LoadLanguageResources());
  EXPECT_EQ(l::LocalizedText(147), "Fran\u00E7ais");
  l::ProgramLocalization().SetMenuState(nullptr);
}
