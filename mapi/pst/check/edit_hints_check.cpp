// What Outlook reads to place new things when it edits a file: the
// header's NID counters ([MS-PST] 2.2.2.6 rgnid), from which it takes the
// id of every new node and subnode, and the fill levels of heap blocks
// ([MS-PST] 2.3.1.2, 2.3.1.6), by which it picks the block for a new
// allocation. A counter behind an id in use lets Outlook hand that id out
// again (two subnodes of one node with one NID); a wrong fill level
// misleads its choice of block.

#include "mapi/pst/check/context.h"
#include "mapi/pst/ltp/heap.h"
#include "mapi/pst/ltp/ltp_records.h"

namespace varnolt::mapi::pst::check {
namespace {

constexpr std::size_t kFirstHeaderLevels = 8;    // blocks 0-7
constexpr std::size_t kFirstBitmapBlock = 8;     // HNBITMAPHDR on blocks 8, 136, 264, ...
constexpr std::size_t kBitmapBlockPeriod = 128;

// The level the heap states for block `block`, from the header that
// covers it: HNHDR's for blocks 0-7, else the HNBITMAPHDR of its group.
std::uint8_t statedLevel(const std::vector<Bytes>& data, std::size_t block) {
  if (block < kFirstHeaderLevels) return fillLevelAt(HeapHeader::parse(data[0]).rgbFillLevel.data(), block);
  std::size_t holder = kFirstBitmapBlock + (block - kFirstBitmapBlock) / kBitmapBlockPeriod * kBitmapBlockPeriod;
  return fillLevelAt(HeapBitmapHeader::parse(data[holder]).rgbFillLevel.data(), block - holder);
}

}  // namespace

void checkSubnodeCounter(Context& c, NodeId nid, std::uint64_t at, const std::string& where) {
  // As for the nodes of the node B-tree: internal ids are fixed, not counted.
  std::uint8_t type = nidType(nid);
  if (type == nid_type::Internal || nidIndex(nid) <= c.header().rgnid[type]) return;
  c.report(at, "header.rgnid", where,
           "rgnid[" + hexText(type) + "] is " + hexText(c.header().rgnid[type]) + ", below this subnode's index " +
               hexText(nidIndex(nid)) + ", so Outlook would give a new subnode the same id");
}

void checkHeapFillLevels(Context& c, const std::vector<const BlockInfo*>& blocks, const std::vector<Bytes>& data,
                         const std::string& where) {
  const std::size_t full = c.layout().maxBlockData;
  for (std::size_t i = 0; i < data.size(); ++i) {
    ByteView v(data[i]);
    std::size_t ibHnpm = HeapPageHeader::parse(v).ibHnpm;
    std::size_t allocationsEnd = HeapPageMap::parse(v, ibHnpm).rgibAlloc.back();
    // A block may grow to a full data block; what neither its header, its
    // allocations nor its page map take is free.
    std::size_t free = full - std::min(full, v.size()) + (ibHnpm - allocationsEnd);
    std::uint8_t level = heapFillLevel(free);
    std::uint8_t stated = statedLevel(data, i);
    if (stated == level) continue;
    // Outlook itself leaves level 0 on some heaps of one block (a contents
    // table of 2,434 free bytes in seventy-two-messages.pst); with a single
    // block the level has no other block to choose between, so 0 is
    // accepted there.
    if (data.size() == 1 && stated == 0) continue;
    c.report(blocks[i]->ib, "heap.fill-level", where,
             "heap block " + std::to_string(i) + " has " + std::to_string(free) + " bytes free (fill level " +
                 std::to_string(level) + ") but the heap states level " + std::to_string(stated));
  }
}

}  // namespace varnolt::mapi::pst::check
