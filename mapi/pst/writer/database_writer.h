#pragma once
// The node database of a new Unicode PST file ([MS-PST] 2.2.2): blocks
// with their trailers, data trees (XBLOCK, XXBLOCK) and subnode trees
// (SLBLOCK, SIBLOCK) written as they come, and on commit the node and
// block B-trees, the maps and the header with its CRCs.
//
// Only the two B-trees' entries stay in memory; every block goes to the
// file when it is written.

#include <array>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <vector>

#include "mapi/property.h"
#include "mapi/pst/ndb/header.h"
#include "mapi/pst/writer/output_file.h"
#include "mapi/pst/writer/space_map.h"

namespace varnolt::mapi::pst {

// A node's data and subnodes once written: what an NBTENTRY or an SLENTRY
// points at.
struct WrittenNode {
  BlockId bidData = 0;
  BlockId bidSub = 0;
};

class NodeDatabaseWriter {
 public:
  NodeDatabaseWriter(const std::filesystem::path& destination, CryptMethod crypt);

  // One block; external blocks are encoded by the file's method. Data
  // blocks hold at most Layout::maxBlockData bytes.
  BlockId writeBlock(ByteView data, bool internal);
  // A whole stream: one block, or an XBLOCK or XXBLOCK over data blocks
  // of full size. Empty data gives bid 0.
  BlockId writeData(ByteView data);
  // The same stream read from its source a piece at a time, one block
  // held at once; the same blocks as the bytes written whole.
  BlockId writeData(const ValueSource& source);
  // A stream already cut into blocks (heaps and table rows are laid out
  // per block).
  BlockId writeDataBlocks(const std::vector<Bytes>& blocks);
  // A subnode tree over these entries (any order); bid 0 when empty.
  BlockId writeSubnodes(std::vector<SlEntry> entries);

  // Node B-tree entries. Setting an existing node replaces it (its old
  // blocks are released by the caller).
  void setNode(const NbtEntry& entry);
  void removeNode(NodeId nid);
  bool hasNode(NodeId nid) const { return nodes_.count(nid) != 0; }

  // Every block written while a collector is set is added to it, so a
  // caller can release what one object wrote.
  void collectInto(std::vector<BlockId>* collector) { collector_ = collector; }
  void releaseBlock(BlockId bid);

  // Next NID index per NID type (the header's rgnid).
  NodeId allocateNid(std::uint8_t type);
  std::uint32_t nextUnique() { return ++unique_; }

  // Writes both B-trees, the maps and the header, and renames the file
  // into place.
  void commit();
  void discard() { file_.discard(); }
  const std::filesystem::path& temporaryPath() const { return file_.temporaryPath(); }

  std::uint64_t bytesWritten() const { return written_; }

 private:
  // The XBLOCK (or XXBLOCK over XBLOCKs) over data blocks holding size
  // bytes, every one full but the last.
  BlockId writeTreeOver(const std::vector<BlockId>& bids, std::uint64_t size);

  // A written block in eight bytes: a file of millions of blocks keeps
  // one of these per block until commit. Its bid is not kept: bids are
  // handed out 4 apart from 4, so the record's place gives it.
  struct BlockRecord {
    std::uint64_t ib : 48;  // where it is in the file
    std::uint64_t cb : 14;  // bytes of data
    std::uint64_t internal : 1;
    std::uint64_t live : 1;
  };
  static BlockId bidOf(std::size_t index, const BlockRecord& record) {
    return static_cast<BlockId>((index + 1) << 2) | (record.internal ? 2 : 0);
  }
  BlockRecord* findRecord(BlockId bid);
  // A B-tree over count leaf entries; nextLeaf appends the next one (in
  // key order) to a page and answers its key.
  Bref writeBTree(std::uint8_t ptype, std::size_t count, std::size_t leafEntrySize,
                  const std::function<std::uint64_t(Bytes&)>& nextLeaf);
  Bytes encodeHeader(const Bref& nbt, const Bref& bbt, const SpaceMap::Totals& totals) const;

  OutputFile file_;
  const Layout& layout_;
  CryptMethod crypt_;
  SpaceMap space_;
  // In bid order, one per bid. A deque grows without moving what it
  // holds, so a file of millions of blocks never needs twice their room.
  std::deque<BlockRecord> blocks_;
  std::map<NodeId, NbtEntry> nodes_;
  std::array<std::uint32_t, 32> rgnid_{};
  BlockId nextBid_ = 4;
  BlockId nextPageBid_ = 4;
  std::uint32_t unique_ = 0;
  std::uint64_t written_ = 0;
  std::vector<BlockId>* collector_ = nullptr;
  bool committed_ = false;
};

}  // namespace varnolt::mapi::pst
