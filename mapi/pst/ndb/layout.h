#pragma once
// The two file layouts of the node database and the sizes that differ
// between them ([MS-PST] 2.2.2: ANSI files use 32-bit ids and offsets,
// Unicode files 64-bit ones). Everything that reads or writes a page, a
// block or a B-tree entry takes its sizes from here, so no size is spelt
// twice.

#include <cstddef>
#include <cstdint>

namespace varnolt::mapi::pst {

enum class FileLayout : std::uint8_t { Ansi, Unicode };

// File versions (wVer): 14 and 15 are ANSI, 23 and up Unicode; 36 is the
// Unicode variant with 4 KiB pages and compressed blocks.
inline constexpr std::uint16_t kVersionAnsiLow = 14;
inline constexpr std::uint16_t kVersionAnsiHigh = 15;
inline constexpr std::uint16_t kVersionUnicode = 23;
inline constexpr std::uint16_t kVersionUnicode4k = 36;

// Client signatures (wMagicClient).
inline constexpr std::uint16_t kClientPst = 0x4D53;  // "SM"
inline constexpr std::uint16_t kClientOst = 0x4F53;  // "SO"
inline constexpr std::uint16_t kClientPab = 0x4241;  // "AB"

struct Layout {
  FileLayout kind;
  std::size_t idSize;              // BID, IB and B-tree key size: 4 or 8
  std::size_t headerSize;          // bytes of the file header record
  std::size_t pageSize;            // every B-tree and map page
  std::size_t pageTrailerSize;     // PAGETRAILER
  std::size_t btEntriesSize;       // rgentries of a BTPAGE
  std::size_t btBranchEntrySize;   // BTENTRY
  std::size_t bbtEntrySize;        // BBTENTRY
  std::size_t nbtEntrySize;        // NBTENTRY
  std::size_t blockTrailerSize;    // BLOCKTRAILER
  std::size_t blockAlign;          // blocks start and end on this boundary
  std::size_t maxBlockSize;        // a block with its trailer and padding
  std::size_t maxBlockData;        // data bytes one block holds
  std::size_t xblockHeaderSize;    // XBLOCK / XXBLOCK header before the BIDs
  std::size_t slHeaderSize;        // SLBLOCK / SIBLOCK header before the entries
  std::size_t slEntrySize;         // SLENTRY
  std::size_t siEntrySize;         // SIENTRY
  std::size_t rowIndexValueSize;   // TCROWID dwRowIndex: 2 in ANSI, 4 in Unicode

  static const Layout& ansi();
  static const Layout& unicode();
  static const Layout& of(FileLayout kind) { return kind == FileLayout::Ansi ? ansi() : unicode(); }
};

inline const Layout& Layout::ansi() {
  static const Layout l{FileLayout::Ansi, 4, 512, 512, 12, 496, 12, 12, 16, 12, 64, 8192, 8180, 8, 4, 12, 8, 2};
  return l;
}
inline const Layout& Layout::unicode() {
  static const Layout l{FileLayout::Unicode, 8, 564, 512, 16, 488, 24, 24, 32, 16, 64, 8192, 8176, 8, 8, 24, 16, 4};
  return l;
}

// Offsets of the header fields in each layout ([MS-PST] 2.2.2.6 HEADER,
// 2.2.2.5 ROOT).
struct HeaderOffsets {
  std::size_t bidNextB;
  std::size_t bidNextP;
  std::size_t dwUnique;
  std::size_t rgnid;
  std::size_t root;        // the ROOT record
  std::size_t ibFileEof;
  std::size_t ibAMapLast;
  std::size_t cbAMapFree;
  std::size_t cbPMapFree;
  std::size_t brefNbt;
  std::size_t brefBbt;
  std::size_t fAMapValid;
  std::size_t rgbFM;
  std::size_t rgbFP;
  std::size_t bSentinel;
  std::size_t bCryptMethod;
  std::size_t dwCrcFull;   // 0 when the layout has none (ANSI)

  static const HeaderOffsets& of(FileLayout kind);
};

inline const HeaderOffsets& HeaderOffsets::of(FileLayout kind) {
  static const HeaderOffsets ansi{24, 28, 32, 36, 164, 168, 172, 176, 180, 184, 192, 200, 204, 332, 460, 461, 0};
  static const HeaderOffsets unicode{516, 32, 40, 44, 180, 184, 192, 200, 208, 216, 232, 248, 256, 384, 512, 513, 524};
  return kind == FileLayout::Ansi ? ansi : unicode;
}

// Header constants common to both layouts.
inline constexpr std::uint32_t kHeaderMagic = 0x4E444221;  // "!BDN"
inline constexpr std::size_t kHeaderCrcStart = 8;           // CRCs cover the header from wMagicClient on
inline constexpr std::size_t kHeaderCrcPartialLength = 471;
inline constexpr std::size_t kHeaderCrcFullLength = 516;
inline constexpr std::uint8_t kHeaderSentinel = 0x80;

// Encryption of external data blocks ([MS-PST] 2.2.2.6 bCryptMethod).
enum class CryptMethod : std::uint8_t { None = 0x00, Permute = 0x01, Cyclic = 0x02 };

// Page types ([MS-PST] 2.2.2.7.1).
namespace page_type {
inline constexpr std::uint8_t BlockBTree = 0x80;
inline constexpr std::uint8_t NodeBTree = 0x81;
inline constexpr std::uint8_t FreeMap = 0x82;
inline constexpr std::uint8_t PageMap = 0x83;
inline constexpr std::uint8_t AllocationMap = 0x84;
inline constexpr std::uint8_t FreePageMap = 0x85;
inline constexpr std::uint8_t DensityList = 0x86;
}  // namespace page_type

// Block types of internal blocks ([MS-PST] 2.2.2.8.3).
inline constexpr std::uint8_t kBlockTypeXBlock = 0x01;   // XBLOCK (level 1) and XXBLOCK (level 2)
inline constexpr std::uint8_t kBlockTypeSubnode = 0x02;  // SLBLOCK (level 0) and SIBLOCK (level 1)

// Fixed places of the maps ([MS-PST] 2.2.2.7.2 - 2.2.2.7.6).
inline constexpr std::uint64_t kFirstAMapOffset = 0x4400;
inline constexpr std::uint64_t kDensityListOffset = 0x4200;

}  // namespace varnolt::mapi::pst
