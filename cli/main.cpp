// varnolt-cli: the command line of Varnolt.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "base/allocator_tuning.h"
#include "cli/arguments.h"
#include "cli/command.h"

namespace varnolt::cli {

std::vector<Command>& commands() {
  static std::vector<Command> all;
  return all;
}

namespace {

void printHelp(std::FILE* to) {
  std::fprintf(to, "Usage: varnolt-cli COMMAND [ARGS...]\n\nCommands:\n");
  auto list = commands();
  std::sort(list.begin(), list.end(), [](const Command& a, const Command& b) { return std::strcmp(a.name, b.name) < 0; });
  for (const auto& c : list) std::fprintf(to, "  %s %s\n      %s\n", c.name, c.usage, c.summary);
  std::fprintf(to, "\n  --help      this text\n  --version   the program's version\n");
}

}  // namespace
}  // namespace varnolt::cli

int main(int argc, char** argv) {
  varnolt::base::TuneAllocator(argv);
  using namespace varnolt::cli;
  useUtf8Console();
  std::vector<std::string> args = programArguments(argc, argv);
  if (args.empty()) {
    printHelp(stderr);
    return kExitFailed;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    printHelp(stdout);
    return kExitOk;
  }
  if (args[0] == "--version") {
    std::printf("varnolt-cli %s\n", VARNOLT_VERSION);
    return kExitOk;
  }
  for (const auto& c : commands()) {
    if (args[0] == c.name) {
      std::vector<std::string> rest(args.begin() + 1, args.end());
      try {
        return c.run(rest);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "varnolt-cli %s: %s\n", c.name, e.what());
        return kExitFailed;
      }
    }
  }
  std::fprintf(stderr, "varnolt-cli: unknown command '%s' (see varnolt-cli --help)\n", args[0].c_str());
  return kExitFailed;
}
