#include "mapi/pst/header.h"

#include <algorithm>
#include <cstdio>

#include "mapi/error.h"
#include "mapi/pst/crc.h"

namespace varnolt::mapi::pst {
namespace {

std::string hex(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

Header Header::parse(ByteView bytes, std::uint64_t fileSize, bool verifyCrc) {
  if (fileSize == 0) throw Error(ErrorKind::BadFormat, "not a PST file: the file is empty");
  if (bytes.size() < 4 || bytes.u32(0) != kHeaderMagic)
    throw Error(ErrorKind::BadFormat, "not a PST file: it does not begin with the !BDN signature");
  if (bytes.size() < 12)
    throw Error(ErrorKind::Truncated, "the file is truncated: it ends inside the PST header (" +
                                          std::to_string(fileSize) + " bytes)");

  Header h;
  h.clientMagic = bytes.u16(8);
  h.version = bytes.u16(10);
  if (h.clientMagic == kClientPab)
    throw Error(ErrorKind::Unsupported, "a personal address book (PAB), not a PST or OST file", 8);
  if (h.clientMagic != kClientPst && h.clientMagic != kClientOst)
    throw Error(ErrorKind::BadFormat, "not a PST file: unknown client signature " + hex(h.clientMagic), 8);
  if (h.version == kVersionAnsiLow || h.version == kVersionAnsiHigh) {
    h.layout = FileLayout::Ansi;
  } else if (h.version == kVersionUnicode4k) {
    throw Error(ErrorKind::Unsupported,
                "the 4 KiB-page layout of Outlook 2013 OST files (version 36) is not supported", 10);
  } else if (h.version >= kVersionUnicode) {
    h.layout = FileLayout::Unicode;
  } else {
    throw Error(ErrorKind::Unsupported, "unknown PST file version " + std::to_string(h.version), 10);
  }

  const Layout& l = h.sizes();
  const HeaderOffsets& o = HeaderOffsets::of(h.layout);
  if (bytes.size() < l.headerSize)
    throw Error(ErrorKind::Truncated, "the file is truncated: it ends inside the PST header (" +
                                          std::to_string(fileSize) + " bytes)");

  // dwCRCPartial covers wMagicClient and the 469 bytes after it; Unicode
  // files add dwCRCFull over 516 bytes.
  std::uint32_t partial = computeCrc(bytes.sub(kHeaderCrcStart, kHeaderCrcPartialLength));
  if (verifyCrc && partial != bytes.u32(4))
    throw Error(ErrorKind::Checksum, "bad checksum of the PST header", 4);
  if (verifyCrc && h.layout == FileLayout::Unicode) {
    std::uint32_t full = computeCrc(bytes.sub(kHeaderCrcStart, kHeaderCrcFullLength));
    if (full != bytes.u32(o.dwCrcFull))
      throw Error(ErrorKind::Checksum, "bad checksum of the PST header", o.dwCrcFull);
  }
  if (bytes.u8(o.bSentinel) != kHeaderSentinel)
    throw Error(ErrorKind::Corrupt, "bad PST header: the sentinel byte is missing", o.bSentinel);

  h.clientVersion = bytes.u16(12);
  h.platformCreate = bytes.u8(14);
  h.platformAccess = bytes.u8(15);
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

  std::uint8_t crypt = bytes.u8(o.bCryptMethod);
  if (crypt > static_cast<std::uint8_t>(CryptMethod::Cyclic))
    throw Error(ErrorKind::Unsupported, "unknown encryption method " + hex(crypt),
                o.bCryptMethod);
  h.crypt = static_cast<CryptMethod>(crypt);
  return h;
}

Header Header::read(const ByteSource& source, bool verifyCrc) {
  std::uint64_t size = source.size();
  Bytes bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, Layout::unicode().headerSize)));
  source.readAt(0, bytes.data(), bytes.size());
  return parse(bytes, size, verifyCrc);
}

}  // namespace varnolt::mapi::pst
