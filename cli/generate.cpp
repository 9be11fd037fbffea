// varnolt-cli generate OUT.pst [options]: a synthetic PST file for scale
// tests and benchmarks. The same options and seed give the same file.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cli/command.h"
#include "mapi/pst/writer/generator.h"

namespace varnolt::cli {
namespace {

const char* kUsage =
    "usage: varnolt-cli generate OUT.pst [--folders N] [--messages N] [--recipients N] "
    "[--attachments-per-message N] [--attachment-size BYTES] [--seed N]\n";

bool parseNumber(const std::string& text, double& out, bool integer) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (!end || *end != '\0' || !(v >= 0) || v > 1e18) return false;
  if (integer && v != static_cast<double>(static_cast<std::uint64_t>(v))) return false;
  out = v;
  return true;
}

int runGenerate(const std::vector<std::string>& args) {
  mapi::pst::GeneratorOptions o;
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.rfind("--", 0) != 0) {
      if (!out.empty()) {
        std::fputs(kUsage, stderr);
        return kExitFailed;
      }
      out = a;
      continue;
    }
    double v = 0;
    bool integer = a != "--recipients" && a != "--attachments-per-message";
    if (i + 1 >= args.size() || !parseNumber(args[i + 1], v, integer)) {
      std::fprintf(stderr, "%s needs a %s number\n%s", a.c_str(), integer ? "whole" : "non-negative", kUsage);
      return kExitFailed;
    }
    ++i;
    if (a == "--folders" && v <= 100000) {
      o.folders = static_cast<std::uint32_t>(v);
    } else if (a == "--messages") {
      o.messages = static_cast<std::uint64_t>(v);
    } else if (a == "--recipients" && v <= 1000) {
      o.recipients = v;
    } else if (a == "--attachments-per-message" && v <= 1000) {
      o.attachmentsPerMessage = v;
    } else if (a == "--attachment-size" && v <= 2.0 * 1024 * 1024 * 1024) {
      o.attachmentSize = static_cast<std::uint64_t>(v);
    } else if (a == "--seed") {
      o.seed = static_cast<std::uint64_t>(v);
    } else {
      std::fprintf(stderr, "unknown option or value out of range: %s\n%s", a.c_str(), kUsage);
      return kExitFailed;
    }
  }
  if (out.empty()) {
    std::fputs(kUsage, stderr);
    return kExitFailed;
  }
  try {
    auto t = mapi::pst::generatePst(out, o);
    std::printf("%llu folders, %llu messages, %llu recipients, %llu attachments (%llu bytes)\n",
                static_cast<unsigned long long>(t.folders), static_cast<unsigned long long>(t.messages),
                static_cast<unsigned long long>(t.recipients), static_cast<unsigned long long>(t.attachments),
                static_cast<unsigned long long>(t.attachmentBytes));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", out.c_str(), e.what());
    return kExitFailed;
  }
  return kExitOk;
}

const Register reg({"generate", "OUT.pst [--folders N] [--messages N] [--recipients N] [--attachments-per-message N] "
                                "[--attachment-size BYTES] [--seed N]",
                    "write a synthetic PST file for scale tests and benchmarks", runGenerate});

}  // namespace
}  // namespace varnolt::cli
