#include "mapi/error.h"

#include <system_error>

#include "base/file_system.h"

namespace varnolt::mapi {

namespace {
std::string withOffset(const std::string& message, std::optional<std::uint64_t> offset) {
  if (!offset) return message;
  return message + " at offset " + std::to_string(*offset);
}
}  // namespace

Error::Error(ErrorKind kind, const std::string& message, std::optional<std::uint64_t> offset)
    : std::runtime_error(withOffset(message, offset)), kind_(kind), offset_(offset) {}

ErrorKind ioErrorKind(int err) noexcept {
  return base::isNoSpace(std::error_code(err, std::generic_category())) ? ErrorKind::NoSpace : ErrorKind::Io;
}

void throwCorrupt(const std::string& message, std::optional<std::uint64_t> offset) {
  throw Error(ErrorKind::Corrupt, message, offset);
}

void throwTruncated(const std::string& message, std::optional<std::uint64_t> offset) {
  throw Error(ErrorKind::Truncated, message, offset);
}

}  // namespace varnolt::mapi
