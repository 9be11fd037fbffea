#include "mapi/pst/ndb/data_tree.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {
namespace {

// Adds the children of one XBLOCK (level 1) or XXBLOCK (level 2) and
// returns the size it states.
std::uint64_t readXBlock(const NodeDatabase& db, const BbtEntry& entry, int expectLevel, DataTree& tree) {
  const Layout& l = db.layout();
  Bytes data = db.readBlock(entry);
  auto fail = [&](const std::string& what) -> void {
    throw Error(ErrorKind::Corrupt, "data tree block " + hexText(bidKey(entry.bref.bid)) + " " + what,
                entry.bref.ib);
  };
  if (data.size() < l.xblockHeaderSize) fail("is too short");
  XBlockHeader h = XBlockHeader::parse(data);
  if (h.btype != kBlockTypeXBlock) fail("is not an XBLOCK");
  if (expectLevel >= 0 ? h.cLevel != expectLevel : (h.cLevel != 1 && h.cLevel != 2))
    fail("has the wrong level " + std::to_string(h.cLevel));
  if (l.xblockHeaderSize + std::size_t{h.cEnt} * l.idSize > data.size()) fail("lists more blocks than it holds");
  if (h.lcbTotal > db.maxStreamSize())
    throw Error(ErrorKind::Limit, "data tree block " + hexText(bidKey(entry.bref.bid)) + " claims " + std::to_string(h.lcbTotal) + " bytes, more than the file holds",
                entry.bref.ib);
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < h.cEnt; ++i) {
    BlockId child = readId(data, l.xblockHeaderSize + i * l.idSize, l);
    BbtEntry ce = db.block(child);
    if (h.cLevel == 1) {
      if (isInternalBid(child) || ce.cb == 0) fail("lists a block that is not a data block");
      tree.blocks.push_back(ce);
      sum += ce.cb;
    } else {
      if (!isInternalBid(child)) fail("lists a data block where an XBLOCK belongs");
      sum += readXBlock(db, ce, 1, tree);
    }
    // Stop a file that repeats its blocks before the list grows past reason.
    if (sum > h.lcbTotal) fail("holds more data than it states");
  }
  if (sum != h.lcbTotal) fail("holds " + std::to_string(sum) + " bytes but states " + std::to_string(h.lcbTotal));
  return sum;
}

}  // namespace

DataTree DataTree::read(const NodeDatabase& db, BlockId bid) {
  DataTree tree;
  if (bid == 0) return tree;
  BbtEntry entry = db.block(bid);
  if (!isInternalBid(bid)) {
    tree.blocks.push_back(entry);
    tree.size = entry.cb;
    return tree;
  }
  tree.size = readXBlock(db, entry, -1, tree);
  return tree;
}

}  // namespace varnolt::mapi::pst
