#include "mapi/pst/ltp/bth.h"

#include <set>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/ltp/ltp_records.h"

namespace varnolt::mapi::pst {
namespace {

std::uint64_t readKey(ByteView v, std::size_t off, std::size_t size) {
  std::uint64_t k = 0;
  for (std::size_t i = 0; i < size && i < 8; ++i) k |= std::uint64_t{v.u8(off + i)} << (8 * i);
  return k;
}

}  // namespace

BTreeOnHeap::BTreeOnHeap(const Heap& heap, Hid header) : heap_(heap) {
  ByteView h = heap.item(header);
  auto fail = [&](const std::string& what) -> void {
    throw Error(ErrorKind::Corrupt, "the BTree-on-heap of node " + hexText(heap.node().id()) + " " + what);
  };
  if (h.size() < BthHeader::kSize) fail("has no header");
  BthHeader decoded = BthHeader::parse(h);
  if (decoded.bType != heap_client::BTreeOnHeap) fail("has a bad header signature");
  keySize_ = decoded.cbKey;
  valueSize_ = decoded.cbEnt;
  levels_ = decoded.bIdxLevels;
  root_ = decoded.hidRoot;
  if (keySize_ != 2 && keySize_ != 4 && keySize_ != 8 && keySize_ != 16) fail("has a bad key size");
  if (valueSize_ == 0 || valueSize_ > 32) fail("has a bad record size");
  if (levels_ > limits::kMaxBthLevels) fail("is deeper than any real file");
}

void BTreeOnHeap::forEach(const std::function<void(ByteView, ByteView)>& visit) const {
  if (root_ == 0) return;
  std::set<Hid> seen;
  std::function<void(Hid, std::size_t)> walk = [&](Hid hid, std::size_t level) {
    if (!seen.insert(hid).second)
      throw Error(ErrorKind::Corrupt,
                  "the BTree-on-heap of node " + hexText(heap_.node().id()) + " reaches a record twice (a loop)");
    ByteView records = heap_.item(hid);
    std::size_t recordSize = keySize_ + (level > 0 ? 4 : valueSize_);
    if (records.size() % recordSize != 0)
      throw Error(ErrorKind::Corrupt,
                  "the BTree-on-heap of node " + hexText(heap_.node().id()) + " has a partial record");
    for (std::size_t off = 0; off < records.size(); off += recordSize) {
      if (level > 0) {
        walk(records.u32(off + keySize_), level - 1);
      } else {
        visit(records.sub(off, keySize_), records.sub(off + keySize_, valueSize_));
      }
    }
  };
  walk(root_, levels_);
}

std::optional<ByteView> BTreeOnHeap::find(std::uint64_t key) const {
  if (root_ == 0) return std::nullopt;
  Hid hid = root_;
  for (std::size_t level = levels_;; --level) {
    ByteView records = heap_.item(hid);
    std::size_t recordSize = keySize_ + (level > 0 ? 4 : valueSize_);
    std::optional<Hid> next;
    for (std::size_t off = 0; off + recordSize <= records.size(); off += recordSize) {
      std::uint64_t k = readKey(records, off, keySize_);
      if (level == 0) {
        if (k == key) return records.sub(off + keySize_, valueSize_);
      } else {
        if (k > key) break;
        next = records.u32(off + keySize_);
      }
    }
    if (level == 0 || !next) return std::nullopt;
    hid = *next;
  }
}

std::size_t BTreeOnHeap::count() const {
  std::size_t n = 0;
  forEach([&](ByteView, ByteView) { ++n; });
  return n;
}

}  // namespace varnolt::mapi::pst
