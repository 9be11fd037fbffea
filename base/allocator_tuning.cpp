#include "base/allocator_tuning.h"

// Before the test below: it is this header that says whether the C
// library is glibc.
#include <cstdlib>

#if defined(__GLIBC__)
#include <dlfcn.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <string>
#endif

namespace varnolt::base {

#if defined(__GLIBC__)

namespace {

// Freed blocks kept per size and thread: enough for a message's worth of
// properties; at most a few MiB held in all.
constexpr const char* kTcacheSetting = "glibc.malloc.tcache_count=250";
// Set for the started-again program: it must not start itself once more
// even where the C library ignored the setting (a set-user-id program).
constexpr const char* kTunedMarker = "VARNOLT_ALLOCATOR_TUNED";

}  // namespace

void TuneAllocator(char** argv) {
  // A program built with mimalloc does not allocate through glibc at all.
  if (::dlsym(RTLD_DEFAULT, "mi_malloc") != nullptr) return;
  if (std::getenv(kTunedMarker) != nullptr) {
    // Children of the program start as anyone would.
    ::unsetenv(kTunedMarker);
    return;
  }
  if (::getauxval(AT_SECURE) != 0 || argv == nullptr || argv[0] == nullptr) return;
  const char* current = std::getenv("GLIBC_TUNABLES");
  std::string tunables = current != nullptr ? current : "";
  // Whoever set the cache's length chose it: keep their choice.
  if (tunables.find("glibc.malloc.tcache_count") != std::string::npos) return;
  if (!tunables.empty()) tunables += ':';
  tunables += kTcacheSetting;
  const std::string before = current != nullptr ? current : "";
  if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  // By the program file's own name: exec'd as /proc/self/exe the process
  // would be called "exe" in ps, top and kill's lists.
  char program[4096];
  const ssize_t length = ::readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0 && ::setenv(kTunedMarker, "1", 1) == 0) {
    program[length] = '\0';
    ::execv(program, argv);
  }
  // Not started again: go on untuned, with the environment as it was.
  ::unsetenv(kTunedMarker);
  if (current != nullptr)
    ::setenv("GLIBC_TUNABLES", before.c_str(), 1);
  else
    ::unsetenv("GLIBC_TUNABLES");
}

#else

void TuneAllocator(char**) {}

#endif

}  // namespace varnolt::base
