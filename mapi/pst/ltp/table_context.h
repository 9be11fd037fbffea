#pragma once
// The table context ([MS-PST] 2.3.4): the rows of a folder's hierarchy,
// contents and associated-contents tables and of a message's recipients
// and attachments. TCINFO describes the columns; the row index (a
// BTree-on-heap) maps row ids to rows; the row matrix holds the rows, in
// the heap or in a subnode, never split across blocks. A cell exists when
// its bit in the row's cell existence bitmap is set.

#include <optional>
#include <vector>

#include "mapi/pst/ltp/bth.h"
#include "mapi/pst/ltp/ltp_records.h"
#include "mapi/pst/ltp/property_value.h"

namespace varnolt::mapi::pst {

// Column ids every table has ([MS-PST] 2.3.4.4.1).
inline constexpr PropTag kTagLtpRowId = 0x67F20003;
inline constexpr PropTag kTagLtpRowVersion = 0x67F30003;

class TableContext {
 public:
  explicit TableContext(const Node& node);

  const std::vector<TableColumn>& columns() const { return columns_; }
  std::size_t rowSize() const { return rowSize_; }
  // Rows in the order of the row matrix.
  std::size_t rowCount() const { return rowCount_; }
  // dwRowID of a row: for folder and message tables, the NID of the object.
  std::uint32_t rowId(std::size_t row) const;
  // The row index: (row id, row number) in row id order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> rowIndex() const;

  // The cells of a row that exist, as stored (String8 undecoded, names
  // unresolved).
  PropertyBag row(std::size_t row, ReadBudget* budget = nullptr) const;
  std::optional<PropValue> cell(std::size_t row, PropTag tag, ReadBudget* budget = nullptr) const;

  const Heap& heap() const { return heap_; }

 private:
  ByteView rowBytes(std::size_t row) const;
  std::optional<PropValue> readCell(ByteView row, const TableColumn& c, ReadBudget* budget) const;

  Heap heap_;
  std::optional<BTreeOnHeap> rowIndex_;
  std::vector<TableColumn> columns_;
  std::size_t rowSize_ = 0;
  std::size_t cebOffset_ = 0;
  std::size_t rowCount_ = 0;
  // The row matrix: one buffer per block (or the heap allocation), each
  // holding whole rows.
  std::vector<Bytes> matrix_;
  std::size_t rowsPerBlock_ = 0;
};

}  // namespace varnolt::mapi::pst
