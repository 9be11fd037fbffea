#pragma once
// The file a writer fills: created under a temporary name beside its
// destination, written at any offset, and renamed into place only by
// commit(). A crash, a kill or an exception before that leaves at most a
// "*.partial-*" file, never a file at the destination that looks whole.
// Appends are gathered into one buffer, so many small blocks cost few
// system calls.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <system_error>

#include "base/file_system.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

class OutputFile {
 public:
  // Throws mapi::Error (Io) when the temporary file cannot be created.
  explicit OutputFile(std::filesystem::path destination, base::FileSystem& fileSystem = base::fileSystem());
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  void writeAt(std::uint64_t offset, ByteView data);
  // Makes the file exactly this long (zeros past what was written).
  void resize(std::uint64_t size);
  // Flushes, syncs and renames the file into place.
  void commit();
  // Removes the temporary file now.
  void discard();

  const std::filesystem::path& destination() const { return dest_; }
  const std::filesystem::path& temporaryPath() const { return temp_; }

 private:
  void flush();
  void pwriteAll(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
  // Throws mapi::Error naming what failed, after removing the temporary file.
  void check(const std::error_code& error, const std::string& what);

  std::filesystem::path dest_;
  std::filesystem::path temp_;
  std::unique_ptr<base::NewFile> file_;
  bool open_ = true;
  bool done_ = false;
  Bytes buffer_;
  std::uint64_t bufferStart_ = 0;
};

}  // namespace varnolt::mapi::pst
