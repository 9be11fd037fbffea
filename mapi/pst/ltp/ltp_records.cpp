#include "mapi/pst/ltp/ltp_records.h"

namespace varnolt::mapi::pst {

std::size_t heapPageHeaderSize(std::size_t block) {
  if (block == 0) return kHeapFirstHeaderSize;
  return block % 128 == 8 ? kHeapBitmapHeaderSize : kHeapPageHeaderSize;
}

HeapHeader HeapHeader::parse(ByteView block) {
  HeapHeader h;
  h.ibHnpm = block.u16(0);
  h.bSig = block.u8(2);
  h.bClientSig = block.u8(3);
  h.hidUserRoot = block.u32(4);
  for (std::size_t i = 0; i < h.rgbFillLevel.size(); ++i) h.rgbFillLevel[i] = block.u8(8 + i);
  return h;
}

void HeapHeader::write(Bytes& out) const {
  putU16(out, ibHnpm);
  putU8(out, bSig);
  putU8(out, bClientSig);
  putU32(out, hidUserRoot);
  for (std::uint8_t b : rgbFillLevel) putU8(out, b);
}

HeapBitmapHeader HeapBitmapHeader::parse(ByteView block) {
  HeapBitmapHeader h;
  h.ibHnpm = block.u16(0);
  for (std::size_t i = 0; i < h.rgbFillLevel.size(); ++i) h.rgbFillLevel[i] = block.u8(2 + i);
  return h;
}

void HeapBitmapHeader::write(Bytes& out) const {
  putU16(out, ibHnpm);
  for (std::uint8_t b : rgbFillLevel) putU8(out, b);
}

HeapPageMap HeapPageMap::parseCounts(ByteView block, std::size_t ibHnpm) {
  HeapPageMap m;
  m.cAlloc = block.u16(ibHnpm);
  m.cFree = block.u16(ibHnpm + 2);
  return m;
}

HeapPageMap HeapPageMap::parse(ByteView block, std::size_t ibHnpm) {
  HeapPageMap m = parseCounts(block, ibHnpm);
  m.rgibAlloc.resize(std::size_t{m.cAlloc} + 1);
  for (std::size_t k = 0; k < m.rgibAlloc.size(); ++k) m.rgibAlloc[k] = block.u16(ibHnpm + 4 + 2 * k);
  return m;
}

void HeapPageMap::write(Bytes& out) const {
  putU16(out, cAlloc);
  putU16(out, cFree);
  for (std::uint16_t o : rgibAlloc) putU16(out, o);
}

BthHeader BthHeader::parse(ByteView v) {
  return {v.u8(0), v.u8(1), v.u8(2), v.u8(3), v.u32(4)};
}

void BthHeader::write(Bytes& out) const {
  putU8(out, bType);
  putU8(out, cbKey);
  putU8(out, cbEnt);
  putU8(out, bIdxLevels);
  putU32(out, hidRoot);
}

TableColumn TableColumn::parse(ByteView v, std::size_t off) {
  return {v.u32(off), v.u16(off + 4), v.u8(off + 6), v.u8(off + 7)};
}

void TableColumn::write(Bytes& out) const {
  putU32(out, tag);
  putU16(out, offset);
  putU8(out, size);
  putU8(out, bit);
}

TcInfo TcInfo::parse(ByteView v) {
  TcInfo t;
  t.bType = v.u8(0);
  t.cCols = v.u8(1);
  for (std::size_t i = 0; i < t.rgib.size(); ++i) t.rgib[i] = v.u16(2 + 2 * i);
  t.hidRowIndex = v.u32(10);
  t.hnidRows = v.u32(14);
  t.hidIndex = v.u32(18);
  return t;
}

void TcInfo::write(Bytes& out) const {
  putU8(out, bType);
  putU8(out, cCols);
  for (std::uint16_t v : rgib) putU16(out, v);
  putU32(out, hidRowIndex);
  putU32(out, hnidRows);
  putU32(out, hidIndex);
}

}  // namespace varnolt::mapi::pst
