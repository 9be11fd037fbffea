#pragma once
// A small cache of B-tree pages already read and checked, so the upper
// levels of both B-trees are read from the file once. Its size is fixed:
// the least recently used page makes room for a new one.

#include <cstdint>
#include <list>
#include <unordered_map>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

class PageCache {
 public:
  explicit PageCache(std::size_t capacity) : capacity_(capacity) {}

  // The page at this offset, or nullptr.
  const Bytes* find(std::uint64_t ib);
  const Bytes& insert(std::uint64_t ib, Bytes page);

 private:
  using Order = std::list<std::uint64_t>;
  struct Entry {
    Bytes page;
    Order::iterator pos;
  };
  std::size_t capacity_;
  Order order_;  // most recently used first
  std::unordered_map<std::uint64_t, Entry> pages_;
};

}  // namespace varnolt::mapi::pst
