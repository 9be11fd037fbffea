// Checks bytes as a PST file. The checker reads what a damaged file's
// structures say without trusting them, so anything but findings or an
// mapi::Error refusing the file (a crash, another exception, a hang,
// memory past the limit) is a finding.

#include <cstdint>

#include "mapi/error.h"
#include "mapi/pst/check/check.h"

namespace pst = varnolt::mapi::pst;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pst::MemorySource source(varnolt::mapi::ByteView(data, size));
  try {
    pst::check::CheckResult r = pst::check::checkPst(source, {64});
    for (const auto& f : r.findings) (void)f.line();
  } catch (const varnolt::mapi::Error&) {
  }
  return 0;
}
