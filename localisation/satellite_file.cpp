#include "localisation/satellite_file.h"

#include <fstream>
#include <limits>

namespace varnolt::localisation {

namespace {

// Four languages of fifty short texts need a few kilobytes; anything far
// larger is not a satellite, and we will not read it whole.
constexpr std::uintmax_t kMaxSatelliteBytes = 1024 * 1024;

[[noreturn]] void refuse(const std::string& source, std::size_t line, const std::string& why) {
  throw SatelliteError(source + ":" + std::to_string(line) + ": " + why);
}

std::int32_t parseId(const std::string& digits, const std::string& source, std::size_t line) {
  if (digits.empty() || digits.size() > 10) refuse(source, line, "expected a text id before the TAB");
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') refuse(source, line, "text id \"" + digits + "\" is not a decimal number");
    value = value * 10 + (c - '0');
  }
  if (value > std::numeric_limits<std::int32_t>::max())
    refuse(source, line, "text id " + digits + " is too large");
  return static_cast<std::int32_t>(value);
}

std::string unescape(const std::string& raw, const std::string& source, std::size_t line) {
  std::string text;
  text.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\\') {
      text += raw[i];
      continue;
    }
    const char next = i + 1 < raw.size() ? raw[i + 1] : '\0';
    switch (next) {
      case 'n': text += '\n'; break;
      case 't': text += '\t'; break;
      case '\\': text += '\\'; break;
      default: refuse(source, line, "unknown escape after a backslash (use \\\\ for a backslash)");
    }
    ++i;
  }
  return text;
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80U) {
      ++i;
      continue;
    }
    if ((lead & 0xE0U) == 0xC0U) {
      length = 2;
      code = lead & 0x1FU;
    } else if ((lead & 0xF0U) == 0xE0U) {
      length = 3;
      code = lead & 0x0FU;
    } else if ((lead & 0xF8U) == 0xF0U) {
      length = 4;
      code = lead & 0x07U;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto byte = static_cast<unsigned char>(text[i + k]);
      if ((byte & 0xC0U) != 0x80U) return false;
      code = (code << 6) | (byte & 0x3FU);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFFU || (code >= 0xD800U && code <= 0xDFFFU))
      return false;
    i += length;
  }
  return true;
}

SatelliteTexts ParseSatelliteText(const std::string& content, const std::string& source) {
  if (!IsValidUtf8(content)) throw SatelliteError(source + ": not valid UTF-8");
  std::size_t start = content.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  SatelliteTexts texts;
  std::size_t lineNumber = 0;
  while (start < content.size()) {
    ++lineNumber;
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) refuse(source, lineNumber, "expected an id, a TAB and the text");
    const std::int32_t id = parseId(line.substr(0, tab), source, lineNumber);
    if (!texts.emplace(id, unescape(line.substr(tab + 1), source, lineNumber)).second)
      refuse(source, lineNumber, "text id " + std::to_string(id) + " is given twice");
  }
  return texts;
}

SatelliteTexts ReadSatelliteFile(const std::filesystem::path& path) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) throw SatelliteError(path.string() + ": " + ec.message());
  if (size > kMaxSatelliteBytes) throw SatelliteError(path.string() + ": too large for a satellite");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SatelliteError(path.string() + ": cannot be opened");
  std::string content(static_cast<std::size_t>(size), '\0');
  in.read(content.data(), static_cast<std::streamsize>(size));
  if (in.bad()) throw SatelliteError(path.string() + ": read error");
  content.resize(static_cast<std::size_t>(in.gcount()));
  return ParseSatelliteText(content, path.string());
}

}  // namespace varnolt::localisation
