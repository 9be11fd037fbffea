#include "mapi/pst/writer/name_map_writer.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ltp/name_to_id_map.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::pst {
namespace {

// Outlook's bucket count; lookups hash into this many bucket properties.
constexpr std::uint32_t kBucketCount = 251;
constexpr std::uint16_t kFirstBucketId = 0x1000;

}  // namespace

std::uint16_t NameMapWriter::guidIndex(const Guid& guid) {
  if (guid == psetid::Mapi) return 1;
  if (guid == psetid::PublicStrings) return 2;
  for (std::size_t i = 0; i < guids_.size(); ++i) {
    if (guids_[i] == guid) return static_cast<std::uint16_t>(i + 3);
  }
  guids_.push_back(guid);
  return static_cast<std::uint16_t>(guids_.size() + 2);
}

std::uint16_t NameMapWriter::idFor(const NamedProperty& name) {
  auto it = ids_.find(name);
  if (it != ids_.end()) return it->second;
  if (order_.size() >= 0x7FFF) throw Error(ErrorKind::Limit, "more than 32,767 named properties in one file");
  auto id = static_cast<std::uint16_t>(0x8000 + order_.size());
  ids_.emplace(name, id);
  order_.push_back(name);
  wGuid_.push_back(guidIndex(name.guid));
  return id;
}

PropertyBag NameMapWriter::properties() const {
  Bytes guidStream, entryStream, stringStream;
  std::map<std::uint32_t, Bytes> buckets;
  for (const Guid& g : guids_) putBytes(guidStream, ByteView(g.bytes.data(), g.bytes.size()));
  for (std::size_t i = 0; i < order_.size(); ++i) {
    const NamedProperty& n = order_[i];
    bool isString = n.kind == NamedProperty::Kind::String;
    std::uint32_t key = n.lid;
    std::uint32_t hashKey = n.lid;
    if (isString) {
      Bytes utf16 = utf8ToUtf16le(n.name);
      key = static_cast<std::uint32_t>(stringStream.size());
      hashKey = computeCrc(utf16);
      putU32(stringStream, static_cast<std::uint32_t>(utf16.size()));
      putBytes(stringStream, utf16);
      while (stringStream.size() % 4) putU8(stringStream, 0);
    }
    auto guidAndKind = static_cast<std::uint16_t>((wGuid_[i] << 1) | (isString ? 1 : 0));
    auto index = static_cast<std::uint16_t>(i);
    // NAMEID ([MS-PST] 2.4.7.1); in the buckets the string's CRC stands in
    // for its offset ([MS-PST] 2.4.7.5).
    putU32(entryStream, key);
    putU16(entryStream, guidAndKind);
    putU16(entryStream, index);
    Bytes& bucket = buckets[(hashKey ^ guidAndKind) % kBucketCount];
    putU32(bucket, hashKey);
    putU16(bucket, guidAndKind);
    putU16(bucket, index);
  }
  PropertyBag props;
  props.set(kTagNameidBucketCount, PropValue::int32(static_cast<std::int32_t>(kBucketCount)));
  props.set(kTagNameidStreamGuid, PropValue::binary(std::move(guidStream)));
  props.set(kTagNameidStreamEntry, PropValue::binary(std::move(entryStream)));
  props.set(kTagNameidStreamString, PropValue::binary(std::move(stringStream)));
  // Like Outlook, only buckets that hold names are written.
  for (auto& [b, bucket] : buckets)
    props.set(makeTag(static_cast<std::uint16_t>(kFirstBucketId + b), pt::Binary), PropValue::binary(std::move(bucket)));
  return props;
}

}  // namespace varnolt::mapi::pst
