#pragma once
// A file written under a temporary name beside its destination and renamed
// into place only when complete, so a failure or a crash never leaves a
// half-written file where a whole one is expected. A destination that
// already exists keeps its permissions and is replaced in one step.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/file_system.h"

namespace varnolt::mapi::cfb {

class AtomicFile {
 public:
  // Creates the temporary file; throws mapi::Error (Io) when it cannot.
  explicit AtomicFile(std::filesystem::path destination, base::FileSystem& fileSystem = base::fileSystem());
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(const std::uint8_t* data, std::size_t size);
  // Flushes, closes and renames the file into place.
  void commit();

  const std::filesystem::path& temporaryPath() const;

 private:
  void check(const std::error_code& error, const char* what) const;

  std::filesystem::path dest_;
  std::unique_ptr<base::NewFile> file_;
  std::uint64_t position_ = 0;
};

}  // namespace varnolt::mapi::cfb
