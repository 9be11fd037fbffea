#pragma once
// Shared helpers for the test programs.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace varnolt::test {

namespace fs = std::filesystem;

// A path from UTF-8 text, whatever the system's own code page.
fs::path pathOf(const std::string& utf8);

// Sets TZ (nothing: unsets it) and has the C library read it again.
void setTimeZone(const char* value);

// The folder of real sample files (pst/, msg/, bad/), or empty when it is
// not beside the checkout.
fs::path samplesDir();

// Skips the current test, saying why, when the samples are absent.
#define VARNOLT_REQUIRE_SAMPLES()                                              \
  do {                                                                         \
    if (::varnolt::test::samplesDir().empty())                                 \
      GTEST_SKIP() << "sample files not found beside the checkout";            \
  } while (0)

// Every regular file in samplesDir()/sub with the given extension, sorted.
std::vector<fs::path> sampleFiles(const std::string& sub, const std::string& ext);

// Folder where the project's programs are built (build/bin).
fs::path binDir();
// One of the project's programs in binDir() (name.exe on Windows).
fs::path programPath(const std::string& name);
fs::path sourceDir();

// A fresh scratch folder removed when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  // Names are UTF-8 text, or paths as they are.
  fs::path operator/(const std::string& name) const { return path_ / pathOf(name); }
  fs::path operator/(const char* name) const { return path_ / pathOf(name); }
  fs::path operator/(const fs::path& name) const { return path_ / name; }

 private:
  fs::path path_;
};

struct CommandResult {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
};

// Runs argv[0] with the arguments, without a shell, and captures both
// output streams. Gives up after timeoutSeconds and reports exitCode -1.
CommandResult run(const std::vector<std::string>& argv, int timeoutSeconds = 300);

// True when a program of that name is on PATH (or is an absolute path).
bool haveProgram(const std::string& name);

std::vector<std::uint8_t> readFile(const fs::path& p);
void writeFile(const fs::path& p, const std::vector<std::uint8_t>& bytes);
void writeFile(const fs::path& p, const std::string& text);

// Lower-case hex SHA-256 of the bytes or of a file's content.
std::string sha256Hex(const std::vector<std::uint8_t>& bytes);
std::string fileSha256(const fs::path& p);

// The path a file URI names, read as URI readers read it: "?" starts the
// query and "#" the fragment, neither part of the path; every %XX escape
// decoded. Nothing when uri is not "file://" with a well-formed path ("%"
// without two hex digits after it).
std::optional<std::string> fileUriPath(const std::string& uri);

}  // namespace varnolt::test
