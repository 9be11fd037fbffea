// What makes a PST the user's mailbox survives `varnolt-cli copy` and
// `varnolt-cli compress` with every treatment: for every sample written by
// Outlook, the new PST passes
// the check, its special-folder ids (store, root folder, Inbox) name the
// folders on the same paths as the source's, or are left out where the run
// made no such folder, and its receive folders send "IPM" to the folder
// made from the source's Inbox; libpff reads the same. A protected source
// gives a protected new PST.

#include <nlohmann/json.hpp>

#include <set>

#include "mapi/pst/check/check.h"
#include "mapi/pst/writer/writer.h"
#include "tests/support/special_folders.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;
using nlohmann::json;
using special::Describer;
using special::Named;

std::string cli() { return (programPath("varnolt-cli")).string(); }

// The new PST that `copy` or a run of one file with a treatment makes in dest.
fs::path compress(const fs::path& source, const std::string& treatment, const fs::path& dest) {
  fs::create_directories(dest);
  if (treatment == "copy") {
    CommandResult r = run({cli(), "copy", source.string(), (dest / "copy.pst").string()});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    return dest / "copy.pst";
  }
  CommandResult r = run({cli(), "compress", "--treatment", treatment, "--dest", dest.string(), source.string()});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  for (const auto& e : fs::directory_iterator(dest)) return e.path() / "KestrikCompress.pst";
  ADD_FAILURE() << "no run folder in " << dest;
  return {};
}

std::string findingsOf(const fs::path& file) {
  p::FileSource source(file);
  std::string out;
  for (const auto& f : p::check::checkPst(source).findings) out += f.line() + "\n";
  return out;
}

// The run makes every mail folder anew by name, of the mail kind, while
// a source mail folder may have no class (Outlook's Inbox, Outbox, Sent
// Items) or a subclass of "IPF.Note": all of them are the same kind here.
std::string kindOf(std::string path) {
  std::size_t open = path.rfind(" [");
  if (open == std::string::npos || path.find('/') == std::string::npos) return path;
  std::string cls = path.substr(open + 2, path.size() - open - 3);
  if (cls.empty() || cls == "IPF.Note" || cls.rfind("IPF.Note.", 0) == 0) path.replace(open, std::string::npos, " [mail]");
  return path;
}

// Ids the new file must hold: the source's whose folder it has, and with
// a copy, which copies every message, those of messages too (libpff names
// no message: "(nothing)" to it).
Named keptOf(const Named& source, const std::set<std::string>& there, bool copiesMessages) {
  Named out;
  for (const auto& [k, list] : source)
    for (const std::string& t : list)
      if (there.count(kindOf(t)) || (copiesMessages && (t.rfind("message:", 0) == 0 || t == "(nothing)")))
        out[k].push_back(kindOf(t));
  std::erase_if(out, [](const auto& e) { return e.second.empty(); });
  return out;
}

Named normalised(const Named& n) {
  Named out;
  for (const auto& [k, list] : n)
    for (const std::string& t : list) out[k].push_back(kindOf(t));
  std::erase_if(out, [](const auto& e) { return e.second.empty(); });
  return out;
}

Named fromJson(const json& ids) {
  Named out;
  for (const auto& [k, list] : ids.items()) out[k] = list.get<std::vector<std::string>>();
  return out;
}

TEST(CompressKeepsSettings, SpecialFoldersAndReceiveFoldersOfEveryOutlookSample) {
  VARNOLT_REQUIRE_SAMPLES();
  const bool havePypff = run({"/usr/bin/python3", "-c", "import pypff"}, 60).exitCode == 0;
  const std::string oracle = (sourceDir() / "tests" / "oracles" / "pst_pypff_special_ids.py").string();
  TempDir tmp;
  for (const char* name : special::kOutlookSamples) {
    const fs::path source = samplesDir() / "pst" / name;
    auto src = p::Store::open(source);
    Describer before(*src);
    json oracleBefore;
    if (havePypff) oracleBefore = json::parse(run({"/usr/bin/python3", oracle, source.string()}, 120).out);
    for (const std::string treatment : {"copy", "remove", "extract", "extract-zip"}) {
      SCOPED_TRACE(std::string(name) + " " + treatment);
      const fs::path made = compress(source, treatment, tmp / name / treatment);
      ASSERT_TRUE(fs::exists(made));
      EXPECT_EQ(findingsOf(made), "");
      auto out = p::Store::open(made);
      Describer after(*out);
      std::set<std::string> there;
      for (const auto& [nid, path] : after.folders()) there.insert(kindOf(path));
      there.erase("(search)");  // search folders are never carried over
      EXPECT_EQ(keptOf(before.named(), there, treatment == "copy"), normalised(after.named()));
      for (const auto& [k, list] : after.named())
        for (const std::string& t : list) EXPECT_NE(t, "(nothing)") << k;
      // The source's Inbox still receives, in its copy.
      if (auto inbox = p::inboxOf(p::readReceiveFolders(*src))) {
        auto newInbox = p::inboxOf(p::readReceiveFolders(*out));
        ASSERT_TRUE(newInbox.has_value());
        EXPECT_EQ(kindOf(after.folderAt(*newInbox)), kindOf(before.folderAt(*inbox)));
        EXPECT_EQ(out->storeProperties().getInt32(m::tag::ValidFolderMask).value_or(0) & 0x02, 0x02);
      }
      if (!havePypff) continue;
      json oracleAfter = json::parse(run({"/usr/bin/python3", oracle, made.string()}, 120).out);
      std::set<std::string> oracleThere;
      for (const auto& f : oracleAfter["folders"]) oracleThere.insert(kindOf(f.get<std::string>()));
      oracleThere.erase("(search)");
      EXPECT_EQ(keptOf(fromJson(oracleBefore["ids"]), oracleThere, treatment == "copy"),
                normalised(fromJson(oracleAfter["ids"])));
    }
  }
  if (!havePypff) GTEST_SKIP() << "python3-pypff not installed: compared through our reader only";
}

TEST(CompressKeepsSettings, AProtectedSourceGivesAProtectedPst) {
  TempDir tmp;
  const fs::path source = tmp / "protected.pst";
  {
    auto w = p::Writer::create(source, "Protected");
    auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");
    m::Message msg;
    msg.props.set(m::tag::Subject, m::PropValue::unicode("hello"));
    w->addMessage(inbox, msg);
    m::PropertyBag settings;
    settings.set(m::tag::PstPassword, m::PropValue::int32(0x1F2E3D4C));
    w->setStoreProperties(settings);
    w->close();
  }
  const fs::path made = compress(source, "remove", tmp / "dest");
  ASSERT_TRUE(fs::exists(made));
  EXPECT_EQ(p::Store::open(made)->storeProperties().getInt32(m::tag::PstPassword), 0x1F2E3D4C);
}

}  // namespace
}  // namespace varnolt::test
