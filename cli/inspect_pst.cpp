// Replaced by the real reader's inspect.
#include <cstdio>
#include "cli/inspect.h"
namespace varnolt::cli {
int inspectPst(const std::string& path, bool) {
  std::fprintf(stderr, "%s: this kind of file cannot be read yet\n", path.c_str());
  return 1;
}
}  // namespace varnolt::cli
