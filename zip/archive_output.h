#pragma once
// The archive file being written. Bytes go to a temporary file beside the
// destination, which takes the destination's name only once the whole
// archive is on disk: a write that fails half way (a full disk, a removed
// folder) leaves no truncated archive behind, and an archive being
// replaced stays intact until its successor is complete.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/file_system.h"

namespace varnolt::zip {

class ArchiveOutput {
 public:
  // Creates the temporary file; throws zip::Error (Io) when it cannot.
  explicit ArchiveOutput(std::filesystem::path destination, base::FileSystem& fileSystem = base::fileSystem());
  // Removes the temporary file unless commit() put it in place.
  ~ArchiveOutput();
  ArchiveOutput(const ArchiveOutput&) = delete;
  ArchiveOutput& operator=(const ArchiveOutput&) = delete;

  void write(const std::uint8_t* data, std::size_t size);
  void write(const std::vector<std::uint8_t>& bytes) { write(bytes.data(), bytes.size()); }
  void write(std::string_view text);

  // Writes over bytes already written at offset (a header whose sizes are
  // known only once its data has followed it); the position stays.
  void patch(std::uint64_t offset, const std::uint8_t* data, std::size_t size);

  // Bytes written so far: the offset where the next byte lands.
  std::uint64_t position() const { return position_; }

  // Flushes the file to disk and gives it the destination's name. With
  // replace true an existing file is replaced in one step; with replace
  // false an existing file is left alone and the answer is false. With
  // flush false the file and its name reach the disk when the system
  // writes them or the caller flushes the folder: for one who writes many
  // archives and flushes once.
  bool commit(bool replace, bool flush = true);

  const std::filesystem::path& temporaryPath() const { return file_->temporaryPath(); }

 private:
  void flushBuffer();
  void writeRaw(const std::uint8_t* data, std::size_t size);
  bool moveIntoPlace(bool replace);
  void check(const std::error_code& error, const char* what) const;

  std::filesystem::path dest_;
  base::FileSystem& fileSystem_;
  std::unique_ptr<base::NewFile> file_;
  bool open_ = true;
  std::uint64_t written_ = 0;  // bytes past the buffer, in the file
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace varnolt::zip
