#pragma once
// Helpers for the PST tests: a small builder of Unicode PST images for
// crafted (often hostile) structures, heap and table builders, re-encoding
// a file under another encryption, and reading a whole store into plain
// values that compare.

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/crypt.h"
#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/messaging/store.h"
#include "mapi/util/text.h"
#include "tests/support/test_support.h"

namespace varnolt::test::pst {

namespace m = varnolt::mapi;
namespace p = varnolt::mapi::pst;

// Builds a Unicode PST image block by block and page by page. Nothing is
// checked: the point is to make files the reader must refuse.
class MiniPst {
 public:
  MiniPst() { file_.assign(0x4400, 0); }

  const p::Layout& layout() const { return p::Layout::unicode(); }

  // The bid the next block will get.
  p::BlockId nextBid(bool internal) const { return next_ | (internal ? 2u : 0u); }

  // Appends a block; external blocks are left as given (no encryption).
  p::BlockId block(const m::Bytes& data, bool internal) {
    p::BlockId bid = nextBid(internal);
    next_ += 4;
    blockAt(bid, data);
    return bid;
  }

  // Appends a block with a given bid (to make two entries name one block).
  void blockAt(p::BlockId bid, const m::Bytes& data) {
    const p::Layout& l = layout();
    std::uint64_t ib = file_.size();
    m::Bytes b = data;
    b.resize(p::blockDiskSize(data.size(), l) - l.blockTrailerSize, 0);
    p::BlockTrailer t;
    t.cb = static_cast<std::uint16_t>(data.size());
    t.bid = bid;
    t.wSig = p::computeSignature(ib, bid);
    t.dwCrc = p::computeCrc(data);
    t.write(b, l);
    m::putBytes(file_, b);
    p::BbtEntry e;
    e.bref = {bid, ib};
    e.cb = t.cb;
    e.cRef = 1;
    blocks_.push_back(e);
  }

  void node(p::NodeId nid, p::BlockId data, p::BlockId sub = 0, p::NodeId parent = 0) {
    nodes_.push_back({nid, data, sub, parent});
  }

  // Where the next page will go (so a page can point at itself).
  p::Bref nextPage() const { return {next_, (file_.size() + 511) / 512 * 512}; }

  // Appends a B-tree page of the given entries (already laid out) and
  // returns where it lies. `bid` is the page's own id.
  p::Bref page(std::uint8_t ptype, std::uint8_t level, const std::vector<m::Bytes>& entries, std::size_t entrySize) {
    const p::Layout& l = layout();
    while (file_.size() % 512 != 0) file_.push_back(0);
    p::Bref where{next_, file_.size()};
    next_ += 4;
    m::Bytes pg;
    for (const auto& e : entries) m::putBytes(pg, e);
    pg.resize(l.pageSize, 0);
    p::BtPageMeta meta{entries.size(), l.btEntriesSize / entrySize, entrySize, level};
    meta.write(pg, l);
    p::PageTrailer::stamp(pg, ptype, where.bid, where.ib, l);
    m::putBytes(file_, pg);
    return where;
  }

  // Leaf pages listing every block and node added so far (one page each).
  p::Bref blockLeaf() {
    std::vector<m::Bytes> entries;
    auto sorted = blocks_;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.bref.bid < b.bref.bid; });
    for (const auto& e : sorted) {
      m::Bytes b;
      e.write(b, layout());
      entries.push_back(b);
    }
    return page(p::page_type::BlockBTree, 0, entries, layout().bbtEntrySize);
  }
  p::Bref nodeLeaf() {
    std::vector<m::Bytes> entries;
    auto sorted = nodes_;
    std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return a.nid < b.nid; });
    for (const auto& e : sorted) {
      m::Bytes b;
      e.write(b, layout());
      entries.push_back(b);
    }
    return page(p::page_type::NodeBTree, 0, entries, layout().nbtEntrySize);
  }

  static m::Bytes branchEntry(std::uint64_t key, p::Bref child) {
    m::Bytes b;
    p::BtBranchEntry{key, child}.write(b, p::Layout::unicode());
    return b;
  }

  // The finished image with the given B-tree roots.
  m::Bytes finish(p::Bref nbtRoot, p::Bref bbtRoot, p::CryptMethod crypt = p::CryptMethod::None) {
    const p::Layout& l = layout();
    const p::HeaderOffsets& o = p::HeaderOffsets::of(p::FileLayout::Unicode);
    m::Bytes f = file_;
    m::setU32(f, 0, p::kHeaderMagic);
    m::setU16(f, 8, p::kClientPst);
    m::setU16(f, 10, p::kVersionUnicode);
    m::setU16(f, 12, 19);
    f[14] = 1;
    f[15] = 1;
    m::setU64(f, o.bidNextB, next_);
    m::setU64(f, o.ibFileEof, f.size());
    m::setU64(f, o.brefNbt, nbtRoot.bid);
    m::setU64(f, o.brefNbt + 8, nbtRoot.ib);
    m::setU64(f, o.brefBbt, bbtRoot.bid);
    m::setU64(f, o.brefBbt + 8, bbtRoot.ib);
    f[o.bSentinel] = p::kHeaderSentinel;
    f[o.bCryptMethod] = static_cast<std::uint8_t>(crypt);
    (void)l;
    restampHeader(f);
    return f;
  }
  // The usual finish: one leaf page per tree.
  m::Bytes finish() {
    p::Bref bbt = blockLeaf();
    p::Bref nbt = nodeLeaf();
    return finish(nbt, bbt);
  }

  // Recomputes the header CRCs after the header was changed.
  static void restampHeader(m::Bytes& f) {
    bool ansi = m::ByteView(f).u16(10) <= p::kVersionAnsiHigh;
    m::setU32(f, 4, p::computeCrc(m::ByteView(f).sub(p::kHeaderCrcStart, p::kHeaderCrcPartialLength)));
    if (!ansi) m::setU32(f, 524, p::computeCrc(m::ByteView(f).sub(p::kHeaderCrcStart, p::kHeaderCrcFullLength)));
  }

 private:
  m::Bytes file_;
  std::vector<p::BbtEntry> blocks_;
  std::vector<p::NbtEntry> nodes_;
  p::BlockId next_ = 4;
};

// A one-block heap: HNHDR, the items, the page map. Item k has HID hidOf(k).
inline m::Bytes heapBlock(std::uint8_t clientSig, p::Hid userRoot, const std::vector<m::Bytes>& items) {
  m::Bytes b(12, 0);
  b[2] = p::kHeapSignature;
  b[3] = clientSig;
  m::setU32(b, 4, userRoot);
  std::vector<std::uint16_t> offsets{12};
  for (const auto& it : items) {
    m::putBytes(b, it);
    offsets.push_back(static_cast<std::uint16_t>(b.size()));
  }
  if (b.size() % 2) b.push_back(0);
  m::setU16(b, 0, static_cast<std::uint16_t>(b.size()));
  m::putU16(b, static_cast<std::uint16_t>(items.size()));
  m::putU16(b, 0);
  for (auto o : offsets) m::putU16(b, o);
  return b;
}
constexpr p::Hid hidOf(std::size_t k) { return static_cast<p::Hid>((k + 1) << 5); }

// BTHHEADER.
inline m::Bytes bthHeader(std::uint8_t keySize, std::uint8_t valueSize, std::uint8_t levels, p::Hid root) {
  m::Bytes b{0xB5, keySize, valueSize, levels};
  m::putU32(b, root);
  return b;
}

// One PC record: id, type, inline value or HNID.
inline m::Bytes pcRecord(std::uint16_t id, std::uint16_t type, std::uint32_t value) {
  m::Bytes b;
  m::putU16(b, id);
  m::putU16(b, type);
  m::putU32(b, value);
  return b;
}

// Copies a store's encoded data blocks under another encryption method,
// CRCs and header restamped: the same content, other bytes on disk.
inline m::Bytes reencode(const m::Bytes& file, p::CryptMethod to) {
  auto source = std::make_shared<p::MemorySource>(file);
  p::NodeDatabase db(source);
  const p::Layout& l = db.layout();
  m::Bytes out = file;
  db.blockTree().forEachBlock([&](const p::BbtEntry& e) {
    if (p::isInternalBid(e.bref.bid)) return;
    m::Bytes data = db.readBlock(e);
    p::encodeBlock(to, e.bref.bid, data.data(), data.size());
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(e.bref.ib));
    std::size_t trailer = static_cast<std::size_t>(e.bref.ib) + p::blockDiskSize(e.cb, l) - l.blockTrailerSize;
    m::setU32(out, trailer + (l.kind == p::FileLayout::Ansi ? 8 : 4), p::computeCrc(data));
  });
  out[p::HeaderOffsets::of(l.kind).bCryptMethod] = static_cast<std::uint8_t>(to);
  MiniPst::restampHeader(out);
  return out;
}

// Everything a store holds, read strictly: folder paths (root excluded)
// in walk order with their messages.
struct FolderContent {
  std::vector<std::string> path;
  m::PropertyBag props;
  std::vector<m::Message> messages;
  bool operator==(const FolderContent&) const = default;
};

inline std::vector<FolderContent> readEverything(const p::Store& store) {
  std::vector<FolderContent> out;
  std::set<p::NodeId> seen;
  std::function<void(const p::Folder&, const std::vector<std::string>&)> walk =
      [&](const p::Folder& f, const std::vector<std::string>& path) {
        for (p::NodeId id : f.subfolderIds()) {
          if (!seen.insert(id).second) continue;
          p::Folder child = store.folder(id);
          FolderContent c;
          c.path = path;
          c.path.push_back(child.displayName());
          c.props = child.properties();
          for (p::NodeId mid : child.messageIds()) c.messages.push_back(store.readMessage(mid));
          for (p::NodeId mid : child.associatedMessageIds()) c.messages.push_back(store.readMessage(mid));
          out.push_back(c);
          walk(child, c.path);
        }
      };
  walk(store.rootFolder(), {});
  return out;
}

}  // namespace varnolt::test::pst

namespace varnolt::test::pst {

// Hashes every sample before the first test and checks after the last
// that none of them changed: the reader must never write to its source.
class SamplesUnchanged : public ::testing::Environment {
 public:
  void SetUp() override {
    if (samplesDir().empty()) return;
    for (const auto& f : fs::recursive_directory_iterator(samplesDir()))
      if (f.is_regular_file()) before_[f.path()] = fileSha256(f.path());
  }
  void TearDown() override {
    for (const auto& [path, hash] : before_) EXPECT_EQ(fileSha256(path), hash) << path << " was changed";
  }

 private:
  std::map<fs::path, std::string> before_;
};

inline std::vector<fs::path> pstSamples() { return sampleFiles("pst", ".pst"); }

}  // namespace varnolt::test::pst

namespace varnolt::test::pst {

// A property context heap. Values of inline types go in the record; an
// entry with `hnid` set points elsewhere (a subnode); other values become
// heap items.
struct PcValue {
  std::uint16_t id;
  std::uint16_t type;
  m::Bytes bytes;
  std::uint32_t hnid = 0;
};

inline m::Bytes pcHeap(std::vector<PcValue> values) {
  std::sort(values.begin(), values.end(), [](const PcValue& a, const PcValue& b) { return a.id < b.id; });
  std::vector<m::Bytes> items{bthHeader(2, 6, 0, hidOf(1)), {}};
  for (const auto& v : values) {
    std::uint32_t value = v.hnid;
    if (!v.hnid && p::storedInline(v.type)) {
      m::Bytes b = v.bytes;
      b.resize(4, 0);
      value = m::ByteView(b).u32(0);
    } else if (!v.hnid) {
      items.push_back(v.bytes);
      value = hidOf(items.size() - 1);
    }
    m::putBytes(items[1], pcRecord(v.id, v.type, value));
  }
  return heapBlock(p::heap_client::PropertyContext, hidOf(0), items);
}

// A table context heap with only the row id and row version columns.
inline m::Bytes tcHeap(const std::vector<std::uint32_t>& rowIds) {
  m::Bytes tcinfo{0x7C, 2};
  for (std::uint16_t v : std::initializer_list<std::uint16_t>{8, 8, 8, 9}) m::putU16(tcinfo, v);
  m::putU32(tcinfo, hidOf(1));
  m::putU32(tcinfo, rowIds.empty() ? 0 : hidOf(3));
  m::putU32(tcinfo, 0);
  for (auto [tag, off, bit] : {std::tuple{p::kTagLtpRowId, 0, 0}, std::tuple{p::kTagLtpRowVersion, 4, 1}}) {
    m::putU32(tcinfo, tag);
    m::putU16(tcinfo, static_cast<std::uint16_t>(off));
    tcinfo.push_back(4);
    tcinfo.push_back(static_cast<std::uint8_t>(bit));
  }
  m::Bytes index, matrix;
  for (std::size_t i = 0; i < rowIds.size(); ++i) {
    m::putU32(index, rowIds[i]);
    m::putU32(index, static_cast<std::uint32_t>(i));
    m::putU32(matrix, rowIds[i]);
    m::putU32(matrix, 1);
    matrix.push_back(0xC0);
  }
  std::vector<m::Bytes> items{tcinfo, bthHeader(4, 4, 0, index.empty() ? 0 : hidOf(2)), index};
  if (!rowIds.empty()) items.push_back(matrix);
  return heapBlock(p::heap_client::TableContext, hidOf(0), items);
}

inline PcValue unicodeValue(std::uint16_t id, const std::string& s) {
  return {id, m::pt::Unicode, m::utf8ToUtf16le(s)};
}

}  // namespace varnolt::test::pst
