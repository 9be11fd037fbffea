#pragma once
// Compressed RTF ([MS-OXRTFCP]), the form of PR_RTF_COMPRESSED: a 16-byte
// header (COMPSIZE, RAWSIZE, COMPTYPE, CRC) and either LZ77-style
// compressed content ("LZFu") or the RTF stored as it is ("MELA").
//
// Decompression is bounded by the input: every token yields at most 17
// bytes and never reads outside the 4096-byte dictionary, so a header that
// lies about its sizes costs an error, never a read past the buffer or
// unbounded memory.

#include <cstddef>
#include <cstdint>

#include "mapi/util/byte_view.h"

namespace varnolt::mapi::rtf {

inline constexpr std::uint32_t kCompTypeCompressed = 0x75465A4C;    // "LZFu"
inline constexpr std::uint32_t kCompTypeUncompressed = 0x414C454D;  // "MELA"
inline constexpr std::size_t kHeaderSize = 16;
// The largest RTF we produce or accept: far above any real body, low
// enough that a hostile header cannot make us allocate without bound.
inline constexpr std::size_t kMaxRawSize = 256u * 1024 * 1024;

struct CompressedRtfHeader {
  std::uint32_t compSize = 0;  // bytes after this field (header rest + content)
  std::uint32_t rawSize = 0;   // bytes of RTF the content expands to
  std::uint32_t compType = 0;
  std::uint32_t crc = 0;
};

// The header; throws when fewer than 16 bytes are given.
CompressedRtfHeader readHeader(ByteView data);

// The format's CRC-32: the usual polynomial (0xEDB88320), started at 0 and
// not inverted at the end.
std::uint32_t rtfCrc(ByteView data, std::uint32_t crc = 0);

// What decompression found, for callers that want to salvage a body from a
// damaged property instead of refusing it.
struct DecompressResult {
  Bytes rtf;
  bool compressed = true;    // LZFu (false: MELA)
  bool crcMatches = true;    // the header's CRC is that of the content
  bool sizeMatches = true;   // the output is RAWSIZE bytes long
  bool complete = true;      // the content ended with its end marker, within COMPSIZE
};

// Decompresses without refusing damage that still leaves data: a wrong CRC,
// a wrong RAWSIZE, content cut short (what was decoded is kept). Throws
// mapi::Error for what cannot be decoded at all: fewer than 16 bytes, an
// unknown COMPTYPE, output past kMaxRawSize.
DecompressResult decompressLenient(ByteView data);

// Decompresses and insists on a sound property: throws mapi::Error
// (Checksum for a CRC mismatch, Truncated when the content is cut short,
// Corrupt for a size that disagrees) unless everything matches.
Bytes decompress(ByteView data);

// LZFu with back-references into the dictionary, CRC set; decompress()
// gives back exactly `rtf`. Throws Limit past kMaxRawSize.
Bytes compress(ByteView rtf);

// The uncompressed form ("MELA", CRC 0), which readers accept as well.
Bytes storeUncompressed(ByteView rtf);

}  // namespace varnolt::mapi::rtf
