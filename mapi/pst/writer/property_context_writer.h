#pragma once
// Writing the LTP structures of one node: property values in their stored
// form ([MS-PST] 2.1.1, 2.3.3.3), property contexts ([MS-PST] 2.3.3) and
// table contexts ([MS-PST] 2.3.4). Values that do not fit the heap are
// written at once as subnodes; the heap comes back as blocks for the
// caller to write with the node.

#include <deque>
#include <map>
#include <optional>

#include "mapi/property.h"
#include "mapi/pst/ltp/table_context.h"
#include "mapi/pst/writer/database_writer.h"
#include "mapi/pst/writer/heap_writer.h"

namespace varnolt::mapi::pst {

// Properties to write, by this file's tags: borrowed from the caller's
// objects, so large values are never copied, or owned here.
class PropertyRefs {
 public:
  PropertyRefs() = default;
  PropertyRefs(PropertyRefs&&) = default;
  PropertyRefs& operator=(PropertyRefs&&) = default;
  PropertyRefs(const PropertyRefs&) = delete;
  PropertyRefs& operator=(const PropertyRefs&) = delete;

  void borrow(PropTag tag, const PropValue& value) { refs_[tag] = &value; }
  void own(PropTag tag, PropValue value) {
    value.type = propType(tag);
    owned_.push_back(std::move(value));
    refs_[tag] = &owned_.back();
  }
  void remove(PropTag tag) { refs_.erase(tag); }
  const PropValue* get(PropTag tag) const {
    auto it = refs_.find(tag);
    return it == refs_.end() ? nullptr : it->second;
  }
  const std::map<PropTag, const PropValue*>& all() const { return refs_; }

 private:
  std::map<PropTag, const PropValue*> refs_;
  std::deque<PropValue> owned_;
};

// The stored bytes of a value: canonical bytes for single values, the
// multi-valued layouts for the rest (the inverse of decodeValue).
Bytes encodeValue(const PropValue& value);

// Where a variable-size value goes: nothing (hnid 0) when empty, the heap
// when it fits, else a subnode written now. Subnode ids come from the
// file's counters, as Outlook hands them out, so an id Outlook takes later
// for a new subnode of the same node is never one already in use.
std::uint32_t storeValue(HeapWriter& heap, ByteView stored, NodeDatabaseWriter& db, std::vector<SlEntry>& subnodes);

// A property context over these properties (tags already in this file's
// ids). PtypObject values must hold the 8 bytes the format stores: the
// subnode's NID and its size.
LtpNode buildPropertyContext(NodeDatabaseWriter& db, const PropertyRefs& props);

// The shape of a table: its columns with their places in a row.
struct TableLayout {
  std::vector<TableColumn> columns;  // in bit order
  std::uint16_t rgib[4] = {0, 0, 0, 0};

  std::size_t rowSize() const { return rgib[3]; }
  std::optional<std::size_t> indexOf(PropTag tag) const;
  // Row id and row version first, then the given columns (duplicates and
  // the two row columns dropped): 4- and 8-byte cells, then 2-byte, then
  // 1-byte, then the cell existence bitmap.
  static TableLayout make(const std::vector<PropTag>& tags);
};

// One row's cells in a compact form, so folders with many messages keep
// their tables in little memory until the file is finished.
class PackedRow {
 public:
  PackedRow() = default;
  PackedRow(std::uint32_t rowId, const TableLayout& layout, const PropertyRefs& props);
  // A row packed before, from its id and cells.
  PackedRow(std::uint32_t rowId, Bytes cells) : rowId_(rowId), cells_(std::move(cells)) {}

  std::uint32_t rowId() const { return rowId_; }
  // Calls visit(column, stored bytes) for each cell present.
  template <typename F>
  void forEach(F&& visit) const {
    ByteView v(cells_);
    for (std::size_t off = 0; off < v.size();) {
      std::size_t column = v.u16(off);
      std::size_t size = v.u32(off + 2);
      visit(column, v.sub(off + 6, size));
      off += 6 + size;
    }
  }
  std::size_t memory() const { return cells_.capacity() + sizeof(*this); }
  const Bytes& cells() const { return cells_; }

 private:
  std::uint32_t rowId_ = 0;
  Bytes cells_;
};

LtpNode buildTableContext(NodeDatabaseWriter& db, const TableLayout& layout, const std::vector<PackedRow>& rows,
                          std::uint32_t rowVersion);

}  // namespace varnolt::mapi::pst
