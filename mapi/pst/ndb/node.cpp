#include "mapi/pst/ndb/node.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {

Node::Node(const NodeDatabase& db, NodeId nid, BlockId bidData, BlockId bidSub, NodeId parent)
    : db_(&db), nid_(nid), bidData_(bidData), bidSub_(bidSub), parent_(parent) {}

Bytes Node::read() const {
  DataTree tree = dataTree();
  if (tree.blocks.size() == 1) return db_->readBlock(tree.blocks.front());
  Bytes out;
  out.reserve(static_cast<std::size_t>(tree.size));
  for (const BbtEntry& e : tree.blocks) {
    Bytes b = db_->readBlock(e);
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

std::vector<Bytes> Node::readBlocks() const {
  DataTree tree = dataTree();
  std::vector<Bytes> out;
  out.reserve(tree.blocks.size());
  for (const BbtEntry& e : tree.blocks) out.push_back(db_->readBlock(e));
  return out;
}

const SubnodeTree& Node::subnodes() const {
  if (!subnodes_) subnodes_ = std::make_shared<const SubnodeTree>(SubnodeTree::read(*db_, bidSub_));
  return *subnodes_;
}

std::optional<Node> Node::findSubnode(NodeId nid) const {
  const SlEntry* e = subnodes().find(nid);
  if (!e) return std::nullopt;
  return Node(*db_, e->nid, e->bidData, e->bidSub, nid_);
}

Node Node::subnode(NodeId nid) const {
  auto n = findSubnode(nid);
  if (!n) throw Error(ErrorKind::NotFound, "node " + hexText(nid_) + " has no subnode " + hexText(nid));
  return *n;
}

}  // namespace varnolt::mapi::pst
