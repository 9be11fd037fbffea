#include "zip/zip_class.h"

#include <string_view>
#include <system_error>

#include "base/file_system.h"
#include "zip/archive_output.h"
#include "zip/error.h"
#include "zip/text_encoding.h"

namespace varnolt::zip {
namespace {

// True when a regular file is at path. Nothing there, a folder and special
// files (FIFOs, devices, sockets) count as no file; anything that keeps us
// from knowing (a folder we may not search, a symlink loop) is an error.
bool fileExists(const std::filesystem::path& path) {
  std::error_code error;
  const base::EntryStatus found = base::fileSystem().status(path, error);
  if (!error) return found.type == base::EntryType::File;
  if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) return false;
  throw Error(ErrorKind::Io, "cannot look at " + path.string() + ": " + error.message());
}

}  // namespace

void ZipClass::Comment(const std::string& text) {
  std::string encoded = encodeArchiveComment(text);
  if (encoded.size() > kMaxTextLength)
    throw Error(ErrorKind::Limit, "archive comment is longer than the 65535 bytes a ZIP archive can hold");
  if (std::string_view(encoded).find(std::string_view("PK\x05\x06", 4)) != std::string_view::npos)
    throw Error(ErrorKind::InvalidArgument, "archive comment holds the end-of-archive signature PK\\5\\6");
  ArchiveComment = text;
  encodedArchiveComment_ = std::move(encoded);
  EndRecord.commentLength = static_cast<std::uint16_t>(encodedArchiveComment_.size());
}

bool ZipClass::AddFile(const std::filesystem::path& FilePath, const std::string& FileName,
                       const std::string& Comment) {
  if (!fileExists(FilePath)) return false;
  checkRoomForEntry();
  ZipFile entry;
  entry.LoadFromFile(FilePath, streamFrom_);
  if (!FileName.empty()) entry.SetStoredName(FileName);
  if (!Comment.empty()) entry.SetEntryComment(Comment);
  append(std::move(entry));
  return true;
}

void ZipClass::AddContent(const std::string& FileName, std::time_t Modified, ZipFile::ContentProducer Content) {
  checkRoomForEntry();
  ZipFile entry;
  entry.LoadFromProducer(FileName, Modified, std::move(Content));
  append(std::move(entry));
}

void ZipClass::checkRoomForEntry() const {
  if (extent_.entries() >= kMax16)
    throw Error(ErrorKind::Limit, "more than " + std::to_string(kMax16) +
                                      " entries, more than a ZIP archive without ZIP64 can hold");
}

void ZipClass::append(ZipFile entry) {
  // Refuse now, not when writing, an entry that would push the archive past
  // what its 32-bit offsets reach.
  ArchiveExtent grown = extent_;
  grown.add({entry.localEntrySize(), entry.centralEntrySize()});
  Files.push_back(std::move(entry));
  extent_ = grown;
}

bool ZipClass::WriteZip(const std::filesystem::path& FilePath, bool Overwrite, bool FlushToDisk) {
  if (!Overwrite && fileExists(FilePath)) return false;

  ArchiveOutput file(FilePath);
  for (ZipFile& entry : Files) entry.WriteLocalEntry(file);
  std::uint64_t centralOffset = file.position();
  // A file deflated only now may have come out larger than its size let
  // AddFile expect.
  if (centralOffset > kMax32)
    throw Error(ErrorKind::Limit, "archive reaches past 4 GiB, more than a ZIP archive without ZIP64 can hold");
  for (const ZipFile& entry : Files) entry.WriteCentralEntry(file);

  EndRecord.diskNumber = 0;
  EndRecord.centralDirectoryDisk = 0;
  EndRecord.entriesOnDisk = EndRecord.entriesTotal = static_cast<std::uint16_t>(Files.size());
  EndRecord.centralDirectorySize = static_cast<std::uint32_t>(file.position() - centralOffset);
  EndRecord.centralDirectoryOffset = static_cast<std::uint32_t>(centralOffset);
  std::vector<std::uint8_t> end;
  EndRecord.appendTo(end);
  file.write(end);
  file.write(encodedArchiveComment_);
  // False only when a file took the name while we wrote and Overwrite is false.
  return file.commit(Overwrite, FlushToDisk);
}

}  // namespace varnolt::zip
