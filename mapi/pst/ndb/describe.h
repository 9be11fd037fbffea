#pragma once
// Wording shared by the reader's error messages, so every message names
// ids and offsets the same way.

#include <cstdint>
#include <cstdio>
#include <string>

namespace varnolt::mapi::pst {

inline std::string hexText(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace varnolt::mapi::pst
