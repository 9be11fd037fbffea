#include "engine/run_helpers.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "base/file_system.h"
#include "base/utf8_path.h"
#include "engine/naming.h"

namespace varnolt::engine {

namespace fs = std::filesystem;

std::string RunFolderName(const LocalDateTime& when) {
  char text[64];
  std::snprintf(text, sizeof text, "Varnolt_%02d-%02d-%04d_%02d-%02d-%02d", when.day, when.month, when.year,
                when.hour, when.minute, when.second);
  return text;
}

void EnsureDestinationSubfolder(const std::string& destinationFolder, const std::string& relativePath) {
  const fs::path folder = base::pathFromUtf8(destinationFolder + relativePath);
  auto& files = base::fileSystem();
  std::error_code ec;
  const base::EntryType there = files.status(folder, ec).type;
  if (there != base::EntryType::None) {
    if (there == base::EntryType::Folder) return;
    throw fs::filesystem_error("a file is in the way of the folder", folder,
                               std::make_error_code(std::errc::not_a_directory));
  }
  // One level only: a missing parent is a failure of its own step, not
  // something to paper over here.
  files.createFolder(folder, ec);
  if (!ec) return;
  // A folder made by someone else in the meantime serves as well.
  std::error_code statusError;
  if (ec == std::errc::file_exists && files.status(folder, statusError).type == base::EntryType::Folder) return;
  throw fs::filesystem_error("cannot create directory", folder, ec);
}

void parsePSTFileName(std::string& strPSTFileName) {
  // Windows takes both separators.
  const auto slash = strPSTFileName.find_last_of(kNativePathForm == PathForm::Windows ? "/\\" : "/");
  if (slash != std::string::npos) strPSTFileName.erase(0, slash + 1);
}

namespace {

// Per thread: the walk's thread hands a file on and then deletes it.
std::string& goneFile() {
  thread_local std::string gone;
  return gone;
}

}  // namespace

void NoteFileGone(const std::string& path) { goneFile() = path; }

namespace {
std::atomic<bool> attachmentDataOnlyAsWritten{false};
}  // namespace

bool AttachmentDataReadOnlyAsWritten() { return attachmentDataOnlyAsWritten.load(); }

AttachmentDataReadOnlyAsWrittenScope::AttachmentDataReadOnlyAsWrittenScope(bool on)
    : before_(attachmentDataOnlyAsWritten.exchange(on)) {}

AttachmentDataReadOnlyAsWrittenScope::~AttachmentDataReadOnlyAsWrittenScope() {
  attachmentDataOnlyAsWritten.store(before_);
}

void DeleteFileIfPresent(const std::string& path) {
  // A note serves the delete that follows it and no other.
  const std::string gone = std::exchange(goneFile(), std::string());
  if (!gone.empty() && gone == path) return;
  const fs::path file = base::pathFromUtf8(path);
  auto& files = base::fileSystem();
  std::error_code ec;
  const base::EntryType there = files.status(file, ec, true).type;
  if (there == base::EntryType::None || there == base::EntryType::Folder) return;
  files.remove(file, ec);
  if (ec) throw fs::filesystem_error("cannot remove", file, ec);
}

void RemoveScratchFolder(const std::string& path) {
  const fs::path folder = base::pathFromUtf8(path);
  auto& files = base::fileSystem();
  std::error_code ec;
  if (files.status(folder, ec).type != base::EntryType::Folder) return;
  const auto entries = files.list(folder, ec);
  if (ec) throw fs::filesystem_error("directory iterator cannot open directory", folder, ec);
  std::optional<fs::filesystem_error> first;
  for (const auto& entry : entries) {
    if (entry.type == base::EntryType::Folder) continue;
    std::error_code removeError;
    const fs::path scratchFile = folder / base::pathFromUtf8(entry.name);
    files.remove(scratchFile, removeError);
    if (removeError && !first) first.emplace("cannot delete a scratch file", scratchFile, removeError);
  }
  if (first) throw *first;
  files.remove(folder, ec);
  if (ec) throw fs::filesystem_error("cannot remove", folder, ec);
}

void FlushFolder(const std::string& path) {
  std::error_code ec;
  const bool opened = base::fileSystem().syncFileSystemOf(base::pathFromUtf8(path), ec);
  if (!opened) {
    if (ec == std::errc::no_such_file_or_directory) return;
    throw fs::filesystem_error("cannot open the folder", base::pathFromUtf8(path), ec);
  }
  if (ec) throw fs::filesystem_error("cannot flush the folder to disk", base::pathFromUtf8(path), ec);
}

void RemoveFolderIfEmpty(const std::string& path) {
  auto& files = base::fileSystem();
  std::error_code ec;
  if (files.status(base::pathFromUtf8(path), ec).type != base::EntryType::Folder) return;
  const bool empty = files.list(base::pathFromUtf8(path), ec).empty();
  if (!empty || ec) return;
  files.remove(base::pathFromUtf8(path), ec);
  if (ec) throw fs::filesystem_error("cannot remove", base::pathFromUtf8(path), ec);
}

std::int64_t FilesIn(const std::string& path) {
  std::error_code ec;
  std::int64_t count = 0;
  for (const auto& entry : base::fileSystem().list(base::pathFromUtf8(path), ec))
    if (entry.type == base::EntryType::File) ++count;
  return count;
}

std::uintmax_t SpaceNeeded(std::uintmax_t sourceBytes, AttachmentTreatment treatment) {
  constexpr std::uintmax_t kEmptyPstBytes = 271360;
  const std::uintmax_t share = treatment == AttachmentTreatment::Remove ? sourceBytes / 10 : sourceBytes;
  return share > kEmptyPstBytes ? share : kEmptyPstBytes;
}

std::optional<std::uintmax_t> FreeSpace(const std::string& path) {
  std::error_code ec;
  const auto space = base::fileSystem().space(base::pathFromUtf8(path), ec);
  // Pseudo file systems (proc, sys, some FUSE mounts) report no capacity
  // at all: their room is unknown, not nil.
  if (ec || space.capacity == 0 || space.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
  return space.available;
}

bool IsNoSpace(const std::error_code& error) { return base::isNoSpace(error); }

std::string LowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace varnolt::engine
