#include "mapi/rtf/tokenizer.h"

#include <limits>

namespace varnolt::mapi::rtf {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Control words are at most 32 letters and parameters fit a signed 16-bit
// value in valid RTF; we allow more and clamp, so long runs of digits in
// hostile input cannot overflow.
constexpr std::size_t kMaxWord = 64;

}  // namespace

Token Tokenizer::next() {
  while (pos_ < data_.size()) {
    char c = data_[pos_];
    if (c == '\r' || c == '\n') {
      ++pos_;
      continue;
    }
    Token t;
    if (c == '{') {
      ++pos_;
      t.kind = Token::Kind::GroupStart;
      return t;
    }
    if (c == '}') {
      ++pos_;
      t.kind = Token::Kind::GroupEnd;
      return t;
    }
    if (c == '\\') return controlToken();
    std::size_t start = pos_;
    while (pos_ < data_.size()) {
      char d = data_[pos_];
      if (d == '\\' || d == '{' || d == '}' || d == '\r' || d == '\n') break;
      ++pos_;
    }
    t.kind = Token::Kind::Text;
    t.text = data_.substr(start, pos_ - start);
    return t;
  }
  return Token{};
}

Token Tokenizer::controlToken() {
  Token t;
  ++pos_;  // the backslash
  if (pos_ >= data_.size()) return Token{};  // a lone backslash ends the input
  char c = data_[pos_];
  if (!isLetter(c)) {
    ++pos_;
    if (c == '\'') {
      int hi = pos_ < data_.size() ? hexValue(data_[pos_]) : -1;
      int lo = pos_ + 1 < data_.size() ? hexValue(data_[pos_ + 1]) : -1;
      if (hi >= 0 && lo >= 0) {
        pos_ += 2;
        t.kind = Token::Kind::HexByte;
        t.symbol = static_cast<std::uint8_t>(hi * 16 + lo);
        return t;
      }
      // A broken escape: give the quote itself and carry on after it.
    }
    if (c == '\r' || c == '\n') {
      // A backslash before a line break is a paragraph mark.
      t.kind = Token::Kind::ControlWord;
      t.text = "par";
      return t;
    }
    t.kind = Token::Kind::ControlSymbol;
    t.symbol = static_cast<std::uint8_t>(c);
    return t;
  }
  std::size_t start = pos_;
  while (pos_ < data_.size() && isLetter(data_[pos_]) && pos_ - start < kMaxWord) ++pos_;
  t.kind = Token::Kind::ControlWord;
  t.text = data_.substr(start, pos_ - start);
  bool negative = false;
  if (pos_ + 1 < data_.size() && data_[pos_] == '-' && isDigit(data_[pos_ + 1])) {
    negative = true;
    ++pos_;
  }
  if (pos_ < data_.size() && isDigit(data_[pos_])) {
    std::int64_t value = 0;
    while (pos_ < data_.size() && isDigit(data_[pos_])) {
      if (value < std::numeric_limits<std::int32_t>::max()) value = value * 10 + (data_[pos_] - '0');
      ++pos_;
    }
    if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
    t.hasParam = true;
    t.param = static_cast<std::int32_t>(negative ? -value : value);
  }
  if (pos_ < data_.size() && data_[pos_] == ' ') ++pos_;  // the delimiter belongs to the word
  if (t.text == "bin" && t.hasParam) {
    std::size_t n = t.param > 0 ? static_cast<std::size_t>(t.param) : 0;
    if (n > data_.size() - pos_) n = data_.size() - pos_;
    t.kind = Token::Kind::Binary;
    t.text = data_.substr(pos_, n);
    pos_ += n;
  }
  return t;
}

}  // namespace varnolt::mapi::rtf
