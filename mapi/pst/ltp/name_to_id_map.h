#pragma once
// The name-to-id map ([MS-PST] 2.4.7): which named property (a property
// set and a number or a string) each id from 0x8000 up stands for in this
// file. It is the property context of node 0x61; its entry, GUID and
// string streams are decoded once.

#include <map>
#include <optional>

#include "mapi/property.h"

namespace varnolt::mapi::pst {

// Property ids of the map's streams.
inline constexpr PropTag kTagNameidBucketCount = 0x00010003;
inline constexpr PropTag kTagNameidStreamGuid = 0x00020102;
inline constexpr PropTag kTagNameidStreamEntry = 0x00030102;
inline constexpr PropTag kTagNameidStreamString = 0x00040102;

class NameToIdMap {
 public:
  NameToIdMap() = default;
  // From the properties of node 0x61. Entries that point outside their
  // streams are skipped and counted.
  explicit NameToIdMap(const PropertyBag& props);

  const NamedProperty* nameOf(std::uint16_t id) const;
  std::optional<std::uint16_t> idOf(const NamedProperty& name) const;
  const std::map<std::uint16_t, NamedProperty>& entries() const { return byId_; }
  std::size_t badEntries() const { return bad_; }

  // Gives every named id in the bag its name.
  void nameProperties(PropertyBag& bag) const;

 private:
  std::map<std::uint16_t, NamedProperty> byId_;
  std::map<NamedProperty, std::uint16_t> byName_;
  std::size_t bad_ = 0;
};

}  // namespace varnolt::mapi::pst
