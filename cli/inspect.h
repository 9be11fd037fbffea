#pragma once
// The two halves of `inspect`: each prints the JSON document for its kind
// of file to standard output and returns the command's exit code.

#include <string>

namespace varnolt::cli {

int inspectPst(const std::string& path, bool withProperties);
int inspectMsg(const std::string& path, bool withProperties);

}  // namespace varnolt::cli
