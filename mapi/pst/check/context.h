#pragma once
// What the checks share while they run over one file: the source and its
// layout, the header's values, every page, block and node seen, and the
// list the findings go to. Internal to the checker.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "mapi/pst/check/check.h"
#include "mapi/pst/ndb/describe.h"
#include "mapi/pst/ndb/header.h"
#include "mapi/pst/ndb/records.h"

namespace varnolt::mapi::pst::check {

// Sizes the rules are stated in.
inline constexpr std::uint64_t kAMapCoverage = 496ull * 8 * 64;  // bytes one AMap maps: 253,952
inline constexpr std::uint64_t kAMapsPerPMap = 8;
inline constexpr std::size_t kMapBytes = 496;                    // rgbAMapBits and friends
inline constexpr std::uint64_t kSlotSize = 64;                   // one AMap bit
// The header's own free maps cover the first 128 AMaps and 1,024 PMaps;
// FMap and FPMap pages take over beyond them.
inline constexpr std::uint64_t kHeaderFMapEntries = 128;
inline constexpr std::uint64_t kHeaderFPMapEntries = 128 * 8;
inline constexpr std::uint64_t kAMapsPerFMap = 496;
inline constexpr std::uint64_t kPMapsPerFPMap = 496 * 8;
// The largest heap allocation ([MS-PST] 2.3.1.1).
inline constexpr std::size_t kMaxHeapItem = 3580;

// What a range of the file holds, for the overlap and allocation checks.
enum class ExtentKind : std::uint8_t { AMap, PMap, FMap, FPMap, DList, NodePage, BlockPage, Block };
const char* extentName(ExtentKind kind);

struct Extent {
  std::uint64_t ib = 0;
  std::uint64_t size = 0;
  std::uint64_t id = 0;  // bid of a page or block
  ExtentKind kind = ExtentKind::Block;
};

struct BlockInfo {
  BlockId bid = 0;  // as the BBT lists it
  std::uint64_t ib = 0;
  std::uint16_t cb = 0;
  std::uint16_t cRef = 0;
  std::uint32_t refs = 0;    // references counted from nodes and other blocks
  bool readable = false;     // in the file, trailer matches, CRC good
  bool walked = false;       // internal block whose children were counted
};

struct NodeInfo {
  NodeId nid = 0;
  BlockId bidData = 0;
  BlockId bidSub = 0;
  NodeId parent = 0;
  std::uint64_t pageIb = 0;  // the NBT leaf page that lists it
};

class Context {
 public:
  Context(const ByteSource& source, const CheckOptions& options, CheckResult& result);

  const ByteSource& source() const { return source_; }
  std::uint64_t fileSize() const { return source_.size(); }
  const Layout& layout() const { return *layout_; }
  const Header& header() const { return header_; }
  bool unicode() const { return layout_->kind == FileLayout::Unicode; }
  void setHeader(const Header& h) {
    header_ = h;
    layout_ = &Layout::of(h.layout);
  }

  void report(std::uint64_t offset, const char* rule, std::string where, std::string message);
  void notChecked(std::string what) { result_.notChecked.push_back(std::move(what)); }
  CheckResult& result() { return result_; }

  // Reads exactly `size` bytes at `ib`, or nullopt when they run past the end.
  std::optional<Bytes> read(std::uint64_t ib, std::size_t size) const;

  // The block of a bid (bit 0 ignored), or nullptr.
  BlockInfo* findBlock(BlockId bid);
  const NodeInfo* findNode(NodeId nid) const;
  // The data of a readable block, decoded when it is an external block;
  // nullopt once the read budget is spent.
  std::optional<Bytes> blockData(const BlockInfo& b);
  // Bounds the bytes of blocks read after the first pass: heaps and
  // tables are read once each in a sound file, but a hostile one can make
  // every node share one huge data tree.
  void setReadBudget(std::uint64_t bytes) { budget_ = bytes; }
  bool budgetSpent() const { return budgetSpent_; }

  std::vector<Extent> extents;
  std::vector<BlockInfo> blocks;  // sorted by bid once the BBT is read
  std::vector<NodeInfo> nodes;    // sorted by nid once the NBT is read
  // Row ids of the top-level tables whose rows could be read, for the
  // folder checks.
  std::unordered_map<NodeId, std::vector<std::uint32_t>> tableRows;
  BlockId maxPageBid = 0;
  bool cryptKnown = true;   // bCryptMethod is one the format defines
  bool bbtComplete = true;  // every BBT page could be read
  bool nbtComplete = true;

 private:
  const ByteSource& source_;
  const CheckOptions& options_;
  CheckResult& result_;
  Header header_;
  const Layout* layout_ = &Layout::unicode();
  std::uint64_t budget_ = ~std::uint64_t{0};
  bool budgetSpent_ = false;
};

// The data blocks of a node in order (bid 0: none), or nullopt when its
// data tree cannot be followed (the block checks say why).
std::optional<std::vector<const BlockInfo*>> dataBlocksOf(Context& c, BlockId bid);
// The SLENTRYs of a subnode tree by NID, or nullopt when it cannot be read.
std::optional<std::vector<SlEntry>> subnodesOf(Context& c, BlockId bidSub);

// One record of a property context.
struct PcRecord {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  std::uint32_t hnid = 0;  // or the value itself
};

// What the name-to-id map's property context holds: the bucket count and
// its binary values (the streams 0x0002-0x0004, the buckets from 0x1000).
inline constexpr std::uint16_t kNameMapFirstBucket = 0x1000;
struct NameMapValues {
  std::optional<std::uint32_t> bucketCount;
  std::map<std::uint16_t, Bytes> binary;
};
void checkNameMap(Context& c, std::uint64_t at, const std::string& where, const NameMapValues& values);

// Checks a subnode's id against the header's counter of its type, as the
// node B-tree's ids are.
void checkSubnodeCounter(Context& c, NodeId nid, std::uint64_t at, const std::string& where);
// Checks the fill levels a heap states against its blocks, once the heap
// checks have found its blocks and page maps sound.
void checkHeapFillLevels(Context& c, const std::vector<const BlockInfo*>& blocks, const std::vector<Bytes>& data,
                         const std::string& where);

// Ids in findings.
inline std::string bidText(BlockId bid) { return "block " + hexText(bid); }
inline std::string nidText(NodeId nid) { return "node " + hexText(nid); }

// The checks, in the order they run.
// The header's fields as they stand; throws when the file cannot be
// checked at all (no PST, a layout not read, the header cut short).
Header decodeHeader(ByteView headerBytes);
void checkHeader(Context& c, const Header& decoded, ByteView headerBytes);
void checkBTrees(Context& c);
void checkBlocks(Context& c);
void checkNodes(Context& c);
void checkSpace(Context& c);
void checkLtp(Context& c);
void checkStore(Context& c);
void checkSpecialFolders(Context& c);

}  // namespace varnolt::mapi::pst::check
