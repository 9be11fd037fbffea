#pragma once
// Checks a PST or OST file against the rules of the published format that
// can be checked from the file alone: the header, every page and block of
// the node database, both B-trees, block reference counts, the allocation
// and density maps, heaps, BTree-on-heaps, property and table contexts,
// the tables of every folder against the objects they list, and the nodes
// every PST must have. The reader is lenient where Outlook is; the checker
// is not, so a file we write can be held to the rules before anyone opens
// it.
//
// Everything is read through a ByteSource page by page and block by block,
// never the whole file at once; the memory used grows with the number of
// blocks and nodes (a few dozen bytes each), not with the file's size.

#include <cstdint>
#include <string>
#include <vector>

#include "mapi/pst/ndb/byte_source.h"

namespace varnolt::mapi::pst::check {

// One broken rule, where it was found.
struct Finding {
  std::uint64_t offset = 0;  // file offset of the structure that breaks the rule
  std::string rule;          // short stable code, e.g. "block.crc", "amap.unallocated"
  std::string where;         // the node and block ids concerned, may be empty
  std::string message;       // what is wrong, in one line

  // "0x0001F200 block.crc block 0x2C4: ..." - the line the command prints.
  std::string line() const;
};

struct CheckOptions {
  // Stop collecting after this many findings (0: no limit). Checking still
  // runs to the end, so the total stays exact.
  std::size_t maxFindings = 0;
};

struct CheckResult {
  std::vector<Finding> findings;  // in the order found, at most maxFindings
  std::size_t totalFindings = 0;  // including those not kept
  // Parts of the file whose rules were not checked, and why (an OST's
  // differing parts, allocation maps marked invalid by the file itself).
  std::vector<std::string> notChecked;
  // What was looked at.
  std::uint64_t pages = 0;
  std::uint64_t blocks = 0;
  std::uint64_t nodes = 0;
  std::uint64_t folders = 0;
  std::uint64_t messages = 0;

  bool clean() const { return totalFindings == 0; }
};

// Checks the file. Throws mapi::Error only when it cannot be checked at all
// (not a PST, an unsupported layout, a file too short for its header);
// everything else becomes a finding.
CheckResult checkPst(const ByteSource& source, const CheckOptions& options = {});

}  // namespace varnolt::mapi::pst::check
