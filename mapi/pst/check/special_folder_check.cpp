// Special folders and receive folders: the entry ids the message store,
// the root folder and the Inbox (and any folder) keep of the store's
// special folders, and
// the folders the receive folder table sends each message class to, must
// name folders this file has. Outlook follows them when it files new
// mail, drafts, sent items, calendar and contact items.

#include <algorithm>
#include <functional>
#include <memory>

#include "mapi/error.h"
#include "mapi/pst/check/context.h"
#include "mapi/pst/messaging/entry_id.h"
#include "mapi/pst/messaging/store.h"

namespace varnolt::mapi::pst::check {
namespace {

bool isFolderNid(NodeId nid) {
  return nidType(nid) == nid_type::NormalFolder || nidType(nid) == nid_type::SearchFolder;
}

class SpecialFolderCheck {
 public:
  SpecialFolderCheck(Context& c, const Store& store) : c_(c), store_(store) {}

  void run() {
    PropertyBag storeProps = store_.storeProperties();
    learnUids(storeProps);
    checkIds(nid::MessageStore, storeProps, isStoreFolderIdTag, "store.special-folder-id", "the message store");
    checkIds(nid::RootFolder, store_.rootFolder().properties(), isFolderIdTag, "folder.special-folder-id",
             "the root folder");

    std::vector<ReceiveFolder> rows = readReceiveFolders(store_);
    for (const ReceiveFolder& r : rows) {
      if (!isFolderNid(r.folder) || !c_.findNode(r.folder))
        c_.report(offsetOf(kReceiveFolderTableNid), "store.receive-folder", nidText(kReceiveFolderTableNid),
                  "the receive folder of \"" + r.messageClass + "\" is " + hexText(r.folder) +
                      ", which is no folder of the file");
    }
    // Outlook keeps these ids on the root folder and the Inbox; any other
    // folder that holds them is held to the same rule.
    std::optional<NodeId> inbox = inboxOf(rows);
    for (const NodeInfo& n : c_.nodes) {
      if (nidType(n.nid) != nid_type::NormalFolder || n.nid == nid::RootFolder) continue;
      PropertyBag props;
      try {
        props = store_.folder(n.nid).properties();
      } catch (const Error&) {
        continue;  // the heap and table checks say why
      }
      checkIds(n.nid, props, isFolderIdTag, "folder.special-folder-id",
               inbox && *inbox == n.nid ? "the Inbox" : "the folder");
    }
  }

 private:
  // The store names itself by its record key, and by the uid its own ids
  // of special folders carry where they name a folder it has.
  void learnUids(const PropertyBag& storeProps) {
    if (const Bytes* key = storeProps.getBinary(makeTag(0x0FF9, pt::Binary)); key && key->size() == 16) {
      uids_.emplace_back();
      std::copy(key->begin(), key->end(), uids_.back().begin());
    }
    for (const auto& [t, v] : storeProps.all()) {
      if (!isStoreFolderIdTag(propId(t))) continue;
      for (const Bytes& id : entryIdsIn(propId(t), v)) {
        std::optional<StoreEntryId> e = parseEntryId(id);
        if (e && isFolderNid(e->nid) && c_.findNode(e->nid)) uids_.push_back(e->uid);
      }
    }
  }

  std::uint64_t offsetOf(NodeId nid) {
    const NodeInfo* n = c_.findNode(nid);
    if (!n) return 0;
    const BlockInfo* b = n->bidData ? c_.findBlock(n->bidData) : nullptr;
    return b ? b->ib : n->pageIb;
  }

  void checkIds(NodeId owner, const PropertyBag& props, bool (*isIdTag)(std::uint16_t), const char* rule,
                const std::string& what) {
    for (const auto& [t, v] : props.all()) {
      std::uint16_t id = propId(t);
      if (!isIdTag(id)) continue;
      for (const Bytes& entry : entryIdsIn(id, v)) {
        std::string problem = namesNoFolder(entry, id);
        if (!problem.empty())
          c_.report(offsetOf(owner), rule, nidText(owner),
                    what + "'s special-folder id " + hexText(id) + " " + problem);
      }
    }
  }

  // Why the id names no folder of this file; empty when it does. The
  // free/busy list (0x36E4) names the free/busy message too.
  std::string namesNoFolder(const Bytes& entry, std::uint16_t tag) {
    std::optional<StoreEntryId> e = parseEntryId(entry);
    if (!e) return "is not an entry id of a PST object (" + std::to_string(entry.size()) + " bytes)";
    if (std::find(uids_.begin(), uids_.end(), e->uid) == uids_.end())
      return "names " + hexText(e->nid) + " in another store (its uid is not this store's)";
    bool message = nidType(e->nid) == nid_type::NormalMessage || nidType(e->nid) == nid_type::AssocMessage;
    if (!(isFolderNid(e->nid) || (tag == 0x36E4 && message)) || !c_.findNode(e->nid))
      return "names " + hexText(e->nid) + ", which is no folder of the file";
    return {};
  }

  Context& c_;
  const Store& store_;
  std::vector<ProviderUid> uids_;
};

}  // namespace

void checkSpecialFolders(Context& c) {
  if (!c.nbtComplete || !c.cryptKnown) return;  // the node and block checks said why
  // The reader over the same bytes; the checker owns the source.
  std::shared_ptr<const ByteSource> source(&c.source(), [](const ByteSource*) {});
  try {
    std::unique_ptr<Store> store = Store::open(source);
    SpecialFolderCheck(c, *store).run();
  } catch (const Error& e) {
    c.notChecked(std::string("special folders and receive folders (") + e.what() + ")");
  }
}

}  // namespace varnolt::mapi::pst::check
