#include "mapi/pst/writer/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mapi/error.h"

namespace varnolt::mapi::pst {
namespace {

constexpr std::size_t kBufferSize = 4 << 20;

}  // namespace

OutputFile::OutputFile(std::filesystem::path destination) : dest_(std::move(destination)) {
  std::filesystem::path dir = dest_.parent_path();
  if (dir.empty()) dir = ".";
  std::string pattern = (dir / (dest_.filename().string() + ".partial-XXXXXX")).string();
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) {
    int err = errno;
    throw Error(ioErrorKind(err), dest_.string() + ": cannot create a file beside it: " + std::strerror(err));
  }
  temp_ = pattern;
  // mkstemp makes the file private; a finished PST gets the usual mode.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd_, static_cast<mode_t>(0666 & ~mask));
  buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
  if (!done_) discard();
}

void OutputFile::fail(const std::string& what) {
  int err = errno;
  std::string message = temp_.string() + ": " + what + ": " + std::strerror(err);
  discard();
  throw Error(ioErrorKind(err), message);
}

void OutputFile::pwriteAll(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write");
    }
    auto done = static_cast<std::size_t>(n);
    data += done;
    size -= done;
    offset += done;
  }
}

void OutputFile::flush() {
  if (buffer_.empty()) return;
  pwriteAll(bufferStart_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

void OutputFile::writeAt(std::uint64_t offset, ByteView data) {
  if (fd_ < 0) throw Error(ErrorKind::Io, dest_.string() + ": the file is already closed");
  if (data.empty()) return;
  if (!buffer_.empty() && offset != bufferStart_ + buffer_.size()) flush();
  if (data.size() >= kBufferSize) {
    flush();
    pwriteAll(offset, data.data(), data.size());
    return;
  }
  if (buffer_.empty()) bufferStart_ = offset;
  buffer_.insert(buffer_.end(), data.data(), data.data() + data.size());
  if (buffer_.size() >= kBufferSize) flush();
}

void OutputFile::resize(std::uint64_t size) {
  flush();
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) fail("cannot set the file size");
}

void OutputFile::commit() {
  flush();
  if (::fsync(fd_) != 0) fail("cannot flush to disk");
  if (::close(fd_) != 0) {
    fd_ = -1;
    fail("cannot close");
  }
  fd_ = -1;
  std::error_code ec;
  std::filesystem::rename(temp_, dest_, ec);
  if (ec) {
    std::string message = dest_.string() + ": cannot move the finished file into place: " + ec.message();
    discard();
    throw Error(ErrorKind::Io, message);
  }
  done_ = true;
}

void OutputFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  if (!temp_.empty()) {
    std::error_code ec;
    std::filesystem::remove(temp_, ec);
  }
  done_ = true;
}

}  // namespace varnolt::mapi::pst
