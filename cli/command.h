#pragma once
// varnolt-cli is a set of sub-commands; each lives in a file of its own and
// registers itself here, so adding one touches nothing else.

#include <string>
#include <vector>

namespace varnolt::cli {

struct Command {
  const char* name;
  const char* usage;    // one line: arguments after the name
  const char* summary;  // one line: what it does
  int (*run)(const std::vector<std::string>& args);
};

// Exit codes every command keeps to.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;   // could not run at all
inline constexpr int kExitPartial = 2;  // ran, but some parts failed

std::vector<Command>& commands();

struct Register {
  explicit Register(Command c) { commands().push_back(c); }
};

}  // namespace varnolt::cli
