#include "base/file_system.h"

#include <atomic>

#include "base/posix_file_system.h"

namespace varnolt::base {
namespace {

std::atomic<FileSystem*>& current() {
  static std::atomic<FileSystem*> inUse{nullptr};
  return inUse;
}

}  // namespace

FileSystem& systemFileSystem() {
  static PosixFileSystem posix;
  return posix;
}

FileSystem& fileSystem() {
  FileSystem* inUse = current().load();
  return inUse ? *inUse : systemFileSystem();
}

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(current().exchange(&replacement)) {}

ScopedFileSystem::~ScopedFileSystem() { current().store(previous_); }

}  // namespace varnolt::base
