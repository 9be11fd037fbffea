#include "mapi/pst/ltp/table_context.h"

#include <algorithm>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {
namespace {

const Heap& checkedHeap(const Heap& heap) {
  if (heap.clientSignature() != heap_client::TableContext)
    throw Error(ErrorKind::Corrupt, "node " + hexText(heap.node().id()) + " is not a table context");
  return heap;
}

}  // namespace

TableContext::TableContext(const Node& node) : heap_(node) {
  checkedHeap(heap_);
  auto fail = [&](const std::string& what) -> void {
    throw Error(ErrorKind::Corrupt, "the table of node " + hexText(node.id()) + " " + what);
  };
  ByteView info = heap_.item(heap_.userRoot());
  if (info.size() < TcInfo::kSize || info.u8(0) != heap_client::TableContext) fail("has no table header");
  const TcInfo header = TcInfo::parse(info);
  std::size_t cCols = header.cCols;
  const auto& rgib = header.rgib;
  if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3])) fail("has its cell groups out of order");
  rowSize_ = rgib[TcInfo::kTciBm];
  cebOffset_ = rgib[TcInfo::kTci1b];
  std::size_t cebSize = rowSize_ - cebOffset_;
  Hid hidRowIndex = header.hidRowIndex;
  std::uint32_t hnidRows = header.hnidRows;
  if (info.size() < TcInfo::kSize + cCols * TableColumn::kSize) fail("has fewer column descriptions than columns");
  for (std::size_t i = 0; i < cCols; ++i) {
    TableColumn c = TcInfo::column(info, i);
    if (std::size_t{c.offset} + c.size > cebOffset_ || c.bit / 8u >= cebSize) fail("has a column outside its rows");
    columns_.push_back(c);
  }

  if (hidRowIndex != 0) {
    rowIndex_.emplace(heap_, hidRowIndex);
    if (rowIndex_->keySize() != 4 || rowIndex_->valueSize() < 2) fail("has a bad row index");
  }
  std::size_t indexed = rowIndex_ ? rowIndex_->count() : 0;

  if (hnidRows != 0 && rowSize_ > 0) {
    if (isHid(hnidRows)) {
      matrix_.push_back(heap_.item(hnidRows).copy());
    } else {
      matrix_ = node.subnode(hnidRows).readBlocks();
    }
    // Rows never straddle blocks: each block but the last holds as many
    // whole rows as fit in a full block.
    rowsPerBlock_ = matrix_.size() == 1 ? matrix_[0].size() / rowSize_
                                        : node.database().layout().maxBlockData / rowSize_;
    if (rowsPerBlock_ == 0) fail("has rows larger than a block");
    std::size_t available = 0;
    for (std::size_t b = 0; b < matrix_.size(); ++b) {
      std::size_t inBlock = matrix_[b].size() / rowSize_;
      if (b + 1 < matrix_.size() && inBlock != rowsPerBlock_) fail("has a row block that is not full");
      available += inBlock;
    }
    if (indexed > available) fail("indexes " + std::to_string(indexed) + " rows but holds " + std::to_string(available));
  } else if (indexed > 0) {
    fail("indexes rows it does not hold");
  }
  rowCount_ = indexed;
}

ByteView TableContext::rowBytes(std::size_t row) const {
  if (row >= rowCount_) throw Error(ErrorKind::InvalidArgument, "row " + std::to_string(row) + " does not exist");
  return ByteView(matrix_[row / rowsPerBlock_]).sub((row % rowsPerBlock_) * rowSize_, rowSize_);
}

std::uint32_t TableContext::rowId(std::size_t row) const { return rowBytes(row).u32(0); }

std::vector<std::pair<std::uint32_t, std::uint32_t>> TableContext::rowIndex() const {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  if (!rowIndex_) return out;
  rowIndex_->forEach([&](ByteView key, ByteView value) {
    std::uint32_t index = value.size() >= 4 ? value.u32(0) : value.u16(0);
    out.emplace_back(key.u32(0), index);
  });
  return out;
}

std::optional<PropValue> TableContext::readCell(ByteView row, const TableColumn& c, ReadBudget* budget) const {
  std::uint8_t ceb = row.u8(cebOffset_ + c.bit / 8u);
  if ((ceb & (0x80u >> (c.bit % 8u))) == 0) return std::nullopt;
  PropType type = propType(c.tag);
  std::size_t fixed = isMultiValued(type) ? 0 : fixedSize(type);
  if (fixed > 0 && fixed <= 8) {
    // Some writers give a 32-bit column 8 bytes; the value is in the first
    // four (little-endian), as Outlook reads it.
    if (c.size < fixed)
      throw Error(ErrorKind::Corrupt, "the table of node " + hexText(heap_.node().id()) +
                                          " keeps a cell in a space too small for it");
    return decodeValue(type, row.sub(c.offset, fixed));
  }
  if (c.size != 4)
    throw Error(ErrorKind::Corrupt, "the table of node " + hexText(heap_.node().id()) +
                                        " keeps a reference in a space of the wrong size");
  return decodeValue(type, readHnid(heap_, row.u32(c.offset), budget));
}

PropertyBag TableContext::row(std::size_t row, ReadBudget* budget) const {
  ByteView r = rowBytes(row);
  PropertyBag bag;
  for (const TableColumn& c : columns_) {
    if (auto v = readCell(r, c, budget)) bag.set(c.tag, std::move(*v));
  }
  return bag;
}

std::optional<PropValue> TableContext::cell(std::size_t row, PropTag tag, ReadBudget* budget) const {
  ByteView r = rowBytes(row);
  for (const TableColumn& c : columns_) {
    if (c.tag == tag) return readCell(r, c, budget);
  }
  return std::nullopt;
}

}  // namespace varnolt::mapi::pst
