#pragma once
// Text out of RTF bodies, and RTF that wraps HTML.
//
// Outlook keeps an HTML or plain-text body inside RTF by encapsulation
// ([MS-OXRTFEX]): \fromhtml1 (or \fromtext) in the header, the HTML's
// markup in {\*\htmltagN ...} groups, its text between them, and RTF that
// only serves RTF readers between \htmlrtf and \htmlrtf0. De-encapsulation
// gives back the original; any other RTF gives its visible text.
//
// Text is decoded through the code page of the document (\ansicpgN) and of
// the current font (\fcharsetN, \cpgN); \uN characters are taken as they
// are, with their \ucN fallback skipped. All results are UTF-8. Line
// breaks (\par, \line) come out as CR LF, the form mail bodies use.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::rtf {

enum class RtfOrigin : std::uint8_t {
  Rtf,   // ordinary RTF
  Html,  // \fromhtml1: encapsulated HTML
  Text,  // \fromtext: encapsulated plain text
};

// What the RTF header says the document was made from; anything not RTF
// at all counts as ordinary RTF.
RtfOrigin originOf(ByteView rtf);

// The encapsulated HTML of a \fromhtml1 document (UTF-8), or nullopt for
// any other document. Throws mapi::Error (Limit) only for groups nested
// absurdly deep.
std::optional<std::string> htmlFromRtf(ByteView rtf);

// The plain text of a document: the original text of a \fromtext
// document, else the visible text (header, font and colour tables,
// pictures, field instructions and other hidden destinations left out).
std::string textFromRtf(ByteView rtf);

// An RTF document that encapsulates `html` (UTF-8): htmlFromRtf() gives it
// back byte for byte, and RTF readers that know nothing of encapsulation
// show its text with paragraph breaks. The result is 7-bit ASCII.
std::string rtfFromHtml(std::string_view html);

// An RTF document that encapsulates plain text (\fromtext); textFromRtf()
// gives it back with its line breaks as CR LF.
std::string rtfFromText(std::string_view text);

// UTF-8 text as visible RTF text: \, { and } escaped, other characters
// outside ASCII as \uN? (surrogate pairs beyond the BMP), tabs as \tab.
// Line breaks are not turned into paragraphs. The result is 7-bit ASCII.
std::string escapeText(std::string_view text);

// The Windows code page of an RTF \fcharsetN value, or 0 when the charset
// says nothing about one (default or symbol charsets).
std::uint32_t codepageOfCharset(std::int32_t charset);

}  // namespace varnolt::mapi::rtf
