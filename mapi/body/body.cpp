#include "mapi/body/body.h"

#include <cctype>
#include <optional>
#include <vector>

#include "mapi/body/html_text.h"
#include "mapi/rtf/append.h"
#include "mapi/rtf/compressed_rtf.h"
#include "mapi/rtf/rtf_text.h"
#include "mapi/tags.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::body {

namespace {

constexpr std::uint16_t kBodyId = propId(tag::Body);
constexpr std::uint16_t kHtmlId = propId(tag::Html);
constexpr std::uint16_t kRtfId = propId(tag::RtfCompressed);
// The counts and CRC Outlook keeps to tell whether the RTF still matches
// PR_BODY (PR_RTF_SYNC_BODY_CRC, _COUNT, _TAG, PR_RTF_SYNC_PREFIX_COUNT,
// PR_RTF_SYNC_TRAILING_COUNT); they describe the old body once it changes.
constexpr std::uint16_t kRtfSyncIds[] = {0x1006, 0x1007, 0x1008, 0x1010, 0x1011};

std::string withoutUtf8Bom(std::string s) {
  if (s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
  return s;
}

std::optional<std::string> htmlProperty(const PropertyBag& props) {
  PropTag found = 0;
  const PropValue* v = props.getById(kHtmlId, &found);
  if (v == nullptr || v->data.empty()) return std::nullopt;
  if (v->type == pt::Unicode) return withoutUtf8Bom(utf16leToUtf8(v->data));
  if (v->type != pt::Binary && v->type != pt::String8) return std::nullopt;

  const Bytes& bytes = v->data;
  if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
    return codepageToUtf8(ByteView(bytes).from(3), 65001);
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) return utf16leToUtf8(ByteView(bytes).from(2));

  std::uint32_t codepage = 0;
  if (auto cpid = props.getInt32(tag::InternetCodepage); cpid && *cpid > 0) codepage = static_cast<std::uint32_t>(*cpid);
  if (codepage == 0) {
    // The declaration is ASCII in every charset a mail body uses.
    std::string_view ascii(reinterpret_cast<const char*>(bytes.data()), std::min<std::size_t>(bytes.size(), 1 << 16));
    if (auto name = declaredCharset(ascii)) codepage = codepageOfCharsetName(*name);
  }
  if (codepage == 0) {
    if (auto cp = props.getInt32(tag::MessageCodepage); cp && *cp > 0) codepage = static_cast<std::uint32_t>(*cp);
  }
  if (codepage == 0) codepage = 1252;
  return codepageToUtf8(bytes, codepage);
}

// The decompressed RTF body, when there is one that decodes to its end.
// A wrong CRC or RAWSIZE does not cost the body: writers get those wrong
// more often than the content.
std::optional<Bytes> rtfProperty(const PropertyBag& props) {
  const Bytes* compressed = props.getBinary(tag::RtfCompressed);
  if (compressed == nullptr || compressed->empty()) return std::nullopt;
  try {
    rtf::DecompressResult r = rtf::decompressLenient(*compressed);
    if (!r.complete || r.rtf.empty()) return std::nullopt;
    return std::move(r.rtf);
  } catch (const Error&) {
    return std::nullopt;
  }
}

std::optional<std::string> bodyProperty(const PropertyBag& props) {
  PropTag found = 0;
  const PropValue* v = props.getById(kBodyId, &found);
  if (v == nullptr || (v->type != pt::Unicode && v->type != pt::String8)) return std::nullopt;
  std::optional<std::string> s = v->asString(props.codepage());
  if (!s || s->empty()) return std::nullopt;
  return s;
}

// The plain text when there is no HTML anywhere: PR_BODY, else the RTF's.
BodyText plainWithoutHtml(const PropertyBag& props, const std::optional<Bytes>& rtfBytes) {
  if (auto body = bodyProperty(props)) return {std::move(*body), BodySource::PlainText};
  if (rtfBytes) return {rtf::textFromRtf(*rtfBytes), BodySource::Rtf};
  return {};
}

// The text and links of an HTML fragment as pieces of RTF.
std::vector<rtf::RtfPiece> piecesOfHtml(std::string_view html) {
  std::vector<rtf::RtfPiece> pieces;
  for (HtmlRun& run : textAndLinks(html)) pieces.push_back({std::move(run.text), std::move(run.href)});
  return pieces;
}

// The text and links of plain text: a link written as "<file://...>", as
// the plain-text link form has it, becomes a hyperlink between the brackets.
std::vector<rtf::RtfPiece> piecesOfText(std::string_view text) {
  std::vector<rtf::RtfPiece> pieces;
  std::size_t at = 0;
  for (std::size_t open = text.find("<file://"); open != std::string_view::npos; open = text.find("<file://", at)) {
    const std::size_t close = text.find('>', open);
    if (close == std::string_view::npos) break;
    const std::string url(text.substr(open + 1, close - open - 1));
    pieces.push_back({std::string(text.substr(at, open + 1 - at)), ""});
    pieces.push_back({url, url});
    at = close;
  }
  pieces.push_back({std::string(text.substr(at)), ""});
  return pieces;
}

// Puts the pieces at the end of the RTF body and `plain` in PR_BODY, the
// two marked as agreeing. False when the RTF cannot take them.
bool appendPiecesToRtf(PropertyBag& props, const std::vector<rtf::RtfPiece>& pieces, const std::string& plain) {
  std::optional<Bytes> rtfBytes = rtfProperty(props);
  if (!rtfBytes) return false;
  std::optional<Bytes> longer = rtf::insertAtEnd(*rtfBytes, rtf::rtfForPieces(pieces));
  if (!longer) return false;
  props.set(tag::RtfCompressed, PropValue::binary(rtf::compress(*longer)));
  // The counts and CRC of the old body would tell Outlook that PR_BODY
  // changed behind the RTF's back; without them it takes the RTF as it is.
  for (std::uint16_t id : kRtfSyncIds) props.removeId(id);
  props.set(tag::RtfInSync, PropValue::boolean(true));
  props.set(tag::NativeBody, PropValue::int32(kNativeRtf));
  props.removeId(kBodyId);
  props.set(tag::Body, PropValue::unicode(plain));
  return true;
}

// Text without its whitespace and NULs, to compare bodies whose line
// breaks and spacing writers render differently.
std::string withoutSpace(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != '\0' && !std::isspace(static_cast<unsigned char>(c))) out += c;
  return out;
}

}  // namespace

bool rtfIsTheBody(const PropertyBag& props) {
  if (htmlProperty(props)) return false;
  std::optional<Bytes> rtfBytes = rtfProperty(props);
  if (!rtfBytes || rtf::originOf(*rtfBytes) != rtf::RtfOrigin::Rtf) return false;
  // Beside a PR_BODY that the RTF is not known to match, the RTF counts
  // only when it says the same: an RTF left behind by a writer that
  // changed PR_BODY alone must not bring back the old text.
  const std::optional<bool> inSync = props.getBool(tag::RtfInSync);
  if (inSync == true) return true;
  std::optional<std::string> plain = bodyProperty(props);
  if (!plain) return true;
  return inSync != false && withoutSpace(rtf::textFromRtf(*rtfBytes)) == withoutSpace(*plain);
}

bool appendHtmlToRtfBody(PropertyBag& props, const std::string& html) {
  if (!rtfIsTheBody(props)) return false;
  const std::string current = readHtmlBody(props).text;
  if (html.size() < current.size() || html.compare(0, current.size(), current) != 0) return false;
  const std::string added = html.substr(current.size());
  return appendPiecesToRtf(props, piecesOfHtml(added), readPlainBody(props).text + htmlToText(added));
}

bool appendTextToRtfBody(PropertyBag& props, const std::string& text) {
  if (!rtfIsTheBody(props)) return false;
  const std::string current = readPlainBody(props).text;
  if (text.size() < current.size() || text.compare(0, current.size(), current) != 0) return false;
  return appendPiecesToRtf(props, piecesOfText(std::string_view(text).substr(current.size())), text);
}

BodyText readHtmlBody(const PropertyBag& props) {
  if (auto html = htmlProperty(props)) return {std::move(*html), BodySource::Html};
  std::optional<Bytes> rtfBytes = rtfProperty(props);
  if (rtfBytes) {
    if (auto html = rtf::htmlFromRtf(*rtfBytes)) return {std::move(*html), BodySource::RtfHtml};
  }
  BodyText plain = plainWithoutHtml(props, rtfBytes);
  if (plain.source == BodySource::None) return {};
  return {textToHtml(plain.text), plain.source};
}

BodyText readPlainBody(const PropertyBag& props) {
  if (auto body = bodyProperty(props)) return {std::move(*body), BodySource::PlainText};
  if (auto html = htmlProperty(props)) return {htmlToText(*html), BodySource::Html};
  std::optional<Bytes> rtfBytes = rtfProperty(props);
  if (rtfBytes) {
    if (auto html = rtf::htmlFromRtf(*rtfBytes)) return {htmlToText(*html), BodySource::RtfHtml};
    return {rtf::textFromRtf(*rtfBytes), BodySource::Rtf};
  }
  return {};
}

void writeHtmlBody(PropertyBag& props, const std::string& html, RtfOnHtmlWrite rtfPolicy) {
  // PR_INTERNET_CPID is about to say UTF-8; ANSI properties must keep
  // being read in the code page they were written in.
  if (!props.has(tag::MessageCodepage)) {
    bool hasAnsi = false;
    for (const auto& [t, v] : props.all())
      if (baseType(propType(t)) == pt::String8 && propId(t) != kBodyId && propId(t) != kHtmlId) hasAnsi = true;
    if (hasAnsi) props.set(tag::MessageCodepage, PropValue::int32(static_cast<std::int32_t>(props.codepage())));
  }

  std::string document = declareUtf8(html);
  props.removeId(kHtmlId);
  props.set(tag::Html, PropValue::binary(Bytes(document.begin(), document.end())));
  props.set(tag::InternetCodepage, PropValue::int32(65001));
  props.set(tag::NativeBody, PropValue::int32(kNativeHtml));
  props.removeId(kBodyId);
  props.set(tag::Body, PropValue::unicode(htmlToText(document)));

  for (std::uint16_t id : kRtfSyncIds) props.removeId(id);
  props.removeId(kRtfId);
  props.removeId(propId(tag::RtfInSync));
  if (rtfPolicy == RtfOnHtmlWrite::Regenerate) {
    std::string wrapped = rtf::rtfFromHtml(document);
    props.set(tag::RtfCompressed, PropValue::binary(rtf::compress(Bytes(wrapped.begin(), wrapped.end()))));
    props.set(tag::RtfInSync, PropValue::boolean(true));
  }
}

void writePlainBody(PropertyBag& props, const std::string& text) {
  props.removeId(kBodyId);
  props.set(tag::Body, PropValue::unicode(text));
  // The RTF stays, but no longer claims to match PR_BODY; readers that
  // keep the two in step then take the new text.
  if (props.has(tag::RtfCompressed) && props.getBool(tag::RtfInSync).value_or(false))
    props.set(tag::RtfInSync, PropValue::boolean(false));
}

}  // namespace varnolt::mapi::body
