#include "mapi/cfb/format.h"

#include <algorithm>

namespace varnolt::mapi::cfb {

Header Header::parse(ByteView bytes) {
  if (bytes.size() < kHeaderSize) throwTruncated("file is shorter than a compound-file header (512 bytes)");
  if (!std::equal(kSignature.begin(), kSignature.end(), bytes.data()))
    throw Error(ErrorKind::BadFormat, "not a compound file (the signature is missing)");
  Header h;
  h.clsid = Guid::fromBytes(bytes.sub(8, 16));
  h.minorVersion = bytes.u16(24);
  h.majorVersion = bytes.u16(26);
  h.byteOrder = bytes.u16(28);
  h.sectorShift = bytes.u16(30);
  h.miniSectorShift = bytes.u16(32);
  h.numDirSectors = bytes.u32(40);
  h.numFatSectors = bytes.u32(44);
  h.firstDirSector = bytes.u32(48);
  h.transactionSignature = bytes.u32(52);
  h.miniStreamCutoff = bytes.u32(56);
  h.firstMiniFatSector = bytes.u32(60);
  h.numMiniFatSectors = bytes.u32(64);
  h.firstDifatSector = bytes.u32(68);
  h.numDifatSectors = bytes.u32(72);
  for (std::size_t i = 0; i < kHeaderDifatEntries; ++i) h.difat[i] = bytes.u32(76 + 4 * i);
  return h;
}

Bytes Header::serialize() const {
  Bytes out;
  out.reserve(kHeaderSize);
  putBytes(out, ByteView(kSignature.data(), kSignature.size()));
  putBytes(out, ByteView(clsid.bytes.data(), clsid.bytes.size()));
  putU16(out, minorVersion);
  putU16(out, majorVersion);
  putU16(out, byteOrder);
  putU16(out, sectorShift);
  putU16(out, miniSectorShift);
  putU16(out, 0);  // reserved
  putU32(out, 0);  // reserved
  putU32(out, numDirSectors);
  putU32(out, numFatSectors);
  putU32(out, firstDirSector);
  putU32(out, transactionSignature);
  putU32(out, miniStreamCutoff);
  putU32(out, firstMiniFatSector);
  putU32(out, numMiniFatSectors);
  putU32(out, firstDifatSector);
  putU32(out, numDifatSectors);
  for (auto sid : difat) putU32(out, sid);
  return out;
}

DirEntry DirEntry::parse(ByteView bytes) {
  bytes.require(0, kDirEntrySize, "directory entry");
  DirEntry e;
  for (std::size_t i = 0; i < e.name.size(); ++i) e.name[i] = bytes.u16(2 * i);
  e.nameLength = bytes.u16(64);
  e.type = static_cast<ObjectType>(bytes.u8(66));
  e.color = static_cast<Color>(bytes.u8(67));
  e.left = bytes.u32(68);
  e.right = bytes.u32(72);
  e.child = bytes.u32(76);
  e.clsid = Guid::fromBytes(bytes.sub(80, 16));
  e.stateBits = bytes.u32(96);
  e.creationTime = bytes.u64(100);
  e.modifiedTime = bytes.u64(108);
  e.startSector = bytes.u32(116);
  e.streamSize = bytes.u64(120);
  return e;
}

void DirEntry::serializeTo(Bytes& out) const {
  for (auto unit : name) putU16(out, unit);
  putU16(out, nameLength);
  putU8(out, static_cast<std::uint8_t>(type));
  putU8(out, static_cast<std::uint8_t>(color));
  putU32(out, left);
  putU32(out, right);
  putU32(out, child);
  putBytes(out, ByteView(clsid.bytes.data(), clsid.bytes.size()));
  putU32(out, stateBits);
  putU64(out, creationTime);
  putU64(out, modifiedTime);
  putU32(out, startSector);
  putU64(out, streamSize);
}

}  // namespace varnolt::mapi::cfb
