#include "mapi/pst/ndb/byte_source.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "mapi/error.h"

namespace varnolt::mapi::pst {
namespace {

[[noreturn]] void pastEnd(std::uint64_t offset, std::size_t length, std::uint64_t size) {
  throw Error(ErrorKind::Truncated,
              "the file is truncated: it ends at byte " + std::to_string(size) + " but data runs to byte " +
                  std::to_string(offset + length) + " from",
              offset);
}

}  // namespace

FileSource::FileSource(const std::filesystem::path& path, base::FileSystem& fileSystem) {
  std::error_code error;
  file_ = fileSystem.openRead(path, error);
  if (!file_) throw Error(ErrorKind::Io, "cannot open the file: " + error.message());
  if (file_->type() != base::EntryType::File) {
    file_.reset();
    throw Error(ErrorKind::Io, "not a regular file");
  }
  size_ = file_->size();
}

FileSource::~FileSource() = default;

void FileSource::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  if (offset > size_ || length > size_ - offset) pastEnd(offset, length, size_);
  if (length == 0) return;  // an empty file has no window to copy from
  bytesRead_ += length;
  std::uint64_t start = offset / kWindowSize * kWindowSize;
  if (offset + length > start + kWindowSize) {
    preadFully(offset, out, length);
    return;
  }
  Window* use = nullptr;
  for (Window& w : windows_) {
    if (!w.data.empty() && w.start == start) use = &w;
  }
  if (!use) {
    use = &windows_[0];
    for (Window& w : windows_) {
      if (w.lastUse < use->lastUse) use = &w;
    }
    use->data.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, size_ - start)));
    use->start = start;
    try {
      preadFully(start, use->data.data(), use->data.size());
    } catch (...) {
      use->data.clear();
      throw;
    }
  }
  use->lastUse = ++clock_;
  std::memcpy(out, use->data.data() + (offset - start), length);
}

void FileSource::preadFully(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  std::size_t done = 0;
  while (done < length) {
    std::error_code error;
    const std::size_t n = file_->readAt(offset + done, out + done, length - done, error);
    if (error) throw Error(ErrorKind::Io, "read failed: " + error.message(), offset + done);
    // The file shrank under us.
    if (n == 0) pastEnd(offset, length, offset + done);
    done += n;
  }
}

void MemorySource::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) pastEnd(offset, length, bytes_.size());
  if (length > 0) std::memcpy(out, bytes_.data() + offset, length);
  bytesRead_ += length;
}

}  // namespace varnolt::mapi::pst
