#include "mapi/pst/ndb/subnode_tree.h"

#include <functional>
#include <set>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"

namespace varnolt::mapi::pst {

SubnodeTree SubnodeTree::read(const NodeDatabase& db, BlockId bidSub) {
  SubnodeTree tree;
  if (bidSub == 0) return tree;
  const Layout& l = db.layout();
  std::set<BlockId> seen;
  std::function<void(BlockId, int)> walk = [&](BlockId bid, int level) {
    auto fail = [&](const std::string& what) -> void {
      throw Error(ErrorKind::Corrupt, "subnode block " + hexText(bidKey(bid)) + " " + what);
    };
    if (!isInternalBid(bid)) fail("is marked as a data block");
    if (!seen.insert(bidKey(bid)).second) fail("is reached twice");
    Bytes data = db.readBlock(bid);
    if (data.size() < l.slHeaderSize) fail("is too short");
    SubnodeBlockHeader h = SubnodeBlockHeader::parse(data);
    if (h.btype != kBlockTypeSubnode) fail("is not a subnode block");
    if (level >= 0 ? h.cLevel != level : h.cLevel >= limits::kMaxSubnodeLevels)
      fail("has the wrong level " + std::to_string(h.cLevel));
    std::size_t entrySize = h.cLevel == 0 ? l.slEntrySize : l.siEntrySize;
    if (l.slHeaderSize + std::size_t{h.cEnt} * entrySize > data.size()) fail("lists more entries than it holds");
    for (std::size_t i = 0; i < h.cEnt; ++i) {
      std::size_t off = l.slHeaderSize + i * entrySize;
      if (h.cLevel == 0) {
        SlEntry e = SlEntry::parse(data, off, l);
        tree.entries_[e.nid] = e;
      } else {
        walk(SiEntry::parse(data, off, l).bid, h.cLevel - 1);
      }
    }
  };
  walk(bidSub, -1);
  return tree;
}

const SlEntry* SubnodeTree::find(NodeId nid) const {
  auto it = entries_.find(nid);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace varnolt::mapi::pst
