#pragma once
// On-disk records of a compound file ([MS-CFB]): the header, a directory
// entry, and the special sector ids. Only decoding and encoding live here;
// the reader and the writer decide what the values mean for a whole file.

#include <array>
#include <cstdint>

#include "mapi/property.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::cfb {

// Sector ids with a meaning of their own ([MS-CFB] 2.1).
inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFA;  // highest id of a real sector
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFC;     // FAT entry of a DIFAT sector
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFD;     // FAT entry of a FAT sector
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;

// Directory ids.
inline constexpr std::uint32_t kMaxRegSid = 0xFFFFFFFA;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

inline constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHeaderDifatEntries = 109;
inline constexpr std::size_t kDirEntrySize = 128;
inline constexpr std::uint16_t kByteOrderMark = 0xFFFE;
inline constexpr std::uint16_t kMinorVersion = 0x003E;
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;  // streams shorter than this live in the mini stream
inline constexpr std::uint16_t kMiniSectorShift = 6;      // 64-byte mini sectors
inline constexpr std::size_t kMiniSectorSize = 64;
inline constexpr std::size_t kMaxNameUnits = 31;          // UTF-16 code units, not counting the terminator

// Directory entry object types ([MS-CFB] 2.6.1).
enum class ObjectType : std::uint8_t { Unused = 0, Storage = 1, Stream = 2, Root = 5 };
enum class Color : std::uint8_t { Red = 0, Black = 1 };

// The 512-byte header ([MS-CFB] 2.2).
struct Header {
  Guid clsid;  // all zero in practice
  std::uint16_t minorVersion = kMinorVersion;
  std::uint16_t majorVersion = 3;
  std::uint16_t byteOrder = kByteOrderMark;
  std::uint16_t sectorShift = 9;
  std::uint16_t miniSectorShift = kMiniSectorShift;
  std::uint32_t numDirSectors = 0;  // version 4 only
  std::uint32_t numFatSectors = 0;
  std::uint32_t firstDirSector = kEndOfChain;
  std::uint32_t transactionSignature = 0;
  std::uint32_t miniStreamCutoff = kMiniStreamCutoff;
  std::uint32_t firstMiniFatSector = kEndOfChain;
  std::uint32_t numMiniFatSectors = 0;
  std::uint32_t firstDifatSector = kEndOfChain;
  std::uint32_t numDifatSectors = 0;
  std::array<std::uint32_t, kHeaderDifatEntries> difat{};

  std::size_t sectorSize() const { return std::size_t{1} << sectorShift; }

  // Decodes the first 512 bytes; checks only what is needed to decode
  // (the signature), so the reader can say precisely what else is wrong.
  static Header parse(ByteView bytes);
  // Exactly 512 bytes.
  Bytes serialize() const;
};

// One 128-byte directory entry ([MS-CFB] 2.6).
struct DirEntry {
  std::array<std::uint16_t, 32> name{};  // UTF-16 code units, NUL-terminated
  std::uint16_t nameLength = 0;          // bytes, including the terminator
  ObjectType type = ObjectType::Unused;
  Color color = Color::Black;
  std::uint32_t left = kNoStream;
  std::uint32_t right = kNoStream;
  std::uint32_t child = kNoStream;
  Guid clsid;
  std::uint32_t stateBits = 0;
  std::uint64_t creationTime = 0;
  std::uint64_t modifiedTime = 0;
  std::uint32_t startSector = 0;
  std::uint64_t streamSize = 0;

  static DirEntry parse(ByteView bytes);  // exactly 128 bytes
  void serializeTo(Bytes& out) const;     // appends 128 bytes
};

}  // namespace varnolt::mapi::cfb
