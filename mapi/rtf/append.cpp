#include "mapi/rtf/append.h"

#include "mapi/rtf/rtf_text.h"
#include "mapi/rtf/tokenizer.h"

namespace varnolt::mapi::rtf {

namespace {

// Text with its line breaks as paragraph marks.
void appendText(std::string& out, std::string_view text) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    out += escapeText(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    out += "\\par\r\n";
    start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
  }
}

// The field instruction's argument is a quoted string: a quote or a
// backslash in it is escaped for the field as well as for RTF.
std::string fieldArgument(std::string_view url) {
  std::string quoted;
  for (char c : url) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return escapeText(quoted);
}

}  // namespace

std::string rtfForPieces(const std::vector<RtfPiece>& pieces) {
  std::string out = "{\\pard\\plain ";
  for (const RtfPiece& piece : pieces) {
    if (piece.url.empty()) {
      appendText(out, piece.text);
      continue;
    }
    out += "{\\field{\\*\\fldinst{HYPERLINK \"" + fieldArgument(piece.url) + "\"}}{\\fldrslt{\\ul ";
    appendText(out, piece.text.empty() ? piece.url : piece.text);
    out += "}}}";
  }
  out += "\\par}";
  return out;
}

std::optional<Bytes> insertAtEnd(ByteView rtf, std::string_view fragment) {
  Tokenizer tokens(rtf);
  int depth = 0;
  for (Token t = tokens.next(); t.kind != Token::Kind::End; t = tokens.next()) {
    if (t.kind == Token::Kind::GroupStart) {
      ++depth;
    } else if (t.kind == Token::Kind::GroupEnd) {
      if (depth == 0) return std::nullopt;  // a brace that closes nothing
      if (--depth == 0) {
        const std::size_t brace = tokens.position() - 1;
        Bytes out(rtf.data(), rtf.data() + brace);
        out.insert(out.end(), fragment.begin(), fragment.end());
        out.insert(out.end(), rtf.data() + brace, rtf.data() + rtf.size());
        return out;
      }
    }
  }
  return std::nullopt;
}

}  // namespace varnolt::mapi::rtf
