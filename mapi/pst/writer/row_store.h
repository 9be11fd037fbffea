#pragma once
// The contents-table rows of a file being written, kept until close()
// builds the tables. A file of hundreds of thousands of messages would
// hold a few hundred bytes a message in memory; the rows go instead, a
// few dozen at a time, to a temporary file beside the new one that
// vanishes with the writer, and come back one folder at a time.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "base/file_system.h"
#include "mapi/pst/writer/property_context_writer.h"

namespace varnolt::mapi::pst {

// An unnamed scratch file: appended to, read back at any offset, gone
// when closed (or when the process ends, however it ends).
class RowFile {
 public:
  // Creates it in folder; throws mapi::Error (Io, NoSpace) when it cannot.
  explicit RowFile(const std::filesystem::path& folder, base::FileSystem& fileSystem = base::fileSystem());
  ~RowFile();
  RowFile(const RowFile&) = delete;
  RowFile& operator=(const RowFile&) = delete;

  // Where the bytes went.
  std::uint64_t append(const Bytes& bytes);
  Bytes read(std::uint64_t offset, std::size_t size) const;

 private:
  std::filesystem::path folder_;
  std::unique_ptr<base::OpenFile> file_;
  std::uint64_t end_ = 0;
};

// The rows of one table, in the order added.
class RowStore {
 public:
  // Rows held in memory before they go to the file together.
  static constexpr std::size_t kRowsPerChunk = 64;

  std::size_t size() const { return spilled_ + pending_.size(); }
  void add(PackedRow row, RowFile& file);
  // Every row, in order.
  std::vector<PackedRow> all(const RowFile* file) const;

 private:
  struct Chunk {
    std::uint64_t offset = 0;
    std::size_t bytes = 0;
    std::size_t rows = 0;
  };
  std::vector<Chunk> chunks_;
  std::size_t spilled_ = 0;
  std::vector<PackedRow> pending_;
};

}  // namespace varnolt::mapi::pst
