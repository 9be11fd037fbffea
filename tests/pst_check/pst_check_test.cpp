// The PST checker against real files and damaged copies of them. Each
// damage is made the way a faulty writer would make it - the structure is
// wrong but every checksum around it is right - unless the checksum itself
// is what is damaged, so the finding has to come from the rule under test.

#include <algorithm>
#include <random>

#include "mapi/error.h"
#include "mapi/pst/check/check.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/crypt.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ltp/heap.h"
#include "mapi/pst/ltp/name_to_id_map.h"
#include "mapi/pst/ndb/node_database.h"
#include "mapi/pst/ltp/property_context.h"
#include "mapi/pst/ltp/table_context.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/tags.h"
#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;
namespace chk = varnolt::mapi::pst::check;

fs::path pstSample(const std::string& name) { return samplesDir() / "pst" / name; }

chk::CheckResult check(const m::Bytes& bytes, std::size_t maxFindings = 0) {
  p::MemorySource source(bytes);
  return chk::checkPst(source, {maxFindings});
}

// The findings of one rule.
std::vector<chk::Finding> withRule(const chk::CheckResult& r, const std::string& rule) {
  std::vector<chk::Finding> out;
  for (const auto& f : r.findings)
    if (f.rule == rule) out.push_back(f);
  return out;
}

std::string describe(const chk::CheckResult& r) {
  std::string s;
  for (const auto& f : r.findings) s += f.line() + "\n";
  return s.empty() ? "(no findings)" : s;
}

// Opens the reader over a copy, to find structures to damage.
struct Image {
  m::Bytes bytes;
  std::shared_ptr<p::MemorySource> source;
  std::unique_ptr<p::NodeDatabase> db;

  explicit Image(const std::string& sample) : Image(readFile(pstSample(sample))) {}
  explicit Image(m::Bytes file) : bytes(std::move(file)) {
    source = std::make_shared<p::MemorySource>(bytes);
    db = std::make_unique<p::NodeDatabase>(source);
  }
  const p::Layout& l() const { return db->layout(); }

  void fixHeaderCrcs() {
    m::ByteView v(bytes);
    std::uint32_t partial = p::computeCrc(v.sub(p::kHeaderCrcStart, p::kHeaderCrcPartialLength));
    m::setU32(bytes, 4, partial);
    if (l().kind == p::FileLayout::Unicode) {
      std::uint32_t full = p::computeCrc(v.sub(p::kHeaderCrcStart, p::kHeaderCrcFullLength));
      m::setU32(bytes, p::HeaderOffsets::of(l().kind).dwCrcFull, full);
    }
  }
  void fixPageCrc(std::uint64_t ib) {
    std::size_t t = static_cast<std::size_t>(ib) + l().pageSize - l().pageTrailerSize;
    std::uint32_t crc = p::computeCrc(m::ByteView(bytes.data() + ib, l().pageSize - l().pageTrailerSize));
    m::setU32(bytes, t + (l().kind == p::FileLayout::Ansi ? 8 : 4), crc);
  }
  void fixBlockCrc(const p::BbtEntry& e) {
    std::size_t disk = p::blockDiskSize(e.cb, l());
    std::size_t t = static_cast<std::size_t>(e.bref.ib) + disk - l().blockTrailerSize;
    std::uint32_t crc = p::computeCrc(m::ByteView(bytes.data() + e.bref.ib, e.cb));
    m::setU32(bytes, t + (l().kind == p::FileLayout::Ansi ? 8 : 4), crc);
  }
  // The first leaf page of a B-tree with at least `minEntries` entries.
  std::uint64_t leafPage(const p::BTree& tree, std::size_t minEntries) {
    std::vector<p::Bref> todo{tree.root()};
    while (!todo.empty()) {
      p::Bref b = todo.back();
      todo.pop_back();
      const m::Bytes& page = tree.readPage(b, -1);
      p::BtPageMeta meta = p::BtPageMeta::parse(page, l());
      if (meta.cLevel == 0 && meta.cEnt >= minEntries) return b.ib;
      for (std::size_t i = 0; meta.cLevel > 0 && i < meta.cEnt; ++i)
        todo.push_back(p::BtBranchEntry::parse(page, i * meta.cbEnt, l()).bref);
    }
    ADD_FAILURE() << "no leaf page with " << minEntries << " entries";
    return 0;
  }
  // The node of this type with the highest id.
  std::optional<p::NbtEntry> lastNodeOfType(std::uint8_t type) {
    std::optional<p::NbtEntry> last;
    db->nodeTree().forEachNode([&](const p::NbtEntry& n) {
      if (p::nidType(n.nid) == type) last = n;
    });
    return last;
  }
  // The leaf page of the node B-tree that lists `nid`.
  std::uint64_t leafPageOf(p::NodeId nid) {
    p::Bref b = db->header().nbtRoot;
    for (;;) {
      const m::Bytes& page = db->nodeTree().readPage(b, -1);
      p::BtPageMeta meta = p::BtPageMeta::parse(page, l());
      if (meta.cLevel == 0) return b.ib;
      std::size_t pick = 0;
      for (std::size_t i = 1; i < meta.cEnt; ++i)
        if (p::BtBranchEntry::parse(page, i * meta.cbEnt, l()).key <= nid) pick = i;
      b = p::BtBranchEntry::parse(page, pick * meta.cbEnt, l()).bref;
    }
  }
  // Removes entry `index` of a leaf page, as a writer that lost it would.
  void removeLeafEntry(std::uint64_t ib, std::size_t index) {
    p::BtPageMeta meta = p::BtPageMeta::parse(m::ByteView(bytes.data() + ib, l().pageSize), l());
    std::uint8_t* page = bytes.data() + ib;
    std::copy(page + (index + 1) * meta.cbEnt, page + meta.cEnt * meta.cbEnt, page + index * meta.cbEnt);
    std::fill(page + (meta.cEnt - 1) * meta.cbEnt, page + meta.cEnt * meta.cbEnt, std::uint8_t{0});
    page[l().btEntriesSize] = static_cast<std::uint8_t>(meta.cEnt - 1);
    fixPageCrc(ib);
  }
  // Sets the header's counter of one NID type, as a writer that kept it
  // elsewhere would.
  void setCounter(std::uint8_t type, std::uint32_t index) {
    m::setU32(bytes, p::HeaderOffsets::of(l().kind).rgnid + 4 * type, index);
    fixHeaderCrcs();
  }
  // Rewrites a heap block's decoded bytes and seals it again.
  void editBlock(const p::BbtEntry& e, const std::function<void(m::Bytes&)>& edit) {
    m::Bytes data(bytes.begin() + static_cast<std::ptrdiff_t>(e.bref.ib),
                  bytes.begin() + static_cast<std::ptrdiff_t>(e.bref.ib + e.cb));
    p::decodeBlock(db->header().crypt, e.bref.bid, data.data(), data.size());
    edit(data);
    p::encodeBlock(db->header().crypt, e.bref.bid, data.data(), data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(e.bref.ib));
    fixBlockCrc(e);
  }
};

const char* const kUnicode = "unicode-one-attachment.pst";
const char* const kAnsi = "ansi-one-attachment.pst";

TEST(PstCheck, EverySampleFollowsTheRules) {
  VARNOLT_REQUIRE_SAMPLES();
  auto files = sampleFiles("pst", ".pst");
  ASSERT_FALSE(files.empty());
  for (const auto& f : files) {
    chk::CheckResult r = check(readFile(f));
    EXPECT_TRUE(r.clean()) << f << "\n" << describe(r);
    EXPECT_TRUE(r.notChecked.empty()) << f << ": " << r.notChecked.front();
    EXPECT_GT(r.pages, 3u) << f;
    EXPECT_GT(r.blocks, 10u) << f;
    EXPECT_GE(r.folders, 6u) << f;
  }
}

TEST(PstCheck, FilesThatAreNoPstCannotBeChecked) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* name : {"empty.pst", "not-a-pst.pst"}) {
    p::MemorySource s(readFile(samplesDir() / "bad" / name));
    EXPECT_THROW(chk::checkPst(s), m::Error) << name;
  }
  // The first 4 KiB of a real file: a header whose file is gone.
  chk::CheckResult r = check(readFile(samplesDir() / "bad" / "truncated-header-only.pst"));
  EXPECT_FALSE(withRule(r, "header.file-eof").empty()) << describe(r);
  EXPECT_FALSE(withRule(r, "nbt.page-outside").empty()) << describe(r);
}

TEST(PstCheck, HeaderChecksumsAndFields) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    {
      Image img(sample);
      img.bytes[5] ^= 0x01;  // dwCRCPartial itself
      chk::CheckResult r = check(img.bytes);
      auto f = withRule(r, "header.crc-partial");
      ASSERT_EQ(f.size(), 1u) << describe(r);
      EXPECT_EQ(f[0].offset, 4u);
      EXPECT_EQ(r.totalFindings, 1u) << describe(r);
    }
    const p::HeaderOffsets& o = p::HeaderOffsets::of(Image(sample).l().kind);
    {
      Image img(sample);
      img.bytes[o.dwUnique] ^= 0x40;  // a byte both CRCs cover
      chk::CheckResult r = check(img.bytes);
      EXPECT_EQ(withRule(r, "header.crc-partial").size(), 1u) << describe(r);
      if (img.l().kind == p::FileLayout::Unicode) {
        EXPECT_EQ(withRule(r, "header.crc-full").size(), 1u) << describe(r);
      }
    }
    {
      Image img(sample);
      img.bytes[o.bSentinel] = 0x81;
      img.bytes[o.ibAMapLast] ^= 0x02;
      img.fixHeaderCrcs();
      chk::CheckResult r = check(img.bytes);
      EXPECT_EQ(withRule(r, "header.sentinel").size(), 1u) << describe(r);
      EXPECT_EQ(withRule(r, "header.amap-last").size(), 1u) << describe(r);
      EXPECT_EQ(r.totalFindings, 2u) << describe(r);
    }
    {
      Image img(sample);
      img.bytes[o.bCryptMethod] = 0x07;
      img.fixHeaderCrcs();
      chk::CheckResult r = check(img.bytes);
      EXPECT_EQ(withRule(r, "header.crypt").size(), 1u) << describe(r);
      EXPECT_FALSE(r.notChecked.empty());
    }
    {
      // A file cut short: the header still says how long it was.
      Image img(sample);
      img.bytes.resize(img.bytes.size() - 512);
      chk::CheckResult r = check(img.bytes);
      EXPECT_FALSE(withRule(r, "header.file-eof").empty()) << describe(r);
    }
  }
}

TEST(PstCheck, OstFilesAreCheckedByTheRulesTheyShare) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img(kUnicode);
  m::setU16(img.bytes, 8, p::kClientOst);
  img.fixHeaderCrcs();
  chk::CheckResult r = check(img.bytes);
  EXPECT_TRUE(r.clean()) << describe(r);
  ASSERT_EQ(r.notChecked.size(), 2u);
  for (const auto& n : r.notChecked) EXPECT_EQ(n.rfind("OST: not checked", 0), 0u) << n;
}

TEST(PstCheck, PageTrailers) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img(kUnicode);
  const p::Bref bbt = img.db->header().bbtRoot;
  const p::Bref nbt = img.db->header().nbtRoot;
  img.bytes[bbt.ib + 500] ^= 0x10;  // dwCRC of the BBT root
  img.bytes[nbt.ib + 498] ^= 0x01;  // wSig of the NBT root
  img.fixPageCrc(nbt.ib);
  chk::CheckResult r = check(img.bytes);
  auto crc = withRule(r, "bbt.page-crc");
  ASSERT_EQ(crc.size(), 1u) << describe(r);
  EXPECT_EQ(crc[0].offset, bbt.ib);
  EXPECT_NE(crc[0].where.find(p::hexText(bbt.bid)), std::string::npos);
  auto sig = withRule(r, "nbt.page-sig");
  ASSERT_EQ(sig.size(), 1u) << describe(r);
  EXPECT_EQ(sig[0].offset, nbt.ib);
}

TEST(PstCheck, BlockChecksumAndZeroedBlock) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    std::vector<p::BbtEntry> blocks;
    img.db->blockTree().forEachBlock([&](const p::BbtEntry& e) { blocks.push_back(e); });
    ASSERT_GE(blocks.size(), 3u);
    const p::BbtEntry flipped = blocks[0];
    const p::BbtEntry zeroed = blocks[2];
    img.bytes[flipped.bref.ib] ^= 0xFF;
    std::fill_n(img.bytes.begin() + static_cast<std::ptrdiff_t>(zeroed.bref.ib),
                p::blockDiskSize(zeroed.cb, img.l()), std::uint8_t{0});
    chk::CheckResult r = check(img.bytes);
    auto crc = withRule(r, "block.crc");
    ASSERT_EQ(crc.size(), 1u) << describe(r);
    EXPECT_EQ(crc[0].offset, flipped.bref.ib);
    EXPECT_EQ(crc[0].where, "block " + p::hexText(flipped.bref.bid));
    auto cb = withRule(r, "block.cb");
    ASSERT_EQ(cb.size(), 1u) << describe(r);
    EXPECT_EQ(cb[0].offset, zeroed.bref.ib);
    EXPECT_EQ(withRule(r, "block.bid").size(), 1u) << describe(r);
  }
}

TEST(PstCheck, BlockDroppedFromTheBlockBTree) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img(kUnicode);
  std::uint64_t leaf = img.leafPage(img.db->blockTree(), 3);
  p::BbtEntry gone = p::BbtEntry::parse(m::ByteView(img.bytes.data() + leaf, 512), 1 * img.l().bbtEntrySize, img.l());
  img.removeLeafEntry(leaf, 1);
  chk::CheckResult r = check(img.bytes);
  auto missing = withRule(r, "block.missing");
  ASSERT_FALSE(missing.empty()) << describe(r);
  for (const auto& f : missing) EXPECT_NE(f.message.find(p::hexText(gone.bref.bid)), std::string::npos) << f.line();
  // Its bytes are still marked allocated, with nothing listed there.
  auto unused = withRule(r, "amap.unused");
  ASSERT_EQ(unused.size(), 1u) << describe(r);
  EXPECT_EQ(unused[0].offset, gone.bref.ib);
}

TEST(PstCheck, ReferenceCounts) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    std::uint64_t leaf = img.leafPage(img.db->blockTree(), 2);
    std::size_t cRefAt = static_cast<std::size_t>(leaf) + img.l().bbtEntrySize + 2 * img.l().idSize + 2;
    p::BbtEntry e = p::BbtEntry::parse(m::ByteView(img.bytes.data() + leaf, 512), img.l().bbtEntrySize, img.l());
    m::setU16(img.bytes, cRefAt, static_cast<std::uint16_t>(e.cRef + 1));
    img.fixPageCrc(leaf);
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "block.refcount");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].offset, e.bref.ib);
    EXPECT_EQ(f[0].where, "block " + p::hexText(e.bref.bid));
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
  }
}

TEST(PstCheck, BTreeOrderAndLevels) {
  VARNOLT_REQUIRE_SAMPLES();
  {
    Image img(kUnicode);
    std::uint64_t leaf = img.leafPage(img.db->nodeTree(), 4);
    std::size_t e = img.l().nbtEntrySize;
    std::swap_ranges(img.bytes.begin() + static_cast<std::ptrdiff_t>(leaf + e),
                     img.bytes.begin() + static_cast<std::ptrdiff_t>(leaf + 2 * e),
                     img.bytes.begin() + static_cast<std::ptrdiff_t>(leaf + 2 * e));
    img.fixPageCrc(leaf);
    chk::CheckResult r = check(img.bytes);
    auto order = withRule(r, "nbt.order");
    ASSERT_FALSE(order.empty()) << describe(r);
    EXPECT_EQ(order[0].offset, leaf);
  }
  {
    // A branch whose child is the branch itself.
    Image img("mixed-attachments.pst");
    const p::Bref root = img.db->header().bbtRoot;
    ASSERT_GT(p::BtPageMeta::parse(m::ByteView(img.bytes.data() + root.ib, 512), img.l()).cLevel, 0);
    std::size_t child = static_cast<std::size_t>(root.ib) + img.l().idSize;  // BREF of entry 0
    m::setU64(img.bytes, child, root.bid);
    m::setU64(img.bytes, child + 8, root.ib);
    img.fixPageCrc(root.ib);
    chk::CheckResult r = check(img.bytes);
    auto loop = withRule(r, "bbt.loop");
    ASSERT_EQ(loop.size(), 1u) << describe(r);
    EXPECT_EQ(loop[0].offset, root.ib);
    EXPECT_FALSE(r.notChecked.empty());  // reference counts need the whole tree
  }
  {
    // Entry counts past what the page holds.
    Image img(kAnsi);
    std::uint64_t leaf = img.leafPage(img.db->blockTree(), 1);
    img.bytes[leaf + img.l().btEntriesSize] = 200;
    img.fixPageCrc(leaf);
    chk::CheckResult r = check(img.bytes);
    EXPECT_EQ(withRule(r, "bbt.entry-count").size(), 1u) << describe(r);
  }
}

TEST(PstCheck, AllocationMapBits) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    std::vector<p::BbtEntry> blocks;
    img.db->blockTree().forEachBlock([&](const p::BbtEntry& e) { blocks.push_back(e); });
    const p::BbtEntry& victim = blocks[blocks.size() / 2];
    const std::size_t bits = 0x4400 + (img.l().kind == p::FileLayout::Ansi ? 4 : 0);
    std::uint64_t slot = (victim.bref.ib - 0x4400) / 64;
    img.bytes[bits + slot / 8] &= static_cast<std::uint8_t>(~(0x80u >> (slot % 8)));
    img.fixPageCrc(0x4400);
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "amap.unallocated");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].offset, victim.bref.ib);
    EXPECT_EQ(withRule(r, "header.amap-free").size(), 1u) << describe(r);
    // Unchecked CRC of the map page itself.
    img.bytes[0x4400 + 100] ^= 0x01;
    EXPECT_EQ(withRule(check(img.bytes), "map.crc").size(), 1u);
  }
}

// A node whose heap lives in one block, and that block.
std::pair<p::NodeId, p::BbtEntry> singleBlockHeap(Image& img, std::uint8_t clientSig) {
  std::pair<p::NodeId, p::BbtEntry> found{0, {}};
  img.db->nodeTree().forEachNode([&](const p::NbtEntry& n) {
    if (found.first != 0 || n.bidData == 0 || p::isInternalBid(n.bidData)) return;
    p::Node node = img.db->node(n.nid);
    m::Bytes data = node.read();
    if (data.size() > 12 && data[2] == p::kHeapSignature && data[3] == clientSig) found = {n.nid, img.db->block(n.bidData)};
  });
  EXPECT_NE(found.first, 0u);
  return found;
}

TEST(PstCheck, HeapPageMap) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    auto [nid, block] = singleBlockHeap(img, p::heap_client::PropertyContext);
    img.editBlock(block, [](m::Bytes& d) {
      std::size_t ibHnpm = m::ByteView(d).u16(0);
      // The second allocation now starts before the first.
      std::uint16_t first = m::ByteView(d).u16(ibHnpm + 6);
      m::setU16(d, ibHnpm + 8, static_cast<std::uint16_t>(first - 2));
    });
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "heap.page-map");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].where, "node " + p::hexText(nid));
    EXPECT_EQ(f[0].offset, block.bref.ib);
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
  }
}

TEST(PstCheck, TableRowIndexAgainstRows) {
  VARNOLT_REQUIRE_SAMPLES();
  bool done = false;
  for (const char* sample :
       {kUnicode, "seventy-two-messages.pst", "mailing-list.pst", "contacts.pst", "mixed-attachments.pst"}) {
    if (done) break;
    Image img(sample);
    // A table whose row index or row matrix is the last allocation of its
    // heap block: taking one record or row off its end leaves the index and
    // the rows disagreeing about how many rows there are.
    img.db->nodeTree().forEachNode([&](const p::NbtEntry& n) {
      if (done || n.bidData == 0 || p::isInternalBid(n.bidData)) return;
      p::Node node = img.db->node(n.nid);
      m::Bytes data = node.read();
      if (data.size() < 12 || data[2] != p::kHeapSignature || data[3] != p::heap_client::TableContext) return;
      p::TableContext table(node);
      if (table.rowCount() < 2) return;
      p::Heap heap(node);
      m::ByteView info = heap.item(heap.userRoot());
      p::Hid index = info.u32(10);
      p::Hid indexLeaf = m::ByteView(heap.item(index)).u32(4);
      p::Hid rows = info.u32(14);
      std::size_t ibHnpm = m::ByteView(data).u16(0);
      std::size_t cAlloc = m::ByteView(data).u16(ibHnpm);
      auto isLast = [&](p::Hid h) { return p::isHid(h) && (h >> 16) == 0 && ((h >> 5) & 0x7FF) == cAlloc; };
      std::size_t shrink = 0;
      if (isLast(indexLeaf) && m::ByteView(heap.item(index)).u8(3) == 0) shrink = 8;
      if (isLast(rows)) shrink = table.rowSize();
      if (shrink == 0) return;
      img.editBlock(img.db->block(n.bidData), [&](m::Bytes& d) {
        std::size_t at = ibHnpm + 4 + 2 * cAlloc;
        m::setU16(d, at, static_cast<std::uint16_t>(m::ByteView(d).u16(at) - shrink));
      });
      chk::CheckResult r = check(img.bytes);
      auto f = withRule(r, "tc.row-count");
      ASSERT_EQ(f.size(), 1u) << describe(r);
      EXPECT_EQ(f[0].where, "node " + p::hexText(n.nid));
      done = true;
    });
  }
  EXPECT_TRUE(done) << "no table in the samples keeps its row index or rows last";
}

TEST(PstCheck, FolderTablesAgainstTheNodeBTree) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img("seventy-two-messages.pst");
  // Drop one message from the node B-tree: its folder's contents table
  // still lists it.
  std::uint64_t leaf = img.leafPage(img.db->nodeTree(), 4);
  std::optional<std::size_t> at;
  p::NodeId gone = 0;
  p::BtPageMeta meta = p::BtPageMeta::parse(m::ByteView(img.bytes.data() + leaf, 512), img.l());
  for (std::size_t i = 1; i < meta.cEnt && !at; ++i) {
    p::NbtEntry e = p::NbtEntry::parse(m::ByteView(img.bytes.data() + leaf, 512), i * meta.cbEnt, img.l());
    if (p::nidType(e.nid) == p::nid_type::NormalMessage) {
      at = i;
      gone = e.nid;
    }
  }
  ASSERT_TRUE(at.has_value());
  img.removeLeafEntry(leaf, *at);
  chk::CheckResult r = check(img.bytes);
  auto f = withRule(r, "folder.table-extra-row");
  ASSERT_EQ(f.size(), 1u) << describe(r);
  EXPECT_NE(f[0].message.find(p::hexText(gone)), std::string::npos) << f[0].line();
}

TEST(PstCheck, AttachmentTableAgainstAttachments) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img(kUnicode);
  // Renumber the message's attachment subnode: its attachment table still
  // lists the old id.
  bool done = false;
  img.db->nodeTree().forEachNode([&](const p::NbtEntry& n) {
    if (done || p::nidType(n.nid) != p::nid_type::NormalMessage || n.bidSub == 0) return;
    p::BbtEntry sl = img.db->block(n.bidSub);
    m::ByteView v(img.bytes.data() + sl.bref.ib, sl.cb);
    if (v.u8(1) != 0) return;  // an SIBLOCK
    std::size_t count = v.u16(2);
    std::optional<std::size_t> at;
    for (std::size_t i = 0; i < count && !at; ++i) {
      std::size_t off = img.l().slHeaderSize + i * img.l().slEntrySize;
      p::NodeId nid = v.u32(off);
      // The next id of the same type, if the entries stay in order.
      bool fits = i + 1 == count || v.u32(off + img.l().slEntrySize) > nid + 0x20;
      if (p::nidType(nid) == p::nid_type::Attachment && fits) at = off;
    }
    if (!at) return;
    p::NodeId renumbered = v.u32(*at) + 0x20;
    m::setU32(img.bytes, static_cast<std::size_t>(sl.bref.ib + *at), renumbered);
    img.fixBlockCrc(sl);
    // The header's counter follows, so only the table disagrees.
    img.setCounter(p::nid_type::Attachment, std::max(img.db->header().rgnid[p::nid_type::Attachment], p::nidIndex(renumbered)));
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "message.attachment-rows");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].where, "node " + p::hexText(n.nid));
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
    done = true;
  });
  EXPECT_TRUE(done);
}

TEST(PstCheck, NidCountersCoverNodeAndSubnodeIds) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    // The file's one message and its one attachment hold the highest ids
    // of their types, each equal to its counter.
    std::optional<p::NbtEntry> message = img.lastNodeOfType(p::nid_type::NormalMessage);
    ASSERT_TRUE(message.has_value());
    const p::Header h = img.db->header();
    ASSERT_EQ(p::nidIndex(message->nid), h.rgnid[p::nid_type::NormalMessage]);
    img.setCounter(p::nid_type::NormalMessage, h.rgnid[p::nid_type::NormalMessage] - 1);
    img.setCounter(p::nid_type::Attachment, h.rgnid[p::nid_type::Attachment] - 1);
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "header.rgnid");
    ASSERT_EQ(f.size(), 2u) << describe(r);
    EXPECT_EQ(r.totalFindings, 2u) << describe(r);
    EXPECT_EQ(f[0].where, "node " + p::hexText(message->nid));
    EXPECT_EQ(f[0].offset, img.leafPageOf(message->nid));
    EXPECT_EQ(f[1].where, "node " + p::hexText(message->nid) + " block " + p::hexText(message->bidSub) + " subnode 0x8025");
    EXPECT_EQ(f[1].offset, img.db->block(message->bidSub).bref.ib);
  }
}

// The level a heap states for block 0 (the low half of rgbFillLevel's first byte).
void setFirstLevel(m::Bytes& heapBlock0, std::uint8_t level) {
  heapBlock0[8] = static_cast<std::uint8_t>((heapBlock0[8] & 0xF0) | level);
}

TEST(PstCheck, HeapFillLevelsOfSingleBlocks) {
  VARNOLT_REQUIRE_SAMPLES();
  {
    Image img(kUnicode);
    auto [nid, block] = singleBlockHeap(img, p::heap_client::PropertyContext);
    img.editBlock(block, [](m::Bytes& d) { setFirstLevel(d, 3); });
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "heap.fill-level");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].offset, block.bref.ib);
    EXPECT_EQ(f[0].where, "node " + p::hexText(nid));
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
  }
  {
    // The name map of this file states level 1 for its 2,962 free bytes;
    // level 0 on a single block is what Outlook leaves on some, and passes.
    Image img("calendar-contacts-distlist.pst");
    p::BbtEntry block = img.db->block(img.db->findNode(p::nid::NameToIdMap)->bidData);
    img.editBlock(block, [](m::Bytes& d) {
      ASSERT_EQ(d[8] & 0x0F, 1);
      setFirstLevel(d, 0);
    });
    chk::CheckResult r = check(img.bytes);
    EXPECT_TRUE(r.clean()) << describe(r);
    img.editBlock(block, [](m::Bytes& d) { setFirstLevel(d, 2); });
    EXPECT_EQ(withRule(check(img.bytes), "heap.fill-level").size(), 1u);
  }
}

TEST(PstCheck, HeapFillLevelsOfEveryBlockOfALargeHeap) {
  // Messages whose properties fill heaps of several blocks, by our writer:
  // blocks 0-7 have their levels in the first block's header, the next 128
  // in the header of block 8.
  for (const std::uint16_t properties : {std::uint16_t{14}, std::uint16_t{40}}) {
    SCOPED_TRACE(properties);
    TempDir dir;
    {
      auto w = p::Writer::create(dir / "big.pst", "Big");
      m::Message msg;
      msg.props.set(m::tag::Subject, m::PropValue::unicode("many large properties"));
      for (std::uint16_t id = 0; id < properties; ++id)
        msg.props.set(m::makeTag(static_cast<std::uint16_t>(0x6700 + id), m::pt::Binary), m::PropValue::binary(m::Bytes(3000, 0x5A)));
      w->addMessage(w->ipmSubtree(), msg);
      w->close();
    }
    Image img(readFile(dir / "big.pst"));
    EXPECT_TRUE(check(img.bytes).clean()) << describe(check(img.bytes));
    std::optional<p::NbtEntry> message = img.lastNodeOfType(p::nid_type::NormalMessage);
    ASSERT_TRUE(message.has_value());
    std::vector<p::BbtEntry> blocks = p::DataTree::read(*img.db, message->bidData).blocks;
    const std::size_t last = blocks.size() - 1;
    ASSERT_GE(last, properties > 20 ? 9u : 3u);
    const std::size_t holder = last < 8 ? 0 : 8;
    const std::size_t at = (last < 8 ? 8 : 2) + (last - holder) / 2;
    // What the writer stated before its levels were true: 0 on the last block.
    img.editBlock(blocks[holder], [&](m::Bytes& d) {
      std::uint8_t& pair = d[at];
      const bool high = (last - holder) % 2 == 1;
      ASSERT_NE(high ? pair >> 4 : pair & 0x0F, 0);
      pair = static_cast<std::uint8_t>(high ? pair & 0x0F : pair & 0xF0);
    });
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "heap.fill-level");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].offset, blocks[last].bref.ib);
    EXPECT_EQ(f[0].where, "node " + p::hexText(message->nid));
    EXPECT_NE(f[0].message.find("heap block " + std::to_string(last) + " "), std::string::npos) << f[0].line();
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
  }
}

TEST(PstCheck, NameToIdMap) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, "empty-default-folders.pst"}) {
    SCOPED_TRACE(sample);
    Image img(sample);
    p::Node node = img.db->node(p::nid::NameToIdMap);
    ASSERT_FALSE(p::isInternalBid(node.dataBid()));
    p::PropertyContext pc(node);
    std::optional<std::uint32_t> entries;
    for (const auto& r : pc.records())
      if (r.tag == p::kTagNameidStreamEntry) entries = r.valueOrHnid;
    ASSERT_TRUE(entries.has_value());
    // Point the first entry at a GUID the GUID stream does not have.
    auto breakGuid = [](m::Bytes& d, std::size_t entry) {
      m::setU16(d, entry + 4, static_cast<std::uint16_t>(0x7FF0 | (m::ByteView(d).u16(entry + 4) & 1)));
    };
    if (p::isHid(*entries)) {
      ASSERT_EQ(*entries >> 16, 0u);
      img.editBlock(img.db->block(node.dataBid()), [&](m::Bytes& d) {
        std::size_t ibHnpm = m::ByteView(d).u16(0);
        std::size_t index = (*entries >> 5) & 0x7FF;
        breakGuid(d, m::ByteView(d).u16(ibHnpm + 4 + 2 * (index - 1)));
      });
    } else {
      p::Node stream = node.subnode(*entries);
      ASSERT_FALSE(p::isInternalBid(stream.dataBid()));
      img.editBlock(img.db->block(stream.dataBid()), [&](m::Bytes& d) { breakGuid(d, 0); });
    }
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, "namemap.entry");
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(f[0].where, "node 0x61");
    // The entry's hash changed with its GUID, so its bucket no longer fits.
    EXPECT_FALSE(withRule(r, "namemap.bucket").empty()) << describe(r);
  }
}

TEST(PstCheck, MaxFindingsKeepsTheTotal) {
  VARNOLT_REQUIRE_SAMPLES();
  Image img(kUnicode);
  std::vector<p::BbtEntry> blocks;
  img.db->blockTree().forEachBlock([&](const p::BbtEntry& e) { blocks.push_back(e); });
  for (std::size_t i = 0; i < 5; ++i) img.bytes[blocks[i].bref.ib] ^= 0x55;
  chk::CheckResult all = check(img.bytes);
  chk::CheckResult some = check(img.bytes, 2);
  EXPECT_GE(all.totalFindings, 5u);
  EXPECT_EQ(some.findings.size(), 2u);
  EXPECT_EQ(some.totalFindings, all.totalFindings);
}

// Random damage of every kind must end in findings or a clean refusal,
// never a crash, another exception or a hang.
TEST(PstCheck, HostileCopiesEndCleanly) {
  VARNOLT_REQUIRE_SAMPLES();
  for (const char* sample : {kUnicode, kAnsi, "mixed-attachments.pst"}) {
    const m::Bytes original = readFile(pstSample(sample));
    std::mt19937 rng(7);
    for (int round = 0; round < 60; ++round) {
      m::Bytes b = original;
      int flips = 1 + round % 8;
      for (int k = 0; k < flips; ++k) {
        std::size_t at = std::uniform_int_distribution<std::size_t>(0, b.size() - 1)(rng);
        b[at] = static_cast<std::uint8_t>(rng());
      }
      if (round % 5 == 0) b.resize(std::uniform_int_distribution<std::size_t>(0, b.size())(rng));
      try {
        chk::CheckResult r = check(b);
        if (b.size() != original.size()) {
          EXPECT_FALSE(r.clean()) << sample << " round " << round;
        }
      } catch (const m::Error&) {
        // Not a PST any more: refused.
      }
    }
  }
}

// The command line: one line per finding, a summary, and the exit codes.
// Outlook's calendar sample names its special folders from the store, the
// root folder and the Inbox, and its receive folder table sends mail to
// the Inbox. An id pointed at a node the file lacks is one finding, at
// the block that holds it.
TEST(PstCheck, SpecialFolderIdsAndReceiveFolders) {
  VARNOLT_REQUIRE_SAMPLES();
  const m::Bytes uid{0xa4, 0x1d, 0x63, 0xdb, 0xc5, 0x3b, 0x8e, 0x4a, 0xb8, 0x07, 0x1e, 0x15, 0xe5, 0x57, 0x50, 0xce};
  struct Case {
    p::NodeId owner;
    p::NodeId named;     // the folder an id of the owner names
    bool withUid;        // receive rows hold the bare NID
    const char* rule;
    const char* text;
  };
  const Case cases[] = {
      {p::nid::MessageStore, 0x80C2, true, "store.special-folder-id", "0x35E4"},   // Sent Items
      {p::nid::RootFolder, 0x8122, true, "folder.special-folder-id", "0x36D0"},    // Calendar
      {0x8082, 0x81A2, true, "folder.special-folder-id", "the Inbox's special-folder id 0x36D4"},  // Tasks
      {0x62B, 0x8082, false, "store.receive-folder", "\"\""},                       // Inbox
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.rule);
    Image img("calendar-contacts-distlist.pst");
    p::NbtEntry node = *img.db->findNode(k.owner);
    p::BbtEntry block = *img.db->findBlock(node.bidData);
    bool edited = false;
    img.editBlock(block, [&](m::Bytes& data) {
      m::Bytes want = k.withUid ? uid : m::Bytes{};
      m::putU32(want, k.named);
      auto at = std::search(data.begin(), data.end(), want.begin(), want.end());
      if (at == data.end()) return;
      m::setU32(data, static_cast<std::size_t>(at - data.begin()) + want.size() - 4, 0x7FFFFE2);
      edited = true;
    });
    ASSERT_TRUE(edited);
    chk::CheckResult r = check(img.bytes);
    auto f = withRule(r, k.rule);
    ASSERT_EQ(f.size(), 1u) << describe(r);
    EXPECT_EQ(r.totalFindings, 1u) << describe(r);
    EXPECT_EQ(f[0].offset, block.bref.ib);
    EXPECT_NE(f[0].message.find(k.text), std::string::npos) << f[0].line();
    EXPECT_NE(f[0].message.find("0x7FFFFE2"), std::string::npos) << f[0].line();
  }
}

TEST(PstCheckCommand, ExitCodesAndOutput) {
  VARNOLT_REQUIRE_SAMPLES();
  const std::string cli = (programPath("varnolt-cli")).string();
  CommandResult ok = run({cli, "check", pstSample(kAnsi).string()}, 120);
  EXPECT_EQ(ok.exitCode, 0) << ok.out << ok.err;
  EXPECT_NE(ok.out.find("no findings"), std::string::npos) << ok.out;

  TempDir dir;
  Image img(kUnicode);
  std::vector<p::BbtEntry> blocks;
  img.db->blockTree().forEachBlock([&](const p::BbtEntry& e) { blocks.push_back(e); });
  for (std::size_t i = 0; i < 3; ++i) img.bytes[blocks[i].bref.ib] ^= 0x55;
  writeFile(dir / "bad.pst", img.bytes);
  CommandResult bad = run({cli, "check", (dir / "bad.pst").string()}, 120);
  EXPECT_EQ(bad.exitCode, 2) << bad.out << bad.err;
  EXPECT_NE(bad.out.find(" block.crc block " + p::hexText(blocks[1].bref.bid) + ": "), std::string::npos) << bad.out;
  EXPECT_NE(bad.out.find("3 findings"), std::string::npos) << bad.out;

  CommandResult one = run({cli, "check", (dir / "bad.pst").string(), "--max-findings", "1"}, 120);
  EXPECT_EQ(one.exitCode, 2);
  EXPECT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 2) << one.out;
  EXPECT_NE(one.out.find("3 findings (1 shown)"), std::string::npos) << one.out;

  CommandResult notPst = run({cli, "check", (samplesDir() / "bad" / "not-a-pst.pst").string()}, 60);
  EXPECT_EQ(notPst.exitCode, 1);
  EXPECT_NE(notPst.err.find("cannot be checked"), std::string::npos) << notPst.err;
  EXPECT_EQ(run({cli, "check"}, 60).exitCode, 1);
  EXPECT_EQ(run({cli, "check", "x.pst", "--max-findings", "many"}, 60).exitCode, 1);
}

}  // namespace
}  // namespace varnolt::test
