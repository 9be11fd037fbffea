// The file header ([MS-PST] 2.2.2.6 HEADER, 2.2.2.5 ROOT).

#include <string>

#include "mapi/error.h"
#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crc.h"

namespace varnolt::mapi::pst::check {
namespace {

// Reserved fields the format says are zero and that every file we have
// seen keeps at zero. Others it calls reserved (qwUnused, rgbReserved2,
// bReserved and rgbReserved3 after dwCRCFull) carry values in files
// Outlook wrote, so they are left alone.
// What the format asks of wVerClient, bPlatformCreate and bPlatformAccess,
// and the highest fAMapValid it defines.
constexpr std::uint16_t kClientVersion = 19;
constexpr std::uint8_t kPlatform = 0x01;
constexpr std::uint8_t kAMapValidHighest = 0x02;
// A Unicode version accepted beside 23 without a finding.
constexpr std::uint16_t kVersionUnicodeAccepted = 37;

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

// The versions of the format and the client, and the platforms.
void checkVersions(Context& c, const Header& hd) {
  if (hd.version > kVersionUnicode && hd.version != kVersionUnicodeAccepted)
    c.report(header_field::wVer, "header.version", "", "wVer " + std::to_string(hd.version) + " is not a version of the format (14, 15, 23)");
  if (hd.isOst()) {
    c.notChecked("OST: not checked: wVerClient (OST files carry their own client version)");
  } else if (hd.clientVersion != kClientVersion) {
    c.report(header_field::wVerClient, "header.client-version", "",
             "wVerClient is " + std::to_string(hd.clientVersion) + ", not 19");
  }
  if (hd.platformCreate != kPlatform)
    c.report(header_field::bPlatformCreate, "header.platform", "",
             "bPlatformCreate is " + hexText(hd.platformCreate) + ", not 0x01");
  if (hd.platformAccess != kPlatform)
    c.report(header_field::bPlatformAccess, "header.platform", "",
             "bPlatformAccess is " + hexText(hd.platformAccess) + ", not 0x01");
}

// The two CRCs over the header's bytes, the sentinel and the encoding of
// the blocks; `crypt` is bCryptMethod as the file gives it.
void checkIntegrity(Context& c, const Header& hd, ByteView h, std::uint8_t crypt) {
  const HeaderOffsets& o = HeaderOffsets::of(hd.layout);
  std::uint32_t partial = computeCrc(h.sub(kHeaderCrcStart, kHeaderCrcPartialLength));
  if (partial != hd.crcPartial)
    c.report(header_field::dwCrcPartial, "header.crc-partial", "",
             "dwCRCPartial is " + hexText(hd.crcPartial) + " but the bytes give " + hexText(partial));
  if (hd.layout == FileLayout::Unicode) {
    std::uint32_t full = computeCrc(h.sub(kHeaderCrcStart, kHeaderCrcFullLength));
    if (full != hd.crcFull)
      c.report(o.dwCrcFull, "header.crc-full", "",
               "dwCRCFull is " + hexText(hd.crcFull) + " but the bytes give " + hexText(full));
  }
  if (hd.sentinel != kHeaderSentinel)
    c.report(o.bSentinel, "header.sentinel", "", "bSentinel is " + hexText(hd.sentinel) + ", not 0x80");
  if (crypt > static_cast<std::uint8_t>(CryptMethod::Cyclic)) {
    c.report(o.bCryptMethod, "header.crypt", "", "bCryptMethod " + hexText(crypt) + " is not 0x00, 0x01 or 0x02");
    c.notChecked("the contents of external blocks (their encoding is unknown)");
    c.cryptKnown = false;
  }
}

// ROOT: the file's size, its maps and its two B-trees.
void checkRoot(Context& c, const Header& hd) {
  const Layout& l = hd.sizes();
  const HeaderOffsets& o = HeaderOffsets::of(hd.layout);
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
  if (hd.amapValid > kAMapValidHighest)
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
}

void checkReservedFields(Context& c, const Header& hd, ByteView h) {
  const HeaderOffsets& o = HeaderOffsets::of(hd.layout);
  std::vector<ZeroField> zeros;
  // bReserved and wReserved follow fAMapValid at the end of ROOT;
  // rgbReserved follows bCryptMethod; dwAlign (Unicode) ends ROOT's
  // padding before rgbFM; ANSI keeps ullReserved and dwReserved after
  // rgbReserved.
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

}  // namespace

Header decodeHeader(ByteView h) {
  const std::string truncated = "the file is truncated: it ends inside the PST header";
  const Header identity = Header::identify(h, truncated);
  if (identity.version == kVersionUnicode4k)
    throw Error(ErrorKind::Unsupported,
                "OST: not checked: the 4 KiB-page layout of Outlook 2013 OST files (version 36)", header_field::wVer);
  if (h.size() < identity.sizes().headerSize) throw Error(ErrorKind::Truncated, truncated);
  return Header::decode(h, identity.layout);
}

void checkHeader(Context& c, const Header& decoded, ByteView h) {
  Header hd = decoded;
  // An unknown method is reported below, and the blocks it would decode
  // go unchecked.
  const auto crypt = static_cast<std::uint8_t>(hd.crypt);
  if (hd.crypt > CryptMethod::Cyclic) hd.crypt = CryptMethod::None;
  c.setHeader(hd);
  checkVersions(c, hd);
  checkIntegrity(c, hd, h, crypt);
  checkRoot(c, hd);
  checkReservedFields(c, hd, h);
}

}  // namespace varnolt::mapi::pst::check
