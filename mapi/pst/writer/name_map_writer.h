#pragma once
// The name-to-id map of a new file ([MS-PST] 2.4.7): every named property
// the file holds gets an id from 0x8000 up the first time its name is
// seen; on finish the GUID, entry and string streams and the hash buckets
// Outlook looks names up by are written as the properties of node 0x61.

#include <map>
#include <vector>

#include "mapi/property.h"

namespace varnolt::mapi::pst {

class NameMapWriter {
 public:
  // This file's id for the name; mapi::Error (Limit) when all 32,767 are taken.
  std::uint16_t idFor(const NamedProperty& name);
  std::size_t size() const { return order_.size(); }
  PropertyBag properties() const;

 private:
  std::uint16_t guidIndex(const Guid& guid);

  std::map<NamedProperty, std::uint16_t> ids_;
  std::vector<NamedProperty> order_;
  std::vector<std::uint16_t> wGuid_;  // per entry of order_
  std::vector<Guid> guids_;           // the GUID stream
};

}  // namespace varnolt::mapi::pst
