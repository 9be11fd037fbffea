#include "mapi/pst/ltp/property_context.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {
namespace {

const Heap& checkedHeap(const Heap& heap) {
  if (heap.clientSignature() != heap_client::PropertyContext)
    throw Error(ErrorKind::Corrupt, "node " + hexText(heap.node().id()) + " is not a property context");
  return heap;
}

}  // namespace

PropertyContext::PropertyContext(const Node& node) : heap_(node), bth_(checkedHeap(heap_), heap_.userRoot()) {
  if (bth_.keySize() != 2 || bth_.valueSize() != 6)
    throw Error(ErrorKind::Corrupt, "the property context of node " + hexText(node.id()) + " has bad record sizes");
}

std::vector<PropertyContext::Record> PropertyContext::records() const {
  std::vector<Record> out;
  bth_.forEach([&](ByteView key, ByteView value) {
    out.push_back({makeTag(key.u16(0), value.u16(0)), value.u32(2)});
  });
  return out;
}

PropValue PropertyContext::value(const Record& r, ReadBudget* budget) const {
  PropType type = propType(r.tag);
  if (storedInline(type)) {
    Bytes raw;
    putU32(raw, r.valueOrHnid);
    raw.resize(fixedSize(type));
    return decodeValue(type, raw);
  }
  try {
    return decodeValue(type, readHnid(heap_, r.valueOrHnid, budget));
  } catch (const Error& e) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%08X", r.tag);
    throw Error(e.kind(), std::string("property ") + tag + " of node " + hexText(heap_.node().id()) + ": " +
                              e.what());
  }
}

PropertyBag PropertyContext::readAll(ReadBudget* budget) const {
  PropertyBag bag;
  if (budget) budget->charge(heap_.size());
  for (const Record& r : records()) bag.set(r.tag, value(r, budget));
  return bag;
}

std::optional<PropValue> PropertyContext::get(std::uint16_t id, ReadBudget* budget) const {
  auto v = bth_.find(id);
  if (!v) return std::nullopt;
  return value(Record{makeTag(id, v->u16(0)), v->u32(2)}, budget);
}

}  // namespace varnolt::mapi::pst
