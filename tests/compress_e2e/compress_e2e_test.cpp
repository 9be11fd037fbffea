// varnolt-cli compress end to end, over every sample PST with every
// treatment: the run folder and what it holds, the new PST read back by
// independent readers (pst-extractor, libpff's pffinfo, libpst's readpst)
// against the source as the store library reads it, the attachments taken
// out of every mail folder and found again on disk through the links in
// the bodies, and the source left as it was. Then bad inputs among good
// ones, and destinations that cannot be written.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using nlohmann::json;

const std::vector<std::string> kTreatments = {"remove", "extract", "extract-zip"};

std::string cli() { return (programPath("varnolt-cli")).string(); }

json runJson(const std::vector<std::string>& argv) {
  const CommandResult r = run(argv, 300);
  if (r.exitCode != 0) throw std::runtime_error(argv[0] + " " + argv.back() + " failed: " + r.err);
  return json::parse(r.out);
}

// The store library's account of a PST or .msg file.
json inspect(const fs::path& file) { return runJson({cli(), "inspect", "--properties", file.string()}); }

// pst-extractor's account of a PST file.
json extractor(const fs::path& file) {
  return runJson({"node", (sourceDir() / "tests" / "oracles" / "pst_content.js").string(), file.string()});
}

bool startsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }
bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
std::string str(const json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }

// Folders the run treats as mail: no class, IPF.Note and its subclasses,
// IPF.Imap. The rest (calendars, contacts, tasks, ...) are copied whole.
bool isMailClass(const std::string& cls) {
  return cls.empty() || cls == "IPF.Note" || startsWith(cls, "IPF.Note.") || cls == "IPF.Imap";
}

struct Recipient {
  std::string name, email;
  bool operator<(const Recipient& o) const { return std::tie(name, email) < std::tie(o.name, o.email); }
  bool operator==(const Recipient& o) const { return std::tie(name, email) == std::tie(o.name, o.email); }
};

struct Attachment {
  std::string filename;
  int method = 0;
  std::string sha256;     // of the data, when it has data of its own
  std::string embedded;   // subject of an embedded message
  json embeddedMessage;   // the store library's account of it
};

struct Message {
  std::string subject;
  std::vector<Recipient> recipients;  // sorted
  std::vector<Attachment> attachments;
  std::string html, body;             // pst-extractor's text of the bodies
  json inspected;                     // the store library's account
};

struct Folder {
  std::string path;  // below the top of the personal folders, "/"-joined
  std::string containerClass;
  std::vector<Message> messages;  // sorted by subject
};

std::string joinPath(const json& path) {
  std::string out;
  for (std::size_t i = 1; i < path.size(); ++i) out += "/" + str(path[i]);
  return out;
}

// The folders below the top of the personal folders (the one folder under
// the root whose name begins "Top of"), in the reader's order.
std::vector<const json*> ipmFolders(const json& doc) {
  std::set<std::string> tops;
  for (const auto& f : doc.at("folders"))
    if (f.at("path").size() == 1 && startsWith(str(f.at("path")[0]), "Top of")) tops.insert(str(f.at("path")[0]));
  if (tops.size() != 1) throw std::runtime_error("no single top of the personal folders in " + doc.dump().substr(0, 200));
  std::vector<const json*> out;
  for (const auto& f : doc.at("folders"))
    if (f.at("path").size() >= 2 && str(f.at("path")[0]) == *tops.begin()) out.push_back(&f);
  return out;
}

std::string propertyText(const json& props, const std::string& id) {
  for (const auto& p : props)
    if (startsWith(str(p.at("tag")), id)) return str(p.at("value"));
  return "";
}

std::vector<Folder> fromInspect(const json& doc) {
  std::vector<Folder> out;
  for (const json* f : ipmFolders(doc)) {
    Folder folder{joinPath(f->at("path")), str(f->value("container_class", json())), {}};
    for (const auto& m : f->at("messages")) {
      Message msg;
      msg.subject = str(m.at("subject"));
      for (const auto& r : m.value("recipient_properties", json::array()))
        msg.recipients.push_back({propertyText(r, "0x3001"), propertyText(r, "0x3003")});
      std::sort(msg.recipients.begin(), msg.recipients.end());
      for (const auto& a : m.at("attachments")) {
        Attachment att{str(a.at("filename")), a.at("method").get<int>(), str(a.at("sha256")), "", json()};
        if (a.contains("embedded")) {
          att.embedded = str(a.at("embedded").at("subject"));
          att.embeddedMessage = a.at("embedded");
        }
        msg.attachments.push_back(std::move(att));
      }
      msg.inspected = m;
      folder.messages.push_back(std::move(msg));
    }
    out.push_back(std::move(folder));
  }
  return out;
}

std::vector<Folder> fromExtractor(const json& doc) {
  std::vector<Folder> out;
  for (const json* f : ipmFolders(doc)) {
    EXPECT_FALSE(f->contains("errors")) << f->dump();
    Folder folder{joinPath(f->at("path")), str(f->value("container_class", json())), {}};
    for (const auto& m : f->at("messages")) {
      EXPECT_FALSE(m.contains("errors")) << m.dump();
      Message msg;
      msg.subject = str(m.at("subject"));
      msg.html = str(m.value("html", json()));
      msg.body = str(m.value("body", json()));
      for (const auto& r : m.at("recipients")) msg.recipients.push_back({str(r.at("name")), str(r.at("email"))});
      std::sort(msg.recipients.begin(), msg.recipients.end());
      for (const auto& a : m.at("attachments")) {
        EXPECT_FALSE(a.contains("errors")) << a.dump();
        Attachment att{str(a.value("filename", json())), a.value("method", 0), str(a.value("sha256", json())), "",
                       json()};
        if (a.contains("embedded") && a.at("embedded").is_object()) att.embedded = str(a.at("embedded").at("subject"));
        msg.attachments.push_back(std::move(att));
      }
      folder.messages.push_back(std::move(msg));
    }
    out.push_back(std::move(folder));
  }
  return out;
}

// A link the run wrote into a body: the file it points at and the name it
// shows (empty for a plain-text link).
struct Link {
  fs::path target;
  std::string shown;
};

// A link's path as file managers read it; one that is no well-formed URI
// names no file.
std::string linkPath(const std::string& target) {
  return fileUriPath("file://" + target).value_or("(not a well-formed file URI: " + target + ")");
}

std::string unescapeHtml(std::string s) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [entity, text] : entities)
    for (std::size_t at = s.find(entity); at != std::string::npos; at = s.find(entity, at + 1))
      s.replace(at, std::string(entity).size(), text);
  return s;
}

std::vector<Link> linksIn(const Message& m) {
  std::vector<Link> out;
  // <a href="file://PATH">NAME</a>, PATH percent-encoded.
  const std::string anchor = "<a href=\"file://";
  for (std::size_t at = m.html.find(anchor); at != std::string::npos; at = m.html.find(anchor, at + 1)) {
    const std::size_t from = at + anchor.size();
    const std::size_t close = m.html.find("\">", from);
    const std::size_t end = m.html.find("</a>", close);
    if (close == std::string::npos || end == std::string::npos) break;
    out.push_back({linkPath(unescapeHtml(m.html.substr(from, close - from))),
                   unescapeHtml(m.html.substr(close + 2, end - close - 2))});
  }
  // A plain-text link only where the HTML body has none: the plain body
  // made from an HTML body shows the HTML links as well.
  if (!out.empty()) return out;
  const std::string plain = "<file://";
  for (std::size_t at = m.body.find(plain); at != std::string::npos; at = m.body.find(plain, at + 1)) {
    const std::size_t close = m.body.find('>', at);
    if (close == std::string::npos) break;
    out.push_back({linkPath(m.body.substr(at + plain.size(), close - at - plain.size())), ""});
  }
  return out;
}

// Messages of one folder, in an order both sides agree on: by subject,
// then by how many attachments the source had (links the copy has).
template <class Key>
void sortMessages(std::vector<Message>& messages, Key count) {
  std::stable_sort(messages.begin(), messages.end(), [&](const Message& a, const Message& b) {
    return std::make_tuple(a.subject, count(a)) < std::make_tuple(b.subject, count(b));
  });
}

std::vector<fs::path> entriesOf(const fs::path& folder) {
  std::vector<fs::path> out;
  for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> sampleNames() {
  std::vector<std::string> names;
  for (const auto& p : sampleFiles("pst", ".pst")) names.push_back(p.filename().string());
  return names;
}

class CompressSample : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {
 protected:
  void SetUp() override {
    VARNOLT_REQUIRE_SAMPLES();
    for (const char* program : {"node", "pffinfo", "readpst", "unzip", "/usr/bin/python3"})
      if (!haveProgram(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps)";
  }

  // Checks the .msg file an embedded message was saved as against the
  // embedded message of the source.
  void expectSameMessage(const fs::path& file, const Attachment& source) {
    const json saved = inspect(file).at("message");
    const json& want = source.embeddedMessage;
    EXPECT_EQ(saved.at("subject"), want.at("subject")) << file;
    EXPECT_EQ(saved.at("message_class"), want.at("message_class")) << file;
    EXPECT_EQ(saved.at("recipients"), want.at("recipients")) << file;
    EXPECT_EQ(saved.at("body_text_sha256"), want.at("body_text_sha256")) << file;
    EXPECT_EQ(saved.at("body_html_sha256"), want.at("body_html_sha256")) << file;
    EXPECT_EQ(saved.at("attachments").size(), want.at("attachments").size()) << file;
    // An independent reader agrees on what it is.
    const CommandResult r =
        run({"node", (sourceDir() / "tests" / "oracles" / "msg_reader_dump.js").string(), file.string()}, 120);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(json::parse(r.out).at("message").at("subject"), want.at("subject")) << file;
  }

  // The saved form of one attachment behind a link: the file itself, or
  // the single entry of its archive.
  void expectSavedAttachment(const fs::path& target, const Attachment& source, const std::string& treatment,
                             const fs::path& scratch) {
    ASSERT_TRUE(fs::is_regular_file(target)) << target;
    fs::path file = target;
    if (treatment == "extract-zip" && !endsWith(source.filename, ".zip")) {
      ASSERT_TRUE(endsWith(target.string(), ".zip")) << target;
      const CommandResult test = run({"unzip", "-t", target.string()}, 120);
      EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
      const CommandResult listed =
          run({"/usr/bin/python3", (sourceDir() / "tests" / "oracles" / "zip_check.py").string(), target.string()});
      ASSERT_EQ(listed.exitCode, 0) << listed.err;
      const json zip = json::parse(listed.out);
      ASSERT_EQ(zip.at("entries").size(), 1u) << target;
      EXPECT_TRUE(zip.at("testzip").is_null());
      const std::string entry = str(zip.at("entries")[0].at("name"));
      EXPECT_EQ(entry, target.stem().string());
      if (source.embedded.empty()) {
        EXPECT_EQ(str(zip.at("entries")[0].at("sha256")), source.sha256) << target;
        return;
      }
      const fs::path out = scratch / target.stem();
      fs::create_directories(out);
      ASSERT_EQ(run({"unzip", "-o", "-q", target.string(), "-d", out.string()}).exitCode, 0);
      file = out / entry;
    }
    if (source.embedded.empty()) EXPECT_EQ(fileSha256(file), source.sha256) << file;
    else expectSameMessage(file, source);
  }
};

TEST_P(CompressSample, NewPstHoldsTheSourceWithoutItsAttachments) {
  const auto& [name, treatment] = GetParam();
  const fs::path source = samplesDir() / "pst" / name;
  const std::string sourceSha = fileSha256(source);
  const auto sourceTime = fs::last_write_time(source);
  TempDir tmp;
  const fs::path dest = tmp / "dest";
  fs::create_directory(dest);

  const CommandResult r = run({cli(), "compress", "--treatment", treatment, "--dest", dest.string(), source.string()});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;

  // The source is only read.
  EXPECT_EQ(fileSha256(source), sourceSha);
  EXPECT_EQ(fs::last_write_time(source), sourceTime);

  // One run folder holding the new PST, and the attachment folder exactly
  // for the treatments that save.
  const auto runFolders = entriesOf(dest);
  ASSERT_EQ(runFolders.size(), 1u);
  const fs::path runFolder = runFolders[0];
  EXPECT_TRUE(std::regex_match(runFolder.filename().string(),
                               std::regex(R"(Varnolt_\d\d-\d\d-\d{4}_\d\d-\d\d-\d\d)")))
      << runFolder;
  const fs::path newPst = runFolder / "KestrikCompress.pst";
  const fs::path attachmentFolder = runFolder / "Outlook_Attachments";
  std::vector<fs::path> expected{newPst, runFolder / "Varnolt_Manifest.jsonl", runFolder / "Varnolt_Report.csv"};
  if (treatment != "remove") expected.push_back(attachmentFolder);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(entriesOf(runFolder), expected);  // and no "MSG Folder"

  // The account of the run.
  EXPECT_NE(r.out.find("  run folder: " + runFolder.string() + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  failed steps: none\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Compress Successfully!!!"), std::string::npos) << r.out;

  // Independent readers accept the new file.
  const CommandResult check = run({cli(), "check", newPst.string()});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
  const CommandResult pffinfo = run({"pffinfo", newPst.string()});
  EXPECT_EQ(pffinfo.exitCode, 0) << pffinfo.out << pffinfo.err;
  fs::create_directory(tmp / "readpst");
  const CommandResult readpst = run({"readpst", "-q", "-o", (tmp / "readpst").string(), newPst.string()});
  EXPECT_EQ(readpst.exitCode, 0) << readpst.out << readpst.err;

  // The same folders, messages, subjects and recipients.
  const json sourceDoc = inspect(source);
  std::vector<Folder> before = fromInspect(sourceDoc);
  std::vector<Folder> after = fromExtractor(extractor(newPst));
  std::vector<Folder> afterOurs = fromInspect(inspect(newPst));
  auto byPath = [](const Folder& a, const Folder& b) { return a.path < b.path; };
  std::stable_sort(before.begin(), before.end(), byPath);
  std::stable_sort(after.begin(), after.end(), byPath);
  std::stable_sort(afterOurs.begin(), afterOurs.end(), byPath);
  ASSERT_EQ(after.size(), before.size());
  ASSERT_EQ(afterOurs.size(), before.size());

  std::int64_t mailMessages = 0, takenOut = 0;
  std::set<fs::path> linkedFiles;
  for (std::size_t f = 0; f < before.size(); ++f) {
    Folder& src = before[f];
    Folder& out = after[f];
    Folder& ours = afterOurs[f];
    SCOPED_TRACE("folder " + src.path);
    ASSERT_EQ(out.path, src.path);
    ASSERT_EQ(out.messages.size(), src.messages.size());
    const bool mail = isMailClass(src.containerClass);
    if (!mail) {
      EXPECT_EQ(out.containerClass, src.containerClass);
    }
    sortMessages(src.messages, [](const Message& m) { return m.attachments.size(); });
    if (mail) sortMessages(out.messages, [](const Message& m) { return linksIn(m).size(); });
    else sortMessages(out.messages, [](const Message& m) { return m.attachments.size(); });

    for (std::size_t i = 0; i < src.messages.size(); ++i) {
      const Message& s = src.messages[i];
      const Message& o = out.messages[i];
      SCOPED_TRACE("message " + s.subject);
      EXPECT_EQ(o.subject, s.subject);
      EXPECT_EQ(o.recipients, s.recipients);
      if (!mail) {
        // Copied whole: every attachment kept.
        ASSERT_EQ(o.attachments.size(), s.attachments.size());
        for (std::size_t a = 0; a < s.attachments.size(); ++a) {
          if (!s.attachments[a].embedded.empty()) {
            EXPECT_EQ(o.attachments[a].embedded, s.attachments[a].embedded);
          } else if (!s.attachments[a].sha256.empty()) {
            EXPECT_EQ(o.attachments[a].sha256, s.attachments[a].sha256);
          }
        }
        continue;
      }
      ++mailMessages;
      EXPECT_TRUE(o.attachments.empty()) << o.attachments.size() << " attachment(s) left";
      const std::vector<Link> links = linksIn(o);
      for (const Link& l : links) EXPECT_TRUE(fs::is_regular_file(l.target)) << "link to a missing file " << l.target;
      if (treatment == "remove") {
        EXPECT_TRUE(links.empty());
        continue;
      }
      // Each attachment, saved and linked: the links come last to first.
      ASSERT_EQ(links.size(), s.attachments.size());
      for (std::size_t a = 0; a < s.attachments.size(); ++a) {
        const Attachment& att = s.attachments[s.attachments.size() - 1 - a];
        const Link& link = links[a];
        SCOPED_TRACE("attachment " + att.filename);
        EXPECT_EQ(link.target.parent_path(), attachmentFolder);
        EXPECT_TRUE(link.shown == att.filename || link.shown == att.filename + ".msg")
            << "'" << link.shown << "' for '" << att.filename << "'";
        EXPECT_TRUE(linkedFiles.insert(link.target).second) << "two links to " << link.target;
        expectSavedAttachment(link.target, att, treatment, tmp.path());
        ++takenOut;
      }
    }
    // The store library reads the copy alike; the remove treatment leaves
    // every body as it was.
    if (mail) {
      auto bodies = [&](const Folder& folder) {
        std::vector<std::string> list;
        for (const auto& m : folder.messages) {
          const json& j = m.inspected;
          list.push_back(j.at("subject").dump() + (treatment == "remove" ? j.at("body_text_sha256").dump() +
                                                                              j.at("body_html_sha256").dump() +
                                                                              j.at("has_rtf").dump()
                                                                        : std::string()));
        }
        std::sort(list.begin(), list.end());
        return list;
      };
      EXPECT_EQ(bodies(ours), bodies(src));
      for (const auto& m : ours.messages) EXPECT_TRUE(m.inspected.at("attachments").empty());
    }
  }

  // Nothing else in the attachment folder: no loose files beside the
  // archives, nothing unlinked.
  if (treatment != "remove") {
    EXPECT_EQ(entriesOf(attachmentFolder).size(), linkedFiles.size());
    for (const auto& f : entriesOf(attachmentFolder)) EXPECT_TRUE(linkedFiles.count(f)) << "unlinked file " << f;
  }
  std::int64_t attachments = 0;
  for (const auto& f : before)
    if (isMailClass(f.containerClass))
      for (const auto& m : f.messages) attachments += static_cast<std::int64_t>(m.attachments.size());
  if (treatment != "remove") {
    EXPECT_EQ(takenOut, attachments);
  }
  const std::string countLabel = treatment == "remove"    ? "attachments removed"
                                 : treatment == "extract" ? "attachments saved"
                                                          : "attachments zipped";
  EXPECT_NE(r.out.find("  " + countLabel + ": " + std::to_string(attachments) + "\n"), std::string::npos) << r.out;
  // The top folder's own messages are copied like those of any mail folder.
  for (const auto& f : sourceDoc.at("folders"))
    if (f.at("path").size() == 1 && startsWith(str(f.at("path")[0]), "Top of"))
      mailMessages += static_cast<std::int64_t>(f.at("messages").size());
  EXPECT_NE(r.out.find("  messages copied: " + std::to_string(mailMessages) + " of " + std::to_string(mailMessages) +
                       "\n"),
            std::string::npos)
      << r.out;
}

INSTANTIATE_TEST_SUITE_P(Samples, CompressSample,
                         ::testing::Combine(::testing::ValuesIn(sampleNames()), ::testing::ValuesIn(kTreatments)),
                         [](const auto& test) {
                           std::string n = std::get<0>(test.param) + "_" + std::get<1>(test.param);
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CompressSample);

// Every file of the bad samples and a path that is not there, listed among
// good PSTs: the good ones are done, each bad one is reported and gets no
// new PST, and nothing is written outside the destination.
TEST(CompressBadInputs, AreReportedAmongGoodOnes) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir tmp;
  const fs::path dest = tmp / "dest";
  fs::create_directory(dest);
  std::vector<fs::path> listed{samplesDir() / "pst" / "unicode-one-attachment.pst"};
  const auto bad = sampleFiles("bad", ".pst");
  ASSERT_FALSE(bad.empty());
  listed.insert(listed.end(), bad.begin(), bad.end());
  listed.push_back(tmp / "not-there.pst");
  listed.push_back(samplesDir() / "pst" / "mailing-list.pst");
  std::map<fs::path, std::string> shas;
  for (const auto& p : listed)
    if (fs::exists(p)) shas[p] = fileSha256(p);

  std::vector<std::string> argv{cli(), "compress", "--treatment", "extract", "--dest", dest.string()};
  for (const auto& p : listed) argv.push_back(p.string());
  const CommandResult r = run(argv);
  ASSERT_EQ(r.exitCode, 2) << r.out << r.err;

  // Each listed PST has its own account, in list order; the bad ones name
  // why they could not be opened.
  // The program names each PST with "/" between folders, on Windows too.
  std::size_t at = 0;
  for (std::size_t i = 0; i < listed.size(); ++i) {
    const fs::path& p = listed[i];
    const bool good = p.parent_path() == samplesDir() / "pst";
    const std::size_t heading = r.out.find(p.generic_string() + "\n", at);
    ASSERT_NE(heading, std::string::npos) << p << "\n" << r.out;
    const std::size_t next =
        i + 1 < listed.size() ? r.out.find("\n" + listed[i + 1].generic_string() + "\n", heading) : std::string::npos;
    const std::string account = r.out.substr(heading, next == std::string::npos ? std::string::npos : next - heading);
    if (good) {
      EXPECT_NE(account.find("failed steps: none"), std::string::npos) << account;
    } else {
      EXPECT_NE(account.find("failed steps: 1\n"), std::string::npos) << account;
      EXPECT_NE(account.find("AttachPstFile (source) failed: "), std::string::npos) << account;
      // No new PST that could be taken for its compressed copy.
      EXPECT_NE(account.find("run folder: (none)"), std::string::npos) << account;
      EXPECT_NE(account.find("size after: (no new PST)"), std::string::npos) << account;
    }
    at = heading + 1;
  }
  EXPECT_NE(r.out.find("Compress finished with errors\nFailed steps : " + std::to_string(bad.size() + 1)),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("the PST file is not there"), std::string::npos);

  // A run folder per good PST only, each with its complete copy; the bad
  // ones leave none.
  const auto runFolders = entriesOf(dest);
  ASSERT_EQ(runFolders.size(), 2u);
  const fs::path firstPst = runFolders.front() / "KestrikCompress.pst";
  EXPECT_EQ(run({cli(), "check", firstPst.string()}).exitCode, 0);
  std::size_t messages = 0;
  const json last = inspect(runFolders.back() / "KestrikCompress.pst");
  for (const json* f : ipmFolders(last)) messages += f->at("messages").size();
  EXPECT_EQ(messages, 10u);  // mailing-list.pst's ten messages
  EXPECT_EQ(entriesOf(runFolders.front() / "Outlook_Attachments").size(), 1u);

  // Nothing beside the destination; the listed files as they were.
  EXPECT_EQ(entriesOf(tmp.path()), std::vector<fs::path>{dest});
  for (const auto& [p, sha] : shas) EXPECT_EQ(fileSha256(p), sha) << p;
}

// A destination that is not a folder stops the command before anything is
// done; one that cannot be written to fails every PST's steps, each told.
TEST(CompressBadInputs, DestinationsThatCannotBeWritten) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir tmp;
  const fs::path pst = samplesDir() / "pst" / "unicode-one-attachment.pst";
  writeFile(tmp / "a-file", std::string("not a folder"));

  const CommandResult notFolder = run({cli(), "compress", "--dest", (tmp / "a-file" / "sub").string(), pst.string()});
  EXPECT_EQ(notFolder.exitCode, 1);
  EXPECT_NE(notFolder.err.find("not a folder"), std::string::npos) << notFolder.err;

#ifdef _WIN32
  GTEST_SKIP() << "the unwritable destination is Linux's /proc/sys";
#else
  // Tests may run as root, for whom permissions stop nothing; /proc/sys
  // refuses new folders to everyone.
  const fs::path unwritable = "/proc/sys";
  const fs::path probe = unwritable / "varnolt-probe";
  if (!fs::is_directory(unwritable) || ::mkdir(probe.c_str(), 0700) == 0) {
    ::rmdir(probe.c_str());
    GTEST_SKIP() << unwritable << " takes new folders here";
  }
  const CommandResult r = run({cli(), "compress", "--treatment", "extract-zip", "--dest", unwritable.string(),
                               pst.string(), (samplesDir() / "pst" / "contacts.pst").string()});
  EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
  std::size_t told = 0;
  for (std::size_t at = r.out.find("create the run folder failed"); at != std::string::npos;
       at = r.out.find("create the run folder failed", at + 1))
    ++told;
  EXPECT_EQ(told, 2u) << r.out;
  EXPECT_NE(r.out.find("Compress finished with errors"), std::string::npos);
  EXPECT_EQ(entriesOf(tmp.path()), std::vector<fs::path>{tmp / "a-file"});
#endif
}

}  // namespace
}  // namespace varnolt::test
