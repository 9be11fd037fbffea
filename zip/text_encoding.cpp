#include "zip/text_encoding.h"

#include <array>
#include <cstdint>

namespace varnolt::zip {
namespace {

// Unicode code points of Windows-1252 bytes 0x80-0x9F; 0 marks the five
// bytes the code page leaves undefined. Every other byte equals its code
// point.
constexpr std::array<char32_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88-8F
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98-9F
};

std::optional<std::uint8_t> windows1252Byte(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<std::uint8_t>(cp);
  for (std::size_t i = 0; i < kHighControls.size(); ++i)
    if (kHighControls[i] != 0 && kHighControls[i] == cp) return static_cast<std::uint8_t>(0x80 + i);
  return std::nullopt;
}

// Decodes the code point at text[pos] and advances pos; nothing when the
// bytes there are not well-formed UTF-8.
std::optional<char32_t> nextCodePoint(std::string_view text, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(pos);
  std::size_t length;
  char32_t cp;
  char32_t minimum;
  if (lead < 0x80) {
    ++pos;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1Fu, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0Fu, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07u, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    std::uint8_t b = byte(pos + i);
    if ((b & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  pos += length;
  return cp;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();)
    if (!nextCodePoint(text, pos)) return false;
  return true;
}

std::optional<std::string> toWindows1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    auto cp = nextCodePoint(utf8, pos);
    if (!cp) return std::nullopt;
    auto b = windows1252Byte(*cp);
    if (!b) return std::nullopt;
    out.push_back(static_cast<char>(*b));
  }
  return out;
}

EncodedEntryText encodeEntryText(std::string_view name, std::string_view comment) {
  auto name1252 = toWindows1252(name);
  auto comment1252 = toWindows1252(comment);
  if (name1252 && comment1252) return {std::move(*name1252), std::move(*comment1252), false};
  bool utf8 = isValidUtf8(name) && isValidUtf8(comment);
  return {std::string(name), std::string(comment), utf8};
}

std::string encodeArchiveComment(std::string_view comment) {
  auto comment1252 = toWindows1252(comment);
  return comment1252 ? std::move(*comment1252) : std::string(comment);
}

}  // namespace varnolt::zip
