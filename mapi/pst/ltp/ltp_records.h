#pragma once
// The raw records of lists, tables and properties as they lie in a heap's
// blocks ([MS-PST] 2.3), with a parser and a writer for each. As with the
// node database records, nothing here checks one field against another:
// the parsers read what is there (the caller makes sure the bytes are
// long enough), the reader and the checker judge it, and the writer
// builds its heaps and tables from the same records.

#include <array>
#include <cstdint>
#include <vector>

#include "mapi/property.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

// The page headers of a heap's blocks: HNHDR on the first block,
// HNBITMAPHDR on blocks 8, 136, 264, ..., HNPAGEHDR on the others
// ([MS-PST] 2.3.1.2, 2.3.1.5, 2.3.1.6).
inline constexpr std::size_t kHeapFirstHeaderSize = 12;
inline constexpr std::size_t kHeapPageHeaderSize = 2;
inline constexpr std::size_t kHeapBitmapHeaderSize = 66;
std::size_t heapPageHeaderSize(std::size_t block);

// HNHDR ([MS-PST] 2.3.1.2): the header of a heap's first block.
struct HeapHeader {
  std::uint16_t ibHnpm = 0;  // where the page map lies in the block
  std::uint8_t bSig = 0;
  std::uint8_t bClientSig = 0;
  std::uint32_t hidUserRoot = 0;
  std::array<std::uint8_t, 4> rgbFillLevel{};  // two levels a byte, blocks 0-7

  static HeapHeader parse(ByteView block);
  void write(Bytes& out) const;
};

// HNPAGEHDR ([MS-PST] 2.3.1.5): the header of most blocks after the first;
// every page header begins with ibHnpm.
struct HeapPageHeader {
  std::uint16_t ibHnpm = 0;

  static HeapPageHeader parse(ByteView block) { return {block.u16(0)}; }
  void write(Bytes& out) const { putU16(out, ibHnpm); }
};

// HNBITMAPHDR ([MS-PST] 2.3.1.6): the header of blocks 8, 136, 264, ...,
// with the fill levels of itself and the 127 blocks after it.
struct HeapBitmapHeader {
  std::uint16_t ibHnpm = 0;
  std::array<std::uint8_t, 64> rgbFillLevel{};  // two levels a byte

  static HeapBitmapHeader parse(ByteView block);
  void write(Bytes& out) const;
};

// The level of the k-th block a fill level array covers: two a byte, the
// lower block in the low nibble.
inline std::uint8_t fillLevelAt(const std::uint8_t* levels, std::size_t k) {
  std::uint8_t pair = levels[k / 2];
  return static_cast<std::uint8_t>(k % 2 == 0 ? pair & 0x0F : pair >> 4);
}
inline std::uint8_t packFillLevels(std::uint8_t lower, std::uint8_t upper) {
  return static_cast<std::uint8_t>((lower & 0x0F) | (upper << 4));
}

// HNPAGEMAP ([MS-PST] 2.3.1.5): the allocations of one heap block.
// rgibAlloc holds cAlloc + 1 offsets; allocation i spans
// rgibAlloc[i-1]..rgibAlloc[i].
struct HeapPageMap {
  std::uint16_t cAlloc = 0;
  std::uint16_t cFree = 0;
  std::vector<std::uint16_t> rgibAlloc;

  // The bytes of a map with this many allocations.
  static std::size_t sizeFor(std::size_t cAlloc) { return 4 + 2 * (cAlloc + 1); }
  // The counts alone; the caller checks they fit before reading the offsets.
  static HeapPageMap parseCounts(ByteView block, std::size_t ibHnpm);
  // The whole map: counts and offsets.
  static HeapPageMap parse(ByteView block, std::size_t ibHnpm);
  void write(Bytes& out) const;
};

// BTHHEADER ([MS-PST] 2.3.2.1).
struct BthHeader {
  static constexpr std::size_t kSize = 8;
  std::uint8_t bType = 0;
  std::uint8_t cbKey = 0;
  std::uint8_t cbEnt = 0;
  std::uint8_t bIdxLevels = 0;
  std::uint32_t hidRoot = 0;

  static BthHeader parse(ByteView v);
  void write(Bytes& out) const;
};

// TCOLDESC ([MS-PST] 2.3.4.2).
struct TableColumn {
  static constexpr std::size_t kSize = 8;
  PropTag tag = 0;
  std::uint16_t offset = 0;  // ibData: where the cell lies in a row
  std::uint8_t size = 0;     // cbData
  std::uint8_t bit = 0;      // iBit: the cell's bit in the existence bitmap

  static TableColumn parse(ByteView v, std::size_t off);
  void write(Bytes& out) const;
};

// TCINFO ([MS-PST] 2.3.4.1) without its column descriptions, which
// follow it.
struct TcInfo {
  static constexpr std::size_t kSize = 22;
  // rgib indexes: the end of the 4- and 8-byte cells, of the 2-byte cells,
  // of the 1-byte cells (the start of the existence bitmap), of the bitmap
  // (the row size).
  static constexpr std::size_t kTci4b = 0;
  static constexpr std::size_t kTci2b = 1;
  static constexpr std::size_t kTci1b = 2;
  static constexpr std::size_t kTciBm = 3;
  std::uint8_t bType = 0;
  std::uint8_t cCols = 0;
  std::array<std::uint16_t, 4> rgib{};
  std::uint32_t hidRowIndex = 0;
  std::uint32_t hnidRows = 0;
  std::uint32_t hidIndex = 0;

  static TcInfo parse(ByteView v);
  // Column i, which lies after the header.
  static TableColumn column(ByteView v, std::size_t i) { return TableColumn::parse(v, kSize + i * TableColumn::kSize); }
  void write(Bytes& out) const;
};

}  // namespace varnolt::mapi::pst
