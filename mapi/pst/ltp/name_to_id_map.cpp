#include "mapi/pst/ltp/name_to_id_map.h"

#include "mapi/util/text.h"

namespace varnolt::mapi::pst {

NameToIdMap::NameToIdMap(const PropertyBag& props) {
  static const Bytes none;
  const Bytes* guids = props.getBinary(kTagNameidStreamGuid);
  const Bytes* entries = props.getBinary(kTagNameidStreamEntry);
  const Bytes* strings = props.getBinary(kTagNameidStreamString);
  ByteView g(guids ? *guids : none), e(entries ? *entries : none), s(strings ? *strings : none);

  // NAMEID ([MS-PST] 2.4.7.1): dwPropertyID, then N (bit 0) and wGuid
  // (bits 1-15), then wPropIdx; the property id is 0x8000 + wPropIdx.
  for (std::size_t off = 0; off + 8 <= e.size(); off += 8) {
    std::uint32_t value = e.u32(off);
    std::uint16_t guidAndKind = e.u16(off + 4);
    std::uint16_t index = e.u16(off + 6);
    std::uint32_t id = 0x8000u + index;
    std::uint16_t wGuid = static_cast<std::uint16_t>(guidAndKind >> 1);
    NamedProperty name;
    if (wGuid == 1) {
      name.guid = psetid::Mapi;
    } else if (wGuid == 2) {
      name.guid = psetid::PublicStrings;
    } else if (wGuid >= 3) {
      std::size_t at = (std::size_t{wGuid} - 3) * 16;
      if (!g.fits(at, 16) || id > 0xFFFE) {
        ++bad_;
        continue;
      }
      name.guid = Guid::fromBytes(g.sub(at, 16));
    }
    if (id > 0xFFFE) {
      ++bad_;
      continue;
    }
    if (guidAndKind & 1) {
      // A string name: its length, then UTF-16LE, in the string stream.
      if (!s.fits(value, 4) || !s.fits(std::size_t{value} + 4, s.u32(value))) {
        ++bad_;
        continue;
      }
      name.kind = NamedProperty::Kind::String;
      name.name = utf16leToUtf8(s.sub(std::size_t{value} + 4, s.u32(value)));
    } else {
      name.kind = NamedProperty::Kind::Id;
      name.lid = value;
    }
    auto pid = static_cast<std::uint16_t>(id);
    byId_[pid] = name;
    byName_.emplace(std::move(name), pid);
  }
}

const NamedProperty* NameToIdMap::nameOf(std::uint16_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : &it->second;
}

std::optional<std::uint16_t> NameToIdMap::idOf(const NamedProperty& name) const {
  auto it = byName_.find(name);
  if (it == byName_.end()) return std::nullopt;
  return it->second;
}

void NameToIdMap::nameProperties(PropertyBag& bag) const {
  for (const auto& [tag, value] : bag.all()) {
    std::uint16_t id = propId(tag);
    if (!isNamedId(id)) continue;
    if (const NamedProperty* n = nameOf(id)) bag.setName(id, *n);
  }
}

}  // namespace varnolt::mapi::pst
