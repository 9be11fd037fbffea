#pragma once
// Inputs shared by the RTF tests: the examples of the compressed-RTF
// format's own description, and RTF shaped like what Outlook writes.

#include <cstdint>
#include <random>
#include <string>

#include "mapi/util/byte_view.h"

namespace varnolt::test::rtf {

inline mapi::Bytes bytesOf(const std::string& s) { return mapi::Bytes(s.begin(), s.end()); }
inline std::string stringOf(const mapi::Bytes& b) { return std::string(b.begin(), b.end()); }

// Example 1: the dictionary supplies most of the header.
inline const std::string kExample1Raw = "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n";
inline const mapi::Bytes kExample1 = {
    0x2d, 0x00, 0x00, 0x00, 0x2b, 0x00, 0x00, 0x00, 0x4c, 0x5a, 0x46, 0x75, 0xf1, 0xc5, 0xc7, 0xa7, 0x03,
    0x00, 0x0a, 0x00, 0x72, 0x63, 0x70, 0x67, 0x31, 0x32, 0x35, 0x42, 0x32, 0x0a, 0xf3, 0x20, 0x68, 0x65,
    0x6c, 0x09, 0x00, 0x20, 0x62, 0x77, 0x05, 0xb0, 0x6c, 0x64, 0x7d, 0x0a, 0x80, 0x0f, 0xa0};

// Example 2: a reference that overlaps the bytes it writes.
inline const std::string kExample2Raw = "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}";
inline const mapi::Bytes kExample2 = {0x1a, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x4c, 0x5a,
                                      0x46, 0x75, 0xe2, 0xd4, 0x4b, 0x51, 0x41, 0x00, 0x04, 0x20,
                                      0x57, 0x58, 0x59, 0x5a, 0x0d, 0x6e, 0x7d, 0x01, 0x0e, 0xb0};

// RTF of the size and shape of a long mail body: repeated paragraphs with
// varying words, so that back-references cross the 4096-byte dictionary
// many times.
inline std::string longRtf(std::size_t paragraphs, unsigned seed = 7) {
  std::mt19937 rng(seed);
  static const char* const kWords[] = {"attachment", "quarterly", "report", "meeting", "Dienstag",
                                       "r\\'e9sum\\'e9", "\\u8364?", "{\\b bold}", "\\tab", "schedule"};
  std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}\r\n";
  for (std::size_t p = 0; p < paragraphs; ++p) {
    out += "\\pard\\plain\\f0\\fs20 ";
    int n = 5 + static_cast<int>(rng() % 20);
    for (int w = 0; w < n; ++w) {
      out += kWords[rng() % 10];
      out += ' ';
    }
    out += std::to_string(p) + "\\par\r\n";
  }
  out += "}";
  return out;
}

inline mapi::Bytes randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  mapi::Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

}  // namespace varnolt::test::rtf
