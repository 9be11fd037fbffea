#include "zip/zip_file.h"

#include <zlib.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "base/file_system.h"
#include "zip/archive_output.h"
#include "zip/deflate_ahead.h"
#include "zip/dos_time.h"
#include "zip/entry_deflater.h"
#include "zip/error.h"

namespace varnolt::zip {
namespace {

constexpr std::size_t kZlibHeader = 2;
constexpr std::size_t kZlibTrailer = 4;  // Adler-32
constexpr std::size_t kProbeSize = 64 * 1024;

[[noreturn]] void ioError(const char* what, const std::filesystem::path& path, const std::error_code& error) {
  throw Error(ErrorKind::Io, std::string("cannot ") + what + " " + path.string() + ": " + error.message());
}

[[noreturn]] void tooLarge(const std::string& source) {
  throw Error(ErrorKind::Limit, source + " is 4 GiB or larger, more than a ZIP archive without ZIP64 can hold");
}

[[noreturn]] void tooLarge(const std::filesystem::path& path) { tooLarge(path.string()); }

// Pieces of what streamed entries deflate: of a file read, and of the
// deflated data handed to the archive.
constexpr std::size_t kStreamPiece = 256 * 1024;

// Hands the file at path to sink a piece at a time, to its end.
void readPieces(const std::filesystem::path& path, const std::function<void(const std::uint8_t*, std::size_t)>& sink) {
  std::error_code error;
  const std::unique_ptr<base::ReadableFile> source = base::fileSystem().openRead(path, error);
  if (!source) ioError("open", path, error);
  if (source->type() != base::EntryType::File)
    throw Error(ErrorKind::Io, "cannot read " + path.string() + ": not a regular file");
  std::vector<std::uint8_t> in(kStreamPiece);
  for (std::uint64_t offset = 0;;) {
    const std::size_t n = source->readAt(offset, in.data(), in.size(), error);
    if (error) ioError("read", path, error);
    if (n == 0) return;
    offset += n;
    sink(in.data(), n);
  }
}

struct SourceBytes {
  std::vector<std::uint8_t> bytes;
  std::time_t modified = 0;
};

// The whole file, read to its end (not just to the length it had when
// opened, so a file that changes under us is never cut short), and the
// modification time of that same open file.
SourceBytes readSource(const std::filesystem::path& path, const base::ReadableFile* opened = nullptr) {
  std::error_code error;
  // A FIFO put in the file's place does not hang the open; it is no file.
  std::unique_ptr<base::ReadableFile> ownFile;
  if (!opened) {
    ownFile = base::fileSystem().openRead(path, error);
    if (!ownFile) ioError("open", path, error);
  }
  const base::ReadableFile* file = opened ? opened : ownFile.get();
  if (file->type() != base::EntryType::File)
    throw Error(ErrorKind::Io, "cannot read " + path.string() + ": not a regular file");
  const base::FileIdentity identity = file->identity(error);
  if (error) ioError("read", path, error);
  if (identity.size > kMax32) tooLarge(path);

  SourceBytes source;
  source.modified = static_cast<std::time_t>(identity.modifiedSeconds());
  source.bytes.resize(static_cast<std::size_t>(identity.size));
  std::size_t have = 0;
  while (have < source.bytes.size()) {
    const std::size_t n = file->readAt(have, source.bytes.data() + have, source.bytes.size() - have, error);
    if (error) ioError("read", path, error);
    if (n == 0) break;  // it shrank since we looked
    have += n;
  }
  source.bytes.resize(have);
  // It may also have grown.
  std::vector<std::uint8_t> probe(kProbeSize);
  for (;;) {
    const std::size_t n = file->readAt(source.bytes.size(), probe.data(), probe.size(), error);
    if (error) ioError("read", path, error);
    if (n == 0) break;
    if (source.bytes.size() + n > kMax32) tooLarge(path);
    source.bytes.insert(source.bytes.end(), probe.begin(), probe.begin() + static_cast<std::ptrdiff_t>(n));
  }
  return source;
}

std::uint32_t crcOf(const std::vector<std::uint8_t>& bytes) {
  uLong crc = ::crc32(0L, Z_NULL, 0);
  const Bytef* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    uInt piece = static_cast<uInt>(std::min<std::size_t>(left, std::numeric_limits<uInt>::max()));
    crc = ::crc32(crc, p, piece);
    p += piece;
    left -= piece;
  }
  return static_cast<std::uint32_t>(crc);
}

// Names are used as paths by whoever extracts the archive; refuse the ones
// that would write outside the extraction folder or cannot be a file.
void checkEntryName(const std::string& name) {
  auto refuse = [&](const char* why) {
    throw Error(ErrorKind::InvalidArgument, "entry name \"" + name + "\" " + why);
  };
  if (name.empty()) refuse("is empty");
  if (name.find('\0') != std::string::npos) refuse("holds a NUL character");
  if (name.front() == '/' || name.front() == '\\') refuse("is an absolute path");
  if (name.back() == '/' || name.back() == '\\') refuse("names a folder, not a file");
  // Windows extractors split at "\" as well as "/".
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) refuse("climbs out of its folder with \"..\"");
    start = end + 1;
  }
}

}  // namespace

std::string ZipFile::NameFromPath(const std::string& path) {
#ifdef _WIN32
  // Windows paths may use either separator.
  std::size_t slash = path.find_last_of("/\\");
#else
  std::size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

ZipFile::Source ZipFile::ReadAndCompress(const std::filesystem::path& path, const base::ReadableFile* opened) {
  SourceBytes s = readSource(path, opened);
  Source out;
  out.modified = s.modified;
  out.uncompressedSize = static_cast<std::uint32_t>(s.bytes.size());
  out.crc32 = crcOf(s.bytes);

  // compressBound is zlib's own promise of room enough for one call.
  uLong capacity = ::compressBound(static_cast<uLong>(s.bytes.size()));
  std::vector<std::uint8_t> z(capacity);
  uLongf zLength = capacity;
  static const Bytef kNothing = 0;
  const Bytef* src = s.bytes.empty() ? &kNothing : s.bytes.data();
  int rc = ::compress(z.data(), &zLength, src, static_cast<uLong>(s.bytes.size()));
  if (rc != Z_OK)
    throw Error(ErrorKind::Compression, "cannot compress " + path.string() + ": zlib error " + std::to_string(rc) +
                                            " (" + ::zError(rc) + ")");
  if (zLength < kZlibHeader + kZlibTrailer)
    throw Error(ErrorKind::Compression, "cannot compress " + path.string() + ": zlib returned a short stream");
  s.bytes = {};  // the source is no longer needed; give its memory back before keeping the result
  z.resize(zLength - kZlibTrailer);
  z.erase(z.begin(), z.begin() + kZlibHeader);
  z.shrink_to_fit();
  if (z.size() > kMax32)
    throw Error(ErrorKind::Limit, path.string() + " compresses to 4 GiB or more, more than a ZIP archive without ZIP64 can hold");
  out.deflateData = std::move(z);
  return out;
}

void ZipFile::LoadFromFile(const std::filesystem::path& path, std::uint64_t streamFrom) {
  std::string name = NameFromPath(path.string());
  checkEntryName(name);
  // Opened, not just looked at: a file that cannot be read is refused now.
  std::error_code error;
  const std::unique_ptr<base::ReadableFile> file = base::fileSystem().openRead(path, error);
  base::FileIdentity identity;
  const bool readable = file && file->type() == base::EntryType::File && (identity = file->identity(error), !error);
  if (readable && identity.size >= streamFrom) {
    if (identity.size > kMax32) tooLarge(path);
    beginStreamed(static_cast<std::time_t>(identity.modifiedSeconds()));
    streamed_ = [path](const PieceSink& sink) { readPieces(path, sink); };
    streamedSource_ = path.string();
    streamedSize_ = identity.size;
    StoredName = std::move(name);
    encodeTexts();
    return;
  }
  // Read through the file opened above: one open per file added.
  Source source = ReadAndCompress(path, readable ? file.get() : nullptr);

  DateTime m = dosRangeLocalTime(source.modified);
  std::uint16_t date = PackDosDate(m);
  std::uint16_t time = PackDosTime(m);

  LocalHeader.modDate = CentralHeader.modDate = date;
  LocalHeader.modTime = CentralHeader.modTime = time;
  LocalHeader.crc32 = CentralHeader.crc32 = source.crc32;
  LocalHeader.compressedSize = CentralHeader.compressedSize = static_cast<std::uint32_t>(source.deflateData.size());
  LocalHeader.uncompressedSize = CentralHeader.uncompressedSize = source.uncompressedSize;
  CompressedData = std::move(source.deflateData);
  streamed_ = nullptr;
  streamedSource_.clear();
  StoredName = std::move(name);
  encodeTexts();
}

void ZipFile::LoadFromProducer(const std::string& name, std::time_t modified, ContentProducer produce) {
  checkEntryName(name);
  beginStreamed(modified);
  streamed_ = std::move(produce);
  streamedSource_ = name;
  streamedSize_ = 0;
  StoredName = name;
  encodeTexts();
}

void ZipFile::beginStreamed(std::time_t modified) {
  DateTime m = dosRangeLocalTime(modified);
  LocalHeader.modDate = CentralHeader.modDate = PackDosDate(m);
  LocalHeader.modTime = CentralHeader.modTime = PackDosTime(m);
  LocalHeader.crc32 = CentralHeader.crc32 = 0;
  LocalHeader.compressedSize = CentralHeader.compressedSize = 0;
  LocalHeader.uncompressedSize = CentralHeader.uncompressedSize = 0;
  CompressedData.clear();
}

void ZipFile::SetStoredName(const std::string& name) {
  checkEntryName(name);
  std::string previous = std::move(StoredName);
  StoredName = name;
  try {
    encodeTexts();
  } catch (...) {
    StoredName = std::move(previous);
    throw;
  }
}

void ZipFile::SetEntryComment(const std::string& text) {
  std::string previous = std::move(EntryComment);
  EntryComment = text;
  try {
    encodeTexts();
  } catch (...) {
    EntryComment = std::move(previous);
    throw;
  }
}

void ZipFile::encodeTexts() {
  EncodedEntryText encoded = encodeEntryText(StoredName, EntryComment);
  if (encoded.name.size() > kMaxTextLength)
    throw Error(ErrorKind::Limit, "entry name is longer than the 65535 bytes a ZIP entry can hold");
  if (encoded.comment.size() > kMaxTextLength)
    throw Error(ErrorKind::Limit, "entry comment is longer than the 65535 bytes a ZIP entry can hold");
  encoded_ = std::move(encoded);
  std::uint16_t flags = encoded_.utf8 ? static_cast<std::uint16_t>(kFlagDefault | kFlagUtf8) : kFlagDefault;
  LocalHeader.flags = CentralHeader.flags = flags;
  LocalHeader.nameLength = CentralHeader.nameLength = static_cast<std::uint16_t>(encoded_.name.size());
  CentralHeader.commentLength = static_cast<std::uint16_t>(encoded_.comment.size());
}

std::uint64_t ZipFile::localEntrySize() const {
  const std::uint64_t data = streamed_ ? streamedSize_ : CompressedData.size();
  return LocalFileHeader::kSize + encoded_.name.size() + ExtraField.size() + data;
}

std::uint64_t ZipFile::centralEntrySize() const {
  return CentralDirectoryHeader::kSize + encoded_.name.size() + ExtraField.size() + encoded_.comment.size();
}

void ZipFile::WriteLocalEntry(ArchiveOutput& file) {
  if (file.position() > kMax32)
    throw Error(ErrorKind::Limit, "archive reaches past 4 GiB, more than a ZIP archive without ZIP64 can hold");
  const std::uint64_t headerOffset = file.position();
  CentralHeader.LocalHeaderOffset = static_cast<std::uint32_t>(headerOffset);
  std::vector<std::uint8_t> header;
  LocalHeader.appendTo(header);
  file.write(header);
  file.write(encoded_.name);
  file.write(ExtraField);
  if (!streamed_) {
    file.write(CompressedData);
    return;
  }
  streamData(file, headerOffset);
}

void ZipFile::streamData(ArchiveOutput& file, std::uint64_t headerOffset) {
  // Deflate's state is set up only for bytes that were not deflated ahead.
  std::optional<EntryDeflater> deflater;
  auto deflate = [&](const std::uint8_t* data, std::size_t size) {
    if (!deflater)
      deflater.emplace(streamedSource_, [&](const std::uint8_t* out, std::size_t n) { file.write(out, n); });
    deflater->add(data, size);
  };
  // Bytes that come whole in their first piece may have been deflated
  // ahead; should more follow, the first piece is deflated after all.
  std::optional<DeflatedBytes> prepared;
  bool first = true;
  streamed_([&](const std::uint8_t* data, std::size_t size) {
    if (first) {
      first = false;
      prepared = DeflateAhead::instance().take(data, size);
      if (prepared) return;
    } else if (prepared) {
      deflate(prepared->input.data(), prepared->input.size());
      prepared.reset();
    }
    deflate(data, size);
  });

  std::uint32_t crc = 0;
  std::uint64_t taken = 0;
  std::uint64_t deflated = 0;
  if (prepared) {
    file.write(prepared->deflated.data(), prepared->deflated.size());
    crc = prepared->crc32;
    taken = prepared->input.size();
    deflated = prepared->deflated.size();
  } else {
    if (!deflater) deflate(nullptr, 0);
    deflater->finish();
    crc = deflater->crc32();
    taken = deflater->taken();
    deflated = deflater->deflated();
  }

  LocalHeader.crc32 = CentralHeader.crc32 = crc;
  LocalHeader.compressedSize = CentralHeader.compressedSize = static_cast<std::uint32_t>(deflated);
  LocalHeader.uncompressedSize = CentralHeader.uncompressedSize = static_cast<std::uint32_t>(taken);
  std::vector<std::uint8_t> header;
  LocalHeader.appendTo(header);
  file.patch(headerOffset, header.data(), header.size());
  streamedSize_ = deflated;
}

void ZipFile::WriteCentralEntry(ArchiveOutput& file) const {
  std::vector<std::uint8_t> header;
  CentralHeader.appendTo(header);
  file.write(header);
  file.write(encoded_.name);
  file.write(ExtraField);
  file.write(encoded_.comment);
}

}  // namespace varnolt::zip
