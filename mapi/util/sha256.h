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
  void block(const std::uint8_t* p);
  std::array<std::uint32_t, 8> h_;
  std::array<std::uint8_t, 64> buf_{};
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
};

std::string sha256Hex(const void* data, std::size_t size);

}  // namespace varnolt::mapi
