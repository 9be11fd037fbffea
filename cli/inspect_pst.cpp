// `inspect` of a PST or OST file: every folder reachable from the root
// folder, depth first in hierarchy-table order, with the messages of its
// contents table. A part that cannot be read is named in an "errors" list
// on the object it belongs to, and reading goes on with the rest.

#include <cstdio>
#include <exception>
#include <set>

#include "cli/command.h"
#include "cli/inspect.h"
#include "cli/message_json.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/messaging/store.h"

namespace varnolt::cli {
namespace {

namespace pst = mapi::pst;
using nlohmann::json;

class PstInspector {
 public:
  PstInspector(const pst::Store& store, bool withProperties) : store_(store), withProperties_(withProperties) {}

  json run() {
    json doc;
    doc["format"] = store_.isOst() ? "ost" : (store_.layout() == pst::FileLayout::Ansi ? "ansi" : "unicode");
    json errors = json::array();
    for (const auto& w : store_.warnings()) note(errors, w);
    if (withProperties_) {
      try {
        doc["store_properties"] = propertiesToJson(store_.storeProperties());
      } catch (const std::exception& e) {
        note(errors, std::string("store properties: ") + e.what());
      }
    }
    folders_ = json::array();
    try {
      pst::Folder root = store_.rootFolder();
      visited_.insert(root.id());
      walk(root, {}, 0);
    } catch (const std::exception& e) {
      note(errors, std::string("root folder: ") + e.what());
    }
    doc["folders"] = std::move(folders_);
    if (!errors.empty()) doc["errors"] = std::move(errors);
    return doc;
  }

  std::size_t problemCount() const { return problems_; }
  const std::string& firstProblem() const { return first_; }

 private:
  void note(json& errors, const std::string& what) {
    if (problems_++ == 0) first_ = what;
    errors.push_back(what);
  }

  void walk(const pst::Folder& folder, const std::vector<std::string>& path, unsigned depth) {
    json errors = json::array();
    std::vector<pst::NodeId> children;
    try {
      children = folder.subfolderIds();
    } catch (const std::exception& e) {
      note(errors, std::string("subfolders: ") + e.what());
    }
    for (pst::NodeId id : children) {
      if (!visited_.insert(id).second) {
        note(errors, "subfolder " + std::to_string(id) + " is listed twice (a loop in the folder tree)");
        continue;
      }
      if (depth + 1 > pst::limits::kMaxFolderDepth) {
        note(errors, "folders nest deeper than " + std::to_string(pst::limits::kMaxFolderDepth));
        break;
      }
      std::optional<pst::Folder> child;
      json entry;
      std::vector<std::string> childPath = path;
      try {
        child.emplace(store_.folder(id));
        childPath.push_back(child->displayName());
      } catch (const std::exception& e) {
        childPath.push_back("");
        entry["path"] = childPath;
        entry["container_class"] = nullptr;
        entry["messages"] = json::array();
        json childErrors = json::array();
        note(childErrors, "folder " + std::to_string(id) + ": " + e.what());
        entry["errors"] = childErrors;
        folders_.push_back(std::move(entry));
        continue;
      }
      folders_.push_back(describe(*child, childPath));
      walk(*child, childPath, depth + 1);
    }
    if (!errors.empty()) {
      // Errors of the folder's own hierarchy go on its entry (the root has none).
      if (path.empty()) {
        json entry;
        entry["path"] = json::array();
        entry["container_class"] = nullptr;
        entry["messages"] = json::array();
        entry["errors"] = errors;
        folders_.push_back(std::move(entry));
      } else {
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
          if ((*it)["path"] == path) {
            for (auto& e : errors) (*it)["errors"].push_back(e);
            break;
          }
        }
      }
    }
  }

  json describe(const pst::Folder& folder, const std::vector<std::string>& path) {
    json entry;
    entry["path"] = path;
    auto cls = folder.containerClass();
    entry["container_class"] = cls ? json(*cls) : json(nullptr);
    json errors = json::array();
    json messages = json::array();
    std::vector<pst::NodeId> ids;
    // Search folders list messages that live in other folders; they are
    // shown where they live.
    if (!folder.isSearchFolder()) {
      try {
        ids = folder.messageIds();
      } catch (const std::exception& e) {
        note(errors, std::string("contents table: ") + e.what());
      }
    }
    for (pst::NodeId id : ids) {
      std::vector<std::string> problems;
      try {
        json m = messageToJson(store_.readMessage(id, &problems), withProperties_);
        if (!problems.empty()) {
          json list = json::array();
          for (const auto& p : problems) note(list, "message " + std::to_string(id) + ": " + p);
          m["errors"] = list;
        }
        messages.push_back(std::move(m));
      } catch (const std::exception& e) {
        json m;
        m["id"] = id;
        json list = json::array();
        note(list, "message " + std::to_string(id) + ": " + e.what());
        m["errors"] = list;
        messages.push_back(std::move(m));
      }
    }
    entry["messages"] = std::move(messages);
    if (withProperties_) entry["properties"] = propertiesToJson(folder.properties());
    if (!errors.empty()) entry["errors"] = std::move(errors);
    return entry;
  }

  const pst::Store& store_;
  bool withProperties_;
  json folders_;
  std::set<pst::NodeId> visited_;
  std::size_t problems_ = 0;
  std::string first_;
};

}  // namespace

int inspectPst(const std::string& path, bool withProperties) {
  std::unique_ptr<pst::Store> store;
  try {
    store = pst::Store::open(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
    return kExitFailed;
  }
  PstInspector inspector(*store, withProperties);
  json doc = inspector.run();
  std::string text = doc.dump(2, ' ', false, json::error_handler_t::replace);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  if (inspector.problemCount() == 0) return kExitOk;
  std::string more = inspector.problemCount() > 1
                         ? " (and " + std::to_string(inspector.problemCount() - 1) + " more problems, listed in \"errors\")"
                         : "";
  std::fprintf(stderr, "%s: %s%s\n", path.c_str(), inspector.firstProblem().c_str(), more.c_str());
  return kExitPartial;
}

}  // namespace varnolt::cli
