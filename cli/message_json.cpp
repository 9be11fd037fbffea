#include "cli/message_json.h"

#include <cstdio>

#include "mapi/tags.h"
#include "mapi/util/sha256.h"
#include "mapi/util/text.h"

namespace varnolt::cli {

using nlohmann::json;
namespace m = varnolt::mapi;

namespace {

std::string hex(const m::Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (auto c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

std::string sha(const m::Bytes& b) { return m::sha256Hex(b.data(), b.size()); }

std::string tagText(m::PropTag tag) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", tag);
  return buf;
}

// Strings print as text (String8 decoded through the bag's code page), so a
// value compares equal whichever string type a store chose for it.
json singleValue(m::PropType base, const m::Bytes& data, std::uint32_t codepage) {
  m::PropValue v{base, data, {}};
  switch (base) {
    case m::pt::Int16:
    case m::pt::Int32:
    case m::pt::Error:
      return *v.asInt32();
    case m::pt::Boolean:
      return *v.asBool();
    case m::pt::Int64:
    case m::pt::Currency:
    case m::pt::SysTime:
      return *v.asInt64();
    case m::pt::Float:
    case m::pt::Double:
    case m::pt::AppTime: {
      auto d = v.asDouble();
      return d ? json(*d) : json(hex(data));
    }
    case m::pt::String8:
    case m::pt::Unicode:
      return *v.asString(codepage);
    case m::pt::Guid:
      return data.size() == 16 ? json(m::Guid::fromBytes(data).toString()) : json(hex(data));
    default:
      return hex(data);
  }
}

json attachmentToJson(const m::Attachment& a, bool withProperties) {
  json j;
  auto name = a.fileName();
  j["filename"] = name ? json(*name) : json(nullptr);
  j["method"] = a.method();
  if (const m::Bytes* data = a.dataBinary()) {
    j["size"] = data->size();
    j["sha256"] = sha(*data);
  } else {
    j["size"] = nullptr;
    j["sha256"] = nullptr;
  }
  if (a.embedded) j["embedded"] = messageToJson(*a.embedded, withProperties);
  if (withProperties) j["properties"] = propertiesToJson(a.props);
  return j;
}

}  // namespace

std::optional<std::string> displaySubject(const m::PropertyBag& bag) {
  auto s = bag.getString(m::propId(m::tag::Subject));
  if (s && s->size() >= 1 && (*s)[0] == '\x01') {
    // Drop the marker and the one (UTF-8 encoded) character after it.
    std::size_t i = 1;
    if (i < s->size()) {
      ++i;
      while (i < s->size() && (static_cast<unsigned char>((*s)[i]) & 0xC0) == 0x80) ++i;
    }
    s = s->substr(i);
  }
  return s;
}

json propertiesToJson(const m::PropertyBag& bag) {
  json list = json::array();
  std::uint32_t cp = bag.codepage();
  for (const auto& [tag, value] : bag.all()) {
    json p;
    p["tag"] = tagText(tag);
    p["type"] = m::typeName(m::propType(tag));
    if (const auto* n = bag.nameOf(m::propId(tag))) p["name"] = n->toString();
    m::PropType base = m::baseType(m::propType(tag));
    if (value.isMulti()) {
      json arr = json::array();
      for (const auto& e : value.values) arr.push_back(singleValue(base, e, cp));
      p["value"] = arr;
    } else {
      p["value"] = singleValue(base, value.data, cp);
    }
    list.push_back(std::move(p));
  }
  return list;
}

json messageToJson(const m::Message& msg, bool withProperties) {
  json j;
  const auto& p = msg.props;
  auto subject = displaySubject(p);
  j["subject"] = subject ? json(*subject) : json(nullptr);
  auto cls = p.getString(m::propId(m::tag::MessageClass));
  j["message_class"] = cls ? json(*cls) : json(nullptr);
  if (auto body = p.getString(m::propId(m::tag::Body))) {
    j["body_text_sha256"] = m::sha256Hex(body->data(), body->size());
  } else {
    j["body_text_sha256"] = nullptr;
  }
  m::PropTag htmlTag = 0;
  const m::PropValue* html = p.getById(m::propId(m::tag::Html), &htmlTag);
  j["body_html_sha256"] = html && !html->isMulti() ? json(sha(html->data)) : json(nullptr);
  j["has_rtf"] = p.has(m::tag::RtfCompressed);
  j["recipients"] = msg.recipients.size();
  json atts = json::array();
  for (const auto& a : msg.attachments) atts.push_back(attachmentToJson(a, withProperties));
  j["attachments"] = atts;
  if (withProperties) {
    j["properties"] = propertiesToJson(p);
    json recips = json::array();
    for (const auto& r : msg.recipients) recips.push_back(propertiesToJson(r));
    j["recipient_properties"] = recips;
  }
  return j;
}

}  // namespace varnolt::cli
