#include "mapi/pst/ltp/property_value.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {

void ReadBudget::charge(std::uint64_t bytes) {
  if (bytes > left_)
    throw Error(ErrorKind::Limit, "the object's values add up to more data than the file holds (values repeat)");
  left_ -= bytes;
}

bool storedInline(PropType type) {
  switch (type) {
    case pt::Int16:
    case pt::Int32:
    case pt::Float:
    case pt::Error:
    case pt::Boolean:
      return true;
    default:
      return false;
  }
}

Bytes readHnid(const Heap& heap, std::uint32_t hnid, ReadBudget* budget) {
  if (hnid == 0) return {};
  if (isHid(hnid)) return heap.item(hnid).copy();
  Node sub = heap.node().subnode(hnid);
  DataTree tree = sub.dataTree();
  if (budget) budget->charge(tree.size);
  return sub.read();
}

namespace {

[[noreturn]] void badValue(PropType type, const std::string& what) {
  throw Error(ErrorKind::Corrupt, "a value of type " + typeName(type) + " " + what);
}

// Strings, binaries and other variable-size elements of a multi-valued
// property: a count, then one offset per element, then the elements.
std::vector<Bytes> splitVariable(PropType type, ByteView v) {
  std::vector<Bytes> out;
  if (v.empty()) return out;
  if (v.size() < 4) badValue(type, "is too short for its count");
  std::size_t count = v.u32(0);
  if (count > (v.size() - 4) / 4) badValue(type, "has more elements than bytes");
  std::size_t dataStart = 4 + 4 * count;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t begin = v.u32(4 + 4 * i);
    std::size_t end = i + 1 < count ? v.u32(4 + 4 * (i + 1)) : v.size();
    if (begin < dataStart || end < begin || end > v.size()) badValue(type, "has element offsets out of order");
    out.push_back(v.copy(begin, end - begin));
  }
  return out;
}

}  // namespace

PropValue decodeValue(PropType type, Bytes&& stored) {
  if (isMultiValued(type) || fixedSize(baseType(type)) > 0) return decodeValue(type, ByteView(stored));
  PropValue value;
  value.type = type;
  value.data = std::move(stored);
  return value;
}

PropValue decodeValue(PropType type, ByteView stored) {
  PropValue value;
  value.type = type;
  PropType base = baseType(type);
  std::size_t fixed = fixedSize(base);
  if (isMultiValued(type)) {
    if (fixed > 0) {
      if (stored.size() % fixed != 0) badValue(type, "is not a whole number of elements");
      for (std::size_t off = 0; off < stored.size(); off += fixed) value.values.push_back(stored.copy(off, fixed));
    } else {
      value.values = splitVariable(type, stored);
    }
    return value;
  }
  if (fixed > 0) {
    if (stored.size() < fixed) badValue(type, "is too short");
    value.data = stored.copy(0, fixed);
  } else {
    value.data = stored.copy();
  }
  return value;
}

}  // namespace varnolt::mapi::pst
