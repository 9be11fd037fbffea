// Reads a whole PST the way the program's copy does: every folder, every
// property of every message (recipients, attachments, embedded messages
// included) and every attachment byte. Repeats until a second has passed
// and prints the file's size, the bytes read from it per pass, the time
// per pass, the rate, and the peak resident memory.
//
// usage: bench_pst_read FILE.pst [--passes N]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "mapi/pst/messaging/store.h"
#include "mapi/tags.h"

namespace pst = varnolt::mapi::pst;
namespace mapi = varnolt::mapi;

namespace {

struct Tally {
  std::uint64_t properties = 0;
  std::uint64_t valueBytes = 0;
  std::uint64_t attachmentBytes = 0;
  std::uint64_t messages = 0;
  std::uint64_t attachments = 0;
};

void countBag(const mapi::PropertyBag& bag, Tally& t) {
  for (const auto& [tag, v] : bag.all()) {
    ++t.properties;
    t.valueBytes += v.data.size();
    for (const auto& e : v.values) t.valueBytes += e.size();
  }
}

void countMessage(const mapi::Message& m, Tally& t) {
  ++t.messages;
  countBag(m.props, t);
  for (const auto& r : m.recipients) countBag(r, t);
  for (const auto& a : m.attachments) {
    ++t.attachments;
    countBag(a.props, t);
    if (const auto* d = a.dataBinary()) t.attachmentBytes += d->size();
    if (const auto* o = a.props.get(mapi::tag::AttachDataObject)) t.attachmentBytes += o->data.size();
    if (a.embedded) countMessage(*a.embedded, t);
  }
}

Tally readAll(const std::string& path, std::uint64_t& bytesRead) {
  auto source = std::make_shared<pst::FileSource>(path);
  auto store = pst::Store::open(source);
  Tally t;
  countBag(store->storeProperties(), t);
  std::set<pst::NodeId> seen;
  std::function<void(pst::NodeId)> walk = [&](pst::NodeId id) {
    if (!seen.insert(id).second) return;
    pst::Folder f = store->folder(id);
    countBag(f.properties(), t);
    for (pst::NodeId m : f.messageIds()) countMessage(store->readMessage(m), t);
    for (pst::NodeId m : f.associatedMessageIds()) countMessage(store->readMessage(m), t);
    for (pst::NodeId c : f.subfolderIds()) walk(c);
  };
  walk(pst::nid::RootFolder);
  bytesRead = source->bytesRead();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_pst_read FILE.pst [--passes N]\n");
    return 1;
  }
  std::string path = argv[1];
  int fixedPasses = 0;
  if (argc >= 4 && std::string(argv[2]) == "--passes") fixedPasses = std::atoi(argv[3]);
  try {
    std::uint64_t fileSize = pst::FileSource(path).size();
    std::uint64_t bytesRead = 0;
    Tally t;
    int passes = 0;
    auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    do {
      t = readAll(path, bytesRead);
      ++passes;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (fixedPasses > 0 ? passes < fixedPasses : seconds < 1.0);
    double perPass = seconds / passes;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("file: %s\n", path.c_str());
    std::printf("file size: %llu bytes\n", static_cast<unsigned long long>(fileSize));
    std::printf("bytes read per pass: %llu\n", static_cast<unsigned long long>(bytesRead));
    std::printf("messages: %llu, attachments: %llu, properties: %llu, value bytes: %llu, attachment bytes: %llu\n",
                static_cast<unsigned long long>(t.messages), static_cast<unsigned long long>(t.attachments),
                static_cast<unsigned long long>(t.properties), static_cast<unsigned long long>(t.valueBytes),
                static_cast<unsigned long long>(t.attachmentBytes));
    std::printf("passes: %d, seconds per pass: %.6f\n", passes, perPass);
    std::printf("rate: %.1f MB/s of file, %.1f MB/s read\n", static_cast<double>(fileSize) / perPass / 1e6,
                static_cast<double>(bytesRead) / perPass / 1e6);
    std::printf("peak RSS: %ld KiB\n", ru.ru_maxrss);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
    return 1;
  }
  return 0;
}
