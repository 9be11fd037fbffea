#include "mapi/pst/ndb/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

FileSource::FileSource(const std::filesystem::path& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw Error(ErrorKind::Io, std::string("cannot open the file: ") + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    int e = errno;
    ::close(fd_);
    throw Error(ErrorKind::Io, std::string("cannot read the file's size: ") + std::strerror(e));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw Error(ErrorKind::Io, "not a regular file");
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

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
    ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::Io, std::string("read failed: ") + std::strerror(errno), offset + done);
    }
    // The file shrank under us.
    if (n == 0) pastEnd(offset, length, offset + done);
    done += static_cast<std::size_t>(n);
  }
}

void MemorySource::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length) const {
  if (offset > bytes_.size() || length > bytes_.size() - offset) pastEnd(offset, length, bytes_.size());
  if (length > 0) std::memcpy(out, bytes_.data() + offset, length);
  bytesRead_ += length;
}

}  // namespace varnolt::mapi::pst
