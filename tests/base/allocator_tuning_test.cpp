// The program starts itself again once with the allocator's setting, keeps
// a setting of the user's own, and never starts itself over and over.

#include "base/allocator_tuning.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace {

// Set by the parent for a started-again copy of this test program: where
// to write what its environment held.
constexpr const char* kReportTo = "VARNOLT_TEST_TUNING_REPORT";
constexpr int kReturnedExit = 42;

std::string self() {
  char buffer[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// Runs TuneAllocator in a child with GLIBC_TUNABLES as given (unset when
// null). A child started again runs DISABLED_Report below and exits 0; one that
// was not exits kReturnedExit. Returns the exit status and what a
// started-again child reported.
std::pair<int, std::string> runChild(const char* tunables, const std::string& reportPath) {
  std::remove(reportPath.c_str());
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (tunables)
      ::setenv("GLIBC_TUNABLES", tunables, 1);
    else
      ::unsetenv("GLIBC_TUNABLES");
    ::setenv(kReportTo, reportPath.c_str(), 1);
    std::string program = self();
    std::string filter = "--gtest_filter=AllocatorTuning.DISABLED_Report";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char* argv[] = {program.data(), filter.data(), disabled.data(), nullptr};
    varnolt::base::TuneAllocator(argv);
    ::_exit(kReturnedExit);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::ifstream in(reportPath);
  std::stringstream text;
  text << in.rdbuf();
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str()};
}

std::string programName() {
  const std::string path = self();
  return path.substr(path.rfind('/') + 1).substr(0, 15);
}

}  // namespace

// Not a check of its own, so disabled: what a started-again copy runs (it
// does nothing when the parent did not ask for it).
TEST(AllocatorTuning, DISABLED_Report) {
  const char* to = std::getenv(kReportTo);
  if (!to) GTEST_SKIP() << "only run by the tests below";
  // The started-again program runs TuneAllocator as the real one would.
  std::string program = self();
  char* args[] = {program.data(), nullptr};
  varnolt::base::TuneAllocator(args);
  std::ofstream out(to);
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  // The process keeps the program's name (ps and kill go by it).
  std::ifstream comm("/proc/self/comm");
  std::string name;
  std::getline(comm, name);
  out << (tunables ? tunables : "(unset)") << "|" << (std::getenv("VARNOLT_ALLOCATOR_TUNED") ? "marked" : "clear")
      << "|" << name;
}

TEST(AllocatorTuning, StartsAgainOnceWithTheSettingAdded) {
  const std::string report = ::testing::TempDir() + "tuning_report_" + std::to_string(::getpid());
  // The kernel keeps the first 15 bytes of the program file's name.
  const std::string name = programName();
  // Nothing set: started again with the cache's length, the marker gone by
  // the time the program runs, and no third start (that one would exec
  // again and never reach the report).
  auto [status, text] = runChild(nullptr, report);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "glibc.malloc.tcache_count=250|clear|" + name);
  // The user's other settings are kept beside it.
  std::tie(status, text) = runChild("glibc.malloc.mmap_threshold=1048576", report);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text, "glibc.malloc.mmap_threshold=1048576:glibc.malloc.tcache_count=250|clear|" + name);
  // A cache length of the user's own: not started again at all.
  std::tie(status, text) = runChild("glibc.malloc.tcache_count=3", report);
  EXPECT_EQ(status, kReturnedExit);
  EXPECT_EQ(text, "");
  std::remove(report.c_str());
}
