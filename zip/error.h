#pragma once
// The archive writer reports every failure other than the two expected
// "no" answers of ZipClass (a missing source file, a target it may not
// overwrite) as a zip::Error: a one-line reason a user can read, and what
// kind of fault it is so the caller can tell a full disk from a file too
// large for the format.

#include <stdexcept>
#include <string>

namespace varnolt::zip {

enum class ErrorKind {
  Io,               // the operating system refused a stat, open, read, write or rename
  Limit,            // past what a ZIP archive without ZIP64 can hold (sizes, offsets, counts, text lengths)
  InvalidArgument,  // an entry name or comment the archive cannot carry safely
  Compression,      // zlib refused to compress the data
  NoSpace,          // a write found the file system full (ENOSPC) or the user's quota used up (EDQUOT)
};

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

}  // namespace varnolt::zip
