#include "mapi/pst/ndb/btree.h"

#include <unordered_set>

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/limits.h"

namespace varnolt::mapi::pst {

BTree::BTree(const ByteSource& source, const Layout& layout, PageCache& cache, Kind kind, Bref root, bool verifyCrc)
    : source_(source), layout_(layout), cache_(cache), kind_(kind), root_(root), verifyCrc_(verifyCrc) {}

const char* BTree::name() const { return kind_ == Kind::Nodes ? "node B-tree" : "block B-tree"; }

std::size_t BTree::leafEntrySize() const {
  return kind_ == Kind::Nodes ? layout_.nbtEntrySize : layout_.bbtEntrySize;
}

std::uint64_t BTree::leafKey(ByteView page, std::size_t off) const {
  // NIDs are 32 bits even where the key field is 64.
  if (kind_ == Kind::Nodes) return page.u32(off);
  return bidKey(readId(page, off, layout_));
}

const Bytes& BTree::readPage(const Bref& bref, int level) const {
  const std::uint8_t ptype = kind_ == Kind::Nodes ? page_type::NodeBTree : page_type::BlockBTree;
  auto fail = [&](ErrorKind kind, const std::string& what) -> void {
    throw Error(kind, std::string(name()) + " page " + what, bref.ib);
  };
  const Bytes* cached = cache_.find(bref.ib);
  if (!cached) {
    Bytes page(layout_.pageSize);
    source_.readAt(bref.ib, page.data(), page.size());
    PageTrailer t = PageTrailer::parse(page, layout_);
    if (t.ptype != ptype || t.ptypeRepeat != ptype) fail(ErrorKind::Corrupt, "has the wrong page type " + hexText(t.ptype));
    if (verifyCrc_ && computeCrc(ByteView(page.data(), layout_.pageSize - layout_.pageTrailerSize)) != t.dwCrc) fail(ErrorKind::Checksum, "has a bad checksum");
    if (bidKey(t.bid) != bidKey(bref.bid)) fail(ErrorKind::Corrupt, "is not the page its parent points to");
    if (t.wSig != computeSignature(bref.ib, t.bid)) fail(ErrorKind::Checksum, "has a bad signature");
    BtPageMeta m = BtPageMeta::parse(page, layout_);
    std::size_t minEntry = m.cLevel > 0 ? layout_.btBranchEntrySize : leafEntrySize();
    if (m.cbEnt < minEntry || m.cEnt * m.cbEnt > layout_.btEntriesSize)
      fail(ErrorKind::Corrupt, "has impossible entry sizes");
    if (m.cLevel >= limits::kMaxBTreeLevels) fail(ErrorKind::Limit, "is deeper than any real file");
    cached = &cache_.insert(bref.ib, std::move(page));
  }
  BtPageMeta m = BtPageMeta::parse(*cached, layout_);
  if (level >= 0 && m.cLevel != level)
    throw Error(ErrorKind::Corrupt,
                std::string(name()) + " page is at level " + std::to_string(m.cLevel) +
                    " where level " + std::to_string(level) + " belongs",
                bref.ib);
  return *cached;
}

std::optional<std::size_t> BTree::findLeaf(std::uint64_t key, const Bytes** pageOut) const {
  Bref bref = root_;
  int level = -1;
  for (;;) {
    const Bytes& page = readPage(bref, level);
    BtPageMeta m = BtPageMeta::parse(page, layout_);
    if (m.cLevel == 0) {
      // Leaves are sorted in every file Outlook writes: a binary search finds
      // the first entry of the key. When it does not (a key that is missing,
      // or a page out of order) a scan of the page decides, as it always did.
      std::size_t low = 0;
      std::size_t high = m.cEnt;
      while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (leafKey(page, middle * m.cbEnt) < key) low = middle + 1;
        else high = middle;
      }
      if (low < m.cEnt && leafKey(page, low * m.cbEnt) == key &&
          (low == 0 || leafKey(page, (low - 1) * m.cbEnt) < key)) {
        *pageOut = &page;
        return low * m.cbEnt;
      }
      for (std::size_t i = 0; i < m.cEnt; ++i) {
        std::size_t off = i * m.cbEnt;
        if (leafKey(page, off) == key) {
          *pageOut = &page;
          return off;
        }
      }
      return std::nullopt;
    }
    // The child to follow is the last whose first key is not above ours.
    // Only keys are read on the way; the one entry chosen is parsed whole.
    std::size_t chosen = m.cEnt;
    for (std::size_t i = 0; i < m.cEnt; ++i) {
      const std::uint64_t raw = readId(page, i * m.cbEnt, layout_);
      const std::uint64_t k = kind_ == Kind::Nodes ? (raw & 0xFFFFFFFFu) : bidKey(raw);
      if (k > key) break;
      chosen = i;
    }
    if (chosen == m.cEnt) return std::nullopt;
    bref = BtBranchEntry::parse(page, chosen * m.cbEnt, layout_).bref;
    level = m.cLevel - 1;
  }
}

std::optional<NbtEntry> BTree::findNode(NodeId nid) const {
  const Bytes* page = nullptr;
  auto off = findLeaf(nid, &page);
  if (!off) return std::nullopt;
  return NbtEntry::parse(*page, *off, layout_);
}

std::optional<BbtEntry> BTree::findBlock(BlockId bid) const {
  const Bytes* page = nullptr;
  auto off = findLeaf(bidKey(bid), &page);
  if (!off) return std::nullopt;
  return BbtEntry::parse(*page, *off, layout_);
}

void BTree::forEachLeaf(const LeafVisitor& visit) const {
  // Pages are copied as we go: the visitor may read other pages, and the
  // cache may drop ours meanwhile.
  std::unordered_set<std::uint64_t> seen;
  std::function<void(const Bref&, int)> walk = [&](const Bref& bref, int level) {
    if (!seen.insert(bref.ib).second)
      throw Error(ErrorKind::Corrupt, std::string(name()) + " page is reached twice (a loop)",
                  bref.ib);
    Bytes page = readPage(bref, level);
    BtPageMeta m = BtPageMeta::parse(page, layout_);
    for (std::size_t i = 0; i < m.cEnt; ++i) {
      if (m.cLevel == 0) {
        visit(page, i * m.cbEnt);
      } else {
        walk(BtBranchEntry::parse(page, i * m.cbEnt, layout_).bref, m.cLevel - 1);
      }
    }
  };
  walk(root_, -1);
}

void BTree::forEachNode(const std::function<void(const NbtEntry&)>& visit) const {
  forEachLeaf([&](ByteView page, std::size_t off) { visit(NbtEntry::parse(page, off, layout_)); });
}

void BTree::forEachBlock(const std::function<void(const BbtEntry&)>& visit) const {
  forEachLeaf([&](ByteView page, std::size_t off) { visit(BbtEntry::parse(page, off, layout_)); });
}

}  // namespace varnolt::mapi::pst
