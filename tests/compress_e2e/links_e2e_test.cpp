// varnolt-cli compress end to end, as far as links and what stays in the
// messages go: every file:// link in every body of the new PST (HTML, plain
// and RTF, as libpff reads them) decodes to a file that is there; every
// saved embedded message ends in ".msg" and msgreader reads it; names with
// characters a URL reserves, names met twice, rich-text bodies and signed
// or encrypted messages, in a PST made here, under every treatment.

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "mapi/message.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/tags.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

using nlohmann::json;
namespace m = mapi;

const std::vector<std::string> kTreatments = {"remove", "extract", "extract-zip"};

std::string cli() { return (programPath("varnolt-cli")).string(); }
fs::path oracle(const std::string& name) { return sourceDir() / "tests" / "oracles" / name; }

json runJson(const std::vector<std::string>& argv) {
  const CommandResult r = run(argv, 300);
  if (r.exitCode != 0) throw std::runtime_error(argv[0] + " " + argv.back() + " failed: " + r.err);
  return json::parse(r.out);
}

std::string str(const json& j) { return j.is_string() ? j.get<std::string>() : std::string(); }

bool startsWith(const std::string& s, const std::string& head) { return s.rfind(head, 0) == 0; }
bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool isMailClass(const std::string& cls) {
  return cls.empty() || cls == "IPF.Note" || startsWith(cls, "IPF.Note.") || cls == "IPF.Imap";
}

// Every file:// link in a body, whatever its form: an href, "<file://...>"
// in text, a HYPERLINK field. A link the run writes holds no character
// that ends it in any of these forms.
std::vector<std::string> fileLinks(const std::string& body) {
  std::vector<std::string> out;
  for (std::size_t at = body.find("file://"); at != std::string::npos; at = body.find("file://", at + 1)) {
    const std::size_t end = body.find_first_of("\"'<> \t\r\n{}\\", at);
    out.push_back(body.substr(at, end == std::string::npos ? std::string::npos : end - at));
  }
  return out;
}

// Bodies of every message of the new PST as libpff reads them.
struct PstMessage {
  std::string folder, subject, plain, html, rtf;
};

std::vector<PstMessage> libpffMessages(const fs::path& pst) {
  const json dump = runJson({"/usr/bin/python3", (sourceDir() / "tests/oracles/pst_bodies_dump.py").string(),
                             "pypff", pst.string()});
  std::vector<PstMessage> out;
  for (const auto& f : dump.at("folders")) {
    std::string folder;
    for (const auto& part : f.at("path")) folder += "/" + str(part);
    for (const auto& msg : f.at("messages")) {
      EXPECT_FALSE(msg.contains("errors")) << msg.dump();
      out.push_back({folder, str(msg.value("subject", json())), str(msg.value("plain", json())),
                     str(msg.value("html", json())), str(msg.value("rtf", json()))});
    }
  }
  return out;
}

std::vector<fs::path> entriesOf(const fs::path& folder) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// What one compress run left: its output, the new PST and the attachment
// folder.
struct RunResult {
  CommandResult command;
  fs::path runFolder, newPst, attachmentFolder;
};

RunResult compress(const fs::path& source, const std::string& treatment, const fs::path& dest) {
  fs::create_directories(dest);
  RunResult r;
  r.command = run({cli(), "compress", "--treatment", treatment, "--dest", dest.string(), source.string()});
  const auto folders = entriesOf(dest);
  if (folders.size() == 1) {
    r.runFolder = folders[0];
    r.newPst = r.runFolder / "KestrikCompress.pst";
    r.attachmentFolder = r.runFolder / "Outlook_Attachments";
  }
  return r;
}

// Checks that every link of every body opens a file of the attachment
// folder, and answers the files linked.
std::set<fs::path> expectLinksOpen(const RunResult& r) {
  std::set<fs::path> linked;
  for (const PstMessage& msg : libpffMessages(r.newPst)) {
    SCOPED_TRACE(msg.folder + " / " + msg.subject);
    for (const std::string* body : {&msg.plain, &msg.html, &msg.rtf}) {
      for (const std::string& link : fileLinks(*body)) {
        const std::optional<std::string> path = fileUriPath(link);
        EXPECT_TRUE(path.has_value()) << link << " is no well-formed file URI";
        if (!path) continue;
        const fs::path target = *path;
        EXPECT_TRUE(fs::is_regular_file(target)) << link << " names no file";
        EXPECT_EQ(target.parent_path(), r.attachmentFolder) << link;
        linked.insert(target);
      }
    }
  }
  return linked;
}

// The saved form of the embedded messages: the ".msg" files, or those
// inside the ".msg.zip" archives, unpacked into scratch.
std::vector<fs::path> savedItemFiles(const RunResult& r, const std::string& treatment, const fs::path& scratch) {
  std::vector<fs::path> out;
  for (const fs::path& f : entriesOf(r.attachmentFolder)) {
    const std::string name = f.filename().string();
    if (treatment == "extract" && endsWith(name, ".msg")) out.push_back(f);
    if (treatment == "extract-zip" && endsWith(name, ".msg.zip")) {
      const fs::path into = scratch / name;
      fs::create_directories(into);
      EXPECT_EQ(run({"unzip", "-q", "-o", f.string(), "-d", into.string()}).exitCode, 0) << f;
      for (const fs::path& inner : entriesOf(into)) out.push_back(inner);
    }
  }
  return out;
}

std::string msgreaderSubject(const fs::path& file) {
  const CommandResult r = run({"node", oracle("msg_reader_dump.js").string(), file.string()}, 120);
  EXPECT_EQ(r.exitCode, 0) << file << ": " << r.err;
  return r.exitCode == 0 ? str(json::parse(r.out).at("message").at("subject")) : std::string();
}

bool haveOracles() {
  for (const char* program : {"node", "unzip", "/usr/bin/python3"})
    if (!haveProgram(program)) return false;
  return true;
}

// ---- every sample PST

class LinkSample : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(LinkSample, EveryLinkOpensAndEveryEmbeddedMessageIsAnItemFile) {
  VARNOLT_REQUIRE_SAMPLES();
  if (!haveOracles()) GTEST_SKIP() << "node, unzip or python3 is missing (scripts/install-deps)";
  const auto& [name, treatment] = GetParam();
  const fs::path source = samplesDir() / "pst" / name;
  TempDir tmp;
  const RunResult r = compress(source, treatment, tmp / "dest");
  ASSERT_EQ(r.command.exitCode, 0) << r.command.out << r.command.err;
  ASSERT_TRUE(fs::is_regular_file(r.newPst)) << r.command.out;

  const std::set<fs::path> linked = expectLinksOpen(r);
  if (treatment == "remove") {
    EXPECT_TRUE(linked.empty());
    return;
  }
  // Every saved file is linked from a body, and its name has no blank.
  const auto saved = entriesOf(r.attachmentFolder);
  EXPECT_EQ(std::set<fs::path>(saved.begin(), saved.end()), linked);
  for (const fs::path& f : saved) EXPECT_EQ(f.filename().string().find(' '), std::string::npos) << f;

  // The embedded messages of the source's mail folders, by subject.
  std::multiset<std::string> embedded;
  const json inspected = runJson({cli(), "inspect", source.string()});
  for (const auto& f : inspected.at("folders")) {
    if (f.at("path").size() < 2 || !startsWith(str(f.at("path")[0]), "Top of")) continue;
    if (!isMailClass(str(f.value("container_class", json())))) continue;
    for (const auto& msg : f.at("messages"))
      for (const auto& a : msg.at("attachments"))
        if (a.contains("embedded")) embedded.insert(str(a.at("embedded").at("subject")));
  }
  std::multiset<std::string> read;
  for (const fs::path& file : savedItemFiles(r, treatment, tmp.path())) {
    EXPECT_TRUE(endsWith(file.filename().string(), ".msg")) << file;
    read.insert(msgreaderSubject(file));
  }
  EXPECT_EQ(read, embedded);
}

std::vector<std::string> sampleNames() {
  std::vector<std::string> names;
  for (const auto& p : sampleFiles("pst", ".pst")) names.push_back(p.filename().string());
  return names;
}

std::string testName(const ::testing::TestParamInfo<std::tuple<std::string, std::string>>& info) {
  std::string n = std::get<0>(info.param) + "_" + std::get<1>(info.param);
  for (char& c : n)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return n;
}

INSTANTIATE_TEST_SUITE_P(Samples, LinkSample,
                         ::testing::Combine(::testing::ValuesIn(sampleNames()), ::testing::ValuesIn(kTreatments)),
                         testName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LinkSample);

// ---- a PST made here with the hard cases

m::Attachment fileAttachment(const std::string& name, const std::string& content) {
  m::Attachment a;
  a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachByValue));
  a.props.set(m::tag::AttachLongFilename, m::PropValue::unicode(name));
  a.props.set(m::tag::AttachDataBinary, m::PropValue::binary(m::Bytes(content.begin(), content.end())));
  return a;
}

m::Attachment embeddedAttachment(const std::string& name, const std::string& subject) {
  m::Attachment a;
  a.props.set(m::tag::AttachMethod, m::PropValue::int32(m::kAttachEmbeddedMessage));
  a.props.set(m::tag::AttachLongFilename, m::PropValue::unicode(name));
  a.embedded = std::make_unique<m::Message>();
  a.embedded->props.set(m::tag::MessageClass, m::PropValue::unicode("IPM.Note"));
  a.embedded->props.set(m::tag::Subject, m::PropValue::unicode(subject));
  a.embedded->props.set(m::tag::Body, m::PropValue::unicode("inside " + subject));
  return a;
}

m::Message mail(const std::string& subject, const std::string& messageClass = "IPM.Note") {
  m::Message msg;
  msg.props.set(m::tag::MessageClass, m::PropValue::unicode(messageClass));
  msg.props.set(m::tag::Subject, m::PropValue::unicode(subject));
  msg.props.set(m::tag::Body, m::PropValue::unicode("Text of " + subject));
  return msg;
}

const std::string kRichText =
    "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}{\\f1\\froman Times New Roman;}}"
    "{\\colortbl;\\red192\\green0\\blue0;}\\viewkind4\\uc1\\pard\\f0\\fs20 Plain, \\b bold\\b0 , "
    "\\i italic\\i0 , \\cf1 red\\cf0 , \\f1 Times\\f0 .\\par\r\n"
    "\\trowd\\cellx2000\\cellx4000 \\intbl one\\cell two\\cell\\row\\pard\\par\r\n}";

// The content of a signed or encrypted message's attachment: larger than
// one block of the file, so that a run that leaves attachment data in the
// source reads it back over several blocks for the message that keeps it.
std::string smimeContent(const std::string& subject) {
  std::string content;
  for (int line = 0; content.size() < 12000; ++line) content += "MIME of " + subject + " " + std::to_string(line) + "\r\n";
  return content;
}

fs::path makeHardCases(const fs::path& dir) {
  const fs::path path = dir / "hard.pst";
  auto w = m::pst::Writer::create(path, "Hard cases", {});
  auto inbox = w->createFolder(w->ipmSubtree(), "Inbox", "IPF.Note");

  m::Message reserved = mail("Reserved characters");
  for (const char* name : {"100% sure #1?.txt", "a&b;c=d+e,f'g(h)[i].txt", "r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5.txt"})
    reserved.attachments.push_back(fileAttachment(name, std::string("content of ") + name));
  w->addMessage(inbox, reserved);

  m::Message alike = mail("Alike names");
  alike.attachments.push_back(fileAttachment("same name.txt", "first"));
  alike.attachments.push_back(fileAttachment("same name.txt", "second"));
  w->addMessage(inbox, alike);

  m::Message items = mail("Embedded messages");
  items.attachments.push_back(embeddedAttachment("Minutes of the meeting", "Minutes"));
  items.attachments.push_back(embeddedAttachment("Scan.pdf", "Scanned"));
  w->addMessage(inbox, items);

  for (const auto& [subject, cls, mime] :
       {std::tuple{"Signed", "IPM.Note.SMIME.MultipartSigned", "multipart/signed"},
        std::tuple{"Encrypted", "IPM.Note.SMIME", "application/pkcs7-mime"}}) {
    m::Message secure = mail(subject, cls);
    m::Attachment p7m = fileAttachment("smime.p7m", smimeContent(subject));
    p7m.props.set(m::tag::AttachMimeTag, m::PropValue::unicode(mime));
    secure.attachments.push_back(std::move(p7m));
    w->addMessage(inbox, secure);
  }

  m::Message rich = mail("Rich text");
  rich.props.set(m::tag::Body, m::PropValue::unicode("Plain, bold , italic , red , Times .\r\none\ttwo"));
  rich.props.set(m::tag::RtfCompressed, m::PropValue::binary(m::rtf::compress(m::Bytes(kRichText.begin(), kRichText.end()))));
  rich.props.set(m::tag::RtfInSync, m::PropValue::boolean(true));
  rich.attachments.push_back(fileAttachment("notes.txt", "rich notes"));
  w->addMessage(inbox, rich);
  w->close();
  return path;
}

class HardCases : public ::testing::TestWithParam<std::string> {};

TEST_P(HardCases, LinksOpenNamesStayWholeSignedMessagesKeepTheirContent) {
  if (!haveOracles()) GTEST_SKIP() << "node, unzip or python3 is missing (scripts/install-deps)";
  const std::string treatment = GetParam();
  TempDir tmp;
  const fs::path source = makeHardCases(tmp.path());
  const RunResult r = compress(source, treatment, tmp / "dest");
  ASSERT_EQ(r.command.exitCode, 0) << r.command.out << r.command.err;
  const std::string& out = r.command.out;

  // The signed and the encrypted message keep their attachment, said so.
  EXPECT_NE(out.find("  attachments kept in their messages: 2\n"), std::string::npos) << out;
  std::size_t keptLines = 0;
  const std::string keptLine = ", attachment smime.p7m: kept, signed or encrypted (S/MIME) message";
  for (std::size_t at = out.find(keptLine); at != std::string::npos; at = out.find(keptLine, at + 1)) ++keptLines;
  EXPECT_EQ(keptLines, 2u) << out;
  const json copy = runJson({cli(), "inspect", r.newPst.string()});
  std::map<std::string, json> bySubject;
  for (const auto& f : copy.at("folders"))
    for (const auto& msg : f.at("messages")) bySubject[str(msg.at("subject"))] = msg;
  for (const char* subject : {"Signed", "Encrypted"}) {
    SCOPED_TRACE(subject);
    EXPECT_EQ(bySubject[subject].at("attachments").size(), 1u);
    if (bySubject[subject].at("attachments").size() != 1) continue;
    const json& a = bySubject[subject].at("attachments")[0];
    EXPECT_EQ(str(a.at("filename")), "smime.p7m");
    const std::string content = smimeContent(subject);
    EXPECT_EQ(str(a.at("sha256")), sha256Hex(std::vector<std::uint8_t>(content.begin(), content.end())));
  }
  for (const char* subject : {"Reserved characters", "Alike names", "Embedded messages", "Rich text"})
    EXPECT_TRUE(bySubject[subject].at("attachments").empty()) << subject;

  const std::set<fs::path> linked = expectLinksOpen(r);
  if (treatment == "remove") {
    EXPECT_TRUE(linked.empty());
    return;
  }
  // One link per attachment taken out, each to a file of its own, no name
  // with a blank (the counter included).
  EXPECT_EQ(linked.size(), 8u);
  const auto saved = entriesOf(r.attachmentFolder);
  EXPECT_EQ(std::set<fs::path>(saved.begin(), saved.end()), linked);
  for (const fs::path& f : saved) EXPECT_EQ(f.filename().string().find(' '), std::string::npos) << f;

  // The rich-text message is still rich text, its link a field in the RTF.
  int richTexts = 0;
  for (const PstMessage& msg : libpffMessages(r.newPst)) {
    if (msg.subject != "Rich text") continue;
    ++richTexts;
    EXPECT_TRUE(msg.html.empty()) << msg.html;
    for (const char* word : {"\\b bold\\b0", "\\cf1 red\\cf0", "\\f1 Times", "\\trowd", "\\cell", "\\row"})
      EXPECT_NE(msg.rtf.find(word), std::string::npos) << word << " lost from " << msg.rtf;
    EXPECT_NE(msg.rtf.find("{\\field{\\*\\fldinst{HYPERLINK \"file://"), std::string::npos) << msg.rtf;
  }
  EXPECT_EQ(richTexts, 1);

  // Both embedded messages saved as item files that msgreader reads.
  std::multiset<std::string> read;
  for (const fs::path& file : savedItemFiles(r, treatment, tmp.path())) read.insert(msgreaderSubject(file));
  EXPECT_EQ(read, (std::multiset<std::string>{"Minutes", "Scanned"}));
}

INSTANTIATE_TEST_SUITE_P(Treatments, HardCases, ::testing::ValuesIn(kTreatments),
                         [](const ::testing::TestParamInfo<std::string>& treatment) {
                           std::string n = treatment.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
}  // namespace varnolt::test
