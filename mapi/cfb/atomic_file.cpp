#include "mapi/cfb/atomic_file.h"

#include <string>

#include "mapi/error.h"

namespace varnolt::mapi::cfb {

AtomicFile::AtomicFile(std::filesystem::path destination, base::FileSystem& fileSystem)
    : dest_(std::move(destination)) {
  base::NewFileOptions options;
  options.temporaryTag = ".tmp-";
  options.keepPermissions = true;
  std::error_code error;
  file_ = fileSystem.createWhole(dest_, options, error);
  if (error == std::errc::file_exists)
    throw Error(ErrorKind::Io, "cannot find a free temporary name beside " + dest_.string());
  if (error) {
    const std::filesystem::path dir = dest_.parent_path();
    throw Error(ioErrorKind(error.value()),
                "cannot create a file in " + (dir.empty() ? std::string(".") : dir.string()) + ": " + error.message());
  }
}

AtomicFile::~AtomicFile() = default;

void AtomicFile::check(const std::error_code& error, const char* what) const {
  if (error) throw Error(ioErrorKind(error.value()), std::string("cannot ") + what + " " + dest_.string() + ": " + error.message());
}

void AtomicFile::write(const std::uint8_t* data, std::size_t size) {
  std::error_code error;
  file_->writeAt(position_, data, size, error);
  check(error, "write");
  position_ += size;
}

void AtomicFile::commit() {
  std::error_code error;
  file_->sync(error);
  check(error, "write");
  file_->close(error);
  check(error, "write");
  file_->publish(true, error);
  check(error, "replace");
}

const std::filesystem::path& AtomicFile::temporaryPath() const { return file_->temporaryPath(); }

}  // namespace varnolt::mapi::cfb
