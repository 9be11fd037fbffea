#include "zip/archive_output.h"

#include <algorithm>
#include <cerrno>
#include <string>

#include "zip/error.h"

namespace varnolt::zip {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
// Room left in a file name for the temporary suffix.
constexpr std::size_t kMaxTempBase = 200;

std::string describe(const std::filesystem::path& p) { return p.empty() ? std::string(".") : p.string(); }

// A full file system is told apart: the caller stops writing there.
ErrorKind kindOf(const std::error_code& error) {
  return base::isNoSpace(error) ? ErrorKind::NoSpace : ErrorKind::Io;
}

}  // namespace

ArchiveOutput::ArchiveOutput(std::filesystem::path destination, base::FileSystem& fileSystem)
    : dest_(std::move(destination)), fileSystem_(fileSystem) {
  base::NewFileOptions options;
  options.temporaryTag = ".tmp-";
  options.hidden = true;
  options.maxNameBytes = kMaxTempBase;
  std::error_code error;
  file_ = fileSystem_.createWhole(dest_, options, error);
  if (error == std::errc::file_exists)
    throw Error(ErrorKind::Io, "cannot find a free temporary name beside " + dest_.string());
  if (error)
    throw Error(kindOf(error), "cannot create a file in " + describe(dest_.parent_path()) + ": " + error.message());
  buffer_.reserve(kBufferSize);
}

ArchiveOutput::~ArchiveOutput() = default;

void ArchiveOutput::check(const std::error_code& error, const char* what) const {
  if (error) throw Error(kindOf(error), std::string("cannot ") + what + " " + dest_.string() + ": " + error.message());
}

void ArchiveOutput::writeRaw(const std::uint8_t* data, std::size_t size) {
  std::error_code error;
  file_->writeAt(written_, data, size, error);
  check(error, "write");
  written_ += size;
}

void ArchiveOutput::flushBuffer() {
  writeRaw(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void ArchiveOutput::write(const std::uint8_t* data, std::size_t size) {
  if (!open_) throw Error(ErrorKind::Io, "write to " + dest_.string() + " after it was closed");
  if (buffer_.size() + size > kBufferSize) flushBuffer();
  if (size >= kBufferSize)
    writeRaw(data, size);
  else
    buffer_.insert(buffer_.end(), data, data + size);
  position_ += size;
}

void ArchiveOutput::patch(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  if (!open_) throw Error(ErrorKind::Io, "write to " + dest_.string() + " after it was closed");
  if (offset + size > position_) throw Error(ErrorKind::Io, "patch past the end of " + dest_.string());
  if (offset >= written_) {
    std::copy(data, data + size, buffer_.begin() + static_cast<std::ptrdiff_t>(offset - written_));
    return;
  }
  flushBuffer();
  std::error_code error;
  file_->writeAt(offset, data, size, error);
  check(error, "write");
}

void ArchiveOutput::write(std::string_view text) {
  write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool ArchiveOutput::moveIntoPlace(bool replace) {
  std::error_code error;
  if (file_->publish(replace, error)) return true;
  check(error, replace ? "replace" : "create");
  std::error_code statusError;
  const base::EntryType inTheWay = fileSystem_.status(dest_, statusError).type;
  if (inTheWay != base::EntryType::None && inTheWay != base::EntryType::File)
    throw Error(ErrorKind::Io, "cannot create " + dest_.string() + ": something other than a file is in the way");
  return false;
}

bool ArchiveOutput::commit(bool replace, bool flush) {
  if (!open_) throw Error(ErrorKind::Io, "commit of " + dest_.string() + " after it was closed");
  flushBuffer();
  std::error_code error;
  if (flush) {
    file_->sync(error);
    check(error, "write");
  }
  open_ = false;
  file_->close(error);
  check(error, "write");
  if (!moveIntoPlace(replace)) {
    file_->discard();
    return false;
  }
  if (!flush) return true;
  // Make the new name itself durable: callers delete the archive's source
  // file once it is written.
  std::error_code ignored;
  fileSystem_.syncFolder(dest_.parent_path(), ignored);
  return true;
}

}  // namespace varnolt::zip
