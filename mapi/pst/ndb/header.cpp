#include "mapi/pst/ndb/header.h"

#include <algorithm>

#include "mapi/error.h"
#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/describe.h"

namespace varnolt::mapi::pst {

Header Header::identify(ByteView bytes, const std::string& truncated) {
  if (bytes.size() < 4 || bytes.u32(header_field::dwMagic) != kHeaderMagic)
    throw Error(ErrorKind::BadFormat, "not a PST file: it does not begin with the !BDN signature");
  if (bytes.size() < header_field::identityEnd) throw Error(ErrorKind::Truncated, truncated);

  Header h;
  h.clientMagic = bytes.u16(header_field::wMagicClient);
  h.version = bytes.u16(header_field::wVer);
  if (h.clientMagic == kClientPab)
    throw Error(ErrorKind::Unsupported, "a personal address book (PAB), not a PST or OST file",
                header_field::wMagicClient);
  if (h.clientMagic != kClientPst && h.clientMagic != kClientOst)
    throw Error(ErrorKind::BadFormat, "not a PST file: unknown client signature " + hexText(h.clientMagic),
                header_field::wMagicClient);
  if (h.version == kVersionAnsiLow || h.version == kVersionAnsiHigh) {
    h.layout = FileLayout::Ansi;
  } else if (h.version >= kVersionUnicode) {
    h.layout = FileLayout::Unicode;
  } else {
    throw Error(ErrorKind::Unsupported, "unknown PST file version " + std::to_string(h.version), header_field::wVer);
  }
  return h;
}

Header Header::decode(ByteView bytes, FileLayout layout) {
  Header h;
  h.layout = layout;
  const Layout& l = h.sizes();
  const HeaderOffsets& o = HeaderOffsets::of(layout);
  h.crcPartial = bytes.u32(header_field::dwCrcPartial);
  h.clientMagic = bytes.u16(header_field::wMagicClient);
  h.version = bytes.u16(header_field::wVer);
  h.clientVersion = bytes.u16(header_field::wVerClient);
  h.platformCreate = bytes.u8(header_field::bPlatformCreate);
  h.platformAccess = bytes.u8(header_field::bPlatformAccess);
  h.bidNextB = readId(bytes, o.bidNextB, l);
  h.bidNextP = readId(bytes, o.bidNextP, l);
  h.dwUnique = bytes.u32(o.dwUnique);
  for (std::size_t i = 0; i < h.rgnid.size(); ++i) h.rgnid[i] = bytes.u32(o.rgnid + 4 * i);
  h.ibFileEof = readId(bytes, o.ibFileEof, l);
  h.ibAMapLast = readId(bytes, o.ibAMapLast, l);
  h.cbAMapFree = readId(bytes, o.cbAMapFree, l);
  h.cbPMapFree = readId(bytes, o.cbPMapFree, l);
  h.nbtRoot = Bref::parse(bytes, o.brefNbt, l);
  h.bbtRoot = Bref::parse(bytes, o.brefBbt, l);
  h.amapValid = bytes.u8(o.fAMapValid);
  h.sentinel = bytes.u8(o.bSentinel);
  h.crypt = static_cast<CryptMethod>(bytes.u8(o.bCryptMethod));
  if (layout == FileLayout::Unicode) h.crcFull = bytes.u32(o.dwCrcFull);
  return h;
}

Header Header::parse(ByteView bytes, std::uint64_t fileSize, bool verifyCrc) {
  if (fileSize == 0) throw Error(ErrorKind::BadFormat, "not a PST file: the file is empty");
  const std::string truncated =
      "the file is truncated: it ends inside the PST header (" + std::to_string(fileSize) + " bytes)";
  const Header identity = identify(bytes, truncated);
  if (identity.version == kVersionUnicode4k)
    throw Error(ErrorKind::Unsupported,
                "the 4 KiB-page layout of Outlook 2013 OST files (version 36) is not supported", header_field::wVer);
  if (bytes.size() < identity.sizes().headerSize) throw Error(ErrorKind::Truncated, truncated);

  Header h = decode(bytes, identity.layout);
  const HeaderOffsets& o = HeaderOffsets::of(h.layout);
  // dwCRCPartial covers wMagicClient and the 469 bytes after it; Unicode
  // files add dwCRCFull over 516 bytes.
  if (verifyCrc && computeCrc(bytes.sub(kHeaderCrcStart, kHeaderCrcPartialLength)) != h.crcPartial)
    throw Error(ErrorKind::Checksum, "bad checksum of the PST header", header_field::dwCrcPartial);
  if (verifyCrc && h.layout == FileLayout::Unicode &&
      computeCrc(bytes.sub(kHeaderCrcStart, kHeaderCrcFullLength)) != h.crcFull)
    throw Error(ErrorKind::Checksum, "bad checksum of the PST header", o.dwCrcFull);
  if (h.sentinel != kHeaderSentinel)
    throw Error(ErrorKind::Corrupt, "bad PST header: the sentinel byte is missing", o.bSentinel);
  if (h.crypt > CryptMethod::Cyclic)
    throw Error(ErrorKind::Unsupported, "unknown encryption method " + hexText(static_cast<std::uint8_t>(h.crypt)),
                o.bCryptMethod);
  return h;
}

Header Header::read(const ByteSource& source, bool verifyCrc) {
  std::uint64_t size = source.size();
  Bytes bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, Layout::unicode().headerSize)));
  source.readAt(0, bytes.data(), bytes.size());
  return parse(bytes, size, verifyCrc);
}

}  // namespace varnolt::mapi::pst
