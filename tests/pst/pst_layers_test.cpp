// The node database and the lists-tables-properties layer on their own:
// checksums, encodings, on-disk records, and crafted files whose B-trees,
// data trees, subnode trees and heaps loop or lie about their sizes.

#include <gtest/gtest.h>

#include "mapi/pst/ltp/bth.h"
#include "mapi/pst/ltp/property_context.h"
#include "mapi/pst/ltp/table_context.h"
#include "mapi/util/text.h"
#include "tests/pst/pst_fixtures.h"

namespace varnolt::test::pst {
namespace {

m::Bytes text(const std::string& s) { return m::Bytes(s.begin(), s.end()); }

std::shared_ptr<p::MemorySource> source(const m::Bytes& b) { return std::make_shared<p::MemorySource>(b); }

template <typename F>
m::ErrorKind errorKindOf(F&& f) {
  try {
    f();
  } catch (const m::Error& e) {
    return e.kind();
  }
  ADD_FAILURE() << "no error was raised";
  return m::ErrorKind::InvalidArgument;
}

TEST(PstChecksum, IsCrc32WithoutInversions) {
  // The reflected CRC-32 of "123456789" started at 0 and not inverted.
  EXPECT_EQ(p::computeCrc(text("123456789")), 0x2DFD2D88u);
  EXPECT_EQ(p::computeCrc({}), 0u);
  // Fed in pieces of every length it gives the same value (the 8-byte
  // steps and the byte tail must agree).
  m::Bytes data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  std::uint32_t whole = p::computeCrc(data);
  for (std::size_t cut : {1u, 7u, 8u, 9u, 500u, 999u}) {
    m::ByteView v(data);
    EXPECT_EQ(p::computeCrc(v.sub(cut, data.size() - cut), p::computeCrc(v.sub(0, cut))), whole) << cut;
  }
}

TEST(PstChecksum, MatchesBitwiseSumOnBlocksAtAnyAlignment) {
  // A bit at a time, as the format defines it; the fast sum must agree on
  // whole blocks (the sizes the reader and writer sum), from unaligned
  // starts and from a running value.
  auto bitwise = [](const std::uint8_t* p, std::size_t n, std::uint32_t crc) {
    for (std::size_t i = 0; i < n; ++i) {
      crc ^= p[i];
      for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return crc;
  };
  m::Bytes data(8192 + 64);
  std::uint32_t seed = 12345;
  for (std::uint8_t& b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  m::ByteView v(data);
  for (std::size_t start : {0u, 1u, 3u, 13u})
    for (std::size_t length : {16u, 63u, 64u, 255u, 512u, 8176u, 8192u})
      for (std::uint32_t from : {0u, 0xFFFFFFFFu, 0x2DFD2D88u})
        EXPECT_EQ(p::computeCrc(v.sub(start, length), from), bitwise(data.data() + start, length, from))
            << start << " " << length << " " << from;
}

TEST(PstEncoding, PermuteAndCyclicRoundTrip) {
  m::Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  m::Bytes enc = all;
  p::permuteEncode(enc.data(), enc.size());
  EXPECT_EQ(enc[0], 65);  // the first entry of the published table
  EXPECT_EQ(std::set<std::uint8_t>(enc.begin(), enc.end()).size(), 256u) << "the table is a permutation";
  p::permuteDecode(enc.data(), enc.size());
  EXPECT_EQ(enc, all);
  // Long runs (taken many bytes at a time where the processor can) give
  // what each byte gives alone, at any start and with any tail.
  m::Bytes mixed(8192 + 200);
  for (std::size_t i = 0; i < mixed.size(); ++i) mixed[i] = static_cast<std::uint8_t>((i * 167u) ^ (i >> 7));
  for (std::size_t start : {0u, 1u, 3u})
    for (std::size_t length : {63u, 64u, 65u, 127u, 128u, 200u, 8192u + 13u}) {
      m::Bytes bulk(mixed.begin() + static_cast<std::ptrdiff_t>(start),
                    mixed.begin() + static_cast<std::ptrdiff_t>(start + length));
      m::Bytes single = bulk;
      p::permuteEncode(bulk.data(), bulk.size());
      for (std::uint8_t& b : single) p::permuteEncode(&b, 1);
      EXPECT_EQ(bulk, single) << start << " " << length;
      p::permuteDecode(bulk.data(), bulk.size());
      EXPECT_TRUE(std::equal(bulk.begin(), bulk.end(), mixed.begin() + static_cast<std::ptrdiff_t>(start)))
          << start << " " << length;
    }

  for (std::uint32_t key : {0u, 1u, 0x1234u, 0xFFFFFFFFu, 0x00010004u}) {
    m::Bytes data(3000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
    m::Bytes c = data;
    p::cyclicCode(c.data(), c.size(), key);
    EXPECT_NE(c, data) << key;
    p::cyclicCode(c.data(), c.size(), key);
    EXPECT_EQ(c, data) << "cyclic coding twice restores the data, key " << key;
  }
  // Internal blocks are never encoded.
  m::Bytes internal = text("XBLOCK body");
  p::encodeBlock(p::CryptMethod::Permute, 0x6, internal.data(), internal.size());
  EXPECT_EQ(internal, text("XBLOCK body"));
}

TEST(PstRecords, ParseWhatIsWrittenInBothLayouts) {
  for (const p::Layout* l : {&p::Layout::ansi(), &p::Layout::unicode()}) {
    p::BbtEntry b;
    b.bref = {0x1234, 0x4600};
    b.cb = 300;
    b.cRef = 2;
    m::Bytes out;
    b.write(out, *l);
    ASSERT_EQ(out.size(), l->bbtEntrySize);
    p::BbtEntry b2 = p::BbtEntry::parse(out, 0, *l);
    EXPECT_EQ(b2.bref.bid, 0x1234u);
    EXPECT_EQ(b2.bref.ib, 0x4600u);
    EXPECT_EQ(b2.cb, 300);
    EXPECT_EQ(b2.cRef, 2);

    p::NbtEntry n{0x200024, 0x88, 0x8A, 0x8022};
    out.clear();
    n.write(out, *l);
    ASSERT_EQ(out.size(), l->nbtEntrySize);
    p::NbtEntry n2 = p::NbtEntry::parse(out, 0, *l);
    EXPECT_EQ(n2.nid, n.nid);
    EXPECT_EQ(n2.bidData, n.bidData);
    EXPECT_EQ(n2.bidSub, n.bidSub);
    EXPECT_EQ(n2.nidParent, n.nidParent);

    p::BlockTrailer t;
    t.cb = 100;
    t.wSig = 0xBEEF;
    t.dwCrc = 0xCAFEF00D;
    t.bid = 0x44;
    out.clear();
    t.write(out, *l);
    ASSERT_EQ(out.size(), l->blockTrailerSize);
    p::BlockTrailer t2 = p::BlockTrailer::parse(out, 0, *l);
    EXPECT_EQ(t2.cb, 100);
    EXPECT_EQ(t2.wSig, 0xBEEF);
    EXPECT_EQ(t2.dwCrc, 0xCAFEF00Du);
    EXPECT_EQ(t2.bid, 0x44u);

    m::Bytes page(l->pageSize, 0x5A);
    p::PageTrailer::stamp(page, p::page_type::NodeBTree, 0x30, 0x8000, *l);
    p::PageTrailer pt = p::PageTrailer::parse(page, *l);
    EXPECT_EQ(pt.ptype, p::page_type::NodeBTree);
    EXPECT_EQ(pt.ptypeRepeat, p::page_type::NodeBTree);
    EXPECT_EQ(pt.bid, 0x30u);
    EXPECT_EQ(pt.wSig, p::computeSignature(0x8000, 0x30));
    EXPECT_EQ(pt.dwCrc, p::computeCrc(m::ByteView(page).sub(0, l->pageSize - l->pageTrailerSize)));
  }
  // Blocks take their trailer and round up to 64 bytes.
  EXPECT_EQ(p::blockDiskSize(0, p::Layout::unicode()), 64u);
  EXPECT_EQ(p::blockDiskSize(48, p::Layout::unicode()), 64u);
  EXPECT_EQ(p::blockDiskSize(49, p::Layout::unicode()), 128u);
  EXPECT_EQ(p::blockDiskSize(8176, p::Layout::unicode()), 8192u);
  EXPECT_EQ(p::blockDiskSize(8180, p::Layout::ansi()), 8192u);
}

TEST(PstHeader, RefusesWhatIsNoPst) {
  MiniPst pst;
  m::Bytes good = pst.finish();
  EXPECT_NO_THROW(p::NodeDatabase(source(good)));

  EXPECT_EQ(errorKindOf([] { p::NodeDatabase(source({})); }), m::ErrorKind::BadFormat);
  m::Bytes junk = good;
  junk[0] = 'X';
  EXPECT_EQ(errorKindOf([&] { p::NodeDatabase(source(junk)); }), m::ErrorKind::BadFormat);
  m::Bytes shortFile(good.begin(), good.begin() + 300);
  EXPECT_EQ(errorKindOf([&] { p::NodeDatabase(source(shortFile)); }), m::ErrorKind::Truncated);

  m::Bytes flipped = good;
  flipped[100] ^= 0x01;
  try {
    p::NodeDatabase db(source(flipped));
    ADD_FAILURE() << "a bad header CRC was accepted";
  } catch (const m::Error& e) {
    EXPECT_EQ(e.kind(), m::ErrorKind::Checksum);
    EXPECT_EQ(e.offset(), 4u);
    EXPECT_NE(std::string(e.what()).find("checksum"), std::string::npos);
  }
  // Unchecked, the same header opens: salvage mode compares no CRCs.
  EXPECT_NO_THROW(p::NodeDatabase(source(flipped), false));

  auto withHeader = [&](auto change) {
    m::Bytes b = good;
    change(b);
    MiniPst::restampHeader(b);
    return b;
  };
  m::Bytes pab = withHeader([](m::Bytes& b) { m::setU16(b, 8, p::kClientPab); });
  EXPECT_EQ(errorKindOf([&] { p::NodeDatabase(source(pab)); }), m::ErrorKind::Unsupported);
  m::Bytes v36 = withHeader([](m::Bytes& b) { m::setU16(b, 10, 36); });
  EXPECT_EQ(errorKindOf([&] { p::NodeDatabase(source(v36)); }), m::ErrorKind::Unsupported);
  m::Bytes crypt = withHeader([](m::Bytes& b) { b[513] = 0x10; });
  EXPECT_EQ(errorKindOf([&] { p::NodeDatabase(source(crypt)); }), m::ErrorKind::Unsupported);
  m::Bytes ost = withHeader([](m::Bytes& b) { m::setU16(b, 8, p::kClientOst); });
  EXPECT_TRUE(p::NodeDatabase(source(ost)).header().isOst());
}

TEST(PstBTrees, LoopsAndSharedPagesAreDetected) {
  // A node B-tree whose root branch page names itself as its child.
  {
    MiniPst pst;
    p::Bref bbt = pst.blockLeaf();
    p::Bref self = pst.nextPage();
    p::Bref nbt = pst.page(p::page_type::NodeBTree, 1, {MiniPst::branchEntry(0, self)}, 24);
    ASSERT_EQ(nbt.ib, self.ib);
    m::Bytes file = pst.finish(nbt, bbt);
    p::NodeDatabase db(source(file));
    EXPECT_EQ(errorKindOf([&] { db.findNode(0x122); }), m::ErrorKind::Corrupt);
    EXPECT_EQ(errorKindOf([&] { db.nodeTree().forEachNode([](const p::NbtEntry&) {}); }), m::ErrorKind::Corrupt);
  }
  // A block B-tree whose root lists the same leaf twice: lookups still
  // work, a walk refuses to count the leaf twice.
  {
    MiniPst pst;
    p::BlockId bid = pst.block(text("payload"), false);
    p::Bref leaf = pst.blockLeaf();
    p::Bref bbt = pst.page(p::page_type::BlockBTree, 1,
                           {MiniPst::branchEntry(0, leaf), MiniPst::branchEntry(bid, leaf)}, 24);
    p::Bref nbt = pst.nodeLeaf();
    m::Bytes file = pst.finish(nbt, bbt);
    p::NodeDatabase db(source(file));
    EXPECT_EQ(db.readBlock(bid), text("payload"));
    EXPECT_EQ(errorKindOf([&] { db.blockTree().forEachBlock([](const p::BbtEntry&) {}); }), m::ErrorKind::Corrupt);
  }
}

TEST(PstBlocks, DamagedBlocksAreNamedWithTheirOffset) {
  MiniPst pst;
  p::BlockId bid = pst.block(text("some block data"), false);
  m::Bytes file = pst.finish();
  p::NodeDatabase good(source(file));
  p::BbtEntry e = good.block(bid);
  m::Bytes bad = file;
  bad[e.bref.ib + 3] ^= 0x40;
  p::NodeDatabase db(source(bad));
  try {
    db.readBlock(bid);
    ADD_FAILURE() << "a damaged block was accepted";
  } catch (const m::Error& err) {
    EXPECT_EQ(err.kind(), m::ErrorKind::Checksum);
    EXPECT_EQ(err.offset(), e.bref.ib);
  }
  EXPECT_EQ(errorKindOf([&] { db.readBlock(0x9990); }), m::ErrorKind::Corrupt);  // not in the tree
}

TEST(PstDataTrees, LoopsRepeatsAndImpossibleTotalsAreRefused) {
  const p::Layout& l = p::Layout::unicode();
  auto xblock = [&](std::uint8_t level, std::uint32_t total, const std::vector<p::BlockId>& kids) {
    m::Bytes b;
    p::XBlockHeader{p::kBlockTypeXBlock, level, static_cast<std::uint16_t>(kids.size()), total}.write(b);
    for (auto k : kids) p::putId(b, k, l);
    return b;
  };
  MiniPst pst;
  p::BlockId d1 = pst.block(m::Bytes(8176, 0x11), false);
  p::BlockId d2 = pst.block(m::Bytes(100, 0x22), false);
  p::BlockId good = pst.block(xblock(1, 8276, {d1, d2}), true);
  p::BlockId selfX = pst.nextBid(true);
  pst.block(xblock(1, 100, {selfX}), true);
  p::BlockId selfXX = pst.nextBid(true);
  pst.block(xblock(2, 100, {selfXX}), true);
  p::BlockId repeats = pst.block(xblock(1, 8276, {d1, d1, d1}), true);
  p::BlockId huge = pst.block(xblock(1, 0x7FFFFFFF, {d1}), true);
  m::Bytes file = pst.finish();
  p::NodeDatabase db(source(file));

  p::DataTree t = p::DataTree::read(db, good);
  EXPECT_EQ(t.size, 8276u);
  ASSERT_EQ(t.blocks.size(), 2u);
  EXPECT_EQ(p::Node(db, 0x3F, good, 0).read().size(), 8276u);
  EXPECT_EQ(errorKindOf([&] { p::DataTree::read(db, selfX); }), m::ErrorKind::Corrupt);
  EXPECT_EQ(errorKindOf([&] { p::DataTree::read(db, selfXX); }), m::ErrorKind::Corrupt);
  EXPECT_EQ(errorKindOf([&] { p::DataTree::read(db, repeats); }), m::ErrorKind::Corrupt);
  EXPECT_EQ(errorKindOf([&] { p::DataTree::read(db, huge); }), m::ErrorKind::Limit);
}

TEST(PstSubnodes, TreesThatNameThemselvesAreRefused) {
  const p::Layout& l = p::Layout::unicode();
  MiniPst pst;
  p::BlockId data = pst.block(text("value"), false);
  m::Bytes sl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 1}.write(sl, l);
  p::SlEntry{0x3F, data, 0}.write(sl, l);
  p::BlockId slBid = pst.block(sl, true);
  p::BlockId selfSi = pst.nextBid(true);
  m::Bytes si;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 1, 2}.write(si, l);
  p::SiEntry{0x3F, slBid}.write(si, l);
  p::SiEntry{0x5F, selfSi}.write(si, l);
  pst.block(si, true);
  m::Bytes file = pst.finish();
  p::NodeDatabase db(source(file));

  p::Node ok(db, 0x200024, 0, slBid);
  EXPECT_EQ(ok.subnode(0x3F).read(), text("value"));
  EXPECT_FALSE(ok.findSubnode(0x5F).has_value());
  EXPECT_EQ(errorKindOf([&] { ok.subnode(0x5F); }), m::ErrorKind::NotFound);
  p::Node looping(db, 0x200044, 0, selfSi);
  EXPECT_EQ(errorKindOf([&] { looping.subnodes(); }), m::ErrorKind::Corrupt);
}

// A property context with a value of each storage kind: inline, in the
// heap, in a subnode, multi-valued.
TEST(PstPropertyContext, ReadsEveryStorageKind) {
  const p::Layout& l = p::Layout::unicode();
  MiniPst pst;
  m::Bytes big(5000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 13);
  p::BlockId bigBid = pst.block(big, false);
  m::Bytes sl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 1}.write(sl, l);
  p::SlEntry{0x3F, bigBid, 0}.write(sl, l);
  p::BlockId sub = pst.block(sl, true);

  m::Bytes hi = m::utf8ToUtf16le("Hi ✓");
  m::Bytes time;
  m::putU64(time, 0x01D9000000000000ull);
  m::Bytes mvText;  // count, offsets, then the strings
  m::putU32(mvText, 2);
  m::putU32(mvText, 12);
  m::putU32(mvText, 14);
  m::putBytes(mvText, m::utf8ToUtf16le("a"));
  m::putBytes(mvText, m::utf8ToUtf16le("bc"));
  m::Bytes mvInt;
  for (std::uint32_t v : {1u, 2u, 3u}) m::putU32(mvInt, v);

  m::Bytes records;
  for (const m::Bytes& r : {pcRecord(0x0002, m::pt::Int16, 0xFFFE), pcRecord(0x0037, m::pt::Unicode, hidOf(2)),
                            pcRecord(0x0E07, m::pt::Int32, 0x11), pcRecord(0x0E1B, m::pt::Boolean, 1),
                            pcRecord(0x3007, m::pt::SysTime, hidOf(3)), pcRecord(0x3701, m::pt::Binary, 0x3F),
                            pcRecord(0x8001, 0x101F, hidOf(4)), pcRecord(0x8002, 0x1003, hidOf(5))})
    m::putBytes(records, r);
  m::Bytes heap = heapBlock(p::heap_client::PropertyContext, hidOf(0),
                            {bthHeader(2, 6, 0, hidOf(1)), records, hi, time, mvText, mvInt});
  p::BlockId heapBid = pst.block(heap, false);
  pst.node(0x200024, heapBid, sub, 0x8022);
  m::Bytes file = pst.finish();
  p::NodeDatabase db(source(file));

  p::PropertyContext pc(db.node(0x200024));
  m::PropertyBag bag = pc.readAll();
  EXPECT_EQ(bag.size(), 8u);
  EXPECT_EQ(bag.get(0x00020002)->asInt32(), -2);
  EXPECT_EQ(bag.getString(0x0037), "Hi ✓");
  EXPECT_EQ(bag.getInt32(0x0E070003), 0x11);
  EXPECT_EQ(bag.getBool(0x0E1B000B), true);
  EXPECT_EQ(bag.get(0x30070040)->asInt64(), 0x01D9000000000000ll);
  EXPECT_EQ(*bag.getBinary(0x37010102), big);
  ASSERT_EQ(bag.get(0x8001101F)->values.size(), 2u);
  EXPECT_EQ(bag.get(0x8001101F)->values[1], m::utf8ToUtf16le("bc"));
  ASSERT_EQ(bag.get(0x80021003)->values.size(), 3u);
  EXPECT_EQ(m::ByteView(bag.get(0x80021003)->values[2]).u32(0), 3u);
  EXPECT_EQ(pc.get(0x0E07)->asInt32(), 0x11);
  EXPECT_FALSE(pc.get(0x0E08).has_value());

  // A budget smaller than the subnode value stops the read.
  p::ReadBudget tiny(1000);
  EXPECT_EQ(errorKindOf([&] { pc.readAll(&tiny); }), m::ErrorKind::Limit);
}

TEST(PstHeap, LoopsAndOverlapsAreRefused) {
  MiniPst pst;
  // A BTree-on-heap whose one intermediate record points at itself.
  m::Bytes loopRecord;
  m::putU16(loopRecord, 0x0001);
  m::putU32(loopRecord, hidOf(1));
  p::BlockId loopHeap =
      pst.block(heapBlock(p::heap_client::PropertyContext, hidOf(0), {bthHeader(2, 6, 1, hidOf(1)), loopRecord}),
                false);
  // A heap whose page map runs backwards.
  m::Bytes bad = heapBlock(p::heap_client::PropertyContext, hidOf(0), {bthHeader(2, 6, 0, 0), m::Bytes(8, 0)});
  std::size_t map = m::ByteView(bad).u16(0);
  m::setU16(bad, map + 4 + 2, 4);  // the end of item 1 before its start
  p::BlockId badHeap = pst.block(bad, false);
  // A table whose row index claims rows it does not hold.
  m::Bytes tcinfo{0x7C, 1};
  for (std::uint16_t v : std::initializer_list<std::uint16_t>{4, 4, 4, 5}) m::putU16(tcinfo, v);
  m::putU32(tcinfo, hidOf(1));
  m::putU32(tcinfo, 0);  // no row matrix
  m::putU32(tcinfo, 0);
  m::putU32(tcinfo, p::kTagLtpRowId);
  m::putU16(tcinfo, 0);
  tcinfo.push_back(4);
  tcinfo.push_back(0);
  m::Bytes index;
  m::putU32(index, 0x200024);
  m::putU32(index, 0);
  p::BlockId ghostRows =
      pst.block(heapBlock(p::heap_client::TableContext, hidOf(0), {tcinfo, bthHeader(4, 4, 0, hidOf(2)), index}),
                false);
  pst.node(0x200024, loopHeap);
  pst.node(0x200044, badHeap);
  pst.node(0x20006E, ghostRows);
  m::Bytes file = pst.finish();
  p::NodeDatabase db(source(file));

  p::PropertyContext pc(db.node(0x200024));
  EXPECT_EQ(errorKindOf([&] { pc.readAll(); }), m::ErrorKind::Corrupt);
  EXPECT_EQ(errorKindOf([&] { p::Heap h(db.node(0x200044)); }), m::ErrorKind::Corrupt);
  EXPECT_EQ(errorKindOf([&] { p::TableContext t(db.node(0x20006E)); }), m::ErrorKind::Corrupt);
  // A PC is not a TC.
  EXPECT_EQ(errorKindOf([&] { p::TableContext t(db.node(0x200024)); }), m::ErrorKind::Corrupt);
}

// Rows with absent cells, each column kind, and a 32-bit column given 8
// bytes as some writers do.
// The bounds of the published fill-level table, on both sides of each.
TEST(PstHeap, FillLevelsFollowThePublishedTable) {
  const std::size_t lowest[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
  for (std::uint8_t level = 0; level < 15; ++level) {
    EXPECT_EQ(p::heapFillLevel(lowest[level]), level);
    EXPECT_EQ(p::heapFillLevel(lowest[level] - 1), level + 1);
  }
  EXPECT_EQ(p::heapFillLevel(8176), 0);
  EXPECT_EQ(p::heapFillLevel(0), 15);
}

TEST(PstTableContext, ReadsRowsCellsAndExistenceBits) {
  MiniPst pst;
  struct Col {
    m::PropTag tag;
    std::uint16_t off;
    std::uint8_t size;
    std::uint8_t bit;
  };
  std::vector<Col> cols = {{p::kTagLtpRowId, 0, 4, 0},       {p::kTagLtpRowVersion, 4, 4, 1},
                           {0x30000003, 8, 8, 2},            {0x0037001F, 16, 4, 3},
                           {0x0E080003, 20, 4, 4},           {0x0E1B000B, 24, 1, 5}};
  const std::uint16_t rowSize = 26;  // 25 bytes of cells, 1 of bitmap
  m::Bytes tcinfo{0x7C, static_cast<std::uint8_t>(cols.size())};
  for (std::uint16_t v : std::initializer_list<std::uint16_t>{24, 24, 25, rowSize}) m::putU16(tcinfo, v);
  m::putU32(tcinfo, hidOf(1));  // row index
  m::putU32(tcinfo, hidOf(3));  // row matrix
  m::putU32(tcinfo, 0);
  for (const Col& c : cols) {
    m::putU32(tcinfo, c.tag);
    m::putU16(tcinfo, c.off);
    tcinfo.push_back(c.size);
    tcinfo.push_back(c.bit);
  }
  auto row = [&](std::uint32_t id, std::uint32_t rowid, p::Hid subject, std::uint32_t size, bool flag,
                 std::uint8_t ceb) {
    m::Bytes r;
    m::putU32(r, id);
    m::putU32(r, 1);
    m::putU64(r, rowid);
    m::putU32(r, subject);
    m::putU32(r, size);
    r.push_back(flag ? 1 : 0);
    r.push_back(ceb);
    return r;
  };
  m::Bytes matrix = row(0x200024, 7, hidOf(4), 1234, true, 0xFC);
  m::putBytes(matrix, row(0x200044, 8, 0, 99, false, 0xE4));  // subject and size absent (bits 3, 4), the rest present
  m::Bytes index;
  for (std::uint32_t v : {0x200024u, 0u, 0x200044u, 1u}) m::putU32(index, v);
  m::Bytes heap = heapBlock(p::heap_client::TableContext, hidOf(0),
                            {tcinfo, bthHeader(4, 4, 0, hidOf(2)), index, matrix, m::utf8ToUtf16le("Row one")});
  pst.node(0x20006E, pst.block(heap, false));
  m::Bytes file = pst.finish();
  p::NodeDatabase db(source(file));

  p::TableContext t(db.node(0x20006E));
  ASSERT_EQ(t.rowCount(), 2u);
  EXPECT_EQ(t.rowId(0), 0x200024u);
  EXPECT_EQ(t.rowId(1), 0x200044u);
  m::PropertyBag r0 = t.row(0);
  EXPECT_EQ(r0.getString(0x0037), "Row one");
  EXPECT_EQ(r0.getInt32(0x30000003), 7);
  EXPECT_EQ(r0.getInt32(0x0E080003), 1234);
  EXPECT_EQ(r0.getBool(0x0E1B000B), true);
  m::PropertyBag r1 = t.row(1);
  EXPECT_FALSE(r1.has(0x0037001F));
  EXPECT_FALSE(r1.has(0x0E080003));
  EXPECT_EQ(r1.getBool(0x0E1B000B), false);
  EXPECT_EQ(t.cell(1, 0x30000003)->asInt32(), 8);
  auto index2 = t.rowIndex();
  ASSERT_EQ(index2.size(), 2u);
  EXPECT_EQ(index2[1].second, 1u);
}

// A message whose properties all point at one large subnode: the whole
// message stays within a budget tied to the file's size.
TEST(PstMessages, RepeatedLargeValuesHitTheBudget) {
  const p::Layout& l = p::Layout::unicode();
  MiniPst pst;
  std::vector<p::BlockId> kids;
  for (int i = 0; i < 8; ++i) kids.push_back(pst.block(m::Bytes(8176, static_cast<std::uint8_t>(i)), false));
  m::Bytes x;
  p::XBlockHeader{p::kBlockTypeXBlock, 1, 8, 8 * 8176}.write(x);
  for (auto k : kids) p::putId(x, k, l);
  p::BlockId big = pst.block(x, true);
  m::Bytes sl;
  p::SubnodeBlockHeader{p::kBlockTypeSubnode, 0, 1}.write(sl, l);
  p::SlEntry{0x3F, big, 0}.write(sl, l);
  p::BlockId sub = pst.block(sl, true);
  m::Bytes records;
  for (std::uint16_t id = 0x8000; id < 0x8000 + 400; ++id) m::putBytes(records, pcRecord(id, m::pt::Binary, 0x3F));
  pst.node(0x200024,
           pst.block(heapBlock(p::heap_client::PropertyContext, hidOf(0), {bthHeader(2, 6, 0, hidOf(1)), records}),
                     false),
           sub);
  m::Bytes file = pst.finish();
  auto store = p::Store::open(source(file));
  try {
    store->readMessage(0x200024);
    ADD_FAILURE() << "400 copies of a 64 KiB value were gathered";
  } catch (const m::Error& e) {
    EXPECT_EQ(e.kind(), m::ErrorKind::Limit);
  }
}

}  // namespace
}  // namespace varnolt::test::pst
