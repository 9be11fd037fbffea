#include "mapi/pst/ndb/node_database.h"

#include <algorithm>

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/crypt.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/ndb/node.h"

namespace varnolt::mapi::pst {

NodeDatabase::NodeDatabase(std::shared_ptr<const ByteSource> source, bool verifyCrc)
    : source_(std::move(source)),
      header_(Header::read(*source_, verifyCrc)),
      layout_(&header_.sizes()),
      cache_(limits::kPageCacheEntries),
      verifyCrc_(verifyCrc) {
  nbt_ = std::make_unique<BTree>(*source_, *layout_, cache_, BTree::Kind::Nodes, header_.nbtRoot, verifyCrc);
  bbt_ = std::make_unique<BTree>(*source_, *layout_, cache_, BTree::Kind::Blocks, header_.bbtRoot, verifyCrc);
  // A file whose tree roots cannot be read is no use at all; say so now.
  auto checkRoot = [&](const BTree& tree, const char* what) {
    const Bref& r = tree.root();
    if (r.ib >= fileSize() || fileSize() - r.ib < layout_->pageSize) {
      if (header_.ibFileEof > fileSize())
        throw Error(ErrorKind::Truncated, "the file is truncated: it has " + std::to_string(fileSize()) +
                                              " bytes, its header says " + std::to_string(header_.ibFileEof));
      throw Error(ErrorKind::Corrupt, std::string("the root of the ") + what + " lies outside the file",
                  r.ib);
    }
    tree.readPage(r, -1);
  };
  checkRoot(*nbt_, "node B-tree");
  checkRoot(*bbt_, "block B-tree");
}

std::optional<NbtEntry> NodeDatabase::findNode(NodeId nid) const { return nbt_->findNode(nid); }

Node NodeDatabase::node(NodeId nid) const {
  auto e = findNode(nid);
  if (!e) throw Error(ErrorKind::NotFound, "node " + hexText(nid) + " is not in the node B-tree");
  return Node(*this, e->nid, e->bidData, e->bidSub, e->nidParent);
}

std::optional<BbtEntry> NodeDatabase::findBlock(BlockId bid) const { return bbt_->findBlock(bid); }

BbtEntry NodeDatabase::block(BlockId bid) const {
  auto e = findBlock(bid);
  if (!e) throw Error(ErrorKind::Corrupt, "block " + hexText(bid) + " is not in the block B-tree");
  return *e;
}

Bytes NodeDatabase::readBlock(BlockId bid) const { return readBlock(block(bid)); }

Bytes NodeDatabase::readBlock(const BbtEntry& entry) const {
  const Layout& l = *layout_;
  const std::uint64_t ib = entry.bref.ib;
  const BlockId bid = entry.bref.bid;
  auto fail = [&](ErrorKind kind, const std::string& what) {
    throw Error(kind, "block " + hexText(bidKey(bid)) + " " + what, ib);
  };
  if (entry.cb > l.maxBlockData) fail(ErrorKind::Corrupt, "claims " + std::to_string(entry.cb) + " bytes of data");
  std::size_t disk = blockDiskSize(entry.cb, l);
  Bytes raw(disk);
  source_->readAt(ib, raw.data(), disk);
  BlockTrailer t = BlockTrailer::parse(raw, disk - l.blockTrailerSize, l);
  if (t.cb != entry.cb) fail(ErrorKind::Corrupt, "has a trailer that disagrees with the block B-tree about its size");
  if (bidKey(t.bid) != bidKey(bid)) fail(ErrorKind::Corrupt, "is not the block the block B-tree points to");
  if (t.wSig != computeSignature(ib, t.bid)) fail(ErrorKind::Checksum, "has a bad signature");
  if (verifyCrc_ && computeCrc(ByteView(raw.data(), entry.cb)) != t.dwCrc) fail(ErrorKind::Checksum, "has a bad checksum");
  raw.resize(entry.cb);
  decodeBlock(header_.crypt, bid, raw.data(), raw.size());
  return raw;
}

std::uint64_t NodeDatabase::maxStreamSize() const { return std::min(limits::kMaxStreamSize, fileSize()); }

}  // namespace varnolt::mapi::pst
