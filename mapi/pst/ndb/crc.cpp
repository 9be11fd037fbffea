#include "mapi/pst/ndb/crc.h"

#include <array>

namespace varnolt::mapi::pst {
namespace {

// Eight tables so the loop takes eight bytes a step; blocks are checked on
// every read, so this sits on the hot path.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

Tables makeTables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t i = 0; i < 256; ++i) {
    for (std::size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  }
  return t;
}

const Tables& tables() {
  static const Tables t = makeTables();
  return t;
}

}  // namespace

std::uint32_t computeCrc(ByteView data, std::uint32_t crc) {
  const Tables& t = tables();
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  while (n >= 8) {
    std::uint32_t lo = crc ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                              std::uint32_t{p[3]} << 24);
    std::uint32_t hi = std::uint32_t{p[4]} | std::uint32_t{p[5]} << 8 | std::uint32_t{p[6]} << 16 |
                       std::uint32_t{p[7]} << 24;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  return crc;
}

}  // namespace varnolt::mapi::pst
