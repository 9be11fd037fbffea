#pragma once
// The property model shared by every store the library reads and writes
// (PST files and Outlook item files): property tags and types, values in
// their canonical byte form, named properties, and the property bag.
//
// A bag is self-contained: it keeps the name of every named property it
// holds (ids 0x8000 and up), so a message can move between stores whose
// name-to-id maps differ; the writer of each store gives each name its own
// id on the way in.

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi {

using PropTag = std::uint32_t;
using PropType = std::uint16_t;

// Property types (the low word of a tag).
namespace pt {
inline constexpr PropType Unspecified = 0x0000;
inline constexpr PropType Null = 0x0001;
inline constexpr PropType Int16 = 0x0002;
inline constexpr PropType Int32 = 0x0003;
inline constexpr PropType Float = 0x0004;
inline constexpr PropType Double = 0x0005;
inline constexpr PropType Currency = 0x0006;
inline constexpr PropType AppTime = 0x0007;
inline constexpr PropType Error = 0x000A;
inline constexpr PropType Boolean = 0x000B;
inline constexpr PropType Object = 0x000D;
inline constexpr PropType Int64 = 0x0014;
inline constexpr PropType String8 = 0x001E;
inline constexpr PropType Unicode = 0x001F;
inline constexpr PropType SysTime = 0x0040;
inline constexpr PropType Guid = 0x0048;
inline constexpr PropType ServerId = 0x00FB;
inline constexpr PropType Restriction = 0x00FD;
inline constexpr PropType RuleAction = 0x00FE;
inline constexpr PropType Binary = 0x0102;
inline constexpr PropType MultiValued = 0x1000;
}  // namespace pt

constexpr std::uint16_t propId(PropTag tag) { return static_cast<std::uint16_t>(tag >> 16); }
constexpr PropType propType(PropTag tag) { return static_cast<PropType>(tag & 0xFFFF); }
constexpr PropTag makeTag(std::uint16_t id, PropType type) { return (PropTag{id} << 16) | type; }
constexpr bool isMultiValued(PropType type) { return (type & pt::MultiValued) != 0; }
constexpr PropType baseType(PropType type) { return static_cast<PropType>(type & ~pt::MultiValued); }
constexpr bool isNamedId(std::uint16_t id) { return id >= 0x8000 && id != 0xFFFF; }

// Size in bytes of a fixed-size type's canonical value, 0 for variable-size
// types (strings, binary, object, server id, restriction, rule action).
std::size_t fixedSize(PropType base);
// A readable name of a type ("PtypInteger32", "PtypMultipleString", ...).
std::string typeName(PropType type);

// A GUID as stored in files: Data1..Data3 little-endian, then 8 bytes.
struct Guid {
  std::array<std::uint8_t, 16> bytes{};

  static Guid fromBytes(ByteView v);  // needs 16 bytes
  // From "{00020329-0000-0000-C000-000000000046}" or without braces.
  static std::optional<Guid> parse(const std::string& text);
  std::string toString() const;  // upper-case, with braces
  auto operator<=>(const Guid&) const = default;
};

// Well-known property sets.
namespace psetid {
extern const Guid Mapi;          // PS_MAPI {00020328-...}
extern const Guid PublicStrings; // PS_PUBLIC_STRINGS {00020329-...}
extern const Guid Common;        // PSETID_Common {00062008-...}
extern const Guid Address;       // PSETID_Address {00062004-...}
extern const Guid Appointment;   // PSETID_Appointment {00062002-...}
extern const Guid Task;          // PSETID_Task {00062003-...}
extern const Guid InternetHeaders;  // PS_INTERNET_HEADERS {00020386-...}
}  // namespace psetid

// The name of a named property: a property set and either a numeric id
// (LID) or a string name.
struct NamedProperty {
  enum class Kind : std::uint8_t { Id = 0, String = 1 };
  Guid guid;
  Kind kind = Kind::Id;
  std::uint32_t lid = 0;   // when kind == Id
  std::string name;        // UTF-8, when kind == String

  static NamedProperty byId(const Guid& g, std::uint32_t id) { return {g, Kind::Id, id, {}}; }
  static NamedProperty byName(const Guid& g, std::string n) { return {g, Kind::String, 0, std::move(n)}; }
  std::string toString() const;  // "{GUID}:0x8501" or "{GUID}:name"
  auto operator<=>(const NamedProperty&) const = default;
};

// The bytes of a large binary value left where they are stored (the data
// tree of a PST node) and read a piece at a time by whoever writes them, so
// that a value of any size passes through without being held whole.
class ValueSource {
 public:
  virtual ~ValueSource() = default;
  virtual std::uint64_t size() const = 0;
  // Hands every byte to sink, in order, in pieces of no fixed size;
  // mapi::Error when the bytes cannot be read (the store is gone or
  // damaged) or do not add up to size().
  virtual void read(const std::function<void(ByteView)>& sink) const = 0;
};

// One property value in canonical form:
//  - fixed-size types: their little-endian bytes at their natural size
//    (Int16 2, Int32/Float/Error 4, Boolean 1, Double/Currency/AppTime/
//    Int64/SysTime 8, Guid 16);
//  - String8: the bytes in the store's code page, no terminator;
//  - Unicode: UTF-16LE, no terminator;
//  - Binary, ServerId, Restriction, RuleAction: the bytes as stored;
//  - Object: for an OLE attachment, the image of its compound file;
//  - multi-valued: one element per value in `values`, each in the single
//    form of the base type; `data` is unused.
// A Binary value may instead come with a `source` (see ValueSource); its
// `data` is then empty, and byteSize(), readPieces() and bytes() see the
// bytes wherever they are.
struct PropValue {
  PropType type = pt::Null;
  Bytes data;
  std::vector<Bytes> values;
  std::shared_ptr<const ValueSource> source = nullptr;

  static PropValue deferred(std::shared_ptr<const ValueSource> from);
  std::uint64_t byteSize() const { return source ? source->size() : data.size(); }
  void readPieces(const std::function<void(ByteView)>& sink) const;
  // The bytes whole: read from the source when there is one.
  Bytes bytes() const;

  static PropValue int16(std::int16_t v);
  static PropValue int32(std::int32_t v);
  static PropValue int64(std::int64_t v);
  static PropValue boolean(bool v);
  static PropValue floating(double v);
  static PropValue sysTime(std::uint64_t fileTime);
  static PropValue unicode(const std::string& utf8);
  static PropValue string8(std::string bytes);
  static PropValue binary(Bytes bytes);
  static PropValue guid(const Guid& g);
  static PropValue multiUnicode(const std::vector<std::string>& utf8);

  bool isMulti() const { return isMultiValued(type); }

  // Typed reads; nullopt when the type does not fit.
  std::optional<std::int32_t> asInt32() const;  // Int16, Int32, Boolean, Error
  std::optional<std::int64_t> asInt64() const;  // any integer type, SysTime, Currency
  std::optional<bool> asBool() const;
  std::optional<double> asDouble() const;       // Float, Double, AppTime
  // Text of a String8 or Unicode value as UTF-8; String8 is decoded
  // through `codepage`.
  std::optional<std::string> asString(std::uint32_t codepage = 1252) const;

  bool operator==(const PropValue&) const = default;
};

// All properties of one object (message, recipient, attachment, folder,
// store). Tags are unique; for named ids the bag also keeps the name.
class PropertyBag {
 public:
  bool has(PropTag tag) const { return props_.count(tag) != 0; }
  const PropValue* get(PropTag tag) const;
  // The first property with this id, whatever its type.
  const PropValue* getById(std::uint16_t id, PropTag* foundTag = nullptr) const;
  void set(PropTag tag, PropValue value);  // value.type is set from the tag
  bool remove(PropTag tag);
  void removeId(std::uint16_t id);        // every type with this id

  // Convenience reads of common shapes.
  std::optional<std::string> getString(std::uint16_t id) const;  // Unicode or String8 variant
  std::optional<std::int32_t> getInt32(PropTag tag) const;
  std::optional<bool> getBool(PropTag tag) const;
  // Nothing for a value read from its source (see PropValue::bytes()).
  const Bytes* getBinary(PropTag tag) const;

  // Named properties. `nameOf` tells the name behind a named id held here.
  const NamedProperty* nameOf(std::uint16_t id) const;
  void setName(std::uint16_t id, NamedProperty name);
  // The id this bag uses for a name, if any.
  std::optional<std::uint16_t> idOf(const NamedProperty& name) const;
  const PropValue* getNamed(const NamedProperty& name, PropType type) const;
  // Sets a named property, giving the name a free id in this bag if it has none yet.
  PropTag setNamed(const NamedProperty& name, PropType type, PropValue value);

  // Code page for String8 values (PR_MESSAGE_CODEPAGE, else
  // PR_INTERNET_CPID, else 1252).
  std::uint32_t codepage() const;

  const std::map<PropTag, PropValue>& all() const { return props_; }
  const std::map<std::uint16_t, NamedProperty>& names() const { return names_; }
  std::size_t size() const { return props_.size(); }
  bool empty() const { return props_.empty(); }

  bool operator==(const PropertyBag&) const = default;

 private:
  std::map<PropTag, PropValue> props_;
  std::map<std::uint16_t, NamedProperty> names_;
};

}  // namespace varnolt::mapi
