#pragma once
// The store library reports every failure as an mapi::Error: what went wrong,
// in one line a user can read, what kind of fault it is, and where in the
// file it was found when that is known.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace varnolt::mapi {

enum class ErrorKind {
  Io,           // the operating system refused a read, write, open or rename
  NotFound,     // a file, node, property or object that was asked for is absent
  BadFormat,    // not a file of the expected kind (wrong signature or version)
  Truncated,    // the file ends before a structure it refers to
  Checksum,     // a CRC or signature check failed
  Corrupt,      // structures that contradict each other (loops, bad counts, bad offsets)
  Unsupported,  // valid but not handled (an unknown encryption, a future version)
  Limit,        // a size or depth past what the library accepts
  InvalidArgument,
  NoSpace,      // a write found the file system full (or the user's quota used up)
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message, std::optional<std::uint64_t> offset = std::nullopt);

  ErrorKind kind() const noexcept { return kind_; }
  std::optional<std::uint64_t> offset() const noexcept { return offset_; }

 private:
  ErrorKind kind_;
  std::optional<std::uint64_t> offset_;
};

// The kind of a failed system call's errno: NoSpace for ENOSPC and EDQUOT,
// which callers treat apart (nothing more can be written there), else Io.
ErrorKind ioErrorKind(int err) noexcept;

// Short helpers so parsing code reads as a list of checks.
[[noreturn]] void throwCorrupt(const std::string& message, std::optional<std::uint64_t> offset = std::nullopt);
[[noreturn]] void throwTruncated(const std::string& message, std::optional<std::uint64_t> offset = std::nullopt);

}  // namespace varnolt::mapi
