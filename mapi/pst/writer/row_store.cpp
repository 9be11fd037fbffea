#include "mapi/pst/writer/row_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mapi/error.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::pst {

namespace {

[[noreturn]] void throwIo(const std::string& what, int err) {
  throw Error(ioErrorKind(err), what + ": " + std::strerror(err));
}

}  // namespace

RowFile::RowFile(const std::filesystem::path& folder) : folder_(folder.empty() ? "." : folder) {
  fd_ = ::open(folder_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    // File systems without unnamed files: a named one, unlinked at once.
    std::string pattern = (folder_ / ".rows-XXXXXX").string();
    fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) throwIo("cannot create a scratch file in " + folder_.string(), errno);
    ::unlink(pattern.c_str());
  }
}

RowFile::~RowFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t RowFile::append(const Bytes& bytes) {
  const std::uint64_t at = end_;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(at + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throwIo("cannot write the table rows' scratch file in " + folder_.string(), n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  end_ += bytes.size();
  return at;
}

Bytes RowFile::read(std::uint64_t offset, std::size_t size) const {
  Bytes out(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throwIo("cannot read the table rows' scratch file in " + folder_.string(), n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
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
