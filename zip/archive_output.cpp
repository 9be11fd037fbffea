#include "zip/archive_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "zip/error.h"

namespace varnolt::zip {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
// Room left in a file name for the temporary suffix.
constexpr std::size_t kMaxTempBase = 200;

std::string describe(const std::filesystem::path& p) { return p.empty() ? std::string(".") : p.string(); }

// A full file system is told apart: the caller stops writing there.
ErrorKind kindOf(int err) { return err == ENOSPC || err == EDQUOT ? ErrorKind::NoSpace : ErrorKind::Io; }

}  // namespace

ArchiveOutput::ArchiveOutput(std::filesystem::path destination) : dest_(std::move(destination)) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path dir = dest_.parent_path();
  std::string base = dest_.filename().string();
  if (base.size() > kMaxTempBase) base.resize(kMaxTempBase);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    temp_ = dir / ("." + base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) {
      const int err = errno;
      throw Error(kindOf(err), "cannot create a file in " + describe(dir) + ": " + std::strerror(err));
    }
  }
  if (fd_ < 0) throw Error(ErrorKind::Io, "cannot find a free temporary name beside " + dest_.string());
  buffer_.reserve(kBufferSize);
}

ArchiveOutput::~ArchiveOutput() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void ArchiveOutput::fail(const char* what, int err) const {
  throw Error(kindOf(err), std::string("cannot ") + what + " " + dest_.string() + ": " + std::strerror(err));
}

void ArchiveOutput::writeRaw(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("write", errno);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void ArchiveOutput::flushBuffer() {
  writeRaw(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void ArchiveOutput::write(const std::uint8_t* data, std::size_t size) {
  if (fd_ < 0) throw Error(ErrorKind::Io, "write to " + dest_.string() + " after it was closed");
  if (buffer_.size() + size > kBufferSize) flushBuffer();
  if (size >= kBufferSize)
    writeRaw(data, size);
  else
    buffer_.insert(buffer_.end(), data, data + size);
  position_ += size;
}

void ArchiveOutput::write(std::string_view text) {
  write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool ArchiveOutput::moveIntoPlace(bool replace) {
  if (replace) {
    if (::rename(temp_.c_str(), dest_.c_str()) != 0) fail("replace", errno);
    return true;
  }
  // Refuse to replace a file that appeared after the caller looked.
  if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, dest_.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
    // The file system has no such rename; a hard link fails just as
    // atomically when the name is taken.
    if (::link(temp_.c_str(), dest_.c_str()) == 0) {
      ::unlink(temp_.c_str());
      return true;
    }
    err = errno;
    if (err != EEXIST) {
      // No hard links either (FAT and the like): look, then rename.
      struct stat st {};
      if (::lstat(dest_.c_str(), &st) != 0 && errno == ENOENT) {
        if (::rename(temp_.c_str(), dest_.c_str()) != 0) fail("create", errno);
        return true;
      }
      err = EEXIST;
    }
  }
  if (err != EEXIST) fail("create", err);
  struct stat st {};
  if (::stat(dest_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    throw Error(ErrorKind::Io, "cannot create " + dest_.string() + ": something other than a file is in the way");
  return false;
}

bool ArchiveOutput::commit(bool replace, bool flush) {
  if (fd_ < 0) throw Error(ErrorKind::Io, "commit of " + dest_.string() + " after it was closed");
  flushBuffer();
  if (flush && ::fsync(fd_) != 0) fail("write", errno);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail("write", errno);
  if (!moveIntoPlace(replace)) {
    ::unlink(temp_.c_str());
    return false;
  }
  committed_ = true;
  if (!flush) return true;
  // Make the new name itself durable: callers delete the archive's source
  // file once it is written.
  std::filesystem::path dir = dest_.parent_path();
  int dirFd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace varnolt::zip
