#include "mapi/body/html_text.h"

#include <cctype>
#include <string>
#include <vector>

#include "mapi/util/html_scan.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::body {

namespace {

constexpr std::string_view kUtf8Meta = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// ASCII letters only, whatever the process's locale: tag, attribute and
// charset names are ASCII, and other bytes (UTF-8 or a code page) stay as
// they are, so positions in the copy are positions in the original.
std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A reference to NUL, a surrogate or beyond Unicode decodes to U+FFFD, as
// browsers do.
void appendReferenced(std::string& out, std::uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  appendUtf8(out, cp);
}

// Named character references mail bodies use; the rest of HTML's long list
// is rare in mail and stays as written.
std::uint32_t namedEntity(std::string_view name) {
  static const struct {
    const char* name;
    std::uint32_t cp;
  } kNames[] = {
      {"nbsp", 0xA0},   {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},    {"apos", '\''},
      {"copy", 0xA9},   {"reg", 0xAE},     {"trade", 0x2122}, {"euro", 0x20AC},  {"pound", 0xA3},  {"yen", 0xA5},
      {"cent", 0xA2},   {"sect", 0xA7},    {"deg", 0xB0},     {"plusmn", 0xB1},  {"middot", 0xB7}, {"para", 0xB6},
      {"laquo", 0xAB},  {"raquo", 0xBB},   {"hellip", 0x2026}, {"ndash", 0x2013}, {"mdash", 0x2014},
      {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"sbquo", 0x201A}, {"ldquo", 0x201C}, {"rdquo", 0x201D},
      {"bdquo", 0x201E}, {"bull", 0x2022}, {"shy", 0xAD},     {"times", 0xD7},   {"divide", 0xF7},
      {"auml", 0xE4},   {"ouml", 0xF6},    {"uuml", 0xFC},    {"Auml", 0xC4},    {"Ouml", 0xD6},   {"Uuml", 0xDC},
      {"szlig", 0xDF},  {"eacute", 0xE9},  {"egrave", 0xE8},  {"ecirc", 0xEA},   {"agrave", 0xE0}, {"aacute", 0xE1},
      {"ccedil", 0xE7}, {"ntilde", 0xF1},  {"oacute", 0xF3},  {"iacute", 0xED},  {"uacute", 0xFA}, {"Eacute", 0xC9},
      {"ensp", 0x2002}, {"emsp", 0x2003},  {"thinsp", 0x2009}, {"zwnj", 0x200C}, {"zwj", 0x200D}};
  for (const auto& e : kNames)
    if (name == e.name) return e.cp;
  return 0;
}

// Decodes the reference at html[i] ('&'); returns its length, 0 when it is
// not one we know (the ampersand then stands for itself).
std::size_t decodeReference(std::string_view html, std::size_t i, std::string& out) {
  std::size_t j = i + 1;
  if (j < html.size() && html[j] == '#') {
    ++j;
    bool hex = j < html.size() && (html[j] == 'x' || html[j] == 'X');
    if (hex) ++j;
    std::uint32_t v = 0;
    std::size_t digits = 0;
    while (j < html.size() && digits < 8 &&
           (hex ? std::isxdigit(static_cast<unsigned char>(html[j])) : std::isdigit(static_cast<unsigned char>(html[j])))) {
      char c = static_cast<char>(std::tolower(static_cast<unsigned char>(html[j])));
      v = v * (hex ? 16u : 10u) + static_cast<std::uint32_t>(c <= '9' ? c - '0' : c - 'a' + 10);
      ++j;
      ++digits;
    }
    if (digits == 0) return 0;
    if (j < html.size() && html[j] == ';') ++j;
    appendReferenced(out, v);
    return j - i;
  }
  while (j < html.size() && j - i <= 10 && std::isalnum(static_cast<unsigned char>(html[j]))) ++j;
  if (j >= html.size() || html[j] != ';') return 0;
  std::uint32_t cp = namedEntity(html.substr(i + 1, j - i - 1));
  if (cp == 0) return 0;
  appendReferenced(out, cp);
  return j + 1 - i;
}

// The value of attribute `name` in a start tag's text, entity-decoded.
std::string attribute(std::string_view tag, std::string_view name) {
  std::string low = lower(tag);
  std::size_t pos = 0;
  while ((pos = low.find(name, pos)) != std::string::npos) {
    bool startsWord = pos > 0 && (isSpace(low[pos - 1]) || low[pos - 1] == '"' || low[pos - 1] == '\'');
    std::size_t k = pos + name.size();
    while (k < low.size() && isSpace(low[k])) ++k;
    if (!startsWord || k >= low.size() || low[k] != '=') {
      pos += name.size();
      continue;
    }
    ++k;
    while (k < low.size() && isSpace(low[k])) ++k;
    std::size_t start = k;
    std::size_t end;
    if (k < tag.size() && (tag[k] == '"' || tag[k] == '\'')) {
      start = k + 1;
      end = tag.find(tag[k], start);
      if (end == std::string_view::npos) end = tag.size();
    } else {
      end = start;
      while (end < tag.size() && !isSpace(tag[end]) && tag[end] != '>') ++end;
    }
    std::string raw(tag.substr(start, end - start));
    std::string out;
    for (std::size_t i = 0; i < raw.size();) {
      std::size_t n = raw[i] == '&' ? decodeReference(raw, i, out) : 0;
      if (n == 0) out += raw[i++];
      else i += n;
    }
    return out;
  }
  return {};
}

bool isBlock(const std::string& name) {
  static const char* const kNames[] = {"p",      "div",   "h1",  "h2",  "h3",         "h4",      "h5",      "h6",
                                       "ul",     "ol",    "li",  "table", "tr",       "blockquote", "pre", "hr",
                                       "dl",     "dt",    "dd",  "address", "section", "article", "header", "footer",
                                       "center", "form",  "fieldset", "nav", "aside", "main", "figure", "caption"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

// Collects text with HTML's whitespace rules and our line-break rules.
class TextBuilder {
 public:
  void text(std::string_view s, bool pre) {
    for (char c : s) {
      if (pre) {
        if (c == '\r') continue;
        if (c == '\n') {
          lineBreak();
          continue;
        }
        put(c);
        continue;
      }
      if (isSpace(c)) {
        pendingSpace_ = !atLineStart_;
        continue;
      }
      put(c);
    }
  }
  void decoded(const std::string& s) {
    for (char c : s) put(c);
  }
  void lineBreak() {
    trimTrailingSpaces();
    out_ += "\r\n";
    atLineStart_ = true;
    pendingSpace_ = false;
  }
  // A paragraph edge: one line break unless the text is at a line start.
  void blockEdge() {
    if (!atLineStart_) lineBreak();
  }
  void tab() {
    pendingSpace_ = false;
    out_ += '\t';
    atLineStart_ = false;
  }
  std::string finish() {
    trimTrailingSpaces();
    // Blank lines at the end and the start carry nothing.
    while (out_.size() >= 2 && out_.compare(out_.size() - 2, 2, "\r\n") == 0) out_.resize(out_.size() - 2);
    std::size_t start = 0;
    while (out_.compare(start, 2, "\r\n") == 0) start += 2;
    return out_.substr(start);
  }

 private:
  void put(char c) {
    if (pendingSpace_) out_ += ' ';
    pendingSpace_ = false;
    out_ += c;
    atLineStart_ = false;
  }
  void trimTrailingSpaces() {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }

  std::string out_;
  bool atLineStart_ = true;
  bool pendingSpace_ = false;
};

// A '<' that opens a tag, an end tag, a comment or a declaration; any other
// '<' is text.
bool opensMarkup(std::string_view html, std::size_t i) {
  return html[i] == '<' && i + 1 < html.size() &&
         (std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/' || html[i + 1] == '!' ||
          html[i + 1] == '?');
}

bool hidesContent(const std::string& name) {
  return name == "script" || name == "style" || name == "head" || name == "title" || name == "textarea" ||
         name == "xml";
}

// Where the text after the end tag of `name` resumes, looking from i.
std::size_t afterEndTag(std::string_view html, std::size_t i, const std::string& name) {
  std::string low = lower(html.substr(i));
  std::size_t close = low.find("</" + name);
  if (close == std::string::npos) return html.size();
  std::size_t gt = html.find('>', i + close);
  return gt == std::string_view::npos ? html.size() : gt + 1;
}

// Turns HTML into text: tags break lines and cells, links show their
// target after their text when it says something the text does not.
class HtmlTextConverter {
 public:
  std::string convert(std::string_view html) {
    std::size_t i = 0;
    while (i < html.size()) {
      if (opensMarkup(html, i)) {
        i = markup(html, i);
        continue;
      }
      if (html[i] == '&') {
        std::size_t n = reference(html, i);
        if (n > 0) {
          i += n;
          continue;
        }
      }
      i = text(html, i);
    }
    return b_.finish();
  }

 private:
  // Takes the comment or tag at html[i]; returns where the text goes on.
  std::size_t markup(std::string_view html, std::size_t i) {
    if (html.compare(i, 4, "<!--") == 0) {
      std::size_t end = html.find("-->", i + 4);
      return end == std::string_view::npos ? html.size() : end + 3;
    }
    std::size_t end = htmlTagEnd(html, i);
    std::string_view tag = html.substr(i, (end < html.size() ? end + 1 : end) - i);
    i = end < html.size() ? end + 1 : html.size();
    bool closing = tag.size() > 1 && tag[1] == '/';
    std::string name = htmlTagName(tag);
    // Content up to the matching end tag is never shown.
    if (!closing && hidesContent(name)) return afterEndTag(html, i, name);
    applyTag(tag, name, closing);
    return i;
  }

  void applyTag(std::string_view tag, const std::string& name, bool closing) {
    if (name == "br") {
      b_.lineBreak();
    } else if (name == "pre") {
      b_.blockEdge();
      preDepth_ = closing ? std::max(0, preDepth_ - 1) : preDepth_ + 1;
    } else if (name == "td" || name == "th") {
      if (!closing) {
        if (inTable_ && !firstCell_) b_.tab();
        firstCell_ = false;
      }
    } else if (name == "tr") {
      b_.blockEdge();
      inTable_ = true;
      firstCell_ = true;
    } else if (name == "a") {
      if (!closing) {
        linkTargets_.push_back(attribute(tag, "href"));
        linkText_.clear();
      } else if (!linkTargets_.empty()) {
        closeLink();
      }
    } else if (isBlock(name)) {
      b_.blockEdge();
      if (name == "table") {
        inTable_ = !closing;
        firstCell_ = true;
      }
    }
  }

  // Shows the target of the innermost link after its text, unless the text
  // already says it or the target leads nowhere a reader can go.
  void closeLink() {
    std::string href = linkTargets_.back();
    linkTargets_.pop_back();
    std::string shown = linkText_;
    while (!shown.empty() && isSpace(shown.back())) shown.pop_back();
    if (!href.empty() && href != shown && href.rfind('#', 0) != 0 && lower(href).rfind("javascript:", 0) != 0 &&
        "mailto:" + shown != href)
      b_.decoded(" <" + href + ">");
  }

  // Takes the character reference at html[i]; its length, 0 when it is none.
  std::size_t reference(std::string_view html, std::size_t i) {
    std::string decoded;
    std::size_t n = decodeReference(html, i, decoded);
    if (n == 0) return 0;
    // A no-break space is a space a reader sees, not whitespace to fold.
    b_.decoded(decoded == "\xC2\xA0" ? std::string(" ") : decoded);
    if (!linkTargets_.empty()) linkText_ += decoded;
    return n;
  }

  // Takes the text from html[i] up to the next markup or reference.
  std::size_t text(std::string_view html, std::size_t i) {
    std::size_t end = i + 1;
    while (end < html.size() && html[end] != '<' && html[end] != '&') ++end;
    b_.text(html.substr(i, end - i), preDepth_ > 0);
    if (!linkTargets_.empty()) linkText_ += html.substr(i, end - i);
    return end;
  }

  TextBuilder b_;
  int preDepth_ = 0;
  bool inTable_ = false;
  bool firstCell_ = true;
  std::vector<std::string> linkTargets_;  // one per open <a>, "" when not shown
  std::string linkText_;                  // text of the innermost open link
};

}  // namespace

std::string htmlToText(std::string_view html) { return HtmlTextConverter().convert(html); }

std::vector<HtmlRun> textAndLinks(std::string_view html) {
  std::vector<HtmlRun> runs(1);
  bool inLink = false;
  for (std::size_t i = 0; i < html.size();) {
    if (html[i] == '&') {
      const std::size_t n = decodeReference(html, i, runs.back().text);
      if (n == 0) runs.back().text += html[i++];
      else i += n;
      continue;
    }
    if (html[i] != '<') {
      const char c = html[i++];
      runs.back().text += c == '\r' || c == '\n' || c == '\t' ? ' ' : c;  // only markup breaks lines
      continue;
    }
    const std::size_t close = html.find('>', i);
    if (close == std::string_view::npos) break;
    const std::string_view tag = html.substr(i + 1, close - i - 1);
    i = close + 1;
    std::size_t nameEnd = 0;
    while (nameEnd < tag.size() && !isSpace(tag[nameEnd]) && (tag[nameEnd] != '/' || nameEnd == 0)) ++nameEnd;
    const std::string name = lower(tag.substr(0, nameEnd));
    if (name == "br" || name == "/p" || name == "/div") {
      runs.back().text += "\r\n";
    } else if (name == "a") {
      std::string href = attribute(tag, "href");
      if (href.empty()) continue;
      runs.push_back({"", std::move(href)});
      inLink = true;
    } else if (name == "/a" && inLink) {
      runs.emplace_back();
      inLink = false;
    }
  }
  return runs;
}

std::string escapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string textToHtml(std::string_view text) {
  std::string out = "<html>\r\n<head>\r\n";
  out += kUtf8Meta;
  out += "\r\n</head>\r\n<body>\r\n<div style=\"font-family:monospace\">";
  std::string line;
  auto flush = [&](bool lineEnd) {
    std::string esc = escapeHtml(line);
    // Runs of spaces and tabs would fold into one; keep their width.
    std::string kept;
    for (std::size_t k = 0; k < esc.size(); ++k) {
      if (esc[k] == '\t') {
        kept += "&nbsp;&nbsp;&nbsp;&nbsp;";
      } else if (esc[k] == ' ' && (k == 0 || k + 1 == esc.size() || esc[k + 1] == ' ' || esc[k - 1] == ' ')) {
        kept += "&nbsp;";
      } else {
        kept += esc[k];
      }
    }
    out += kept;
    if (lineEnd) out += "<br>\r\n";
    line.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      flush(true);
    } else {
      line += c;
    }
  }
  flush(false);
  out += "</div>\r\n</body>\r\n</html>\r\n";
  return out;
}

namespace {

// Where the charset name in a <meta> element starts and how long it is.
struct CharsetSpot {
  std::size_t pos = std::string::npos;
  std::size_t len = 0;
};

std::vector<CharsetSpot> charsetSpots(std::string_view html) {
  std::vector<CharsetSpot> spots;
  std::string low = lower(html);
  std::size_t pos = 0;
  while ((pos = low.find("<meta", pos)) != std::string::npos) {
    std::size_t end = low.find('>', pos);
    if (end == std::string::npos) end = low.size();
    std::size_t at = low.find("charset", pos);
    if (at != std::string::npos && at < end) {
      std::size_t k = at + 7;
      while (k < end && isSpace(low[k])) ++k;
      if (k < end && low[k] == '=') {
        ++k;
        while (k < end && (isSpace(low[k]) || low[k] == '"' || low[k] == '\'')) ++k;
        std::size_t start = k;
        while (k < end && (std::isalnum(static_cast<unsigned char>(low[k])) || low[k] == '-' || low[k] == '_' ||
                           low[k] == '.' || low[k] == ':'))
          ++k;
        if (k > start) spots.push_back({start, k - start});
      }
    }
    pos = end;
  }
  return spots;
}

}  // namespace

std::optional<std::string> declaredCharset(std::string_view html) {
  std::vector<CharsetSpot> spots = charsetSpots(html);
  if (spots.empty()) return std::nullopt;
  return std::string(html.substr(spots.front().pos, spots.front().len));
}

std::uint32_t codepageOfCharsetName(std::string_view name) {
  std::string n = lower(name);
  static const struct {
    const char* name;
    std::uint32_t cp;
  } kNames[] = {{"utf-8", 65001},        {"utf8", 65001},       {"us-ascii", 20127},     {"ascii", 20127},
                {"iso-8859-1", 1252},    {"latin1", 1252},      {"iso-8859-15", 28605},  {"iso-8859-2", 28592},
                {"koi8-r", 20866},       {"koi8-u", 21866},     {"shift_jis", 932},      {"shift-jis", 932},
                {"sjis", 932},           {"x-sjis", 932},       {"euc-jp", 51932},       {"iso-2022-jp", 50220},
                {"gb2312", 936},         {"gbk", 936},          {"gb18030", 54936},      {"big5", 950},
                {"euc-kr", 949},         {"ks_c_5601-1987", 949}, {"utf-16", 1200},      {"utf-16le", 1200},
                {"utf-16be", 1201},      {"tis-620", 874},      {"windows-874", 874},    {"hz-gb-2312", 52936},
                {"cp1252", 1252}};
  for (const auto& e : kNames)
    if (n == e.name) return e.cp;
  if (n.rfind("windows-125", 0) == 0 && n.size() == 12 && n[11] >= '0' && n[11] <= '8')
    return 1250u + static_cast<std::uint32_t>(n[11] - '0');
  if (n.rfind("iso-8859-", 0) == 0) {
    std::string rest = n.substr(9);
    if (!rest.empty() && rest.size() <= 2 && std::isdigit(static_cast<unsigned char>(rest[0])) &&
        (rest.size() == 1 || std::isdigit(static_cast<unsigned char>(rest[1]))))
      return 28590u + static_cast<std::uint32_t>(std::stoi(rest));
  }
  return 0;
}

std::string declareUtf8(std::string_view html) {
  std::vector<CharsetSpot> spots = charsetSpots(html);
  std::string out(html);
  if (!spots.empty()) {
    for (auto it = spots.rbegin(); it != spots.rend(); ++it) out.replace(it->pos, it->len, "utf-8");
    return out;
  }
  std::string low = lower(html);
  auto endOfTag = [&](std::size_t at) {
    std::size_t gt = low.find('>', at);
    return gt == std::string::npos ? std::string::npos : gt + 1;
  };
  std::size_t head = low.find("<head");
  if (head != std::string::npos && (head + 5 >= low.size() || low[head + 5] == '>' || isSpace(low[head + 5]))) {
    std::size_t at = endOfTag(head);
    if (at != std::string::npos) return out.insert(at, kUtf8Meta);
  }
  std::size_t htmlTag = low.find("<html");
  if (htmlTag != std::string::npos) {
    std::size_t at = endOfTag(htmlTag);
    if (at != std::string::npos) return out.insert(at, "<head>" + std::string(kUtf8Meta) + "</head>");
  }
  return std::string(kUtf8Meta) + out;
}

}  // namespace varnolt::mapi::body
