#pragma once
// A node of the node database ([MS-PST] 2.2.2.8.2 NBTENTRY, 2.2.2.8.3.3
// subnodes): its data stream and its subnodes. Top-level nodes come from
// the node B-tree, subnodes from their parent's subnode tree; both read
// the same way. A Node is a cheap handle; the database must outlive it.

#include <memory>
#include <optional>
#include <vector>

#include "mapi/pst/ndb/data_tree.h"
#include "mapi/pst/ndb/subnode_tree.h"

namespace varnolt::mapi::pst {

class Node {
 public:
  Node(const NodeDatabase& db, NodeId nid, BlockId bidData, BlockId bidSub, NodeId parent = 0);

  NodeId id() const { return nid_; }
  BlockId dataBid() const { return bidData_; }
  BlockId subnodeBid() const { return bidSub_; }
  NodeId parentId() const { return parent_; }
  const NodeDatabase& database() const { return *db_; }

  // The data, whole or block by block (heaps and table rows are laid out
  // per block).
  DataTree dataTree() const { return DataTree::read(*db_, bidData_); }
  Bytes read() const;
  std::vector<Bytes> readBlocks() const;

  const SubnodeTree& subnodes() const;
  std::optional<Node> findSubnode(NodeId nid) const;
  Node subnode(NodeId nid) const;  // mapi::Error (NotFound) when absent

 private:
  const NodeDatabase* db_;
  NodeId nid_;
  BlockId bidData_;
  BlockId bidSub_;
  NodeId parent_;
  mutable std::shared_ptr<const SubnodeTree> subnodes_;
};

}  // namespace varnolt::mapi::pst
