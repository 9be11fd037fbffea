#include "mapi/pst/writer/heap_writer.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/layout.h"

namespace varnolt::mapi::pst {
namespace {

constexpr std::size_t kMaxItemsPerBlock = 0x7FF;  // hidIndex has 11 bits

}  // namespace

std::size_t HeapWriter::sizeWith(std::size_t block, const Block& b, std::size_t extraBytes, std::size_t extraItems) {
  std::size_t data = heapPageHeaderSize(block) + b.bytes + extraBytes;
  data += data % 2;  // the page map starts on an even offset
  return data + HeapPageMap::sizeFor(b.items.size() + extraItems);
}

Hid HeapWriter::allocate(ByteView data) {
  if (data.size() > kMaxHeapAllocation) throw Error(ErrorKind::InvalidArgument, "a heap allocation above 3580 bytes");
  const std::size_t max = Layout::unicode().maxBlockData;
  if (blocks_.empty() || blocks_.back().items.size() >= kMaxItemsPerBlock ||
      sizeWith(blocks_.size() - 1, blocks_.back(), data.size(), 1) > max) {
    if (blocks_.size() >= 0xFFFF) throw Error(ErrorKind::Limit, "a heap larger than 65,535 blocks");
    blocks_.emplace_back();
  }
  Block& b = blocks_.back();
  b.items.push_back(data.copy());
  b.bytes += data.size();
  auto block = static_cast<std::uint32_t>(blocks_.size() - 1);
  auto index = static_cast<std::uint32_t>(b.items.size());
  return (block << 16) | (index << 5);
}

void HeapWriter::fill(Hid hid, ByteView data) {
  std::size_t block = hid >> 16;
  std::size_t index = (hid >> 5) & 0x7FF;
  if (block >= blocks_.size() || index == 0 || index > blocks_[block].items.size() ||
      blocks_[block].items[index - 1].size() != data.size())
    throw Error(ErrorKind::InvalidArgument, "no heap allocation of that size to fill");
  blocks_[block].items[index - 1] = data.copy();
}

std::vector<Bytes> HeapWriter::finish() const {
  const std::size_t max = Layout::unicode().maxBlockData;
  std::vector<Block> blocks = blocks_;
  if (blocks.empty()) blocks.emplace_back();
  // Outlook picks the block for a new allocation by these levels, so each
  // block states the room it really has, the last one (which may still
  // grow to a full data block) included. The byte that evens the page
  // map's offset counts as free, as it is to a reader of the block.
  std::vector<std::uint8_t> levels;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::size_t used = heapPageHeaderSize(i) + blocks[i].bytes;
    levels.push_back(heapFillLevel(max - sizeWith(i, blocks[i], 0, 0) + used % 2));
  }
  // The byte holding the levels of blocks `first` and `first + 1`.
  auto packedLevel = [&](std::size_t first) {
    std::uint8_t lower = first < levels.size() ? levels[first] : 0;
    std::uint8_t upper = first + 1 < levels.size() ? levels[first + 1] : 0;
    return packFillLevels(lower, upper);
  };

  std::vector<Bytes> out;
  out.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const Block& b = blocks[i];
    Bytes page;
    page.reserve(sizeWith(i, b, 0, 0));
    // ibHnpm is set below, once the block's allocations are in.
    if (i == 0) {
      HeapHeader header;
      header.bSig = kHeapSignature;
      header.bClientSig = clientSig_;
      header.hidUserRoot = userRoot_;
      for (std::size_t k = 0; k < header.rgbFillLevel.size(); ++k) header.rgbFillLevel[k] = packedLevel(2 * k);
      header.write(page);
    } else if (heapPageHeaderSize(i) == kHeapBitmapHeaderSize) {
      HeapBitmapHeader header;
      for (std::size_t k = 0; k < header.rgbFillLevel.size(); ++k) header.rgbFillLevel[k] = packedLevel(i + 2 * k);
      header.write(page);
    } else {
      HeapPageHeader{}.write(page);
    }
    std::vector<std::uint16_t> offsets;
    offsets.push_back(static_cast<std::uint16_t>(page.size()));
    for (const Bytes& item : b.items) {
      putBytes(page, item);
      offsets.push_back(static_cast<std::uint16_t>(page.size()));
    }
    if (page.size() % 2) putU8(page, 0);
    // Every block but the last is a full data block, as a data tree asks;
    // the room left before the page map is the block's free space.
    if (i + 1 < blocks.size()) page.resize(max - HeapPageMap::sizeFor(b.items.size()), 0);
    setU16(page, 0, static_cast<std::uint16_t>(page.size()));
    HeapPageMap map;
    map.cAlloc = static_cast<std::uint16_t>(b.items.size());
    map.rgibAlloc = std::move(offsets);
    map.write(page);
    out.push_back(std::move(page));
  }
  return out;
}

Hid writeBTreeOnHeap(HeapWriter& heap, std::size_t keySize, std::size_t valueSize, const std::vector<Bytes>& records,
                     Hid reservedHeader) {
  Hid headerHid = reservedHeader != 0 ? reservedHeader : reserveBTreeHeader(heap);
  Hid root = 0;
  std::uint8_t levels = 0;
  if (!records.empty()) {
    // Leaves, then index levels of (first key, HID) until one allocation holds them.
    std::vector<std::pair<Bytes, Hid>> level;
    std::size_t perLeaf = kMaxHeapAllocation / (keySize + valueSize);
    for (std::size_t i = 0; i < records.size(); i += perLeaf) {
      std::size_t n = std::min(perLeaf, records.size() - i);
      Bytes leaf;
      for (std::size_t k = 0; k < n; ++k) putBytes(leaf, records[i + k]);
      level.emplace_back(Bytes(records[i].begin(), records[i].begin() + static_cast<std::ptrdiff_t>(keySize)),
                         heap.allocate(leaf));
    }
    std::size_t perIndex = kMaxHeapAllocation / (keySize + 4);
    while (level.size() > 1) {
      std::vector<std::pair<Bytes, Hid>> up;
      for (std::size_t i = 0; i < level.size(); i += perIndex) {
        std::size_t n = std::min(perIndex, level.size() - i);
        Bytes page;
        for (std::size_t k = 0; k < n; ++k) {
          putBytes(page, level[i + k].first);
          putU32(page, level[i + k].second);
        }
        up.emplace_back(level[i].first, heap.allocate(page));
      }
      level = std::move(up);
      ++levels;
    }
    root = level[0].second;
  }
  BthHeader header;
  header.bType = heap_client::BTreeOnHeap;
  header.cbKey = static_cast<std::uint8_t>(keySize);
  header.cbEnt = static_cast<std::uint8_t>(valueSize);
  header.bIdxLevels = levels;
  header.hidRoot = root;
  Bytes bytes;
  header.write(bytes);
  heap.fill(headerHid, bytes);
  return headerHid;
}

}  // namespace varnolt::mapi::pst
