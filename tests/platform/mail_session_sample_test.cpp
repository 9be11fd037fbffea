// Real PST files copied through the mail session the way the compression
// run walks them (mail folders message by message through numbered .msg
// files, other folders whole by CopyInto), then read back by libpff,
// libpst and pst-extractor, checked by our checker and compared property
// by property with the source. And links appended through HTMLBody, read
// back by the same readers and by msgreader.

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "engine/naming.h"
#include "mapi/body/body.h"
#include "mapi/body/html_text.h"
#include "mapi/msg/msg_file.h"
#include "mapi/pst/messaging/store.h"
#include "platform/mail_session.h"
#include "platform/store_adapter.h"
#include "tests/support/test_support.h"

namespace e = varnolt::engine;
namespace m = varnolt::mapi;
namespace t = varnolt::test;
using nlohmann::json;

namespace {

// ---- the copy, the way the compression run makes it

void copyFolder(e::MailSession& session, const std::shared_ptr<e::MailFolder>& from,
                const std::shared_ptr<e::MailFolder>& to, const t::fs::path& scratch, int& serial) {
  auto folders = from->Subfolders()->Enumerate();
  while (auto f = folders->Next()) {
    if (f->DefaultItemKind() != e::kMailItemKind) {
      f->CopyInto(to);
      continue;
    }
    auto g = to->Subfolders()->AddSubfolder(f->FolderName());
    auto items = f->ItemList()->Enumerate();
    while (auto item = items->Next()) {
      auto fresh = g->ItemList()->NewItem();
      const std::string path = (scratch / (std::to_string(++serial) + ".msg")).string();
      item->SaveToFile(path);
      auto x = session.GetMessageFromMsgFile(path);
      x->Commit();
      fresh->ImportFromFile(path, e::kImportMsgFile);
      fresh->Commit();
    }
    if (f->Subfolders()->Count() != 0) copyFolder(session, f, g, scratch, serial);
  }
}

void copyStore(const t::fs::path& source, const t::fs::path& target, const t::fs::path& scratch) {
  auto session = varnolt::platform::NewMailSession();
  session->LogOnDefault();
  auto stores = session->StoreList();
  auto from = stores->AttachPstFile(source.string(), e::kFormatUnicodePst, std::nullopt);
  auto to = stores->AttachPstFile(target.string(), e::kFormatUnicodePst, std::string("KestrikCompress PST"));
  auto top = to->TopFolder();
  auto existing = top->Subfolders()->Enumerate();
  while (auto f = existing->Next()) f->RemoveFolder();
  int serial = 0;
  copyFolder(*session, from->TopFolder(), top, scratch, serial);
  to->Close();
  from->Close();
}

std::string topName(const t::fs::path& pst) { return m::pst::Store::open(pst)->ipmSubtree()->displayName(); }

// ---- the readers

bool haveNodeModule(const std::string& module) {
  return t::haveProgram("node") && t::fs::exists(t::sourceDir() / "tests/oracles/node_modules" / module);
}

bool havePypff() { return t::run({"/usr/bin/python3", "-c", "import pypff"}, 60).exitCode == 0; }

std::optional<json> runJson(const std::vector<std::string>& argv) {
  t::CommandResult r = t::run(argv, 600);
  if (r.exitCode != 0) return std::nullopt;
  return json::parse(r.out);
}

json mustRunJson(const std::vector<std::string>& argv) {
  t::CommandResult r = t::run(argv, 600);
  EXPECT_EQ(r.exitCode, 0) << argv[1] << ": " << r.err.substr(0, 2000);
  return r.exitCode == 0 ? json::parse(r.out) : json();
}

std::string oracle(const std::string& name) { return (t::sourceDir() / "tests/oracles" / name).string(); }
std::string bodiesScript() { return (t::sourceDir() / "tests/oracles/pst_bodies_dump.py").string(); }

// The folders below the top of the personal folders, each path without
// the top's own name (the new store names it anew), in a stable order.
json underTop(const json& dump, const std::string& top, bool keepClass = false) {
  std::vector<json> out;
  for (json f : dump.value("folders", json::array())) {
    if (f["path"].size() < 2 || f["path"][0] != top) continue;
    f["path"].erase(f["path"].begin());
    if (!keepClass) f.erase("container_class");
    out.push_back(f);
  }
  // Folders of one name keep the order the store lists them in.
  std::stable_sort(out.begin(), out.end(),
                   [](const json& a, const json& b) { return a["path"].dump() < b["path"].dump(); });
  return out;
}

// The copy as a reader sees it against the source as it sees it: the same
// folders, each message of the source the reader could read found in the
// copy, and every message of the copy read whole. (libpff refuses a few
// values of one sample; order within a folder is not compared here.)
void expectSameContent(const json& source, const json& copy, const std::string& reader) {
  SCOPED_TRACE(reader);
  ASSERT_EQ(source.size(), copy.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    const std::string where = source[i]["path"].dump();
    ASSERT_EQ(source[i]["path"], copy[i]["path"]);
    EXPECT_EQ(source[i].contains("errors"), copy[i].contains("errors") && source[i].contains("errors")) << where;
    std::vector<json> left(copy[i]["messages"].begin(), copy[i]["messages"].end());
    EXPECT_EQ(source[i]["messages"].size(), left.size()) << where;
    for (const json& c : left) EXPECT_EQ(c.dump().find("\"errors\""), std::string::npos) << where << " " << c.dump();
    for (const json& s : source[i]["messages"]) {
      if (s.dump().find("\"errors\"") != std::string::npos) continue;
      auto it = std::find(left.begin(), left.end(), s);
      EXPECT_NE(it, left.end()) << where << ": not in the copy: " << s.dump().substr(0, 400);
      if (it != left.end()) left.erase(it);
    }
  }
}

json sortedFolders(json dump, const char* key) {
  json list = dump[key];
  if (list.is_array()) {
    for (auto& f : list)
      for (auto& [k, v] : f.items())
        if (v.is_array())
          std::sort(v.begin(), v.end(), [](const json& a, const json& b) { return a.dump() < b.dump(); });
    std::sort(list.begin(), list.end(), [](const json& a, const json& b) { return a.dump() < b.dump(); });
  }
  return list;
}

// ---- property comparison

// Properties a new store gives values of its own, by where they are and
// their tag (or name): the copy may differ from the source in these only.
const std::map<std::string, std::string> kRenewed = {
    {"message 0x0E080003", "PR_MESSAGE_SIZE: the store computes the size of what it holds"},
    {"message 0x0E170003", "PR_MSG_STATUS: every message of a PST has one; the store adds 0 where the source had none"},
    {"message 0x30070040",
     "PR_CREATION_TIME: every message of a PST has one; the store stamps it where the source had none"},
    {"message 0x30080040", "PR_LAST_MODIFICATION_TIME: as PR_CREATION_TIME"},
    {"message 0x300B0102",
     "PR_SEARCH_KEY: every message of a PST has one; the store makes one where the source had none"},
    {"folder 0x66350003", "PR_PST_HIDDEN_COUNT: a count the store keeps of its own; the new store does not write it"},
    {"folder 0x66360003", "PR_PST_HIDDEN_UNREAD: as PR_PST_HIDDEN_COUNT"},
    {"message 0x00000000", "PR_NULL: a tag of nothing, which no store keeps"},
    {"folder 0x3613001F",
     "PR_CONTAINER_CLASS: AddSubfolder makes a mail folder, IPF.Note, where the source had no class"},
    {"folder 0x360A000B", "PR_SUBFOLDERS: the store computes it from the folders it holds"},
    {"folder 0x67F20003", "PidTagLtpRowId: the row of the folder in the source's hierarchy table"},
    {"folder 0x67F30003", "PidTagLtpRowVer: as PidTagLtpRowId"},
    {"folder 0x0E300102", "PR_REPL_ITEMID: replication state of the source store"},
    {"folder 0x0E340102", "PR_REPL_VERSIONHISTORY: replication state of the source store"},
    // AddSubfolder makes a folder from its name alone, as the folder walk
    // asks; these properties of a source mail folder, mostly entry ids
    // pointing into the source store, stay behind.
    {"folder 0x3004001F", "PR_COMMENT: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D00102", "PR_IPM_APPOINTMENT_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D10102", "PR_IPM_CONTACT_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D20102", "PR_IPM_JOURNAL_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D30102", "PR_IPM_NOTE_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D40102", "PR_IPM_TASK_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D50102", "PR_REM_ONLINE_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D70102", "PR_IPM_DRAFTS_ENTRYID: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D81102", "PR_ADDITIONAL_REN_ENTRYIDS: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36D90102", "PR_ADDITIONAL_REN_ENTRYIDS_EX: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36DA0102", "PR_EXTENDED_FOLDER_FLAGS: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36E41102", "PR_FREEBUSY_ENTRYIDS: AddSubfolder makes a folder from its name alone"},
    {"folder 0x36EB0102", "PR_FOLDER_WEBVIEWINFO: AddSubfolder makes a folder from its name alone"},
};

std::string key(const json& p) {
  return p.contains("name") ? p["name"].get<std::string>() + "/" + p["type"].get<std::string>()
                            : p["tag"].get<std::string>();
}

void compareBags(const std::string& kind, const std::string& where, const json& source, const json& copy,
                 std::set<std::string>& differing, std::vector<std::string>& unexpected) {
  std::map<std::string, json> a, b;
  for (const auto& p : source) a[key(p)] = p["value"];
  for (const auto& p : copy) b[key(p)] = p["value"];
  std::set<std::string> keys;
  for (const auto& [k, v] : a) keys.insert(k);
  for (const auto& [k, v] : b) keys.insert(k);
  for (const auto& k : keys) {
    auto x = a.find(k), y = b.find(k);
    if (x != a.end() && y != b.end() && x->second == y->second) continue;
    const std::string id = kind + " " + k;
    differing.insert(id);
    // A named id the source's name-to-id map does not name (it is keyed by
    // its tag, not its name) means nothing in another store.
    const bool unnamed = k.rfind("0x", 0) == 0 && std::stoul(k.substr(2, 4), nullptr, 16) >= 0x8000;
    if (kRenewed.count(id) == 0 && !unnamed) {
      std::string sv = x == a.end() ? "(absent)" : x->second.dump().substr(0, 80);
      std::string cv = y == b.end() ? "(absent)" : y->second.dump().substr(0, 80);
      unexpected.push_back(where + ": " + id + " " + sv + " -> " + cv);
    }
  }
}

void compareMessages(const std::string& where, const json& source, const json& copy, std::set<std::string>& differing,
                     std::vector<std::string>& unexpected) {
  compareBags("message", where, source["properties"], copy["properties"], differing, unexpected);
  const json& sr = source["recipient_properties"];
  const json& cr = copy["recipient_properties"];
  EXPECT_EQ(sr.size(), cr.size()) << where;
  for (std::size_t i = 0; i < std::min(sr.size(), cr.size()); ++i)
    compareBags("recipient", where + " recipient " + std::to_string(i + 1), sr[i], cr[i], differing, unexpected);
  const json& sa = source["attachments"];
  const json& ca = copy["attachments"];
  EXPECT_EQ(sa.size(), ca.size()) << where;
  for (std::size_t i = 0; i < std::min(sa.size(), ca.size()); ++i) {
    const std::string w = where + " attachment " + std::to_string(i + 1);
    compareBags("attachment", w, sa[i]["properties"], ca[i]["properties"], differing, unexpected);
    if (sa[i].contains("embedded") && sa[i]["embedded"].is_object() && ca[i].contains("embedded"))
      compareMessages(w + " embedded", sa[i]["embedded"], ca[i]["embedded"], differing, unexpected);
  }
}

// ---- one sample

class SampleCopy : public ::testing::TestWithParam<std::string> {};

TEST_P(SampleCopy, ReadersSeeWhatTheSourceHolds) {
  VARNOLT_REQUIRE_SAMPLES();
  const t::fs::path source = t::samplesDir() / "pst" / GetParam();
  t::TempDir dir;
  t::fs::create_directories(dir / "MSG Folder");
  const t::fs::path copy = dir / "KestrikCompress.pst";
  const std::string sourceHash = t::fileSha256(source);
  ASSERT_NO_THROW(copyStore(source, copy, dir / "MSG Folder"));
  EXPECT_EQ(t::fileSha256(source), sourceHash) << "the source was written";
  ASSERT_TRUE(t::fs::exists(copy));
  const std::string cli = (t::programPath("varnolt-cli")).string();
  const std::string sourceTop = topName(source), copyTop = topName(copy);

  // Our checker.
  t::CommandResult check = t::run({cli, "check", copy.string()});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;

  // Every property, source against copy.
  {
    json a = mustRunJson({cli, "inspect", "--properties", source.string()});
    json b = mustRunJson({cli, "inspect", "--properties", copy.string()});
    json fa = underTop(a, sourceTop, true), fb = underTop(b, copyTop, true);
    ASSERT_EQ(fa.size(), fb.size());
    std::set<std::string> differing;
    std::vector<std::string> unexpected;
    for (std::size_t i = 0; i < fa.size(); ++i) {
      const std::string where = fa[i]["path"].dump();
      ASSERT_EQ(fa[i]["path"], fb[i]["path"]);
      compareBags("folder", where, fa[i]["properties"], fb[i]["properties"], differing, unexpected);
      const json& ma = fa[i]["messages"];
      const json& mb = fb[i]["messages"];
      ASSERT_EQ(ma.size(), mb.size()) << where;
      for (std::size_t k = 0; k < ma.size(); ++k)
        compareMessages(where + " message " + std::to_string(k + 1), ma[k], mb[k], differing, unexpected);
    }
    std::string list;
    for (const auto& u : unexpected) list += "  " + u + "\n";
    EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " properties differ:\n" << list;
  }

  // libpff: folders, subjects, attachments and bodies.
  if (havePypff()) {
    json a = mustRunJson({"/usr/bin/python3", oracle("pst_pypff_dump.py"), source.string()});
    json b = mustRunJson({"/usr/bin/python3", oracle("pst_pypff_dump.py"), copy.string()});
    expectSameContent(underTop(a, sourceTop), underTop(b, copyTop), "pypff");
    a = mustRunJson({"/usr/bin/python3", bodiesScript(), "pypff", source.string()});
    b = mustRunJson({"/usr/bin/python3", bodiesScript(), "pypff", copy.string()});
    expectSameContent(underTop(a, sourceTop), underTop(b, copyTop), "pypff bodies");
  }

  // libpst: lspst's folders and subjects, readpst's attachments and bodies.
  if (t::haveProgram("readpst") && t::haveProgram("lspst")) {
    t::fs::create_directories(dir / "rs");
    t::fs::create_directories(dir / "rc");
    json a = mustRunJson({"/usr/bin/python3", oracle("pst_readpst_dump.py"), source.string(), (dir / "rs").string()});
    json b = mustRunJson({"/usr/bin/python3", oracle("pst_readpst_dump.py"), copy.string(), (dir / "rc").string()});
    EXPECT_EQ(a["lspst"], b["lspst"]);
    EXPECT_EQ(sortedFolders(a, "readpst"), sortedFolders(b, "readpst"));
    t::fs::create_directories(dir / "bs");
    t::fs::create_directories(dir / "bc");
    a = mustRunJson({"/usr/bin/python3", bodiesScript(), "readpst", source.string(), (dir / "bs").string()});
    b = mustRunJson({"/usr/bin/python3", bodiesScript(), "readpst", copy.string(), (dir / "bc").string()});
    EXPECT_EQ(a, b);
  }

  // pst-extractor, which cannot read ANSI files: there the copy must at
  // least be read whole.
  if (haveNodeModule("pst-extractor")) {
    std::optional<json> a = runJson({"node", oracle("pst_extractor_dump.js"), source.string()});
    json b = mustRunJson({"node", oracle("pst_extractor_dump.js"), copy.string()});
    if (a) {
      expectSameContent(underTop(*a, sourceTop), underTop(b, copyTop), "pst-extractor");
    }
  }
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SampleCopy);
INSTANTIATE_TEST_SUITE_P(EverySample, SampleCopy, ::testing::ValuesIn([] {
                           std::vector<std::string> names;
                           for (const auto& f : t::sampleFiles("pst", ".pst")) names.push_back(f.filename().string());
                           return names;
                         }()),
                         [](const ::testing::TestParamInfo<std::string>& sample) {
                           std::string n = sample.param.substr(0, sample.param.size() - 4);
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

// ---- a link appended through HTMLBody

struct LinkSample {
  const char* name;
  const char* file;     // under samples/
  const char* subject;  // the message, in a PST; empty for a .msg file
};

// One message with an HTML body, one whose body is only RTF (HTML
// wrapped in it), one with ordinary RTF beside its text, and one with
// plain text only.
const LinkSample kLinkSamples[] = {
    {"html", "pst/unicode-one-attachment.pst", "Here is a sample message"},
    {"rtf_only", "msg/knowledgebase-message3.msg", ""},
    {"rtf_with_text", "msg/email-msg-file-with-rtf-formatting.msg", ""},
    {"plain_only", "pst/mailing-list.pst", "[I] How to install Apache Age 1.4.0 on Ubuntu server 20.04"},
};

void PrintTo(const LinkSample& s, std::ostream* os) { *os << s.file; }

// readpst writes its mbox files with bare line feeds.
std::string lineFeeds(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

std::shared_ptr<e::MailMessage> findBySubject(const std::shared_ptr<e::MailFolder>& folder, const std::string& subject,
                                              const t::fs::path& scratch) {
  auto items = folder->ItemList()->Enumerate();
  int n = 0;
  while (auto item = items->Next()) {
    const std::string path = (scratch / ("find" + std::to_string(++n) + ".msg")).string();
    item->SaveToFile(path);
    if (m::msg::readMessageFile(path).props.getString(0x0037).value_or("").find(subject) != std::string::npos)
      return item;
  }
  auto folders = folder->Subfolders()->Enumerate();
  while (auto f = folders->Next())
    if (auto found = findBySubject(f, subject, scratch)) return found;
  return nullptr;
}

json firstMessage(const json& dump) {
  for (const auto& f : dump["folders"])
    if (!f["messages"].empty()) return f["messages"][0];
  return json();
}

class HtmlLink : public ::testing::TestWithParam<LinkSample> {};

TEST_P(HtmlLink, EveryReaderShowsTheLinkAndTheBodyBeforeIt) {
  VARNOLT_REQUIRE_SAMPLES();
  const LinkSample& s = GetParam();
  t::TempDir dir;
  auto session = varnolt::platform::NewMailSession();
  const t::fs::path msgPath = dir / "1.msg";
  if (std::string(s.subject).empty()) {
    t::fs::copy_file(t::samplesDir() / s.file, msgPath);
  } else {
    auto source =
        session->StoreList()->AttachPstFile((t::samplesDir() / s.file).string(), e::kFormatUnicodePst, std::nullopt);
    auto item = findBySubject(source->TopFolder(), s.subject, dir.path());
    ASSERT_TRUE(item) << s.subject;
    item->SaveToFile(msgPath.string());
  }

  // A body that is RTF of its own takes the link into the RTF, as a field;
  // the others become HTML with the link.
  const bool rtfBody = varnolt::mapi::body::rtfIsTheBody(varnolt::mapi::msg::readMessageFile(msgPath).props);
  const std::string field = "{\\field{\\*\\fldinst{HYPERLINK \"file:///tmp/Varnolt run/Outlook_Attachments/";

  // As the attachment handler does it: read, append, write the whole text.
  auto x = session->GetMessageFromMsgFile(msgPath.string());
  const std::string before = x->HTMLBody();
  const std::string plainBefore = x->Body();
  ASSERT_FALSE(before.empty());
  const std::string link = e::HtmlLink("/tmp/Varnolt run/Outlook_Attachments/Kestrik_x_Q3_report.pdf", "Q3 report.pdf");
  const std::string target = "file:///tmp/Varnolt run/Outlook_Attachments/Kestrik_x_Q3_report.pdf";
  x->HTMLBody(before + link);
  x->Commit();
  const std::string expected = varnolt::mapi::body::declareUtf8(before + link);
  if (!rtfBody) {
    EXPECT_EQ(x->HTMLBody(), expected);
  }
  const std::string plain = x->Body();
  EXPECT_NE(plain.find(target), std::string::npos) << plain;

  // Into a new PST.
  {
    auto store = session->StoreList()->AttachPstFile((dir / "new.pst").string(), e::kFormatUnicodePst,
                                                     std::string("KestrikCompress PST"));
    auto item = store->TopFolder()->Subfolders()->AddSubfolder("Inbox")->ItemList()->NewItem();
    item->ImportFromFile(msgPath.string(), e::kImportMsgFile);
    item->Commit();
    store->Close();
  }

  // The text before the link is the text that was there: every line of
  // the old plain body is still there, in order.
  auto keepsOldText = [&](const std::string& text) {
    std::size_t at = 0;
    std::size_t start = 0;
    const std::string old = plainBefore;
    while (start < old.size()) {
      std::size_t end = old.find('\n', start);
      if (end == std::string::npos) end = old.size();
      std::string line = old.substr(start, end - start);
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      while (!line.empty() && line.front() == ' ') line.erase(0, 1);
      start = end + 1;
      if (line.empty()) continue;
      std::size_t found = text.find(line, at);
      if (found == std::string::npos) return ::testing::AssertionFailure() << "missing: " << line;
      at = found + line.size();
    }
    return ::testing::AssertionSuccess();
  };

  if (haveNodeModule("@kenjiuno/msgreader")) {
    json r = mustRunJson({"node", oracle("msg_body_dump.js"), msgPath.string()});
    if (rtfBody) {
      EXPECT_TRUE(r["html"].is_null());
      EXPECT_NE(r["rtf"].get<std::string>().find(field), std::string::npos);
    } else {
      EXPECT_EQ(r["html"], expected);
    }
    ASSERT_TRUE(r["body"].is_string());
    EXPECT_NE(r["body"].get<std::string>().find(target), std::string::npos);
    EXPECT_TRUE(keepsOldText(r["body"].get<std::string>()));
  }
  if (havePypff()) {
    json msg = firstMessage(mustRunJson({"/usr/bin/python3", bodiesScript(), "pypff", (dir / "new.pst").string()}));
    if (rtfBody) {
      EXPECT_TRUE(msg["html"].is_null());
      EXPECT_NE(msg["rtf"].get<std::string>().find(field), std::string::npos);
    } else {
      EXPECT_EQ(msg["html"], expected);
    }
    ASSERT_TRUE(msg["plain"].is_string());
    EXPECT_NE(msg["plain"].get<std::string>().find(target), std::string::npos);
    EXPECT_TRUE(keepsOldText(msg["plain"].get<std::string>()));
  }
  if (t::haveProgram("readpst")) {
    t::fs::create_directories(dir / "readpst");
    json msg = firstMessage(mustRunJson(
        {"/usr/bin/python3", bodiesScript(), "readpst", (dir / "new.pst").string(), (dir / "readpst").string()}));
    if (!rtfBody) {
      ASSERT_TRUE(msg["html"].is_string());
      EXPECT_EQ(msg["html"].get<std::string>(), lineFeeds(expected));
    }
    ASSERT_TRUE(msg["plain"].is_string());
    EXPECT_NE(msg["plain"].get<std::string>().find(target), std::string::npos);
    EXPECT_TRUE(keepsOldText(msg["plain"].get<std::string>()));
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, HtmlLink, ::testing::ValuesIn(kLinkSamples),
                         [](const ::testing::TestParamInfo<LinkSample>& sample) {
                           return std::string(sample.param.name);
                         });

// ---- the compress command over the session

// varnolt-cli compress with the extract treatment: every attachment of a
// mail folder is saved beside the new PST and linked from its message;
// calendars and contacts keep theirs; the new PST passes the check.
TEST(CompressCommand, ExtractsEveryMailAttachmentAndLinksIt) {
  VARNOLT_REQUIRE_SAMPLES();
  if (!havePypff()) GTEST_SKIP() << "python3-pypff is missing";
  const t::fs::path source = t::samplesDir() / "pst" / "mixed-attachments.pst";
  t::TempDir dest;
  const std::string cli = (t::programPath("varnolt-cli")).string();
  t::CommandResult r =
      t::run({cli, "compress", "--treatment", "extract", "--dest", dest.path().string(), source.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE((r.out + r.err).find("Compress Successfully!!!"), std::string::npos) << r.out << r.err;

  std::vector<t::fs::path> runs;
  for (const auto& entry : t::fs::directory_iterator(dest.path())) runs.push_back(entry.path());
  ASSERT_EQ(runs.size(), 1u);
  const t::fs::path copy = runs[0] / "KestrikCompress.pst";
  EXPECT_FALSE(t::fs::exists(runs[0] / "MSG Folder"));
  EXPECT_EQ(t::run({cli, "check", copy.string()}).exitCode, 0);

  json before =
      underTop(mustRunJson({"/usr/bin/python3", oracle("pst_pypff_dump.py"), source.string()}), topName(source), true);
  json after =
      underTop(mustRunJson({"/usr/bin/python3", oracle("pst_pypff_dump.py"), copy.string()}), topName(copy), true);
  json bodies = underTop(mustRunJson({"/usr/bin/python3", bodiesScript(), "pypff", copy.string()}), topName(copy));
  ASSERT_EQ(before.size(), after.size());
  ASSERT_EQ(after.size(), bodies.size());

  // The saved files: one per attachment of a mail folder, the bytes of
  // each attachment by value among them.
  std::multiset<std::string> saved;
  std::size_t files = 0;
  for (const auto& entry : t::fs::directory_iterator(runs[0] / "Outlook_Attachments")) {
    saved.insert(t::fileSha256(entry.path()));
    ++files;
  }
  std::size_t mailAttachments = 0;
  std::string links;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::string where = before[i]["path"].dump();
    const json cls = before[i].value("container_class", json());
    const bool mail =
        varnolt::platform::detail::ItemKindOfClass(cls.is_string() ? std::optional<std::string>(cls.get<std::string>())
                                                                   : std::nullopt) == e::kMailItemKind;
    if (!mail) {
      expectSameContent(json::array({before[i]}), json::array({after[i]}), "a folder that is not mail, untouched");
      continue;
    }
    for (const auto& msg : after[i]["messages"])
      EXPECT_TRUE(msg.value("attachments", json::array()).empty()) << where << " " << msg.dump().substr(0, 300);
    for (const auto& msg : before[i]["messages"]) {
      for (const auto& a : msg.value("attachments", json::array())) {
        ++mailAttachments;
        if (!a.contains("sha256")) continue;
        auto it = saved.find(a["sha256"].get<std::string>());
        EXPECT_NE(it, saved.end()) << "not saved: " << a.dump();
        if (it != saved.end()) saved.erase(it);
      }
    }
    for (const auto& msg : bodies[i]["messages"])
      if (msg.value("html", json()).is_string()) links += msg["html"].get<std::string>();
  }
  EXPECT_GT(mailAttachments, 0u);
  EXPECT_EQ(files, mailAttachments);
  for (const auto& entry : t::fs::directory_iterator(runs[0] / "Outlook_Attachments")) {
    // Written as the link rule writes a path (percent-encoded).
    const std::string target = e::LinkTarget(entry.path().string(), "linux", "12.0");
    EXPECT_NE(links.find("file://" + target), std::string::npos) << "no link to " << entry.path();
  }
}

}  // namespace
