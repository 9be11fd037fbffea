#pragma once
// The heap-on-node ([MS-PST] 2.3.1): a node's data blocks seen as pages of
// small allocations addressed by HIDs. Property contexts and table
// contexts keep their records here. Every page map is checked when the
// heap is read, so item() only hands out ranges inside their block.

#include <cstdint>
#include <vector>

#include "mapi/pst/ndb/node.h"

namespace varnolt::mapi::pst {

using Hid = std::uint32_t;

// Client signatures of the heap ([MS-PST] 2.3.1.2 bClientSig).
namespace heap_client {
inline constexpr std::uint8_t TableContext = 0x7C;
inline constexpr std::uint8_t BTreeOnHeap = 0xB5;
inline constexpr std::uint8_t PropertyContext = 0xBC;
}  // namespace heap_client

inline constexpr std::uint8_t kHeapSignature = 0xEC;

// A HID is an HNID whose NID type is 0 ([MS-PST] 2.3.1.1); anything else
// names a subnode.
constexpr bool isHid(std::uint32_t hnid) { return (hnid & 0x1F) == 0; }

// The fill level a heap block states for this many free bytes ([MS-PST]
// 2.3.1.2 rgbFillLevel): 0 for 3,584 bytes or more, 15 for fewer than 8.
std::uint8_t heapFillLevel(std::size_t freeBytes);

class Heap {
 public:
  explicit Heap(const Node& node);

  const Node& node() const { return node_; }
  std::uint8_t clientSignature() const { return clientSig_; }
  Hid userRoot() const { return userRoot_; }

  // The bytes of an allocation; an empty view for HID 0.
  ByteView item(Hid hid) const;
  // The total size of the heap's blocks (what reading it cost).
  std::uint64_t size() const { return size_; }

 private:
  struct Page {
    Bytes data;
    std::vector<std::uint16_t> offsets;  // rgibAlloc: item i spans offsets[i-1]..offsets[i]
  };

  Node node_;
  std::vector<Page> pages_;
  std::uint8_t clientSig_ = 0;
  Hid userRoot_ = 0;
  std::uint64_t size_ = 0;
};

}  // namespace varnolt::mapi::pst
