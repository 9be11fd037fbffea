#include "mapi/pst/ndb/page_cache.h"

namespace varnolt::mapi::pst {

const Bytes* PageCache::find(std::uint64_t ib) {
  auto it = pages_.find(ib);
  if (it == pages_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second.pos);
  return &it->second.page;
}

const Bytes& PageCache::insert(std::uint64_t ib, Bytes page) {
  if (auto it = pages_.find(ib); it != pages_.end()) {
    it->second.page = std::move(page);
    order_.splice(order_.begin(), order_, it->second.pos);
    return it->second.page;
  }
  while (!order_.empty() && pages_.size() >= capacity_) {
    pages_.erase(order_.back());
    order_.pop_back();
  }
  order_.push_front(ib);
  auto& e = pages_[ib];
  e.page = std::move(page);
  e.pos = order_.begin();
  return e.page;
}

}  // namespace varnolt::mapi::pst
