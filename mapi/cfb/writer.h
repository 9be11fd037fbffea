#pragma once
// Writing a tree of storages and streams as a compound file ([MS-CFB]).
//
// Version 3 (512-byte sectors) is what Outlook writes and what every reader
// knows; version 4 (4096-byte sectors) is used only when the tree holds a
// stream larger than version 3 allows (2 GiB), or when asked for. Streams
// shorter than 4096 bytes go to the mini stream; the members of every
// storage form a balanced red-black tree in the format's name order.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "mapi/cfb/entry.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::cfb {

struct WriteOptions {
  enum class Version { Auto, V3, V4 };
  Version version = Version::Auto;
};

// Receives the file's bytes in order.
using Sink = std::function<void(const std::uint8_t* data, std::size_t size)>;

// Writes the tree rooted at `root`, which may be any storage: it becomes
// the root entry "Root Entry" with the storage's class id, state bits and
// modification time (a root entry has no creation time). Throws mapi::Error (InvalidArgument) for
// a tree the format cannot hold: a name longer than 31 UTF-16 code units,
// empty, holding '/', '\\', ':' or '!', or two siblings whose names differ
// only in case.
void writeCompoundFile(const Entry& root, const Sink& sink, const WriteOptions& options = {});
Bytes writeCompoundFile(const Entry& root, const WriteOptions& options = {});
// Writes to a temporary file beside `path` and renames it into place, so
// `path` holds either its old content or the whole new file, never a part.
void writeCompoundFile(const std::filesystem::path& path, const Entry& root, const WriteOptions& options = {});

// The size of the file the tree gives, without writing it.
std::uint64_t compoundFileSize(const Entry& root, const WriteOptions& options = {});

}  // namespace varnolt::mapi::cfb
