#pragma once
// A file written under a temporary name beside its destination and renamed
// into place only when complete, so a failure or a crash never leaves a
// half-written file where a whole one is expected. A destination that
// already exists keeps its permissions and is replaced in one step.

#include <cstdint>
#include <filesystem>

namespace varnolt::mapi::cfb {

class AtomicFile {
 public:
  // Creates the temporary file; throws mapi::Error (Io) when it cannot.
  explicit AtomicFile(std::filesystem::path destination);
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void write(const std::uint8_t* data, std::size_t size);
  // Flushes, closes and renames the file into place.
  void commit();

  const std::filesystem::path& temporaryPath() const { return temp_; }

 private:
  [[noreturn]] void fail(const char* what);

  std::filesystem::path dest_;
  std::filesystem::path temp_;
  int fd_ = -1;
  bool committed_ = false;
};

}  // namespace varnolt::mapi::cfb
