#include "base/file_system.h"

#include <atomic>
#include <cerrno>

#ifdef _WIN32
#include "base/windows_file_system.h"
#else
#include "base/posix_file_system.h"
#endif

namespace varnolt::base {
namespace {

std::atomic<FileSystem*>& current() {
  static std::atomic<FileSystem*> inUse{nullptr};
  return inUse;
}

}  // namespace

std::int64_t FileIdentity::modifiedSeconds() const {
  constexpr std::int64_t kBillion = 1000000000;
  return modified / kBillion - (modified % kBillion < 0 ? 1 : 0);
}

namespace {

bool noSpaceErrno(int value) {
#ifdef EDQUOT
  if (value == EDQUOT) return true;
#endif
  return value == ENOSPC;
}

}  // namespace

bool isNoSpace(const std::error_code& error) {
  if (error.category() == std::generic_category()) return noSpaceErrno(error.value());
  if (error.category() != std::system_category()) return false;
#ifdef _WIN32
  // Codes straight from the system, not given their errno yet.
  return error.value() == 39 /* ERROR_HANDLE_DISK_FULL */ || error.value() == 112 /* ERROR_DISK_FULL */ ||
         error.value() == 1295 /* ERROR_DISK_QUOTA_EXCEEDED */;
#else
  return noSpaceErrno(error.value());
#endif
}

FileSystem& systemFileSystem() {
#ifdef _WIN32
  static WindowsFileSystem system;
#else
  static PosixFileSystem system;
#endif
  return system;
}

FileSystem& fileSystem() {
  FileSystem* inUse = current().load();
  return inUse ? *inUse : systemFileSystem();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(current().exchange(&replacement)) {}

ScopedFileSystem::~ScopedFileSystem() { current().store(previous_); }

}  // namespace varnolt::base
