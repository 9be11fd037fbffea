// varnolt-cli inspect FILE [--properties]: one JSON document describing a
// PST/OST or Outlook item (.msg) file.

#include <cstdio>
#include <fstream>

#include "cli/command.h"
#include "cli/inspect.h"

namespace varnolt::cli {
namespace {

int runInspect(const std::vector<std::string>& args) {
  bool withProperties = false;
  std::string path;
  for (const auto& a : args) {
    if (a == "--properties") {
      withProperties = true;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "varnolt-cli inspect: unknown option '%s'\n", a.c_str());
      return kExitFailed;
    } else if (path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "varnolt-cli inspect: only one file at a time\n");
      return kExitFailed;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: varnolt-cli inspect FILE [--properties]\n");
    return kExitFailed;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open the file\n", path.c_str());
    return kExitFailed;
  }
  unsigned char magic[8] = {};
  in.read(reinterpret_cast<char*>(magic), sizeof magic);
  static const unsigned char cfb[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  if (in.gcount() == 8 && std::equal(magic, magic + 8, cfb)) return inspectMsg(path, withProperties);
  // Everything else is read as a PST, which reports a file that is not one.
  return inspectPst(path, withProperties);
}

const Register reg({"inspect", "FILE [--properties]",
                    "print a JSON description of a PST, OST or .msg file (folders, messages, attachments)", runInspect});

}  // namespace
}  // namespace varnolt::cli
