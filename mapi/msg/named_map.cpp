#include "mapi/msg/named_map.h"

#include <array>

#include "mapi/msg/format.h"
#include "mapi/util/text.h"

namespace varnolt::mapi::msg {
namespace {

const std::array<std::uint32_t, 256>& crcTable() {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// Bits of the "index and kind information" field (2.2.3.1.2).
std::uint32_t indexAndKind(std::uint16_t id, std::uint16_t guidIndex, NamedProperty::Kind kind) {
  return (std::uint32_t{static_cast<std::uint16_t>(id - 0x8000)} << 16) | (std::uint32_t{guidIndex} << 1) |
         (kind == NamedProperty::Kind::String ? 1u : 0u);
}

const Bytes* streamData(const cfb::Entry* storage, PropTag tag) {
  if (!storage) return nullptr;
  const cfb::Entry* e = storage->findStream(substgName(tag));
  return e ? &e->data : nullptr;
}

}  // namespace

std::uint32_t nameCrc32(ByteView utf16) {
  const auto& t = crcTable();
  std::uint32_t c = 0;
  for (std::size_t i = 0; i < utf16.size(); ++i) c = t[(c ^ utf16.data()[i]) & 0xFF] ^ (c >> 8);
  return c;
}

NameIdMap NameIdMap::read(const cfb::Entry* storage) {
  NameIdMap map;
  const Bytes* guids = streamData(storage, kGuidStreamTag);
  const Bytes* entries = streamData(storage, kEntryStreamTag);
  const Bytes* strings = streamData(storage, kStringStreamTag);
  if (!entries) return map;
  ByteView ev(*entries);
  std::size_t guidCount = guids ? guids->size() / 16 : 0;
  for (std::size_t off = 0; off + 8 <= ev.size(); off += 8) {
    std::uint32_t key = ev.u32(off);
    std::uint32_t info = ev.u32(off + 4);
    auto guidIndex = static_cast<std::uint16_t>((info >> 1) & 0x7FFF);
    auto id = static_cast<std::uint32_t>(0x8000 + (info >> 16));
    if (id > 0xFFFE) continue;
    Guid guid;
    if (guidIndex == kGuidIndexMapi) {
      guid = psetid::Mapi;
    } else if (guidIndex == kGuidIndexPublicStrings) {
      guid = psetid::PublicStrings;
    } else if (guidIndex >= kGuidIndexFirstStream && std::size_t{guidIndex} - kGuidIndexFirstStream < guidCount) {
      guid = Guid::fromBytes(ByteView(*guids).sub(16u * (guidIndex - kGuidIndexFirstStream), 16));
    } else {
      continue;
    }
    NamedProperty name;
    if (info & 1) {
      if (!strings) continue;
      ByteView sv(*strings);
      if (!sv.fits(key, 4)) continue;
      std::uint32_t len = sv.u32(key);
      if (!sv.fits(std::size_t{key} + 4, len)) continue;
      name = NamedProperty::byName(guid, utf16leToUtf8(sv.sub(std::size_t{key} + 4, len)));
    } else {
      name = NamedProperty::byId(guid, key);
    }
    map.byId_.emplace(static_cast<std::uint16_t>(id), std::move(name));  // the first entry for an id wins
  }
  return map;
}

const NamedProperty* NameIdMap::nameOf(std::uint16_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &it->second;
}

cfb::Entry NameIdMap::toStorage() const {
  Bytes guidStream, entryStream, stringStream;
  std::map<Guid, std::uint16_t> guidIndex;
  std::array<Bytes, kHashStreamCount> hashStreams;
  for (const auto& [id, name] : byId_) {
    std::uint16_t gi;
    if (name.guid == psetid::Mapi) {
      gi = kGuidIndexMapi;
    } else if (name.guid == psetid::PublicStrings) {
      gi = kGuidIndexPublicStrings;
    } else if (auto it = guidIndex.find(name.guid); it != guidIndex.end()) {
      gi = it->second;
    } else {
      std::size_t next = kGuidIndexFirstStream + guidIndex.size();
      if (next > 0x7FFF) throw Error(ErrorKind::Limit, "too many property sets for one item file");
      gi = static_cast<std::uint16_t>(next);
      guidIndex.emplace(name.guid, gi);
      putBytes(guidStream, ByteView(name.guid.bytes.data(), name.guid.bytes.size()));
    }
    std::uint32_t info = indexAndKind(id, gi, name.kind);
    std::uint32_t key;
    std::uint32_t hashKey;
    if (name.kind == NamedProperty::Kind::String) {
      Bytes utf16 = utf8ToUtf16le(name.name);
      key = static_cast<std::uint32_t>(stringStream.size());
      putU32(stringStream, static_cast<std::uint32_t>(utf16.size()));
      putBytes(stringStream, utf16);
      while (stringStream.size() % 4) putU8(stringStream, 0);
      hashKey = nameCrc32(utf16);
    } else {
      key = name.lid;
      hashKey = name.lid;
    }
    putU32(entryStream, key);
    putU32(entryStream, info);
    std::uint32_t bucket = (hashKey ^ ((std::uint32_t{gi} << 1) | (info & 1))) % kHashStreamCount;
    putU32(hashStreams[bucket], hashKey);
    putU32(hashStreams[bucket], info);
  }
  cfb::Entry storage = cfb::Entry::storage(kNameIdStorage);
  storage.add(cfb::Entry::stream(substgName(kGuidStreamTag), std::move(guidStream)));
  storage.add(cfb::Entry::stream(substgName(kEntryStreamTag), std::move(entryStream)));
  storage.add(cfb::Entry::stream(substgName(kStringStreamTag), std::move(stringStream)));
  for (std::uint32_t i = 0; i < kHashStreamCount; ++i) {
    if (hashStreams[i].empty()) continue;
    storage.add(cfb::Entry::stream(substgName(makeTag(static_cast<std::uint16_t>(kHashStreamBase + i), pt::Binary)),
                                   std::move(hashStreams[i])));
  }
  return storage;
}

}  // namespace varnolt::mapi::msg
