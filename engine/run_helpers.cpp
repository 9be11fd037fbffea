#include "engine/run_helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

namespace varnolt::engine {

namespace fs = std::filesystem;

std::string RunFolderName(const LocalDateTime& when) {
  char text[64];
  std::snprintf(text, sizeof text, "Varnolt_%02d-%02d-%04d_%02d-%02d-%02d", when.day, when.month, when.year,
                when.hour, when.minute, when.second);
  return text;
}

void EnsureDestinationSubfolder(const std::string& destinationFolder, const std::string& relativePath) {
  const fs::path folder(destinationFolder + relativePath);
  std::error_code ec;
  const auto status = fs::status(folder, ec);
  if (fs::exists(status)) {
    if (fs::is_directory(status)) return;
    throw fs::filesystem_error("a file is in the way of the folder", folder,
                               std::make_error_code(std::errc::not_a_directory));
  }
  // One level only: a missing parent is a failure of its own step, not
  // something to paper over here.
  fs::create_directory(folder);
}

void parsePSTFileName(std::string& strPSTFileName) {
  const auto slash = strPSTFileName.rfind('/');
  if (slash != std::string::npos) strPSTFileName.erase(0, slash + 1);
}

void DeleteFileIfPresent(const std::string& path) {
  const fs::path file(path);
  std::error_code ec;
  const auto status = fs::symlink_status(file, ec);
  if (!fs::exists(status) || fs::is_directory(status)) return;
  fs::remove(file);
}

void RemoveScratchFolder(const std::string& path) {
  const fs::path folder(path);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return;
  std::optional<fs::filesystem_error> first;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_directory(ec)) continue;
    std::error_code removeError;
    fs::remove(entry.path(), removeError);
    if (removeError && !first) first.emplace("cannot delete a scratch file", entry.path(), removeError);
  }
  if (first) throw *first;
  fs::remove(folder);
}

void FlushFolder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;
    throw fs::filesystem_error("cannot open the folder", fs::path(path), std::error_code(errno, std::generic_category()));
  }
  const int result = ::syncfs(fd);
  const int err = errno;
  ::close(fd);
  if (result != 0)
    throw fs::filesystem_error("cannot flush the folder to disk", fs::path(path), std::error_code(err, std::generic_category()));
}

void RemoveFolderIfEmpty(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(fs::path(path), ec) && fs::is_empty(fs::path(path), ec) && !ec) fs::remove(fs::path(path));
}

std::int64_t FilesIn(const std::string& path) {
  std::error_code ec;
  std::int64_t count = 0;
  for (fs::directory_iterator it(fs::path(path), ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) ++count;
  return count;
}

std::uintmax_t SpaceNeeded(std::uintmax_t sourceBytes, AttachmentTreatment treatment) {
  constexpr std::uintmax_t kEmptyPstBytes = 271360;
  const std::uintmax_t share = treatment == AttachmentTreatment::Remove ? sourceBytes / 10 : sourceBytes;
  return share > kEmptyPstBytes ? share : kEmptyPstBytes;
}

std::optional<std::uintmax_t> FreeSpace(const std::string& path) {
  std::error_code ec;
  const fs::space_info space = fs::space(fs::path(path), ec);
  // Pseudo file systems (proc, sys, some FUSE mounts) report no capacity
  // at all: their room is unknown, not nil.
  if (ec || space.capacity == 0 || space.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
  return space.available;
}

bool IsNoSpace(const std::error_code& error) {
  const bool fromTheSystem = error.category() == std::generic_category() || error.category() == std::system_category();
  return fromTheSystem && (error.value() == ENOSPC || error.value() == EDQUOT);
}

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace varnolt::engine
