// HTML to text and back, and the charset an HTML body declares.

#include "mapi/body/html_text.h"

#include <gtest/gtest.h>

namespace body = varnolt::mapi::body;

namespace {

TEST(HtmlText, WhatAReaderSees) {
  EXPECT_EQ(body::htmlToText("<html><head><title>T</title><style>p{x:y}</style></head>"
                             "<body><script>var a = '<p>';</script><!-- <p>hidden</p> -->"
                             "<p>First   paragraph\r\n  wraps</p><p>Second &amp; &lt;third&gt; &#233;&#x20AC;&nbsp;!</p>"
                             "<div>one<br>two<br/>three</div>"
                             "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td><td>d</td></tr></table>"
                             "<pre>  keep\n    indent</pre>"
                             "<ul><li>x</li><li>y</li></ul></body></html>"),
            "First paragraph wraps\r\nSecond & <third> \xC3\xA9\xE2\x82\xAC !\r\none\r\ntwo\r\nthree\r\n"
            "a\tb\r\nc\td\r\n  keep\r\n    indent\r\nx\r\ny");
  // Links show their target when it differs from their text.
  EXPECT_EQ(body::htmlToText("See <a href=\"file:///x/y.txt\">y.txt</a>, <a href='http://a/'>http://a/</a> "
                             "and <a href=\"mailto:b@c\">b@c</a> <a href=\"#top\">top</a>"),
            "See y.txt <file:///x/y.txt>, http://a/ and b@c top");
  // Unknown references and bare ampersands stay as written; a tag that
  // never ends swallows nothing before it.
  EXPECT_EQ(body::htmlToText("a &bogus; b & c &#; <b"), "a &bogus; b & c &#;");
  EXPECT_EQ(body::htmlToText(""), "");
  EXPECT_EQ(body::htmlToText("<p></p><p>\r\n</p>"), "");
}

TEST(HtmlText, TextBecomesHtmlThatReadsBack) {
  std::string text = "Dear <Bob> & \"Alice\",\r\n\r\n  indented\ttab\nlast line";
  std::string html = body::textToHtml(text);
  EXPECT_NE(html.find("&lt;Bob&gt; &amp; &quot;Alice&quot;,<br>"), std::string::npos);
  EXPECT_NE(html.find("&nbsp;&nbsp;indented&nbsp;&nbsp;&nbsp;&nbsp;tab<br>"), std::string::npos);
  EXPECT_EQ(body::declaredCharset(html), "utf-8");
  // No-break spaces read as spaces.
  EXPECT_EQ(body::htmlToText(html), "Dear <Bob> & \"Alice\",\r\n\r\n  indented    tab\r\nlast line");
}

TEST(HtmlText, DeclaredCharsets) {
  EXPECT_EQ(body::declaredCharset("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"),
            "windows-1251");
  EXPECT_EQ(body::declaredCharset("<META charset='ISO-8859-2'>"), "ISO-8859-2");
  EXPECT_EQ(body::declaredCharset("<p>charset=utf-8</p>"), std::nullopt);
  EXPECT_EQ(body::codepageOfCharsetName("UTF-8"), 65001u);
  EXPECT_EQ(body::codepageOfCharsetName("windows-1251"), 1251u);
  EXPECT_EQ(body::codepageOfCharsetName("iso-8859-1"), 1252u);
  EXPECT_EQ(body::codepageOfCharsetName("iso-8859-7"), 28597u);
  EXPECT_EQ(body::codepageOfCharsetName("Shift_JIS"), 932u);
  EXPECT_EQ(body::codepageOfCharsetName("windows-1259"), 0u);
  EXPECT_EQ(body::codepageOfCharsetName("klingon"), 0u);
}

TEST(HtmlText, DeclaringUtf8) {
  const std::string meta = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";
  // Every declaration changes, the rest stays.
  EXPECT_EQ(body::declareUtf8("<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=us-ascii\">"
                              "<META CHARSET=\"windows-1252\"></head><body>x</body></html>"),
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
            "<META CHARSET=\"utf-8\"></head><body>x</body></html>");
  EXPECT_EQ(body::declareUtf8("<html><head lang=\"en\"><title>t</title></head><body>x</body></html>"),
            "<html><head lang=\"en\">" + meta + "<title>t</title></head><body>x</body></html>");
  EXPECT_EQ(body::declareUtf8("<HTML><body>x</body></HTML>"), "<HTML><head>" + meta + "</head><body>x</body></HTML>");
  EXPECT_EQ(body::declareUtf8("<b>fragment</b>"), meta + "<b>fragment</b>");
  // <header> is not <head>.
  EXPECT_EQ(body::declareUtf8("<header>h</header>"), meta + "<header>h</header>");
}

}  // namespace
