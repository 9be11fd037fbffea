#pragma once
// The windows' way of fetching texts: load the chosen language, and when
// that works take each text by id; a text the language lacks leaves the
// English one in place.

#include <cstdint>

#include <QString>

#include "localisation/satellite_localization.h"

namespace varnolt::windows {

// The localized text of id, or nothing when the language does not hold it.
std::optional<QString> TextById(localisation::SatelliteLocalization& texts, std::int32_t id);

// LoadLanguageResources, then the text of id; english when either fails.
QString TextOr(localisation::SatelliteLocalization& texts, std::int32_t id, const QString& english);

}  // namespace varnolt::windows
