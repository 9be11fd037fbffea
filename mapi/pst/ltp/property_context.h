#pragma once
// The property context ([MS-PST] 2.3.3): the properties of one object
// (store, folder, message, attachment) as a BTree-on-heap of PC records
// keyed by property id. Values come back as stored in the file: String8
// in the object's code page, named ids without their names; the messaging
// layer decodes and names them.

#include <optional>
#include <vector>

#include "mapi/pst/ltp/bth.h"
#include "mapi/pst/ltp/property_value.h"

namespace varnolt::mapi::pst {

class PropertyContext {
 public:
  explicit PropertyContext(const Node& node);

  // One PC record: the tag and the raw 4 bytes (an inline value or HNID).
  struct Record {
    PropTag tag;
    std::uint32_t valueOrHnid;
  };
  std::vector<Record> records() const;

  // Every property; mapi::Error when a value cannot be read.
  PropertyBag readAll(ReadBudget* budget = nullptr) const;
  std::optional<PropValue> get(std::uint16_t id, ReadBudget* budget = nullptr) const;
  PropValue value(const Record& record, ReadBudget* budget = nullptr) const;

  const Heap& heap() const { return heap_; }

 private:
  Heap heap_;
  BTreeOnHeap bth_;
};

}  // namespace varnolt::mapi::pst
