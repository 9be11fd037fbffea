#pragma once
// Bounds the reader holds every file to. A file is hostile until proven
// otherwise: each depth, count and size it states is checked against
// these before the reader follows it or allocates for it, so a bad file
// costs at most this much time and memory.

#include <cstddef>
#include <cstdint>

namespace varnolt::mapi::pst::limits {

// Levels of the node and block B-trees. Outlook's trees stay far below;
// each level multiplies the entries by at least 15.
inline constexpr unsigned kMaxBTreeLevels = 16;
// Levels of a subnode tree (SIBLOCK over SLBLOCK is all Outlook writes).
inline constexpr unsigned kMaxSubnodeLevels = 4;
// Levels of a BTree-on-heap.
inline constexpr unsigned kMaxBthLevels = 8;
// Messages inside attachments inside messages.
inline constexpr unsigned kMaxEmbeddingDepth = 32;
// Folders inside folders.
inline constexpr unsigned kMaxFolderDepth = 256;
// The data of one node or subnode (one property value, one heap, one
// table). Never more than this, and never more than the file could hold.
inline constexpr std::uint64_t kMaxStreamSize = std::uint64_t{1} << 31;
// Pages kept by the page cache.
inline constexpr std::size_t kPageCacheEntries = 512;

}  // namespace varnolt::mapi::pst::limits
