#pragma once
// Helpers shared by the archive writer's tests: source files with chosen
// contents and time stamps, little-endian field access, and zlib run
// independently of the writer to check what it stored.

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>
#ifdef _WIN32
#include <sys/utime.h>
#endif

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace varnolt::test::zipfx {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes randomBytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes out(n);
  for (std::size_t i = 0; i < n; i += 8) {
    std::uint64_t v = rng();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) out[i + k] = static_cast<std::uint8_t>(v >> (8 * k));
  }
  return out;
}

// Text that deflates to a tiny fraction of its size.
inline Bytes compressibleBytes(std::size_t n) {
  const std::string line = "Quarterly report, line repeated for compression. ";
  Bytes out;
  out.reserve(n);
  while (out.size() < n) out.push_back(static_cast<std::uint8_t>(line[out.size() % line.size()]));
  return out;
}

// The POSIX time of a local wall-clock time.
inline std::time_t localTime(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

inline void setModified(const fs::path& p, std::time_t t) {
#ifdef _WIN32
  struct __utimbuf64 times {t, t};
  ASSERT_EQ(::_wutime64(p.c_str(), &times), 0) << p;
#else
  struct timespec times[2] = {{t, 0}, {t, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), times, 0), 0) << p;
#endif
}

inline std::uint16_t le16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
inline std::uint32_t le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(le16(b, at)) | (static_cast<std::uint32_t>(le16(b, at + 2)) << 16);
}

// Appends fields the way an archive lays them out.
struct Builder {
  Bytes bytes;
  Builder& u16(std::uint32_t v) {
    bytes.push_back(static_cast<std::uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    return *this;
  }
  Builder& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Builder& raw(const Bytes& b) {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
  }
  Builder& raw(const std::string& s) { return raw(bytesOf(s)); }
};

inline std::uint32_t crcOf(const Bytes& b) {
  return static_cast<std::uint32_t>(::crc32(0L, b.data(), static_cast<uInt>(b.size())));
}

// zlib compress at the default level, header and Adler-32 trailer dropped.
inline Bytes zlibDeflate(const Bytes& b) {
  uLongf n = ::compressBound(static_cast<uLong>(b.size()));
  Bytes z(n);
  static const Bytef nothing = 0;
  EXPECT_EQ(::compress(z.data(), &n, b.empty() ? &nothing : b.data(), static_cast<uLong>(b.size())), Z_OK);
  return Bytes(z.begin() + 2, z.begin() + static_cast<std::ptrdiff_t>(n) - 4);
}

// Inflates a raw deflate stream; fails the test when it is not one.
inline Bytes rawInflate(const Bytes& data, std::size_t expected) {
  z_stream s{};
  EXPECT_EQ(::inflateInit2(&s, -MAX_WBITS), Z_OK);
  Bytes out(expected + 1);
  Bytes in = data;
  s.next_in = in.data();
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = ::inflate(&s, Z_FINISH);
  EXPECT_EQ(rc, Z_STREAM_END) << "not a complete raw deflate stream";
  EXPECT_EQ(s.avail_in, 0u) << "bytes left after the deflate stream";
  out.resize(s.total_out);
  ::inflateEnd(&s);
  return out;
}

}  // namespace varnolt::test::zipfx
