#include "mapi/property.h"

#include <cstdio>
#include <cstring>

#include "mapi/util/text.h"

namespace varnolt::mapi {

std::size_t fixedSize(PropType base) {
  switch (base) {
    case pt::Int16: return 2;
    case pt::Int32:
    case pt::Float:
    case pt::Error: return 4;
    case pt::Boolean: return 1;
    case pt::Double:
    case pt::Currency:
    case pt::AppTime:
    case pt::Int64:
    case pt::SysTime: return 8;
    case pt::Guid: return 16;
    default: return 0;
  }
}

std::string typeName(PropType type) {
  const char* base = nullptr;
  switch (baseType(type)) {
    case pt::Unspecified: base = "Unspecified"; break;
    case pt::Null: base = "Null"; break;
    case pt::Int16: base = "Integer16"; break;
    case pt::Int32: base = "Integer32"; break;
    case pt::Float: base = "Floating32"; break;
    case pt::Double: base = "Floating64"; break;
    case pt::Currency: base = "Currency"; break;
    case pt::AppTime: base = "FloatingTime"; break;
    case pt::Error: base = "ErrorCode"; break;
    case pt::Boolean: base = "Boolean"; break;
    case pt::Object: base = "Object"; break;
    case pt::Int64: base = "Integer64"; break;
    case pt::String8: base = "String8"; break;
    case pt::Unicode: base = "String"; break;
    case pt::SysTime: base = "Time"; break;
    case pt::Guid: base = "Guid"; break;
    case pt::ServerId: base = "ServerId"; break;
    case pt::Restriction: base = "Restriction"; break;
    case pt::RuleAction: base = "RuleAction"; break;
    case pt::Binary: base = "Binary"; break;
    default: {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%04X", type);
      return buf;
    }
  }
  return std::string(isMultiValued(type) ? "PtypMultiple" : "Ptyp") + base;
}

Guid Guid::fromBytes(ByteView v) {
  v.require(0, 16, "GUID");
  Guid g;
  std::memcpy(g.bytes.data(), v.data(), 16);
  return g;
}

std::optional<Guid> Guid::parse(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == '{' || c == '}' || c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    hex += c;
  }
  if (hex.size() != 32) return std::nullopt;
  auto byteAt = [&hex](std::size_t i) { return static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16)); };
  Guid g;
  // Data1 (4 bytes), Data2 and Data3 (2 each) are little-endian on disk.
  static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (std::size_t i = 0; i < 16; ++i) g.bytes[static_cast<std::size_t>(order[i])] = byteAt(i);
  return g;
}

std::string Guid::toString() const {
  char buf[40];
  const auto& b = bytes;
  std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[3], b[2],
                b[1], b[0], b[5], b[4], b[7], b[6], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return buf;
}

namespace psetid {
const Guid Mapi = *Guid::parse("{00020328-0000-0000-C000-000000000046}");
const Guid PublicStrings = *Guid::parse("{00020329-0000-0000-C000-000000000046}");
const Guid Common = *Guid::parse("{00062008-0000-0000-C000-000000000046}");
const Guid Address = *Guid::parse("{00062004-0000-0000-C000-000000000046}");
const Guid Appointment = *Guid::parse("{00062002-0000-0000-C000-000000000046}");
const Guid Task = *Guid::parse("{00062003-0000-0000-C000-000000000046}");
const Guid InternetHeaders = *Guid::parse("{00020386-0000-0000-C000-000000000046}");
}  // namespace psetid

std::string NamedProperty::toString() const {
  if (kind == Kind::String) return guid.toString() + ":" + name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%04X", lid);
  return guid.toString() + ":" + buf;
}

namespace {
template <typename T>
Bytes le(T v, std::size_t size = sizeof(T)) {
  Bytes b(size);
  std::uint64_t u = 0;
  std::memcpy(&u, &v, sizeof(T));
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(u >> (8 * i));
  return b;
}
std::uint64_t readLe(const Bytes& b) {
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < b.size() && i < 8; ++i) u |= std::uint64_t{b[i]} << (8 * i);
  return u;
}
}  // namespace

PropValue PropValue::int16(std::int16_t v) { return {pt::Int16, le(v), {}}; }
PropValue PropValue::int32(std::int32_t v) { return {pt::Int32, le(v), {}}; }
PropValue PropValue::int64(std::int64_t v) { return {pt::Int64, le(v), {}}; }
PropValue PropValue::boolean(bool v) { return {pt::Boolean, Bytes{static_cast<std::uint8_t>(v ? 1 : 0)}, {}}; }
PropValue PropValue::floating(double v) { return {pt::Double, le(v), {}}; }
PropValue PropValue::sysTime(std::uint64_t ft) { return {pt::SysTime, le(ft), {}}; }
PropValue PropValue::unicode(const std::string& utf8) { return {pt::Unicode, utf8ToUtf16le(utf8), {}}; }
PropValue PropValue::string8(std::string bytes) { return {pt::String8, Bytes(bytes.begin(), bytes.end()), {}}; }
PropValue PropValue::binary(Bytes bytes) { return {pt::Binary, std::move(bytes), {}}; }

PropValue PropValue::deferred(std::shared_ptr<const ValueSource> from) {
  PropValue v;
  v.type = pt::Binary;
  v.source = std::move(from);
  return v;
}

void PropValue::readPieces(const std::function<void(ByteView)>& sink) const {
  if (source) source->read(sink);
  else if (!data.empty()) sink(ByteView(data));
}

Bytes PropValue::bytes() const {
  if (!source) return data;
  Bytes out;
  out.reserve(static_cast<std::size_t>(source->size()));
  source->read([&](ByteView piece) { out.insert(out.end(), piece.data(), piece.data() + piece.size()); });
  return out;
}
PropValue PropValue::guid(const Guid& g) { return {pt::Guid, Bytes(g.bytes.begin(), g.bytes.end()), {}}; }
PropValue PropValue::multiUnicode(const std::vector<std::string>& utf8) {
  PropValue v{static_cast<PropType>(pt::Unicode | pt::MultiValued), {}, {}};
  for (const auto& s : utf8) v.values.push_back(utf8ToUtf16le(s));
  return v;
}

std::optional<std::int32_t> PropValue::asInt32() const {
  switch (type) {
    case pt::Int16: return static_cast<std::int16_t>(readLe(data));
    case pt::Int32:
    case pt::Error: return static_cast<std::int32_t>(readLe(data));
    case pt::Boolean: return readLe(data) != 0 ? 1 : 0;
    default: return std::nullopt;
  }
}

std::optional<std::int64_t> PropValue::asInt64() const {
  switch (type) {
    case pt::Int64:
    case pt::SysTime:
    case pt::Currency: return static_cast<std::int64_t>(readLe(data));
    default: {
      auto v = asInt32();
      if (v) return *v;
      return std::nullopt;
    }
  }
}

std::optional<bool> PropValue::asBool() const {
  if (type == pt::Boolean) return readLe(data) != 0;
  return std::nullopt;
}

std::optional<double> PropValue::asDouble() const {
  if (type == pt::Float && data.size() == 4) {
    float f;
    auto u = static_cast<std::uint32_t>(readLe(data));
    std::memcpy(&f, &u, 4);
    return f;
  }
  if ((type == pt::Double || type == pt::AppTime) && data.size() == 8) {
    double d;
    std::uint64_t u = readLe(data);
    std::memcpy(&d, &u, 8);
    return d;
  }
  return std::nullopt;
}

std::optional<std::string> PropValue::asString(std::uint32_t codepage) const {
  if (type == pt::Unicode) return utf16leToUtf8(data);
  if (type == pt::String8) return codepageToUtf8(data, codepage);
  return std::nullopt;
}

const PropValue* PropertyBag::get(PropTag tag) const {
  auto it = props_.find(tag);
  return it == props_.end() ? nullptr : &it->second;
}

const PropValue* PropertyBag::getById(std::uint16_t id, PropTag* foundTag) const {
  auto it = props_.lower_bound(makeTag(id, 0));
  if (it == props_.end() || propId(it->first) != id) return nullptr;
  if (foundTag) *foundTag = it->first;
  return &it->second;
}

void PropertyBag::set(PropTag tag, PropValue value) {
  value.type = propType(tag);
  props_[tag] = std::move(value);
}

bool PropertyBag::remove(PropTag tag) { return props_.erase(tag) != 0; }

void PropertyBag::removeId(std::uint16_t id) {
  auto it = props_.lower_bound(makeTag(id, 0));
  while (it != props_.end() && propId(it->first) == id) it = props_.erase(it);
}

std::optional<std::string> PropertyBag::getString(std::uint16_t id) const {
  if (const auto* v = get(makeTag(id, pt::Unicode))) return v->asString();
  if (const auto* v = get(makeTag(id, pt::String8))) return v->asString(codepage());
  return std::nullopt;
}

std::optional<std::int32_t> PropertyBag::getInt32(PropTag tag) const {
  const auto* v = get(tag);
  return v ? v->asInt32() : std::nullopt;
}

std::optional<bool> PropertyBag::getBool(PropTag tag) const {
  const auto* v = get(tag);
  return v ? v->asBool() : std::nullopt;
}

const Bytes* PropertyBag::getBinary(PropTag tag) const {
  const auto* v = get(tag);
  // A value whose bytes are still in its store has none here to point at.
  return v && !v->isMulti() && !v->source ? &v->data : nullptr;
}

const NamedProperty* PropertyBag::nameOf(std::uint16_t id) const {
  auto it = names_.find(id);
  return it == names_.end() ? nullptr : &it->second;
}

void PropertyBag::setName(std::uint16_t id, NamedProperty name) { names_[id] = std::move(name); }

std::optional<std::uint16_t> PropertyBag::idOf(const NamedProperty& name) const {
  for (const auto& [id, n] : names_)
    if (n == name) return id;
  return std::nullopt;
}

const PropValue* PropertyBag::getNamed(const NamedProperty& name, PropType type) const {
  auto id = idOf(name);
  return id ? get(makeTag(*id, type)) : nullptr;
}

PropTag PropertyBag::setNamed(const NamedProperty& name, PropType type, PropValue value) {
  auto id = idOf(name);
  if (!id) {
    std::uint16_t next = 0x8000;
    if (!names_.empty()) next = static_cast<std::uint16_t>(std::max<unsigned>(0x8000, names_.rbegin()->first + 1u));
    if (next == 0xFFFF) throw Error(ErrorKind::Limit, "too many named properties on one object");
    names_[next] = name;
    id = next;
  }
  PropTag tag = makeTag(*id, type);
  set(tag, std::move(value));
  return tag;
}

std::uint32_t PropertyBag::codepage() const {
  // PR_MESSAGE_CODEPAGE (0x3FFD), then PR_INTERNET_CPID (0x3FDE).
  for (PropTag tag : {makeTag(0x3FFD, pt::Int32), makeTag(0x3FDE, pt::Int32)}) {
    if (auto v = getInt32(tag); v && *v > 0 && *v != 1200 && *v != 1201) return static_cast<std::uint32_t>(*v);
  }
  return 1252;
}

}  // namespace varnolt::mapi
