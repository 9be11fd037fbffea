#pragma once
// Building a heap-on-node ([MS-PST] 2.3.1) and the BTree-on-heap kept in
// it ([MS-PST] 2.3.2). Allocations go into blocks of at most one data
// block's size, each block with its page header and page map; the first
// block carries the heap header naming the client and its root.

#include <cstdint>
#include <vector>

#include "mapi/pst/ltp/heap.h"
#include "mapi/pst/ltp/ltp_records.h"
#include "mapi/pst/ndb/records.h"

namespace varnolt::mapi::pst {

// The largest heap allocation; larger values go to subnodes ([MS-PST] 2.3.3.3).
inline constexpr std::size_t kMaxHeapAllocation = 3580;

// What an LTP structure leaves for its node: the heap's blocks and the
// subnodes that hold values too large for the heap (already written).
struct LtpNode {
  std::vector<Bytes> blocks;
  std::vector<SlEntry> subnodes;
};

class HeapWriter {
 public:
  explicit HeapWriter(std::uint8_t clientSignature) : clientSig_(clientSignature) {}

  // A new allocation of at most kMaxHeapAllocation bytes.
  Hid allocate(ByteView data);
  // Fills an earlier allocation anew, with bytes of the same size.
  void fill(Hid hid, ByteView data);
  void setUserRoot(Hid hid) { userRoot_ = hid; }
  std::vector<Bytes> finish() const;

 private:
  struct Block {
    std::vector<Bytes> items;
    std::size_t bytes = 0;
  };
  static std::size_t sizeWith(std::size_t block, const Block& b, std::size_t extraBytes, std::size_t extraItems);

  std::uint8_t clientSig_;
  Hid userRoot_ = 0;
  std::vector<Block> blocks_;
};

// A BTree-on-heap over records (key then value, sorted by key, keys
// unique); returns the HID of its header. The header is allocated before
// the records: readers such as pst-extractor expect a structure's
// BTree-on-heap header to be the heap's first allocation, as Outlook
// writes it.
Hid writeBTreeOnHeap(HeapWriter& heap, std::size_t keySize, std::size_t valueSize, const std::vector<Bytes>& records,
                     Hid reservedHeader = 0);
// Takes the place of a BTree-on-heap header before anything else is
// allocated; pass it to writeBTreeOnHeap.
inline Hid reserveBTreeHeader(HeapWriter& heap) { return heap.allocate(Bytes(BthHeader::kSize, 0)); }

}  // namespace varnolt::mapi::pst
