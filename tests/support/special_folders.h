#pragma once
// What the special-folder ids and receive folders of a PST name, read
// through our reader, for tests that compare a new file with its source.

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/messaging/entry_id.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/tags.h"

namespace varnolt::test::special {

namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;

// The sample files written by Outlook (samples/README.md).
inline constexpr const char* kOutlookSamples[] = {
    "ansi-one-attachment.pst",      "ansi-html-message.pst",          "unicode-one-attachment.pst",
    "unicode-html-messages.pst",    "unicode-embedded-message.pst",   "calendar-contacts-distlist.pst",
    "mailing-list.pst",             "seventy-two-messages.pst"};

// What each special-folder id of a store names, by owner and tag: a
// folder as its path from the root ("<top>" for the top of personal
// folders, whose name is each file's own) and its container class, a
// message by its subject; "(search)" for search folders and what lies in
// them, "(nothing)" for an id that names no object of the file.
using Named = std::map<std::string, std::vector<std::string>>;

class Describer {
 public:
  explicit Describer(const p::Store& s) : s_(s) {
    m::PropertyBag props = s.storeProperties();
    const m::Bytes* key = props.getBinary(m::tag::RecordKey);
    if (key && key->size() == 16) std::copy(key->begin(), key->end(), uid_.begin());
    top_ = s.ipmSubtree()->id();
    walk(s.rootFolder(), "", false);
  }

  std::string target(m::ByteView id) const {
    auto e = p::parseEntryId(id);
    if (!e || e->uid != uid_) return "(nothing)";
    if (auto it = folders_.find(e->nid); it != folders_.end()) return it->second;
    if (p::nidType(e->nid) == p::nid_type::NormalMessage || p::nidType(e->nid) == p::nid_type::AssocMessage) {
      try {
        return "message:" + s_.readMessage(e->nid).props.getString(0x0037).value_or("");
      } catch (const m::Error&) {
      }
    }
    return "(nothing)";
  }

  Named named() const {
    Named out;
    auto add = [&](const std::string& owner, const m::PropertyBag& bag, bool (*isIdTag)(std::uint16_t)) {
      for (const auto& [t, v] : bag.all()) {
        if (!isIdTag(m::propId(t))) continue;
        for (const m::Bytes& id : p::entryIdsIn(m::propId(t), v))
          out[owner + " " + p::hexText(m::propId(t))].push_back(target(id));
      }
    };
    add("store", s_.storeProperties(), p::isStoreFolderIdTag);
    add("root", s_.rootFolder().properties(), p::isFolderIdTag);
    auto rows = p::readReceiveFolders(s_);
    for (const auto& r : rows) out["receive \"" + r.messageClass + "\""].push_back(folderAt(r.folder));
    if (auto inbox = p::inboxOf(rows)) add("inbox", s_.folder(*inbox).properties(), p::isFolderIdTag);
    return out;
  }

  std::string folderAt(p::NodeId nid) const {
    auto it = folders_.find(nid);
    return it == folders_.end() ? "(nothing)" : it->second;
  }
  const std::map<p::NodeId, std::string>& folders() const { return folders_; }

 private:
  void walk(const p::Folder& f, const std::string& path, bool inSearch) {
    bool search = inSearch || f.isSearchFolder();
    folders_[f.id()] = search ? "(search)" : path + " [" + f.containerClass().value_or("") + "]";
    std::map<std::string, int> seen;
    for (p::NodeId c : f.subfolderIds()) {
      p::Folder child = s_.folder(c);
      std::string name = child.displayName();
      std::string step = name + "#" + std::to_string(seen[name]++);
      walk(child, c == top_ ? "<top>" : path + "/" + step, search);
    }
  }

  const p::Store& s_;
  p::ProviderUid uid_{};
  p::NodeId top_ = 0;
  std::map<p::NodeId, std::string> folders_;
};

// The source's ids with those the new file cannot hold taken out.
inline Named expected(const Named& source, const std::function<bool(const std::string&)>& kept) {
  Named out;
  for (const auto& [k, list] : source) {
    for (const std::string& t : list)
      if (kept(t)) out[k].push_back(t);
  }
  return out;
}

inline Named withoutEmpty(Named n) {
  std::erase_if(n, [](const auto& e) { return e.second.empty(); });
  return n;
}

}  // namespace varnolt::test::special
