#include "mapi/pst/ndb/records.h"

#include "mapi/pst/ndb/crc.h"

namespace varnolt::mapi::pst {

void putId(Bytes& out, std::uint64_t value, const Layout& l) {
  if (l.idSize == 4) {
    putU32(out, static_cast<std::uint32_t>(value));
  } else {
    putU64(out, value);
  }
}

Bref Bref::parse(ByteView v, std::size_t off, const Layout& l) {
  return {readId(v, off, l), readId(v, off + l.idSize, l)};
}

void Bref::write(Bytes& out, const Layout& l) const {
  putId(out, bid, l);
  putId(out, ib, l);
}

PageTrailer PageTrailer::parse(ByteView page, const Layout& l) {
  std::size_t t = l.pageSize - l.pageTrailerSize;
  PageTrailer r;
  r.ptype = page.u8(t);
  r.ptypeRepeat = page.u8(t + 1);
  r.wSig = page.u16(t + 2);
  if (l.kind == FileLayout::Ansi) {
    r.bid = page.u32(t + 4);
    r.dwCrc = page.u32(t + 8);
  } else {
    r.dwCrc = page.u32(t + 4);
    r.bid = page.u64(t + 8);
  }
  return r;
}

void PageTrailer::stamp(Bytes& page, std::uint8_t ptype, BlockId bid, std::uint64_t ib, const Layout& l) {
  std::size_t t = l.pageSize - l.pageTrailerSize;
  page.resize(l.pageSize);
  page[t] = ptype;
  page[t + 1] = ptype;
  // Only B-tree pages carry a signature; the maps leave it zero.
  bool btree = ptype == page_type::BlockBTree || ptype == page_type::NodeBTree;
  setU16(page, t + 2, btree ? computeSignature(ib, bid) : 0);
  std::uint32_t crc = computeCrc(ByteView(page.data(), t));
  if (l.kind == FileLayout::Ansi) {
    setU32(page, t + 4, static_cast<std::uint32_t>(bid));
    setU32(page, t + 8, crc);
  } else {
    setU32(page, t + 4, crc);
    setU64(page, t + 8, bid);
  }
}

BtPageMeta BtPageMeta::parse(ByteView page, const Layout& l) {
  std::size_t m = l.btEntriesSize;
  return {page.u8(m), page.u8(m + 1), page.u8(m + 2), page.u8(m + 3)};
}

void BtPageMeta::write(Bytes& page, const Layout& l) const {
  std::size_t m = l.btEntriesSize;
  page.at(m) = static_cast<std::uint8_t>(cEnt);
  page.at(m + 1) = static_cast<std::uint8_t>(cEntMax);
  page.at(m + 2) = static_cast<std::uint8_t>(cbEnt);
  page.at(m + 3) = cLevel;
}

BtBranchEntry BtBranchEntry::parse(ByteView v, std::size_t off, const Layout& l) {
  return {readId(v, off, l), Bref::parse(v, off + l.idSize, l)};
}

void BtBranchEntry::write(Bytes& out, const Layout& l) const {
  putId(out, key, l);
  bref.write(out, l);
}

BbtEntry BbtEntry::parse(ByteView v, std::size_t off, const Layout& l) {
  BbtEntry e;
  e.bref = Bref::parse(v, off, l);
  e.cb = v.u16(off + 2 * l.idSize);
  e.cRef = v.u16(off + 2 * l.idSize + 2);
  return e;
}

void BbtEntry::write(Bytes& out, const Layout& l) const {
  bref.write(out, l);
  putU16(out, cb);
  putU16(out, cRef);
  if (l.kind == FileLayout::Unicode) putU32(out, 0);  // dwPadding
}

NbtEntry NbtEntry::parse(ByteView v, std::size_t off, const Layout& l) {
  NbtEntry e;
  // In Unicode files the NID is widened to 64 bits; only the low 32 count.
  e.nid = v.u32(off);
  e.bidData = readId(v, off + l.idSize, l);
  e.bidSub = readId(v, off + 2 * l.idSize, l);
  e.nidParent = v.u32(off + 3 * l.idSize);
  return e;
}

void NbtEntry::write(Bytes& out, const Layout& l) const {
  putId(out, nid, l);
  putId(out, bidData, l);
  putId(out, bidSub, l);
  putU32(out, nidParent);
  if (l.kind == FileLayout::Unicode) putU32(out, 0);  // dwPadding
}

BlockTrailer BlockTrailer::parse(ByteView v, std::size_t off, const Layout& l) {
  BlockTrailer t;
  t.cb = v.u16(off);
  t.wSig = v.u16(off + 2);
  if (l.kind == FileLayout::Ansi) {
    t.bid = v.u32(off + 4);
    t.dwCrc = v.u32(off + 8);
  } else {
    t.dwCrc = v.u32(off + 4);
    t.bid = v.u64(off + 8);
  }
  return t;
}

void BlockTrailer::write(Bytes& out, const Layout& l) const {
  putU16(out, cb);
  putU16(out, wSig);
  if (l.kind == FileLayout::Ansi) {
    putU32(out, static_cast<std::uint32_t>(bid));
    putU32(out, dwCrc);
  } else {
    putU32(out, dwCrc);
    putU64(out, bid);
  }
}

std::size_t blockDiskSize(std::size_t cb, const Layout& l) {
  std::size_t raw = cb + l.blockTrailerSize;
  return (raw + l.blockAlign - 1) / l.blockAlign * l.blockAlign;
}

std::uint16_t computeSignature(std::uint64_t ib, BlockId bid) {
  std::uint64_t x = ib ^ bid;
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(x >> 16) ^ static_cast<std::uint16_t>(x));
}

XBlockHeader XBlockHeader::parse(ByteView v) {
  return {v.u8(0), v.u8(1), v.u16(2), v.u32(4)};
}

void XBlockHeader::write(Bytes& out) const {
  putU8(out, btype);
  putU8(out, cLevel);
  putU16(out, cEnt);
  putU32(out, lcbTotal);
}

SubnodeBlockHeader SubnodeBlockHeader::parse(ByteView v) { return {v.u8(0), v.u8(1), v.u16(2)}; }

void SubnodeBlockHeader::write(Bytes& out, const Layout& l) const {
  putU8(out, btype);
  putU8(out, cLevel);
  putU16(out, cEnt);
  if (l.kind == FileLayout::Unicode) putU32(out, 0);  // dwPadding
}

SlEntry SlEntry::parse(ByteView v, std::size_t off, const Layout& l) {
  return {v.u32(off), readId(v, off + l.idSize, l), readId(v, off + 2 * l.idSize, l)};
}

void SlEntry::write(Bytes& out, const Layout& l) const {
  putId(out, nid, l);
  putId(out, bidData, l);
  putId(out, bidSub, l);
}

SiEntry SiEntry::parse(ByteView v, std::size_t off, const Layout& l) {
  return {v.u32(off), readId(v, off + l.idSize, l)};
}

void SiEntry::write(Bytes& out, const Layout& l) const {
  putId(out, nid, l);
  putId(out, bid, l);
}

}  // namespace varnolt::mapi::pst
