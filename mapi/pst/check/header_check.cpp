// The file header ([MS-PST] 2.2.2.6 HEADER, 2.2.2.5 ROOT).

#include <string>

#include "mapi/error.h"
#include "mapi/pst/check/context.h"
#include "mapi/pst/crc.h"

namespace varnolt::mapi::pst::check {
namespace {

// Reserved fields the format says are zero and that every file we have
// seen keeps at zero. Others it calls reserved (qwUnused, rgbReserved2,
// bReserved and rgbReserved3 after dwCRCFull) carry values in files
// Outlook wrote, so they are left alone.
struct ZeroField {
  std::size_t offset;
  std::size_t size;
  const char* name;
};

bool allZero(ByteView v, std::size_t off, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i)
    if (v.u8(off + i) != 0) return false;
  return true;
}

}  // namespace

void checkHeader(Context& c, ByteView h) {
  if (h.size() < 4 || h.u32(0) != kHeaderMagic)
    throw Error(ErrorKind::BadFormat, "not a PST file: it does not begin with the !BDN signature");
  if (h.size() < 12)
    throw Error(ErrorKind::Truncated, "the file is truncated: it ends inside the PST header");

  Header hd;
  hd.clientMagic = h.u16(8);
  hd.version = h.u16(10);
  if (hd.clientMagic == kClientPab)
    throw Error(ErrorKind::Unsupported, "a personal address book (PAB), not a PST or OST file", 8);
  if (hd.clientMagic != kClientPst && hd.clientMagic != kClientOst)
    throw Error(ErrorKind::BadFormat, "not a PST file: unknown client signature " + hexText(hd.clientMagic), 8);
  if (hd.version == kVersionAnsiLow || hd.version == kVersionAnsiHigh) {
    hd.layout = FileLayout::Ansi;
  } else if (hd.version == kVersionUnicode4k) {
    throw Error(ErrorKind::Unsupported,
                "OST: not checked: the 4 KiB-page layout of Outlook 2013 OST files (version 36)", 10);
  } else if (hd.version >= kVersionUnicode) {
    hd.layout = FileLayout::Unicode;
  } else {
    throw Error(ErrorKind::Unsupported, "unknown PST file version " + std::to_string(hd.version), 10);
  }
  const Layout& l = Layout::of(hd.layout);
  const HeaderOffsets& o = HeaderOffsets::of(hd.layout);
  if (h.size() < l.headerSize)
    throw Error(ErrorKind::Truncated, "the file is truncated: it ends inside the PST header");

  hd.clientVersion = h.u16(12);
  hd.platformCreate = h.u8(14);
  hd.platformAccess = h.u8(15);
  hd.bidNextB = readId(h, o.bidNextB, l);
  hd.bidNextP = readId(h, o.bidNextP, l);
  hd.dwUnique = h.u32(o.dwUnique);
  for (std::size_t i = 0; i < hd.rgnid.size(); ++i) hd.rgnid[i] = h.u32(o.rgnid + 4 * i);
  hd.ibFileEof = readId(h, o.ibFileEof, l);
  hd.ibAMapLast = readId(h, o.ibAMapLast, l);
  hd.cbAMapFree = readId(h, o.cbAMapFree, l);
  hd.cbPMapFree = readId(h, o.cbPMapFree, l);
  hd.nbtRoot = Bref::parse(h, o.brefNbt, l);
  hd.bbtRoot = Bref::parse(h, o.brefBbt, l);
  hd.amapValid = h.u8(o.fAMapValid);
  std::uint8_t crypt = h.u8(o.bCryptMethod);
  hd.crypt = crypt <= static_cast<std::uint8_t>(CryptMethod::Cyclic) ? static_cast<CryptMethod>(crypt)
                                                                      : CryptMethod::None;
  c.setHeader(hd);

  if (hd.version > kVersionUnicode && hd.version != 37)
    c.report(10, "header.version", "", "wVer " + std::to_string(hd.version) + " is not a version of the format (14, 15, 23)");
  if (hd.isOst()) {
    c.notChecked("OST: not checked: wVerClient (OST files carry their own client version)");
  } else if (hd.clientVersion != 19) {
    c.report(12, "header.client-version", "", "wVerClient is " + std::to_string(hd.clientVersion) + ", not 19");
  }
  if (hd.platformCreate != 1)
    c.report(14, "header.platform", "", "bPlatformCreate is " + hexText(hd.platformCreate) + ", not 0x01");
  if (hd.platformAccess != 1)
    c.report(15, "header.platform", "", "bPlatformAccess is " + hexText(hd.platformAccess) + ", not 0x01");

  std::uint32_t partial = computeCrc(h.sub(kHeaderCrcStart, kHeaderCrcPartialLength));
  if (partial != h.u32(4))
    c.report(4, "header.crc-partial", "", "dwCRCPartial is " + hexText(h.u32(4)) + " but the bytes give " + hexText(partial));
  if (hd.layout == FileLayout::Unicode) {
    std::uint32_t full = computeCrc(h.sub(kHeaderCrcStart, kHeaderCrcFullLength));
    if (full != h.u32(o.dwCrcFull))
      c.report(o.dwCrcFull, "header.crc-full", "",
               "dwCRCFull is " + hexText(h.u32(o.dwCrcFull)) + " but the bytes give " + hexText(full));
  }
  if (h.u8(o.bSentinel) != kHeaderSentinel)
    c.report(o.bSentinel, "header.sentinel", "", "bSentinel is " + hexText(h.u8(o.bSentinel)) + ", not 0x80");
  if (crypt > static_cast<std::uint8_t>(CryptMethod::Cyclic)) {
    c.report(o.bCryptMethod, "header.crypt", "", "bCryptMethod " + hexText(crypt) + " is not 0x00, 0x01 or 0x02");
    c.notChecked("the contents of external blocks (their encoding is unknown)");
    c.cryptKnown = false;
  }

  // ROOT: the file's size, its maps and its two B-trees.
  const std::uint64_t size = c.fileSize();
  if (hd.ibFileEof != size)
    c.report(o.ibFileEof, "header.file-eof", "",
             "ibFileEof says the file has " + std::to_string(hd.ibFileEof) + " bytes; it has " + std::to_string(size) +
                 (hd.ibFileEof > size ? " (the file is truncated)" : ""));
  if (hd.ibFileEof < kFirstAMapOffset + l.pageSize) {
    c.report(o.ibFileEof, "header.file-eof", "", "ibFileEof " + std::to_string(hd.ibFileEof) + " leaves no room for the first AMap page");
  } else {
    // The file grows by whole AMap sections, so the last AMap follows from
    // the size.
    std::uint64_t span = hd.ibFileEof - kFirstAMapOffset;
    if (span % kAMapCoverage != 0)
      c.report(o.ibFileEof, "header.file-eof", "",
               "ibFileEof " + std::to_string(hd.ibFileEof) + " does not end a whole AMap section (0x4400 + n * 253,952)");
    std::uint64_t sections = (span + kAMapCoverage - 1) / kAMapCoverage;
    std::uint64_t last = kFirstAMapOffset + (sections - 1) * kAMapCoverage;
    if (hd.ibAMapLast != last)
      c.report(o.ibAMapLast, "header.amap-last", "",
               "ibAMapLast is " + hexText(hd.ibAMapLast) + " but the last AMap page of a file this size is at " + hexText(last));
  }
  if (hd.amapValid > 2)
    c.report(o.fAMapValid, "header.amap-valid", "", "fAMapValid " + hexText(hd.amapValid) + " is not 0x00, 0x01 or 0x02");
  struct RootRef {
    Bref bref;
    std::size_t offset;
    const char* name;
  };
  for (const RootRef& r : {RootRef{hd.nbtRoot, o.brefNbt, "BREFNBT"}, RootRef{hd.bbtRoot, o.brefBbt, "BREFBBT"}}) {
    if (r.bref.ib % l.pageSize != 0 || r.bref.ib < kFirstAMapOffset || r.bref.ib >= hd.ibFileEof)
      c.report(r.offset, "header.root", "", std::string(r.name) + " points to " + hexText(r.bref.ib) + ", not a page inside the file");
  }

  std::vector<ZeroField> zeros;
  zeros.push_back({o.fAMapValid + 1, 3, "bReserved and wReserved of ROOT"});
  zeros.push_back({o.bCryptMethod + 1, 2, "rgbReserved"});
  if (hd.layout == FileLayout::Unicode) {
    zeros.push_back({o.rgbFM - 4, 4, "dwAlign"});
  } else {
    zeros.push_back({o.bCryptMethod + 3, 12, "ullReserved and dwReserved"});
  }
  for (const ZeroField& z : zeros) {
    if (!allZero(h, z.offset, z.size)) c.report(z.offset, "header.reserved", "", std::string(z.name) + " is not zero");
  }
  // rgbFM and rgbFP: the format deprecates them and asks for 0xFF, but
  // Outlook-written Unicode files keep old free-map values there; readers
  // ignore them, and so do we.
}

}  // namespace varnolt::mapi::pst::check
