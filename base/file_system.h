#pragma once
// What the program asks of the file system, and nothing more: read a file,
// create a file that appears whole or not at all, rename, remove, list a
// folder, make a folder, free space, and put a folder on disk. Errors come
// back as std::error_code in the generic category (ENOSPC stays
// std::errc::no_space_on_device), so callers keep their own kinds and
// texts. One implementation per operating system, and one in memory for
// tests; fileSystem() is the one the program uses.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace varnolt::base {

enum class EntryType { None, File, Folder, Other };

// What tells one state of a file from another: the same file (volume and
// number) with the same size and times has not been written since.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t number = 0;
  std::uint64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds since 1970, the content's last change
  std::int64_t changed = 0;   // nanoseconds since 1970, the entry's last change
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;

  // The modification time in whole seconds since 1970 (rounded down).
  std::int64_t modifiedSeconds() const;
};

struct EntryStatus {
  EntryType type = EntryType::None;
  std::uint64_t size = 0;  // bytes, for a file
  FileIdentity identity;   // for a file
};

struct FolderEntry {
  std::string name;
  EntryType type = EntryType::None;
};

// An open file read at any offset.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  virtual EntryType type() const = 0;
  virtual std::uint64_t size() const = 0;
  // Reads up to length bytes; fewer only at the end of the file (0 there).
  virtual std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t length,
                             std::error_code& error) const = 0;
  // The open file's identity as it is now (its size included).
  virtual FileIdentity identity(std::error_code& error) const = 0;
};

// An open file written in place: what is written is under its name at once
// (or under no name, for a scratch file).
class OpenFile : public ReadableFile {
 public:
  // Writes all size bytes or sets the error.
  virtual void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                       std::error_code& error) = 0;
  // Makes the file exactly size bytes long (zeros past what was written).
  virtual void resize(std::uint64_t size, std::error_code& error) = 0;
  // Puts the bytes on disk.
  virtual void sync(std::error_code& error) = 0;
  // No more reads or writes after this; the error of a write that was
  // still pending comes here.
  virtual void close(std::error_code& error) = 0;
};

// How a file that appears whole is named while it is written.
struct NewFileOptions {
  // Put after the destination's name in the temporary name, before a
  // tag that makes it unique: "report.pst" + ".partial-" + tag.
  std::string temporaryTag = ".tmp-";
  // Start the temporary name with a dot, so folder views hide it.
  bool hidden = false;
  // The destination's name is cut to this many bytes in the temporary one.
  std::size_t maxNameBytes = 0;  // 0: not cut
  // A file it replaces passes on its permissions.
  bool keepPermissions = false;
};

// A file written under a temporary name beside its destination. Until
// publish() succeeds nothing is at the destination; destroying it before
// then removes the temporary file.
class NewFile {
 public:
  virtual ~NewFile() = default;
  virtual void writeAt(std::uint64_t offset, const std::uint8_t* data, std::size_t size,
                       std::error_code& error) = 0;
  // Makes the file exactly size bytes long (zeros past what was written).
  virtual void resize(std::uint64_t size, std::error_code& error) = 0;
  // Puts the bytes on disk.
  virtual void sync(std::error_code& error) = 0;
  // No more writes after this.
  virtual void close(std::error_code& error) = 0;
  // Gives the closed file its destination's name. With replace an existing
  // file is replaced in one step; without, the answer is false when the
  // name is taken and nothing is moved.
  virtual bool publish(bool replace, std::error_code& error) = 0;
  // Removes the temporary file now (nothing when it was published).
  virtual void discard() = 0;
  virtual const std::filesystem::path& temporaryPath() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // What is at path, not following a last symbolic link when noFollow.
  virtual EntryStatus status(const std::filesystem::path& path, std::error_code& error, bool noFollow = false) = 0;
  virtual std::unique_ptr<ReadableFile> openRead(const std::filesystem::path& path, std::error_code& error) = 0;
  virtual std::unique_ptr<NewFile> createWhole(const std::filesystem::path& destination,
                                               const NewFileOptions& options, std::error_code& error) = 0;
  // Creates an empty file, failing when the name is taken (a name held
  // while another is looked for).
  virtual void createEmptyExclusive(const std::filesystem::path& path, std::error_code& error) = 0;
  // Opens a file for writing in place, creating it when missing; it is
  // never cut short on opening. With mustBeNew a taken name is an error
  // (std::errc::file_exists) and nothing is opened.
  virtual std::unique_ptr<OpenFile> openWrite(const std::filesystem::path& path, bool mustBeNew,
                                              std::error_code& error) = 0;
  // A file without a name in the folder, read and written by the program
  // alone and gone when closed (or when the program ends, however it ends).
  virtual std::unique_ptr<OpenFile> createScratch(const std::filesystem::path& folder, std::error_code& error) = 0;
  // One level; an existing folder is an error (std::errc::file_exists).
  virtual void createFolder(const std::filesystem::path& path, std::error_code& error) = 0;
  virtual void rename(const std::filesystem::path& from, const std::filesystem::path& to,
                      std::error_code& error) = 0;
  // Renames only where nothing is: false, with nothing moved and no error,
  // when the new name is taken (even by something that appeared just now).
  virtual bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                               std::error_code& error) = 0;
  // A file, or an empty folder. False when nothing was there.
  virtual bool remove(const std::filesystem::path& path, std::error_code& error) = 0;
  virtual std::vector<FolderEntry> list(const std::filesystem::path& folder, std::error_code& error) = 0;
  // Bytes an unprivileged writer may still put there, and the file
  // system's capacity.
  struct Space {
    std::uint64_t capacity = 0;
    std::uint64_t available = 0;
  };
  virtual Space space(const std::filesystem::path& path, std::error_code& error) = 0;
  // Makes the folder's entries (new names in it) durable. Both syncs
  // answer false, with the error, when the folder cannot be opened, and
  // true (the error set if the sync itself failed) once it was.
  virtual bool syncFolder(const std::filesystem::path& folder, std::error_code& error) = 0;
  // Puts everything written to the file system that holds the folder on disk.
  virtual bool syncFileSystemOf(const std::filesystem::path& folder, std::error_code& error) = 0;
  // True when both name the same file (links and ".." resolved).
  virtual bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b, std::error_code& error) = 0;
  // The absolute path with the symbolic links of its existing part resolved.
  virtual std::filesystem::path resolved(const std::filesystem::path& path, std::error_code& error) = 0;
};

// True for the error of a write that found the file system full or the
// user's quota used up: the disk, not the file, is what failed.
bool isNoSpace(const std::error_code& error);

// The file system the program uses: the operating system's unless a test
// has put another in place.
FileSystem& fileSystem();

// The operating system's own.
FileSystem& systemFileSystem();

// Puts a file system in place for its lifetime (tests), then the previous one.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

}  // namespace varnolt::base
