#pragma once
// Where the reader takes its bytes from: a file opened read-only and read
// with pread (never mapped, never read whole), or bytes already in memory
// (tests, the fuzzer). The reader never writes to a source.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "base/file_system.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Reads exactly `length` bytes at `offset`; throws mapi::Error
  // (Truncated) when they run past the end, (Io) when the system fails.
  virtual void readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const = 0;
  // Bytes handed to readAt so far (for the benchmark).
  std::uint64_t bytesRead() const { return bytesRead_; }

 protected:
  mutable std::uint64_t bytesRead_ = 0;
};

// Small reads (pages, blocks) are served from a few 64 KiB windows of the
// file: the blocks of one object usually lie together, and one pread per
// window costs far less than one per block. Large reads bypass them.
class FileSource : public ByteSource {
 public:
  explicit FileSource(const std::filesystem::path& path, base::FileSystem& fileSystem = base::fileSystem());
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  std::uint64_t size() const override { return size_; }
  void readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const override;

 private:
  struct Window {
    std::uint64_t start = 0;
    Bytes data;  // empty when unused
    std::uint64_t lastUse = 0;
  };
  static constexpr std::size_t kWindowSize = 16 * 1024;
  static constexpr std::size_t kWindows = 16;

  void preadFully(std::uint64_t offset, std::uint8_t* out, std::size_t length) const;

  std::unique_ptr<base::ReadableFile> file_;
  std::uint64_t size_ = 0;
  mutable Window windows_[kWindows];
  mutable std::uint64_t clock_ = 0;
};

// Keeps a copy, so the caller's buffer may go away.
class MemorySource : public ByteSource {
 public:
  explicit MemorySource(ByteView bytes) : bytes_(bytes.copy()) {}
  explicit MemorySource(Bytes bytes) : bytes_(std::move(bytes)) {}

  std::uint64_t size() const override { return bytes_.size(); }
  void readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const override;

 private:
  Bytes bytes_;
};

}  // namespace varnolt::mapi::pst
