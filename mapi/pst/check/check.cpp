#include "mapi/pst/check/check.h"

#include <algorithm>
#include <cstdio>

#include "mapi/error.h"
#include "mapi/pst/check/context.h"
#include "mapi/pst/ndb/crypt.h"

namespace varnolt::mapi::pst::check {

std::string Finding::line() const {
  char at[32];
  std::snprintf(at, sizeof at, "0x%08llX", static_cast<unsigned long long>(offset));
  std::string s = std::string(at) + " " + rule;
  if (!where.empty()) s += " " + where;
  return s + ": " + message;
}

const char* extentName(ExtentKind kind) {
  switch (kind) {
    case ExtentKind::AMap: return "AMap page";
    case ExtentKind::PMap: return "PMap page";
    case ExtentKind::FMap: return "FMap page";
    case ExtentKind::FPMap: return "FPMap page";
    case ExtentKind::DList: return "density list page";
    case ExtentKind::NodePage: return "node B-tree page";
    case ExtentKind::BlockPage: return "block B-tree page";
    case ExtentKind::Block: return "block";
  }
  return "?";
}

Context::Context(const ByteSource& source, const CheckOptions& options, CheckResult& result)
    : source_(source), options_(options), result_(result) {}

void Context::report(std::uint64_t offset, const char* rule, std::string where, std::string message) {
  ++result_.totalFindings;
  if (options_.maxFindings != 0 && result_.findings.size() >= options_.maxFindings) return;
  result_.findings.push_back({offset, rule, std::move(where), std::move(message)});
}

std::optional<Bytes> Context::read(std::uint64_t ib, std::size_t size) const {
  if (ib > fileSize() || size > fileSize() - ib) return std::nullopt;
  Bytes b(size);
  source_.readAt(ib, b.data(), size);
  return b;
}

BlockInfo* Context::findBlock(BlockId bid) {
  BlockId key = bidKey(bid);
  auto it = std::lower_bound(blocks.begin(), blocks.end(), key,
                             [](const BlockInfo& b, BlockId k) { return bidKey(b.bid) < k; });
  if (it == blocks.end() || bidKey(it->bid) != key) return nullptr;
  return &*it;
}

const NodeInfo* Context::findNode(NodeId nid) const {
  auto it = std::lower_bound(nodes.begin(), nodes.end(), nid,
                             [](const NodeInfo& n, NodeId k) { return n.nid < k; });
  if (it == nodes.end() || it->nid != nid) return nullptr;
  return &*it;
}

std::optional<Bytes> Context::blockData(const BlockInfo& b) {
  if (!b.readable) return std::nullopt;
  // Even an empty block costs something, so a tree of them cannot run for free.
  std::uint64_t cost = std::max<std::uint64_t>(b.cb, kSlotSize);
  if (cost > budget_) {
    budgetSpent_ = true;
    return std::nullopt;
  }
  budget_ -= cost;
  auto data = read(b.ib, b.cb);
  if (!data) return std::nullopt;
  decodeBlock(header_.crypt, b.bid, data->data(), data->size());
  return data;
}

CheckResult checkPst(const ByteSource& source, const CheckOptions& options) {
  std::uint64_t size = source.size();
  if (size == 0) throw Error(ErrorKind::BadFormat, "not a PST file: the file is empty");
  Bytes head(static_cast<std::size_t>(std::min<std::uint64_t>(size, Layout::unicode().headerSize)));
  source.readAt(0, head.data(), head.size());

  CheckResult result;
  Context c(source, options, result);
  // Throws when the file cannot be checked at all.
  checkHeader(c, decodeHeader(head), head);
  checkBTrees(c);
  checkBlocks(c);
  checkNodes(c);
  checkSpace(c);
  checkLtp(c);
  checkStore(c);
  checkSpecialFolders(c);
  result.blocks = c.blocks.size();
  result.nodes = c.nodes.size();
  return result;
}

}  // namespace varnolt::mapi::pst::check
