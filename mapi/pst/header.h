#pragma once
// The file header ([MS-PST] 2.2.2.6 HEADER with 2.2.2.5 ROOT): which
// layout and encryption the file uses and where its two B-trees start.
// Parsing checks the signature, the version and both CRCs.

#include <array>
#include <cstdint>

#include "mapi/pst/byte_source.h"
#include "mapi/pst/layout.h"
#include "mapi/pst/records.h"

namespace varnolt::mapi::pst {

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
  CryptMethod crypt = CryptMethod::None;

  bool isOst() const { return clientMagic == kClientOst; }
  const Layout& sizes() const { return Layout::of(layout); }

  // From the first bytes of a file (at least the header's size for its
  // layout). Throws mapi::Error saying what is wrong.
  // With verifyCrc false the CRCs are not compared (salvage, fuzzing).
  static Header parse(ByteView bytes, std::uint64_t fileSize, bool verifyCrc = true);
  static Header read(const ByteSource& source, bool verifyCrc = true);
};

}  // namespace varnolt::mapi::pst
