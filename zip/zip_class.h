#pragma once
// ZipClass collects files as entries of a ZIP archive and writes the
// archive in one pass: single disk, every entry deflated, no encryption,
// no data descriptors, no ZIP64. Each file is read and compressed when it
// is added and kept in memory until the ZipClass is destroyed; a file of
// StreamFilesFrom() bytes or more is instead read and compressed a piece
// at a time while the archive is written, so memory does not grow with
// its size (the archive's bytes are the same).
//
// AddContent adds an entry whose bytes come from a producer (an
// attachment packed straight from its store): nothing is held, the bytes
// are deflated as they come while the archive is written.
//
// Results and errors:
// - AddFile answers false when no file is at the path (a folder, a FIFO or
//   a device is not a file) and adds nothing.
// - WriteZip answers false when a file is at the target and Overwrite is
//   false, and writes nothing.
// - Every other failure is a zip::Error (zip/error.h) carrying the reason:
//   an unreadable source, a refused write, a size, count or text past what
//   an archive without ZIP64 can carry, an unsafe entry name. A failed
//   AddFile adds nothing; a failed WriteZip leaves no file behind and an
//   existing archive as it was, because the archive is written under a
//   temporary name and renamed into place only when complete.
//
// Names and comments are UTF-8 in, Windows-1252 in the archive when they
// fit, UTF-8 (flagged for entries) otherwise; see zip/text_encoding.h.
// Entries are stamped with the source's modification time in local time,
// held to the 1980-2107 range of the MS-DOS fields (zip/dos_time.h).

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "zip/layout.h"
#include "zip/records.h"
#include "zip/zip_file.h"

namespace varnolt::zip {

class ZipClass {
 public:
  ZipClass() = default;

  // Number of entries added so far.
  std::int32_t FileCount() const { return static_cast<std::int32_t>(Files.size()); }

  // Sets the archive comment. Throws zip::Error: Limit past 65535 bytes,
  // InvalidArgument when it holds the end-record signature "PK\5\6", which
  // would make readers take the comment for the end of the archive.
  void Comment(const std::string& text);

  // Adds the file at FilePath as a new entry named FileName, or after the
  // last component of FilePath when FileName is empty, with Comment as its
  // entry comment when not empty.
  bool AddFile(const std::filesystem::path& FilePath, const std::string& FileName = "",
               const std::string& Comment = "");

  // Adds an entry named FileName, stamped with Modified, whose bytes
  // Content hands over piece by piece each time the archive is written.
  // Throws zip::Error as SetStoredName does for a bad name, Limit past the
  // entry count; what Content throws passes through WriteZip as it is.
  void AddContent(const std::string& FileName, std::time_t Modified, ZipFile::ContentProducer Content);

  // Files of this many bytes or more are read when the archive is written,
  // not when added.
  void StreamFilesFrom(std::uint64_t bytes) { streamFrom_ = bytes; }
  std::uint64_t StreamFilesFrom() const { return streamFrom_; }

  // Writes the archive to FilePath; with Overwrite true a file already
  // there is replaced. May be called again: the entries stay. The archive
  // is flushed to disk before the answer unless FlushToDisk is false; then
  // the caller flushes its folder once it has written all it writes there.
  bool WriteZip(const std::filesystem::path& FilePath, bool Overwrite, bool FlushToDisk = true);

 private:
  // Limit once the archive holds as many entries as it can count.
  void checkRoomForEntry() const;
  // Adds a loaded entry, Limit when the archive would outgrow its offsets.
  void append(ZipFile entry);

  std::vector<ZipFile> Files;
  std::string ArchiveComment;         // as given, UTF-8
  std::string encodedArchiveComment_; // as written
  EndOfCentralDirectory EndRecord;
  ArchiveExtent extent_;  // where the entries added so far fall
  std::uint64_t streamFrom_ = 8u << 20;
};

}  // namespace varnolt::zip
