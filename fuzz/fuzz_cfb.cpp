// Reads bytes as a compound file. Bad input must end in an mapi::Error; a
// tree that reads must write (unless its names are ones the format does
// not allow) and read back equal.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mapi/cfb/reader.h"
#include "mapi/cfb/writer.h"

namespace cfb = varnolt::mapi::cfb;

namespace {
cfb::Entry sorted(cfb::Entry e) {
  for (auto& c : e.children) c = sorted(std::move(c));
  std::stable_sort(e.children.begin(), e.children.end(),
                   [](const cfb::Entry& a, const cfb::Entry& b) { return cfb::compareNames(a.name, b.name) < 0; });
  return e;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  cfb::Entry tree;
  try {
    tree = cfb::readCompoundFile(varnolt::mapi::ByteView(data, size));
  } catch (const varnolt::mapi::Error&) {
    return 0;
  }
  varnolt::mapi::Bytes written;
  try {
    written = cfb::writeCompoundFile(tree);
  } catch (const varnolt::mapi::Error& e) {
    if (e.kind() == varnolt::mapi::ErrorKind::InvalidArgument) return 0;  // names the writer refuses
    throw;
  }
  cfb::Entry back = cfb::readCompoundFile(written);
  // The root's name and creation time are fixed by the format.
  tree.name = back.name;
  tree.creationTime = 0;
  if (!(sorted(back) == sorted(tree))) {
    std::fprintf(stderr, "a tree read from the input did not survive writing and reading again\n");
    std::abort();
  }
  return 0;
}
