#include "mapi/pst/writer/space_map.h"

#include <algorithm>

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/layout.h"
#include "mapi/pst/ndb/records.h"

namespace varnolt::mapi::pst {
namespace {

using namespace map_layout;
constexpr std::uint64_t kPage = 512;
constexpr std::size_t kMapBytes = 496;  // the bits of a map page, before its trailer

std::uint64_t alignUp(std::uint64_t v, std::uint64_t a) { return (v + a - 1) / a * a; }

bool hasPMap(std::uint64_t s) { return s % kPMapEvery == 0; }
bool hasFMap(std::uint64_t s) { return s >= kFirstFMapSection && (s - kFirstFMapSection) % kFMapEvery == 0; }
bool hasFPMap(std::uint64_t s) { return s >= kFirstFPMapSection && (s - kFirstFPMapSection) % kFPMapEvery == 0; }

// A map page: its 496 bytes, then a trailer whose BID is the page's own
// offset, as the format asks of map pages.
void writeMapPage(OutputFile& file, std::uint64_t offset, std::uint8_t ptype, ByteView bits) {
  const Layout& l = Layout::unicode();
  Bytes page(l.pageSize, 0);
  std::copy(bits.data(), bits.data() + std::min(bits.size(), kMapBytes), page.begin());
  PageTrailer::stamp(page, ptype, offset, offset, l);
  file.writeAt(offset, page);
}

}  // namespace

std::uint64_t SpaceMap::mapPagesIn(std::uint64_t section) {
  return 1u + (hasPMap(section) ? 1u : 0u) + (hasFMap(section) ? 1u : 0u) + (hasFPMap(section) ? 1u : 0u);
}

SpaceMap::SpaceMap() {
  ensureSection(0);
  end_ = sectionStart(0) + mapPagesIn(0) * kPage;
}

void SpaceMap::ensureSection(std::uint64_t section) {
  while (sections_.size() <= section) {
    std::uint64_t s = sections_.size();
    sections_.emplace_back();
    sections_.back().fill(0);
    mark(sectionStart(s), mapPagesIn(s) * kPage, true);
  }
}

void SpaceMap::mark(std::uint64_t offset, std::uint64_t size, bool used) {
  if (size == 0) return;
  std::uint64_t first = (offset - sectionStart(0)) / kSlotSize;
  std::uint64_t last = (offset + size - 1 - sectionStart(0)) / kSlotSize;
  constexpr std::uint64_t slotsPerSection = kSectionSize / kSlotSize;
  for (std::uint64_t slot = first; slot <= last; ++slot) {
    Bits& bits = sections_.at(slot / slotsPerSection);
    std::uint64_t bit = slot % slotsPerSection;
    // The first slot of a section is the high bit of its first byte.
    auto mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if (used) {
      bits[bit / 8] = static_cast<std::uint8_t>(bits[bit / 8] | mask);
    } else {
      bits[bit / 8] = static_cast<std::uint8_t>(bits[bit / 8] & ~mask);
    }
  }
}

std::uint64_t SpaceMap::allocate(std::uint64_t size, std::uint64_t align) {
  if (size == 0 || size > kSectionSize / 2) throw Error(ErrorKind::InvalidArgument, "bad allocation size");
  std::uint64_t off = alignUp(end_, align);
  for (;;) {
    std::uint64_t section = (off - sectionStart(0)) / kSectionSize;
    ensureSection(section);
    std::uint64_t start = sectionStart(section);
    std::uint64_t firstFree = start + mapPagesIn(section) * kPage;
    if (off < firstFree) off = alignUp(firstFree, align);
    if (off + size <= start + kSectionSize) break;
    off = sectionStart(section + 1);
  }
  mark(off, size, true);
  end_ = off + size;
  return off;
}

void SpaceMap::release(std::uint64_t offset, std::uint64_t size) { mark(offset, size, false); }

SpaceMap::Totals SpaceMap::finish(OutputFile& file) const {
  Totals t;
  const Layout& l = Layout::unicode();
  std::uint64_t count = sections_.size();
  t.fileEof = sectionStart(count);
  t.lastAMap = sectionStart(count - 1);

  struct Density {
    std::uint32_t section;
    std::uint32_t freeSlots;
  };
  std::vector<Density> density;
  Bytes full(kMapBytes, 0xFF);
  for (std::uint64_t s = 0; s < count; ++s) {
    const Bits& bits = sections_[s];
    std::uint32_t freeSlots = 0;
    for (std::uint8_t b : bits) freeSlots += static_cast<std::uint32_t>(8 - __builtin_popcount(b));
    t.amapFree += std::uint64_t{freeSlots} * kSlotSize;
    density.push_back({static_cast<std::uint32_t>(s), freeSlots});
    std::uint64_t at = sectionStart(s);
    writeMapPage(file, at, page_type::AllocationMap, ByteView(bits.data(), bits.size()));
    at += kPage;
    // PMaps, FMaps and FPMaps are no longer consulted by Outlook but must
    // be present and sound; like Outlook we mark every page as used and
    // every map as full of room, so nothing would ever trust them.
    if (hasPMap(s)) {
      writeMapPage(file, at, page_type::PageMap, full);
      at += kPage;
    }
    if (hasFMap(s)) {
      writeMapPage(file, at, page_type::FreeMap, full);
      at += kPage;
    }
    if (hasFPMap(s)) writeMapPage(file, at, page_type::FreePageMap, full);
  }

  // The density list ([MS-PST] 2.2.2.7.4): the sections with the most
  // room first, as many as the page holds.
  std::stable_sort(density.begin(), density.end(),
                   [](const Density& a, const Density& b) { return a.freeSlots > b.freeSlots; });
  constexpr std::size_t kMaxEntries = 476 / 4;
  std::size_t entries = std::min(density.size(), kMaxEntries);
  Bytes page;
  putU8(page, 0x01);  // DFL_BACKFILL_COMPLETE: no backfill is under way
  putU8(page, static_cast<std::uint8_t>(entries));
  putU16(page, 0);
  putU32(page, static_cast<std::uint32_t>(count - 1));  // the section new data goes to
  for (std::size_t i = 0; i < entries; ++i) {
    putU32(page, (density[i].section & 0xFFFFFu) | (std::min<std::uint32_t>(density[i].freeSlots, 0xFFF) << 20));
  }
  page.resize(l.pageSize, 0);
  PageTrailer::stamp(page, page_type::DensityList, kDensityListOffset, kDensityListOffset, l);
  file.writeAt(kDensityListOffset, page);
  file.resize(t.fileEof);
  return t;
}

}  // namespace varnolt::mapi::pst
