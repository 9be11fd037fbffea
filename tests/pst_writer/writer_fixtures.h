#pragma once
// Helpers for the PST writer tests: messages with every kind of content,
// reading a written file back, and checking it against the format's rules.

#include <functional>
#include <map>
#include <string>

#include "mapi/pst/check/check.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/node.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/tags.h"
#include "tests/support/test_support.h"

namespace varnolt::test::pstw {

namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;

inline m::Bytes pattern(std::size_t size, std::uint8_t seed) {
  m::Bytes b(size);
  std::uint32_t x = 0x9E3779B9u * (seed + 1u);
  for (auto& c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

inline m::Message simpleMessage(const std::string& subject, bool read = true) {
  m::Message msg;
  msg.props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
  msg.props.set(m::tag::Subject, m::PropValue::unicode(subject));
  msg.props.set(m::tag::Body, m::PropValue::unicode("Body of " + subject));
  msg.props.set(m::tag::MessageFlags, m::PropValue::int32(read ? 1 : 0));
  return msg;
}

inline m::Attachment byValue(const std::string& name, m::Bytes data) {
  m::Attachment a;
  a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
  a.props.set(m::tag::AttachLongFilename, m::PropValue::unicode(name));
  a.props.set(m::tag::AttachDataBinary, m::PropValue::binary(std::move(data)));
  return a;
}

// The findings of the checker, one per line (empty for a sound file).
inline std::string findings(const fs::path& file) {
  p::FileSource source(file);
  auto r = p::check::checkPst(source);
  std::string out;
  for (const auto& f : r.findings) out += f.line() + "\n";
  return out;
}

// A folder's subfolder by display name, through the reader.
inline std::optional<p::Folder> childNamed(const p::Store& s, const p::Folder& parent, const std::string& name) {
  for (p::NodeId id : parent.subfolderIds()) {
    p::Folder f = s.folder(id);
    if (f.displayName() == name) return f;
  }
  return std::nullopt;
}

// The ids of a file: of the node B-tree, and of every subnode tree below
// its nodes however deep.
struct IdsInUse {
  std::vector<p::NodeId> nodes;
  std::vector<p::NodeId> subnodes;
};

inline IdsInUse idsInUse(const p::NodeDatabase& db) {
  IdsInUse ids;
  std::function<void(const p::Node&)> below = [&](const p::Node& n) {
    for (const auto& [nid, e] : n.subnodes().entries()) {
      ids.subnodes.push_back(nid);
      below(p::Node(db, nid, e.bidData, e.bidSub));
    }
  };
  db.nodeTree().forEachNode([&](const p::NbtEntry& e) {
    ids.nodes.push_back(e.nid);
    below(p::Node(db, e.nid, e.bidData, e.bidSub, e.nidParent));
  });
  return ids;
}

// Ids whose index is above the header's counter of their type, one line
// each; empty when the counters cover every id in use.
inline std::string idsAboveCounters(const p::NodeDatabase& db) {
  IdsInUse ids = idsInUse(db);
  std::string out;
  for (const auto* list : {&ids.nodes, &ids.subnodes}) {
    for (p::NodeId nid : *list) {
      std::uint32_t counter = db.header().rgnid[p::nidType(nid)];
      if (p::nidIndex(nid) > counter) out += p::hexText(nid) + " (counter " + p::hexText(counter) + ")\n";
    }
  }
  return out;
}

}  // namespace varnolt::test::pstw
