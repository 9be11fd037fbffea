#pragma once
// The file system of Windows, through the wide (UTF-16) calls of the
// Win32 API. Paths come in as UTF-8 like everywhere else in the program;
// long ones are given the "\\?\" form so they are not cut at 260
// characters. Errors are turned into the std::errc the POSIX calls give,
// so a full disk is the same "no space" to every caller.

#include "base/file_system.h"

namespace varnolt::base {

class WindowsFileSystem : public FileSystem {
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

// The wide path the Win32 calls take: UTF-8 to UTF-16, "/" made "\", and
// the "\\?\" (or "\\?\UNC\") form once the path is too long for the
// plain one. Exposed for tests.
std::wstring windowsPath(const std::filesystem::path& path);

}  // namespace varnolt::base
