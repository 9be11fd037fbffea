#pragma once
// SHA-256, for the digests that `inspect` prints and the tests compare.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace varnolt::mapi {

class Sha256 {
 public:
  Sha256();
  void update(const void* data, std::size_t size);
  std::array<std::uint8_t, 32> finish();
  std::string finishHex();

 private:
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buf_{};
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
};

std::string sha256Hex(const void* data, std::size_t size);

namespace detail {
// Whether the processor has the SHA extensions the compression uses when allowed.
bool sha256Hardware();
// Compresses whole 64-byte blocks into the eight state words, with the
// SHA extensions when the processor has them and allowHardware is true.
void sha256Blocks(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks, bool allowHardware = true);
}  // namespace detail

}  // namespace varnolt::mapi
