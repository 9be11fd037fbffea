// Reading text out of RTF ([MSFT-RTF]) and de-encapsulating HTML and plain
// text ([MS-OXRTFEX] section 2.2.3, "De-encapsulating RTF reader").

#include "mapi/rtf/rtf_text.h"

#include <map>
#include <vector>

#include "mapi/rtf/tokenizer.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::rtf {

namespace {

// Groups deeper than this are read as hidden: valid documents stay far
// below, and hostile ones cannot make the state stack grow without bound.
constexpr std::size_t kMaxDepth = 1024;
// Where \fromhtml1 or \fromtext must appear for a document to count as
// encapsulated: among the first tokens, before any text.
constexpr int kHeaderTokens = 10;

enum class Dest : std::uint8_t {
  Body,       // visible text
  Skip,       // a destination whose text is not part of the document's text
  HtmlTag,    // \*\htmltag: a fragment of encapsulated HTML
  FontTable,  // \fonttbl: read for the code pages of fonts
};

struct GroupState {
  Dest dest = Dest::Body;
  bool htmlrtf = false;
  int uc = 1;            // fallback characters after each \uN
  std::int32_t font = -1;  // -1: the document's default font
};

// Builds UTF-8 from a mix of code-page bytes and Unicode characters.
// Bytes wait until the code page changes or a character arrives, so that
// double-byte characters split over two \'hh escapes decode together.
class TextSink {
 public:
  void byte(std::uint8_t b, std::uint32_t codepage) {
    if (!pending_.empty() && codepage != pendingCodepage_) flushBytes();
    dropSurrogate();
    // ASCII is ASCII in every code page RTF names, unless it is the second
    // byte of a double-byte character.
    if (b < 0x80 && pending_.empty()) {
      out_ += static_cast<char>(b);
      return;
    }
    pending_.push_back(b);
    pendingCodepage_ = codepage;
  }
  void character(std::uint32_t cp) {
    flushBytes();
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      dropSurrogate();
      highSurrogate_ = cp;
      return;
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF) {
      if (highSurrogate_ == 0) {
        append(0xFFFD);
        return;
      }
      cp = 0x10000 + ((highSurrogate_ - 0xD800) << 10) + (cp - 0xDC00);
      highSurrogate_ = 0;
    }
    dropSurrogate();
    append(cp);
  }
  void ascii(std::string_view s) {
    flushBytes();
    dropSurrogate();
    out_ += s;
  }
  std::string finish() {
    flushBytes();
    dropSurrogate();
    return std::move(out_);
  }

 private:
  void flushBytes() {
    if (pending_.empty()) return;
    out_ += codepageToUtf8(ByteView(pending_), pendingCodepage_);
    pending_.clear();
  }
  void dropSurrogate() {
    if (highSurrogate_ != 0) {
      highSurrogate_ = 0;
      append(0xFFFD);
    }
  }
  void append(std::uint32_t cp) {
    if (cp > 0x10FFFF) cp = 0xFFFD;
    appendUtf8(out_, cp);
  }

  std::string out_;
  Bytes pending_;
  std::uint32_t pendingCodepage_ = 1252;
  std::uint32_t highSurrogate_ = 0;
};

// Destinations whose content is never text of the document.
bool isHiddenDestination(std::string_view w) {
  static const char* const kWords[] = {
      "author",    "buptim",     "colorschememapping", "colortbl", "comment",  "creatim", "datastore",
      "docvar",    "doccomm",    "falt",               "filetbl",  "fldinst",  "footer",  "footerf",
      "footerl",   "footerr",    "footnote",           "generator", "header",  "headerf", "headerl",
      "headerr",   "info",       "keywords",           "latentstyles", "listoverridetable", "listtable",
      "mhtmltag",  "nonshppict", "objclass",           "objdata",  "objname",  "operator", "panose",
      "pgdsctbl",  "pict",       "pntext",             "pntxta",   "pntxtb",   "printim", "private",
      "revtbl",    "revtim",     "rsidtbl",            "stylesheet", "subject", "template", "themedata",
      "title",     "xe",         "tc",                 "xmlnstbl", "bkmkstart", "bkmkend", "fontemb",
      "fontfile",  "userprops",  "wgrffmtfilter",      "passwordhash", "mmathPr", "defchp", "defpap"};
  for (const char* k : kWords)
    if (w == k) return true;
  return false;
}

// What a control word stands for in text, or nullptr.
const char* textOfWord(std::string_view w, RtfOrigin mode) {
  if (w == "par" || w == "line") return "\r\n";
  if (w == "tab") return "\t";
  if (w == "emdash") return "\xE2\x80\x94";
  if (w == "endash") return "\xE2\x80\x93";
  if (w == "emspace") return "\xE2\x80\x83";
  if (w == "enspace") return "\xE2\x80\x82";
  if (w == "qmspace") return "\xE2\x80\x85";
  if (w == "bullet") return "\xE2\x80\xA2";
  if (w == "lquote") return "\xE2\x80\x98";
  if (w == "rquote") return "\xE2\x80\x99";
  if (w == "ldblquote") return "\xE2\x80\x9C";
  if (w == "rdblquote") return "\xE2\x80\x9D";
  // Table and page structure only matters when we render RTF ourselves;
  // inside encapsulated content the original carries its own.
  if (mode == RtfOrigin::Rtf) {
    if (w == "row" || w == "sect" || w == "page") return "\r\n";
    if (w == "cell" || w == "nestcell") return "\t";
  }
  return nullptr;
}

class Reader {
 public:
  Reader(ByteView rtf, RtfOrigin mode) : rtf_(rtf), mode_(mode) {}

  std::string run() {
    Tokenizer tokens(rtf_);
    for (Token t = tokens.next(); t.kind != Token::Kind::End; t = tokens.next()) {
      if (t.kind != Token::Kind::Text && t.kind != Token::Kind::HexByte && t.kind != Token::Kind::ControlSymbol)
        skip_ = 0;
      if (groupToken(t)) continue;
      if (overflow_ > 0) continue;
      contentToken(t, stack_.back());
    }
    return sink_.finish();
  }

 private:
  // Opens or closes a group, or passes over binary data; false for any
  // other token.
  bool groupToken(const Token& t) {
    switch (t.kind) {
      case Token::Kind::GroupStart:
        if (stack_.size() >= kMaxDepth) {
          ++overflow_;
        } else {
          GroupState inner = stack_.back();
          stack_.push_back(inner);
        }
        ignorable_ = false;
        return true;
      case Token::Kind::GroupEnd:
        if (overflow_ > 0) {
          --overflow_;
        } else if (stack_.size() > 1) {
          if (stack_.back().dest == Dest::FontTable && stack_[stack_.size() - 2].dest != Dest::FontTable)
            fontDef_ = -1;
          stack_.pop_back();
        }
        ignorable_ = false;
        return true;
      case Token::Kind::Binary:
        return true;
      default:
        return false;
    }
  }

  // A control word, text, an escaped byte or a control symbol inside the
  // group g.
  void contentToken(const Token& t, GroupState& g) {
    if (t.kind == Token::Kind::ControlSymbol && t.symbol == '*') {
      ignorable_ = true;
      return;
    }
    if (t.kind == Token::Kind::ControlWord) {
      bool wasIgnorable = ignorable_;
      ignorable_ = false;
      if (destinationWord(t, g, wasIgnorable)) return;
      stateWord(t, g, skip_);
      return;
    }
    ignorable_ = false;
    if (t.kind == Token::Kind::Text) {
      text(t, g);
    } else if (t.kind == Token::Kind::HexByte) {
      if (skip_ > 0) {
        --skip_;
        return;
      }
      if (emitting(g)) sink_.byte(t.symbol, codepage(g));
    } else if (t.kind == Token::Kind::ControlSymbol) {
      if (skip_ > 0) {
        --skip_;
        return;
      }
      if (emitting(g)) controlSymbol(t.symbol);
    }
  }

  // Plain text, after dropping what is left of a \uN fallback.
  void text(const Token& t, const GroupState& g) {
    std::size_t from = 0;
    if (skip_ > 0) {
      std::size_t drop = std::min<std::size_t>(static_cast<std::size_t>(skip_), t.text.size());
      skip_ -= static_cast<int>(drop);
      from = drop;
    }
    if (g.dest == Dest::FontTable) return;
    if (!emitting(g)) return;
    for (std::size_t i = from; i < t.text.size(); ++i) sink_.byte(static_cast<std::uint8_t>(t.text[i]), codepage(g));
  }

  void controlSymbol(std::uint8_t symbol) {
    switch (symbol) {
      case '\\': sink_.ascii("\\"); break;
      case '{': sink_.ascii("{"); break;
      case '}': sink_.ascii("}"); break;
      case '~': sink_.character(0x00A0); break;
      case '_': sink_.character(0x2011); break;
      default: break;  // \- (optional hyphen), \| and the like show nothing
    }
  }

  bool emitting(const GroupState& g) const {
    switch (mode_) {
      case RtfOrigin::Html:
        if (g.htmlrtf) return false;
        return g.dest == Dest::Body || g.dest == Dest::HtmlTag;
      case RtfOrigin::Text:
        return !g.htmlrtf && g.dest == Dest::Body;
      case RtfOrigin::Rtf:
        return g.dest == Dest::Body;
    }
    return false;
  }

  std::uint32_t codepage(const GroupState& g) const {
    // Markup inside \htmltag is in the document's code page; text follows
    // the font it is set in.
    if (g.dest != Dest::HtmlTag) {
      std::int32_t font = g.font >= 0 ? g.font : defaultFont_;
      auto it = fontCodepages_.find(font);
      if (it != fontCodepages_.end()) return it->second;
    }
    return documentCodepage_;
  }

  // Handles control words that open a destination; true when it was one.
  bool destinationWord(const Token& t, GroupState& g, bool ignorable) {
    std::string_view w = t.text;
    if (w == "htmltag") {
      g.dest = (mode_ == RtfOrigin::Html && g.dest != Dest::Skip) ? Dest::HtmlTag : Dest::Skip;
      return true;
    }
    if (w == "fonttbl") {
      g.dest = Dest::FontTable;
      return true;
    }
    if (isHiddenDestination(w)) {
      g.dest = Dest::Skip;
      return true;
    }
    if (ignorable) {
      // An optional destination we do not know: hidden, as RTF readers must.
      g.dest = Dest::Skip;
      return true;
    }
    return false;
  }

  void stateWord(const Token& t, GroupState& g, int& skip) {
    std::string_view w = t.text;
    if (g.dest == Dest::FontTable) {
      if (w == "f" && t.hasParam) fontDef_ = t.param;
      if (fontDef_ >= 0 && w == "fcharset" && t.hasParam) {
        std::uint32_t cp = codepageOfCharset(t.param);
        if (cp != 0) fontCodepages_[fontDef_] = cp;
      }
      if (fontDef_ >= 0 && w == "cpg" && t.hasParam && t.param > 0)
        fontCodepages_[fontDef_] = static_cast<std::uint32_t>(t.param);
      return;
    }
    if (w == "ansicpg" && t.hasParam && t.param > 0) {
      documentCodepage_ = static_cast<std::uint32_t>(t.param);
    } else if (w == "mac") {
      documentCodepage_ = 10000;
    } else if (w == "pc") {
      documentCodepage_ = 437;
    } else if (w == "pca") {
      documentCodepage_ = 850;
    } else if (w == "deff" && t.hasParam) {
      defaultFont_ = t.param;
    } else if (w == "f" && t.hasParam) {
      g.font = t.param;
    } else if (w == "plain") {
      g.font = -1;
    } else if (w == "uc" && t.hasParam) {
      g.uc = std::max(0, std::min(t.param, 16));
    } else if (w == "htmlrtf") {
      g.htmlrtf = !t.hasParam || t.param != 0;
    } else if (w == "u" && t.hasParam) {
      if (emitting(g)) {
        std::int32_t v = t.param;
        if (v < 0) v += 65536;
        sink_.character(static_cast<std::uint32_t>(v) & 0xFFFF);
      }
      skip = g.uc;
    } else if (emitting(g)) {
      if (const char* s = textOfWord(w, mode_)) sink_.ascii(s);
    }
  }

  ByteView rtf_;
  RtfOrigin mode_;
  TextSink sink_;
  std::uint32_t documentCodepage_ = 1252;
  std::int32_t defaultFont_ = -1;
  std::int32_t fontDef_ = -1;  // the font being defined in the font table
  std::map<std::int32_t, std::uint32_t> fontCodepages_;
  std::vector<GroupState> stack_{GroupState{}};
  std::size_t overflow_ = 0;  // groups opened past kMaxDepth
  bool ignorable_ = false;    // the last token was \*
  int skip_ = 0;              // \uN fallback characters still to drop
};

}  // namespace

std::uint32_t codepageOfCharset(std::int32_t charset) {
  switch (charset) {
    case 0: return 1252;
    case 77: return 10000;
    case 78: return 10001;
    case 128: return 932;
    case 129: return 949;
    case 130: return 1361;
    case 134: return 936;
    case 136: return 950;
    case 161: return 1253;
    case 162: return 1254;
    case 163: return 1258;
    case 177: return 1255;
    case 178: return 1256;
    case 186: return 1257;
    case 204: return 1251;
    case 222: return 874;
    case 238: return 1250;
    case 254: return 437;
    case 255: return 850;
    default: return 0;  // 1 (default), 2 (symbol) and unknown values
  }
}

RtfOrigin originOf(ByteView rtf) {
  Tokenizer tokens(rtf);
  int depth = 0;
  for (int i = 0; i < kHeaderTokens; ++i) {
    Token t = tokens.next();
    switch (t.kind) {
      case Token::Kind::End:
      case Token::Kind::Text:
      case Token::Kind::HexByte:
        return RtfOrigin::Rtf;
      case Token::Kind::GroupStart: ++depth; break;
      case Token::Kind::GroupEnd: --depth; break;
      case Token::Kind::ControlWord:
        if (depth == 1 && t.text == "fromhtml" && (!t.hasParam || t.param >= 1)) return RtfOrigin::Html;
        if (depth == 1 && t.text == "fromtext") return RtfOrigin::Text;
        break;
      default: break;
    }
  }
  return RtfOrigin::Rtf;
}

std::optional<std::string> htmlFromRtf(ByteView rtf) {
  if (originOf(rtf) != RtfOrigin::Html) return std::nullopt;
  return Reader(rtf, RtfOrigin::Html).run();
}

std::string textFromRtf(ByteView rtf) {
  RtfOrigin origin = originOf(rtf);
  return Reader(rtf, origin == RtfOrigin::Text ? RtfOrigin::Text : RtfOrigin::Rtf).run();
}

}  // namespace varnolt::mapi::rtf
