#include "mapi/pst/writer/property_context_writer.h"

#include <algorithm>
#include <set>

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ltp/property_value.h"

namespace varnolt::mapi::pst {
namespace {

constexpr std::uint8_t kPropertyContextSig = heap_client::PropertyContext;

// Cells a table row keeps in place: fixed-size values of up to 8 bytes.
std::size_t inlineCellSize(PropType type) {
  if (isMultiValued(type)) return 0;
  std::size_t fixed = fixedSize(type);
  return fixed > 0 && fixed <= 8 ? fixed : 0;
}

std::size_t cellSize(PropType type) {
  std::size_t n = inlineCellSize(type);
  return n > 0 ? n : 4;  // else an HNID
}

}  // namespace

Bytes encodeValue(const PropValue& value) {
  if (!value.isMulti()) return value.source ? value.bytes() : value.data;
  Bytes out;
  PropType base = baseType(value.type);
  std::size_t fixed = fixedSize(base);
  if (fixed > 0) {
    for (const Bytes& v : value.values) {
      if (v.size() != fixed) throw Error(ErrorKind::InvalidArgument, "a multi-valued element of the wrong size");
      putBytes(out, v);
    }
    return out;
  }
  // A count, an offset per element, then the elements ([MS-PST] 2.1.1).
  if (value.values.empty()) return out;
  putU32(out, static_cast<std::uint32_t>(value.values.size()));
  std::uint64_t at = 4 + 4 * value.values.size();
  for (const Bytes& v : value.values) {
    if (at > 0xFFFFFFFFull) throw Error(ErrorKind::Limit, "a multi-valued property larger than 4 GiB");
    putU32(out, static_cast<std::uint32_t>(at));
    at += v.size();
  }
  for (const Bytes& v : value.values) putBytes(out, v);
  return out;
}

std::uint32_t storeValue(HeapWriter& heap, ByteView stored, NodeDatabaseWriter& db, std::vector<SlEntry>& subnodes) {
  // An empty value takes no allocation: a zero-length one would count as freed.
  if (stored.empty()) return 0;
  if (stored.size() <= kMaxHeapAllocation) return heap.allocate(stored);
  NodeId nid = db.allocateNid(nid_type::Ltp);
  subnodes.push_back({nid, db.writeData(stored), 0});
  return nid;
}

LtpNode buildPropertyContext(NodeDatabaseWriter& db, const PropertyRefs& props) {
  HeapWriter heap(kPropertyContextSig);
  Hid header = reserveBTreeHeader(heap);
  LtpNode node;
  std::vector<Bytes> records;
  std::set<std::uint16_t> seen;
  // A PC is keyed by property id alone; a second type of the same id is dropped.
  for (const auto& [tag, ref] : props.all()) {
    const PropValue& value = *ref;
    std::uint16_t id = propId(tag);
    PropType type = propType(tag);
    // Placeholders without a type hold nothing, and the format defines no
    // stored form for them.
    if (type == pt::Unspecified || type == pt::Null) continue;
    if (!seen.insert(id).second) continue;
    Bytes r;
    putU16(r, id);
    putU16(r, type);
    if (storedInline(type)) {
      Bytes v = value.data;
      v.resize(4, 0);
      putBytes(r, v);
    } else if (value.source && value.source->size() > kMaxHeapAllocation) {
      // Too large for the heap, so a subnode, filled from where the bytes are.
      NodeId nid = db.allocateNid(nid_type::Ltp);
      node.subnodes.push_back({nid, db.writeData(*value.source), 0});
      putU32(r, nid);
    } else if (value.source) {
      putU32(r, storeValue(heap, value.bytes(), db, node.subnodes));
    } else {
      putU32(r, storeValue(heap, encodeValue(value), db, node.subnodes));
    }
    records.push_back(std::move(r));
  }
  heap.setUserRoot(writeBTreeOnHeap(heap, 2, 6, records, header));
  node.blocks = heap.finish();
  return node;
}

std::optional<std::size_t> TableLayout::indexOf(PropTag tag) const {
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].tag == tag) return i;
  }
  return std::nullopt;
}

TableLayout TableLayout::make(const std::vector<PropTag>& tags) {
  std::vector<PropTag> all{kTagLtpRowId, kTagLtpRowVersion};
  std::set<PropTag> seen(all.begin(), all.end());
  for (PropTag t : tags) {
    if (seen.insert(t).second) all.push_back(t);
  }
  if (all.size() > 255) throw Error(ErrorKind::Limit, "a table with more than 255 columns");
  TableLayout l;
  std::size_t off = 0;
  for (std::size_t pass = 0; pass < 3; ++pass) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      std::size_t size = cellSize(propType(all[i]));
      bool take = pass == 0 ? size >= 4 : pass == 1 ? size == 2 : size == 1;
      if (!take) continue;
      TableColumn c;
      c.tag = all[i];
      c.offset = static_cast<std::uint16_t>(off);
      c.size = static_cast<std::uint8_t>(size);
      c.bit = static_cast<std::uint8_t>(i);
      l.columns.push_back(c);
      off += size;
    }
    l.rgib[pass] = static_cast<std::uint16_t>(off);
  }
  std::sort(l.columns.begin(), l.columns.end(), [](const TableColumn& a, const TableColumn& b) { return a.bit < b.bit; });
  l.rgib[3] = static_cast<std::uint16_t>(off + (all.size() + 7) / 8);
  return l;
}

PackedRow::PackedRow(std::uint32_t rowId, const TableLayout& layout, const PropertyRefs& props) : rowId_(rowId) {
  for (std::size_t i = 2; i < layout.columns.size(); ++i) {
    const PropValue* v = props.get(layout.columns[i].tag);
    if (!v) continue;
    Bytes stored = encodeValue(*v);
    if (stored.size() > 0xFFFFFFFFull) throw Error(ErrorKind::Limit, "a table cell larger than 4 GiB");
    putU16(cells_, static_cast<std::uint16_t>(i));
    putU32(cells_, static_cast<std::uint32_t>(stored.size()));
    putBytes(cells_, stored);
  }
  cells_.shrink_to_fit();
}

LtpNode buildTableContext(NodeDatabaseWriter& db, const TableLayout& layout, const std::vector<PackedRow>& rows,
                          std::uint32_t rowVersion) {
  HeapWriter heap(heap_client::TableContext);
  LtpNode node;
  std::size_t rowSize = layout.rowSize();
  std::size_t ceb = layout.rgib[2];
  // The row index first, so its BTree-on-heap header is the first allocation.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> index;
  for (const PackedRow& row : rows) index.emplace_back(row.rowId(), static_cast<std::uint32_t>(index.size()));
  std::sort(index.begin(), index.end());
  for (std::size_t i = 1; i < index.size(); ++i) {
    if (index[i].first == index[i - 1].first)
      throw Error(ErrorKind::InvalidArgument, "two table rows with the id " + hexText(index[i].first));
  }
  std::vector<Bytes> records;
  records.reserve(index.size());
  for (const auto& [id, row] : index) {
    Bytes r;
    putU32(r, id);
    putU32(r, row);
    records.push_back(std::move(r));
  }
  Hid rowIndex = writeBTreeOnHeap(heap, 4, 4, records);

  Bytes matrix;
  matrix.reserve(rows.size() * rowSize);
  for (const PackedRow& row : rows) {
    std::size_t base = matrix.size();
    matrix.resize(base + rowSize, 0);
    auto setBit = [&](std::size_t bit) {
      matrix[base + ceb + bit / 8] = static_cast<std::uint8_t>(matrix[base + ceb + bit / 8] | (0x80u >> (bit % 8)));
    };
    setU32(matrix, base, row.rowId());
    setU32(matrix, base + 4, rowVersion);
    setBit(0);
    setBit(1);
    row.forEach([&](std::size_t column, ByteView stored) {
      const TableColumn& c = layout.columns.at(column);
      std::size_t inlineSize = inlineCellSize(propType(c.tag));
      if (inlineSize > 0) {
        std::copy(stored.data(), stored.data() + std::min(inlineSize, stored.size()),
                  matrix.begin() + static_cast<std::ptrdiff_t>(base + c.offset));
      } else {
        setU32(matrix, base + c.offset, storeValue(heap, stored, db, node.subnodes));
      }
      setBit(c.bit);
    });
  }

  std::uint32_t hnidRows = 0;
  if (!matrix.empty()) {
    if (matrix.size() <= kMaxHeapAllocation) {
      hnidRows = heap.allocate(matrix);
    } else {
      // Rows never straddle blocks: each block holds as many whole rows as fit.
      // Every block but the last is padded to full size, as a data tree
      // asks of its blocks.
      const std::size_t full = Layout::unicode().maxBlockData;
      std::size_t perBlock = full / rowSize;
      std::vector<Bytes> blocks;
      for (std::size_t off = 0; off < matrix.size(); off += perBlock * rowSize) {
        std::size_t n = std::min(perBlock * rowSize, matrix.size() - off);
        blocks.emplace_back(matrix.begin() + static_cast<std::ptrdiff_t>(off),
                            matrix.begin() + static_cast<std::ptrdiff_t>(off + n));
        if (off + n < matrix.size()) blocks.back().resize(full, 0);
      }
      Bytes().swap(matrix);
      hnidRows = db.allocateNid(nid_type::Ltp);
      node.subnodes.push_back({hnidRows, db.writeDataBlocks(blocks), 0});
    }
  }

  TcInfo header;
  header.bType = heap_client::TableContext;
  header.cCols = static_cast<std::uint8_t>(layout.columns.size());
  std::copy(std::begin(layout.rgib), std::end(layout.rgib), header.rgib.begin());
  header.hidRowIndex = rowIndex;
  header.hnidRows = hnidRows;
  header.hidIndex = 0;  // deprecated
  Bytes info;
  header.write(info);
  std::vector<TableColumn> sorted = layout.columns;
  std::sort(sorted.begin(), sorted.end(), [](const TableColumn& a, const TableColumn& b) { return a.tag < b.tag; });
  for (const TableColumn& c : sorted) c.write(info);
  heap.setUserRoot(heap.allocate(info));
  node.blocks = heap.finish();
  return node;
}

}  // namespace varnolt::mapi::pst
