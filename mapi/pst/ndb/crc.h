#pragma once
// The CRC of headers, pages and blocks ([MS-PST] 5.3): CRC-32 with the
// reflected polynomial 0xEDB88320, started from the given value and
// without the final inversion zlib applies.

#include <cstdint>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

std::uint32_t computeCrc(ByteView data, std::uint32_t crc = 0);

}  // namespace varnolt::mapi::pst
