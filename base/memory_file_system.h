#pragma once
// A file system held in memory, for tests: no disk, a capacity that can
// run out, folders that can vanish under a writer, and a look at every
// file and name (temporary ones too). Paths are absolute, "/"-separated;
// "/" is always there.

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "base/file_system.h"

namespace varnolt::base {

class MemoryFileSystem : public FileSystem {
 public:
  using Bytes = std::vector<std::uint8_t>;

  EntryStatus status(const std::filesystem::path& path, std::error_code& error, bool noFollow = false) override;
  std::unique_ptr<ReadableFile> openRead(const std::filesystem::path& path, std::error_code& error) override;
  std::unique_ptr<NewFile> createWhole(const std::filesystem::path& destination, const NewFileOptions& options,
                                       std::error_code& error) override;
  void createEmptyExclusive(const std::filesystem::path& path, std::error_code& error) override;
  std::unique_ptr<OpenFile> openWrite(const std::filesystem::path& path, bool mustBeNew,
                                      std::error_code& error) override;
  std::unique_ptr<OpenFile> createScratch(const std::filesystem::path& folder, std::error_code& error) override;
  void createFolder(const std::filesystem::path& path, std::error_code& error) override;
  void rename(const std::filesystem::path& from, const std::filesystem::path& to, std::error_code& error) override;
  bool renameNoReplace(const std::filesystem::path& from, const std::filesystem::path& to,
                       std::error_code& error) override;
  bool remove(const std::filesystem::path& path, std::error_code& error) override;
  std::vector<FolderEntry> list(const std::filesystem::path& folder, std::error_code& error) override;
  Space space(const std::filesystem::path& path, std::error_code& error) override;
  bool syncFolder(const std::filesystem::path& folder, std::error_code& error) override;
  bool syncFileSystemOf(const std::filesystem::path& folder, std::error_code& error) override;
  bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b, std::error_code& error) override;
  std::filesystem::path resolved(const std::filesystem::path& path, std::error_code& error) override;

  // For tests: folders with their parents, whole files, a look inside.
  void makeFolders(const std::filesystem::path& path);
  void writeFile(const std::filesystem::path& path, const Bytes& bytes);
  std::optional<Bytes> readFile(const std::filesystem::path& path) const;
  // Every file and folder below the folder, as paths, in order.
  std::vector<std::string> tree(const std::filesystem::path& folder) const;
  // Total bytes of file content the file system holds; a write past it
  // fails with std::errc::no_space_on_device.
  void setCapacity(std::uint64_t bytes);
  // Takes the folder and all it holds away, as another program might.
  void removeTree(const std::filesystem::path& folder);

 private:
  friend class MemoryNewFile;
  friend class MemoryOpenFile;
  struct Entry {
    EntryType type = EntryType::File;
    std::shared_ptr<Bytes> bytes;  // files only
  };

  std::string key(const std::filesystem::path& path) const;
  // A new empty file or folder; its parent must be there, its name free.
  void createEntry(const std::filesystem::path& path, EntryType type, std::error_code& error);
  bool folderExists(const std::string& key) const;  // needs mutex_
  std::uint64_t used() const;                       // needs mutex_
  // Grows or shrinks a file's bytes to size, within the capacity.
  bool reserve(Bytes& bytes, std::uint64_t size, std::error_code& error);  // needs mutex_
  // How often files were written in place: their identities change with it.
  std::uint64_t versionOf(const Bytes& bytes) const;  // needs mutex_
  void touch(const Bytes& bytes);                     // needs mutex_

  mutable std::mutex mutex_;
  std::map<std::string, Entry> entries_;
  std::uint64_t capacity_ = std::uint64_t{1} << 40;
  unsigned nextTemporary_ = 0;
  std::map<const Bytes*, std::uint64_t> versions_;
  std::uint64_t lastVersion_ = 0;
};

}  // namespace varnolt::base
