#pragma once
// Where an archive's parts fall, entry by entry, and the check that every
// count, offset and size still fits the 16- and 32-bit fields of an archive
// without ZIP64. Values that would wrap round are refused, not written.

#include <cstdint>

namespace varnolt::zip {

struct EntryExtent {
  std::uint64_t localSize = 0;    // local header, name, extra field, deflate data
  std::uint64_t centralSize = 0;  // central header, name, extra field, comment
};

class ArchiveExtent {
 public:
  // Counts one more entry; throws zip::Error (Limit) and stays unchanged
  // when the archive would then hold more than 65534 entries, or its
  // central directory would start at, or be, 4 GiB - 1 or more.
  void add(const EntryExtent& entry);

  std::uint64_t entries() const { return entries_; }
  std::uint64_t centralDirectoryOffset() const { return localEnd_; }
  std::uint64_t centralDirectorySize() const { return centralSize_; }

 private:
  std::uint64_t entries_ = 0;
  std::uint64_t localEnd_ = 0;
  std::uint64_t centralSize_ = 0;
};

}  // namespace varnolt::zip
