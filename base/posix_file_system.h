#pragma once
// The file system of Linux and the other POSIX systems. Every system call
// the program makes on files is here.

#include "base/file_system.h"

namespace varnolt::base {

class PosixFileSystem : public FileSystem {
 public:
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
};

}  // namespace varnolt::base
