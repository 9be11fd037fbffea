#pragma once
// Reading a compound file ([MS-CFB], versions 3 and 4) into a tree of
// storages and streams.
//
// The reader trusts nothing in the file: every sector id, chain, stream
// size and directory index is checked before use, every sector may belong
// to one chain only (which also catches loops), and the directory tree is
// walked with a visited set. A bad file gives an mapi::Error that says what
// is wrong; the work and the memory are bounded by the size of the file.
//
// We keep this layer ourselves rather than use libgsf: it is small, it
// needs no GLib, its bounds are ours to state and test exactly, and the
// writer must lay files out as Outlook does (class ids, mini stream,
// directory order), which a general-purpose library does not promise.

#include <cstdint>
#include <filesystem>

#include "mapi/cfb/entry.h"
#include "mapi/util/byte_view.h"

namespace varnolt::mapi::cfb {

struct ReadLimits {
  // Storages nested deeper than this are refused (each embedded message
  // in an Outlook item adds two levels).
  unsigned maxDepth = 512;
};

// The whole tree of a compound file in memory.
Entry readCompoundFile(ByteView bytes, const ReadLimits& limits = {});
// The same from a file, read sector by sector (the file itself is not
// loaded whole).
Entry readCompoundFile(const std::filesystem::path& path, const ReadLimits& limits = {});

// True when the bytes start with the compound-file signature.
bool hasCompoundFileSignature(ByteView bytes);

}  // namespace varnolt::mapi::cfb
