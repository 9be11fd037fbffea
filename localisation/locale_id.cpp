#include "localisation/locale_id.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

namespace varnolt::localisation {

namespace {

struct LocaleEntry {
  std::string_view name;  // "language_TERRITORY", or "language" for its main territory
  std::uint32_t lcid;
};

// Windows locale ids of the locales Linux systems commonly run with.
// Spanish (Spain) is the modern-sort id 0x0C0A, as Windows picks it.
constexpr LocaleEntry kLocales[] = {
    {"ar", 0x0401},    {"ar_SA", 0x0401}, {"ar_EG", 0x0C01}, {"bg", 0x0402},    {"bg_BG", 0x0402},
    {"ca", 0x0403},    {"ca_ES", 0x0403}, {"cs", 0x0405},    {"cs_CZ", 0x0405}, {"da", 0x0406},
    {"da_DK", 0x0406}, {"de", 0x0407},    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07},
    {"de_LU", 0x1007}, {"de_LI", 0x1407}, {"el", 0x0408},    {"el_GR", 0x0408}, {"en", 0x0409},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009}, {"en_SG", 0x4809}, {"es", 0x0C0A},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_GT", 0x100A}, {"es_CR", 0x140A}, {"es_PA", 0x180A},
    {"es_DO", 0x1C0A}, {"es_VE", 0x200A}, {"es_CO", 0x240A}, {"es_PE", 0x280A}, {"es_AR", 0x2C0A},
    {"es_EC", 0x300A}, {"es_CL", 0x340A}, {"es_UY", 0x380A}, {"es_PY", 0x3C0A}, {"es_BO", 0x400A},
    {"es_US", 0x540A}, {"et", 0x0425},    {"et_EE", 0x0425}, {"eu", 0x042D},    {"eu_ES", 0x042D},
    {"fi", 0x040B},    {"fi_FI", 0x040B}, {"fr", 0x040C},    {"fr_FR", 0x040C}, {"fr_BE", 0x080C},
    {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_LU", 0x140C}, {"gl", 0x0456},    {"gl_ES", 0x0456},
    {"he", 0x040D},    {"he_IL", 0x040D}, {"hi", 0x0439},    {"hi_IN", 0x0439}, {"hr", 0x041A},
    {"hr_HR", 0x041A}, {"hu", 0x040E},    {"hu_HU", 0x040E}, {"id", 0x0421},    {"id_ID", 0x0421},
    {"is", 0x040F},    {"is_IS", 0x040F}, {"it", 0x0410},    {"it_IT", 0x0410}, {"it_CH", 0x0810},
    {"ja", 0x0411},    {"ja_JP", 0x0411}, {"ko", 0x0412},    {"ko_KR", 0x0412}, {"lt", 0x0427},
    {"lt_LT", 0x0427}, {"lv", 0x0426},    {"lv_LV", 0x0426}, {"nb", 0x0414},    {"nb_NO", 0x0414},
    {"nl", 0x0413},    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"nn", 0x0814},    {"nn_NO", 0x0814},
    {"no", 0x0414},    {"no_NO", 0x0414}, {"pl", 0x0415},    {"pl_PL", 0x0415}, {"pt", 0x0816},
    {"pt_PT", 0x0816}, {"pt_BR", 0x0416}, {"ro", 0x0418},    {"ro_RO", 0x0418}, {"ru", 0x0419},
    {"ru_RU", 0x0419}, {"sk", 0x041B},    {"sk_SK", 0x041B}, {"sl", 0x0424},    {"sl_SI", 0x0424},
    {"sr", 0x241A},    {"sr_RS", 0x241A}, {"sv", 0x041D},    {"sv_SE", 0x041D}, {"sv_FI", 0x081D},
    {"th", 0x041E},    {"th_TH", 0x041E}, {"tr", 0x041F},    {"tr_TR", 0x041F}, {"uk", 0x0422},
    {"uk_UA", 0x0422}, {"vi", 0x042A},    {"vi_VN", 0x042A}, {"zh", 0x0804},    {"zh_CN", 0x0804},
    {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004},
};

std::optional<std::uint32_t> lookUp(std::string_view name) {
  for (const LocaleEntry& entry : kLocales)
    if (entry.name == name) return entry.lcid;
  return std::nullopt;
}

}  // namespace

EnvironmentLookup SystemEnvironment() {
  return [](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
}

std::string MessagesLocale(const EnvironmentLookup& environment) {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::optional<std::string> value = environment(name);
    if (value && !value->empty()) return *value;
  }
  return std::string();
}

std::uint32_t LocaleIdFromPosix(const std::string& locale) {
  // language[_territory][.codeset][@modifier]
  const std::string base = locale.substr(0, locale.find_first_of(".@"));
  const std::size_t underscore = base.find('_');
  std::string language = base.substr(0, underscore);
  std::string territory = underscore == std::string::npos ? std::string() : base.substr(underscore + 1);
  std::transform(language.begin(), language.end(), language.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::transform(territory.begin(), territory.end(), territory.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (language.empty() || language == "c" || language == "posix") return kEnglishUnitedStates;
  if (!territory.empty())
    if (auto lcid = lookUp(language + "_" + territory)) return *lcid;
  if (auto lcid = lookUp(language)) return *lcid;
  return kEnglishUnitedStates;
}

std::uint32_t UserDefaultLCID(const EnvironmentLookup& environment) {
  return LocaleIdFromPosix(MessagesLocale(environment));
}

std::string LanguageCode(std::uint32_t lcid) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (lcid == 0) return "0";
  std::string code;
  for (; lcid != 0; lcid >>= 4) code.insert(code.begin(), kDigits[lcid & 0xFU]);
  return code;
}

}  // namespace varnolt::localisation
