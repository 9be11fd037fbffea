// varnolt-cli compress refuses bad arguments with a clear message and exit
// code 1, before it opens any mail store; --help and --version answer on
// standard output. (Runs over real files are in tests/compress_e2e.)

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

CommandResult compress(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(programPath("varnolt-cli")).string(), "compress"};
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
      {{"--dest", dest, ""}, "an empty PST path"},
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

TEST(CompressCommand, HelpAndVersionWhereverTheyStand) {
  TempDir tmp;
  for (const auto& args : std::vector<std::vector<std::string>>{{"--help"}, {"--dest", tmp.path().string(), "-h"}}) {
    const CommandResult r = compress(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: varnolt-cli compress", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--treatment extract-zip"), std::string::npos);
    EXPECT_NE(r.out.find("2 when some steps"), std::string::npos);
  }
  const CommandResult v = compress({"--version"});
  EXPECT_EQ(v.exitCode, 0);
  EXPECT_EQ(v.out.rfind("varnolt-cli ", 0), 0u) << v.out;
  EXPECT_TRUE(fs::is_empty(tmp.path()));
}

// Paths outside ASCII go in as arguments and come out as files under the
// same names (on Windows: through the wide command line, not the ANSI code
// page, which holds none of these scripts at once).
TEST(CompressCommand, NamesOutsideAsciiArriveWhole) {
  VARNOLT_REQUIRE_SAMPLES();
  TempDir tmp;
  const std::string folder = "Почта ü 日本";
  const fs::path dest = tmp / folder / pathOf("Ziel é");
  fs::create_directories(dest);
  const fs::path pst = tmp / folder / pathOf("Ещё — письмо.pst");
  fs::copy_file(samplesDir() / "pst" / "unicode-one-attachment.pst", pst);

  const std::u8string destText = dest.u8string(), pstText = pst.u8string();
  const CommandResult r = compress({"--treatment", "extract", "--dest", std::string(destText.begin(), destText.end()),
                                    std::string(pstText.begin(), pstText.end())});
  ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("Ещё — письмо.pst"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Ziel é"), std::string::npos) << r.out;
  std::vector<fs::path> runs(fs::directory_iterator(dest), fs::directory_iterator{});
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(fs::is_regular_file(runs[0] / "KestrikCompress.pst"));
  const fs::path saved = runs[0] / "Outlook_Attachments";
  ASSERT_TRUE(fs::is_directory(saved));
  EXPECT_EQ(std::distance(fs::directory_iterator(saved), fs::directory_iterator{}), 1);
  // The source is where it was, untouched.
  EXPECT_EQ(fileSha256(pst), fileSha256(samplesDir() / "pst" / "unicode-one-attachment.pst"));
}

}  // namespace
}  // namespace varnolt::test
