#include "base/posix_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>

namespace varnolt::base {
namespace fs = std::filesystem;
namespace {

std::error_code lastError(int err) { return {err, std::generic_category()}; }

EntryType typeOf(fs::file_type type) {
  switch (type) {
    case fs::file_type::regular:
      return EntryType::File;
    case fs::file_type::directory:
      return EntryType::Folder;
    case fs::file_type::none:
    case fs::file_type::not_found:
      return EntryType::None;
    default:
      return EntryType::Other;
  }
}

EntryType typeOf(mode_t mode) {
  if (S_ISREG(mode)) return EntryType::File;
  if (S_ISDIR(mode)) return EntryType::Folder;
  return EntryType::Other;
}

FileIdentity identityOf(const struct stat& st) {
  constexpr std::int64_t kBillion = 1000000000;
  FileIdentity identity;
  identity.volume = static_cast<std::uint64_t>(st.st_dev);
  identity.number = static_cast<std::uint64_t>(st.st_ino);
  identity.size = static_cast<std::uint64_t>(st.st_size);
  identity.modified = static_cast<std::int64_t>(st.st_mtim.tv_sec) * kBillion + st.st_mtim.tv_nsec;
  identity.changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * kBillion + st.st_ctim.tv_nsec;
  return identity;
}

// An open descriptor: read only when opened for reading, read and written
// in place otherwise.
class PosixOpenFile : public OpenFile {
 public:
  PosixOpenFile(int fd, EntryType type, std::uint64_t size) : fd_(fd), type_(type), size_(size) {}
  ~PosixOpenFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  PosixOpenFile(const PosixOpenFile&) = delete;
  PosixOpenFile& operator=(const PosixOpenFile&) = delete;

  EntryType type() const override { return type_; }
  std::uint64_t size() const override { return size_; }

  std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                     std::error_code& error) const override {
    error.clear();
    for (;;) {
      const ssize_t n = ::pread(fd_, out, length, static_cast<off_t>(offset));
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno == EINTR) continue;
      error = lastError(errno);
      return 0;
    }
  }

  FileIdentity identity(std::error_code& error) const override {
    error.clear();
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      error = lastError(errno);
      return {};
    }
    return identityOf(st);
  }

  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    error.clear();
    while (size > 0) {
      const ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = lastError(n < 0 ? errno : EIO);
        return;
      }
      const auto done = static_cast<std::size_t>(n);
      data += done;
      size -= done;
      offset += done;
      size_ = std::max(size_, offset);
    }
  }

  void resize(std::uint64_t size, std::error_code& error) override {
    error.clear();
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) error = lastError(errno);
    else size_ = size;
  }

  void sync(std::error_code& error) override {
    error.clear();
    if (::fsync(fd_) != 0) error = lastError(errno);
  }

  void close(std::error_code& error) override {
    error.clear();
    const int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) error = lastError(errno);
  }

 private:
  int fd_;
  EntryType type_;
  std::uint64_t size_;
};

// Renames from to to only where nothing is; false (error clear) when to is taken.
bool renameWithoutReplacing(const fs::path& from, const fs::path& to, std::error_code& error) {
  error.clear();
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
    // The file system has no such rename; a hard link fails just as
    // atomically when the name is taken.
    if (::link(from.c_str(), to.c_str()) == 0) {
      ::unlink(from.c_str());
      return true;
    }
    err = errno;
    if (err != EEXIST) {
      // No hard links either (FAT and the like): look, then rename.
      struct stat st {};
      if (::lstat(to.c_str(), &st) != 0 && errno == ENOENT) {
        if (::rename(from.c_str(), to.c_str()) != 0) {
          error = lastError(errno);
          return false;
        }
        return true;
      }
      err = EEXIST;
    }
  }
  if (err != EEXIST) error = lastError(err);
  return false;
}

class PosixNewFile : public NewFile {
 public:
  PosixNewFile(int fd, fs::path destination, fs::path temporary)
      : file_(fd, EntryType::File, 0), dest_(std::move(destination)), temp_(std::move(temporary)) {}
  ~PosixNewFile() override { discard(); }
  PosixNewFile(const PosixNewFile&) = delete;
  PosixNewFile& operator=(const PosixNewFile&) = delete;

  void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size, std::error_code& error) override {
    file_.writeAt(offset, data, size, error);
  }
  void resize(std::uint64_t size, std::error_code& error) override { file_.resize(size, error); }
  void sync(std::error_code& error) override { file_.sync(error); }
  void close(std::error_code& error) override { file_.close(error); }

  bool publish(bool replace, std::error_code& error) override {
    error.clear();
    if (replace) {
      if (::rename(temp_.c_str(), dest_.c_str()) != 0) {
        error = lastError(errno);
        return false;
      }
      published_ = true;
      return true;
    }
    // Never replace a file that appeared after the caller looked.
    published_ = renameWithoutReplacing(temp_, dest_, error);
    return published_;
  }

  void discard() override {
    std::error_code ignored;
    file_.close(ignored);
    if (!published_ && !discarded_) ::unlink(temp_.c_str());
    discarded_ = true;
  }

  const fs::path& temporaryPath() const override { return temp_; }

 private:
  PosixOpenFile file_;
  fs::path dest_;
  fs::path temp_;
  bool published_ = false;
  bool discarded_ = false;
};

// Opens the file with flags, knowing its type and size from that moment.
std::unique_ptr<PosixOpenFile> openFile(const fs::path& path, int flags, std::error_code& error) {
  const int fd = ::open(path.c_str(), flags, 0666);
  if (fd < 0) {
    error = lastError(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = lastError(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixOpenFile>(fd, typeOf(st.st_mode), static_cast<std::uint64_t>(st.st_size));
}

// Opens the folder, applies the sync to it: false when it cannot be opened.
bool withFolder(const fs::path& folder, int (*sync)(int), std::error_code& error) {
  error.clear();
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    error = lastError(errno);
    return false;
  }
  if (sync(fd) != 0) error = lastError(errno);
  ::close(fd);
  return true;
}

}  // namespace

EntryStatus PosixFileSystem::status(const fs::path& path, std::error_code& error, bool noFollow) {
  error.clear();
  struct stat st {};
  if ((noFollow ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st)) != 0) {
    error = lastError(errno);
    return {};
  }
  EntryStatus result;
  result.type = typeOf(st.st_mode);
  if (result.type == EntryType::File) {
    result.size = static_cast<std::uint64_t>(st.st_size);
    result.identity = identityOf(st);
  }
  return result;
}

std::unique_ptr<ReadableFile> PosixFileSystem::openRead(const fs::path& path, std::error_code& error) {
  error.clear();
  // O_NONBLOCK: a FIFO put in a file's place must not hang the open (its
  // type then says it is no file); reads of files are not affected.
  return openFile(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK, error);
}

std::unique_ptr<NewFile> PosixFileSystem::createWhole(const fs::path& destination, const NewFileOptions& options,
                                                      std::error_code& error) {
  static std::atomic<unsigned> counter{0};
  // Asked once: a system call per file saved cost more than the rest of
  // the name. A child of a fork that keeps the parent's number still
  // never takes a file that is there (O_EXCL).
  static const std::string pid = std::to_string(::getpid());
  error.clear();
  const fs::path dir = destination.parent_path();
  std::string base = destination.filename().string();
  if (options.maxNameBytes > 0 && base.size() > options.maxNameBytes) base.resize(options.maxNameBytes);
  if (options.hidden) base.insert(0, ".");
  for (int attempt = 0; attempt < 1000; ++attempt) {
    fs::path temporary = dir / (base + options.temporaryTag + pid + "-" +
                                std::to_string(counter++));
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error = lastError(errno);
      return nullptr;
    }
    // A replaced file keeps the permissions it had.
    struct stat st {};
    if (options.keepPermissions && ::stat(destination.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      (void)::fchmod(fd, st.st_mode & 07777);
    return std::make_unique<PosixNewFile>(fd, destination, std::move(temporary));
  }
  error = std::make_error_code(std::errc::file_exists);
  return nullptr;
}

void PosixFileSystem::createEmptyExclusive(const fs::path& path, std::error_code& error) {
  error.clear();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = lastError(errno);
    return;
  }
  ::close(fd);
}

std::unique_ptr<OpenFile> PosixFileSystem::openWrite(const fs::path& path, bool mustBeNew, std::error_code& error) {
  error.clear();
  return openFile(path, O_RDWR | O_CREAT | O_CLOEXEC | (mustBeNew ? O_EXCL : 0), error);
}

std::unique_ptr<OpenFile> PosixFileSystem::createScratch(const fs::path& folder, std::error_code& error) {
  error.clear();
  const fs::path where = folder.empty() ? fs::path(".") : folder;
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    // File systems without unnamed files: a named one, unlinked at once.
    std::string pattern = (where / ".rows-XXXXXX").string();
    fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
      error = lastError(errno);
      return nullptr;
    }
    ::unlink(pattern.c_str());
  }
  return std::make_unique<PosixOpenFile>(fd, EntryType::File, 0);
}

void PosixFileSystem::createFolder(const fs::path& path, std::error_code& error) {
  error.clear();
  if (::mkdir(path.c_str(), 0777) != 0) error = lastError(errno);
}

void PosixFileSystem::rename(const fs::path& from, const fs::path& to, std::error_code& error) {
  fs::rename(from, to, error);
}

bool PosixFileSystem::renameNoReplace(const fs::path& from, const fs::path& to, std::error_code& error) {
  return renameWithoutReplacing(from, to, error);
}

bool PosixFileSystem::remove(const fs::path& path, std::error_code& error) { return fs::remove(path, error); }

std::vector<FolderEntry> PosixFileSystem::list(const fs::path& folder, std::error_code& error) {
  std::vector<FolderEntry> entries;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    // Types follow symbolic links, as a folder view shows them.
    std::error_code typeError;
    entries.push_back({it->path().filename().string(), typeOf(it->status(typeError).type())});
  }
  return entries;
}

FileSystem::Space PosixFileSystem::space(const fs::path& path, std::error_code& error) {
  const fs::space_info info = fs::space(path, error);
  return {info.capacity, info.available};
}

bool PosixFileSystem::syncFolder(const fs::path& folder, std::error_code& error) {
  return withFolder(folder.empty() ? fs::path(".") : folder, ::fsync, error);
}

bool PosixFileSystem::syncFileSystemOf(const fs::path& folder, std::error_code& error) {
  return withFolder(folder, ::syncfs, error);
}

bool PosixFileSystem::sameFile(const fs::path& a, const fs::path& b, std::error_code& error) {
  return fs::equivalent(a, b, error);
}

fs::path PosixFileSystem::resolved(const fs::path& path, std::error_code& error) {
  return fs::weakly_canonical(fs::absolute(path, error), error);
}

}  // namespace varnolt::base
