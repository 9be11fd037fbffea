#pragma once
// A satellite: the texts of one language, read from a UTF-8 text file named
// after its ProgID ("Varnolt_407.clsResources").
//
// File format, one text per line:
//
//   # a comment line (also: empty lines are skipped)
//   101<TAB>Zu komprimierende Outlook-PST-Datei(en) auswa"hlen:
//
// The id is written in decimal, followed by one TAB; everything after the
// TAB up to the end of the line is the text, kept exactly, blanks at either
// end included (an empty text is allowed). In the text "\n" stands for a line
// break, "\t" for a TAB and "\\" for a backslash; any other backslash
// sequence is an error. A leading UTF-8 byte-order mark and CR LF line ends
// are accepted. A file that breaks these rules, is not valid UTF-8 or gives
// an id twice is refused as a whole.

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

namespace varnolt::localisation {

// A satellite file could not be read or is not in the format above.
class SatelliteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The texts of one satellite by id.
using SatelliteTexts = std::map<std::int32_t, std::string>;

// Reads and checks a whole satellite file; throws SatelliteError.
SatelliteTexts ReadSatelliteFile(const std::filesystem::path& path);

// Parses satellite text already in memory; source names it in errors.
SatelliteTexts ParseSatelliteText(const std::string& content, const std::string& source);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(const std::string& text);

}  // namespace varnolt::localisation
