#pragma once
// The BTree-on-heap ([MS-PST] 2.3.2): sorted records of fixed-size keys
// and values kept in heap allocations. Property contexts use it for their
// properties, table contexts for their row index. Levels must fall by one
// at each step and no allocation is entered twice.

#include <functional>
#include <optional>

#include "mapi/pst/ltp/heap.h"

namespace varnolt::mapi::pst {

class BTreeOnHeap {
 public:
  // The tree whose BTHHEADER lies at `header`.
  BTreeOnHeap(const Heap& heap, Hid header);

  std::size_t keySize() const { return keySize_; }
  std::size_t valueSize() const { return valueSize_; }
  std::size_t levels() const { return levels_; }

  // Every record in key order; key and value are views into the heap.
  void forEach(const std::function<void(ByteView key, ByteView value)>& visit) const;
  // The value of the record whose key (little-endian, keySize bytes) is `key`.
  std::optional<ByteView> find(std::uint64_t key) const;
  std::size_t count() const;

 private:
  const Heap& heap_;
  std::size_t keySize_ = 0;
  std::size_t valueSize_ = 0;
  std::size_t levels_ = 0;
  Hid root_ = 0;
};

}  // namespace varnolt::mapi::pst
