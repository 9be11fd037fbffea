#pragma once
// The named-property mapping storage of an item file ([MS-OXMSG] 2.2.3):
// which name (property set and number or string) stands behind each
// property id from 0x8000 up. One map serves the whole file, embedded
// messages included.

#include <cstdint>
#include <map>

#include "mapi/cfb/entry.h"
#include "mapi/property.h"

namespace varnolt::mapi::msg {

class NameIdMap {
 public:
  // Reads "__nameid_version1.0" (the GUID, entry and string streams; the
  // hash streams only repeat them). A missing storage is an empty map;
  // entries that point outside their streams are skipped, so one bad name
  // does not cost the whole message.
  static NameIdMap read(const cfb::Entry* storage);

  const NamedProperty* nameOf(std::uint16_t id) const;
  void add(std::uint16_t id, NamedProperty name) { byId_[id] = std::move(name); }
  const std::map<std::uint16_t, NamedProperty>& entries() const { return byId_; }

  // The mapping storage for this map: GUID, entry and string streams and
  // the hash streams 0x1000 + n that Outlook looks names up by.
  cfb::Entry toStorage() const;

 private:
  std::map<std::uint16_t, NamedProperty> byId_;
};

// CRC-32 of a string name's UTF-16LE bytes as the format's hash streams use
// it (the common polynomial, starting from 0 and without final inversion).
std::uint32_t nameCrc32(ByteView utf16);

}  // namespace varnolt::mapi::msg
