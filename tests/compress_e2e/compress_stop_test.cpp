// varnolt-cli compress runs that cannot finish a PST, for real: a run
// interrupted by SIGINT or SIGTERM part way through a generated mailbox,
// and destinations on a small file system (a tmpfs mounted by the test when
// it runs as root) that fill up or clearly have too little room. What is
// left on disk is checked file by file: the saved attachments and nothing
// else, never a new PST, an unfinished one or a scratch file.

#ifdef _WIN32

#include <gtest/gtest.h>

// Both tests drive POSIX: signals sent to a running process, and a tmpfs
// mounted as root. On Windows they say so and stop.
TEST(CompressInterrupted, LeavesOnlyTheSavedAttachments) {
  GTEST_SKIP() << "sends SIGINT and SIGTERM to a running varnolt-cli: POSIX signals";
}
TEST(CompressFullDestination, StopsThatPstAloneAndLeavesNoNewPst) {
  GTEST_SKIP() << "fills a tmpfs the test mounts as root: Linux only";
}

#else

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace varnolt::test {
namespace {

std::string cli() { return (programPath("varnolt-cli")).string(); }

// Every entry below root, relative to it, sorted.
std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
    out.push_back(fs::relative(it->path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

std::size_t filesIn(const fs::path& folder) {
  std::size_t n = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file()) ++n;
  return n;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A program started in the background with its output in files; killed
// and reaped when the test is done with it.
class Background {
 public:
  Background(const std::vector<std::string>& argv, const fs::path& outputs) : out_(outputs / "out"), err_(outputs / "err") {
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(err, 2);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Background() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool running() {
    if (pid_ <= 0) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ > 0;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  // The exit status; 1000 + the signal for a program a signal ended (so
  // an exit status of 130 is never confused with a death by SIGINT); -1
  // when it is still running after the time given.
  int wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 1000 + WTERMSIG(status_);
  }
  std::string out() const { return slurp(out_); }
  std::string err() const { return slurp(err_); }

 private:
  fs::path out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
};

// Polls until ready() or the time runs out.
template <class F>
bool waitFor(F ready, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// The one run folder in dest, or an empty path.
fs::path onlyRunFolder(const fs::path& dest) {
  std::vector<fs::path> found;
  std::error_code ec;
  for (fs::directory_iterator it(dest, ec), end; !ec && it != end; it.increment(ec)) found.push_back(it->path());
  return found.size() == 1 ? found[0] : fs::path();
}

fs::path generate(const fs::path& file, const std::vector<std::string>& options) {
  std::vector<std::string> argv{cli(), "generate", file.string()};
  argv.insert(argv.end(), options.begin(), options.end());
  const CommandResult r = run(argv);
  if (r.exitCode != 0) throw std::runtime_error("generate failed: " + r.err);
  return file;
}

// Ctrl-C (SIGINT) and SIGTERM: the run stops at the next message and
// leaves only the attachments it saved (none for remove), exit 130.
TEST(CompressInterrupted, LeavesOnlyTheSavedAttachments) {
  TempDir tmp;
  const fs::path mailbox = generate(tmp / "mailbox.pst", {"--folders", "4", "--messages", "6000",
                                                          "--attachments-per-message", "1", "--attachment-size",
                                                          "2000", "--seed", "7"});
  struct Case {
    int signal;
    std::string treatment;
  };
  for (const Case& c : {Case{SIGINT, "extract"}, Case{SIGTERM, "remove"}}) {
    SCOPED_TRACE(c.treatment);
    const fs::path dest = tmp / ("dest-" + c.treatment);
    fs::create_directory(dest);
    fs::create_directory(tmp / ("out-" + c.treatment));
    Background compress({cli(), "compress", "--treatment", c.treatment, "--dest", dest.string(), mailbox.string()},
                        tmp / ("out-" + c.treatment));
    // Into the walk: scratch files (and, when saving, attachments) appear.
    const bool walking = waitFor(
        [&] {
          const fs::path runFolder = onlyRunFolder(dest);
          if (runFolder.empty() || !fs::exists(runFolder / "MSG Folder")) return false;
          return c.treatment == "remove" || filesIn(runFolder / "Outlook_Attachments") >= 3;
        },
        std::chrono::seconds(120));
    ASSERT_TRUE(walking) << tree(dest).size() << " entries\n" << compress.err();
    const fs::path runFolder = onlyRunFolder(dest);
    compress.signal(c.signal);
    ASSERT_EQ(compress.wait(std::chrono::seconds(120)), 130) << compress.out() << compress.err();

    const std::string out = compress.out();
    EXPECT_NE(out.find("\nInterrupted: the unfinished new PST and its scratch folder were removed"), std::string::npos)
        << out;
    if (c.treatment == "remove") {
      EXPECT_TRUE(tree(dest).empty()) << ::testing::PrintToString(tree(dest));
      continue;
    }
    // The run folder holds the attachment folder and its files, and the
    // report that says where they came from, nothing more.
    const std::size_t kept = filesIn(runFolder / "Outlook_Attachments");
    EXPECT_GE(kept, 3u);
    for (const auto& entry : tree(dest)) {
      const std::string name = runFolder.filename().string();
      const bool attachments = entry.rfind(name + "/Outlook_Attachments", 0) == 0;
      const bool report = entry == name + "/Varnolt_Report.csv" || entry == name + "/Varnolt_Manifest.jsonl";
      EXPECT_TRUE(entry == name || attachments || report) << entry;
      EXPECT_EQ(entry.find(".part"), std::string::npos) << entry;
    }
    EXPECT_NE(out.find("saved attachment files kept: " + std::to_string(kept) + " in "), std::string::npos) << out;
    EXPECT_NE(out.find("; " + std::to_string(kept) + " saved attachment files kept in Outlook_Attachments"),
              std::string::npos)
        << out;
  }
}

// A tmpfs of a given size, mounted for one test; only root can.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& where, const std::string& size) : where_(where) {
    fs::create_directory(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_ && ::umount(where_.c_str()) != 0) ::umount2(where_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool mounted() const { return mounted_; }
  const fs::path& path() const { return where_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

// The account of one listed PST in the command's output.
std::string accountOf(const std::string& out, const fs::path& pst) {
  const std::size_t at = out.find(pst.string() + "\n");
  if (at == std::string::npos) return "";
  const std::size_t next = out.find("\n/", at + 1);
  return out.substr(at, next == std::string::npos ? std::string::npos : next - at);
}

TEST(CompressFullDestination, StopsThatPstAloneAndLeavesNoNewPst) {
  VARNOLT_REQUIRE_SAMPLES();
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  TempDir tmp;
  // Bodies make most of this one: removing its attachments leaves more
  // than the small file system holds, though a tenth of it fits.
  const fs::path bodies = generate(tmp / "bodies.pst", {"--folders", "2", "--messages", "1000",
                                                        "--attachments-per-message", "0.1", "--seed", "3"});
  // Many small attachments: each saved file takes a page of its own.
  const fs::path small = generate(tmp / "small-attachments.pst", {"--folders", "2", "--messages", "600",
                                                                  "--attachments-per-message", "1",
                                                                  "--attachment-size", "100", "--seed", "5"});
  const fs::path good = samplesDir() / "pst" / "unicode-one-attachment.pst";
  const std::uintmax_t capacity = 4u << 20;
  ASSERT_GT(fs::file_size(bodies), capacity) << "the mailbox must outgrow the file system";
  ASSERT_LT(fs::file_size(small), capacity - (1u << 20));

  {
    // Removing: full part way; the next PST is done.
    SmallFileSystem dest(tmp / "remove", "4m");
    if (!dest.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    const CommandResult r = run({cli(), "compress", "--dest", dest.path().string(), bodies.string(), good.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    const std::string account = accountOf(r.out, bodies);
    EXPECT_NE(account.find("stopped: the destination is full"), std::string::npos) << r.out;
    EXPECT_NE(account.find("failed steps: 1\n"), std::string::npos) << account;
    EXPECT_NE(account.find("the destination is full: "), std::string::npos) << account;
    EXPECT_NE(accountOf(r.out, good).find("failed steps: none"), std::string::npos) << r.out;
    // Only the good PST's run folder, with its finished PST.
    const fs::path runFolder = onlyRunFolder(dest.path());
    ASSERT_FALSE(runFolder.empty()) << ::testing::PrintToString(tree(dest.path()));
    EXPECT_EQ(tree(runFolder),
              (std::vector<std::string>{"KestrikCompress.pst", "Varnolt_Manifest.jsonl", "Varnolt_Report.csv"}));
    EXPECT_EQ(run({cli(), "check", (runFolder / "KestrikCompress.pst").string()}).exitCode, 0);
  }
  {
    // Saving: the attachment files fill it; those written stay, counted.
    SmallFileSystem dest(tmp / "extract", "4m");
    ASSERT_TRUE(dest.mounted());
    const CommandResult r =
        run({cli(), "compress", "--treatment", "extract", "--dest", dest.path().string(), small.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("stopped: the destination is full"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed steps: 1\n"), std::string::npos) << r.out;
    const fs::path runFolder = onlyRunFolder(dest.path());
    ASSERT_FALSE(runFolder.empty()) << ::testing::PrintToString(tree(dest.path()));
    const std::size_t kept = filesIn(runFolder / "Outlook_Attachments");
    EXPECT_GT(kept, 0u);
    // The attachment folder, its files and the report (two files).
    EXPECT_EQ(tree(runFolder).size(), kept + 3) << ::testing::PrintToString(tree(runFolder));
    for (const auto& entry : tree(runFolder)) EXPECT_EQ(entry.find(".part"), std::string::npos) << entry;
    EXPECT_NE(r.out.find("saved attachment files kept: " + std::to_string(kept) + " in "), std::string::npos)
        << r.out;
  }
  {
    // Saving what clearly cannot fit: not started at all.
    SmallFileSystem dest(tmp / "too-little", "4m");
    ASSERT_TRUE(dest.mounted());
    const CommandResult r =
        run({cli(), "compress", "--treatment", "extract", "--dest", dest.path().string(), bodies.string()});
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err;
    EXPECT_NE(r.out.find("not started: the destination has too little free space"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("run folder: (none)"), std::string::npos) << r.out;
    EXPECT_TRUE(tree(dest.path()).empty()) << ::testing::PrintToString(tree(dest.path()));
  }
}

}  // namespace
}  // namespace varnolt::test

#endif
