#include "zip/entry_deflater.h"

#include <zlib.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "zip/error.h"
#include "zip/records.h"

namespace varnolt::zip {
namespace {

// Pieces of what is fed to deflate and of what it hands back.
constexpr std::size_t kPiece = 256 * 1024;

// One deflate state per thread. Made anew for every entry, its quarter
// megabyte went back to the system and was faulted in again, page by
// page, for each attachment zipped.
struct Deflater {
  z_stream z{};
  bool ready = false;
  std::vector<std::uint8_t> out;
  ~Deflater() {
    if (ready) ::deflateEnd(&z);
  }
};

Deflater& threadDeflater() {
  thread_local Deflater deflater;
  return deflater;
}

Error compressionError(const std::string& source, int rc) {
  return Error(ErrorKind::Compression, "cannot compress " + source + ": zlib error " + std::to_string(rc));
}

}  // namespace

EntryDeflater::EntryDeflater(std::string source, Output output)
    : source_(std::move(source)), output_(std::move(output)), crc_(static_cast<std::uint32_t>(::crc32(0L, Z_NULL, 0))) {
  Deflater& d = threadDeflater();
  int rc = Z_OK;
  if (d.ready) {
    rc = ::deflateReset(&d.z);
  } else {
    // The parameters zlib's compress() uses, without its header and
    // trailer.
    rc = ::deflateInit2(&d.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    d.ready = rc == Z_OK;
    d.out.resize(kPiece);
  }
  if (rc != Z_OK) throw compressionError(source_, rc);
}

void EntryDeflater::run(int flush) {
  Deflater& d = threadDeflater();
  int rc = Z_OK;
  do {
    d.z.next_out = d.out.data();
    d.z.avail_out = static_cast<uInt>(d.out.size());
    rc = ::deflate(&d.z, flush);
    if (rc == Z_STREAM_ERROR) throw compressionError(source_, rc);
    const std::size_t produced = d.out.size() - d.z.avail_out;
    deflated_ += produced;
    if (deflated_ > kMax32)
      throw Error(ErrorKind::Limit, source_ + " compresses to 4 GiB or more, more than a ZIP archive without ZIP64 can hold");
    output_(d.out.data(), produced);
  } while (d.z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
}

void EntryDeflater::add(const std::uint8_t* data, std::size_t size) {
  Deflater& d = threadDeflater();
  while (size > 0) {
    const std::size_t piece = std::min(size, kPiece);
    taken_ += piece;
    if (taken_ > kMax32)
      throw Error(ErrorKind::Limit, source_ + " is 4 GiB or larger, more than a ZIP archive without ZIP64 can hold");
    crc_ = static_cast<std::uint32_t>(::crc32(crc_, data, static_cast<uInt>(piece)));
    d.z.next_in = const_cast<Bytef*>(data);
    d.z.avail_in = static_cast<uInt>(piece);
    run(Z_NO_FLUSH);
    data += piece;
    size -= piece;
  }
}

void EntryDeflater::finish() {
  Deflater& d = threadDeflater();
  d.z.next_in = nullptr;
  d.z.avail_in = 0;
  run(Z_FINISH);
}

}  // namespace varnolt::zip
