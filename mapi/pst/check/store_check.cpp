// The messaging layer ([MS-PST] 2.4, 2.7.1): the nodes every PST has, the
// parts of every folder, and each folder's tables against the objects the
// node B-tree says it holds (hierarchy rows = subfolders, contents rows =
// messages, associated contents rows = associated messages, row ids =
// their NIDs).

#include <algorithm>
#include <map>

#include "mapi/pst/check/context.h"

namespace varnolt::mapi::pst::check {
namespace {

struct Mandatory {
  NodeId nid;
  const char* name;
};

// The nodes of a minimal PST ([MS-PST] 2.7.1) that every file we have
// seen carries. The folder templates (0xA1, 0xC1) are on the format's
// list too, but files Outlook opens go without them.
constexpr Mandatory kMandatory[] = {
    {nid::MessageStore, "the message store"},
    {nid::NameToIdMap, "the name-to-id map"},
    {nid::RootFolder, "the root folder"},
    {nid::SearchManagementQueue, "the search management queue"},
    {nid::SearchActivityList, "the search activity list"},
    {nid::HierarchyTableTemplate, "the hierarchy table template"},
    {nid::ContentsTableTemplate, "the contents table template"},
    {nid::AssocContentsTableTemplate, "the associated contents table template"},
    {nid::SearchContentsTableTemplate, "the search contents table template"},
    {nid::AttachmentTableTemplate, "the attachment table template"},
    {nid::RecipientTableTemplate, "the recipient table template"},
};

bool isFolder(NodeId nid) {
  return nidType(nid) == nid_type::NormalFolder || nidType(nid) == nid_type::SearchFolder;
}

void checkMandatoryNodes(Context& c) {
  if (c.header().isOst()) {
    c.notChecked("OST: not checked: the nodes of a minimal PST (an OST's special nodes differ)");
  } else if (c.nbtComplete) {
    for (const Mandatory& m : kMandatory) {
      if (!c.findNode(m.nid))
        c.report(c.header().nbtRoot.ib, "store.missing-node", nidText(m.nid), std::string(m.name) + " is missing from the node B-tree");
    }
  }
}

// What the node B-tree says each folder holds.
struct FolderContents {
  std::map<NodeId, std::vector<std::uint32_t>> subfolders, messages, assoc;
};

// Counts the folders and messages, checks each one's parent, and files it
// under the folder that holds it.
FolderContents contentsByParent(Context& c) {
  FolderContents held;
  for (const NodeInfo& n : c.nodes) {
    std::uint8_t t = nidType(n.nid);
    if (isFolder(n.nid)) {
      ++c.result().folders;
      if (n.nid == nid::RootFolder) {
        if (n.parent != nid::RootFolder)
          c.report(n.pageIb, "folder.parent", nidText(n.nid), "the root folder's parent is " + hexText(n.parent) + ", not itself");
        continue;
      }
      if (!isFolder(n.parent)) {
        c.report(n.pageIb, "folder.parent", nidText(n.nid), "the folder's parent " + hexText(n.parent) + " is not a folder");
        continue;
      }
      held.subfolders[n.parent].push_back(n.nid);
    } else if (t == nid_type::NormalMessage || t == nid_type::AssocMessage) {
      ++c.result().messages;
      if (!isFolder(n.parent)) {
        c.report(n.pageIb, "message.parent", nidText(n.nid), "the message's parent " + hexText(n.parent) + " is not a folder");
        continue;
      }
      (t == nid_type::NormalMessage ? held.messages : held.assoc)[n.parent].push_back(n.nid);
    }
  }
  return held;
}

// Compares the rows of one of a folder's tables with the objects the node
// B-tree places in the folder.
void compareTable(Context& c, const NodeInfo& folder, std::uint8_t tableType, std::vector<std::uint32_t> expected,
                  const char* what) {
  NodeId tableNid = withType(folder.nid, tableType);
  const NodeInfo* table = c.findNode(tableNid);
  if (!table) {
    c.report(folder.pageIb, "folder.missing-table", nidText(folder.nid), std::string("the folder has no ") + what + " table (" + hexText(tableNid) + ")");
    return;
  }
  auto it = c.tableRows.find(tableNid);
  if (it == c.tableRows.end()) return;  // unreadable; the table checks said why
  std::vector<std::uint32_t> rows = it->second;
  std::sort(rows.begin(), rows.end());
  std::sort(expected.begin(), expected.end());
  for (std::uint32_t id : expected) {
    if (!std::binary_search(rows.begin(), rows.end(), id))
      c.report(table->pageIb, "folder.table-missing-row", nidText(tableNid),
               std::string("the ") + what + " table has no row for " + hexText(id) + ", which the node B-tree places in folder " + hexText(folder.nid));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0 && rows[i] == rows[i - 1]) {
      c.report(table->pageIb, "folder.table-extra-row", nidText(tableNid), std::string("the ") + what + " table lists " + hexText(rows[i]) + " twice");
    } else if (!std::binary_search(expected.begin(), expected.end(), rows[i])) {
      c.report(table->pageIb, "folder.table-extra-row", nidText(tableNid),
               std::string("the ") + what + " table lists " + hexText(rows[i]) + ", which is not " +
                   (tableType == nid_type::HierarchyTable ? "a subfolder" : "a message") + " of folder " + hexText(folder.nid));
    }
  }
}

}  // namespace

void checkStore(Context& c) {
  if (!c.nbtComplete) c.notChecked("mandatory nodes and folder contents (the node B-tree could not be read whole)");
  checkMandatoryNodes(c);
  FolderContents held = contentsByParent(c);
  if (!c.nbtComplete) return;
  for (const NodeInfo& n : c.nodes) {
    if (nidType(n.nid) != nid_type::NormalFolder) continue;
    compareTable(c, n, nid_type::HierarchyTable, held.subfolders[n.nid], "hierarchy");
    compareTable(c, n, nid_type::ContentsTable, held.messages[n.nid], "contents");
    compareTable(c, n, nid_type::AssocContentsTable, held.assoc[n.nid], "associated contents");
  }
}

}  // namespace varnolt::mapi::pst::check
