#include "mapi/pst/writer/output_file.h"

#include <string>
#include <system_error>

#include "mapi/error.h"

namespace varnolt::mapi::pst {
namespace {

constexpr std::size_t kBufferSize = 4 << 20;

}  // namespace

OutputFile::OutputFile(std::filesystem::path destination, base::FileSystem& fileSystem)
    : dest_(std::move(destination)) {
  base::NewFileOptions options;
  options.temporaryTag = ".partial-";
  std::error_code error;
  file_ = fileSystem.createWhole(dest_, options, error);
  if (!file_)
    throw Error(ioErrorKind(error.value()), dest_.string() + ": cannot create a file beside it: " + error.message());
  temp_ = file_->temporaryPath();
  buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
  if (!done_) discard();
}

void OutputFile::check(const std::error_code& error, const std::string& what) {
  if (!error) return;
  std::string message = temp_.string() + ": " + what + ": " + error.message();
  discard();
  throw Error(ioErrorKind(error.value()), message);
}

void OutputFile::pwriteAll(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  std::error_code error;
  file_->writeAt(offset, data, size, error);
  check(error, "cannot write");
}

void OutputFile::flush() {
  if (buffer_.empty()) return;
  pwriteAll(bufferStart_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

void OutputFile::writeAt(std::uint64_t offset, ByteView data) {
  if (!open_) throw Error(ErrorKind::Io, dest_.string() + ": the file is already closed");
  if (data.empty()) return;
  if (!buffer_.empty() && offset != bufferStart_ + buffer_.size()) flush();
  if (data.size() >= kBufferSize) {
    flush();
    pwriteAll(offset, data.data(), data.size());
    return;
  }
  if (buffer_.empty()) bufferStart_ = offset;
  buffer_.insert(buffer_.end(), data.data(), data.data() + data.size());
  if (buffer_.size() >= kBufferSize) flush();
}

void OutputFile::resize(std::uint64_t size) {
  flush();
  std::error_code error;
  file_->resize(size, error);
  check(error, "cannot set the file size");
}

void OutputFile::commit() {
  flush();
  std::error_code error;
  file_->sync(error);
  check(error, "cannot flush to disk");
  open_ = false;
  file_->close(error);
  check(error, "cannot close");
  file_->publish(true, error);
  if (error) {
    std::string message = dest_.string() + ": cannot move the finished file into place: " + error.message();
    discard();
    throw Error(ErrorKind::Io, message);
  }
  done_ = true;
}

void OutputFile::discard() {
  open_ = false;
  buffer_.clear();
  if (file_) file_->discard();
  done_ = true;
}

}  // namespace varnolt::mapi::pst
