// What Outlook reads to place new things when it edits a file: the
// header's NID counters ([MS-PST] 2.2.2.6 rgnid), from which it takes the
// id of every new node and subnode, and the fill levels of heap blocks
// ([MS-PST] 2.3.1.2, 2.3.1.6), by which it picks the block for a new
// allocation. A counter behind an id in use makes Outlook hand that id out
// again (two subnodes of one node with one NID); a wrong fill level sends
// new allocations to blocks without room, or leaves room unused.

#include <set>

#include "mapi/pst/check/context.h"
#include "mapi/pst/heap.h"

namespace varnolt::mapi::pst::check {
namespace {

constexpr std::size_t kFirstHeaderSize = 12;        // HNHDR
constexpr std::size_t kFirstHeaderLevels = 8;       // rgbFillLevel of HNHDR: blocks 0-7
constexpr std::size_t kBitmapBlockPeriod = 128;     // HNBITMAPHDR on blocks 8, 136, 264, ...
constexpr std::size_t kFirstBitmapBlock = 8;

// The level the heap states for block `block`, from the header that
// covers it.
std::uint8_t statedLevel(const std::vector<Bytes>& data, std::size_t block) {
  std::size_t holder = 0, first = 0, at = kFirstHeaderSize - 4;
  if (block >= kFirstHeaderLevels) {
    holder = kFirstBitmapBlock + (block - kFirstBitmapBlock) / kBitmapBlockPeriod * kBitmapBlockPeriod;
    first = holder;
    at = 2;
  }
  std::size_t k = block - first;
  std::uint8_t pair = ByteView(data[holder]).u8(at + k / 2);
  return static_cast<std::uint8_t>(k % 2 == 0 ? pair & 0x0F : pair >> 4);
}

class CounterCheck {
 public:
  explicit CounterCheck(Context& c) : c_(c) {}

  void id(NodeId nid, std::uint64_t at, const std::string& where) {
    std::uint8_t type = nidType(nid);
    std::uint32_t counter = c_.header().rgnid[type];
    if (nidIndex(nid) <= counter) return;
    c_.report(at, "nid.counter", where,
              "index " + hexText(nidIndex(nid)) + " is above the header's counter for NID type " + hexText(type) +
                  " (" + hexText(counter) + "), so Outlook would hand it out again");
  }

  // Every subnode below a node, however deep. A subnode tree shared by
  // several nodes is looked at once.
  void subnodes(BlockId bidSub, const std::string& owner) {
    std::vector<std::pair<BlockId, std::string>> todo{{bidSub, owner}};
    while (!todo.empty()) {
      auto [bid, where] = std::move(todo.back());
      todo.pop_back();
      if (bid == 0 || !seen_.insert(bidKey(bid)).second) continue;
      const BlockInfo* top = c_.findBlock(bid);
      auto entries = subnodesOf(c_, bid);
      if (!top || !entries) continue;  // the block checks say why
      for (const SlEntry& e : *entries) {
        std::string here = where + " subnode " + hexText(e.nid);
        id(e.nid, top->ib, here);
        todo.emplace_back(e.bidSub, here);
      }
    }
  }

 private:
  Context& c_;
  std::set<BlockId> seen_;
};

}  // namespace

void checkNidCounters(Context& c) {
  if (!c.cryptKnown) return;
  CounterCheck check(c);
  for (const NodeInfo& n : c.nodes) check.id(n.nid, n.pageIb, nidText(n.nid));
  for (const NodeInfo& n : c.nodes) check.subnodes(n.bidSub, nidText(n.nid));
  if (c.budgetSpent()) c.notChecked("some subnode ids against the header's counters (the read budget was spent)");
}

void checkHeapFillLevels(Context& c, const std::vector<const BlockInfo*>& blocks, const std::vector<Bytes>& data,
                         const std::string& where) {
  const std::size_t full = c.layout().maxBlockData;
  for (std::size_t i = 0; i < data.size(); ++i) {
    ByteView v(data[i]);
    std::size_t ibHnpm = v.u16(0);
    std::size_t cAlloc = v.u16(ibHnpm);
    std::size_t allocationsEnd = v.u16(ibHnpm + 4 + 2 * cAlloc);
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
