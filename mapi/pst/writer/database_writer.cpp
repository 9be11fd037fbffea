#include "mapi/pst/writer/database_writer.h"

#include <algorithm>

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/crypt.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {
namespace {

// Entries of one XBLOCK, SLBLOCK or SIBLOCK in a full block.
std::size_t xblockCapacity(const Layout& l) { return (l.maxBlockData - l.xblockHeaderSize) / l.idSize; }
std::size_t slCapacity(const Layout& l) { return (l.maxBlockData - l.slHeaderSize) / l.slEntrySize; }
std::size_t siCapacity(const Layout& l) { return (l.maxBlockData - l.slHeaderSize) / l.siEntrySize; }

// Outlook counts the B-tree's own reference: a block used once has cRef 2.
constexpr std::uint16_t kSingleUse = 2;

}  // namespace

NodeDatabaseWriter::NodeDatabaseWriter(const std::filesystem::path& destination, CryptMethod crypt)
    : file_(destination), layout_(Layout::unicode()), crypt_(crypt) {
  // Starting points of the NID counters, as Outlook sets them in a new file.
  rgnid_.fill(0x400);
  rgnid_[nid_type::SearchFolder] = 0x4000;
  rgnid_[nid_type::NormalMessage] = 0x10000;
  rgnid_[nid_type::AssocMessage] = 0x8000;
}

NodeId NodeDatabaseWriter::allocateNid(std::uint8_t type) {
  std::uint32_t& next = rgnid_.at(type);
  if (next >= (1u << 27) - 1) throw Error(ErrorKind::Limit, "the file has run out of node ids of type " + std::to_string(type));
  return makeNid(type, ++next);
}

BlockId NodeDatabaseWriter::writeBlock(ByteView data, bool internal) {
  if (data.size() > layout_.maxBlockData) throw Error(ErrorKind::InvalidArgument, "a block larger than the format allows");
  BlockId bid = nextBid_ | (internal ? 2 : 0);
  nextBid_ += 4;
  std::size_t disk = blockDiskSize(data.size(), layout_);
  std::uint64_t ib = space_.allocate(disk, layout_.blockAlign);
  if (ib >= (std::uint64_t{1} << 48))
    throw Error(ErrorKind::Limit, "the new PST file would grow past 256 TiB");

  Bytes out;
  out.reserve(disk);
  putBytes(out, data);
  if (!internal && crypt_ != CryptMethod::None) encodeBlock(crypt_, bid, out.data(), out.size());
  BlockTrailer t;
  t.cb = static_cast<std::uint16_t>(data.size());
  t.wSig = computeSignature(ib, bid);
  t.dwCrc = computeCrc(ByteView(out.data(), out.size()));
  t.bid = bid;
  out.resize(disk - layout_.blockTrailerSize, 0);
  t.write(out, layout_);
  file_.writeAt(ib, out);
  written_ += disk;

  BlockRecord r{};
  r.ib = ib & ((std::uint64_t{1} << 48) - 1);
  r.cb = t.cb & 0x3FFFu;  // at most maxBlockData
  r.internal = internal ? 1 : 0;
  r.live = 1;
  blocks_.push_back(r);
  if (collector_) collector_->push_back(bid);
  return bid;
}

BlockId NodeDatabaseWriter::writeData(ByteView data) {
  if (data.empty()) return 0;
  if (data.size() > 0xFFFFFFFFull)
    throw Error(ErrorKind::Limit, "a value of " + std::to_string(data.size()) +
                                      " bytes is larger than a PST file can hold in one value (4 GiB)");
  if (data.size() <= layout_.maxBlockData) return writeBlock(data, false);
  // Big values go through without a copy of the whole: one block at a time.
  std::vector<BlockId> bids;
  for (std::size_t off = 0; off < data.size(); off += layout_.maxBlockData) {
    std::size_t n = std::min(layout_.maxBlockData, data.size() - off);
    bids.push_back(writeBlock(data.sub(off, n), false));
  }
  return writeTreeOver(bids, data.size());
}

BlockId NodeDatabaseWriter::writeData(const ValueSource& source) {
  const std::uint64_t size = source.size();
  if (size > 0xFFFFFFFFull)
    throw Error(ErrorKind::Limit, "a value of " + std::to_string(size) +
                                      " bytes is larger than a PST file can hold in one value (4 GiB)");
  // Cut where the whole would be cut, so the blocks and the tree over them
  // are those of the same bytes written whole.
  std::vector<BlockId> bids;
  Bytes block;
  block.reserve(layout_.maxBlockData);
  std::uint64_t seen = 0;
  source.read([&](ByteView piece) {
    if (piece.size() > size - seen) throw Error(ErrorKind::Corrupt, "a value holds more bytes than it states");
    while (!piece.empty()) {
      const std::size_t n = std::min(layout_.maxBlockData - block.size(), piece.size());
      block.insert(block.end(), piece.data(), piece.data() + n);
      piece = piece.sub(n, piece.size() - n);
      seen += n;
      // A full block is written once more bytes follow it; the last one
      // is written below, whatever its size.
      if (block.size() == layout_.maxBlockData && seen < size) {
        bids.push_back(writeBlock(block, false));
        block.clear();
      }
    }
  });
  if (seen != size) throw Error(ErrorKind::Corrupt, "a value holds fewer bytes than it states");
  if (size == 0) return 0;
  const BlockId last = writeBlock(block, false);
  if (bids.empty()) return last;
  bids.push_back(last);
  return writeTreeOver(bids, size);
}

BlockId NodeDatabaseWriter::writeTreeOver(const std::vector<BlockId>& bids, std::uint64_t size) {
  // XBLOCKs over the data blocks, and an XXBLOCK over those if one is not
  // enough ([MS-PST] 2.2.2.8.3.2). Every block but the last is full.
  std::size_t cap = xblockCapacity(layout_);
  std::vector<std::pair<BlockId, std::uint64_t>> level;  // (bid, bytes under it)
  for (std::size_t i = 0; i < bids.size(); i += cap) {
    std::size_t n = std::min(cap, bids.size() - i);
    std::uint64_t total = 0;
    Bytes x;
    XBlockHeader h;
    h.cLevel = 1;
    h.cEnt = static_cast<std::uint16_t>(n);
    for (std::size_t k = 0; k < n; ++k) {
      std::uint64_t off = (i + k) * layout_.maxBlockData;
      total += std::min<std::uint64_t>(layout_.maxBlockData, size - off);
    }
    h.lcbTotal = static_cast<std::uint32_t>(total);
    h.write(x);
    for (std::size_t k = 0; k < n; ++k) putId(x, bids[i + k], layout_);
    level.emplace_back(writeBlock(x, true), total);
  }
  if (level.size() == 1) return level[0].first;
  if (level.size() > cap) throw Error(ErrorKind::Limit, "a value too large for an XXBLOCK");
  Bytes xx;
  XBlockHeader h;
  h.cLevel = 2;
  h.cEnt = static_cast<std::uint16_t>(level.size());
  h.lcbTotal = static_cast<std::uint32_t>(size);
  h.write(xx);
  for (const auto& [bid, total] : level) putId(xx, bid, layout_);
  return writeBlock(xx, true);
}

BlockId NodeDatabaseWriter::writeDataBlocks(const std::vector<Bytes>& blocks) {
  if (blocks.empty()) return 0;
  if (blocks.size() == 1) return writeBlock(blocks[0], false);
  std::size_t cap = xblockCapacity(layout_);
  std::vector<std::pair<BlockId, std::uint64_t>> level;
  for (std::size_t i = 0; i < blocks.size(); i += cap) {
    std::size_t n = std::min(cap, blocks.size() - i);
    std::vector<BlockId> bids;
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < n; ++k) {
      bids.push_back(writeBlock(blocks[i + k], false));
      total += blocks[i + k].size();
    }
    Bytes x;
    XBlockHeader h;
    h.cLevel = 1;
    h.cEnt = static_cast<std::uint16_t>(n);
    h.lcbTotal = static_cast<std::uint32_t>(total);
    h.write(x);
    for (BlockId b : bids) putId(x, b, layout_);
    level.emplace_back(writeBlock(x, true), total);
  }
  if (level.size() == 1) return level[0].first;
  if (level.size() > cap) throw Error(ErrorKind::Limit, "a node too large for an XXBLOCK");
  Bytes xx;
  XBlockHeader h;
  h.cLevel = 2;
  h.cEnt = static_cast<std::uint16_t>(level.size());
  std::uint64_t total = 0;
  for (const auto& e : level) total += e.second;
  if (total > 0xFFFFFFFFull) throw Error(ErrorKind::Limit, "a node larger than 4 GiB");
  h.lcbTotal = static_cast<std::uint32_t>(total);
  h.write(xx);
  for (const auto& e : level) putId(xx, e.first, layout_);
  return writeBlock(xx, true);
}

BlockId NodeDatabaseWriter::writeSubnodes(std::vector<SlEntry> entries) {
  if (entries.empty()) return 0;
  std::sort(entries.begin(), entries.end(), [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (entries[i].nid == entries[i - 1].nid)
      throw Error(ErrorKind::InvalidArgument, "two subnodes with the id " + hexText(entries[i].nid));
  }
  std::size_t cap = slCapacity(layout_);
  std::vector<SiEntry> leaves;
  for (std::size_t i = 0; i < entries.size(); i += cap) {
    std::size_t n = std::min(cap, entries.size() - i);
    Bytes b;
    SubnodeBlockHeader h;
    h.cLevel = 0;
    h.cEnt = static_cast<std::uint16_t>(n);
    h.write(b, layout_);
    for (std::size_t k = 0; k < n; ++k) entries[i + k].write(b, layout_);
    leaves.push_back({entries[i].nid, writeBlock(b, true)});
  }
  if (leaves.size() == 1) return leaves[0].bid;
  if (leaves.size() > siCapacity(layout_)) throw Error(ErrorKind::Limit, "too many subnodes in one node");
  Bytes b;
  SubnodeBlockHeader h;
  h.cLevel = 1;
  h.cEnt = static_cast<std::uint16_t>(leaves.size());
  h.write(b, layout_);
  for (const SiEntry& e : leaves) e.write(b, layout_);
  return writeBlock(b, true);
}

void NodeDatabaseWriter::setNode(const NbtEntry& entry) { nodes_[entry.nid] = entry; }

void NodeDatabaseWriter::removeNode(NodeId nid) { nodes_.erase(nid); }

NodeDatabaseWriter::BlockRecord* NodeDatabaseWriter::findRecord(BlockId bid) {
  static_assert(sizeof(BlockRecord) == 8);
  const std::uint64_t place = bid >> 2;
  if (place == 0 || place > blocks_.size()) return nullptr;
  BlockRecord& r = blocks_[static_cast<std::size_t>(place - 1)];
  return bidOf(static_cast<std::size_t>(place - 1), r) == bid ? &r : nullptr;
}

void NodeDatabaseWriter::releaseBlock(BlockId bid) {
  BlockRecord* r = findRecord(bid);
  if (!r || !r->live) return;
  r->live = false;
  space_.release(r->ib, blockDiskSize(r->cb, layout_));
}

Bref NodeDatabaseWriter::writeBTree(std::uint8_t ptype, std::size_t count, std::size_t leafEntrySize,
                                    const std::function<std::uint64_t(Bytes&)>& nextLeaf) {
  // Pages are filled completely, bottom up; the tree is as shallow as the
  // entries allow ([MS-PST] 2.2.2.7.7). The leaves are encoded straight
  // into their pages: a file of many messages has millions of them, and
  // only the levels above (one entry per page below) are kept.
  struct Level {
    std::vector<std::uint64_t> keys;
    std::vector<Bytes> entries;
  };
  // fill(first, n, page) appends n entries from the first to page and
  // answers the key of the first.
  auto writeLevel = [&](std::size_t entries, std::size_t entrySize, std::uint8_t cLevel, auto&& fill) {
    std::size_t cap = layout_.btEntriesSize / entrySize;
    Level up;
    Bytes page;
    for (std::size_t i = 0; i == 0 || i < entries; i += cap) {
      std::size_t n = std::min(cap, entries - i);
      page.clear();
      page.reserve(layout_.pageSize);
      const std::uint64_t firstKey = fill(i, n, page);
      page.resize(layout_.pageSize, 0);
      BtPageMeta meta{n, cap, entrySize, cLevel};
      meta.write(page, layout_);
      BlockId bid = nextPageBid_;
      nextPageBid_ += 4;
      std::uint64_t ib = space_.allocate(layout_.pageSize, layout_.pageSize);
      PageTrailer::stamp(page, ptype, bid, ib, layout_);
      file_.writeAt(ib, page);
      BtBranchEntry e{n > 0 ? firstKey : 0, {bid, ib}};
      Bytes enc;
      e.write(enc, layout_);
      up.keys.push_back(e.key);
      up.entries.push_back(std::move(enc));
      if (entries == 0) break;
    }
    return up;
  };
  Level up = writeLevel(count, leafEntrySize, 0, [&](std::size_t, std::size_t n, Bytes& page) {
    std::uint64_t first = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t key = nextLeaf(page);
      if (k == 0) first = key;
    }
    return first;
  });
  std::uint8_t cLevel = 0;
  while (up.entries.size() > 1) {
    ++cLevel;
    const Level below = std::move(up);
    up = writeLevel(below.entries.size(), layout_.btBranchEntrySize, cLevel,
                    [&](std::size_t first, std::size_t n, Bytes& page) {
                      for (std::size_t k = 0; k < n; ++k) putBytes(page, below.entries[first + k]);
                      return below.keys[first];
                    });
  }
  return Bref::parse(ByteView(up.entries[0]), layout_.idSize, layout_);
}

Bytes NodeDatabaseWriter::encodeHeader(const Bref& nbt, const Bref& bbt, const SpaceMap::Totals& totals) const {
  const HeaderOffsets& o = HeaderOffsets::of(FileLayout::Unicode);
  Bytes h(layout_.headerSize, 0);
  setU32(h, 0, kHeaderMagic);
  setU16(h, 8, kClientPst);
  setU16(h, 10, kVersionUnicode);
  setU16(h, 12, 19);  // wVerClient, as Outlook writes it
  h[14] = 1;          // bPlatformCreate
  h[15] = 1;          // bPlatformAccess
  setU64(h, o.bidNextP, nextPageBid_);
  setU32(h, o.dwUnique, unique_);
  for (std::size_t i = 0; i < rgnid_.size(); ++i) setU32(h, o.rgnid + 4 * i, rgnid_[i]);
  setU64(h, o.ibFileEof, totals.fileEof);
  setU64(h, o.ibAMapLast, totals.lastAMap);
  setU64(h, o.cbAMapFree, totals.amapFree);
  setU64(h, o.cbPMapFree, 0);
  setU64(h, o.brefNbt, nbt.bid);
  setU64(h, o.brefNbt + 8, nbt.ib);
  setU64(h, o.brefBbt, bbt.bid);
  setU64(h, o.brefBbt + 8, bbt.ib);
  h[o.fAMapValid] = 0x02;  // VALID_AMAP2
  // The deprecated free maps of the first sections, filled as Outlook does.
  std::fill(h.begin() + static_cast<std::ptrdiff_t>(o.rgbFM), h.begin() + static_cast<std::ptrdiff_t>(o.rgbFM + 256), 0xFF);
  h[o.bSentinel] = kHeaderSentinel;
  h[o.bCryptMethod] = static_cast<std::uint8_t>(crypt_);
  setU64(h, o.bidNextB, nextBid_);
  setU32(h, 4, computeCrc(ByteView(h).sub(kHeaderCrcStart, kHeaderCrcPartialLength)));
  setU32(h, o.dwCrcFull, computeCrc(ByteView(h).sub(kHeaderCrcStart, kHeaderCrcFullLength)));
  return h;
}

void NodeDatabaseWriter::commit() {
  if (committed_) throw Error(ErrorKind::InvalidArgument, "the file is already finished");
  collector_ = nullptr;
  // The counters stay above every id in use, whatever way it was chosen.
  for (const auto& [nid, e] : nodes_) rgnid_[nidType(nid)] = std::max(rgnid_[nidType(nid)], nidIndex(nid));
  auto node = nodes_.begin();
  Bref nbt = writeBTree(page_type::NodeBTree, nodes_.size(), layout_.nbtEntrySize, [&](Bytes& page) {
    node->second.write(page, layout_);
    return (node++)->first;
  });

  std::size_t live = 0;
  for (const BlockRecord& r : blocks_) live += r.live ? 1 : 0;
  std::size_t block = 0;
  Bref bbt = writeBTree(page_type::BlockBTree, live, layout_.bbtEntrySize, [&](Bytes& page) {
    while (!blocks_[block].live) ++block;
    const BlockRecord& r = blocks_[block];
    BbtEntry entry;
    entry.bref = {bidOf(block, r), r.ib};
    entry.cb = static_cast<std::uint16_t>(r.cb);
    entry.cRef = kSingleUse;
    entry.write(page, layout_);
    ++block;
    return entry.bref.bid;
  });

  SpaceMap::Totals totals = space_.finish(file_);
  file_.writeAt(0, encodeHeader(nbt, bbt, totals));
  file_.commit();
  committed_ = true;
}

}  // namespace varnolt::mapi::pst
