#pragma once
// Bounds-checked little-endian access to a span of bytes. Every on-disk
// structure is decoded through this, so a bad length or offset in a file
// becomes an mapi::Error and never a read past the buffer.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "mapi/error.h"

namespace varnolt::mapi {

using Bytes = std::vector<std::uint8_t>;

class ByteView {
 public:
  ByteView() = default;
  ByteView(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  ByteView(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}  // NOLINT: implicit by design
  ByteView(std::span<const std::uint8_t> s) : data_(s.data()), size_(s.size()) {}  // NOLINT

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  bool fits(std::size_t offset, std::size_t length) const {
    return offset <= size_ && length <= size_ - offset;
  }
  void require(std::size_t offset, std::size_t length, const char* what) const {
    if (!fits(offset, length)) throwTruncated(std::string(what) + " runs past the end of its data");
  }

  std::uint8_t u8(std::size_t off) const {
    require(off, 1, "value");
    return data_[off];
  }
  std::uint16_t u16(std::size_t off) const { return load<std::uint16_t>(off); }
  std::uint32_t u32(std::size_t off) const { return load<std::uint32_t>(off); }
  std::uint64_t u64(std::size_t off) const { return load<std::uint64_t>(off); }

  ByteView sub(std::size_t offset, std::size_t length) const {
    require(offset, length, "range");
    return ByteView(data_ + offset, length);
  }
  ByteView from(std::size_t offset) const {
    require(offset, 0, "range");
    return ByteView(data_ + offset, size_ - offset);
  }
  Bytes copy() const { return Bytes(data_, data_ + size_); }
  Bytes copy(std::size_t offset, std::size_t length) const { return sub(offset, length).copy(); }

 private:
  template <typename T>
  T load(std::size_t off) const {
    require(off, sizeof(T), "value");
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | (static_cast<T>(data_[off + i]) << (8 * i)));
    return v;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// Appending little-endian values, for the writers.
inline void putU8(Bytes& b, std::uint8_t v) { b.push_back(v); }
inline void putU16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void putU32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void putU64(Bytes& b, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void putBytes(Bytes& b, ByteView v) { b.insert(b.end(), v.data(), v.data() + v.size()); }

// Overwriting little-endian values in place (for headers patched after the fact).
inline void setU16(Bytes& b, std::size_t off, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void setU32(Bytes& b, std::size_t off, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void setU64(Bytes& b, std::size_t off, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b.at(off + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace varnolt::mapi
