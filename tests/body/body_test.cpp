// The body policy over property bags built here: which form each read
// takes, and what a write leaves behind.

#include "mapi/body/body.h"

#include <gtest/gtest.h>

#include "mapi/body/html_text.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/rtf/rtf_text.h"
#include "mapi/tags.h"

namespace m = varnolt::mapi;
namespace body = varnolt::mapi::body;
namespace rtf = varnolt::mapi::rtf;

namespace {

m::Bytes bytesOf(const std::string& s) { return m::Bytes(s.begin(), s.end()); }
std::string stringOf(const m::Bytes& b) { return std::string(b.begin(), b.end()); }

m::PropValue compressedRtf(const std::string& doc) { return m::PropValue::binary(rtf::compress(bytesOf(doc))); }

const std::string kWrappedHtml = "<html><body><p>From RTF &amp; more</p></body></html>";

TEST(Body, HtmlComesFromTheBestForm) {
  // PR_HTML in the code page PR_INTERNET_CPID names.
  m::PropertyBag a;
  a.set(m::tag::Html, m::PropValue::binary(bytesOf("<p>\xCF\xF0\xE8\xE2\xE5\xF2</p>")));
  a.set(m::tag::InternetCodepage, m::PropValue::int32(1251));
  a.set(m::tag::RtfCompressed, compressedRtf(rtf::rtfFromHtml("<p>older</p>")));
  a.set(m::tag::Body, m::PropValue::unicode("plain"));
  body::BodyText h = body::readHtmlBody(a);
  EXPECT_EQ(h.source, body::BodySource::Html);
  EXPECT_EQ(h.text, "<p>\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82</p>");

  // Without PR_INTERNET_CPID the document's own declaration decides,
  // before PR_MESSAGE_CODEPAGE.
  m::PropertyBag b;
  b.set(m::tag::Html, m::PropValue::binary(bytesOf("<meta charset=\"iso-8859-7\"><p>\xE1</p>")));
  b.set(m::tag::MessageCodepage, m::PropValue::int32(1251));
  EXPECT_EQ(body::htmlBody(b), "<meta charset=\"iso-8859-7\"><p>\xCE\xB1</p>");
  b.set(m::tag::Html, m::PropValue::binary(bytesOf("<p>\xE1</p>")));
  EXPECT_EQ(body::htmlBody(b), "<p>\xD0\xB1</p>");
  b.remove(m::tag::MessageCodepage);
  EXPECT_EQ(body::htmlBody(b), "<p>\xC3\xA1</p>");  // Windows-1252 when nothing says otherwise
  b.set(m::tag::Html, m::PropValue::binary(bytesOf("\xEF\xBB\xBF<p>\xC3\xA1</p>")));
  EXPECT_EQ(body::htmlBody(b), "<p>\xC3\xA1</p>");  // a byte-order mark says UTF-8
  b.removeId(m::propId(m::tag::Html));
  b.set(m::tag::BodyHtml, m::PropValue::unicode("<p>string form</p>"));
  EXPECT_EQ(body::htmlBody(b), "<p>string form</p>");

  // The HTML wrapped in the RTF, when there is no PR_HTML.
  m::PropertyBag c;
  c.set(m::tag::RtfCompressed, compressedRtf(rtf::rtfFromHtml(kWrappedHtml)));
  c.set(m::tag::Body, m::PropValue::unicode("From RTF & more"));
  h = body::readHtmlBody(c);
  EXPECT_EQ(h.source, body::BodySource::RtfHtml);
  EXPECT_EQ(h.text, kWrappedHtml);

  // Ordinary RTF holds no HTML: the plain body becomes HTML.
  m::PropertyBag d;
  d.set(m::tag::RtfCompressed, compressedRtf("{\\rtf1\\ansi {\\b Bold} text\\par}"));
  d.set(m::tag::Body, m::PropValue::unicode("Bold <text>\r\nline 2"));
  h = body::readHtmlBody(d);
  EXPECT_EQ(h.source, body::BodySource::PlainText);
  EXPECT_NE(h.text.find("Bold &lt;text&gt;<br>\r\nline 2"), std::string::npos);
  // ... or, without PR_BODY, the RTF's own text.
  d.remove(m::tag::Body);
  h = body::readHtmlBody(d);
  EXPECT_EQ(h.source, body::BodySource::Rtf);
  EXPECT_NE(h.text.find("Bold text<br>"), std::string::npos);

  EXPECT_EQ(body::readHtmlBody(m::PropertyBag{}).source, body::BodySource::None);
  EXPECT_EQ(body::htmlBody(m::PropertyBag{}), "");
}

TEST(Body, PlainComesFromTheBestForm) {
  m::PropertyBag a;
  a.set(m::makeTag(0x1000, m::pt::String8), m::PropValue::string8("caf\xE9"));
  a.set(m::tag::MessageCodepage, m::PropValue::int32(1252));
  a.set(m::tag::Html, m::PropValue::binary(bytesOf("<p>other</p>")));
  body::BodyText t = body::readPlainBody(a);
  EXPECT_EQ(t.source, body::BodySource::PlainText);
  EXPECT_EQ(t.text, "caf\xC3\xA9");

  a.removeId(0x1000);
  t = body::readPlainBody(a);
  EXPECT_EQ(t.source, body::BodySource::Html);
  EXPECT_EQ(t.text, "other");

  m::PropertyBag b;
  b.set(m::tag::RtfCompressed, compressedRtf(rtf::rtfFromHtml(kWrappedHtml)));
  EXPECT_EQ(body::readPlainBody(b).text, "From RTF & more");
  b.set(m::tag::RtfCompressed, compressedRtf("{\\rtf1\\ansi First\\par Second}"));
  t = body::readPlainBody(b);
  EXPECT_EQ(t.source, body::BodySource::Rtf);
  EXPECT_EQ(t.text, "First\r\nSecond");
}

TEST(Body, DamagedRtfDoesNotHideOtherForms) {
  m::PropertyBag a;
  m::Bytes broken = rtf::compress(bytesOf(rtf::rtfFromHtml(kWrappedHtml)));
  broken.resize(broken.size() / 2);  // cut short: no end marker
  a.set(m::tag::RtfCompressed, m::PropValue::binary(broken));
  a.set(m::tag::Body, m::PropValue::unicode("the plain body"));
  EXPECT_EQ(body::readHtmlBody(a).source, body::BodySource::PlainText);
  a.set(m::tag::RtfCompressed, m::PropValue::binary(bytesOf("junk")));
  EXPECT_EQ(body::readPlainBody(a).text, "the plain body");

  // A wrong CRC alone does not cost the body.
  m::Bytes badCrc = rtf::compress(bytesOf(rtf::rtfFromHtml(kWrappedHtml)));
  badCrc[12] ^= 0xFF;
  a.set(m::tag::RtfCompressed, m::PropValue::binary(badCrc));
  EXPECT_EQ(body::htmlBody(a), kWrappedHtml);
}

TEST(Body, WritingHtmlLeavesNoStaleForm) {
  m::PropertyBag p;
  p.set(m::makeTag(0x0037, m::pt::String8), m::PropValue::string8("\xCF\xF0\xE8"));  // ANSI subject, Windows-1251
  p.set(m::tag::InternetCodepage, m::PropValue::int32(1251));
  p.set(m::tag::Html, m::PropValue::binary(bytesOf("<html><head><meta charset=\"windows-1251\"></head><body>old</body></html>")));
  p.set(m::makeTag(0x1000, m::pt::String8), m::PropValue::string8("old"));
  p.set(m::tag::RtfCompressed, compressedRtf(rtf::rtfFromHtml("<p>old</p>")));
  p.set(m::tag::RtfInSync, m::PropValue::boolean(true));
  p.set(m::makeTag(0x1006, m::pt::Int32), m::PropValue::int32(1234));  // RTF sync CRC
  p.set(m::tag::NativeBody, m::PropValue::int32(body::kNativeRtf));
  const std::string subjectBefore = *p.getString(0x0037);

  const std::string html = body::htmlBody(p) + "<br><br>Attachment : <a href=\"file:///x/y%20z.txt\">y z.txt</a>";
  body::writeHtmlBody(p, html);

  const std::string expected = body::declareUtf8(html);
  EXPECT_NE(expected.find("charset=\"utf-8\""), std::string::npos);
  EXPECT_EQ(stringOf(*p.getBinary(m::tag::Html)), expected);
  EXPECT_FALSE(p.has(m::tag::BodyHtml));
  EXPECT_EQ(p.getInt32(m::tag::InternetCodepage), 65001);
  EXPECT_EQ(p.getInt32(m::tag::NativeBody), body::kNativeHtml);
  EXPECT_EQ(p.get(m::makeTag(0x1000, m::pt::String8)), nullptr);
  EXPECT_EQ(*p.getString(0x1000), "old\r\n\r\nAttachment : y z.txt <file:///x/y%20z.txt>");
  EXPECT_FALSE(p.has(m::tag::RtfCompressed));
  EXPECT_FALSE(p.has(m::tag::RtfInSync));
  EXPECT_FALSE(p.getById(0x1006));
  // The ANSI subject still reads as before.
  EXPECT_EQ(p.getInt32(m::tag::MessageCodepage), 1251);
  EXPECT_EQ(*p.getString(0x0037), subjectBefore);

  EXPECT_EQ(body::readHtmlBody(p).source, body::BodySource::Html);
  EXPECT_EQ(body::htmlBody(p), expected);
  // Writing what was read changes nothing more.
  m::PropertyBag again = p;
  body::writeHtmlBody(again, body::htmlBody(p));
  EXPECT_EQ(again, p);
}

TEST(Body, WritingHtmlCanRegenerateTheRtf) {
  m::PropertyBag p;
  p.set(m::tag::RtfCompressed, compressedRtf("{\\rtf1\\ansi old}"));
  p.set(m::tag::RtfInSync, m::PropValue::boolean(false));
  const std::string html = "<html><head></head><body><p>new \xE2\x82\xAC</p></body></html>";
  body::writeHtmlBody(p, html, body::RtfOnHtmlWrite::Regenerate);
  EXPECT_EQ(p.getBool(m::tag::RtfInSync), true);
  m::Bytes wrapped = rtf::decompress(*p.getBinary(m::tag::RtfCompressed));
  EXPECT_EQ(rtf::htmlFromRtf(wrapped), body::declareUtf8(html));
  EXPECT_EQ(stringOf(*p.getBinary(m::tag::Html)), body::declareUtf8(html));
  EXPECT_EQ(body::plainBody(p), "new \xE2\x82\xAC");
}

TEST(Body, WritingPlainKeepsTheOtherForms) {
  m::PropertyBag p;
  p.set(m::tag::Html, m::PropValue::binary(bytesOf("<p>html</p>")));
  p.set(m::makeTag(0x1000, m::pt::String8), m::PropValue::string8("old"));
  p.set(m::tag::RtfCompressed, compressedRtf("{\\rtf1\\ansi old}"));
  p.set(m::tag::RtfInSync, m::PropValue::boolean(true));
  body::writePlainBody(p, "new text\r\n\r\n<file:///x/y.txt>\r\n");
  EXPECT_EQ(p.get(m::makeTag(0x1000, m::pt::String8)), nullptr);
  EXPECT_EQ(body::plainBody(p), "new text\r\n\r\n<file:///x/y.txt>\r\n");
  EXPECT_EQ(body::htmlBody(p), "<p>html</p>");
  EXPECT_TRUE(p.has(m::tag::RtfCompressed));
  // The RTF no longer matches PR_BODY, and no longer says it does.
  EXPECT_EQ(p.getBool(m::tag::RtfInSync), false);
}

// A body that is RTF of its own takes additions into the RTF: the plain
// link form as a field between its brackets, characters outside ASCII and
// RTF's own specials escaped. Anything else is left to the ordinary writes.
TEST(Body, AdditionsToAnRtfBodyGoIntoTheRtf) {
  const std::string doc = "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red255\\green0\\blue0;}"
                          "\\f0\\cf1\\b Hello\\b0\\par}";
  auto rtfBody = [&] {
    m::PropertyBag p;
    p.set(m::tag::Body, m::PropValue::unicode("Hello"));
    p.set(m::tag::RtfCompressed, compressedRtf(doc));
    p.set(m::tag::RtfInSync, m::PropValue::boolean(true));
    p.set(m::PropTag{0x10060003}, m::PropValue::int32(1234));  // PR_RTF_SYNC_BODY_CRC of the old body
    return p;
  };
  m::PropertyBag p = rtfBody();
  ASSERT_TRUE(body::rtfIsTheBody(p));
  m::PropertyBag unmarked = rtfBody();  // the same text, in-sync flag absent
  unmarked.removeId(m::propId(m::tag::RtfInSync));
  EXPECT_TRUE(body::rtfIsTheBody(unmarked));
  const std::string text = "Hello\r\n\r\n<file:///d/{x}\\\xC3\xA9.txt>\r\n";
  ASSERT_TRUE(body::appendTextToRtfBody(p, text));
  EXPECT_EQ(stringOf(rtf::decompress(*p.getBinary(m::tag::RtfCompressed))),
            "{\\rtf1\\ansi{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red255\\green0\\blue0;}\\f0\\cf1\\b Hello\\b0\\par"
            "{\\pard\\plain \\par\r\n\\par\r\n<{\\field{\\*\\fldinst{HYPERLINK \"file:///d/\\{x\\}\\\\\\\\\\u233?.txt\"}}"
            "{\\fldrslt{\\ul file:///d/\\{x\\}\\\\\\u233?.txt}}}>\\par\r\n\\par}}");
  EXPECT_EQ(body::plainBody(p), text);
  EXPECT_EQ(p.getInt32(m::tag::NativeBody), body::kNativeRtf);
  EXPECT_EQ(p.getBool(m::tag::RtfInSync), true);
  EXPECT_FALSE(p.has(m::PropTag{0x10060003}));

  // Not an addition: nothing done.
  m::PropertyBag q = rtfBody();
  EXPECT_FALSE(body::appendTextToRtfBody(q, "Other text"));
  EXPECT_FALSE(body::appendHtmlToRtfBody(q, "<p>Other</p>"));
  EXPECT_EQ(q.all(), rtfBody().all());

  // RTF that wraps HTML, RTF that lags behind PR_BODY, and RTF beside
  // PR_HTML are not the body.
  m::PropertyBag wrapped;
  wrapped.set(m::tag::RtfCompressed, compressedRtf(rtf::rtfFromHtml(kWrappedHtml)));
  m::PropertyBag stale = rtfBody();
  stale.set(m::tag::RtfInSync, m::PropValue::boolean(false));
  m::PropertyBag beside = rtfBody();
  beside.set(m::tag::Html, m::PropValue::binary(bytesOf("<p>Hello</p>")));
  // Nothing says whether they agree, and PR_BODY holds other text.
  m::PropertyBag drifted = rtfBody();
  drifted.removeId(m::propId(m::tag::RtfInSync));
  drifted.set(m::tag::Body, m::PropValue::unicode("Hello, and newer text"));
  for (m::PropertyBag* other : {&wrapped, &stale, &beside, &drifted}) {
    EXPECT_FALSE(body::rtfIsTheBody(*other));
    EXPECT_FALSE(body::appendHtmlToRtfBody(*other, body::htmlBody(*other) + "<br>x"));
  }
}

}  // namespace
