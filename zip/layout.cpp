#include "zip/layout.h"

#include <string>

#include "zip/error.h"
#include "zip/records.h"

namespace varnolt::zip {
namespace {

[[noreturn]] void tooLarge(const std::string& what) {
  throw Error(ErrorKind::Limit, what + ", more than a ZIP archive without ZIP64 can hold");
}

}  // namespace

void ArchiveExtent::add(const EntryExtent& entry) {
  // Each entry starts where the previous ones end, which the previous call
  // found below the limit; so only the new ends need checking.
  if (entries_ + 1 > kMax16) tooLarge("more than " + std::to_string(kMax16) + " entries");
  if (entry.localSize > kMax32 || localEnd_ + entry.localSize > kMax32)
    tooLarge("the entries would reach past 4 GiB");
  if (entry.centralSize > kMax32 || centralSize_ + entry.centralSize > kMax32)
    tooLarge("the central directory would be 4 GiB or larger");
  ++entries_;
  localEnd_ += entry.localSize;
  centralSize_ += entry.centralSize;
}

}  // namespace varnolt::zip
