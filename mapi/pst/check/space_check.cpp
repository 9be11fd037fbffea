// Space ([MS-PST] 2.2.2.7.2 - 2.2.2.7.6): the AMap, PMap, FMap and FPMap
// pages at their fixed places, the density list, no two pages or blocks
// sharing a byte, every byte in use marked allocated, and the free-space
// totals of the header.

#include <algorithm>
#include <bit>

#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crc.h"

namespace varnolt::mapi::pst::check {
namespace {

struct MapPage {
  std::uint64_t ib;
  std::uint8_t ptype;
  ExtentKind kind;
  const char* name;
};

// The map bits of a page: ANSI pages keep 4 bytes of padding first.
ByteView mapBits(const Bytes& page, const Layout& l) {
  return ByteView(page).sub(l.kind == FileLayout::Ansi ? 4 : 0, kMapBytes);
}

std::size_t zeroBits(ByteView bits) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < bits.size(); ++i) n += 8 - static_cast<std::size_t>(std::popcount(bits.u8(i)));
  return n;
}

// Reads a map page and checks its trailer; nullopt when it is not there.
std::optional<Bytes> mapPage(Context& c, const MapPage& m) {
  const Layout& l = c.layout();
  std::string where = std::string(m.name);
  auto page = c.read(m.ib, l.pageSize);
  if (!page) {
    c.report(m.ib, "map.missing", where, std::string(m.name) + " page lies past the end of the file");
    return std::nullopt;
  }
  ++c.result().pages;
  c.extents.push_back({m.ib, l.pageSize, m.ib, m.kind});
  PageTrailer t = PageTrailer::parse(*page, l);
  if (t.ptype != m.ptype || t.ptypeRepeat != m.ptype) {
    c.report(m.ib, "map.page-type", where,
             "ptype " + hexText(t.ptype) + " / ptypeRepeat " + hexText(t.ptypeRepeat) + " where the " + m.name +
                 " page (" + hexText(m.ptype) + ") belongs");
    return std::nullopt;
  }
  std::uint32_t crc = computeCrc(ByteView(page->data(), l.pageSize - l.pageTrailerSize));
  if (crc != t.dwCrc) c.report(m.ib, "map.crc", where, "page CRC is " + hexText(t.dwCrc) + " but the page gives " + hexText(crc));
  if (t.wSig != 0) c.report(m.ib, "map.sig", where, "wSig is " + hexText(t.wSig) + "; map pages keep it zero");
  if (t.bid != m.ib) c.report(m.ib, "map.bid", where, "trailer bid " + hexText(t.bid) + " is not the page's offset");
  if (l.kind == FileLayout::Ansi && ByteView(*page).u32(0) != 0)
    c.report(m.ib, "map.padding", where, "dwPadding before the map bits is not zero");
  return page;
}

void checkDensityList(Context& c, std::uint64_t amaps) {
  const Layout& l = c.layout();
  auto page = c.read(kDensityListOffset, l.pageSize);
  if (!page) return;
  PageTrailer t = PageTrailer::parse(*page, l);
  const std::string where = "density list";
  if (t.ptype != page_type::DensityList && t.ptypeRepeat != page_type::DensityList) {
    // Files written before the density list existed leave the page empty.
    if (std::all_of(page->begin(), page->end(), [](std::uint8_t b) { return b == 0; })) return;
    c.report(kDensityListOffset, "dlist.page-type", where, "the page at 0x4200 is neither empty nor a density list");
    return;
  }
  ++c.result().pages;
  if (t.ptype != t.ptypeRepeat) c.report(kDensityListOffset, "dlist.page-type", where, "ptypeRepeat differs from ptype");
  std::uint32_t crc = computeCrc(ByteView(page->data(), l.pageSize - l.pageTrailerSize));
  // Some writers leave the CRC of the density list zero; Outlook takes
  // their files and rebuilds the list, so a zero CRC is let pass.
  if (crc != t.dwCrc && t.dwCrc != 0) c.report(kDensityListOffset, "dlist.crc", where, "page CRC is " + hexText(t.dwCrc) + " but the page gives " + hexText(crc));
  std::uint16_t sig = computeSignature(kDensityListOffset, t.bid);
  if (t.wSig != sig) c.report(kDensityListOffset, "dlist.sig", where, "wSig is " + hexText(t.wSig) + " where " + hexText(sig) + " belongs");
  ByteView v(*page);
  std::uint8_t flags = v.u8(0);
  std::size_t count = v.u8(1);
  if (flags > 1) c.report(kDensityListOffset, "dlist.flags", where, "bFlags " + hexText(flags) + " has bits other than DFL_BACKFILL_COMPLETE");
  const std::size_t room = (l.pageSize - l.pageTrailerSize - 8 - 12) / 4;
  if (count > room) {
    c.report(kDensityListOffset, "dlist.count", where, "cEntDList " + std::to_string(count) + " is more than the page holds (" + std::to_string(room) + ")");
    return;
  }
  std::vector<std::uint32_t> pagesListed;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t e = v.u32(8 + 4 * i);
    std::uint32_t pageNum = e & 0xFFFFF;
    std::uint32_t slots = e >> 20;
    if (pageNum >= amaps)
      c.report(kDensityListOffset, "dlist.entry", where, "entry " + std::to_string(i) + " names AMap " + std::to_string(pageNum) + " of a file with " + std::to_string(amaps));
    if (slots > kMapBytes * 8)
      c.report(kDensityListOffset, "dlist.entry", where, "entry " + std::to_string(i) + " claims " + std::to_string(slots) + " free slots; an AMap has " + std::to_string(kMapBytes * 8));
    if (std::find(pagesListed.begin(), pagesListed.end(), pageNum) != pagesListed.end())
      c.report(kDensityListOffset, "dlist.entry", where, "AMap " + std::to_string(pageNum) + " is listed twice");
    pagesListed.push_back(pageNum);
  }
  // The free slots an entry gives are a hint Outlook refreshes lazily;
  // files it wrote disagree with their AMaps, so they are not compared.
}

// What reading the map pages found.
struct MapPagesRead {
  std::vector<bool> amapRead;  // per AMap: it was there, of its type
  std::uint64_t pmapFree = 0;  // bytes the PMaps leave free
  bool pmapsRead = true;       // every PMap was there, of its type
};

// Reads and checks every AMap, PMap, FMap and FPMap page at its fixed place.
MapPagesRead readMapPages(Context& c, std::uint64_t amaps) {
  const Layout& l = c.layout();
  MapPagesRead read;
  read.amapRead.assign(static_cast<std::size_t>(amaps), false);
  for (std::uint64_t i = 0; i < amaps; ++i) {
    std::uint64_t a = kFirstAMapOffset + i * kAMapCoverage;
    read.amapRead[static_cast<std::size_t>(i)] = mapPage(c, {a, page_type::AllocationMap, ExtentKind::AMap, "AMap"}).has_value();
    std::uint64_t next = a + l.pageSize;
    if (i % kAMapsPerPMap == 0) {
      auto p = mapPage(c, {next, page_type::PageMap, ExtentKind::PMap, "PMap"});
      if (p) {
        read.pmapFree += zeroBits(mapBits(*p, l)) * l.pageSize;
      } else {
        read.pmapsRead = false;
      }
      next += l.pageSize;
    }
    // Beyond what the header's rgbFM and rgbFP cover, FMap and FPMap
    // pages follow the PMap of their section: an FMap every 496 AMaps from
    // the 128th, an FPMap every 3,968 PMaps from the 1,024th. No file
    // Outlook wrote that large was at hand to confirm the places.
    if (i >= kHeaderFMapEntries && (i - kHeaderFMapEntries) % kAMapsPerFMap == 0) {
      mapPage(c, {next, page_type::FreeMap, ExtentKind::FMap, "FMap"});
      next += l.pageSize;
    }
    const std::uint64_t fpmapFirst = kHeaderFPMapEntries * kAMapsPerPMap;
    if (i >= fpmapFirst && (i - fpmapFirst) % (kPMapsPerFPMap * kAMapsPerPMap) == 0)
      mapPage(c, {next, page_type::FreePageMap, ExtentKind::FPMap, "FPMap"});
  }
  return read;
}

// Sorts the extents by offset and reports every two that share a byte.
void checkNoOverlap(Context& c) {
  std::sort(c.extents.begin(), c.extents.end(), [](const Extent& a, const Extent& b) { return a.ib < b.ib; });
  for (std::size_t i = 1; i < c.extents.size(); ++i) {
    const Extent& prev = c.extents[i - 1];
    const Extent& cur = c.extents[i];
    if (cur.ib < prev.ib + prev.size)
      c.report(cur.ib, "space.overlap", std::string(extentName(cur.kind)) + " " + hexText(cur.id),
               "overlaps the " + std::string(extentName(prev.kind)) + " " + hexText(prev.id) + " at " + hexText(prev.ib));
  }
}

// The PMap of a group of eight AMaps: pages it marks free (bit 0) are
// reserved from the AMap for later B-tree pages, so the AMap rightly marks
// them allocated though nothing lies there yet.
struct GroupPMap {
  std::optional<Bytes> page;
  std::uint64_t base = 0;  // the offset of the group's first AMap

  bool reserves(std::uint64_t ib, const Layout& l) const {
    if (!page) return false;
    std::uint64_t pageIndex = (ib - base) / l.pageSize;
    if (pageIndex >= kMapBytes * 8) return false;
    ByteView pbits = mapBits(*page, l);
    return (pbits.u8(static_cast<std::size_t>(pageIndex / 8)) & (0x80u >> (pageIndex % 8))) == 0;
  }
};

// Marks the slots of the AMap at a that the extents from e on occupy,
// reporting each extent the AMap marks free; moves e past them.
std::vector<bool> slotsInUse(Context& c, std::uint64_t a, const std::optional<Bytes>& page, std::size_t& e) {
  const Layout& l = c.layout();
  std::vector<bool> used(kMapBytes * 8, false);
  for (; e < c.extents.size() && c.extents[e].ib < a + kAMapCoverage; ++e) {
    const Extent& x = c.extents[e];
    if (x.ib < a) continue;
    std::uint64_t first = (x.ib - a) / kSlotSize;
    std::uint64_t last = std::min<std::uint64_t>((x.ib + x.size - a + kSlotSize - 1) / kSlotSize, kMapBytes * 8);
    bool reported = false;
    for (std::uint64_t s = first; s < last; ++s) {
      used[static_cast<std::size_t>(s)] = true;
      if (page && !reported && (page->at((l.kind == FileLayout::Ansi ? 4 : 0) + s / 8) & (0x80u >> (s % 8))) == 0) {
        c.report(x.ib, "amap.unallocated", std::string(extentName(x.kind)) + " " + hexText(x.id),
                 "in use, but the AMap at " + hexText(a) + " marks byte " + hexText(a + s * kSlotSize) + " free");
        reported = true;
      }
    }
  }
  return used;
}

// Reports the runs of slots the AMap at a marks allocated that nothing
// occupies and its PMap does not reserve.
void reportUnusedRuns(Context& c, std::uint64_t a, ByteView bits, const std::vector<bool>& used, const GroupPMap& pmap) {
  const Layout& l = c.layout();
  auto reserved = [&](std::size_t slot) { return pmap.reserves(a + slot * kSlotSize, l); };
  for (std::size_t s = 0; s < used.size();) {
    bool set = (bits.u8(s / 8) & (0x80u >> (s % 8))) != 0;
    if (!set || used[s] || reserved(s)) {
      ++s;
      continue;
    }
    std::size_t end = s;
    while (end < used.size() && !used[end] && !reserved(end) && (bits.u8(end / 8) & (0x80u >> (end % 8))) != 0) ++end;
    c.report(a + s * kSlotSize, "amap.unused", "AMap " + hexText(a),
             "marks " + std::to_string((end - s) * kSlotSize) + " bytes allocated that no page or block occupies");
    s = end;
  }
}

// Checks each AMap against the pages and blocks of its section; the bytes
// the AMaps leave free, or nullopt when one could not be read.
std::optional<std::uint64_t> checkAMaps(Context& c, std::uint64_t amaps, const std::vector<bool>& amapRead) {
  const Layout& l = c.layout();
  std::uint64_t amapFree = 0;
  bool amapsRead = true;
  GroupPMap pmap;
  std::size_t e = 0;
  for (std::uint64_t i = 0; i < amaps; ++i) {
    const std::uint64_t a = kFirstAMapOffset + i * kAMapCoverage;
    // Read again rather than kept: a large file has many thousands.
    std::optional<Bytes> page;
    if (amapRead[static_cast<std::size_t>(i)]) page = c.read(a, l.pageSize);
    if (i % kAMapsPerPMap == 0) {
      pmap.base = a;
      pmap.page = c.read(a + l.pageSize, l.pageSize);
      if (pmap.page && PageTrailer::parse(*pmap.page, l).ptype != page_type::PageMap) pmap.page.reset();
    }
    std::vector<bool> used = slotsInUse(c, a, page, e);
    if (!page) {
      amapsRead = false;
      continue;
    }
    ByteView bits = mapBits(*page, l);
    amapFree += zeroBits(bits) * kSlotSize;
    reportUnusedRuns(c, a, bits, used, pmap);
  }
  if (!amapsRead) return std::nullopt;
  return amapFree;
}

}  // namespace

void checkSpace(Context& c) {
  const Layout& l = c.layout();
  const std::uint64_t size = c.fileSize();
  if (size < kFirstAMapOffset + l.pageSize) {
    c.report(size, "map.missing", "AMap", "the file ends before its first AMap page");
    return;
  }
  const std::uint64_t amaps = (size - kFirstAMapOffset + kAMapCoverage - 1) / kAMapCoverage;
  checkDensityList(c, amaps);
  const MapPagesRead maps = readMapPages(c, amaps);
  checkNoOverlap(c);

  if (c.header().amapValid == 0) {
    c.notChecked("allocation maps against the pages and blocks in use, cbAMapFree and cbPMapFree (fAMapValid says the maps are not valid)");
    return;
  }
  const HeaderOffsets& o = HeaderOffsets::of(c.header().layout);
  const std::optional<std::uint64_t> amapFree = checkAMaps(c, amaps, maps.amapRead);
  if (amapFree && *amapFree != c.header().cbAMapFree)
    c.report(o.cbAMapFree, "header.amap-free", "", "cbAMapFree is " + std::to_string(c.header().cbAMapFree) + " but the AMaps leave " + std::to_string(*amapFree) + " bytes free");
  if (maps.pmapsRead && maps.pmapFree != c.header().cbPMapFree)
    c.report(o.cbPMapFree, "header.pmap-free", "", "cbPMapFree is " + std::to_string(c.header().cbPMapFree) + " but the PMaps leave " + std::to_string(maps.pmapFree) + " bytes free");
}

}  // namespace varnolt::mapi::pst::check
