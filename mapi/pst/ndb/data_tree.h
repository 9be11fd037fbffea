#pragma once
// The data of a node as a list of data blocks ([MS-PST] 2.2.2.8.3.1 data
// blocks, 2.2.2.8.3.2 XBLOCK and XXBLOCK). A node's bidData names either
// one data block or an XBLOCK (listing data blocks) or an XXBLOCK
// (listing XBLOCKs); the totals each one states are checked against the
// blocks below it.

#include <vector>

#include "mapi/pst/ndb/node_database.h"

namespace varnolt::mapi::pst {

struct DataTree {
  std::vector<BbtEntry> blocks;  // the data blocks, in order
  std::uint64_t size = 0;        // the sum of their sizes

  // An empty tree for bid 0.
  static DataTree read(const NodeDatabase& db, BlockId bid);
};

}  // namespace varnolt::mapi::pst
