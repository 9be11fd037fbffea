// The node and block B-trees ([MS-PST] 2.2.2.7.7 BTPAGE, 2.2.2.7.1
// PAGETRAILER): every page's trailer, entry sizes and counts, levels
// falling by one from parent to child, keys ascending across the whole
// tree and each child's first key equal to its key in the parent. The leaf
// entries become the lists of blocks and nodes the later checks use.

#include <algorithm>
#include <optional>
#include <unordered_set>

#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/limits.h"

namespace varnolt::mapi::pst::check {
namespace {

class TreeWalk {
 public:
  TreeWalk(Context& c, bool nodes) : c_(c), l_(c.layout()), nodes_(nodes) {}

  void run(const Bref& root) { walk(root, -1, 0, std::nullopt, std::nullopt); }

 private:
  const char* name() const { return nodes_ ? "node B-tree" : "block B-tree"; }
  const char* rule(const char* what) {
    rule_ = std::string(nodes_ ? "nbt." : "bbt.") + what;
    return rule_.c_str();
  }
  std::uint64_t keyAt(ByteView page, std::size_t off) const {
    std::uint64_t k = readId(page, off, l_);
    // NIDs are 32 bits even where the key field is 64.
    return nodes_ ? (k & 0xFFFFFFFFu) : k;
  }

  // Checks one page and everything below it. `level` is what the parent
  // expects (-1 for the root); keys must lie in [lo, hi); the first key
  // must equal `first` when the parent names it.
  void walk(const Bref& bref, int level, std::uint64_t lo, std::optional<std::uint64_t> hi,
            std::optional<std::uint64_t> first) {
    auto page = readPage(bref);
    if (!page) return;
    auto meta = pageMeta(*page, bref, level);
    if (!meta) return;
    walkEntries(*page, bref, *meta, lo, hi, first);
  }

  void fail(const Bref& bref, const char* what, const std::string& msg) {
    c_.report(bref.ib, rule(what), "page " + hexText(bref.bid), msg);
  }
  void incomplete() { (nodes_ ? c_.nbtComplete : c_.bbtComplete) = false; }

  // Reads a page of this tree and checks its place and trailer; nullopt
  // when it is no page of this tree.
  std::optional<Bytes> readPage(const Bref& bref) {
    const std::uint8_t ptype = nodes_ ? page_type::NodeBTree : page_type::BlockBTree;
    if (!seen_.insert(bref.ib).second) {
      fail(bref, "loop", std::string(name()) + " page is reached a second time");
      incomplete();
      return std::nullopt;
    }
    auto page = c_.read(bref.ib, l_.pageSize);
    if (!page || bref.ib < kFirstAMapOffset) {
      fail(bref, "page-outside", std::string(name()) + " page at " + hexText(bref.ib) + " lies outside the file's data");
      incomplete();
      return std::nullopt;
    }
    ++c_.result().pages;
    c_.extents.push_back({bref.ib, l_.pageSize, bref.bid, nodes_ ? ExtentKind::NodePage : ExtentKind::BlockPage});
    c_.maxPageBid = std::max(c_.maxPageBid, bref.bid);
    if (bref.ib % l_.pageSize != 0) fail(bref, "page-align", "page is not aligned on a 512-byte boundary");

    PageTrailer t = PageTrailer::parse(*page, l_);
    if (t.ptype != ptype || t.ptypeRepeat != ptype) {
      fail(bref, "page-type", "ptype " + hexText(t.ptype) + " / ptypeRepeat " + hexText(t.ptypeRepeat) + " where " +
                                  hexText(ptype) + " belongs");
      incomplete();
      return std::nullopt;  // not a page of this tree: its entries mean nothing
    }
    std::uint32_t crc = computeCrc(ByteView(page->data(), l_.pageSize - l_.pageTrailerSize));
    if (crc != t.dwCrc) fail(bref, "page-crc", "page CRC is " + hexText(t.dwCrc) + " but the page gives " + hexText(crc));
    if (t.bid != bref.bid) fail(bref, "page-bid", "trailer names bid " + hexText(t.bid) + ", the parent " + hexText(bref.bid));
    std::uint16_t sig = computeSignature(bref.ib, t.bid);
    if (t.wSig != sig) fail(bref, "page-sig", "wSig is " + hexText(t.wSig) + " where " + hexText(sig) + " belongs");
    return page;
  }

  // The page's level and entry layout, checked; nullopt when its entries
  // cannot be read.
  std::optional<BtPageMeta> pageMeta(const Bytes& page, const Bref& bref, int level) {
    BtPageMeta m = BtPageMeta::parse(page, l_);
    const bool leaf = m.cLevel == 0;
    const std::size_t entrySize = leaf ? (nodes_ ? l_.nbtEntrySize : l_.bbtEntrySize) : l_.btBranchEntrySize;
    if (level >= 0 && m.cLevel != level) {
      fail(bref, "level", "page is at level " + std::to_string(m.cLevel) + " where its parent expects " + std::to_string(level));
      incomplete();
      return std::nullopt;
    }
    if (m.cLevel >= limits::kMaxBTreeLevels) {
      fail(bref, "level", "page claims level " + std::to_string(m.cLevel));
      incomplete();
      return std::nullopt;
    }
    if (m.cbEnt < entrySize || m.cbEnt * m.cEntMax > l_.btEntriesSize || m.cEntMax != l_.btEntriesSize / m.cbEnt) {
      fail(bref, "entry-size", "cbEnt " + std::to_string(m.cbEnt) + " and cEntMax " + std::to_string(m.cEntMax) +
                                   " do not fit entries of " + std::to_string(entrySize) + " bytes in " +
                                   std::to_string(l_.btEntriesSize));
      incomplete();
      return std::nullopt;
    }
    if (m.cEnt > m.cEntMax) {
      fail(bref, "entry-count", "cEnt " + std::to_string(m.cEnt) + " is more than cEntMax " + std::to_string(m.cEntMax));
      incomplete();
      return std::nullopt;
    }
    if (m.cEnt == 0 && level >= 0) fail(bref, "entry-count", "page below the root has no entries");
    if (l_.kind == FileLayout::Unicode && page.at(l_.btEntriesSize + 4) + page.at(l_.btEntriesSize + 5) +
                                                  page.at(l_.btEntriesSize + 6) + page.at(l_.btEntriesSize + 7) != 0)
      fail(bref, "padding", "dwPadding of the page is not zero");
    return m;
  }

  // Checks the keys of the page's entries and walks the pages below a
  // branch; a leaf's entries join the lists of nodes or blocks.
  void walkEntries(const Bytes& page, const Bref& bref, const BtPageMeta& m, std::uint64_t lo,
                   std::optional<std::uint64_t> hi, std::optional<std::uint64_t> first) {
    std::optional<std::uint64_t> prev;
    for (std::size_t i = 0; i < m.cEnt; ++i) {
      std::size_t off = i * m.cbEnt;
      std::uint64_t key = keyAt(page, off);
      if (nodes_ && l_.kind == FileLayout::Unicode && page.at(off + 4) + page.at(off + 5) + page.at(off + 6) + page.at(off + 7) != 0)
        fail(bref, "nid-high", "entry " + std::to_string(i) + " has a NID wider than 32 bits");
      if (i == 0 && first && key != *first)
        fail(bref, "first-key", "first key " + hexText(key) + " is not the key " + hexText(*first) + " its parent gives it");
      if (prev && key <= *prev)
        fail(bref, "order", "key " + hexText(key) + " of entry " + std::to_string(i) + " does not follow " + hexText(*prev));
      if (key < lo || (hi && key >= *hi))
        fail(bref, "order", "key " + hexText(key) + " lies outside the range its parent gives this page");
      prev = key;

      if (m.cLevel != 0) {
        BtBranchEntry e = BtBranchEntry::parse(page, off, l_);
        std::optional<std::uint64_t> childHi = hi;
        if (i + 1 < m.cEnt) childHi = keyAt(page, off + m.cbEnt);
        walk(e.bref, m.cLevel - 1, key, childHi, key);
      } else if (nodes_) {
        // The dwPadding of NBTENTRY and BBTENTRY is left alone: Outlook
        // leaves whatever was in memory there.
        NbtEntry e = NbtEntry::parse(page, off, l_);
        c_.nodes.push_back({e.nid, e.bidData, e.bidSub, e.nidParent, bref.ib});
      } else {
        BbtEntry e = BbtEntry::parse(page, off, l_);
        BlockInfo b;
        b.bid = e.bref.bid;
        b.ib = e.bref.ib;
        b.cb = e.cb;
        b.cRef = e.cRef;
        c_.blocks.push_back(b);
      }
    }
  }

  Context& c_;
  const Layout& l_;
  bool nodes_;
  std::string rule_;
  std::unordered_set<std::uint64_t> seen_;
};

}  // namespace

void checkBTrees(Context& c) {
  TreeWalk(c, true).run(c.header().nbtRoot);
  TreeWalk(c, false).run(c.header().bbtRoot);

  // Entries found out of order were reported; the lists are sorted so that
  // lookups work all the same, and a key listed twice is a finding of its own.
  std::stable_sort(c.nodes.begin(), c.nodes.end(), [](const NodeInfo& a, const NodeInfo& b) { return a.nid < b.nid; });
  for (std::size_t i = 1; i < c.nodes.size(); ++i) {
    if (c.nodes[i].nid == c.nodes[i - 1].nid)
      c.report(c.nodes[i].pageIb, "nbt.duplicate", nidText(c.nodes[i].nid), "the node B-tree lists this node twice");
  }
  std::stable_sort(c.blocks.begin(), c.blocks.end(),
                   [](const BlockInfo& a, const BlockInfo& b) { return bidKey(a.bid) < bidKey(b.bid); });
  std::vector<BlockInfo> unique;
  unique.reserve(c.blocks.size());
  for (const BlockInfo& b : c.blocks) {
    if (!unique.empty() && bidKey(unique.back().bid) == bidKey(b.bid)) {
      c.report(b.ib, "bbt.duplicate", bidText(b.bid), "the block B-tree lists this block twice");
      continue;
    }
    unique.push_back(b);
  }
  c.blocks.swap(unique);

  if (c.maxPageBid >= c.header().bidNextP && c.header().bidNextP != 0)
    c.report(HeaderOffsets::of(c.header().layout).bidNextP, "header.bid-next-p", "", "bidNextP " + hexText(c.header().bidNextP) + " is not above page bid " + hexText(c.maxPageBid));
}

}  // namespace varnolt::mapi::pst::check
