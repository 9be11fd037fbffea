// Real messages with HTML, RTF-only and plain-only bodies: read the HTML
// body, append a link the way the engine does, write the body, write the
// message as an item file, and read it back with our reader and with
// @kenjiuno/msgreader. The link must show, the rest of the body and of the
// message must stay as it was.

#include <nlohmann/json.hpp>

#include "mapi/body/body.h"
#include "mapi/body/html_text.h"
#include "mapi/msg/msg_file.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/rtf/rtf_text.h"
#include "mapi/rtf/tokenizer.h"
#include "mapi/tags.h"
#include "tests/support/test_support.h"

namespace m = varnolt::mapi;
namespace body = varnolt::mapi::body;
namespace t = varnolt::test;
using nlohmann::json;

namespace {

const std::string kLink = "<br><br>Attachment : <a href=\"file:///x/y.txt\">y.txt</a>";
const std::string kLinkText = "Attachment : y.txt <file:///x/y.txt>";

struct Sample {
  const char* file;
  body::BodySource htmlSource;  // where reading the HTML body finds it
};

// One of each kind: PR_HTML; HTML only inside the RTF (Outlook's own, and
// another program's); ordinary RTF beside PR_BODY; encapsulated text;
// plain text alone.
const Sample kSamples[] = {
    {"email-new-draft.msg", body::BodySource::Html},
    {"knowledgebase-message3.msg", body::BodySource::RtfHtml},
    {"pop3-message.msg", body::BodySource::RtfHtml},
    {"smtp-embeddedimage.msg", body::BodySource::RtfHtml},
    {"email-msg-file-with-rtf-formatting.msg", body::BodySource::PlainText},
    {"outlook-message1.msg", body::BodySource::PlainText},
    {"outlook-note.msg", body::BodySource::PlainText},
};

bool haveMsgreader() {
  return t::haveProgram("node") &&
         t::fs::exists(t::sourceDir() / "tests/oracles/node_modules/@kenjiuno/msgreader/package.json");
}

json msgreaderBodies(const t::fs::path& file) {
  t::CommandResult r =
      t::run({"node", (t::sourceDir() / "tests/oracles/msg_body_dump.js").string(), file.string()}, 120);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  return r.exitCode == 0 ? json::parse(r.out) : json();
}

bool isBodyId(std::uint16_t id) {
  switch (id) {
    case 0x1000: case 0x1006: case 0x1007: case 0x1008: case 0x1009: case 0x1010: case 0x1011:
    case 0x1013: case 0x1016: case 0x0E1F: case 0x3FDE: case 0x3FFD:
      return true;
    default:
      return false;
  }
}

// The properties a body write must leave alone.
std::map<m::PropTag, m::PropValue> otherProperties(const m::PropertyBag& props) {
  std::map<m::PropTag, m::PropValue> out;
  for (const auto& [tag, value] : props.all())
    if (!isBodyId(m::propId(tag))) out.emplace(tag, value);
  return out;
}

void checkLinkAppended(const Sample& s, body::RtfOnHtmlWrite policy) {
  SCOPED_TRACE(s.file);
  t::fs::path source = t::samplesDir() / "msg" / s.file;
  m::Message original = m::msg::readMessageFile(source);
  body::BodyText before = body::readHtmlBody(original.props);
  ASSERT_EQ(before.source, s.htmlSource);
  ASSERT_FALSE(before.text.empty());
  const std::string plainBefore = body::htmlToText(body::declareUtf8(before.text));

  m::Message changed = original;
  body::writeHtmlBody(changed.props, before.text + kLink, policy);
  const std::string expectedHtml = body::declareUtf8(before.text + kLink);

  t::TempDir dir;
  t::fs::path written = dir / "written.msg";
  m::msg::writeMessageFile(written, changed);

  // Our reader.
  m::Message back = m::msg::readMessageFile(written);
  body::BodyText html = body::readHtmlBody(back.props);
  EXPECT_EQ(html.source, body::BodySource::Html);
  EXPECT_EQ(html.text, expectedHtml);
  std::string plain = body::plainBody(back.props);
  EXPECT_EQ(plain.substr(0, plainBefore.size()), plainBefore);
  EXPECT_EQ(plain.substr(plain.size() - kLinkText.size()), kLinkText);
  EXPECT_EQ(back.props.getInt32(m::tag::NativeBody), body::kNativeHtml);
  EXPECT_EQ(otherProperties(back.props), otherProperties(original.props));
  EXPECT_EQ(back.recipients, original.recipients);
  EXPECT_EQ(back.attachments, original.attachments);
  if (policy == body::RtfOnHtmlWrite::Remove) {
    EXPECT_FALSE(back.props.has(m::tag::RtfCompressed));
  } else {
    m::Bytes rtfBytes = m::rtf::decompress(*back.props.getBinary(m::tag::RtfCompressed));
    EXPECT_EQ(m::rtf::htmlFromRtf(rtfBytes), expectedHtml);
  }

  // msgreader.
  if (!haveMsgreader()) return;
  json theirs = msgreaderBodies(written);
  EXPECT_EQ(theirs["internet_codepage"], 65001);
  EXPECT_EQ(theirs["html"], expectedHtml);
  EXPECT_EQ(theirs["body"], plain);
  if (policy == body::RtfOnHtmlWrite::Remove) {
    EXPECT_TRUE(theirs["rtf"].is_null());
  } else {
    std::string rtfText = theirs["rtf"].get<std::string>();  // Latin-1 of the RTF bytes: it is ASCII
    EXPECT_EQ(m::rtf::htmlFromRtf(m::Bytes(rtfText.begin(), rtfText.end())), expectedHtml);
  }
}

TEST(BodySamples, LinkAppendedToHtmlBody) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const Sample& s : kSamples) checkLinkAppended(s, body::RtfOnHtmlWrite::Remove);
}

TEST(BodySamples, LinkAppendedWithRegeneratedRtf) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const Sample& s : kSamples) checkLinkAppended(s, body::RtfOnHtmlWrite::Regenerate);
}

TEST(BodySamples, PlainBodiesReadAsOtherReadersRead) {
  VARNOLT_REQUIRE_SAMPLES();
  if (!haveMsgreader()) GTEST_SKIP() << "node or @kenjiuno/msgreader is missing";
  for (const auto& file : t::sampleFiles("msg", ".msg")) {
    SCOPED_TRACE(file.filename().string());
    m::Message message = m::msg::readMessageFile(file);
    json theirs = msgreaderBodies(file);
    if (!theirs["body"].is_string()) continue;
    body::BodyText ours = body::readPlainBody(message.props);
    if (theirs["body"] == "") {
      // An empty PR_BODY hides nothing from us: the text comes from the
      // RTF (three samples hold their text only there).
      EXPECT_TRUE(ours.source == body::BodySource::Rtf || ours.source == body::BodySource::None);
      continue;
    }
    // msgreader ends strings at their first NUL, as MAPI readers do.
    EXPECT_EQ(ours.source, body::BodySource::PlainText);
    EXPECT_EQ(ours.text.substr(0, ours.text.find('\0')), theirs["body"].get<std::string>());
  }
}

TEST(BodySamples, PlainLinkAppendedToPlainBody) {
  VARNOLT_REQUIRE_SAMPLES();
  m::Message message = m::msg::readMessageFile(t::samplesDir() / "msg" / "email-new-draft.msg");
  const std::string htmlBefore = body::htmlBody(message.props);
  const std::string text = body::plainBody(message.props) + "\r\n\r\n<file:///x/y.txt>\r\n";
  body::writePlainBody(message.props, text);
  t::TempDir dir;
  m::msg::writeMessageFile(dir / "plain.msg", message);
  m::Message back = m::msg::readMessageFile(dir / "plain.msg");
  EXPECT_EQ(body::plainBody(back.props), text);
  EXPECT_EQ(body::htmlBody(back.props), htmlBefore);
  if (!haveMsgreader()) return;
  EXPECT_EQ(msgreaderBodies(dir / "plain.msg")["body"], text);
}

void collectMessages(const m::pst::Store& store, const m::pst::Folder& folder, std::vector<m::pst::NodeId>& out,
                     int depth = 0) {
  if (depth > 32) return;
  for (m::pst::NodeId id : folder.messageIds()) out.push_back(id);
  for (m::pst::NodeId id : folder.subfolderIds()) collectMessages(store, store.folder(id), out, depth + 1);
}

// Every message of the sample stores: whatever form its body is in, the
// HTML body reads, takes a link, and reads back with it and with the old
// text before it.
TEST(BodySamples, EveryStoredMessageTakesALink) {
  VARNOLT_REQUIRE_SAMPLES();
  std::map<body::BodySource, int> seen;
  for (const auto& file : t::sampleFiles("pst", ".pst")) {
    SCOPED_TRACE(file.filename().string());
    auto store = m::pst::Store::open(file);
    std::vector<m::pst::NodeId> ids;
    collectMessages(*store, store->rootFolder(), ids);
    for (m::pst::NodeId id : ids) {
      m::Message message = store->readMessage(id);
      body::BodyText before = body::readHtmlBody(message.props);
      ++seen[before.source];
      if (before.source == body::BodySource::None) continue;
      const std::string plainBefore = body::htmlToText(body::declareUtf8(before.text));
      body::writeHtmlBody(message.props, before.text + kLink);
      m::Message back = m::msg::readMessage(m::msg::writeMessage(message));
      EXPECT_EQ(body::htmlBody(back.props), body::declareUtf8(before.text + kLink));
      std::string plain = body::plainBody(back.props);
      EXPECT_EQ(plain.substr(0, plainBefore.size()), plainBefore);
      EXPECT_EQ(plain.substr(plain.size() - std::min(plain.size(), kLinkText.size())), kLinkText);
    }
  }
  // The samples hold HTML bodies and plain ones (their RTF bodies all
  // come with PR_BODY, which is what the HTML is made of then); the
  // messages without any body are contacts and the like.
  EXPECT_GT(seen[body::BodySource::Html], 5);
  EXPECT_GT(seen[body::BodySource::PlainText], 5);
}

// --- bodies that are RTF of their own --------------------------------------

const std::string kRtfLinkTarget = "file:///x/100%25%20a%23b.txt";
const std::string kRtfLink = "<br><br>Attachment : <a href=\"" + kRtfLinkTarget + "\">a#b.txt</a>";

// Every control word of a document with its parameter, and how often.
std::map<std::string, int> controlWords(const m::Bytes& rtf) {
  std::map<std::string, int> out;
  m::rtf::Tokenizer tokens{m::ByteView(rtf)};
  for (m::rtf::Token tok = tokens.next(); tok.kind != m::rtf::Token::Kind::End; tok = tokens.next())
    if (tok.kind == m::rtf::Token::Kind::ControlWord)
      ++out[std::string(tok.text) + (tok.hasParam ? std::to_string(tok.param) : "")];
  return out;
}

std::string trimmedEnd(std::string s) {
  while (!s.empty() && (s.back() == '\0' || std::isspace(static_cast<unsigned char>(s.back())))) s.pop_back();
  return s;
}

// Adds the link the way the session writes an HTML body and checks the
// message: the RTF is still the body, the original RTF whole with the link
// as a field at its end, and PR_BODY with the link's text.
void checkRtfLinkAdded(m::Message& message) {
  const m::Bytes before = m::rtf::decompress(*message.props.getBinary(m::tag::RtfCompressed));
  const std::string html = body::readHtmlBody(message.props).text;
  ASSERT_TRUE(body::appendHtmlToRtfBody(message.props, html + kRtfLink));

  const m::Bytes after = m::rtf::decompress(*message.props.getBinary(m::tag::RtfCompressed));
  // The original bytes, in order, around one insertion.
  std::size_t prefix = 0;
  while (prefix < before.size() && before[prefix] == after[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < before.size() - prefix && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
    ++suffix;
  EXPECT_EQ(prefix + suffix, before.size()) << "the original RTF was changed, not added to";
  for (const auto& [word, count] : controlWords(before)) EXPECT_GE(controlWords(after)[word], count) << "\\" << word;

  const std::string rtfText(after.begin(), after.end());
  EXPECT_NE(rtfText.find("{\\field{\\*\\fldinst{HYPERLINK \"" + kRtfLinkTarget + "\"}}"), std::string::npos);
  const std::string shown = trimmedEnd(m::rtf::textFromRtf(after));
  EXPECT_EQ(shown.substr(shown.size() - std::min<std::size_t>(shown.size(), 20)), "Attachment : a#b.txt");
  EXPECT_EQ(m::rtf::originOf(after), m::rtf::RtfOrigin::Rtf);
  EXPECT_FALSE(message.props.has(m::tag::Html));
  EXPECT_EQ(message.props.getInt32(m::tag::NativeBody), body::kNativeRtf);
  EXPECT_EQ(message.props.getBool(m::tag::RtfInSync), true);
  const std::string plain = body::plainBody(message.props);
  EXPECT_TRUE(plain.ends_with("Attachment : a#b.txt <" + kRtfLinkTarget + ">")) << plain.substr(plain.size() / 2);
}

void collectRtfBodies(m::Message& message, std::vector<m::Message*>& out) {
  if (body::rtfIsTheBody(message.props)) out.push_back(&message);
  for (auto& a : message.attachments)
    if (a.embedded) collectRtfBodies(*a.embedded, out);
}

// Every RTF-only body of the sample item files and stores, embedded
// messages included, takes a link and keeps every bit of its formatting;
// msgreader (with decompressrtf) and libpff see the link as a field.
TEST(BodySamples, RtfBodiesKeepTheirFormattingAndGainAClickableLink) {
  VARNOLT_REQUIRE_SAMPLES();
  t::TempDir dir;
  int msgBodies = 0;
  for (const auto& file : t::sampleFiles("msg", ".msg")) {
    m::Message message = m::msg::readMessageFile(file);
    std::vector<m::Message*> bodies;
    collectRtfBodies(message, bodies);
    for (m::Message* b : bodies) {
      SCOPED_TRACE(file.filename().string());
      checkRtfLinkAdded(*b);
      ++msgBodies;
    }
    if (bodies.empty() || bodies.front() != &message) continue;
    const t::fs::path written = dir / file.filename();
    m::msg::writeMessageFile(written, message);
    if (!haveMsgreader()) continue;
    json theirs = msgreaderBodies(written);
    EXPECT_TRUE(theirs["html"].is_null());
    ASSERT_TRUE(theirs["rtf"].is_string());
    EXPECT_NE(theirs["rtf"].get<std::string>().find("{\\field{\\*\\fldinst{HYPERLINK \"" + kRtfLinkTarget + "\"}}"),
              std::string::npos)
        << file;
    EXPECT_EQ(theirs["body"], body::plainBody(message.props));
  }
  EXPECT_EQ(msgBodies, 2);  // the others wrap HTML or plain text

  // The stores' RTF-only bodies go into a new store, which libpff reads.
  const t::fs::path pstPath = dir / "rtf.pst";
  auto writer = m::pst::Writer::create(pstPath, "RTF bodies", {});
  auto folder = writer->createFolder(writer->ipmSubtree(), "RTF", "IPF.Note");
  int pstBodies = 0;
  for (const auto& file : t::sampleFiles("pst", ".pst")) {
    auto store = m::pst::Store::open(file);
    std::vector<m::pst::NodeId> ids;
    collectMessages(*store, store->rootFolder(), ids);
    for (m::pst::NodeId id : ids) {
      m::Message message = store->readMessage(id);
      std::vector<m::Message*> bodies;
      collectRtfBodies(message, bodies);
      for (m::Message* b : bodies) {
        SCOPED_TRACE(file.filename().string());
        checkRtfLinkAdded(*b);
        m::Message copy = *b;
        copy.props.removeId(m::propId(m::tag::Subject));
        copy.props.set(m::tag::Subject, m::PropValue::unicode("rtf " + std::to_string(pstBodies++)));
        writer->addMessage(folder, copy);
      }
    }
  }
  writer->close();
  EXPECT_GE(pstBodies, 20);
  if (!t::haveProgram("/usr/bin/python3")) return;
  const t::CommandResult r = t::run(
      {"/usr/bin/python3", (t::sourceDir() / "tests/oracles/pst_bodies_dump.py").string(), "pypff", pstPath.string()},
      120);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  int seen = 0;
  const json dump = json::parse(r.out);
  for (const auto& f : dump["folders"]) {
    for (const auto& msg : f["messages"]) {
      if (!msg["subject"].is_string() || !msg["subject"].get<std::string>().starts_with("rtf ")) continue;
      ++seen;
      ASSERT_TRUE(msg["rtf"].is_string()) << msg.dump().substr(0, 300);
      EXPECT_NE(msg["rtf"].get<std::string>().find("HYPERLINK \"" + kRtfLinkTarget + "\""), std::string::npos);
      EXPECT_NE(msg["plain"].get<std::string>().find("<" + kRtfLinkTarget + ">"), std::string::npos);
    }
  }
  EXPECT_EQ(seen, pstBodies);
}

}  // namespace
