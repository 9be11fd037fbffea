#include "zip/zip_reader.h"

#include <zlib.h>

#include <fstream>
#include <iterator>

#include "zip/error.h"

namespace varnolt::zip {

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void bad(const std::filesystem::path& archive, const std::string& why) {
  throw Error(ErrorKind::InvalidArgument, archive.string() + ": " + why);
}

std::uint32_t le(const Bytes& b, std::size_t at, int width) {
  std::uint32_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
  return v;
}

Bytes inflateRaw(const std::uint8_t* data, std::size_t size, std::size_t expected,
                 const std::filesystem::path& archive) {
  Bytes out(expected);
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) bad(archive, "cannot start inflating");
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  // zlib refuses a null output pointer even with no room asked for: an
  // empty entry still needs somewhere to point.
  std::uint8_t none = 0;
  z.next_out = out.empty() ? &none : out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&z, Z_FINISH);
  const std::size_t produced = out.size() - z.avail_out;
  inflateEnd(&z);
  if (rc != Z_STREAM_END || produced != expected) bad(archive, "the entry's compressed data is damaged");
  return out;
}

}  // namespace

Bytes ReadEntry(const std::filesystem::path& archive, const std::string& entryName, std::uint64_t maxSize) {
  std::ifstream in(archive, std::ios::binary);
  if (!in) throw Error(ErrorKind::Io, archive.string() + ": cannot open the archive");
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw Error(ErrorKind::Io, archive.string() + ": cannot read the archive");

  // The end record, searched from the back past a comment of up to 64 KiB.
  constexpr std::size_t kEndSize = 22;
  if (file.size() < kEndSize) bad(archive, "too short to be an archive");
  std::size_t end = file.size() - kEndSize + 1;
  bool found = false;
  while (end-- > 0 && file.size() - end <= kEndSize + 0xFFFF) {
    if (le(file, end, 4) == 0x06054B50) {
      found = true;
      break;
    }
  }
  if (!found) bad(archive, "no end of central directory");
  const std::uint32_t entries = le(file, end + 10, 2);
  const std::uint64_t dirSize = le(file, end + 12, 4);
  const std::uint64_t dirOffset = le(file, end + 16, 4);
  if (dirOffset + dirSize > end) bad(archive, "the central directory lies outside the archive");

  std::size_t at = static_cast<std::size_t>(dirOffset);
  for (std::uint32_t n = 0; n < entries; ++n) {
    if (at + 46 > end || le(file, at, 4) != 0x02014B50) bad(archive, "damaged central directory");
    const std::uint32_t method = le(file, at + 10, 2);
    const std::uint32_t crc = le(file, at + 16, 4);
    const std::uint64_t packed = le(file, at + 20, 4);
    const std::uint64_t size = le(file, at + 24, 4);
    const std::size_t nameLength = le(file, at + 28, 2);
    const std::size_t extraLength = le(file, at + 30, 2);
    const std::size_t commentLength = le(file, at + 32, 2);
    const std::uint64_t local = le(file, at + 42, 4);
    if (at + 46 + nameLength > end) bad(archive, "damaged central directory");
    const std::string name(file.begin() + static_cast<std::ptrdiff_t>(at + 46),
                           file.begin() + static_cast<std::ptrdiff_t>(at + 46 + nameLength));
    at += 46 + nameLength + extraLength + commentLength;
    if (entries != 1 && name != entryName) continue;

    if (size > maxSize) bad(archive, "the entry is larger than allowed");
    if (local + 30 > dirOffset || le(file, static_cast<std::size_t>(local), 4) != 0x04034B50)
      bad(archive, "damaged local entry");
    const std::uint64_t data = local + 30 + le(file, static_cast<std::size_t>(local + 26), 2) +
                               le(file, static_cast<std::size_t>(local + 28), 2);
    if (data + packed > dirOffset) bad(archive, "the entry's data lies outside the archive");
    const std::uint8_t* p = file.data() + data;
    Bytes content;
    if (method == 0) {
      if (packed != size) bad(archive, "a stored entry whose sizes disagree");
      content.assign(p, p + packed);
    } else if (method == 8) {
      content = inflateRaw(p, static_cast<std::size_t>(packed), static_cast<std::size_t>(size), archive);
    } else {
      bad(archive, "the entry uses compression method " + std::to_string(method));
    }
    uLong check = ::crc32(0L, Z_NULL, 0);
    if (!content.empty()) check = ::crc32(check, content.data(), static_cast<uInt>(content.size()));
    if (check != crc) bad(archive, "the entry's CRC-32 does not match its content");
    return content;
  }
  bad(archive, "no entry named " + entryName);
}

}  // namespace varnolt::zip
