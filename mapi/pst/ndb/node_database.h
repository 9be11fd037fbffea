#pragma once
// The node database ([MS-PST] 2.2.2 and 2.2.2.8): the file's header, its
// node and block B-trees, and its blocks. Every block is checked against
// its trailer (size, signature, back pointer, CRC) and decoded by the
// file's encryption before anyone sees its bytes.
//
// Upper layers ask for nodes (NodeDatabase::node) and read their data and
// subnodes through mapi/pst/node.h; the raw lookups and walks stay
// available for tools that check or copy a file.

#include <functional>
#include <memory>
#include <optional>

#include "mapi/pst/ndb/btree.h"
#include "mapi/pst/ndb/byte_source.h"
#include "mapi/pst/ndb/header.h"
#include "mapi/pst/ndb/page_cache.h"

namespace varnolt::mapi::pst {

class Node;

class NodeDatabase {
 public:
  // Reads and checks the header and the root pages of both B-trees.
  // With verifyCrc false, CRCs are not compared (salvaging a damaged file,
  // and fuzzing past the checksums); every other check stays.
  explicit NodeDatabase(std::shared_ptr<const ByteSource> source, bool verifyCrc = true);
  NodeDatabase(const NodeDatabase&) = delete;
  NodeDatabase& operator=(const NodeDatabase&) = delete;

  const Header& header() const { return header_; }
  const Layout& layout() const { return *layout_; }
  const ByteSource& source() const { return *source_; }
  std::uint64_t fileSize() const { return source_->size(); }

  // The node B-tree entry of a node, or nullopt when there is none.
  std::optional<NbtEntry> findNode(NodeId nid) const;
  // The node, or mapi::Error (NotFound).
  Node node(NodeId nid) const;
  std::optional<BbtEntry> findBlock(BlockId bid) const;
  // The entry of a block that must exist (mapi::Error Corrupt otherwise).
  BbtEntry block(BlockId bid) const;

  const BTree& nodeTree() const { return *nbt_; }
  const BTree& blockTree() const { return *bbt_; }

  // The data of one block, checked and decoded (external blocks) or as
  // stored (internal blocks).
  Bytes readBlock(BlockId bid) const;
  Bytes readBlock(const BbtEntry& entry) const;

  // The largest single stream (node data) this file may hold: no more than
  // the file itself, and never more than limits::kMaxStreamSize.
  std::uint64_t maxStreamSize() const;

 private:
  std::shared_ptr<const ByteSource> source_;
  Header header_;
  const Layout* layout_;
  mutable PageCache cache_;
  std::unique_ptr<BTree> nbt_;
  std::unique_ptr<BTree> bbt_;
  bool verifyCrc_;
};

}  // namespace varnolt::mapi::pst
