// Blocks ([MS-PST] 2.2.2.8): each block's trailer (cb, signature, CRC, back
// pointer) and place in the file; then, from every node of the node
// B-tree, the data trees (XBLOCK, XXBLOCK) and subnode trees (SLBLOCK,
// SIBLOCK) they reference, counting the references each block gets to
// compare with its cRef.

#include <algorithm>
#include <functional>
#include <numeric>

#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/limits.h"

namespace varnolt::mapi::pst::check {
namespace {

class RefWalk {
 public:
  explicit RefWalk(Context& c) : c_(c), l_(c.layout()) {}

  // One reference to `bid` from `from` (a node, or another block).
  // `internal` says which kind of block the referrer expects.
  BlockInfo* reference(BlockId bid, bool internal, std::uint64_t at, const std::string& from) {
    BlockInfo* b = c_.findBlock(bid);
    if (!b) {
      c_.report(at, "block.missing", from, "references " + bidText(bid) + ", which the block B-tree does not list");
      return nullptr;
    }
    ++b->refs;
    if (isInternalBid(bid) != internal)
      c_.report(b->ib, "block.internal-bit", from + " " + bidText(bid),
                internal ? "an internal block (data tree or subnode tree) without the internal bit in its bid"
                         : "a data block with the internal bit set in its bid");
    return b;
  }

  // A node's data: one data block or an XBLOCK/XXBLOCK tree.
  void data(BlockId bid, std::uint64_t at, const std::string& from) {
    if (bid == 0) return;
    BlockInfo* b = reference(bid, isInternalBid(bid), at, from);
    if (b && isInternalBid(bid)) xblock(*b, -1, from);
  }

  void subnodes(BlockId bid, std::uint64_t at, const std::string& from, int depth) {
    if (bid == 0) return;
    BlockInfo* b = reference(bid, true, at, from);
    if (b) subnodeBlock(*b, -1, from, depth);
  }

 private:
  // Returns the size the tree below states (lcbTotal), 0 when unknown.
  std::uint64_t xblock(BlockInfo& b, int expectLevel, const std::string& from) {
    if (b.walked || !b.readable) return 0;
    b.walked = true;
    std::string where = from + " " + bidText(b.bid);
    auto fail = [&](const char* rule, const std::string& msg) { c_.report(b.ib, rule, where, msg); };
    auto data = c_.blockData(b);
    if (!data || data->size() < l_.xblockHeaderSize) {
      fail("xblock.size", "data tree block is too short for its header");
      return 0;
    }
    XBlockHeader h = XBlockHeader::parse(*data);
    if (h.btype != kBlockTypeXBlock) {
      fail("xblock.type", "internal block referenced as data has btype " + hexText(h.btype) + ", not 0x01");
      return 0;
    }
    if ((expectLevel >= 0 && h.cLevel != expectLevel) || h.cLevel < 1 || h.cLevel > 2) {
      fail("xblock.level", "cLevel " + std::to_string(h.cLevel) + " where " +
                               (expectLevel >= 0 ? std::to_string(expectLevel) : std::string("1 or 2")) + " belongs");
      return 0;
    }
    if (h.cEnt == 0) fail("xblock.count", "XBLOCK lists no blocks");
    if (l_.xblockHeaderSize + std::size_t{h.cEnt} * l_.idSize != data->size()) {
      fail("xblock.count", "cEnt " + std::to_string(h.cEnt) + " does not match the block's " +
                               std::to_string(data->size()) + " bytes");
      if (l_.xblockHeaderSize + std::size_t{h.cEnt} * l_.idSize > data->size()) return 0;
    }
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < h.cEnt; ++i) {
      BlockId child = readId(*data, l_.xblockHeaderSize + i * l_.idSize, l_);
      BlockInfo* cb = reference(child, h.cLevel == 2, b.ib, where);
      if (!cb) continue;
      if (h.cLevel == 1) {
        sum += cb->cb;
        // Offsets into a node's data are found by dividing by the block
        // size, so every data block but the last is full.
        if (i + 1 < h.cEnt && cb->cb != l_.maxBlockData)
          fail("xblock.partial", "data block " + hexText(child) + " holds " + std::to_string(cb->cb) + " bytes; every block but the last holds " + std::to_string(l_.maxBlockData));
      } else {
        sum += xblock(*cb, 1, where);
      }
    }
    if (sum != h.lcbTotal)
      fail("xblock.total", "lcbTotal is " + std::to_string(h.lcbTotal) + " but the blocks below hold " + std::to_string(sum));
    return h.lcbTotal;
  }

  // Returns the first NID the block lists (for the SIENTRY check).
  std::optional<NodeId> subnodeBlock(BlockInfo& b, int expectLevel, const std::string& from, int depth) {
    if (b.walked || !b.readable) return std::nullopt;
    b.walked = true;
    std::string where = from + " " + bidText(b.bid);
    if (depth > static_cast<int>(limits::kMaxEmbeddingDepth)) {
      c_.report(b.ib, "subnode.depth", where, "subnode trees nest deeper than any real file");
      return std::nullopt;
    }
    auto data = c_.blockData(b);
    if (!data || data->size() < l_.slHeaderSize) {
      c_.report(b.ib, "subnode.size", where, "subnode block is too short for its header");
      return std::nullopt;
    }
    auto h = subnodeHeader(b, *data, expectLevel, where);
    if (!h) return std::nullopt;
    const std::size_t entrySize = h->cLevel == 0 ? l_.slEntrySize : l_.siEntrySize;
    std::optional<NodeId> firstNid;
    std::optional<NodeId> prev;
    for (std::size_t i = 0; i < h->cEnt; ++i) {
      std::size_t off = l_.slHeaderSize + i * entrySize;
      NodeId nid = ByteView(*data).u32(off);
      if (!firstNid) firstNid = nid;
      // In Unicode files the NID is widened to 64 bits; Outlook leaves
      // the upper half as it finds it, so only the lower half counts.
      if (prev && nid <= *prev) c_.report(b.ib, "subnode.order", where, "subnode " + hexText(nid) + " does not follow " + hexText(*prev));
      prev = nid;
      if (h->cLevel == 0) {
        subnodeLeafEntry(b, SlEntry::parse(*data, off, l_), where, depth);
      } else {
        subnodeIndexEntry(b, SiEntry::parse(*data, off, l_), where, depth);
      }
    }
    return firstNid;
  }

  // The header of a subnode block, checked; nullopt when its entries
  // cannot be read.
  std::optional<SubnodeBlockHeader> subnodeHeader(const BlockInfo& b, const Bytes& data, int expectLevel,
                                                  const std::string& where) {
    auto fail = [&](const char* rule, const std::string& msg) { c_.report(b.ib, rule, where, msg); };
    SubnodeBlockHeader h = SubnodeBlockHeader::parse(data);
    if (h.btype != kBlockTypeSubnode) {
      fail("subnode.type", "block referenced as a subnode tree has btype " + hexText(h.btype) + ", not 0x02");
      return std::nullopt;
    }
    if ((expectLevel >= 0 && h.cLevel != expectLevel) || h.cLevel > 1) {
      fail("subnode.level", "cLevel " + std::to_string(h.cLevel) + " where " +
                                (expectLevel >= 0 ? std::to_string(expectLevel) : std::string("0 or 1")) + " belongs");
      return std::nullopt;
    }
    if (l_.kind == FileLayout::Unicode && ByteView(data).u32(4) != 0) fail("subnode.padding", "dwPadding is not zero");
    std::size_t entrySize = h.cLevel == 0 ? l_.slEntrySize : l_.siEntrySize;
    if (h.cEnt == 0) fail("subnode.count", "subnode block lists no entries");
    if (l_.slHeaderSize + std::size_t{h.cEnt} * entrySize != data.size()) {
      fail("subnode.count", "cEnt " + std::to_string(h.cEnt) + " does not match the block's " + std::to_string(data.size()) + " bytes");
      if (l_.slHeaderSize + std::size_t{h.cEnt} * entrySize > data.size()) return std::nullopt;
    }
    return h;
  }

  // An SLENTRY: the subnode's data block and its own subnode tree.
  void subnodeLeafEntry(const BlockInfo& b, const SlEntry& e, const std::string& where, int depth) {
    std::string sub = where + " subnode " + hexText(e.nid);
    checkSubnodeCounter(c_, e.nid, b.ib, sub);
    if (e.bidData == 0) {
      c_.report(b.ib, "subnode.no-data", where, "subnode " + hexText(e.nid) + " has no data block");
    } else {
      BlockInfo* d = reference(e.bidData, isInternalBid(e.bidData), b.ib, sub);
      if (d && isInternalBid(e.bidData)) xblock(*d, -1, sub);
    }
    if (e.bidSub != 0) {
      BlockInfo* s = reference(e.bidSub, true, b.ib, sub);
      if (s) subnodeBlock(*s, -1, sub, depth + 1);
    }
  }

  // An SIENTRY: the SLBLOCK below it, whose first NID must be its key.
  void subnodeIndexEntry(const BlockInfo& b, const SiEntry& e, const std::string& where, int depth) {
    BlockInfo* child = reference(e.bid, true, b.ib, where);
    if (!child) return;
    auto childFirst = subnodeBlock(*child, 0, where, depth);
    if (childFirst && *childFirst != e.nid)
      c_.report(b.ib, "subnode.first-key", where,
                "SIENTRY key " + hexText(e.nid) + " is not the first NID " + hexText(*childFirst) + " of its SLBLOCK");
  }

  Context& c_;
  const Layout& l_;
};

}  // namespace

void checkBlocks(Context& c) {
  const Layout& l = c.layout();
  // In file order, so the reads run forward through the file.
  std::vector<std::size_t> order(c.blocks.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return c.blocks[a].ib < c.blocks[b].ib; });
  BlockId maxBid = 0;
  for (std::size_t i : order) {
    BlockInfo& b = c.blocks[i];
    std::string where = bidText(b.bid);
    auto fail = [&](const char* rule, const std::string& msg) { c.report(b.ib, rule, where, msg); };
    maxBid = std::max(maxBid, bidKey(b.bid));
    if (bidKey(b.bid) == 0) fail("block.bid", "a block with bid 0");
    if (b.cb > l.maxBlockData) {
      fail("block.size", "cb " + std::to_string(b.cb) + " is more than a block holds (" + std::to_string(l.maxBlockData) + ")");
      continue;
    }
    std::size_t disk = blockDiskSize(b.cb, l);
    if (b.ib < kFirstAMapOffset || b.ib >= c.fileSize() || disk > c.fileSize() - b.ib) {
      fail("block.outside", "the block's " + std::to_string(disk) + " bytes at " + hexText(b.ib) + " lie outside the file's data");
      continue;
    }
    c.extents.push_back({b.ib, disk, b.bid, ExtentKind::Block});
    if (b.ib % l.blockAlign != 0) fail("block.align", "block does not start on a 64-byte boundary");
    auto raw = c.read(b.ib, disk);
    BlockTrailer t = BlockTrailer::parse(*raw, disk - l.blockTrailerSize, l);
    bool ok = true;
    if (t.cb != b.cb) {
      fail("block.cb", "trailer cb " + std::to_string(t.cb) + " disagrees with the block B-tree's " + std::to_string(b.cb));
      ok = false;
    }
    if (bidKey(t.bid) != bidKey(b.bid)) {
      fail("block.bid", "trailer names bid " + hexText(t.bid) + "; this is not the block the block B-tree points to");
      ok = false;
    }
    std::uint16_t sig = computeSignature(b.ib, t.bid);
    if (t.wSig != sig) fail("block.sig", "wSig is " + hexText(t.wSig) + " where " + hexText(sig) + " belongs");
    std::uint32_t crc = computeCrc(ByteView(raw->data(), b.cb));
    if (crc != t.dwCrc) {
      fail("block.crc", "block CRC is " + hexText(t.dwCrc) + " but the data gives " + hexText(crc));
      ok = false;
    }
    b.readable = ok;
  }
  if (maxBid >= bidKey(c.header().bidNextB) && !c.blocks.empty())
    c.report(HeaderOffsets::of(c.header().layout).bidNextB, "header.bid-next-b", "",
             "bidNextB " + hexText(c.header().bidNextB) + " is not above block " + hexText(maxBid));
}

void checkNodes(Context& c) {
  RefWalk walk(c);
  for (const NodeInfo& n : c.nodes) {
    std::string where = nidText(n.nid);
    std::uint8_t type = nidType(n.nid);
    if (type == nid_type::Hid) c.report(n.pageIb, "node.type", where, "a node of the node B-tree with the heap NID type");
    // Outlook leaves rgnid at the index it gave last, not the next one.
    if (nidIndex(n.nid) > c.header().rgnid[type] && type != nid_type::Internal)
      c.report(n.pageIb, "header.rgnid", where,
               "rgnid[" + hexText(type) + "] is " + hexText(c.header().rgnid[type]) + ", below this node's index " + hexText(nidIndex(n.nid)));
    // Empty queues and lists have no data block at all.
    walk.data(n.bidData, n.pageIb, where);
    walk.subnodes(n.bidSub, n.pageIb, where, 0);
    if (n.parent != 0 && !c.findNode(n.parent))
      c.report(n.pageIb, "node.parent", where, "its parent " + hexText(n.parent) + " is not in the node B-tree");
  }

  if (!c.nbtComplete || !c.bbtComplete) {
    c.notChecked("block reference counts (a B-tree could not be read whole)");
    return;
  }
  // Every block Outlook writes counts one reference more than the nodes
  // and blocks that point to it hold: the block B-tree's own. A block with
  // one reference too few is freed while still in use when Outlook drops
  // the last-but-one; one too many is never freed. An orphan nothing
  // references keeps 1.
  for (const BlockInfo& b : c.blocks) {
    if (b.cRef != b.refs + 1u)
      c.report(b.ib, "block.refcount", bidText(b.bid),
               "cRef is " + std::to_string(b.cRef) + "; the block has " + std::to_string(b.refs) +
                   " references from nodes and blocks, so its count is " + std::to_string(b.refs + 1u) +
                   " with the block B-tree's own");
  }
}

std::optional<std::vector<const BlockInfo*>> dataBlocksOf(Context& c, BlockId bid) {
  std::vector<const BlockInfo*> out;
  if (bid == 0) return out;
  const Layout& l = c.layout();
  std::function<bool(BlockId, int)> add = [&](BlockId id, int level) -> bool {
    BlockInfo* b = c.findBlock(id);
    if (!b || !b->readable) return false;
    if (!isInternalBid(id)) {
      if (level > 0) return false;
      out.push_back(b);
      return true;
    }
    if (level == 0) return false;
    auto data = c.blockData(*b);
    if (!data || data->size() < l.xblockHeaderSize) return false;
    XBlockHeader h = XBlockHeader::parse(*data);
    if (h.btype != kBlockTypeXBlock || h.cLevel < 1 || h.cLevel > 2 || (level > 0 && h.cLevel != level)) return false;
    if (l.xblockHeaderSize + std::size_t{h.cEnt} * l.idSize > data->size()) return false;
    for (std::size_t i = 0; i < h.cEnt; ++i) {
      if (!add(readId(*data, l.xblockHeaderSize + i * l.idSize, l), h.cLevel - 1)) return false;
    }
    return true;
  };
  if (!add(bid, -1)) return std::nullopt;
  return out;
}

std::optional<std::vector<SlEntry>> subnodesOf(Context& c, BlockId bidSub) {
  std::vector<SlEntry> out;
  if (bidSub == 0) return out;
  const Layout& l = c.layout();
  std::function<bool(BlockId, int)> add = [&](BlockId id, int level) -> bool {
    BlockInfo* b = c.findBlock(id);
    if (!b || !b->readable || !isInternalBid(id)) return false;
    auto data = c.blockData(*b);
    if (!data || data->size() < l.slHeaderSize) return false;
    SubnodeBlockHeader h = SubnodeBlockHeader::parse(*data);
    if (h.btype != kBlockTypeSubnode || h.cLevel > 1 || (level >= 0 && h.cLevel != level)) return false;
    std::size_t entrySize = h.cLevel == 0 ? l.slEntrySize : l.siEntrySize;
    if (l.slHeaderSize + std::size_t{h.cEnt} * entrySize > data->size()) return false;
    for (std::size_t i = 0; i < h.cEnt; ++i) {
      std::size_t off = l.slHeaderSize + i * entrySize;
      if (h.cLevel == 0) {
        out.push_back(SlEntry::parse(*data, off, l));
      } else if (!add(SiEntry::parse(*data, off, l).bid, 0)) {
        return false;
      }
    }
    return true;
  };
  if (!add(bidSub, -1)) return std::nullopt;
  std::sort(out.begin(), out.end(), [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
  return out;
}

}  // namespace varnolt::mapi::pst::check
