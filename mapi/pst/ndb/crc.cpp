#include "mapi/pst/ndb/crc.h"

#include <algorithm>

#if VARNOLT_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace varnolt::mapi::pst {

// Every block and page is checked when read and summed when written, so
// this runs over the whole source and the whole new file. zlib's and
// libdeflate's CRC-32 are the same polynomial but invert the value on the
// way in and out; inverting around them gives the plain sum the file
// keeps. libdeflate folds with carry-less multiplication where the CPU has
// it (several times the speed of table lookups); zlib is the fallback
// where it is not installed.
std::uint32_t computeCrc(ByteView data, std::uint32_t crc) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  crc = ~crc;
  while (n > 0) {
    // Both libraries take the length as 32 bits or less.
    const std::size_t step = std::min<std::size_t>(n, std::size_t{1} << 30);
#if VARNOLT_HAVE_LIBDEFLATE
    crc = libdeflate_crc32(crc, p, step);
#else
    crc = static_cast<std::uint32_t>(::crc32(crc, p, static_cast<uInt>(step)));
#endif
    p += step;
    n -= step;
  }
  return ~crc;
}

}  // namespace varnolt::mapi::pst
