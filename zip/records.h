#pragma once
// The three fixed-size records of a single-disk PKZIP archive, as they lie
// on disk: little-endian, packed. Each record knows its own size and
// appends its bytes to a buffer; the code that fills them lives elsewhere.

#include <cstdint>
#include <vector>

namespace varnolt::zip {

// Values every entry of our archives carries.
inline constexpr std::uint16_t kVersion20 = 20;          // deflate needs PKZIP 2.0
inline constexpr std::uint16_t kMethodDeflate = 8;
inline constexpr std::uint16_t kFlagDefault = 0x0002;    // deflate option bit 1, as our archives always carried
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;       // bit 11: name and comment are UTF-8
inline constexpr std::uint16_t kInternalAttributes = 0x0020;

// Largest values a field may hold without being read as a ZIP64 marker.
inline constexpr std::uint32_t kMax32 = 0xFFFFFFFEu;
inline constexpr std::uint16_t kMax16 = 0xFFFEu;
inline constexpr std::uint16_t kMaxTextLength = 0xFFFFu;  // 16-bit length fields without a marker value

struct LocalFileHeader {
  static constexpr std::uint32_t kSignature = 0x04034B50;
  static constexpr std::size_t kSize = 30;

  std::uint32_t signature = kSignature;
  std::uint16_t versionNeeded = kVersion20;
  std::uint16_t flags = kFlagDefault;
  std::uint16_t method = kMethodDeflate;
  std::uint16_t modTime = 0;
  std::uint16_t modDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0;
  std::uint16_t extraLength = 0;

  void appendTo(std::vector<std::uint8_t>& out) const;
};

struct CentralDirectoryHeader {
  static constexpr std::uint32_t kSignature = 0x02014B50;
  static constexpr std::size_t kSize = 46;

  std::uint32_t signature = kSignature;
  std::uint16_t versionMadeBy = kVersion20;
  std::uint16_t versionNeeded = kVersion20;
  std::uint16_t flags = kFlagDefault;
  std::uint16_t method = kMethodDeflate;
  std::uint16_t modTime = 0;
  std::uint16_t modDate = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t compressedSize = 0;
  std::uint32_t uncompressedSize = 0;
  std::uint16_t nameLength = 0;
  std::uint16_t extraLength = 0;
  std::uint16_t commentLength = 0;
  std::uint16_t diskNumberStart = 0;
  std::uint16_t internalAttributes = kInternalAttributes;
  std::uint32_t externalAttributes = 0;
  std::uint32_t LocalHeaderOffset = 0;

  void appendTo(std::vector<std::uint8_t>& out) const;
};

struct EndOfCentralDirectory {
  static constexpr std::uint32_t kSignature = 0x06054B50;
  static constexpr std::size_t kSize = 22;

  std::uint32_t signature = kSignature;
  std::uint16_t diskNumber = 0;
  std::uint16_t centralDirectoryDisk = 0;
  std::uint16_t entriesOnDisk = 0;
  std::uint16_t entriesTotal = 0;
  std::uint32_t centralDirectorySize = 0;
  std::uint32_t centralDirectoryOffset = 0;
  std::uint16_t commentLength = 0;

  void appendTo(std::vector<std::uint8_t>& out) const;
};

}  // namespace varnolt::zip
