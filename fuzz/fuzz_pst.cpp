// Reads bytes as a PST file: the header, both B-trees, every folder
// reachable from the root, every message with its recipients, attachments
// and embedded messages, strictly and leniently. Bad input must end in an
// mapi::Error; anything else (a crash, another exception, a hang, memory
// past the limit) is a finding.

#include <cstdint>
#include <functional>
#include <set>

#include "mapi/pst/ndb/limits.h"
#include "mapi/pst/messaging/store.h"

namespace pst = varnolt::mapi::pst;
using varnolt::mapi::Error;

namespace {

void readFolder(const pst::Store& store, pst::NodeId id, std::set<pst::NodeId>& seen, unsigned depth) {
  if (depth > pst::limits::kMaxFolderDepth || !seen.insert(id).second) return;
  std::optional<pst::Folder> folder;
  try {
    folder.emplace(store.folder(id));
  } catch (const Error&) {
    return;
  }
  try {
    for (pst::NodeId m : folder->messageIds()) {
      try {
        std::vector<std::string> problems;
        store.readMessage(m, &problems);
        store.readMessage(m);
      } catch (const Error&) {
      }
    }
  } catch (const Error&) {
  }
  try {
    for (pst::NodeId m : folder->associatedMessageIds()) {
      try {
        store.readMessage(m);
      } catch (const Error&) {
      }
    }
  } catch (const Error&) {
  }
  try {
    for (pst::NodeId child : folder->subfolderIds()) readFolder(store, child, seen, depth + 1);
  } catch (const Error&) {
  }
}

void readStore(const std::uint8_t* data, std::size_t size, bool verifyChecksums) {
  std::unique_ptr<pst::Store> store;
  pst::OpenOptions options;
  options.verifyChecksums = verifyChecksums;
  try {
    store = pst::Store::open(std::make_shared<pst::MemorySource>(varnolt::mapi::ByteView(data, size)), options);
  } catch (const Error&) {
    return;
  }
  try {
    store->storeProperties();
  } catch (const Error&) {
  }
  try {
    store->ipmSubtree();
  } catch (const Error&) {
  }
  std::set<pst::NodeId> seen;
  readFolder(*store, pst::nid::RootFolder, seen, 0);
  // The raw walks the writer and checker use.
  try {
    store->database().blockTree().forEachBlock([&](const pst::BbtEntry& e) {
      try {
        store->database().readBlock(e);
      } catch (const Error&) {
      }
    });
  } catch (const Error&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readStore(data, size, true);
  // Mutations rarely keep a CRC right; reading again without the checks
  // takes them into the structures behind.
  readStore(data, size, false);
  return 0;
}
