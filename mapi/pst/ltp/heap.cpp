#include "mapi/pst/ltp/heap.h"

#include "mapi/error.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ltp/ltp_records.h"

namespace varnolt::mapi::pst {

std::uint8_t heapFillLevel(std::size_t freeBytes) {
  static const std::size_t lowest[] = {3584, 2560, 2048, 1792, 1536, 1280, 1024, 768, 512, 256, 128, 64, 32, 16, 8};
  for (std::uint8_t level = 0; level < 15; ++level) {
    if (freeBytes >= lowest[level]) return level;
  }
  return 15;
}

Heap::Heap(const Node& node) : node_(node) {
  std::vector<Bytes> blocks = node.readBlocks();
  auto fail = [&](std::size_t block, const std::string& what) -> void {
    throw Error(ErrorKind::Corrupt, "the heap of node " + hexText(node_.id()) + " is damaged in block " +
                                        std::to_string(block) + ": " + what);
  };
  if (blocks.empty()) fail(0, "it has no data");
  pages_.reserve(blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    Page page;
    page.data = std::move(blocks[i]);
    ByteView v(page.data);
    size_ += v.size();
    std::size_t hdr = heapPageHeaderSize(i);
    if (v.size() < hdr + 4) fail(i, "too short");
    if (i == 0) {
      HeapHeader header = HeapHeader::parse(v);
      if (header.bSig != kHeapSignature) fail(i, "no heap signature");
      clientSig_ = header.bClientSig;
      userRoot_ = header.hidUserRoot;
    }
    std::size_t ibHnpm = HeapPageHeader::parse(v).ibHnpm;
    if (ibHnpm < hdr || ibHnpm + 4 > v.size()) fail(i, "its page map lies outside the block");
    std::size_t cAlloc = HeapPageMap::parseCounts(v, ibHnpm).cAlloc;
    if (ibHnpm + HeapPageMap::sizeFor(cAlloc) > v.size()) fail(i, "its page map runs past the block");
    page.offsets = HeapPageMap::parse(v, ibHnpm).rgibAlloc;
    for (std::size_t k = 0; k <= cAlloc; ++k) {
      std::size_t prev = k == 0 ? hdr : page.offsets[k - 1];
      if (page.offsets[k] < prev || page.offsets[k] > ibHnpm) fail(i, "its allocations overlap or leave the block");
    }
    pages_.push_back(std::move(page));
  }
}

ByteView Heap::item(Hid hid) const {
  if (hid == 0) return {};
  auto bad = [&](const std::string& what) -> void {
    throw Error(ErrorKind::Corrupt, "HID " + hexText(hid) + " of node " + hexText(node_.id()) + " " + what);
  };
  if (!isHid(hid)) bad("is not a heap id");
  std::size_t index = (hid >> 5) & 0x7FF;
  std::size_t block = hid >> 16;
  if (block >= pages_.size()) bad("names a block the heap does not have");
  const Page& p = pages_[block];
  if (index == 0 || index >= p.offsets.size()) bad("names an allocation the heap does not have");
  std::size_t begin = p.offsets[index - 1];
  std::size_t end = p.offsets[index];
  return ByteView(p.data).sub(begin, end - begin);
}

}  // namespace varnolt::mapi::pst
