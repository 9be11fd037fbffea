#pragma once
// The file header ([MS-PST] 2.2.2.6 HEADER with 2.2.2.5 ROOT): which
// layout and encryption the file uses and where its two B-trees start.
// Parsing checks the signature, the version and both CRCs; decoding reads
// the fields as they stand, for the checker to judge.

#include <array>
#include <cstdint>
#include <string>

#include "mapi/pst/ndb/byte_source.h"
#include "mapi/pst/ndb/layout.h"
#include "mapi/pst/ndb/records.h"

namespace varnolt::mapi::pst {

// Where the fields that both layouts keep in one place lie in the header.
namespace header_field {
inline constexpr std::size_t dwMagic = 0;
inline constexpr std::size_t dwCrcPartial = 4;
inline constexpr std::size_t wMagicClient = 8;
inline constexpr std::size_t wVer = 10;
inline constexpr std::size_t wVerClient = 12;
inline constexpr std::size_t bPlatformCreate = 14;
inline constexpr std::size_t bPlatformAccess = 15;
// The bytes up to and with wVer, which say what the file is.
inline constexpr std::size_t identityEnd = 12;
}  // namespace header_field

struct Header {
  FileLayout layout = FileLayout::Unicode;
  std::uint16_t clientMagic = kClientPst;  // wMagicClient: "SM" PST, "SO" OST
  std::uint16_t version = kVersionUnicode;   // wVer
  std::uint16_t clientVersion = 19;          // wVerClient
  std::uint8_t platformCreate = 1;
  std::uint8_t platformAccess = 1;
  BlockId bidNextB = 0;
  BlockId bidNextP = 0;
  std::uint32_t dwUnique = 0;
  std::array<std::uint32_t, 32> rgnid{};     // next free NID index per NID type
  std::uint64_t ibFileEof = 0;
  std::uint64_t ibAMapLast = 0;
  std::uint64_t cbAMapFree = 0;
  std::uint64_t cbPMapFree = 0;
  Bref nbtRoot;
  Bref bbtRoot;
  std::uint8_t amapValid = 0;
  // After decode() the byte as it stands, which may be no CryptMethod;
  // after parse() always one of them.
  CryptMethod crypt = CryptMethod::None;
  std::uint32_t crcPartial = 0;  // dwCRCPartial as stored
  std::uint32_t crcFull = 0;     // dwCRCFull as stored (Unicode only)
  std::uint8_t sentinel = kHeaderSentinel;

  bool isOst() const { return clientMagic == kClientOst; }
  const Layout& sizes() const { return Layout::of(layout); }

  // From the first bytes of a file (at least the header's size for its
  // layout). Throws mapi::Error saying what is wrong.
  // With verifyCrc false the CRCs are not compared (salvage, fuzzing).
  static Header parse(ByteView bytes, std::uint64_t fileSize, bool verifyCrc = true);
  static Header read(const ByteSource& source, bool verifyCrc = true);

  // What the first bytes say the file is: the signature, the client (PST
  // or OST) and the version, which names the layout. Throws mapi::Error
  // for a file that is no PST or OST or has a version not known at all;
  // `truncated` is the message for bytes that end before the version.
  // The 4 KiB-page layout (version 36) comes back as Unicode: its callers
  // each say in their own words why they stop there.
  static Header identify(ByteView bytes, const std::string& truncated);
  // Every field of a header of this layout, from at least its header's
  // size of bytes, as it stands: nothing is checked.
  static Header decode(ByteView bytes, FileLayout layout);
};

}  // namespace varnolt::mapi::pst
