#pragma once
// Reading back an entry of an archive the run wrote: restore takes a
// zipped attachment's bytes out of its archive. Entries stored or
// deflated, without ZIP64, as ZipClass writes them; every size and the
// CRC-32 are checked, so damaged bytes are never handed on as content.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace varnolt::zip {

// The content of the entry named entryName (its bytes as stored in the
// archive, or its UTF-8 name); of an archive with a single entry, that
// entry whatever its name. Throws zip::Error (InvalidArgument) for an
// archive that cannot be read, a missing entry, an unknown method, a size
// past maxSize, or content whose size or CRC-32 disagrees with the archive.
std::vector<std::uint8_t> ReadEntry(const std::filesystem::path& archive, const std::string& entryName,
                                    std::uint64_t maxSize = 0xFFFFFFFFu);

}  // namespace varnolt::zip
