#include "mapi/pst/messaging/folder.h"

#include "mapi/pst/messaging/store.h"
#include "mapi/tags.h"

namespace varnolt::mapi::pst {

Folder::Folder(const Store& store, const Node& node, PropertyBag props)
    : store_(&store), node_(node), props_(std::move(props)) {}

std::string Folder::displayName() const { return props_.getString(propId(tag::DisplayName)).value_or(""); }

std::optional<std::string> Folder::containerClass() const { return props_.getString(propId(tag::ContainerClass)); }

std::optional<TableContext> Folder::table(std::uint8_t type) const {
  NodeId tableNid = withType(node_.id(), type);
  if (!store_->database().findNode(tableNid)) return std::nullopt;
  return TableContext(store_->database().node(tableNid));
}

std::vector<NodeId> Folder::ids(std::uint8_t type) const {
  std::vector<NodeId> out;
  auto t = table(type);
  if (!t) return out;
  out.reserve(t->rowCount());
  for (std::size_t i = 0; i < t->rowCount(); ++i) out.push_back(t->rowId(i));
  return out;
}

std::vector<NodeId> Folder::subfolderIds() const { return ids(nid_type::HierarchyTable); }
std::vector<NodeId> Folder::messageIds() const { return ids(nid_type::ContentsTable); }
std::vector<NodeId> Folder::associatedMessageIds() const { return ids(nid_type::AssocContentsTable); }
std::vector<NodeId> Folder::searchResultIds() const { return ids(nid_type::SearchContentsTable); }

}  // namespace varnolt::mapi::pst
