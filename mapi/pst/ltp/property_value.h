#pragma once
// Property values as the LTP layer stores them ([MS-PST] 2.3.3.3 PC
// values, 2.3.4.4 TC cells, 2.1.1 multi-valued layouts): where a value
// lives (inline, in the heap, or in a subnode) and how its bytes become a
// mapi::PropValue.

#include <cstdint>

#include "mapi/property.h"
#include "mapi/pst/ltp/heap.h"

namespace varnolt::mapi::pst {

// A limit on the bytes one read may gather (one message with all it holds),
// so a file that points many values at the same large subnode cannot make
// the reader allocate without end.
class ReadBudget {
 public:
  explicit ReadBudget(std::uint64_t bytes) : left_(bytes) {}
  void charge(std::uint64_t bytes);  // mapi::Error (Limit) when spent

 private:
  std::uint64_t left_;
};

// True for the types a property context keeps in the 4 bytes of its
// record (2.3.3.3): 16-bit and 32-bit integers, floats, errors, booleans.
bool storedInline(PropType type);

// The stored bytes behind an HNID: a heap allocation, or the data of a
// subnode of the heap's node. Empty for HNID 0.
Bytes readHnid(const Heap& heap, std::uint32_t hnid, ReadBudget* budget);

// Canonical value from stored bytes (see mapi::PropValue); mapi::Error
// (Corrupt) when a fixed-size value is short or a multi-valued layout is
// inconsistent.
PropValue decodeValue(PropType type, ByteView stored);
// The same, taking over the bytes where the value keeps them whole.
PropValue decodeValue(PropType type, Bytes&& stored);

}  // namespace varnolt::mapi::pst
