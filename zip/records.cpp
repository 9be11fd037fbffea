#include "zip/records.h"

namespace varnolt::zip {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
}

}  // namespace

void LocalFileHeader::appendTo(std::vector<std::uint8_t>& out) const {
  put32(out, signature);
  put16(out, versionNeeded);
  put16(out, flags);
  put16(out, method);
  put16(out, modTime);
  put16(out, modDate);
  put32(out, crc32);
  put32(out, compressedSize);
  put32(out, uncompressedSize);
  put16(out, nameLength);
  put16(out, extraLength);
}

void CentralDirectoryHeader::appendTo(std::vector<std::uint8_t>& out) const {
  put32(out, signature);
  put16(out, versionMadeBy);
  put16(out, versionNeeded);
  put16(out, flags);
  put16(out, method);
  put16(out, modTime);
  put16(out, modDate);
  put32(out, crc32);
  put32(out, compressedSize);
  put32(out, uncompressedSize);
  put16(out, nameLength);
  put16(out, extraLength);
  put16(out, commentLength);
  put16(out, diskNumberStart);
  put16(out, internalAttributes);
  put32(out, externalAttributes);
  put32(out, LocalHeaderOffset);
}

void EndOfCentralDirectory::appendTo(std::vector<std::uint8_t>& out) const {
  put32(out, signature);
  put16(out, diskNumber);
  put16(out, centralDirectoryDisk);
  put16(out, entriesOnDisk);
  put16(out, entriesTotal);
  put32(out, centralDirectorySize);
  put32(out, centralDirectoryOffset);
  put16(out, commentLength);
}

}  // namespace varnolt::zip
