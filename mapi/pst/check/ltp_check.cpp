// Lists, tables and properties ([MS-PST] 2.3): the heap-on-node of every
// node that holds one (header, page maps, allocations inside their
// block), BTree-on-heaps (levels, key order, record sizes), property
// contexts (types, values that resolve) and table contexts (column
// descriptions, row sizes, the row matrix, cell existence bitmaps, the row
// index against the rows).

#include <algorithm>
#include <functional>
#include <set>

#include "mapi/pst/check/context.h"
#include "mapi/pst/ltp/heap.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/ltp/ltp_records.h"
#include "mapi/pst/ltp/table_context.h"

namespace varnolt::mapi::pst::check {
namespace {

bool knownClientSig(std::uint8_t s) {
  switch (s) {
    case 0x6C: case 0x7C: case 0x8C: case 0x9C: case 0xA5: case 0xAC: case 0xB5: case 0xBC: case 0xCC: return true;
    default: return false;
  }
}

// Size of a fixed-size property type, 0 for variable-size ones, nullopt
// for a type the format does not define.
std::optional<std::size_t> typeSize(std::uint16_t type) {
  switch (type) {
    case 0x0002: return 2;
    case 0x0003: case 0x0004: case 0x000A: return 4;
    case 0x000B: return 1;
    case 0x0005: case 0x0006: case 0x0007: case 0x0014: case 0x0040: return 8;
    case 0x0048: return 16;
    case 0x000D: case 0x001E: case 0x001F: case 0x0102: case 0x00FB: case 0x00FD: case 0x00FE: return 0;
    case 0x1002: case 0x1003: case 0x1004: case 0x1005: case 0x1006: case 0x1007: case 0x1014: case 0x1040:
    case 0x1048: case 0x101E: case 0x101F: case 0x1102: return 0;
    default: return std::nullopt;
  }
}

struct HeapModel {
  std::vector<Bytes> blocks;
  std::vector<std::vector<std::uint16_t>> offsets;
  std::uint8_t clientSig = 0;
  Hid userRoot = 0;

  // The allocation, or nullopt when the HID names none.
  std::optional<ByteView> item(Hid hid) const {
    if (!isHid(hid) || hid == 0) return std::nullopt;
    std::size_t index = (hid >> 5) & 0x7FF;
    std::size_t block = hid >> 16;
    if (block >= blocks.size() || index == 0 || index >= offsets[block].size()) return std::nullopt;
    std::size_t b = offsets[block][index - 1];
    std::size_t e = offsets[block][index];
    return ByteView(blocks[block]).sub(b, e - b);
  }
};

class LtpCheck {
 public:
  LtpCheck(Context& c, std::uint64_t at, std::string where, std::vector<SlEntry> subnodes)
      : c_(c), at_(at), where_(std::move(where)), subnodes_(std::move(subnodes)) {}

  void fail(const char* rule, const std::string& msg) { c_.report(at_, rule, where_, msg); }

  // Reads and checks the heap; false when it cannot be used.
  bool heap(const std::vector<const BlockInfo*>& blocks) {
    if (blocks.empty()) {
      fail("heap.empty", "the node has no data for its heap");
      return false;
    }
    // A HID addresses at most 65,536 blocks.
    if (blocks.size() > 0x10000) {
      fail("heap.size", "the heap has " + std::to_string(blocks.size()) + " blocks; a HID reaches 65,536");
      return false;
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      auto data = c_.blockData(*blocks[i]);
      if (!data) return false;
      if (!heapBlock(i, std::move(*data))) return false;
    }
    checkHeapFillLevels(c_, blocks, h_.blocks, where_);
    return true;
  }

  const HeapModel& model() const { return h_; }

  bool hnidResolves(std::uint32_t hnid) const {
    if (hnid == 0) return true;
    if (isHid(hnid)) return h_.item(hnid).has_value();
    return std::binary_search(subnodes_.begin(), subnodes_.end(), SlEntry{hnid, 0, 0},
                              [](const SlEntry& a, const SlEntry& b) { return a.nid < b.nid; });
  }

  // Walks a BTree-on-heap; nullopt when it cannot be read. Leaf records are
  // (key, value) views into the heap.
  struct Bth {
    std::size_t keySize = 0, valueSize = 0;
    std::vector<std::pair<ByteView, ByteView>> records;
  };
  std::optional<Bth> bth(Hid header, const char* what) {
    BthWalk walk;
    walk.prefix = std::string(what) + ": ";
    auto decoded = bthHeader(header, walk.prefix);
    if (!decoded) return std::nullopt;
    walk.tree.keySize = decoded->cbKey;
    walk.tree.valueSize = decoded->cbEnt;
    std::size_t levels = decoded->bIdxLevels;
    if (decoded->hidRoot == 0) {
      if (levels != 0) fail("bth.header", walk.prefix + "an empty tree with index levels");
      return walk.tree;
    }
    bthAllocation(walk, decoded->hidRoot, levels);
    if (!walk.ok) return std::nullopt;
    return walk.tree;
  }

  // Checks the property context; returns its records.
  std::vector<PcRecord> propertyContext(const std::vector<std::uint16_t>& required) {
    std::vector<PcRecord> out;
    if (h_.clientSig != heap_client::PropertyContext) {
      fail("pc.client", "heap client " + hexText(h_.clientSig) + " where a property context (0xBC) belongs");
      return out;
    }
    auto t = bth(h_.userRoot, "property context");
    if (!t) return out;
    if (t->keySize != 2 || t->valueSize != 6) {
      fail("pc.bth", "property BTree-on-heap has cbKey " + std::to_string(t->keySize) + " and cbEnt " + std::to_string(t->valueSize) + ", not 2 and 6");
      return out;
    }
    std::set<std::uint16_t> ids;
    for (auto& [key, value] : t->records) {
      std::uint16_t id = key.u16(0);
      std::uint16_t type = value.u16(0);
      std::uint32_t hnid = value.u32(2);
      ids.insert(id);
      out.push_back({id, type, hnid});
      std::string prop = "property " + hexText((std::uint32_t{id} << 16) | type) + " ";
      auto size = typeSize(type);
      if (!size) {
        fail("pc.type", prop + "has a type the format does not define");
        continue;
      }
      if (*size > 0 && *size <= 4) continue;  // the value itself
      if (!hnidResolves(hnid)) {
        fail("pc.value", prop + "points to " + hexText(hnid) + ", which is neither an allocation of the heap nor a subnode");
        continue;
      }
      if (*size > 4 && isHid(hnid)) {
        auto item = h_.item(hnid);
        if (!item || item->size() != *size)
          fail("pc.value", prop + "keeps its " + std::to_string(*size) + "-byte value in " + std::to_string(item ? item->size() : 0) + " bytes");
      }
    }
    for (std::uint16_t id : required) {
      if (!ids.count(id)) fail("pc.required", "the object lacks property " + hexText(id) + ", which every object of its kind has");
    }
    return out;
  }

  // The stored bytes behind an HNID: a heap allocation or a subnode's data.
  std::optional<Bytes> value(std::uint32_t hnid) {
    if (hnid == 0) return Bytes{};
    if (isHid(hnid)) {
      auto item = h_.item(hnid);
      if (!item) return std::nullopt;
      return item->copy();
    }
    auto sl = std::lower_bound(subnodes_.begin(), subnodes_.end(), hnid, [](const SlEntry& a, NodeId n) { return a.nid < n; });
    if (sl == subnodes_.end() || sl->nid != hnid) return std::nullopt;
    auto blocks = dataBlocksOf(c_, sl->bidData);
    if (!blocks) return std::nullopt;
    Bytes out;
    for (const BlockInfo* b : *blocks) {
      auto data = c_.blockData(*b);
      if (!data) return std::nullopt;
      out.insert(out.end(), data->begin(), data->end());
    }
    return out;
  }

  // Returns the row ids in row order, or nullopt when the rows cannot be read.
  std::optional<std::vector<std::uint32_t>> tableContext(bool searchContents) {
    // Outlook keeps search results in a table of its own kind (0xAC).
    if (searchContents && h_.clientSig == 0xAC) return std::nullopt;
    if (h_.clientSig != heap_client::TableContext) {
      fail("tc.client", "heap client " + hexText(h_.clientSig) + " where a table context (0x7C) belongs");
      return std::nullopt;
    }
    auto info = tableInfo();
    if (!info) return std::nullopt;
    const TcInfo header = TcInfo::parse(*info);
    const TableShape shape = tableColumns(*info, header);
    checkRowIdColumns(shape.columns);
    if (header.hidIndex != 0) fail("tc.info", "hidIndex is not zero");
    auto index = rowIndex(header.hidRowIndex);
    if (!index) return std::nullopt;
    auto ids = tableRows(header.hnidRows, shape);
    if (!ids) return std::nullopt;
    checkRowIndexAgainstRows(*index, *ids);
    return ids;
  }

 private:
  // Checks one block of the heap, its header in the first, and keeps its
  // data and allocation offsets; false when the heap cannot be used.
  bool heapBlock(std::size_t i, Bytes data) {
    ByteView v(data);
    const std::size_t hdr = heapPageHeaderSize(i);
    std::string blk = "heap block " + std::to_string(i) + ": ";
    if (v.size() < hdr + 4) {
      fail("heap.size", blk + "too short for its header and page map");
      return false;
    }
    if (i == 0 && !heapHeader(v)) return false;
    std::size_t ibHnpm = HeapPageHeader::parse(v).ibHnpm;
    if (ibHnpm < hdr || ibHnpm + 4 > v.size()) {
      fail("heap.page-map", blk + "ibHnpm " + std::to_string(ibHnpm) + " lies outside the block");
      return false;
    }
    const HeapPageMap counts = HeapPageMap::parseCounts(v, ibHnpm);
    std::size_t cAlloc = counts.cAlloc;
    if (ibHnpm + HeapPageMap::sizeFor(cAlloc) > v.size()) {
      fail("heap.page-map", blk + "cAlloc " + std::to_string(cAlloc) + " runs the page map past the block");
      return false;
    }
    std::vector<std::uint16_t> offs = HeapPageMap::parse(v, ibHnpm).rgibAlloc;
    if (!checkAllocations(blk, hdr, ibHnpm, offs, counts.cFree)) return false;
    h_.blocks.push_back(std::move(data));
    h_.offsets.push_back(std::move(offs));
    return true;
  }

  // The HNHDR of the first block; false when it is no heap.
  bool heapHeader(ByteView v) {
    const HeapHeader header = HeapHeader::parse(v);
    if (header.bSig != kHeapSignature) {
      fail("heap.signature", "bSig is " + hexText(header.bSig) + ", not 0xEC");
      return false;
    }
    h_.clientSig = header.bClientSig;
    h_.userRoot = header.hidUserRoot;
    if (!knownClientSig(h_.clientSig)) fail("heap.client", "bClientSig " + hexText(h_.clientSig) + " is not a heap client");
    return true;
  }

  // The allocations of a block's page map start after its header, follow
  // each other up to the page map, and the free ones match cFree; false
  // when they overlap.
  bool checkAllocations(const std::string& blk, std::size_t hdr, std::size_t ibHnpm,
                        const std::vector<std::uint16_t>& offs, std::size_t cFree) {
    const std::size_t cAlloc = offs.size() - 1;
    if (offs[0] != hdr)
      fail("heap.page-map", blk + "the first allocation starts at " + std::to_string(offs[0]) + ", not after the block header (" + std::to_string(hdr) + ")");
    std::size_t freed = 0;
    for (std::size_t k = 1; k <= cAlloc; ++k) {
      if (offs[k] < offs[k - 1] || offs[k] > ibHnpm) {
        fail("heap.page-map", blk + "allocation " + std::to_string(k) + " (" + std::to_string(offs[k - 1]) + ".." + std::to_string(offs[k]) + ") overlaps another or leaves the space before the page map");
        return false;
      }
      std::size_t sz = offs[k] - offs[k - 1];
      if (sz == 0) ++freed;
      if (sz > kMaxHeapItem) fail("heap.item-size", blk + "allocation " + std::to_string(k) + " holds " + std::to_string(sz) + " bytes, more than 3580");
    }
    if (offs[0] != hdr) return false;
    if (freed != cFree) fail("heap.page-map", blk + "cFree is " + std::to_string(cFree) + " but " + std::to_string(freed) + " allocations are empty");
    return true;
  }

  // What walking a BTree-on-heap has found so far.
  struct BthWalk {
    std::string prefix;  // names the tree in findings
    Bth tree;
    std::set<Hid> seen;
    std::optional<std::vector<std::uint8_t>> prevKey;
    bool ok = true;
  };

  // The BTHHEADER at `header`, checked; nullopt when the tree cannot be read.
  std::optional<BthHeader> bthHeader(Hid header, const std::string& w) {
    auto hv = h_.item(header);
    if (!hv || hv->size() != BthHeader::kSize) {
      fail("bth.header", w + "BTHHEADER " + hexText(header) + " is not an 8-byte allocation");
      return std::nullopt;
    }
    const BthHeader decoded = BthHeader::parse(*hv);
    const std::size_t keySize = decoded.cbKey;
    const std::size_t valueSize = decoded.cbEnt;
    const std::size_t levels = decoded.bIdxLevels;
    if (decoded.bType != heap_client::BTreeOnHeap) {
      fail("bth.header", w + "bType " + hexText(decoded.bType) + " is not 0xB5");
      return std::nullopt;
    }
    if (keySize != 2 && keySize != 4 && keySize != 8 && keySize != 16) {
      fail("bth.header", w + "cbKey " + std::to_string(keySize) + " is not 2, 4, 8 or 16");
      return std::nullopt;
    }
    if (valueSize == 0 || valueSize > 32) {
      fail("bth.header", w + "cbEnt " + std::to_string(valueSize) + " is not 1 to 32");
      return std::nullopt;
    }
    if (levels > limits::kMaxBthLevels) {
      fail("bth.header", w + "bIdxLevels " + std::to_string(levels) + " is deeper than any real file");
      return std::nullopt;
    }
    return decoded;
  }

  // Checks the records of one allocation of the tree and walks those below
  // an index record; returns the allocation's first key, nullopt when it
  // cannot be read.
  std::optional<ByteView> bthAllocation(BthWalk& walk, Hid hid, std::size_t level) {
    const std::string& w = walk.prefix;
    const std::size_t keySize = walk.tree.keySize;
    if (!walk.seen.insert(hid).second) {
      fail("bth.loop", w + "allocation " + hexText(hid) + " is reached twice");
      walk.ok = false;
      return std::nullopt;
    }
    auto recs = h_.item(hid);
    std::size_t rs = keySize + (level > 0 ? 4 : walk.tree.valueSize);
    if (!recs) {
      fail("bth.record", w + "HID " + hexText(hid) + " names no allocation");
      walk.ok = false;
      return std::nullopt;
    }
    if (recs->size() == 0 || recs->size() % rs != 0) {
      fail("bth.record", w + "allocation " + hexText(hid) + " of " + std::to_string(recs->size()) + " bytes is not whole records of " + std::to_string(rs));
      walk.ok = false;
      return std::nullopt;
    }
    for (std::size_t off = 0; off < recs->size() && walk.ok; off += rs) {
      ByteView key = recs->sub(off, keySize);
      if (level > 0) {
        auto childFirst = bthAllocation(walk, recs->u32(off + keySize), level - 1);
        if (childFirst && !std::equal(key.data(), key.data() + key.size(), childFirst->data()))
          fail("bth.index-key", w + "an index key is not the first key of the records below it");
      } else {
        bthLeafRecord(walk, recs->sub(off, rs));
      }
    }
    return recs->sub(0, keySize);
  }

  // Checks a leaf record's key against the one before and keeps the record.
  void bthLeafRecord(BthWalk& walk, ByteView record) {
    const std::size_t keySize = walk.tree.keySize;
    ByteView key = record.sub(0, keySize);
    // Some writers leave all-zero records after the last one; readers pass
    // over them.
    if (std::all_of(record.data(), record.data() + record.size(), [](std::uint8_t x) { return x == 0; }) && walk.prevKey) return;
    std::vector<std::uint8_t> k(key.data(), key.data() + key.size());
    // Keys compare as little-endian numbers.
    if (walk.prevKey && !std::lexicographical_compare(walk.prevKey->rbegin(), walk.prevKey->rend(), k.rbegin(), k.rend()))
      fail("bth.order", walk.prefix + "keys are not in ascending order");
    walk.prevKey = std::move(k);
    walk.tree.records.emplace_back(key, record.sub(keySize, walk.tree.valueSize));
  }

  // The columns of a table and where each size of cell lies in a row.
  struct TableShape {
    std::size_t rgib[4] = {};
    std::vector<TableColumn> columns;
    bool columnsOk = true;  // false: the cells of the rows are not checked
    std::size_t rowSize() const { return rgib[TcInfo::kTciBm]; }
  };

  // The TCINFO allocation, checked for its size and the order of its cell
  // offsets; nullopt when it cannot be used.
  std::optional<ByteView> tableInfo() {
    auto info = h_.item(h_.userRoot);
    if (!info || info->size() < TcInfo::kSize || info->u8(0) != heap_client::TableContext) {
      fail("tc.info", "hidUserRoot does not name a TCINFO");
      return std::nullopt;
    }
    const TcInfo header = TcInfo::parse(*info);
    const std::size_t cCols = header.cCols;
    const auto& rgib = header.rgib;
    const std::size_t infoSize = TcInfo::kSize + cCols * TableColumn::kSize;
    if (info->size() != infoSize) {
      fail("tc.info", "TCINFO has " + std::to_string(info->size()) + " bytes for " + std::to_string(cCols) + " columns");
      if (info->size() < infoSize) return std::nullopt;
    }
    if (!(rgib[0] <= rgib[1] && rgib[1] <= rgib[2] && rgib[2] <= rgib[3])) {
      fail("tc.info", "rgib offsets are not in order");
      return std::nullopt;
    }
    if (std::size_t{rgib[3]} - rgib[2] != (cCols + 7) / 8)
      fail("tc.info", "the cell existence bitmap has " + std::to_string(std::size_t{rgib[3]} - rgib[2]) + " bytes for " + std::to_string(cCols) + " columns");
    return info;
  }

  // Reads and checks every column description.
  TableShape tableColumns(ByteView info, const TcInfo& header) {
    TableShape shape;
    for (std::size_t g = 0; g < 4; ++g) shape.rgib[g] = header.rgib[g];
    const std::size_t cCols = header.cCols;
    std::vector<bool> bitUsed(cCols, false);
    std::vector<std::uint8_t> cover(shape.rgib[2], 0);
    for (std::size_t i = 0; i < cCols; ++i) {
      TableColumn col = TcInfo::column(info, i);
      // Outlook does not keep the columns in tag order, so neither do we.
      auto size = typeSize(static_cast<std::uint16_t>(col.tag & 0xFFFF));
      if (!size) {
        fail("tc.column", "column " + hexText(col.tag) + " has a type the format does not define");
        shape.columnsOk = false;
        continue;
      }
      if (!columnFits(col, *size, shape, cover, bitUsed)) shape.columnsOk = false;
      shape.columns.push_back(col);
    }
    return shape;
  }

  // Checks one column's cell size, place in the row and existence bit;
  // marks the bytes and bit it takes in cover and bitUsed.
  bool columnFits(const TableColumn& col, std::size_t typeBytes, const TableShape& shape,
                  std::vector<std::uint8_t>& cover, std::vector<bool>& bitUsed) {
    const std::string cw = "column " + hexText(col.tag) + " ";
    bool ok = true;
    std::size_t want = (typeBytes == 0 || typeBytes > 8) ? 4 : typeBytes;
    // Outlook gives some 32-bit columns 8 bytes; the value is in the first four.
    if (col.size != want && !(want == 4 && col.size == 8)) {
      fail("tc.column", cw + "has cbData " + std::to_string(col.size) + " where " + std::to_string(want) + " belongs");
      ok = false;
    }
    const auto& rgib = shape.rgib;
    std::size_t groupBegin = col.size >= 4 ? 0 : col.size == 2 ? rgib[0] : rgib[1];
    std::size_t groupEnd = col.size >= 4 ? rgib[0] : col.size == 2 ? rgib[1] : rgib[2];
    if (col.offset < groupBegin || col.offset + col.size > groupEnd) {
      fail("tc.column", cw + "lies at " + std::to_string(col.offset) + ", outside the cells of its size");
      ok = false;
    } else {
      for (std::size_t b = col.offset; b < col.offset + col.size; ++b) {
        if (cover[b]++) {
          fail("tc.column", cw + "overlaps another column");
          ok = false;
          break;
        }
      }
    }
    if (col.bit >= bitUsed.size() || bitUsed[col.bit]) {
      fail("tc.column", cw + "has iBit " + std::to_string(col.bit) + ", outside the bitmap or used twice");
      ok = false;
    } else {
      bitUsed[col.bit] = true;
    }
    return ok;
  }

  // Every table starts its rows with the row id and the row version.
  void checkRowIdColumns(const std::vector<TableColumn>& cols) {
    auto rowIdCol = std::find_if(cols.begin(), cols.end(), [](const TableColumn& k) { return k.tag == kTagLtpRowId; });
    if (rowIdCol == cols.end() || rowIdCol->offset != 0 || rowIdCol->size != 4 || rowIdCol->bit != 0)
      fail("tc.column", "the row id column (0x67F20003) is not the 4 bytes at 0 with bit 0");
    auto rowVerCol = std::find_if(cols.begin(), cols.end(), [](const TableColumn& k) { return k.tag == kTagLtpRowVersion; });
    if (rowVerCol == cols.end() || rowVerCol->offset != 4 || rowVerCol->size != 4 || rowVerCol->bit != 1)
      fail("tc.column", "the row version column (0x67F30003) is not the 4 bytes at 4 with bit 1");
  }

  // The row index as (row id, row number) pairs; nullopt when its
  // BTree-on-heap cannot be read.
  std::optional<std::vector<std::pair<std::uint32_t, std::uint32_t>>> rowIndex(Hid hidRowIndex) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> index;
    if (hidRowIndex == 0) {
      fail("tc.row-index", "hidRowIndex is zero");
      return index;
    }
    auto t = bth(hidRowIndex, "row index");
    if (!t) return std::nullopt;
    std::size_t want = c_.layout().rowIndexValueSize;
    if (t->keySize != 4 || t->valueSize != want) {
      fail("tc.row-index", "row index has cbKey " + std::to_string(t->keySize) + " and cbEnt " + std::to_string(t->valueSize) + ", not 4 and " + std::to_string(want));
      return std::nullopt;
    }
    for (auto& [k, v] : t->records) index.emplace_back(k.u32(0), want == 4 ? v.u32(0) : v.u16(0));
    return index;
  }

  // The row matrix: in the heap, or in a subnode whose blocks each hold
  // whole rows. Rows are checked as they come, block by block; only their
  // ids are kept.
  std::optional<std::vector<std::uint32_t>> tableRows(std::uint32_t hnidRows, const TableShape& shape) {
    std::vector<std::uint32_t> ids;
    const std::size_t rowSize = shape.rowSize();
    if (hnidRows != 0 && rowSize < 4) {
      fail("tc.info", "rows of " + std::to_string(rowSize) + " bytes cannot hold a row id");
      return ids;
    }
    if (hnidRows == 0) return ids;
    if (!isHid(hnidRows)) {
      if (!rowsInSubnode(hnidRows, shape, ids)) return std::nullopt;
      return ids;
    }
    auto m = h_.item(hnidRows);
    if (!m) {
      fail("tc.rows", "hnidRows " + hexText(hnidRows) + " names no allocation");
      return std::nullopt;
    }
    if (m->size() % rowSize != 0) fail("tc.rows", "the row matrix of " + std::to_string(m->size()) + " bytes is not whole rows of " + std::to_string(rowSize));
    checkRows(*m, shape, ids);
    return ids;
  }

  // Reads the rows kept in a subnode; false when they cannot be read.
  bool rowsInSubnode(std::uint32_t hnidRows, const TableShape& shape, std::vector<std::uint32_t>& ids) {
    const std::size_t rowSize = shape.rowSize();
    auto sl = std::lower_bound(subnodes_.begin(), subnodes_.end(), hnidRows, [](const SlEntry& a, NodeId n) { return a.nid < n; });
    if (sl == subnodes_.end() || sl->nid != hnidRows) {
      fail("tc.rows", "hnidRows " + hexText(hnidRows) + " is not a subnode of the table");
      return false;
    }
    auto blocks = dataBlocksOf(c_, sl->bidData);
    if (!blocks) return false;
    const std::size_t perBlock = c_.layout().maxBlockData / rowSize;
    for (std::size_t b = 0; b < blocks->size(); ++b) {
      auto data = c_.blockData(*(*blocks)[b]);
      if (!data) return false;
      std::size_t inBlock = data->size() / rowSize;
      if (b + 1 < blocks->size() && inBlock != perBlock)
        fail("tc.rows", "row block " + std::to_string(b) + " holds " + std::to_string(inBlock) + " rows; every block but the last holds " + std::to_string(perBlock));
      if (data->size() % rowSize != 0 && b + 1 == blocks->size())
        fail("tc.rows", "the last row block of " + std::to_string(data->size()) + " bytes is not whole rows of " + std::to_string(rowSize));
      checkRows(*data, shape, ids);
    }
    return true;
  }

  // Checks the cells of the whole rows in matrix and appends their ids.
  void checkRows(ByteView matrix, const TableShape& shape, std::vector<std::uint32_t>& ids) {
    const std::size_t rowSize = shape.rowSize();
    for (std::size_t off = 0; off + rowSize <= matrix.size(); off += rowSize) {
      ByteView row = matrix.sub(off, rowSize);
      std::size_t r = ids.size();
      ids.push_back(row.u32(0));
      if (!shape.columnsOk) continue;
      for (const TableColumn& col : shape.columns) {
        bool exists = (row.u8(shape.rgib[2] + col.bit / 8u) & (0x80u >> (col.bit % 8u))) != 0;
        if (col.tag == kTagLtpRowId && !exists) fail("tc.cell", "row " + std::to_string(r) + " has no row id cell");
        if (!exists) continue;
        auto size = typeSize(static_cast<std::uint16_t>(col.tag & 0xFFFF));
        if (*size != 0 && *size <= 8) continue;
        std::uint32_t hnid = row.u32(col.offset);
        if (!hnidResolves(hnid))
          fail("tc.cell", "row " + std::to_string(r) + " column " + hexText(col.tag) + " points to " + hexText(hnid) +
                              ", which is neither an allocation of the heap nor a subnode");
      }
    }
  }

  // The row index and the rows must name the same rows, each once.
  void checkRowIndexAgainstRows(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& index,
                                const std::vector<std::uint32_t>& ids) {
    if (index.size() != ids.size())
      fail("tc.row-count", "the row index lists " + std::to_string(index.size()) + " rows but the row matrix holds " + std::to_string(ids.size()));
    std::vector<bool> indexed(ids.size(), false);
    for (auto [rowId, rowNum] : index) {
      if (rowNum >= ids.size()) {
        fail("tc.row-index", "row id " + hexText(rowId) + " points to row " + std::to_string(rowNum) + " of " + std::to_string(ids.size()));
        continue;
      }
      if (indexed[rowNum]) fail("tc.row-index", "row " + std::to_string(rowNum) + " is indexed twice");
      indexed[rowNum] = true;
      if (ids[rowNum] != rowId)
        fail("tc.row-index", "row " + std::to_string(rowNum) + " has row id " + hexText(ids[rowNum]) + ", the index " + hexText(rowId));
    }
  }

  Context& c_;
  std::uint64_t at_;
  std::string where_;
  std::vector<SlEntry> subnodes_;
  HeapModel h_;
};

enum class Kind { None, Pc, Tc };

Kind kindOf(NodeId nid, bool top) {
  switch (nidType(nid)) {
    case nid_type::NormalFolder: case nid_type::SearchFolder: case nid_type::NormalMessage:
    case nid_type::Attachment: case nid_type::AssocMessage:
      return Kind::Pc;
    case nid_type::HierarchyTable: case nid_type::ContentsTable: case nid_type::AssocContentsTable:
    case nid_type::SearchContentsTable: case nid_type::AttachmentTable: case nid_type::RecipientTable:
      return Kind::Tc;
    case nid_type::Internal:
      return top && (nid == nid::MessageStore || nid == nid::NameToIdMap) ? Kind::Pc : Kind::None;
    default:
      return Kind::None;
  }
}

// Properties every object of a kind has ([MS-PST] 2.4.3.1, 2.4.4.1.1,
// 2.4.5.1.1).
std::vector<std::uint16_t> requiredProperties(NodeId nid, bool top) {
  if (top && nid == nid::MessageStore) return {0x0FF9, 0x3001, 0x35E0, 0x35E3, 0x35E7};
  switch (nidType(nid)) {
    case nid_type::NormalFolder: return {0x3001, 0x3602, 0x3603, 0x360A};
    case nid_type::NormalMessage: case nid_type::AssocMessage:
      // The format names more (status, times, search key); files Outlook
      // accepts go without them, so only these three are held to.
      return {0x001A, 0x0E07, 0x0E08};
    default: return {};
  }
}

std::optional<std::vector<std::uint32_t>> checkObject(Context& c, NodeId nid, BlockId bidData, BlockId bidSub,
                                                      std::uint64_t at, const std::string& where, bool top,
                                                      unsigned depth);

// The name-to-id map's bucket count and the binary streams and buckets it
// keeps among its properties.
NameMapValues nameMapValues(LtpCheck& ltp, const std::vector<PcRecord>& records) {
  NameMapValues values;
  for (const PcRecord& r : records) {
    if (r.id == 0x0001 && r.type == 0x0003) values.bucketCount = r.hnid;
    bool stream = r.id >= 0x0002 && r.id <= 0x0004;
    bool bucket = r.id >= kNameMapFirstBucket;
    if ((stream || bucket) && r.type == 0x0102) {
      if (auto v = ltp.value(r.hnid)) values.binary[r.id] = std::move(*v);
    }
  }
  return values;
}

// What the subnodes of an object hold that concerns its attachments.
struct Subobjects {
  bool attachmentTable = false;
  std::optional<std::vector<std::uint32_t>> attachmentRows;  // when the table could be read
  std::vector<std::uint32_t> attachments;                    // attachment subnodes, in NID order
};

// The attachments and recipients of messages, and messages inside
// attachments, are subnodes: checks each of them.
Subobjects checkSubobjects(Context& c, const std::vector<SlEntry>& subnodes, std::uint64_t at, const std::string& where,
                           unsigned depth) {
  Subobjects found;
  for (const SlEntry& s : subnodes) {
    std::uint8_t t = nidType(s.nid);
    if (t != nid_type::Attachment && t != nid_type::AttachmentTable && t != nid_type::RecipientTable &&
        t != nid_type::NormalMessage)
      continue;
    auto sub = checkObject(c, s.nid, s.bidData, s.bidSub, at, where + " subnode " + hexText(s.nid), false, depth + 1);
    if (s.nid == nid::MessageAttachmentTable) {
      found.attachmentTable = true;
      found.attachmentRows = std::move(sub);
    }
    if (t == nid_type::Attachment) found.attachments.push_back(s.nid);
  }
  return found;
}

// A message's attachment table lists exactly its attachment subnodes.
void checkAttachmentTable(Context& c, std::uint64_t here, const std::string& where, Subobjects& found) {
  // A message without recipients may go without a recipient table: Outlook
  // writes such messages (contacts, drafts), so its absence is no finding.
  if (!found.attachments.empty() && !found.attachmentTable)
    c.report(here, "message.attachment-table", where, "the message has attachments but no attachment table (subnode 0x671)");
  if (found.attachmentRows) {
    std::sort(found.attachmentRows->begin(), found.attachmentRows->end());
    if (*found.attachmentRows != found.attachments)
      c.report(here, "message.attachment-rows", where,
               "the attachment table lists " + std::to_string(found.attachmentRows->size()) +
                   " rows whose ids are not the message's " + std::to_string(found.attachments.size()) + " attachment subnodes");
  }
}

// Checks one object and the objects inside it; returns the row ids of a
// table that could be read.
std::optional<std::vector<std::uint32_t>> checkObject(Context& c, NodeId nid, BlockId bidData, BlockId bidSub,
                                                      std::uint64_t at, const std::string& where, bool top,
                                                      unsigned depth) {
  Kind kind = kindOf(nid, top);
  if (kind == Kind::None) return std::nullopt;
  auto blocks = dataBlocksOf(c, bidData);
  auto subnodes = subnodesOf(c, bidSub);
  if (!blocks || !subnodes) return std::nullopt;  // the block checks said why
  const std::uint64_t here = blocks->empty() ? at : (*blocks)[0]->ib;
  LtpCheck ltp(c, here, where, *subnodes);
  if (!ltp.heap(*blocks)) return std::nullopt;
  std::optional<std::vector<std::uint32_t>> rows;
  if (kind == Kind::Pc) {
    auto records = ltp.propertyContext(requiredProperties(nid, top));
    if (top && nid == nid::NameToIdMap) checkNameMap(c, here, where, nameMapValues(ltp, records));
  } else {
    rows = ltp.tableContext(nidType(nid) == nid_type::SearchContentsTable);
    if (rows && top) c.tableRows[nid] = *rows;
  }
  if (depth >= limits::kMaxEmbeddingDepth) return rows;
  Subobjects found = checkSubobjects(c, *subnodes, at, where, depth);
  const std::uint8_t type = nidType(nid);
  if (kind == Kind::Pc && (type == nid_type::NormalMessage || type == nid_type::AssocMessage))
    checkAttachmentTable(c, here, where, found);
  return rows;
}

}  // namespace

void checkLtp(Context& c) {
  if (!c.cryptKnown) return;  // external blocks cannot be decoded
  // A sound file is read about once more here; four times the file and
  // some room for small files is far beyond what any real one needs.
  c.setReadBudget(4 * c.fileSize() + (std::uint64_t{16} << 20));
  for (const NodeInfo& n : c.nodes) {
    checkObject(c, n.nid, n.bidData, n.bidSub, n.pageIb, nidText(n.nid), true, 0);
    if (c.budgetSpent()) {
      c.notChecked("heaps and tables from " + nidText(n.nid) + " on (the file's nodes share more data than any real file holds)");
      break;
    }
  }
}

}  // namespace varnolt::mapi::pst::check
