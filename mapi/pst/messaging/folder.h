#pragma once
// A folder of a store ([MS-PST] 2.4.4): its property context and the three
// tables that share its node index - the hierarchy table (subfolders), the
// contents table (messages) and the associated-contents table (hidden
// messages such as views and rules). Search folders ([MS-PST] 2.4.8) have
// none of the three; their results are in a search contents table.

#include <optional>
#include <string>
#include <vector>

#include "mapi/pst/ltp/table_context.h"

namespace varnolt::mapi::pst {

class Store;

class Folder {
 public:
  Folder(const Store& store, const Node& node, PropertyBag props);

  NodeId id() const { return node_.id(); }
  const Node& node() const { return node_; }
  const PropertyBag& properties() const { return props_; }
  std::string displayName() const;
  std::optional<std::string> containerClass() const;
  bool isSearchFolder() const { return nidType(node_.id()) == nid_type::SearchFolder; }

  // Ids in table order. A table the folder does not have counts as empty.
  std::vector<NodeId> subfolderIds() const;
  std::vector<NodeId> messageIds() const;
  std::vector<NodeId> associatedMessageIds() const;
  // For search folders: the messages the search found.
  std::vector<NodeId> searchResultIds() const;

  // The tables themselves (nullopt when the folder has none).
  std::optional<TableContext> hierarchyTable() const { return table(nid_type::HierarchyTable); }
  std::optional<TableContext> contentsTable() const { return table(nid_type::ContentsTable); }
  std::optional<TableContext> associatedContentsTable() const { return table(nid_type::AssocContentsTable); }

 private:
  std::optional<TableContext> table(std::uint8_t type) const;
  std::vector<NodeId> ids(std::uint8_t type) const;

  const Store* store_;
  Node node_;
  PropertyBag props_;
};

}  // namespace varnolt::mapi::pst
