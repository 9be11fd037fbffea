// Every message of every sample PST written as an Outlook item file and read
// back must come back whole: this is how the compression run moves mail
// from one store to the next, so anything lost here is lost for users.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "mapi/msg/msg_file.h"
#include "mapi/pst/messaging/store.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace pst = varnolt::mapi::pst;

namespace {

// Named ids are a file's own numbering; compare named properties by name.
std::map<std::string, m::PropValue> byName(const m::PropertyBag& bag) {
  std::map<std::string, m::PropValue> out;
  for (const auto& [tag, value] : bag.all()) {
    const auto id = static_cast<std::uint16_t>(tag >> 16);
    std::string key;
    if (id >= 0x8000) {
      const m::NamedProperty* name = bag.nameOf(id);
      key = name ? name->toString() : "unnamed:" + std::to_string(id);
      key += "/" + std::to_string(tag & 0xFFFF);
    } else {
      key = std::to_string(tag);
    }
    out.emplace(std::move(key), value);
  }
  return out;
}

void expectSameMessage(const m::Message& a, const m::Message& b, const std::string& where) {
  EXPECT_EQ(byName(a.props), byName(b.props)) << where << ": message properties";
  ASSERT_EQ(a.recipients.size(), b.recipients.size()) << where;
  for (std::size_t i = 0; i < a.recipients.size(); ++i)
    EXPECT_EQ(byName(a.recipients[i]), byName(b.recipients[i])) << where << ": recipient " << i;
  ASSERT_EQ(a.attachments.size(), b.attachments.size()) << where;
  for (std::size_t i = 0; i < a.attachments.size(); ++i) {
    const auto& x = a.attachments[i];
    const auto& y = b.attachments[i];
    const std::string at = where + " / attachment " + std::to_string(i);
    EXPECT_EQ(byName(x.props), byName(y.props)) << at;
    ASSERT_EQ(x.embedded != nullptr, y.embedded != nullptr) << at;
    if (x.embedded) expectSameMessage(*x.embedded, *y.embedded, at + " (embedded)");
  }
}

struct Walk {
  const pst::Store& store;
  std::size_t messages = 0;

  void folder(const pst::Folder& f, const std::string& path, unsigned depth) {
    if (depth > 32) return;
    std::vector<pst::NodeId> ids = f.messageIds();
    for (pst::NodeId id : f.associatedMessageIds()) ids.push_back(id);
    for (pst::NodeId id : ids) {
      const std::string where = path + " #" + std::to_string(id);
      m::Message original = store.readMessage(id);
      m::Message back = m::msg::readMessage(m::msg::writeMessage(original));
      expectSameMessage(original, back, where);
      ++messages;
    }
    for (pst::NodeId id : f.subfolderIds()) {
      pst::Folder sub = store.folder(id);
      folder(sub, path + "/" + sub.displayName(), depth + 1);
    }
  }
};

TEST(PstToMsg, EverySampleMessageSurvivesAnItemFile) {
  VARNOLT_REQUIRE_SAMPLES();
  std::size_t total = 0;
  for (const auto& path : varnolt::test::sampleFiles("pst", ".pst")) {
    SCOPED_TRACE(path.filename().string());
    auto store = pst::Store::open(path);
    Walk walk{*store};
    walk.folder(store->rootFolder(), path.filename().string(), 0);
    total += walk.messages;
  }
  EXPECT_GT(total, 0u) << "no sample PST held a message";
  RecordProperty("messages", static_cast<int>(total));
}

}  // namespace
