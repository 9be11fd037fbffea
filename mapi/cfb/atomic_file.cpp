#include "mapi/cfb/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "mapi/error.h"

namespace varnolt::mapi::cfb {

AtomicFile::AtomicFile(std::filesystem::path destination) : dest_(std::move(destination)) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path dir = dest_.parent_path();
  std::string base = dest_.filename().string();
  for (int attempt = 0; attempt < 1000 && fd_ < 0; ++attempt) {
    temp_ = dir / (base + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST)
      throw Error(ioErrorKind(errno), "cannot create a file in " + (dir.empty() ? std::string(".") : dir.string()) + ": " +
                                     std::strerror(errno));
  }
  if (fd_ < 0) throw Error(ErrorKind::Io, "cannot find a free temporary name beside " + dest_.string());
  // A replaced file keeps the permissions it had.
  struct stat st {};
  if (::stat(dest_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) (void)::fchmod(fd_, st.st_mode & 07777);
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(temp_.c_str());
}

void AtomicFile::fail(const char* what) {
  int err = errno;
  throw Error(ioErrorKind(err), std::string("cannot ") + what + " " + dest_.string() + ": " + std::strerror(err));
}

void AtomicFile::write(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("write");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void AtomicFile::commit() {
  if (::fsync(fd_) != 0) fail("write");
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) fail("write");
  if (::rename(temp_.c_str(), dest_.c_str()) != 0) fail("replace");
  committed_ = true;
}

}  // namespace varnolt::mapi::cfb
