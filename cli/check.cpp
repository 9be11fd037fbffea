// varnolt-cli check FILE [--max-findings N]: checks a PST or OST file
// against the rules of the format and prints one line per broken rule, at
// most N of them (1,000 unless told; 0 prints all), then a summary.

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "cli/command.h"
#include "mapi/error.h"
#include "mapi/pst/ndb/byte_source.h"
#include "mapi/pst/check/check.h"

namespace varnolt::cli {
namespace {

namespace check = varnolt::mapi::pst::check;

int runCheck(const std::vector<std::string>& args) {
  std::string path;
  check::CheckOptions options;
  // A wrecked file can break a rule in every block; past this many lines
  // nobody reads on, and the count in the summary stays exact.
  options.maxFindings = 1000;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--max-findings") {
      const std::string n = i + 1 < args.size() ? args[i + 1] : "";
      char* end = nullptr;
      unsigned long long value = std::strtoull(n.c_str(), &end, 10);
      if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos || *end != '\0') {
        std::fprintf(stderr, "varnolt-cli check: --max-findings needs a number\n");
        return kExitFailed;
      }
      options.maxFindings = static_cast<std::size_t>(value);
      ++i;
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "varnolt-cli check: unknown option '%s'\n", a.c_str());
      return kExitFailed;
    } else if (path.empty()) {
      path = a;
    } else {
      std::fprintf(stderr, "varnolt-cli check: only one file at a time\n");
      return kExitFailed;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: varnolt-cli check FILE [--max-findings N]\n");
    return kExitFailed;
  }

  check::CheckResult r;
  try {
    mapi::pst::FileSource source(path);
    r = check::checkPst(source, options);
  } catch (const mapi::Error& e) {
    std::fprintf(stderr, "%s: cannot be checked: %s\n", path.c_str(), e.what());
    return kExitFailed;
  }
  for (const check::Finding& f : r.findings) std::printf("%s\n", f.line().c_str());
  for (const std::string& n : r.notChecked) std::printf("not checked: %s\n", n.c_str());
  std::string counts = std::to_string(r.pages) + " pages, " + std::to_string(r.blocks) + " blocks, " +
                       std::to_string(r.nodes) + " nodes, " + std::to_string(r.folders) + " folders, " +
                       std::to_string(r.messages) + " messages";
  if (r.clean()) {
    std::printf("%s: no findings (%s)\n", path.c_str(), counts.c_str());
    return kExitOk;
  }
  std::string shown = r.findings.size() < r.totalFindings
                          ? " (" + std::to_string(r.findings.size()) + " shown)"
                          : "";
  std::printf("%s: %zu finding%s%s (%s)\n", path.c_str(), r.totalFindings, r.totalFindings == 1 ? "" : "s",
              shown.c_str(), counts.c_str());
  return kExitPartial;
}

const Register reg({"check", "FILE [--max-findings N]",
                    "check a PST or OST file against the rules of the format; one line per finding", runCheck});

}  // namespace
}  // namespace varnolt::cli
