// Text out of RTF: de-encapsulated HTML and plain text, the visible text of
// ordinary RTF, and RTF we write around HTML and text.

#include "mapi/rtf/rtf_text.h"

#include <gtest/gtest.h>

#include "tests/rtf/rtf_fixtures.h"

namespace m = varnolt::mapi;
namespace rtf = varnolt::mapi::rtf;
using namespace varnolt::test::rtf;

namespace {

std::optional<std::string> html(const std::string& r) { return rtf::htmlFromRtf(bytesOf(r)); }
std::string text(const std::string& r) { return rtf::textFromRtf(bytesOf(r)); }

// Encapsulated HTML as Outlook writes it: markup in \htmltag groups, RTF
// formatting and RTF-only text between \htmlrtf and \htmlrtf0.
const std::string kOutlookHtml =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\fbidis \\deff0{\\fonttbl\r\n"
    "{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
    "{\\f1\\fmodern Courier New;}\r\n"
    "{\\f2\\fnil\\fcharset2 Symbol;}\r\n"
    "{\\f3\\fmodern\\fcharset0 Courier New;}\r\n"
    "{\\f4\\fswiss\\fcharset204 Tahoma;}}\r\n"
    "{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
    "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 \r\n"
    "{\\*\\htmltag19 <html>}\r\n"
    "{\\*\\htmltag34 <head>}\r\n"
    "{\\*\\htmltag161 <meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">}\r\n"
    "{\\*\\htmltag241 <style>p \\{ margin: 0 \\}</style>}\r\n"
    "{\\*\\htmltag41 </head>}\r\n"
    "{\\*\\htmltag50 <body>}\\htmlrtf {\\htmlrtf0 \r\n"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Caf\\'e9 cr\\u232\\'e8me {\\*\\htmltag84 &nbsp;}\\htmlrtf \\'a0\\htmlrtf0 "
    "\\{x\\} \\\\ \\ldblquote q\\rdblquote\r\n"
    "{\\*\\htmltag148 <font face=\"Tahoma\">}\\htmlrtf {\\f4 \\htmlrtf0 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2\\htmlrtf }\\htmlrtf0 "
    "{\\*\\htmltag156 </font>}\r\n"
    "{\\*\\htmltag4 \\par }{\\*\\htmltag84 <a href=\"http://example.com/?a=1&amp;b=2\">}\\htmlrtf {\\field{\\*\\fldinst{HYPERLINK "
    "\"http://example.com/\"}}{\\fldrslt\\cf1\\ul \\htmlrtf0 link\\htmlrtf }\\htmlrtf0 \\htmlrtf }\\htmlrtf0 "
    "{\\*\\htmltag92 </a>}\r\n"
    "{\\*\\mhtmltag84 <img src=\"cid:image001.png\">}{\\*\\htmltag84 <img src=\"image001.png\">}\r\n"
    "\\htmlrtf \\par\\htmlrtf0 {\\*\\htmltag72 </p>}\\htmlrtf }\\htmlrtf0 \r\n"
    "{\\*\\htmltag58 </body>}\\htmlrtf }\\htmlrtf0 \r\n"
    "{\\*\\htmltag27 </html>}}\r\n";

TEST(RtfText, OutlookEncapsulatedHtml) {
  EXPECT_EQ(rtf::originOf(bytesOf(kOutlookHtml)), rtf::RtfOrigin::Html);
  std::optional<std::string> h = html(kOutlookHtml);
  ASSERT_TRUE(h.has_value());
  EXPECT_EQ(*h,
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
            "<style>p { margin: 0 }</style></head><body><p>Caf\xC3\xA9 cr\xC3\xA8me &nbsp;{x} \\ "
            "\xE2\x80\x9Cq\xE2\x80\x9D<font face=\"Tahoma\">\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82</font>\r\n"
            "<a href=\"http://example.com/?a=1&amp;b=2\">link</a><img src=\"image001.png\"></p></body></html>");
}

TEST(RtfText, EncapsulationMustBeDeclaredInTheHeader) {
  EXPECT_FALSE(html("{\\rtf1\\ansi Hello {\\*\\htmltag64 <p>}}").has_value());
  EXPECT_FALSE(html("{\\rtf1\\ansi Hello\\fromhtml1 {\\*\\htmltag64 <p>}}").has_value());
  EXPECT_FALSE(html("not rtf at all").has_value());
  EXPECT_FALSE(html("").has_value());
  // \fromhtml inside a group is not the document's.
  EXPECT_FALSE(html("{\\rtf1{\\fromhtml1}{\\*\\htmltag64 <p>}}").has_value());
  EXPECT_EQ(rtf::originOf(bytesOf("{\\rtf1\\ansi\\ansicpg1252\\fromtext \\deff0 x}")), rtf::RtfOrigin::Text);
  EXPECT_EQ(rtf::originOf(bytesOf("{\\rtf1\\ansi\\deff0 x}")), rtf::RtfOrigin::Rtf);
}

TEST(RtfText, HtmlrtfStateFollowsGroups) {
  // Turned on inside a group, it ends with the group; turned off inside
  // one, it is back on after it.
  EXPECT_EQ(*html("{\\rtf1\\fromhtml1 a{\\htmlrtf b}c\\htmlrtf d{\\htmlrtf0 e}f\\htmlrtf0 g}"), "aceg");
  // Unknown optional destinations are hidden, known ones too.
  EXPECT_EQ(*html("{\\rtf1\\fromhtml1 {\\*\\unknownthing x}{\\info{\\title t}}{\\*\\htmltag <b>}y}"), "<b>y");
  // The parameter of \htmltag is not content; one space separates them.
  EXPECT_EQ(*html("{\\rtf1\\fromhtml1 {\\*\\htmltag 123}{\\*\\htmltag4 \\par}{\\*\\htmltag0 \\tab x}}"), "123\r\n\tx");
}

TEST(RtfText, CodePagesAndUnicode) {
  // Double-byte code page: two escapes make one character.
  EXPECT_EQ(text("{\\rtf1\\ansi\\ansicpg932 \\'82\\'a0}"), "\xE3\x81\x82");
  // The font's charset wins over the document's code page.
  EXPECT_EQ(text("{\\rtf1\\ansi\\ansicpg1252{\\fonttbl{\\f1\\fcharset238 X;}}\\'e8{\\f1 \\'e8}}"),
            "\xC3\xA8\xC4\x8D");
  // \ucN fallback is skipped, whether text, escapes or symbols.
  EXPECT_EQ(text("{\\rtf1 \\u8364?x\\uc2\\u8364\\'80\\'80y\\uc0\\u8364 z}"), "\xE2\x82\xAC" "x\xE2\x82\xAC" "y\xE2\x82\xAC" "z");
  // Negative values and surrogate pairs.
  EXPECT_EQ(text("{\\rtf1 \\u-3913?\\u-10179?\\u-8704?}"), "\xEF\x82\xB7\xF0\x9F\x98\x80");
  // A lone surrogate becomes the replacement character.
  EXPECT_EQ(text("{\\rtf1 \\u-10179?x}"), "\xEF\xBF\xBDx");
}

TEST(RtfText, VisibleTextOfOrdinaryRtf) {
  const std::string doc =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fswiss Arial;}}{\\colortbl;\\red255\\green0\\blue0;}"
      "{\\stylesheet{\\s0 Normal;}}{\\info{\\author Someone}}{\\*\\generator Riched20;}\r\n"
      "\\pard\\f0\\fs20 First line\\par\r\nSecond\\tab column\\line third\\par\r\n"
      "{\\field{\\*\\fldinst HYPERLINK \"http://x\"}{\\fldrslt click}} here"
      "{\\pict\\wmetafile8 0102ff}{\\*\\shppict{\\pict 00}}\\bin4 {}{}\\~end\\-\\_x\\par}";
  EXPECT_EQ(text(doc), "First line\r\nSecond\tcolumn\r\nthird\r\nclick here\xC2\xA0" "end\xE2\x80\x91x\r\n");
  // A \fromhtml document read as RTF shows what RTF readers show.
  std::string visible = text(kOutlookHtml);
  EXPECT_NE(visible.find("Caf\xC3\xA9"), std::string::npos);
  EXPECT_EQ(visible.find("<p>"), std::string::npos);
  // Encapsulated text comes back without the RTF-only parts.
  EXPECT_EQ(text("{\\rtf1\\ansi\\fromtext {\\fonttbl{\\f0 A;}}a\\par b\\htmlrtf hidden\\htmlrtf0 c}"), "a\r\nbc");
}

TEST(RtfText, HostileInputEnds) {
  std::string deep = "{\\rtf1\\fromhtml1 ";
  for (int i = 0; i < 100000; ++i) deep += "{";
  deep += "x";
  for (int i = 0; i < 100000; ++i) deep += "}";
  deep += "{\\*\\htmltag <p>}}";
  EXPECT_EQ(*html(deep), "<p>");  // what lies too deep is dropped, the rest read
  for (const char* bad : {"{\\rtf1 \\", "{\\rtf1 \\'4", "{\\rtf1 \\bin999999 ab", "}}}}{\\rtf1 x",
                          "{\\rtf1 \\u99999999999999999999?", "{\\rtf1 \\uc99999 \\u65 abc"}) {
    SCOPED_TRACE(bad);
    EXPECT_NO_THROW(text(bad));
  }
  for (unsigned seed = 1; seed <= 100; ++seed) {
    m::Bytes noise = randomBytes(2000, seed);
    std::string doc = "{\\rtf1\\fromhtml1 " + stringOf(noise);
    EXPECT_NO_THROW(html(doc));
    EXPECT_NO_THROW(text(doc));
  }
}

TEST(RtfText, HtmlSurvivesEncapsulation) {
  const std::vector<std::string> documents = {
      "",
      "plain words only",
      "<html><head><meta charset=\"utf-8\"><title>T &amp; x</title>\r\n<style>p{margin:0}</style></head>\r\n"
      "<body>\r\n<p>Line one<br>\r\nline two &lt;3 &#233; &#x1F600; &unknown; & bare</p>\n<div>a\tb</div></body></html>\r\n",
      "<p>Backslash \\ and {braces} and \\par not a word</p>",
      "<p>Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80 \xE4\xB8\xAD\xE6\x96\x87</p>",
      "<!-- comment with <p> inside -->\n<script>if (a < b && c > d) { x(); }</script><p title=\"a>b\">t</p>",
      "a < b > c, 3<4, <not a tag, <br/>",
      "<a href=\"file:///x/y.txt\">y.txt</a>",
      "<p>unfinished <b",
      "\r\r\n\n \t  spaces   and\ttabs \r\n",
      "<p>invalid utf-8 \xFF\xFE here</p>",
      "<PRE>  keep\n    this</PRE><TABLE><TR><TD>1</TD><TD>2</TD></TR></TABLE>",
  };
  for (const std::string& h : documents) {
    SCOPED_TRACE(h);
    std::string r = rtf::rtfFromHtml(h);
    for (char c : r) ASSERT_LT(static_cast<unsigned char>(c), 0x80);
    EXPECT_EQ(rtf::originOf(bytesOf(r)), rtf::RtfOrigin::Html);
    std::optional<std::string> back = rtf::htmlFromRtf(bytesOf(r));
    ASSERT_TRUE(back.has_value());
    // Invalid UTF-8 cannot be kept; it becomes the replacement character.
    std::string expected = h;
    for (std::size_t p; (p = expected.find("\xFF\xFE")) != std::string::npos;)
      expected.replace(p, 2, "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(*back, expected);
  }
  // RTF readers see the text with paragraph breaks and without the markup.
  std::string shown = rtf::textFromRtf(
      bytesOf(rtf::rtfFromHtml("<html><head><title>Hidden</title></head><body><p>One &amp; two</p><p>Three</p></body></html>")));
  EXPECT_EQ(shown, "One & two\r\nThree\r\n");
}

TEST(RtfText, PlainTextSurvivesEncapsulation) {
  std::string r = rtf::rtfFromText("Hello {world}\\\r\nline 2\nline 3\rline 4 \xE2\x82\xAC\tend");
  EXPECT_EQ(rtf::originOf(bytesOf(r)), rtf::RtfOrigin::Text);
  EXPECT_EQ(rtf::textFromRtf(bytesOf(r)), "Hello {world}\\\r\nline 2\r\nline 3\r\nline 4 \xE2\x82\xAC\tend");
  EXPECT_FALSE(rtf::htmlFromRtf(bytesOf(r)).has_value());
}

}  // namespace
