#include "windows/texts.h"

namespace varnolt::windows {

std::optional<QString> TextById(localisation::SatelliteLocalization& texts, std::int32_t id) {
  try {
    return QString::fromStdString(texts.LocalizedText(id));
  } catch (const localisation::TextNotFound&) {
    return std::nullopt;
  }
}

QString TextOr(localisation::SatelliteLocalization& texts, std::int32_t id, const QString& english) {
  if (!texts.LoadLanguageResources()) return english;
  return TextById(texts, id).value_or(english);
}

}  // namespace varnolt::windows
