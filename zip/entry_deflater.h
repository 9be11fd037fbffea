#pragma once
// The raw deflate data and CRC-32 of an entry's bytes, fed in pieces of
// any size: the data is the same as zlib's compress() gives for the whole
// (its default level, without the zlib header and Adler-32 trailer), how
// ever the bytes are cut. Deflate's state is made once per thread and
// reset for each entry, so a thread deflates one entry at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace varnolt::zip {

class EntryDeflater {
 public:
  // Takes what deflate produces, in order.
  using Output = std::function<void(const std::uint8_t* data, std::size_t size)>;

  // source names the bytes in errors (Compression from zlib, Limit past
  // what an archive without ZIP64 holds).
  EntryDeflater(std::string source, Output output);
  EntryDeflater(const EntryDeflater&) = delete;
  EntryDeflater& operator=(const EntryDeflater&) = delete;

  void add(const std::uint8_t* data, std::size_t size);
  // Ends the deflate data; nothing is added after.
  void finish();

  std::uint32_t crc32() const { return crc_; }
  std::uint64_t taken() const { return taken_; }
  std::uint64_t deflated() const { return deflated_; }

 private:
  void run(int flush);

  std::string source_;
  Output output_;
  std::uint32_t crc_;
  std::uint64_t taken_ = 0;
  std::uint64_t deflated_ = 0;
};

}  // namespace varnolt::zip
