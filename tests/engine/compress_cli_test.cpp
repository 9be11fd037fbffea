// varnolt-cli compress refuses bad arguments with a clear message and exit
// code 1, before it opens any mail store.

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

CommandResult compress(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(binDir() / "varnolt-cli").string(), "compress"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, 60);
}

TEST(CompressCommand, RefusesBadArguments) {
  TempDir tmp;
  const std::string pst = (tmp / "a.pst").string();
  writeFile(pst, "not read before the arguments are checked");
  const std::string dest = tmp.path().string();
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{pst}, "--dest is required"},
      {{"--dest", dest}, "no PST file given"},
      {{"--dest"}, "--dest needs a folder"},
      {{"--dest", dest, "--treatment", "zip", pst}, "unknown treatment 'zip'"},
      {{"--dest", dest, "--treatment"}, "--treatment needs remove, extract or extract-zip"},
      {{"--dest", dest, "--fast", pst}, "unknown option '--fast'"},
      {{"--dest", (tmp / "missing").string(), pst}, "missing: not a folder"},
      {{"--dest", pst, pst}, "a.pst: not a folder"},
      {{"--dest", dest, (tmp / "gone.pst").string()}, "gone.pst: no such file"},
  };
  for (const auto& c : cases) {
    const CommandResult r = compress(c.args);
    EXPECT_EQ(r.exitCode, 1) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  // Nothing was written into the destination.
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace varnolt::test
