#pragma once
// Adding to the end of an RTF document without touching what it holds:
// the document keeps every control word, table and picture it had, and
// gains new paragraphs of text and hyperlinks (HYPERLINK fields, which RTF
// readers show as clickable links).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::rtf {

// A run of text to add, or a hyperlink when url is set (text is what it
// shows). Text is UTF-8; CR LF, CR or LF in it start a new paragraph.
struct RtfPiece {
  std::string text;
  std::string url;
};

// The pieces as RTF (7-bit ASCII) to go inside a document: one group with
// default paragraph and character formatting, so that nothing of the
// document's last paragraph (a table cell, hidden text, a colour) carries
// over into what is added. Pieces that should stand apart from the last
// paragraph begin with a line break.
std::string rtfForPieces(const std::vector<RtfPiece>& pieces);

// The document with fragment placed just before the brace that closes its
// outermost group; whatever follows that brace stays as it is. Nothing
// when the document has no complete outermost group.
std::optional<Bytes> insertAtEnd(ByteView rtf, std::string_view fragment);

}  // namespace varnolt::mapi::rtf
