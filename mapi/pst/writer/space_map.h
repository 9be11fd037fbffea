#pragma once
// Where things go in a new file, and the pages that say so ([MS-PST]
// 2.2.2.7.2 - 2.2.2.7.6 AMap, PMap, FMap, FPMap, 2.2.2.7.4 density list).
//
// The file grows from the front: every block and page is placed after
// the last one, on its alignment, never across the map pages that sit at
// fixed places at the start of each 253,952-byte AMap section. Space that
// is given back (a removed folder) stays a hole marked free. On finish the
// file is rounded up to whole AMap sections, as Outlook keeps it, and every
// map page is written with its trailer.

#include <array>
#include <cstdint>
#include <vector>

#include "mapi/pst/writer/output_file.h"

namespace varnolt::mapi::pst {

// Sizes and places of the map pages ([MS-PST] 2.2.2.7).
namespace map_layout {
inline constexpr std::uint64_t kSectionSize = 496 * 8 * 64;  // bytes one AMap covers
inline constexpr std::uint64_t kSlotSize = 64;               // bytes one AMap bit covers
inline constexpr std::uint64_t kPMapEvery = 8;               // AMap sections per PMap
inline constexpr std::uint64_t kFirstFMapSection = 128;      // the header's rgbFM covers the first 128
inline constexpr std::uint64_t kFMapEvery = 496;             // AMap sections per FMap
inline constexpr std::uint64_t kFirstFPMapSection = 128 * 8 * 8;  // the header's rgbFP covers 1024 PMaps
inline constexpr std::uint64_t kFPMapEvery = 496 * 8 * 8;         // AMap sections per FPMap
}  // namespace map_layout

class SpaceMap {
 public:
  SpaceMap();

  // The offset of `size` bytes on a boundary of `align` (64 for blocks,
  // 512 for pages), marked in use.
  std::uint64_t allocate(std::uint64_t size, std::uint64_t align);
  // Gives space back; it stays free for good (the file only grows).
  void release(std::uint64_t offset, std::uint64_t size);

  struct Totals {
    std::uint64_t fileEof = 0;
    std::uint64_t lastAMap = 0;
    std::uint64_t amapFree = 0;  // bytes free in all AMap sections
  };
  // Writes every map page and the density list; the file is resized to
  // whole sections.
  Totals finish(OutputFile& file) const;

  static std::uint64_t sectionStart(std::uint64_t section) {
    return 0x4400 + section * map_layout::kSectionSize;
  }
  // Pages at the start of a section: the AMap, then a PMap, FMap and FPMap
  // where their intervals fall.
  static std::uint64_t mapPagesIn(std::uint64_t section);

 private:
  using Bits = std::array<std::uint8_t, 496>;
  void ensureSection(std::uint64_t section);
  void mark(std::uint64_t offset, std::uint64_t size, bool used);

  std::vector<Bits> sections_;
  std::uint64_t end_ = 0;
};

}  // namespace varnolt::mapi::pst
