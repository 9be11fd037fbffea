// varnolt-cli compress leaves nothing of the source's folder tree behind:
// every message of the top folder's tree (the top folder's own included)
// is in the new PST, in the folder of the same path, and every folder has
// its source folder's hidden items (rules, views and the like). Checked
// with every treatment over every sample PST, a mailbox made here with
// messages in its top folder and hidden items in its mail folders, and the
// same mailbox as an OST, each read back by libpff (pypff) and by
// pst-extractor against the source as they read it.

#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "mapi/tags.h"
#include "tests/support/ost_fixture.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using nlohmann::json;
namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;

const std::vector<std::string> kTreatments = {"remove", "extract", "extract-zip"};
const std::string kMadePst = "made:mailbox.pst";
const std::string kMadeOst = "made:mailbox.ost";

std::string cli() { return (programPath("varnolt-cli")).string(); }

// One folder as an independent reader sees it.
struct Folder {
  json path;
  json messages;  // subjects, sorted
  json hidden;    // {subject, class} of the hidden items, sorted
  std::string containerClass;
  bool operator<(const Folder& o) const {
    return std::tie(path, messages, hidden) < std::tie(o.path, o.messages, o.hidden);
  }
};

// The tree below the root's folder named top, as one reader sees it;
// nothing when the reader failed on the file or on part of it.
std::optional<std::vector<Folder>> readTree(const std::string& reader, const fs::path& file, const std::string& top) {
  const fs::path scripts = sourceDir() / "tests" / "oracles";
  const CommandResult r =
      reader == "pypff"
          ? run({"/usr/bin/python3", (scripts / "folder_tree_pypff.py").string(), file.string(), top}, 300)
          : run({"node", (scripts / "folder_tree_extractor.js").string(), file.string(), top}, 300);
  if (r.exitCode != 0) return std::nullopt;
  const json doc = json::parse(r.out.substr(0, r.out.find('\n')));
  std::vector<Folder> out;
  for (const auto& f : doc.at("folders")) {
    if (f.contains("errors")) return std::nullopt;
    out.push_back({f.at("path"), f.at("messages"), f.at("hidden"),
                   f.at("container_class").is_string() ? f.at("container_class").get<std::string>() : ""});
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool isMailClass(const std::string& cls) {
  return cls.empty() || cls == "IPF.Note" || cls.rfind("IPF.Note.", 0) == 0 || cls == "IPF.Imap";
}

m::Message item(const std::string& messageClass, const std::string& subject, bool withAttachment = false) {
  m::Message msg;
  msg.props.set(m::tag::MessageClass, m::PropValue::unicode(messageClass));
  msg.props.set(m::tag::Subject, m::PropValue::unicode(subject));
  msg.props.set(m::tag::Body, m::PropValue::unicode("Body of " + subject));
  if (withAttachment) {
    m::Attachment a;
    a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
    a.props.set(m::tag::AttachLongFilename, m::PropValue::unicode(subject + ".txt"));
    a.props.set(m::tag::AttachDataBinary, m::PropValue::binary({'d', 'a', 't', 'a'}));
    msg.attachments.push_back(a);
  }
  return msg;
}

// A mailbox as Outlook leaves one: messages in the top folder, rules and
// views as hidden items of mail folders, a calendar with one of its own.
void fillMailbox(p::Writer& w, p::NodeId top) {
  w.addMessage(top, item("IPM.Note", "Kept at the top", true));
  w.addMessage(top, item("IPM.Note", "Also at the top"));
  w.addMessage(top, item("IPM.Microsoft.WunderBar.Link", "Shortcut"), true);
  const p::NodeId inbox = w.createFolder(top, "Inbox", "IPF.Note");
  w.addMessage(inbox, item("IPM.Note", "Hello", true));
  w.addMessage(inbox, item("IPM.Note", "Plain"));
  w.addMessage(inbox, item("IPM.RuleOrganizer", "Rules", true), true);
  w.addMessage(inbox, item("IPM.ExtendedRule.Message", "Move newsletters"), true);
  const p::NodeId projects = w.createFolder(inbox, "Projects", "IPF.Note");
  w.addMessage(projects, item("IPM.Note", "Plan", true));
  w.addMessage(projects, item("IPM.Microsoft.FolderDesign.NamedView", "Compact view"), true);
  const p::NodeId calendar = w.createFolder(top, "Calendar", "IPF.Appointment");
  w.addMessage(calendar, item("IPM.Appointment", "Weekly meeting", true));
  w.addMessage(calendar, item("IPM.Microsoft.FolderDesign.NamedView", "Day view"), true);
}

class CompressWalk : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  void SetUp() override {
    for (const char* program : {"node", "/usr/bin/python3"})
      if (!haveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps)";
    const std::string& name = std::get<0>(GetParam());
    if (name == kMadePst) {
      source = tmp / "mailbox.pst";
      auto w = p::Writer::create(source, "Mailbox");
      fillMailbox(*w, w->ipmSubtree());
      w->close();
    } else if (name == kMadeOst) {
      source = tmp / "mailbox.ost";
      sourceTop = "IPM_SUBTREE";
      makeOst(source, fillMailbox);
    } else {
      VARNOLT_REQUIRE_SAMPLES();
      source = samplesDir() / "pst" / name;
    }
  }

  TempDir tmp;
  fs::path source;
  std::string sourceTop = "Top of*";
};

TEST_P(CompressWalk, EveryMessageAndHiddenItemOfTheTopFolderTreeIsInTheNewPst) {
  const std::string& treatment = std::get<1>(GetParam());
  const fs::path dest = tmp / "dest";
  fs::create_directory(dest);
  const CommandResult r = run({cli(), "compress", "--treatment", treatment, "--dest", dest.string(), source.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("  failed steps: none\n"), std::string::npos) << r.out;
  std::vector<fs::path> runFolders;
  for (const auto& e : fs::directory_iterator(dest)) runFolders.push_back(e.path());
  ASSERT_EQ(runFolders.size(), 1u);
  const fs::path newPst = runFolders[0] / "KestrikCompress.pst";
  const CommandResult format = run({cli(), "inspect", newPst.string()});
  ASSERT_EQ(format.exitCode, 0) << format.err;
  EXPECT_EQ(json::parse(format.out).at("format"), "unicode");
  const CommandResult check = run({cli(), "check", newPst.string()});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

  // Each reader's view of the source, where it reads the source whole.
  const auto sourceByPypff = readTree("pypff", source, sourceTop);
  const auto sourceByExtractor = readTree("extractor", source, sourceTop);
  ASSERT_TRUE(sourceByPypff || sourceByExtractor) << "no reader reads " << source;
  for (const std::string reader : {"pypff", "extractor"}) {
    SCOPED_TRACE(reader);
    const auto copy = readTree(reader, newPst, "Top of*");
    ASSERT_TRUE(copy) << reader << " cannot read " << newPst;
    const std::vector<Folder>& want =
        reader == "pypff" ? (sourceByPypff ? *sourceByPypff : *sourceByExtractor)
                          : (sourceByExtractor ? *sourceByExtractor : *sourceByPypff);
    ASSERT_EQ(copy->size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      SCOPED_TRACE("folder " + want[i].path.dump());
      EXPECT_EQ((*copy)[i].path, want[i].path);
      EXPECT_EQ((*copy)[i].messages, want[i].messages);
      EXPECT_EQ((*copy)[i].hidden, want[i].hidden);
    }
  }

  // The account of the run: the source's messages, those of its mail
  // folders (the top folder's among them) copied one by one, the rest in
  // folders copied whole.
  const std::vector<Folder>& tree = sourceByPypff ? *sourceByPypff : *sourceByExtractor;
  std::size_t inSource = 0, inMail = 0;
  for (const Folder& f : tree) {
    inSource += f.messages.size();
    bool whole = false;
    for (const Folder& above : tree) {
      const bool isAbove = above.path.size() <= f.path.size() &&
                           std::equal(above.path.begin(), above.path.end(), f.path.begin());
      if (isAbove && !isMailClass(above.containerClass)) whole = true;
    }
    if (!whole) inMail += f.messages.size();
  }
  EXPECT_NE(r.out.find("  messages in source: " + std::to_string(inSource) + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  messages copied: " + std::to_string(inMail) + " of " + std::to_string(inMail) + "\n"),
            std::string::npos)
      << r.out;
  if (inSource != inMail) {
    EXPECT_NE(r.out.find("with " + std::to_string(inSource - inMail) + " messages\n"), std::string::npos) << r.out;
  }

  // The mailboxes made here hold what the samples lack: messages in the
  // top folder and hidden items in mail folders.
  if (source.parent_path() == tmp.path()) {
    const Folder& top = tree.front();
    ASSERT_TRUE(top.path.empty());
    EXPECT_EQ(top.messages, json::array({"Also at the top", "Kept at the top"}));
    EXPECT_EQ(top.hidden.size(), 1u);
    for (const Folder& f : tree) {
      if (f.path == json::array({"Inbox"})) {
        EXPECT_EQ(f.hidden.size(), 2u);
      } else if (f.path == json::array({"Inbox", "Projects"})) {
        EXPECT_EQ(f.hidden.size(), 1u);
      }
    }
    EXPECT_EQ(inSource, 6u);
  }
}

std::vector<std::string> sources() {
  std::vector<std::string> names{kMadePst, kMadeOst};
  for (const auto& path : sampleFiles("pst", ".pst")) names.push_back(path.filename().string());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Sources, CompressWalk,
                         ::testing::Combine(::testing::ValuesIn(sources()), ::testing::ValuesIn(kTreatments)),
                         [](const auto& test) {
                           std::string n = std::get<0>(test.param) + "_" + std::get<1>(test.param);
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace
}  // namespace varnolt::test
