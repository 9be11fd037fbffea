#pragma once
// An offline store (OST) as tests need one: a file of our writer's layout
// marked with the OST client magic ("SO"), its root folder named
// "Root - Mailbox" and its top folder "IPM_SUBTREE", and its message store
// without the IPM-subtree entry id, so the top can only be found by the
// layout, as in the OSTs Outlook keeps for an Exchange mailbox.

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>

#include "mapi/pst/ndb/crc.h"
#include "mapi/pst/ndb/ids.h"
#include "mapi/pst/ndb/layout.h"
#include "mapi/pst/ndb/node_database.h"
#include "mapi/pst/ndb/records.h"
#include "mapi/pst/writer/writer.h"
#include "mapi/tags.h"
#include "mapi/util/byte_view.h"
#include "tests/support/test_support.h"

namespace varnolt::test {

// Writes the OST at path; fill adds folders and messages under the top
// folder it is given.
inline void makeOst(const fs::path& path,
                    const std::function<void(mapi::pst::Writer&, mapi::pst::NodeId top)>& fill) {
  namespace m = varnolt::mapi;
  namespace p = varnolt::mapi::pst;
  const fs::path draft = path.string() + ".draft.pst";
  {
    p::WriterOptions options;
    options.crypt = p::CryptMethod::None;  // blocks on disk as they read, so one can be changed below
    options.seed = 12;
    auto w = p::Writer::create(draft, "Mailbox", options);
    m::PropertyBag root;
    root.set(m::tag::DisplayName, m::PropValue::unicode("Root - Mailbox"));
    w->setFolderProperties(w->rootFolder(), root);
    m::PropertyBag top;
    top.set(m::tag::DisplayName, m::PropValue::unicode("IPM_SUBTREE"));
    w->setFolderProperties(w->ipmSubtree(), top);
    fill(*w, w->ipmSubtree());
    w->close();
  }
  m::Bytes file = readFile(draft);
  fs::remove(draft);

  // The message store's IPM-subtree entry id becomes an id nothing knows
  // (0x35E1, free and in the same place in the sorted heap), and the
  // block's CRC follows.
  p::NodeDatabase db(std::make_shared<p::MemorySource>(file));
  const p::BbtEntry block = db.block(db.node(p::nid::MessageStore).dataBid());
  if (p::isInternalBid(block.bref.bid)) throw std::runtime_error("the message store spans blocks");
  m::Bytes data = db.readBlock(block);
  const std::uint32_t tag = m::tag::IpmSubtreeEntryId;
  const m::Bytes record{static_cast<std::uint8_t>(tag >> 16), static_cast<std::uint8_t>(tag >> 24),
                        static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8)};
  auto at = std::search(data.begin(), data.end(), record.begin(), record.end());
  if (at == data.end()) throw std::runtime_error("no IPM-subtree entry id in the message store");
  *at = static_cast<std::uint8_t>(*at + 1);
  std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(block.bref.ib));
  const p::Layout& layout = db.layout();
  const std::size_t trailer =
      static_cast<std::size_t>(block.bref.ib) + p::blockDiskSize(block.cb, layout) - layout.blockTrailerSize;
  m::setU32(file, trailer + 4, p::computeCrc(data));

  m::setU16(file, 8, p::kClientOst);
  m::setU32(file, 4, p::computeCrc(m::ByteView(file).sub(p::kHeaderCrcStart, p::kHeaderCrcPartialLength)));
  m::setU32(file, 524, p::computeCrc(m::ByteView(file).sub(p::kHeaderCrcStart, p::kHeaderCrcFullLength)));
  writeFile(path, file);
}

}  // namespace varnolt::test
