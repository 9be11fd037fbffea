#pragma once
// Splits RTF into its tokens: group braces, control words with their
// optional numeric parameter, control symbols, \'hh bytes and runs of
// plain text. Reads only inside the given bytes; malformed input (a lone
// backslash at the end, a bad hex escape, \bin past the end) ends in a
// token that says so rather than in an error, because RTF readers are
// expected to carry on.

#include <cstdint>
#include <string_view>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::rtf {

struct Token {
  enum class Kind : std::uint8_t {
    End,            // no more input
    GroupStart,     // {
    GroupEnd,       // }
    ControlWord,    // \word or \wordN (text = the word)
    ControlSymbol,  // \ followed by one non-letter (symbol = that byte)
    HexByte,        // \'hh (symbol = the byte)
    Text,           // plain bytes, line breaks of the file removed
    Binary,         // the data of \binN (text = the data)
  };
  Kind kind = Kind::End;
  std::string_view text;
  bool hasParam = false;
  std::int32_t param = 0;
  std::uint8_t symbol = 0;

  bool isWord(std::string_view w) const { return kind == Kind::ControlWord && text == w; }
};

class Tokenizer {
 public:
  explicit Tokenizer(ByteView rtf)
      : data_(reinterpret_cast<const char*>(rtf.data()), rtf.size()) {}  // NOLINT: bytes read as chars
  explicit Tokenizer(std::string_view rtf) : data_(rtf) {}

  Token next();
  std::size_t position() const { return pos_; }

 private:
  Token controlToken();

  std::string_view data_;
  std::size_t pos_ = 0;
};

}  // namespace varnolt::mapi::rtf
