#pragma once
// The node B-tree and the block B-tree ([MS-PST] 2.2.2.7.7 BTPAGE):
// lookups by key and walks over every leaf entry. Each page is checked
// (type, signature, CRC, back pointer, entry sizes) before use; levels must
// fall by one at each step and a walk never enters a page twice, so no
// file can send the reader round in circles.

#include <functional>
#include <optional>

#include "mapi/pst/ndb/byte_source.h"
#include "mapi/pst/ndb/page_cache.h"
#include "mapi/pst/ndb/records.h"

namespace varnolt::mapi::pst {

class BTree {
 public:
  enum class Kind : std::uint8_t { Nodes, Blocks };

  BTree(const ByteSource& source, const Layout& layout, PageCache& cache, Kind kind, Bref root,
        bool verifyCrc = true);

  std::optional<NbtEntry> findNode(NodeId nid) const;    // Kind::Nodes
  std::optional<BbtEntry> findBlock(BlockId bid) const;  // Kind::Blocks

  // Every leaf entry in key order; `page` holds the entry at `offset`.
  using LeafVisitor = std::function<void(ByteView page, std::size_t offset)>;
  void forEachLeaf(const LeafVisitor& visit) const;
  void forEachNode(const std::function<void(const NbtEntry&)>& visit) const;
  void forEachBlock(const std::function<void(const BbtEntry&)>& visit) const;

  // One page of this tree, checked. `level` is the level the parent
  // expects, or -1 for the root.
  const Bytes& readPage(const Bref& bref, int level) const;
  const Bref& root() const { return root_; }

 private:
  std::optional<std::size_t> findLeaf(std::uint64_t key, const Bytes** page) const;
  std::uint64_t leafKey(ByteView page, std::size_t off) const;
  std::size_t leafEntrySize() const;
  const char* name() const;

  const ByteSource& source_;
  const Layout& layout_;
  PageCache& cache_;
  Kind kind_;
  Bref root_;
  bool verifyCrc_;
};

}  // namespace varnolt::mapi::pst
