#pragma once
// The subnodes of a node ([MS-PST] 2.2.2.8.3.3 SLBLOCK and SIBLOCK): a
// small B-tree of its own that maps each subnode's NID to its data and its
// own subnodes. Read whole, because messages look up several subnodes.

#include <map>

#include "mapi/pst/ndb/node_database.h"

namespace varnolt::mapi::pst {

class SubnodeTree {
 public:
  // An empty tree for bid 0.
  static SubnodeTree read(const NodeDatabase& db, BlockId bidSub);

  const SlEntry* find(NodeId nid) const;
  const std::map<NodeId, SlEntry>& entries() const { return entries_; }

 private:
  std::map<NodeId, SlEntry> entries_;
};

}  // namespace varnolt::mapi::pst
