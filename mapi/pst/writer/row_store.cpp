#include "mapi/pst/writer/row_store.h"

#include <string>

#include "mapi/error.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

namespace {

[[noreturn]] void throwIo(const std::string& what, const std::error_code& error) {
  throw Error(ioErrorKind(error.value()), what + ": " + error.message());
}

}  // namespace

RowFile::RowFile(const std::filesystem::path& folder, base::FileSystem& fileSystem)
    : folder_(folder.empty() ? "." : folder) {
  std::error_code error;
  file_ = fileSystem.createScratch(folder_, error);
  if (!file_) throwIo("cannot create a scratch file in " + folder_.string(), error);
}

RowFile::~RowFile() = default;

std::uint64_t RowFile::append(const Bytes& bytes) {
  const std::uint64_t at = end_;
  std::error_code error;
  file_->writeAt(at, bytes.data(), bytes.size(), error);
  if (error) throwIo("cannot write the table rows' scratch file in " + folder_.string(), error);
  end_ += bytes.size();
  return at;
}

Bytes RowFile::read(std::uint64_t offset, std::size_t size) const {
  Bytes out(size);
  std::size_t done = 0;
  while (done < size) {
    std::error_code error;
    const std::size_t n = file_->readAt(offset + done, out.data() + done, size - done, error);
    if (!error && n == 0) error = std::make_error_code(std::errc::io_error);
    if (error) throwIo("cannot read the table rows' scratch file in " + folder_.string(), error);
    done += n;
  }
  return out;
}

void RowStore::add(PackedRow row, RowFile& file) {
  pending_.push_back(std::move(row));
  if (pending_.size() < kRowsPerChunk) return;
  // Each row: its id, the length of its cells, the cells.
  Bytes chunk;
  for (const PackedRow& r : pending_) {
    putU32(chunk, r.rowId());
    putU32(chunk, static_cast<std::uint32_t>(r.cells().size()));
    putBytes(chunk, r.cells());
  }
  const std::uint64_t offset = file.append(chunk);
  chunks_.push_back({offset, chunk.size(), pending_.size()});
  spilled_ += pending_.size();
  pending_.clear();
}

std::vector<PackedRow> RowStore::all(const RowFile* file) const {
  std::vector<PackedRow> rows;
  rows.reserve(size());
  for (const Chunk& c : chunks_) {
    const Bytes bytes = file->read(c.offset, c.bytes);
    ByteView v(bytes);
    std::size_t off = 0;
    for (std::size_t i = 0; i < c.rows; ++i) {
      const std::uint32_t id = v.u32(off);
      const std::size_t length = v.u32(off + 4);
      ByteView cells = v.sub(off + 8, length);
      rows.emplace_back(id, Bytes(cells.data(), cells.data() + cells.size()));
      off += 8 + length;
    }
  }
  rows.insert(rows.end(), pending_.begin(), pending_.end());
  return rows;
}

}  // namespace varnolt::mapi::pst
