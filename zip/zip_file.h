#pragma once
// One entry of an archive built by ZipClass. Loading it reads the whole
// source file, takes its CRC-32 and raw deflate data and its time stamp;
// writing the archive asks it for its local entry (header, name, data) and
// later its central directory entry (header, name, comment). A large file
// is not held: it is read and deflated a piece at a time while its local
// entry is written, and the header's CRC-32 and sizes are written over
// once known, so the archive's bytes are the same either way. An entry can
// also take its bytes from a producer instead of a file (an attachment
// packed straight from its store); they are always streamed.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "zip/records.h"
#include "zip/text_encoding.h"

namespace varnolt::zip {

class ArchiveOutput;

class ZipFile {
 public:
  // What ReadAndCompress takes from a source file.
  struct Source {
    std::vector<std::uint8_t> deflateData;  // raw deflate: no zlib header, no Adler-32 trailer
    std::uint32_t crc32 = 0;
    std::uint32_t uncompressedSize = 0;
    std::time_t modified = 0;
  };

  // Hands an entry's bytes to sink, in order, a piece at a time.
  using PieceSink = std::function<void(const std::uint8_t* data, std::size_t size)>;
  using ContentProducer = std::function<void(const PieceSink& sink)>;

  ZipFile() = default;

  // Reads and compresses the file at path and stamps the entry with its
  // name (the last path component) and modification time. Throws
  // zip::Error: Io when the file cannot be opened or read or is not a
  // regular file, Limit when it is too large for an archive without ZIP64,
  // Compression when zlib fails. A file of streamFrom bytes or more is
  // only looked at here and read when the archive is written.
  void LoadFromFile(const std::filesystem::path& path,
                    std::uint64_t streamFrom = std::numeric_limits<std::uint64_t>::max());

  // An entry named name (checked as by SetStoredName) stamped with
  // modified, whose bytes produce hands over only while the archive is
  // written, each time it is written. What produce throws passes through
  // the writing as it is; Limit when its bytes reach 4 GiB.
  void LoadFromProducer(const std::string& name, std::time_t modified, ContentProducer produce);

  // Both throw zip::Error: InvalidArgument for a name that is empty, holds
  // NUL, is absolute, names a folder or climbs out with "..";
  // Limit for a name or comment longer than 65535 bytes once encoded.
  void SetStoredName(const std::string& name);
  void SetEntryComment(const std::string& text);

  // Appends the local entry and records where it starts.
  void WriteLocalEntry(ArchiveOutput& file);
  // Appends the central directory entry; WriteLocalEntry must come first.
  void WriteCentralEntry(ArchiveOutput& file) const;

  // Bytes each entry occupies in the archive; for a file read only when
  // written, its size stands for its deflate data until then.
  std::uint64_t localEntrySize() const;
  std::uint64_t centralEntrySize() const;

  const std::string& storedName() const { return StoredName; }
  const std::string& entryComment() const { return EntryComment; }
  const LocalFileHeader& localHeader() const { return LocalHeader; }
  const CentralDirectoryHeader& centralHeader() const { return CentralHeader; }
  const std::vector<std::uint8_t>& compressedData() const { return CompressedData; }

  // The last "/"-separated piece of path: the whole path when it has no
  // separator, empty when it ends with one.
  static std::string NameFromPath(const std::string& path);

  // Reads the whole file and deflates it with zlib's compress at the
  // default level. Errors as for LoadFromFile.
  // opened: the file at path, already open (otherwise it is opened here).
  static Source ReadAndCompress(const std::filesystem::path& path, const base::ReadableFile* opened = nullptr);

 private:
  // Encodes name and comment and sets the lengths and flags that follow from them.
  void encodeTexts();
  // Stamps both headers with the time and clears what streaming fills in.
  void beginStreamed(std::time_t modified);
  // Deflates what the producer hands over into file after the local header
  // written at headerOffset, then writes the header's CRC-32 and sizes over it.
  void streamData(ArchiveOutput& file, std::uint64_t headerOffset);

  ContentProducer streamed_;       // set while the data is read only when written
  std::string streamedSource_;     // what it reads, for messages
  std::uint64_t streamedSize_ = 0; // its size when loaded (a file's), then its deflated size

  std::string StoredName;    // as given, UTF-8
  std::string ExtraField;    // always empty
  std::string EntryComment;  // as given, UTF-8
  EncodedEntryText encoded_;
  std::vector<std::uint8_t> CompressedData;
  LocalFileHeader LocalHeader;
  CentralDirectoryHeader CentralHeader;
};

}  // namespace varnolt::zip
