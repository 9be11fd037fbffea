#pragma once
// The bodies of a message kept in step. A message may hold its body as
// plain text (PR_BODY), as HTML (PR_HTML, bytes in the message's code
// page) and as compressed RTF (PR_RTF_COMPRESSED), which may itself wrap
// HTML or plain text; PR_NATIVE_BODY_INFO says which one is the original
// and PR_RTF_IN_SYNC whether the RTF agrees with the plain text.
//
// Reading takes the best form there is; writing leaves the message so that
// every reader shows the new content and no older form, still marked as
// current, can hide it. All text is UTF-8.

#include <cstdint>
#include <string>

#include "mapi/property.h"

namespace varnolt::mapi::body {

// PR_NATIVE_BODY_INFO values.
enum NativeBody : std::int32_t {
  kNativeUndefined = 0,
  kNativePlainText = 1,
  kNativeRtf = 2,
  kNativeHtml = 3,
  kNativeClearSigned = 4,
};

// Which form a body was read from.
enum class BodySource : std::uint8_t {
  None,        // the message has no body
  Html,        // PR_HTML (or its string form)
  RtfHtml,     // HTML encapsulated in the compressed RTF
  PlainText,   // PR_BODY
  Rtf,         // the text of the compressed RTF
};

struct BodyText {
  std::string text;
  BodySource source = BodySource::None;
};

// The HTML body: PR_HTML decoded through its code page (PR_INTERNET_CPID,
// else the charset its <meta> declares, else PR_MESSAGE_CODEPAGE, else
// Windows-1252); else the HTML inside the compressed RTF; else the plain
// body turned into HTML. Empty, source None, when the message has no body.
// A charset the document declares is left as written, though the text is
// now UTF-8; writeHtmlBody() makes the declaration match again.
BodyText readHtmlBody(const PropertyBag& props);
inline std::string htmlBody(const PropertyBag& props) { return readHtmlBody(props).text; }

// The plain body: PR_BODY; else the text of the HTML body (PR_HTML or the
// HTML in the RTF); else the text of the RTF.
BodyText readPlainBody(const PropertyBag& props);
inline std::string plainBody(const PropertyBag& props) { return readPlainBody(props).text; }

// What becomes of compressed RTF when the HTML body is written.
enum class RtfOnHtmlWrite : std::uint8_t {
  // Removed with the properties that keep it in step. Outlook makes RTF
  // from PR_HTML when it needs it, so nothing older can show through.
  Remove,
  // Replaced by RTF that encapsulates the new HTML, marked in sync, for
  // readers that take the RTF before PR_HTML.
  Regenerate,
};

// Makes `html` the message's body: PR_HTML holds it as UTF-8 with a
// matching <meta> charset and PR_INTERNET_CPID 65001, PR_NATIVE_BODY_INFO
// says HTML, PR_BODY is the text of the new HTML, and compressed RTF is
// removed or regenerated. String8 properties keep the code page they were
// written in (PR_MESSAGE_CODEPAGE is pinned when needed).
void writeHtmlBody(PropertyBag& props, const std::string& html, RtfOnHtmlWrite rtf = RtfOnHtmlWrite::Remove);

// Makes `text` the plain body (PR_BODY as Unicode); the other forms stay.
void writePlainBody(PropertyBag& props, const std::string& text);

// Whether the message's body is RTF of its own: compressed RTF that wraps
// neither HTML nor plain text, no PR_HTML, and no PR_RTF_IN_SYNC saying the
// RTF lags behind PR_BODY.
bool rtfIsTheBody(const PropertyBag& props);

// Adding to a body that is RTF of its own keeps its formatting: when `html`
// is the HTML body (readHtmlBody) with more appended, or `text` the plain
// body (readPlainBody) with more appended, the appended part goes into the
// RTF at its end (line breaks as paragraphs, <a href> and <file://...>
// links as HYPERLINK fields), PR_BODY gains its text, the RTF stays the
// native body and is marked in step with PR_BODY. True when done; false,
// with nothing changed, when the body is not such RTF or the new text does
// not extend the old, and the caller writes the body the ordinary way.
bool appendHtmlToRtfBody(PropertyBag& props, const std::string& html);
bool appendTextToRtfBody(PropertyBag& props, const std::string& text);

}  // namespace varnolt::mapi::body
