// Writing RTF that encapsulates HTML or plain text ([MS-OXRTFEX] section
// 2.1.3.2, "Encapsulating RTF writer").
//
// Every byte of the HTML is kept: markup, character references, line
// breaks and anything a de-encapsulating reader could alter go into
// {\*\htmltagN ...} groups; plain text goes in as RTF text, which readers
// copy back unchanged. What RTF readers alone should see (paragraph marks
// after block elements, the character behind an entity) sits between
// \htmlrtf and \htmlrtf0, which de-encapsulation drops.

#include <cctype>
#include <cstdio>
#include <string>

#include "mapi/rtf/rtf_text.h"
#include "mapi/util/html_scan.h"

namespace varnolt::mapi::rtf {

namespace {

// Placement and kind of a fragment, the parameter of \htmltagN. Readers
// ignore it; we give the values Outlook gives so that the RTF looks like
// Outlook's own.
namespace tagflag {
constexpr int InBody = 0x0;
constexpr int InHead = 0x1;
constexpr int InHtml = 0x2;
constexpr int Text = 0x00;
constexpr int Html = 0x10;
constexpr int Head = 0x20;
constexpr int Body = 0x30;
constexpr int P = 0x40;
constexpr int StartP = 0x50;
constexpr int EndP = 0x60;
constexpr int Br = 0x70;
constexpr int Pre = 0x80;
constexpr int Font = 0x90;
constexpr int Other = 0xF0;
constexpr int Close = 0x8;
}  // namespace tagflag

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Decodes one UTF-8 sequence at s[i]; invalid bytes give U+FFFD.
std::uint32_t nextCodePoint(std::string_view s, std::size_t& i) {
  auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int extra = 0;
  std::uint32_t cp = 0;
  if ((b & 0xE0) == 0xC0) {
    extra = 1;
    cp = b & 0x1Fu;
  } else if ((b & 0xF0) == 0xE0) {
    extra = 2;
    cp = b & 0x0Fu;
  } else if ((b & 0xF8) == 0xF0) {
    extra = 3;
    cp = b & 0x07u;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + static_cast<std::size_t>(extra) >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3Fu);
  }
  i += static_cast<std::size_t>(extra) + 1;
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFD;
  return cp;
}

void appendUnicode(std::string& out, std::uint32_t cp) {
  auto one = [&out](std::uint32_t unit) {
    // \uN takes a signed 16-bit value; '?' is what readers without
    // Unicode show instead.
    int v = static_cast<int>(unit);
    if (v >= 0x8000) v -= 0x10000;
    out += "\\u" + std::to_string(v) + "?";
  };
  if (cp >= 0x10000) {
    cp -= 0x10000;
    one(0xD800 + (cp >> 10));
    one(0xDC00 + (cp & 0x3FF));
  } else {
    one(cp);
  }
}

// RTF for UTF-8 text. Inside an \htmltag group, line breaks and tabs are
// written as bytes so they come back exactly; as visible text a tab is
// \tab, which comes back as a tab.
std::string escape(std::string_view text, bool inTag) {
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    auto uc = static_cast<unsigned char>(c);
    if (uc >= 0x80) {
      appendUnicode(out, nextCodePoint(text, i));
      continue;
    }
    ++i;
    if (c == '\\' || c == '{' || c == '}') {
      out += '\\';
      out += c;
    } else if (c == '\t' && !inTag) {
      out += "\\tab ";
    } else if (uc < 0x20 || uc == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\'%02x", uc);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

bool isBlockBreak(const std::string& name) {
  static const char* const kNames[] = {"p",  "div", "br", "li", "tr", "h1", "h2", "h3", "h4", "h5", "h6",
                                       "table", "ul", "ol", "blockquote", "pre", "hr", "dt", "dd"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

// The character a character reference stands for, for RTF readers; 0 when
// we do not know it (they then see nothing, the HTML keeps it anyway).
std::uint32_t entityCharacter(std::string_view entity) {
  std::string_view body = entity.substr(1, entity.size() - 2);  // without & and ;
  if (!body.empty() && body[0] == '#') {
    std::uint32_t v = 0;
    bool hex = body.size() > 1 && (body[1] == 'x' || body[1] == 'X');
    for (std::size_t i = hex ? 2 : 1; i < body.size(); ++i) {
      int d = std::isdigit(static_cast<unsigned char>(body[i])) ? body[i] - '0'
              : hex && std::isxdigit(static_cast<unsigned char>(body[i]))
                  ? std::tolower(static_cast<unsigned char>(body[i])) - 'a' + 10
                  : -1;
      if (d < 0 || v > 0x10FFFF) return 0;
      v = v * (hex ? 16u : 10u) + static_cast<std::uint32_t>(d);
    }
    return v <= 0x10FFFF ? v : 0;
  }
  static const struct {
    const char* name;
    std::uint32_t cp;
  } kNamed[] = {{"nbsp", 0xA0}, {"amp", '&'},    {"lt", '<'},      {"gt", '>'},      {"quot", '"'},
                {"apos", '\''}, {"copy", 0xA9},  {"reg", 0xAE},    {"euro", 0x20AC}, {"hellip", 0x2026},
                {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
                {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bull", 0x2022}};
  for (const auto& e : kNamed)
    if (body == e.name) return e.cp;
  return 0;
}

class HtmlEncapsulator {
 public:
  explicit HtmlEncapsulator(std::string_view html) : html_(html) {
    std::string low = lower(html);
    hasBody_ = low.find("<body") != std::string::npos;
  }

  std::string run() {
    out_ =
        "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl\r\n"
        "{\\f0\\fswiss\\fcharset0 Arial;}\r\n"
        "{\\f1\\fmodern\\fcharset0 Courier New;}}\r\n"
        "{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
        "\\uc1\\pard\\plain\\deftab360 \\f0\\fs20 {\\*\\htmltag64}\r\n";
    std::size_t i = 0;
    while (i < html_.size()) {
      char c = html_[i];
      if (c == '<' && i + 1 < html_.size() &&
          (std::isalpha(static_cast<unsigned char>(html_[i + 1])) || html_[i + 1] == '/' || html_[i + 1] == '!' ||
           html_[i + 1] == '?')) {
        i = markup(i);
      } else if (c == '&') {
        i = reference(i);
      } else if (hidden()) {
        std::size_t end = i + 1;
        while (end < html_.size() && html_[end] != '<' && html_[end] != '&') ++end;
        tag(tagflag::Text, html_.substr(i, end - i));
        i = end;
      } else {
        i = text(i);
      }
    }
    out_ += "}\r\n";
    return std::move(out_);
  }

 private:
  bool hidden() const { return inHead_ || (hasBody_ && !inBody_); }

  int destination() const {
    if (inHead_) return tagflag::InHead;
    if (hasBody_ && !inBody_) return tagflag::InHtml;
    return tagflag::InBody;
  }

  void tag(int flags, std::string_view content) {
    out_ += "{\\*\\htmltag" + std::to_string(flags) + " " + escape(content, true) + "}";
    lineBreakSoon();
  }

  // Keeps RTF lines short; line breaks of the file mean nothing to readers.
  void lineBreakSoon() {
    if (out_.size() - lastLineBreak_ > 200) {
      out_ += "\r\n";
      lastLineBreak_ = out_.size();
    }
  }

  void visible(std::string_view rtf) {
    out_ += "\\htmlrtf ";
    out_ += rtf;
    out_ += "\\htmlrtf0 ";
  }

  std::size_t markup(std::size_t start) {
    if (html_.compare(start, 4, "<!--") == 0) {
      std::size_t close = html_.find("-->", start + 4);
      std::size_t end = close == std::string_view::npos ? html_.size() : close + 3;
      tag(destination() | tagflag::Other, html_.substr(start, end - start));
      return end;
    }
    std::size_t end = htmlTagEnd(html_, start);
    end = end < html_.size() ? end + 1 : html_.size();
    std::string_view whole = html_.substr(start, end - start);
    bool closing = whole.size() > 1 && whole[1] == '/';
    std::string name = htmlTagName(whole);

    if (name == "head") inHead_ = !closing;
    if (name == "body") inBody_ = !closing;
    int flags = (name == "html" ? tagflag::InHtml + 1 : destination()) | tagType(name, closing) |
                (closing ? tagflag::Close : 0);
    tag(flags, whole);

    if (!closing && (name == "script" || name == "style" || name == "title" || name == "textarea"))
      return rawText(end, name);
    if (!hidden() && (name == "br" || (closing && isBlockBreak(name)) || (!closing && name == "hr"))) {
      visible("\\par");
      atLineStart_ = true;
    }
    return end;
  }

  // What kind of tag an element's tag is, for the tag's flags.
  static int tagType(const std::string& name, bool closing) {
    if (name == "html") return tagflag::Html;
    if (name == "head") return tagflag::Head;
    if (name == "body") return tagflag::Body;
    if (name == "p") return closing ? tagflag::EndP : tagflag::P;
    if (name == "br") return tagflag::Br;
    if (name == "pre") return tagflag::Pre;
    if (name == "font") return tagflag::Font;
    if (isBlockBreak(name)) return closing ? tagflag::EndP : tagflag::StartP;
    return tagflag::Other;
  }

  // Raw text from `start` up to the end tag of `name` belongs to the
  // markup; returns where that end tag starts.
  std::size_t rawText(std::size_t start, const std::string& name) {
    std::string endTag = "</" + name;
    std::string low = lower(html_.substr(start));
    std::size_t close = low.find(endTag);
    std::size_t stop = close == std::string::npos ? html_.size() : start + close;
    if (stop > start) tag(destination() | tagflag::Text, html_.substr(start, stop - start));
    return stop;
  }

  std::size_t reference(std::size_t start) {
    std::size_t end = start + 1;
    while (end < html_.size() && end - start < 32 &&
           (std::isalnum(static_cast<unsigned char>(html_[end])) || html_[end] == '#'))
      ++end;
    if (end < html_.size() && html_[end] == ';' && end > start + 1) {
      ++end;
      std::string_view entity = html_.substr(start, end - start);
      tag(destination() | tagflag::Text, entity);
      if (!hidden()) {
        std::uint32_t cp = entityCharacter(entity);
        if (cp != 0) {
          std::string rtf;
          appendUnicode(rtf, cp);
          if (cp < 0x80) rtf = escape(std::string(1, static_cast<char>(cp)), false);
          visible(rtf);
          atLineStart_ = false;
        }
      }
      return end;
    }
    // A bare ampersand: HTML keeps it as text, and so do we, but inside a
    // tag group so that no reader re-escapes it.
    tag(destination() | tagflag::Text, html_.substr(start, 1));
    if (!hidden()) visible("&");
    return start + 1;
  }

  std::size_t text(std::size_t start) {
    std::size_t i = start;
    std::string run;
    auto flush = [&] {
      if (!run.empty()) {
        out_ += escape(run, false);
        run.clear();
        atLineStart_ = false;
        lineBreakSoon();
      }
    };
    while (i < html_.size() && html_[i] != '&') {
      char c = html_[i];
      if (c == '<' && i + 1 < html_.size() &&
          (std::isalpha(static_cast<unsigned char>(html_[i + 1])) || html_[i + 1] == '/' || html_[i + 1] == '!' ||
           html_[i + 1] == '?'))
        break;
      if (c == '\r' || c == '\n' || c == '<' || c == '>') {
        // Line breaks are whitespace to HTML: the bytes go into a tag
        // group, readers of the RTF see one space. Stray angle brackets
        // go there too, so that no reader turns them into references.
        flush();
        std::size_t j = i;
        while (j < html_.size() && (html_[j] == '\r' || html_[j] == '\n')) ++j;
        if (j == i) ++j;
        tag(tagflag::Text, html_.substr(i, j - i));
        if (c == '<' || c == '>') {
          visible(std::string(1, c));
          atLineStart_ = false;
        } else if (!atLineStart_) {
          visible("\\'20");
        }
        i = j;
        continue;
      }
      run += c;
      ++i;
    }
    flush();
    return i;
  }

  std::string_view html_;
  std::string out_;
  std::size_t lastLineBreak_ = 0;
  bool hasBody_ = false;
  bool inBody_ = false;
  bool inHead_ = false;
  bool atLineStart_ = true;
};

}  // namespace

std::string rtfFromHtml(std::string_view html) { return HtmlEncapsulator(html).run(); }

std::string rtfFromText(std::string_view text) {
  std::string out =
      "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\deff0{\\fonttbl\r\n"
      "{\\f0\\fswiss\\fcharset0 Arial;}}\r\n"
      "\\uc1\\pard\\plain\\f0\\fs20 ";
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\r' || text[i] == '\n') {
      // CR LF, a lone LF and a lone CR each end one line.
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      ++i;
      out += "\\par\r\n";
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    out += escape(text.substr(i, end - i), false);
    i = end;
  }
  out += "}\r\n";
  return out;
}

std::string escapeText(std::string_view text) { return escape(text, false); }

}  // namespace varnolt::mapi::rtf
