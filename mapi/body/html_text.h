#pragma once
// Conversions between HTML and plain text for message bodies, and the
// charset an HTML body declares. Everything here is UTF-8 in and out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnolt::mapi::body {

// The text a reader sees: tags, comments, scripts, styles and the head
// dropped, character references decoded, whitespace collapsed as HTML
// does (kept inside <pre>), block elements and <br> as line breaks (CR LF),
// table cells separated by tabs, and a link's target after its text when
// the two differ ("y.txt <file:///x/y.txt>").
std::string htmlToText(std::string_view html);

// A run of an HTML fragment: text, or a link when href is set (text is
// what it shows).
struct HtmlRun {
  std::string text;
  std::string href;
};

// The text and links of an HTML fragment, for putting it into another
// format: <br> and the ends of paragraphs and divisions as CR LF, each
// <a href> as a run of its own, character references decoded, line breaks
// and tabs of the source as blanks, other markup dropped.
std::vector<HtmlRun> textAndLinks(std::string_view html);

// A whole HTML document showing the text: characters escaped, line breaks
// kept as <br>, runs of spaces kept; declared as UTF-8.
std::string textToHtml(std::string_view text);

// Text with &, <, > and " escaped for HTML.
std::string escapeHtml(std::string_view text);

// The charset a document declares in a <meta> element ("charset=..." in
// either form), as written, or nullopt.
std::optional<std::string> declaredCharset(std::string_view html);

// The Windows code page of a charset name ("utf-8" 65001, "iso-8859-1"
// 1252 as browsers read it, "shift_jis" 932, ...), or 0 when unknown.
std::uint32_t codepageOfCharsetName(std::string_view name);

// The document with every charset its <meta> elements declare changed to
// UTF-8, or, when it declares none, with a declaration added at the start
// of its head (made when missing).
std::string declareUtf8(std::string_view html);

}  // namespace varnolt::mapi::body
