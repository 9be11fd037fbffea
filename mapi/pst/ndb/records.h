#pragma once
// The raw records of the node database as they lie on disk, in either
// layout, with a parser and a writer for each ([MS-PST] 2.2.2). Nothing
// here checks one record against another; the reader does that. The
// writer builds its pages and blocks from the same records.

#include <cstdint>
#include <vector>

#include "mapi/pst/ndb/ids.h"
#include "mapi/pst/ndb/layout.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

// Reads and appends one id-sized value (4 or 8 bytes). Reading is inline:
// every B-tree lookup reads dozens of ids.
inline std::uint64_t readId(ByteView v, std::size_t off, const Layout& l) {
  return l.idSize == 4 ? std::uint64_t{v.u32(off)} : v.u64(off);
}
void putId(Bytes& out, std::uint64_t value, const Layout& l);

// BREF ([MS-PST] 2.2.2.4): a block id and the file offset of the block.
struct Bref {
  BlockId bid = 0;
  std::uint64_t ib = 0;

  static Bref parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// PAGETRAILER ([MS-PST] 2.2.2.7.1). In ANSI files the BID comes before
// the CRC, in Unicode files after it.
struct PageTrailer {
  std::uint8_t ptype = 0;
  std::uint8_t ptypeRepeat = 0;
  std::uint16_t wSig = 0;
  std::uint32_t dwCrc = 0;
  BlockId bid = 0;

  // From a whole page.
  static PageTrailer parse(ByteView page, const Layout& l);
  // Fills in the trailer of a whole page (type, signature, CRC of the data).
  static void stamp(Bytes& page, std::uint8_t ptype, BlockId bid, std::uint64_t ib, const Layout& l);
};

// The metadata after the entries of a BTPAGE ([MS-PST] 2.2.2.7.7.1).
struct BtPageMeta {
  std::size_t cEnt = 0;
  std::size_t cEntMax = 0;
  std::size_t cbEnt = 0;
  std::uint8_t cLevel = 0;

  static BtPageMeta parse(ByteView page, const Layout& l);
  void write(Bytes& page, const Layout& l) const;
};

// BTENTRY ([MS-PST] 2.2.2.7.7.2): the entry of a branch page.
struct BtBranchEntry {
  std::uint64_t key = 0;  // the lowest key below the child page
  Bref bref;

  static BtBranchEntry parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// BBTENTRY ([MS-PST] 2.2.2.7.7.3): where a block lies and how big it is.
struct BbtEntry {
  Bref bref;
  std::uint16_t cb = 0;    // bytes of data, without trailer and padding
  std::uint16_t cRef = 0;  // reference count

  static BbtEntry parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// NBTENTRY ([MS-PST] 2.2.2.7.7.4): a node's data and subnode blocks.
struct NbtEntry {
  NodeId nid = 0;
  BlockId bidData = 0;
  BlockId bidSub = 0;
  NodeId nidParent = 0;

  static NbtEntry parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// BLOCKTRAILER ([MS-PST] 2.2.2.8.1). ANSI: cb, wSig, bid, dwCRC; Unicode:
// cb, wSig, dwCRC, bid.
struct BlockTrailer {
  std::uint16_t cb = 0;
  std::uint16_t wSig = 0;
  std::uint32_t dwCrc = 0;
  BlockId bid = 0;

  static BlockTrailer parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// The size of a block on disk: data, trailer, padding to the alignment.
std::size_t blockDiskSize(std::size_t cb, const Layout& l);
// wSig of pages and blocks ([MS-PST] 5.5 ComputeSig).
std::uint16_t computeSignature(std::uint64_t ib, BlockId bid);

// XBLOCK / XXBLOCK header ([MS-PST] 2.2.2.8.3.2.1, 2.2.2.8.3.2.2).
struct XBlockHeader {
  std::uint8_t btype = kBlockTypeXBlock;
  std::uint8_t cLevel = 1;  // 1: XBLOCK (lists data blocks), 2: XXBLOCK (lists XBLOCKs)
  std::uint16_t cEnt = 0;
  std::uint32_t lcbTotal = 0;

  static XBlockHeader parse(ByteView v);
  void write(Bytes& out) const;
};

// SLBLOCK / SIBLOCK header ([MS-PST] 2.2.2.8.3.3.1).
struct SubnodeBlockHeader {
  std::uint8_t btype = kBlockTypeSubnode;
  std::uint8_t cLevel = 0;  // 0: SLBLOCK, 1: SIBLOCK
  std::uint16_t cEnt = 0;

  static SubnodeBlockHeader parse(ByteView v);
  void write(Bytes& out, const Layout& l) const;
};

// SLENTRY ([MS-PST] 2.2.2.8.3.3.1.1).
struct SlEntry {
  NodeId nid = 0;
  BlockId bidData = 0;
  BlockId bidSub = 0;

  static SlEntry parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

// SIENTRY ([MS-PST] 2.2.2.8.3.3.2.1).
struct SiEntry {
  NodeId nid = 0;
  BlockId bid = 0;

  static SiEntry parse(ByteView v, std::size_t off, const Layout& l);
  void write(Bytes& out, const Layout& l) const;
};

}  // namespace varnolt::mapi::pst
